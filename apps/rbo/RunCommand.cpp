// `rbo run`: evaluate the design points of a problem under uncertainty, in
// one go or batch by batch until the statistics settle.  The evaluation is
// the problem layer's (rbo/problem/Run.h); this file parses the options and
// prints.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "Cli.h"
#include "Commands.h"
#include "Output.h"
#include "Ranks.h"
#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Reliability.h"
#include "rbo/problem/Run.h"

namespace rboapp {
namespace {

/// Default relative half-width of the 95% interval at which a statistic counts as settled.
constexpr double kDefaultTolerance = 0.1;
/// Default sample budget per design point for --until-converged.
constexpr long long kDefaultBudget = 1000000;

struct RunOptions {
  CommonOptions common;               ///< shared with the other evaluating commands
  bool untilConverged = false;        ///< fold batches until the statistics settle
  double tol = kDefaultTolerance;     ///< --tol
  long long budget = kDefaultBudget;  ///< --max-samples
  double targetCov = -1.0;            ///< --target-cov, -1: the file's
  long long maxAnalyses = -1;         ///< --max-analyses, -1: the file's
  int starts = -1;                    ///< --starts, -1: the file's
  int samplesPerLevel = -1;           ///< --samples-per-level, -1: the file's
};

void AddReliabilityOptions(OptionParser& parser, RunOptions& o) {
  using V = OptionParser::Value;
  parser.Add("--target-cov", V::kRequired, "C",
             "is: stop when the POF's c.o.v. is C (default 0.05); subset: repeat runs until it is (default: one run)",
             [&o](const std::string& v) {
               o.targetCov = ParsePositive("--target-cov", v);
               if (o.targetCov >= 1.0) throw UsageError("--target-cov wants a number in (0, 1), not \"" + v + "\"");
             });
  parser.Add("--max-analyses", V::kRequired, "N", "is, subset: analyses per probability at most (default 100,000)",
             [&o](const std::string& v) { o.maxAnalyses = ParseInteger("--max-analyses", v, 1, 1000000000000LL); });
  parser.Add("--starts", V::kRequired, "N",
             "form, sorm, is: search the design point from N starts (several failure regions; default 1)",
             [&o](const std::string& v) { o.starts = int(ParseInteger("--starts", v, 1, 1000)); });
  parser.Add(
      "--samples-per-level", V::kRequired, "N", "subset: samples per level (default 2,000)",
      [&o](const std::string& v) { o.samplesPerLevel = int(ParseInteger("--samples-per-level", v, 100, 10000000)); });
}

void ApplyReliabilityOverrides(const RunOptions& o, ReliabilitySettings& r) {
  if (o.targetCov > 0.0) r.targetCov = o.targetCov;
  if (o.maxAnalyses > 0) r.maxAnalyses = o.maxAnalyses;
  if (o.starts > 0) r.starts = o.starts;
  if (o.samplesPerLevel > 0) r.samplesPerLevel = o.samplesPerLevel;
}

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
  AddReliabilityOptions(parser, o);
  return parser;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// "2 design points", "1 design point": for the log.
std::string DesignPointCount(const Problem& p) {
  const std::size_t n = p.designPoints.size();
  return std::to_string(n) + (n == 1 ? " design point" : " design points");
}

std::string ProblemName(const Problem& p) { return p.path.empty() ? std::string("(embedded example)") : p.path; }

// What the table's numbers mean where a reader could take them wrongly.
void PrintNotes(const Problem& p) {
  const Settings& s = p.settings;
  bool bBounded = false;
  for (const Response& r : p.responses) bBounded = bBounded || (r.random && (r.hasLower || r.hasUpper));
  if (!p.constraints.empty())
    std::printf("\nconstraint: the largest scaled violation of the constraints; <= 0 when all hold.\n");
  if (!bBounded || !p.builder.IsRandom()) return;
  if (IsReliabilityMethod(s.method))
    std::printf(
        "at means: the response at the means of the random variables; beta = -Phi^-1(POF), the reliability index.\n"
        "any violation: the probability that any bound is violated (a series system%s).\n",
        s.method == kMethodForm || s.method == kMethodSorm ? ", to first order" : "");
  else if (IsSampledMethod(s.method))
    std::printf(
        "POF 95%%: where the true POF lies with 95%% confidence after %s samples (Wilson score interval);\n"
        "  a POF of 0 means below about %.2g, not safe.\n",
        Thousands(s.samples).c_str(), 3.84 / double(s.samples));
  else
    std::printf(
        "any, joint: first order treats the responses as independent (any: 1 - product of (1 - POF); joint:\n"
        "  the product of the POFs of the responses with bounds); sampling counts them on the samples.\n");
}

// How the samples were drawn when they did not fit in memory at once.
void PrintBatches(const Problem& p) {
  const SampleBatches b = SampleBatchesOf(p);
  if (b.oneGo) return;
  std::string source;
  const double limit = MemoryLimit(&source);
  std::printf(
      "batches: the samples of all design points would not fit in %.3g GB (%s), so each design point\n"
      "  was sampled on its own, in %s batch%s of %s samples folded into running statistics\n"
      "  (batch k drawn from seed + k, as --until-converged draws them).\n",
      limit / 1e9, source.c_str(), Thousands(b.batches).c_str(), b.batches == 1 ? "" : "es", Thousands(b.size).c_str());
}

// Under the failure policy skip: how many analyses each design point left out.
void PrintSkipped(const Problem& p, const std::vector<PointResult>& points) {
  if (p.settings.onFailure.action != FailureAction::kSkip) return;
  std::printf(
      "\nskipped (failed analyses left out; the statistics are conditional on the analyses that "
      "succeeded):\n");
  for (std::size_t j = 0; j < points.size(); ++j)
    std::printf("  design point %zu: %s of %s\n", j + 1, Thousands(points[j].skipped).c_str(),
                Thousands(points[j].analyses).c_str());
}

// ---------------------------------------------------------------- one go

int RunAll(Problem& p, const RunOptions& o, LogSession& log, AtomicFile* pOut) {
  const Settings& s = p.settings;
  CheckRunMemory(p);
  log.Note("rbo run: " + ProblemName(p) + ": " + DesignPointCount(p) + "; " + DescribeSettings(s));
  auto pDone = std::make_shared<std::atomic<long long>>(0);
  const auto start = std::chrono::steady_clock::now();
  std::vector<PointResult> points;
  {
    Progress progress(pDone, AnalysesPerPoint(p) * (long long)p.designPoints.size(), Progress::Wanted(o.common.quiet));
    log.Clear();
    points = EvaluatePoints(p, pDone);
  }
  const double seconds = Seconds(start);
  if (!p.title.empty()) std::printf("%s\n", p.title.c_str());
  std::printf("%s\n\n%s", DescribeSettings(s).c_str(), RunTable(p, points).c_str());
  std::printf("%s", ImportanceTables(points).c_str());
  PrintNotes(p);
  PrintSkipped(p, points);
  const std::string incomplete = ReliabilityNotes(points);
  if (!incomplete.empty()) std::printf("\nINCOMPLETE:\n%s", incomplete.c_str());
  PrintBatches(p);
  std::fflush(stdout);
  if (pOut) pOut->Commit(OutFormatOf(o.common.out) == OutFormat::kJson ? RunJson(p, points) : RunCsv(p, points));
  log.Note("rbo run: done: " + Thousands(pDone->load()) + " analyses");
  if (!o.common.quiet)
    std::fprintf(stderr, "rbo: %s analyses in %.3g s%s%s\n", Thousands(pDone->load()).c_str(), seconds,
                 s.parallel ? " (parallel)" : "", pOut ? ("; results written to " + o.common.out).c_str() : "");
  const bool bComplete = std::all_of(points.begin(), points.end(), [](const PointResult& r) { return r.complete; });
  return bComplete ? kExitOk : kExitIncomplete;
}

// ---------------------------------------------------------------- batch by batch

int RunBatches(Problem& p, const RunOptions& o, LogSession& log, AtomicFile* pOut) {
  const Settings& s = p.settings;
  const std::string refusal = UntilConvergedRefusal(p);
  if (!refusal.empty()) throw UsageError(refusal);
  CheckBatchMemory(p, 1.0, double(s.samples));
  log.Note("rbo run --until-converged: " + ProblemName(p) + ": " + DesignPointCount(p) + "; " + DescribeSettings(s));

  ConvergenceOptions convergence;
  convergence.tol = o.tol;
  convergence.budget = std::max<long long>(o.budget, 1);
  auto pDone = std::make_shared<std::atomic<long long>>(0);
  Progress progress(pDone, convergence.budget * (long long)p.designPoints.size(), Progress::Wanted(o.common.quiet));
  const auto start = std::chrono::steady_clock::now();
  if (!p.title.empty()) std::printf("%s\n", p.title.c_str());
  std::printf("%s; batches of %s samples until every 95%% interval is within %g of its estimate, at most %s samples\n",
              DescribeSettings(s).c_str(), Thousands(s.samples).c_str(), o.tol, Thousands(convergence.budget).c_str());

  // The rows are printed as the batches come.
  ConvergenceCallbacks callbacks;
  callbacks.pointStarted = [&p](std::size_t j, const std::valarray<double>& design) {
    std::printf("\ndesign point %zu: %s\n%s", j + 1, DescribeDesign(p, design).c_str(), BatchHeader(p).c_str());
    std::fflush(stdout);
  };
  callbacks.phase = [&progress, &log](BatchPhase phase) {
    // A failure's report shows the library's lines of its own batch.
    if (phase == BatchPhase::kDrawing) log.Clear();
    progress.SetPhase(phase == BatchPhase::kDrawing     ? Progress::Phase::kDrawing
                      : phase == BatchPhase::kAnalysing ? Progress::Phase::kAnalysing
                                                        : Progress::Phase::kFolding);
  };
  callbacks.batchDone = [&p, &progress](std::size_t, const BatchRecord& b) {
    progress.Clear();
    std::printf("%s", BatchRow(p, b).c_str());
    std::fflush(stdout);
  };
  callbacks.pointDone = [&progress](std::size_t, const ConvergenceRecord& rec) {
    progress.Clear();
    std::printf("%s: %s\n", rec.converged ? "converged" : "NOT converged", rec.reason.c_str());
  };
  const std::vector<ConvergenceRecord> records = RunUntilConverged(p, convergence, pDone, callbacks);
  std::fflush(stdout);
  if (pOut)
    pOut->Commit(OutFormatOf(o.common.out) == OutFormat::kJson ? ConvergenceJson(p, records, o.tol, convergence.budget)
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
    if (!o.common.out.empty() && !IsServingRank()) pOut = std::make_unique<AtomicFile>(o.common.out);
    Problem p = LoadForCommand(file, o.common);
    // The other ranks of an MPI launch only analyse what rank 0 sends.
    if (IsServingRank()) return ServeAnalyses(p);
    const RankDispatch ranks;
    ApplyReliabilityOverrides(o, p.settings.reliability);
    if (p.settings.method == kMethodSora)
      throw UsageError("method sora optimises: use `rbo optimize --method sora`, or form, sorm, is, subset here");
    if (const std::string refusal = MethodRefusal(p); !refusal.empty()) throw UsageError(refusal);
    if (const std::string refusal = SkipRefusal(p); !refusal.empty()) throw UsageError(refusal);
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
