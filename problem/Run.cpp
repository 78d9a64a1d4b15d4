// Evaluating a problem's design points in one go or batch by batch (Run.h).
#include "rbo/problem/Run.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "rbo/RBO.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Reliability.h"
#include "rbo/problem/ResultText.h"

namespace rbo::problem {
namespace {

/// Key of the problem's records in the (in-memory) object store.
constexpr int kStoreKey = 1;

/// Half-width of the design around each design point for the surface
/// methods, in standard deviations of each random variable.
constexpr double kDesignHalfWidth = 1.0;

// Methods 2 to 4 fit their response surface (a polynomial in the random
// variables' means) through every design point the library has analysed in
// this process, choosing the richest model that the number of points allows,
// and take its gradient or sample it at the design point.  A lone design
// point determines no slope, and the means of random parameters never move
// between design points; so every design point is preceded by 2N analyses
// (N random variables) with all means moved at once within +-
// kDesignHalfWidth standard deviations: a small Latin hypercube design with
// jitter, drawn from the seed.  Points in general position determine
// whichever model the library picks (an axial star would leave, for
// example, the cubic terms undetermined).  A random parameter's mean is a
// constant of the database and is moved there.
struct SurfaceAxis {
  int designVariable;  ///< index in the design point, or -1
  int constant;        ///< index of the mean in design-variable group 3, or -1
  double sd;           ///< standard deviation of the random variable
};

std::vector<SurfaceAxis> SurfaceAxes(const Problem& p, const CDB& db) {
  std::vector<SurfaceAxis> axes;
  int nRandVar = 0;
  for (const Variable& v : p.variables) {
    if (v.kind != VariableKind::kRandomDesign && v.kind != VariableKind::kRandomParameter) continue;
    SurfaceAxis axis{v.designVariable, -1, v.stdDev};
    if (v.kind == VariableKind::kRandomParameter)
      for (std::size_t e = 0; e < db.m_vInputRandVar.size(); ++e)
        if (db.m_vInputRandVar[e] == nRandVar && db.m_vInputParamCode[e] == -1 &&
            db.m_vDVTypeOfInput[e] == kTypeGroup3DV)
          axis.constant = db.m_vDVIndexOfInput[e];
    axes.push_back(axis);
    ++nRandVar;
  }
  return axes;
}

// offsets[k][i]: the shift of random variable i at design run k, in [-1, 1].
std::vector<std::vector<double>> SurfaceDesign(std::size_t nVars, std::uint64_t seed) {
  const std::size_t nRuns = 2 * nVars;
  std::mt19937_64 engine(seed);
  std::vector<std::vector<double>> offsets(nRuns, std::vector<double>(nVars));
  for (std::size_t i = 0; i < nVars; ++i) {
    std::vector<std::size_t> strata(nRuns);
    for (std::size_t k = 0; k < nRuns; ++k) strata[k] = k;
    for (std::size_t k = nRuns; k > 1; --k) std::swap(strata[k - 1], strata[engine() % k]);
    for (std::size_t k = 0; k < nRuns; ++k) {
      const double u = double(engine() >> 11) * 0x1p-53;
      offsets[k][i] = -1.0 + 2.0 * (double(strata[k]) + u) / double(nRuns);
    }
  }
  return offsets;
}

// Analyses the surface design around design point j (see SurfaceAxis).
void AnalyseSurfaceDesign(const Problem& p, CDB& db, const std::vector<SurfaceAxis>& axes, std::size_t j) {
  const auto design = SurfaceDesign(axes.size(), p.settings.seed + 0x9e3779b97f4a7c15ull * std::uint64_t(j + 1));
  for (std::size_t k = 0; k < design.size(); ++k) {
    std::valarray<double> x = p.designPoints[j];
    const std::valarray<double> constants = db.m_vGroup3DVs;
    for (std::size_t i = 0; i < axes.size(); ++i) {
      const double shift = design[k][i] * kDesignHalfWidth * axes[i].sd;
      if (axes[i].designVariable >= 0) x[std::size_t(axes[i].designVariable)] += shift;
      if (axes[i].constant >= 0) db.m_vGroup3DVs[std::size_t(axes[i].constant)] += shift;
    }
    try {
      EvaluateDesignPoints(db, p.builder.DesignMatrix({x}), p.settings.parallel, &p);
    } catch (...) {
      db.m_vGroup3DVs = constants;
      std::throw_with_nested(std::runtime_error("an analysis of the response-surface design around design point " +
                                                std::to_string(j + 1) + " failed"));
    }
    db.m_vGroup3DVs = constants;
  }
}

// Every design point after its surface design, one at a time.
BatchResult EvaluateWithSurface(const Problem& p, CDB& db) {
  // The accumulating variant of method 2: a run has no optimiser cycle.
  db.m_optimizerKind = 1;
  const std::vector<SurfaceAxis> axes = SurfaceAxes(p, db);
  BatchResult all;
  const int nPoints = int(p.designPoints.size());
  all.objective.resize(std::size_t(nPoints));
  all.constraint.resize(std::size_t(nPoints));
  for (int j = 0; j < nPoints; ++j) {
    AnalyseSurfaceDesign(p, db, axes, std::size_t(j));
    // The surface methods only log a failed fit and leave the statistics
    // unset; that must not pass for a result.
    const long long failuresBefore = refhost::FitFailures();
    BatchResult r =
        EvaluateDesignPoints(db, p.builder.DesignMatrix({p.designPoints[std::size_t(j)]}), p.settings.parallel, &p);
    if (refhost::FitFailures() != failuresBefore)
      throw SurfaceFitError("the library could not fit its response surface at design point " + std::to_string(j + 1) +
                            "; use method 0 or 1 (sampling) for this problem");
    if (j == 0) {
      all.designPoints = CMatrix<double>(r.designPoints.Rows(), nPoints);
      all.designResponses = CMatrix<double>(r.designResponses.Rows(), nPoints);
    }
    std::valarray<double> column;
    r.designPoints.GetCol(0, column);
    all.designPoints.ReplaceCol(j, column);
    r.designResponses.GetCol(0, column);
    all.designResponses.ReplaceCol(j, column);
    all.objective[std::size_t(j)] = r.objective[0];
    all.constraint[std::size_t(j)] = r.constraint[0];
  }
  return all;
}

int RandomVariableCount(const Problem& p) {
  return int(std::count_if(p.variables.begin(), p.variables.end(), [](const Variable& v) {
    return v.kind == VariableKind::kRandomDesign || v.kind == VariableKind::kRandomParameter;
  }));
}

// ---- the skip policy: each design point's sample without its failed analyses

// The columns of m whose failure report is empty.
CMatrix<double> SucceededColumns(const CMatrix<double>& m, const std::vector<std::string>& failures) {
  const long long nOk = std::count(failures.begin(), failures.end(), std::string());
  CMatrix<double> kept(m.Rows(), int(nOk));
  std::valarray<double> column;
  int k = 0;
  for (int j = 0; j < m.Cols(); ++j) {
    if (!failures[std::size_t(j)].empty()) continue;
    m.GetCol(j, column);
    kept.ReplaceCol(k++, column);
  }
  return kept;
}

// Stops the run when more of design point j's analyses failed than the policy allows.
void CheckSkipped(const Problem& p, std::size_t j, const std::vector<std::string>& failures, long long nSkipped) {
  const double fraction = double(nSkipped) / double(failures.size());
  const double limit = p.settings.onFailure.maxSkippedFraction;
  if (nSkipped == 0 || (fraction <= limit && nSkipped < (long long)failures.size())) return;
  const auto first = std::find_if(failures.begin(), failures.end(), [](const std::string& f) { return !f.empty(); });
  char buf[160];
  std::snprintf(buf, sizeof buf, "%lld of the %zu analyses of design point %zu failed (%.3g%%), more than the %.3g%%",
                nSkipped, failures.size(), j + 1, 100.0 * fraction, 100.0 * limit);
  throw EvaluationError(std::string(buf) +
                        " that \"max_skipped_fraction\" (--max-skipped) allows; the first failure: " + *first);
}

// Design point j's statistics over the analyses that succeeded: its sample is
// drawn as a run draws it, analysed, and only the columns that succeeded are
// folded by the library's incremental update (which counts the columns it
// is given).
PointResult EvaluateSkippingAt(const Problem& p, CDB& db, std::size_t j, const AnalysisCounter& pCounter) {
  const Settings& s = p.settings;
  const std::valarray<double>& design = p.designPoints[j];
  db.m_vIndDVs = design;
  std::valarray<double> designVars;
  SetXVector(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vDVIndexOfInput, db.m_vDVTypeOfInput,
             designVars);
  CMatrix<double> designPoints(int(designVars.size()), 1), designResponses, analysisPoints, analysisOutputs;
  designPoints.ReplaceCol(0, designVars);
  refhost::SetRBOMethod(s.method, s.samples);
  AdjustDVsMatrices(&db, designPoints, designResponses, analysisPoints, analysisOutputs, false);
  std::vector<std::string> failures;
  AnalyseColumnsOf(p, ColumnKind::kAnalysis, analysisPoints, analysisOutputs, &failures);
  if (pCounter) pCounter->fetch_add(analysisPoints.Cols(), std::memory_order_relaxed);
  const long long nSkipped =
      std::count_if(failures.begin(), failures.end(), [](const std::string& f) { return !f.empty(); });
  CheckSkipped(p, j, failures, nSkipped);
  CMatrix<double> kept = SucceededColumns(analysisOutputs, failures), perSample, stats, none;
  refhost::SetRBOMethod(s.method, kept.Cols());
  UpdateSamplePointRandResps(&db, true, 0, designVars, kept, db.m_vEntryRandRespNumber, db.m_vRespRole, perSample,
                             false);
  UpdateSamplePointRandResps(&db, false, 0, designVars, none, db.m_vEntryRandRespNumber, db.m_vRespRole, stats, true);
  refhost::SetRBOMethod(s.method, s.samples);
  std::valarray<double> column;
  stats.GetCol(0, column);
  PointResult point = ExtractPoint(p, design, column, double(kept.Cols()));
  std::valarray<double> objective, constraint;
  RecomputeObjectiveAndConstraint(db, p.builder.DesignMatrix({design}), stats, objective, constraint);
  point.objective = objective[0];
  point.constraint = constraint[0];
  point.analyses = analysisPoints.Cols();
  point.skipped = nSkipped;
  return point;
}

std::vector<PointResult> EvaluateSkipping(const Problem& p, const AnalysisCounter& pCounter) {
  ConfigureHost(p, pCounter);
  std::unique_ptr<CDB> db = p.builder.Build();
  // The incremental update reads the pass/fail marks of the responses from
  // the object store; this problem has no pass/fail responses.
  refhost::OpenStore(":memory:");
  db->m_nStoreKey = kStoreKey;
  refhost::PutPassFailMarks(kStoreKey, std::vector<int>(db->m_vRespIndexOfEntry.size(), 0));
  std::vector<PointResult> points;
  for (std::size_t j = 0; j < p.designPoints.size(); ++j) {
    points.push_back(EvaluateSkippingAt(p, *db, j, pCounter));
    CheckFinite(p, points.back(), "design point " + std::to_string(j + 1));
  }
  return points;
}

}  // namespace

namespace {

bool SamplesEveryPoint(const Problem& p) { return p.builder.IsRandom() && p.settings.method <= 1; }

}  // namespace

SampleBatches SampleBatchesOf(const Problem& p) {
  const Settings& s = p.settings;
  SampleBatches b{true, 1, s.samples};
  if (!SamplesEveryPoint(p) || s.samples < 1) return b;
  const double bytesPerSample =
      double(p.variables.size() + p.responses.size()) * double(sizeof(double)) * kCopiesPerSampleValue;
  std::string source;
  const double limit = MemoryLimit(&source);
  if (double(p.designPoints.size()) * double(s.samples) * bytesPerSample <= limit) return b;
  // One design point at a time, in as few batches as fit, of equal size.
  b.oneGo = false;
  const double fit = std::max(1.0, std::floor(limit / bytesPerSample));
  b.batches = (long long)std::ceil(double(s.samples) / std::min(fit, double(s.samples)));
  b.size = (s.samples + b.batches - 1) / b.batches;
  return b;
}

void CheckRunMemory(const Problem& p) {
  const Settings& s = p.settings;
  if (!p.builder.IsRandom() || !IsSampledMethod(s.method)) return;
  if (s.method <= 1)
    CheckBatchMemory(p, 1.0, 1.0);
  else
    CheckBatchMemory(p, 1.0, double(s.samples));
}

long long AnalysesPerPoint(const Problem& p) {
  const Settings& s = p.settings;
  if (IsReliabilityMethod(s.method)) return 0;
  if (!p.builder.IsRandom()) return 1;
  if (s.method <= 1) return s.samples;
  return 2 * (long long)RandomVariableCount(p) + 1;
}

std::vector<PointResult> EvaluatePoints(const Problem& p, const AnalysisCounter& pCounter) {
  const Settings& s = p.settings;
  if (s.method == kMethodSora)
    throw std::invalid_argument(
        "method sora optimises: use `rbo optimize --method sora`, or a reliability method "
        "(form, sorm, is, subset) to assess designs");
  const std::string refusal = MethodRefusal(p);
  if (!refusal.empty()) throw std::invalid_argument(refusal);
  if (const std::string skip = SkipRefusal(p); !skip.empty()) throw std::invalid_argument(skip);
  if (IsReliabilityMethod(s.method)) return EvaluateReliability(p, pCounter);
  CheckRunMemory(p);
  if (s.onFailure.action == FailureAction::kSkip) return EvaluateSkipping(p, pCounter);
  const SampleBatches batches = SampleBatchesOf(p);
  if (!batches.oneGo) return EvaluatePointsInBatches(p, pCounter, batches);
  ConfigureHost(p, pCounter);
  std::unique_ptr<CDB> db = p.builder.Build();
  const bool bSurface = s.method >= 2 && p.builder.IsRandom();
  const BatchResult r = bSurface ? EvaluateWithSurface(p, *db)
                                 : EvaluateDesignPoints(*db, p.builder.DesignMatrix(p.designPoints), s.parallel, &p);
  const double samples = IsSampledMethod(s.method) && HasRandomResponse(p) ? double(s.samples) : 0.0;
  std::vector<PointResult> points;
  for (std::size_t j = 0; j < p.designPoints.size(); ++j) {
    std::valarray<double> column;
    r.designResponses.GetCol(int(j), column);
    PointResult point = ExtractPoint(p, p.designPoints[j], column, samples);
    point.objective = r.objective[j];
    point.constraint = r.constraint[j];
    point.analyses = AnalysesPerPoint(p);
    CheckFinite(p, point, "design point " + std::to_string(j + 1));
    points.push_back(point);
  }
  return points;
}

// ---------------------------------------------------------------- until converged

namespace {

/// One design point's state between batches: the database holding it, its
/// full design-variable vector, and the samples folded so far.
class CFoldingPoint {
 public:
  CFoldingPoint(CDB& db, const std::valarray<double>& design) : m_db(db) {
    // The design point's full design-variable vector, as AnalysisVerif builds it.
    db.m_vIndDVs = design;
    SetXVector(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vDVIndexOfInput, db.m_vDVTypeOfInput,
               m_vDesignVars);
    m_designPoints = CMatrix<double>(int(m_vDesignVars.size()), 1);
    m_designPoints.ReplaceCol(0, m_vDesignVars);
  }

  /// Draws n samples, analyses them and folds them into the statistics;
  /// returns the host's statistics vector and whether the batch left every
  /// mean and standard deviation unchanged.
  std::valarray<double> Fold(int batch, int n, bool bParallel, const ConvergenceCallbacks& callbacks,
                             bool* pbUnchanged) {
    auto phase = [&](BatchPhase ph) {
      if (callbacks.phase) callbacks.phase(ph);
    };
    CMatrix<double> designResponses, analysisPoints, analysisOutputs, perSample, stats, none;
    phase(BatchPhase::kDrawing);
    AdjustDVsMatrices(&m_db, m_designPoints, designResponses, analysisPoints, analysisOutputs, false);
    std::string in, out, exe, cmd, s3, s4, s11;
    phase(BatchPhase::kAnalysing);
    if (bParallel)
      AnalysePar(analysisPoints, analysisOutputs, s3, s4, in, out, exe, cmd, 0, false, s11, 0);
    else
      Analysis(analysisPoints, analysisOutputs, in, out, exe, cmd, false, 0, -1);
    phase(BatchPhase::kFolding);
    *pbUnchanged = UpdateSamplePointRandResps(&m_db, batch == 0, int(m_nFolded), m_vDesignVars, analysisOutputs,
                                              m_db.m_vEntryRandRespNumber, m_db.m_vRespRole, perSample, false);
    m_nFolded += n;
    UpdateSamplePointRandResps(&m_db, false, 0, m_vDesignVars, none, m_db.m_vEntryRandRespNumber, m_db.m_vRespRole,
                               stats, true);
    std::valarray<double> column;
    stats.GetCol(0, column);
    return column;
  }

  long long Folded() const { return m_nFolded; }

 private:
  CDB& m_db;                            ///< the problem's database
  std::valarray<double> m_vDesignVars;  ///< the full design-variable vector
  CMatrix<double> m_designPoints;       ///< the same as a one-column matrix
  long long m_nFolded = 0;              ///< samples folded so far
};

// The problem's database for folding batches.  The incremental update
// reads the pass/fail marks of the responses from the object store; this
// problem has no pass/fail responses.
std::unique_ptr<CDB> OpenFoldingStore(const Problem& p) {
  std::unique_ptr<CDB> db = p.builder.Build();
  refhost::OpenStore(":memory:");
  db->m_nStoreKey = kStoreKey;
  refhost::PutPassFailMarks(kStoreKey, std::vector<int>(db->m_vRespIndexOfEntry.size(), 0));
  return db;
}

// Design point j's result from its folded statistics (the host's response
// vector), with the objective and constraint computed from them as for a
// run in one go.
PointResult FoldedPoint(const Problem& p, CDB& db, std::size_t j, const std::valarray<double>& column) {
  const Settings& s = p.settings;
  CMatrix<double> responses(int(column.size()), 1);
  responses.ReplaceCol(0, column);
  std::valarray<double> objective, constraint;
  RecomputeObjectiveAndConstraint(db, p.builder.DesignMatrix({p.designPoints[j]}), responses, objective, constraint);
  PointResult point = ExtractPoint(p, p.designPoints[j], column, double(s.samples));
  point.objective = objective[0];
  point.constraint = constraint[0];
  CheckFinite(p, point, "design point " + std::to_string(j + 1));
  return point;
}

// Why the batches of a point stop after this one, or "" when they go on.
std::string StopReason(const BatchRecord& b, bool bUnchanged, double tol, long long budget, bool* pbConverged) {
  *pbConverged = true;
  if (Settled(b, tol)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "every 95%% interval is within %g of its estimate", tol);
    return buf;
  }
  if (bUnchanged) return "the last sample left every mean and standard deviation unchanged";
  *pbConverged = false;
  if (b.samples >= budget)
    return "the budget of " + Thousands(budget) + " samples ran out before the statistics settled";
  return "";
}

// The batches of design point j until they stop.
ConvergenceRecord ConvergePoint(const Problem& p, CDB& db, std::size_t j, const ConvergenceOptions& o,
                                const ConvergenceCallbacks& callbacks) {
  const Settings& s = p.settings;
  const long long budget = std::max<long long>(o.budget, 1);
  ConvergenceRecord rec;
  rec.design = p.designPoints[j];
  if (callbacks.pointStarted) callbacks.pointStarted(j, rec.design);
  CFoldingPoint point(db, rec.design);
  for (int batch = 0;; ++batch) {
    const int n = int(std::min<long long>(s.samples, budget - point.Folded()));
    // Every batch draws from its own stream: the generator restarts from
    // the configured seed, and the same samples folded twice would only
    // look converged.  Batch 0 uses the seed itself, so it is the sample
    // of a plain run.
    refhost::SetSeed(s.seed + std::uint64_t(batch));
    refhost::SetRBOMethod(s.method, n);
    bool bUnchanged = false;
    const std::valarray<double> column = point.Fold(batch, n, s.parallel, callbacks, &bUnchanged);
    BatchRecord b;
    b.batch = batch + 1;
    b.samples = point.Folded();
    b.stats = ExtractPoint(p, rec.design, column, double(b.samples));
    CheckFinite(p, b.stats, "design point " + std::to_string(j + 1) + " after " + Thousands(b.samples) + " samples");
    rec.batches.push_back(b);
    if (callbacks.batchDone) callbacks.batchDone(j, b);
    rec.reason = StopReason(b, bUnchanged, o.tol, budget, &rec.converged);
    if (!rec.reason.empty()) break;
  }
  if (callbacks.pointDone) callbacks.pointDone(j, rec);
  return rec;
}

}  // namespace

std::vector<PointResult> EvaluatePointsInBatches(const Problem& p, const AnalysisCounter& pCounter,
                                                 const SampleBatches& batches) {
  const Settings& s = p.settings;
  if (!SamplesEveryPoint(p)) throw std::invalid_argument("batches of samples need method 0 or 1 and a random problem");
  const long long nSize = std::max<long long>(1, batches.size);
  ConfigureHost(p, pCounter);
  std::unique_ptr<CDB> db = OpenFoldingStore(p);
  std::vector<PointResult> points;
  for (std::size_t j = 0; j < p.designPoints.size(); ++j) {
    CFoldingPoint point(*db, p.designPoints[j]);
    std::valarray<double> column;
    for (int batch = 0; point.Folded() < s.samples; ++batch) {
      const int n = int(std::min<long long>(nSize, s.samples - point.Folded()));
      refhost::SetSeed(s.seed + std::uint64_t(batch));
      refhost::SetRBOMethod(s.method, n);
      bool bUnchanged = false;
      column = point.Fold(batch, n, s.parallel, ConvergenceCallbacks(), &bUnchanged);
    }
    points.push_back(FoldedPoint(p, *db, j, column));
  }
  refhost::SetSeed(s.seed);
  refhost::SetRBOMethod(s.method, s.samples);
  return points;
}

std::string UntilConvergedRefusal(const Problem& p) {
  const Settings& s = p.settings;
  if (s.method > 1)
    return "--until-converged folds sample points batch by batch: it works with methods 0 (montecarlo) "
           "and 1 (lhs), not " +
           std::to_string(s.method) + " (" + MethodName(s.method) + ")";
  if (s.onFailure.action == FailureAction::kSkip)
    return "--until-converged stops at a failed analysis or retries it; the failure policy skip works with a plain "
           "`rbo run`";
  if (!p.builder.IsRandom())
    return "--until-converged needs random variables and a random response; this problem has nothing to sample";
  return "";
}

bool Settled(const BatchRecord& b, double tol) {
  constexpr double z = 1.959963984540054;
  const double n = double(b.samples);
  for (const ResponseResult& s : b.stats.responses) {
    if (!s.random) continue;
    if (s.bounded) {
      const Interval ci = s.pof95.value_or(WilsonInterval(s.pof, n));
      if (!(s.pof > 0.0) || std::max(ci.high - s.pof, s.pof - ci.low) > tol * s.pof) return false;
    } else if (z * s.sd / std::sqrt(n) > tol * std::fabs(s.mean)) {
      return false;
    }
  }
  return true;
}

std::vector<ConvergenceRecord> RunUntilConverged(const Problem& p, const ConvergenceOptions& options,
                                                 const AnalysisCounter& pCounter,
                                                 const ConvergenceCallbacks& callbacks) {
  const std::string refusal = UntilConvergedRefusal(p);
  if (!refusal.empty()) throw std::invalid_argument(refusal);
  CheckBatchMemory(p, 1.0, double(p.settings.samples));
  ConfigureHost(p, pCounter);
  std::unique_ptr<CDB> db = OpenFoldingStore(p);
  std::vector<ConvergenceRecord> records;
  for (std::size_t j = 0; j < p.designPoints.size(); ++j)
    records.push_back(ConvergePoint(p, *db, j, options, callbacks));
  return records;
}

}  // namespace rbo::problem
