// rboapp::EvaluateDesignPoints: one batch of design points through
// AnalysisVerif, with the objective and constraint value of every column
// evaluated at that column's own design variables.
//
// Header-only so that any program that reads a Problem (Problem.h) can use
// it by linking the library and the reference host.
#pragma once

#include <string>
#include <valarray>

#include "Problem.h"
#include "rbo/RBO.h"

namespace rboapp {

/// Results of one batch: one column / element per design point.
struct BatchResult {
  CMatrix<double> designPoints;     ///< full design-variable vector per point
  CMatrix<double> designResponses;  ///< host response vector per point (statistics of the random responses)
  std::valarray<double> objective;  ///< objective value per point
  std::valarray<double> constraint; ///< largest scaled constraint violation per point (<= 0: feasible)
};

/// Evaluates the objective and the constraint value of every column again,
/// each with its own design variables and responses.  AnalysisVerif leaves
/// the database holding the last column's design variables while it
/// evaluates all columns, so terms on design variables would otherwise be
/// those of the last point.
inline void RecomputeObjectiveAndConstraint(CDB& db, const CMatrix<double>& indDVs, CMatrix<double>& designResponses,
                                            std::valarray<double>& objective, std::valarray<double>& constraint) {
  const int nPoints = indDVs.Cols();
  objective.resize(std::size_t(nPoints));
  constraint.resize(std::size_t(nPoints));
  std::valarray<double> resp0, resp1(db.m_vLinkResps), resp2(db.m_vSynthResps);
  for (int p = 0; p < nPoints; ++p) {
    indDVs.GetCol(p, db.m_vIndDVs);
    ExtractIndResp(p, designResponses, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry, resp0);
    constraint[std::size_t(p)] =
        EvalConstr(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, resp0, resp1, resp2, db.m_vConBound, db.m_vConScale,
                   db.m_vConSide, db.m_vConTarget, db.m_vConSubjectIndex, db.m_vConSubjectType);
    objective[std::size_t(p)] =
        EvalObj(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, resp0, resp1, resp2, db.m_vObjSubjectIndex,
                db.m_vObjSubjectType, db.m_vObjFunc, db.m_vObjCoef, db.m_vObjSense, db.m_vObjScale, db.m_vObjOffset);
  }
}

/// Runs AnalysisVerif on the design points (columns of indDVs) with the
/// analysis, method, seed and parallelism already configured on the host
/// (see Problem.h), then corrects objective and constraint per column.
inline BatchResult EvaluateDesignPoints(CDB& db, const CMatrix<double>& indDVs, bool bParallel) {
  BatchResult r;
  CMatrix<double> points(indDVs);
  std::valarray<double> adjustA, adjustB;
  std::string parName1, parName2;
  AnalysisVerif(&db, points, adjustA, adjustB, bParallel ? 1 : 0, 0, 0, 0, parName1, parName2, r.objective,
                r.constraint, r.designPoints, r.designResponses, false);
  RecomputeObjectiveAndConstraint(db, indDVs, r.designResponses, r.objective, r.constraint);
  return r;
}

}  // namespace rboapp
