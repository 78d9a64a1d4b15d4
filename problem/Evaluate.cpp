// Design points through AnalysisVerif, the host's configuration for a
// problem, and the memory check of a sampled batch (Evaluate.h).
#include "rbo/problem/Evaluate.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "rbo/RandVarModules.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/AnalysisPolicy.h"

namespace rbo::problem {

refhost::BatchModelFunction CountedBatchModel(refhost::BatchModelFunction model,
                                              std::shared_ptr<std::atomic<long long>> pCounter) {
  if (!pCounter) return model;
  return [inner = std::move(model), pCounter](const CMatrix<double>& x, CMatrix<double>& y) {
    inner(x, y);
    pCounter->fetch_add(x.Cols(), std::memory_order_relaxed);
  };
}

refhost::BatchModelFunction CountedBulkModel(refhost::BatchModelFunction model,
                                             std::shared_ptr<std::atomic<long long>> pCounter) {
  if (!pCounter || !model) return model;
  return [inner = std::move(model), pCounter](const CMatrix<double>& x, CMatrix<double>& y) {
    inner(x, y);
    const std::size_t n = std::size_t(y.Rows()) * std::size_t(y.Cols());
    const double* pY = n > 0 ? y.ColData(0) : nullptr;
    if (std::all_of(pY, pY + n, [](double v) { return std::isfinite(v); }))
      pCounter->fetch_add(x.Cols(), std::memory_order_relaxed);
  };
}

void ConfigureHost(const Problem& problem, std::shared_ptr<std::atomic<long long>> pCounter) {
  const Settings& s = problem.settings;
  refhost::SetRBOMethod(s.method, s.samples);
  refhost::SetSeed(s.seed);
  refhost::SetWorkerCount(s.workers);
  // The sample matrices are inverted on as many threads as the analyses run.
  SetSamplingWorkers(s.parallel ? s.workers : 1);
  if (problem.batchModel) {
    refhost::SetBatchAnalysis(problem.builder.BatchAnalysis(CountedBatchModel(problem.batchModel, pCounter)));
    return;
  }
  if (ColumnDispatcher dispatch = CurrentColumnDispatcher()) {
    // The analysis-point matrix goes elsewhere whole; its columns come back.
    refhost::SetBatchAnalysis([dispatch, pCounter](const CMatrix<double>& in, CMatrix<double>& out) {
      dispatch(ColumnKind::kAnalysis, in, out, nullptr);
      if (pCounter) pCounter->fetch_add(in.Cols(), std::memory_order_relaxed);
    });
    return;
  }
  refhost::ModelFunction model = PolicyModel(problem);
  if (pCounter) {
    model = [inner = PolicyModel(problem), pCounter](const std::valarray<double>& x, std::valarray<double>& y) {
      inner(x, y);
      pCounter->fetch_add(1, std::memory_order_relaxed);
    };
  }
  refhost::BatchAnalysisFunction chunks;
  if (problem.bulkModel) chunks = problem.builder.BatchAnalysis(CountedBulkModel(problem.bulkModel, pCounter));
  refhost::SetAnalysis(problem.builder.Analysis(model), std::move(chunks));
}

void RecomputeObjectiveAndConstraint(CDB& db, const CMatrix<double>& indDVs, CMatrix<double>& designResponses,
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

void JointOverBoundedResponses(const Problem& problem, CMatrix<double>& designResponses) {
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

BatchResult EvaluateDesignPoints(CDB& db, const CMatrix<double>& indDVs, bool bParallel, const Problem* pProblem) {
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

std::valarray<double> DesignVariableVector(CDB& db, const std::valarray<double>& design) {
  std::valarray<double> g0(design), g1(db.m_vLinkDVs), g2(db.m_vSynthDVs), g3(db.m_vGroup3DVs), out;
  std::valarray<double> links, synths;
  EvalLinks(g0, g1, g2, g3, db.m_vIndResps, db.m_vDVLinkFunc, db.m_vvDVLinkArgIndex, db.m_vvDVLinkArgType,
            db.m_vLinkFuncCode, db.m_vvLinkCoef, links);
  g1 = links;
  EvalSynth(g0, g1, g2, g3, db.m_vIndResps, db.m_vLinkResps, db.m_vDVSynthFunc, db.m_vvDVSynthArgIndex,
            db.m_vvDVSynthArgType, db.m_vvDVSynthArgSlot, db.m_vSynthFuncCode, db.m_vSynthExpr, synths);
  g2 = synths;
  SetXVector(g0, g1, g2, g3, db.m_vDVIndexOfInput, db.m_vDVTypeOfInput, out);
  return out;
}

std::valarray<CRandVar> RandomVariablesAt(CDB& db, std::valarray<double>& dvVector) {
  std::valarray<CRandVar> rv(std::size_t(db.m_nRandVars));
  for (std::size_t r = 0; r < rv.size(); ++r) {
    rv[r].SetType(db.m_vDistTypeOfRandVar[r]);
    if (rv[r].GetType() == CRandVar::kWeibull) rv[r].SetParam1(0.0);
  }
  if (rv.size() > 0) SetRandomParamsForPoint(dvVector, db.m_vInputRandVar, db.m_vInputParamCode, rv);
  return rv;
}

double MemoryLimit(std::string* pSource) {
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

void CheckBatchMemory(const Problem& problem, double points, double samples) {
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
  throw EvaluationError(text);
}

}  // namespace rbo::problem
