// `rbo run`: evaluate the design points of a problem under uncertainty, in
// one go or batch by batch until the statistics settle.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>

#include "Cli.h"
#include "Commands.h"
#include "Evaluate.h"
#include "Output.h"
#include "rbo/RBO.h"
#include "rbo/host/ReferenceHost.h"

namespace rboapp {
namespace {

/// Key of the problem's records in the (in-memory) object store.
constexpr int kStoreKey = 1;
/// Default relative half-width of the 95% interval at which a statistic counts as settled.
constexpr double kDefaultTolerance = 0.1;
/// Default sample budget per design point for --until-converged.
constexpr long long kDefaultBudget = 1000000;

struct RunOptions {
  CommonOptions common;               ///< shared with the other evaluating commands
  bool untilConverged = false;        ///< fold batches until the statistics settle
  double tol = kDefaultTolerance;     ///< --tol
  long long budget = kDefaultBudget;  ///< --max-samples
};

OptionParser RunParser(RunOptions& o) {
  OptionParser parser;
  AddCommonOptions(parser, o.common);
  using V = OptionParser::Value;
  parser.Add("--until-converged", V::kNone, "",
             "fold batches of --samples samples until the statistics settle (methods 0, 1)",
             [&o](const std::string&) { o.untilConverged = true; });
  parser.Add("--tol", V::kRequired, "T", "settled: every 95% interval within T times its estimate (default 0.1)",
             [&o](const std::string& v) { o.tol = ParsePositive("--tol", v); });
  parser.Add("--max-samples", V::kRequired, "N",
             "sample budget per design point for --until-converged (default 1,000,000)",
             [&o](const std::string& v) { o.budget = ParseInteger("--max-samples", v, 1, 1000000000000LL); });
  return parser;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---------------------------------------------------------------- one go

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

BatchResult EvaluateWithSurface(Problem& p, CDB& db, LogSession& log) {
  // The accumulating variant of method 2: `rbo run` has no optimiser cycle.
  db.m_optimizerKind = 1;
  const std::vector<SurfaceAxis> axes = SurfaceAxes(p, db);
  BatchResult all;
  const int nPoints = int(p.designPoints.size());
  all.objective.resize(std::size_t(nPoints));
  all.constraint.resize(std::size_t(nPoints));
  for (int j = 0; j < nPoints; ++j) {
    const auto design = SurfaceDesign(axes.size(), p.settings.seed + 0x9e3779b97f4a7c15ull * std::uint64_t(j + 1));
    for (std::size_t k = 0; k < design.size(); ++k) {
      std::valarray<double> x = p.designPoints[std::size_t(j)];
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
    log.Clear();
    BatchResult r =
        EvaluateDesignPoints(db, p.builder.DesignMatrix({p.designPoints[std::size_t(j)]}), p.settings.parallel, &p);
    // The surface methods report a failed fit in the log and leave the
    // statistics unset; that must not pass for a result.
    if (!log.LibraryReport().empty())
      throw std::runtime_error("the library could not fit its response surface at design point " +
                               std::to_string(j + 1) + "; use method 0 or 1 (sampling) for this problem");
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

// "2 design points", "1 design point": for the log.
std::string DesignPointCount(const Problem& p) {
  const std::size_t n = p.designPoints.size();
  return std::to_string(n) + (n == 1 ? " design point" : " design points");
}

// What the table's numbers mean where a reader could take them wrongly.
void PrintNotes(const Problem& p) {
  const Settings& s = p.settings;
  bool bBounded = false;
  for (const Response& r : p.responses) bBounded = bBounded || (r.random && (r.hasLower || r.hasUpper));
  if (!p.constraints.empty())
    std::printf("\nconstraint: the largest scaled violation of the constraints; <= 0 when all hold.\n");
  if (!bBounded || !p.builder.IsRandom()) return;
  if (IsSampledMethod(s.method))
    std::printf(
        "POF 95%%: where the true POF lies with 95%% confidence after %s samples (Wilson score interval);\n"
        "  a POF of 0 means below about %.2g, not safe.\n",
        Thousands(s.samples).c_str(), 3.84 / double(s.samples));
  else
    std::printf(
        "any, joint: first order treats the responses as independent (any: 1 - product of (1 - POF); joint:\n"
        "  the product of the POFs of the responses with bounds); sampling counts them on the samples.\n");
}

int RunAll(Problem& p, const RunOptions& o, LogSession& log, AtomicFile* pOut) {
  const Settings& s = p.settings;
  if (p.builder.IsRandom() && IsSampledMethod(s.method))
    CheckBatchMemory(p, s.method <= 1 ? double(p.designPoints.size()) : 1.0, double(s.samples));
  log.Note("rbo run: " + (p.path.empty() ? std::string("(embedded example)") : p.path) + ": " + DesignPointCount(p) +
           "; " + DescribeSettings(s));
  auto pDone = std::make_shared<std::atomic<long long>>(0);
  ConfigureHost(p, pDone);
  std::unique_ptr<CDB> db = p.builder.Build();
  const bool bSurface = s.method >= 2 && p.builder.IsRandom();
  long long perPoint = 1;
  if (s.method <= 1 && p.builder.IsRandom()) perPoint = s.samples;
  if (bSurface) perPoint = 2 * (long long)db->m_nRandVars + 1;
  const auto start = std::chrono::steady_clock::now();
  BatchResult r;
  {
    Progress progress(pDone, perPoint * (long long)p.designPoints.size(), Progress::Wanted(o.common.quiet));
    log.Clear();
    r = bSurface ? EvaluateWithSurface(p, *db, log)
                 : EvaluateDesignPoints(*db, p.builder.DesignMatrix(p.designPoints), s.parallel, &p);
  }
  const double seconds = Seconds(start);

  std::vector<PointResult> points;
  for (std::size_t j = 0; j < p.designPoints.size(); ++j) {
    std::valarray<double> column;
    r.designResponses.GetCol(int(j), column);
    PointResult pr = ExtractPoint(p, p.designPoints[j], column);
    pr.objective = r.objective[j];
    pr.constraint = r.constraint[j];
    CheckFinite(p, pr, "design point " + std::to_string(j + 1));
    points.push_back(pr);
  }
  if (!p.title.empty()) std::printf("%s\n", p.title.c_str());
  std::printf("%s\n\n%s", DescribeSettings(s).c_str(), RunTable(p, points).c_str());
  PrintNotes(p);
  std::fflush(stdout);
  if (pOut) pOut->Commit(OutFormatOf(o.common.out) == OutFormat::kJson ? RunJson(p, points) : RunCsv(p, points));
  log.Note("rbo run: done: " + Thousands(pDone->load()) + " analyses");
  if (!o.common.quiet)
    std::fprintf(stderr, "rbo: %s analyses in %.3g s%s%s\n", Thousands(pDone->load()).c_str(), seconds,
                 s.parallel ? " (parallel)" : "", pOut ? ("; results written to " + o.common.out).c_str() : "");
  return kExitOk;
}

// ---------------------------------------------------------------- batch by batch

// Whether the statistics of a point count as settled after n samples: the
// 95% interval of every POF (responses with bounds) lies within tol times
// the POF, and that of every mean (responses without bounds) within tol
// times the mean's magnitude.  A POF still at 0 never counts as settled:
// nothing is known yet about how small it is.
bool Settled(const Problem& p, const BatchRecord& b, double tol) {
  constexpr double z = 1.959963984540054;
  const double n = double(b.samples);
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& resp = p.responses[k];
    if (!resp.random) continue;
    const ResponseStats& s = b.stats.responses[k];
    if (resp.hasLower || resp.hasUpper) {
      const Interval& ci = b.pofInterval[k];
      if (!(s.pof > 0.0) || std::max(ci.high - s.pof, s.pof - ci.low) > tol * s.pof) return false;
    } else if (z * s.sd / std::sqrt(n) > tol * std::fabs(s.mean)) {
      return false;
    }
  }
  return true;
}

int RunBatches(Problem& p, const RunOptions& o, LogSession& log, AtomicFile* pOut) {
  Settings& s = p.settings;
  if (s.method > 1)
    throw UsageError(
        "--until-converged folds sample points batch by batch: it works with methods 0 (montecarlo) "
        "and 1 (lhs), not " +
        std::to_string(s.method) + " (" + MethodName(s.method) + ")");
  if (!p.builder.IsRandom())
    throw UsageError(
        "--until-converged needs random variables and a random response; this problem has nothing to sample");

  CheckBatchMemory(p, 1.0, double(s.samples));
  log.Note("rbo run --until-converged: " + (p.path.empty() ? std::string("(embedded example)") : p.path) + ": " +
           DesignPointCount(p) + "; " + DescribeSettings(s));
  auto pDone = std::make_shared<std::atomic<long long>>(0);
  ConfigureHost(p, pDone);
  std::unique_ptr<CDB> db = p.builder.Build();
  // The incremental update reads the pass/fail marks of the responses from
  // the object store; this problem has no pass/fail responses.
  refhost::OpenStore(":memory:");
  db->m_nStoreKey = kStoreKey;
  refhost::PutPassFailMarks(kStoreKey, std::vector<int>(db->m_vRespIndexOfEntry.size(), 0));

  const long long budget = std::max<long long>(o.budget, 1);
  Progress progress(pDone, budget * (long long)p.designPoints.size(), Progress::Wanted(o.common.quiet));
  const auto start = std::chrono::steady_clock::now();
  std::vector<ConvergenceRecord> records;
  if (!p.title.empty()) std::printf("%s\n", p.title.c_str());
  std::printf("%s; batches of %s samples until every 95%% interval is within %g of its estimate, at most %s samples\n",
              DescribeSettings(s).c_str(), Thousands(s.samples).c_str(), o.tol, Thousands(budget).c_str());
  for (std::size_t j = 0; j < p.designPoints.size(); ++j) {
    ConvergenceRecord rec;
    rec.design = p.designPoints[j];
    std::printf("\ndesign point %zu: %s\n%s", j + 1, DescribeDesign(p, rec.design).c_str(), BatchHeader(p).c_str());
    std::fflush(stdout);

    // The design point's full design-variable vector, as AnalysisVerif builds it.
    db->m_vIndDVs = rec.design;
    std::valarray<double> designVars;
    SetXVector(db->m_vIndDVs, db->m_vLinkDVs, db->m_vSynthDVs, db->m_vGroup3DVs, db->m_vDVIndexOfInput,
               db->m_vDVTypeOfInput, designVars);
    CMatrix<double> designPoints(int(designVars.size()), 1);
    designPoints.ReplaceCol(0, designVars);

    long long nBefore = 0;
    for (int batch = 0;; ++batch) {
      const int n = int(std::min<long long>(s.samples, budget - nBefore));
      // Every batch draws from its own stream: the generator restarts from
      // the configured seed, and the same samples folded twice would only
      // look converged.  Batch 0 uses the seed itself, so it is the sample
      // of a plain `rbo run`.
      refhost::SetSeed(s.seed + std::uint64_t(batch));
      refhost::SetRBOMethod(s.method, n);
      log.Clear();
      CMatrix<double> designResponses, analysisPoints, analysisOutputs, perSample, stats, none;
      progress.SetPhase(Progress::Phase::kDrawing);
      AdjustDVsMatrices(db.get(), designPoints, designResponses, analysisPoints, analysisOutputs, false);
      std::string in, out, exe, cmd, s3, s4, s11;
      progress.SetPhase(Progress::Phase::kAnalysing);
      if (s.parallel)
        AnalysePar(analysisPoints, analysisOutputs, s3, s4, in, out, exe, cmd, 0, false, s11, 0);
      else
        Analysis(analysisPoints, analysisOutputs, in, out, exe, cmd, false, 0, -1);
      progress.SetPhase(Progress::Phase::kFolding);
      const bool bUnchanged =
          UpdateSamplePointRandResps(db.get(), batch == 0, int(nBefore), designVars, analysisOutputs,
                                     db->m_vEntryRandRespNumber, db->m_vRespRole, perSample, false);
      nBefore += n;
      UpdateSamplePointRandResps(db.get(), false, 0, designVars, none, db->m_vEntryRandRespNumber, db->m_vRespRole,
                                 stats, true);
      std::valarray<double> column;
      stats.GetCol(0, column);
      BatchRecord b;
      b.batch = batch + 1;
      b.samples = nBefore;
      b.stats = ExtractPoint(p, rec.design, column);
      CheckFinite(p, b.stats, "design point " + std::to_string(j + 1) + " after " + Thousands(nBefore) + " samples");
      for (const ResponseStats& rs : b.stats.responses)
        b.pofInterval.push_back(WilsonInterval(rs.pof, double(nBefore)));
      rec.batches.push_back(b);
      progress.Clear();
      std::printf("%s", BatchRow(p, b).c_str());
      std::fflush(stdout);
      if (Settled(p, b, o.tol)) {
        rec.converged = true;
        char buf[64];
        std::snprintf(buf, sizeof buf, "every 95%% interval is within %g of its estimate", o.tol);
        rec.reason = buf;
        break;
      }
      if (bUnchanged) {
        rec.converged = true;
        rec.reason = "the last sample left every mean and standard deviation unchanged";
        break;
      }
      if (nBefore >= budget) {
        rec.reason = "the budget of " + Thousands(budget) + " samples ran out before the statistics settled";
        break;
      }
    }
    progress.Clear();
    std::printf("%s: %s\n", rec.converged ? "converged" : "NOT converged", rec.reason.c_str());
    records.push_back(rec);
  }
  std::fflush(stdout);
  if (pOut)
    pOut->Commit(OutFormatOf(o.common.out) == OutFormat::kJson ? ConvergenceJson(p, records, o.tol, budget)
                                                               : ConvergenceCsv(p, records));
  log.Note("rbo run --until-converged: done: " + Thousands(pDone->load()) + " analyses");
  if (!o.common.quiet)
    std::fprintf(stderr, "rbo: %s analyses in %.3g s%s\n", Thousands(pDone->load()).c_str(), Seconds(start),
                 pOut ? ("; results written to " + o.common.out).c_str() : "");
  return kExitOk;
}

}  // namespace

int RunCommand(const std::vector<std::string>& args) {
  RunOptions o;
  const OptionParser parser = RunParser(o);
  return RunEvaluatingCommand("run", args, parser, o.common, [&o](const std::string& file, LogSession& log) {
    // The output file is created before anything runs: a folder that does
    // not exist is reported now, not after the run.
    std::unique_ptr<AtomicFile> pOut;
    if (!o.common.out.empty()) pOut = std::make_unique<AtomicFile>(o.common.out);
    Problem p = LoadForCommand(file, o.common);
    return o.untilConverged ? RunBatches(p, o, log, pOut.get()) : RunAll(p, o, log, pOut.get());
  });
}

}  // namespace rboapp

namespace rboapp {

std::string RunOptionsHelp() {
  RunOptions o;
  return RunParser(o).Help();
}

}  // namespace rboapp
