// rboapp::EvaluateDesignPoints: one batch of design points through
// AnalysisVerif, with the objective and constraint value of every column
// evaluated at that column's own design variables.
//
// Header-only so that any program that reads a Problem (Problem.h) can use
// it by linking the library and the reference host.
#pragma once

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <valarray>

#include "Problem.h"
#include "rbo/RBO.h"
#include "rbo/host/DBUtils.h"

namespace rboapp {

/// Results of one batch: one column / element per design point.
struct BatchResult {
  CMatrix<double> designPoints;      ///< full design-variable vector per point
  CMatrix<double> designResponses;   ///< host response vector per point (statistics of the random responses)
  std::valarray<double> objective;   ///< objective value per point
  std::valarray<double> constraint;  ///< largest scaled constraint violation per point (<= 0: feasible)
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

/// Method 2 gives the joint-violation probability as the product of the POFs
/// of every random response, one without bounds counting 0 (so any such
/// response makes it 0).  The sampling methods count the samples at which
/// the bounded responses fail together; a response without bounds takes no
/// part.  So that the methods agree, method 2's joint entry becomes the
/// product over the bounded responses only (0 when none has bounds): for a
/// single bounded response its POF, as sampling gives.  The product still
/// treats the responses as independent.
inline void JointOverBoundedResponses(const Problem& problem, CMatrix<double>& designResponses) {
  bool bAnyRandom = false, bAnyBounded = false;
  for (const Response& r : problem.responses) {
    bAnyRandom = bAnyRandom || r.random;
    bAnyBounded = bAnyBounded || (r.random && (r.hasLower || r.hasUpper));
  }
  if (!bAnyRandom) return;
  const int jointRow = problem.builder.JointFractionRef().index;
  for (int p = 0; p < designResponses.Cols(); ++p) {
    double joint = bAnyBounded ? 1.0 : 0.0;
    for (const Response& r : problem.responses)
      if (r.random && (r.hasLower || r.hasUpper)) joint *= designResponses(r.ref.pof.index, p);
    designResponses(jointRow, p) = joint;
  }
}

/// Runs AnalysisVerif on the design points (columns of indDVs) with the
/// analysis, method, seed and parallelism already configured on the host
/// (see Problem.h), then corrects objective and constraint per column.
/// With the problem given, method 2's joint-violation probability is first
/// made comparable with the sampling methods' (JointOverBoundedResponses),
/// so that a constraint or an objective term on it sees that value.
inline BatchResult EvaluateDesignPoints(CDB& db, const CMatrix<double>& indDVs, bool bParallel,
                                        const Problem* pProblem = nullptr) {
  BatchResult r;
  CMatrix<double> points(indDVs);
  std::valarray<double> adjustA, adjustB;
  std::string parName1, parName2;
  AnalysisVerif(&db, points, adjustA, adjustB, bParallel ? 1 : 0, 0, 0, 0, parName1, parName2, r.objective,
                r.constraint, r.designPoints, r.designResponses, false);
  int method = 0, samples = 0;
  GetRBOMethodNSamplePoints(&method, &samples);
  if (pProblem != nullptr && method == 2) JointOverBoundedResponses(*pProblem, r.designResponses);
  RecomputeObjectiveAndConstraint(db, indDVs, r.designResponses, r.objective, r.constraint);
  return r;
}

/// Numbers per sample point that a sampled batch holds at once, per input
/// and output value: the analysis matrices and the library's copies of them
/// (measured: about 1.5 for one response, 1.8 for two; rounded up).
constexpr double kCopiesPerSampleValue = 2.0;

/// The memory a run may take: RBO_MEMORY_LIMIT (bytes, or with a K, M, G or
/// T suffix) when set, otherwise half of the physical memory.  *pSource
/// says which.
inline double MemoryLimit(std::string* pSource) {
  if (const char* psz = std::getenv("RBO_MEMORY_LIMIT")) {
    char* end = nullptr;
    double v = std::strtod(psz, &end);
    const std::string suffix = end ? end : "";
    const std::string units = "KMGT";
    const std::size_t u = suffix.size() == 1 ? units.find(char(std::toupper(suffix[0]))) : std::string::npos;
    if (u != std::string::npos) v *= std::pow(1024.0, double(u + 1));
    if (end == psz || !(v > 0.0) || !std::isfinite(v) || (!suffix.empty() && u == std::string::npos))
      throw std::runtime_error(std::string("RBO_MEMORY_LIMIT wants a number of bytes, e.g. 8G, not \"") + psz + "\"");
    *pSource = "RBO_MEMORY_LIMIT";
    return v;
  }
  *pSource = "half the physical memory; RBO_MEMORY_LIMIT sets another limit";
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  return pages > 0 && pageSize > 0 ? 0.5 * double(pages) * double(pageSize) : 1e300;
}

/// Refuses, before anything is allocated, a sampled batch of `points`
/// design points with `samples` sample points each whose analysis matrices
/// would not fit within MemoryLimit.  Throws std::runtime_error with the
/// estimate and ways out.
inline void CheckBatchMemory(const Problem& problem, double points, double samples) {
  const double values = double(problem.variables.size() + problem.responses.size());
  const double bytes = points * samples * values * double(sizeof(double)) * kCopiesPerSampleValue;
  std::string source;
  const double limit = MemoryLimit(&source);
  if (bytes <= limit) return;
  char text[512];
  std::snprintf(text, sizeof text,
                "this run would hold about %.3g GB at once (%.0f design points x %.0f samples x %.0f inputs and "
                "outputs x 8 bytes x %.0f copies), more than the limit of %.3g GB (%s).  Use fewer samples (--samples) "
                "or fewer design points per run; `rbo run --until-converged` holds one batch of --samples at a time",
                bytes / 1e9, points, samples, values, kCopiesPerSampleValue, limit / 1e9, source.c_str());
  throw std::runtime_error(text);
}

}  // namespace rboapp
