// `rbo optimize`: reliability-based design optimisation of a problem file.
// The optimiser (the problem layer's, rbo/problem/Optimize.h) proposes
// design points; every batch of them is judged by the library through
// AnalysisVerif.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Cli.h"
#include "Commands.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Interval.h"
#include "rbo/problem/Optimize.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Reliability.h"

namespace rboapp {
namespace {

struct OptimizeCommandOptions {
  CommonOptions common;      ///< method, samples, seed, parallel, log, out
  OptimizeOptions optimize;  ///< optimiser, budget, tolerance, verification
};

OptionParser OptimizeParser(OptimizeCommandOptions& o) {
  OptionParser parser;
  AddCommonOptions(parser, o.common);
  using V = OptionParser::Value;
  parser.Add("--optimizer", V::kRequired, "NAME",
             "auto (default: slsqp for method 2, mma when sampling), slsqp, mma, cobyla", [&o](const std::string& v) {
               for (const std::string& name : OptimizerNames())
                 if (v == name) {
                   o.optimize.optimizer = v;
                   return;
                 }
               throw UsageError("--optimizer must be auto, slsqp, mma or cobyla, not \"" + v + "\"");
             });
  parser.Add("--max-evals", V::kRequired, "N", "design points the optimiser may propose (default 200)",
             [&o](const std::string& v) { o.optimize.maxEvals = int(ParseInteger("--max-evals", v, 1, 1000000)); });
  parser.Add("--tol", V::kRequired, "T",
             "relative tolerance on design and objective (default 1e-6; 1e-4 when sampling)",
             [&o](const std::string& v) { o.optimize.tol = ParsePositive("--tol", v); });
  parser.Add("--verify-samples", V::kRequired, "N", "re-evaluate the optimum with N samples from a fresh stream",
             [&o](const std::string& v) {
               o.optimize.verifySamples = int(ParseInteger("--verify-samples", v, 1, 100000000));
             });
  return parser;
}

std::string Pofs(const PointResult& e) {
  std::string text;
  char buffer[64];
  for (const ResponseResult& r : e.responses) {
    if (!r.random) continue;
    std::snprintf(buffer, sizeof buffer, "  P(%s)=%.4g", r.name.c_str(), r.pof);
    text += buffer;
  }
  return text;
}

void PrintIteration(const IterationReport& r) {
  std::printf("%5d  objective %-14.8g violation %-11.4g%s%s\n", r.iteration, r.point.objective, r.point.constraint,
              Pofs(r.point).c_str(), r.feasible ? "" : "  (infeasible)");
  std::fflush(stdout);
}

// What the largest violation says, in words that are true for its sign.
// bFeasible: the optimiser's verdict, which allows its feasibility tolerance.
const char* ViolationMeaning(double violation, bool bFeasible) {
  if (violation <= 0.0) return "<= 0: every constraint holds";
  if (bFeasible) return "> 0 within the optimiser's feasibility tolerance: the constraints hold to that tolerance";
  return "> 0: a constraint is violated";
}

// samples: the sample size behind the POFs; 0 when they are not sampled.
void PrintStatistics(const char* pszTitle, const PointResult& e, bool bFeasible, int samples) {
  std::printf("%s\n", pszTitle);
  std::printf("  objective        %.10g\n  violation        %.6g (%s)\n", e.objective, e.constraint,
              ViolationMeaning(e.constraint, bFeasible));
  for (const ResponseResult& r : e.responses) {
    if (!r.random) continue;
    std::printf("  %-16s mean %-12.7g sd %-12.7g POF %.6g", r.name.c_str(), r.mean, r.sd, r.pof);
    if (samples > 0) {
      const Interval ci = WilsonInterval(r.pof, double(samples));
      std::printf(" (95%%: %.2g to %.2g)", ci.low, ci.high);
    }
    std::printf("\n");
  }
  std::printf("  any violation    %.6g\n  joint violation  %.6g\n", e.any, e.joint);
}

void PrintResult(const OptimizeResult& r) {
  const char* pszVerdict = !r.noOptimum.empty() ? "NO optimum" : r.feasible ? "Feasible optimum" : "INFEASIBLE optimum";
  std::printf("\n%s after %d design points, %d batches, %lld analyses, %.2f s (%s)\n", pszVerdict, r.evaluations,
              r.batches, r.analyses, r.seconds, r.stopReason.c_str());
  if (!r.noOptimum.empty()) std::printf("  %s.\n  The best point found:\n", r.noOptimum.c_str());
  for (std::size_t i = 0; i < r.designVariables.size(); ++i)
    std::printf("  %-16s %.10g\n", r.designVariables[i].c_str(), r.optimum.design[i]);
  char title[160];
  if (IsSampledMethod(r.method))
    std::snprintf(title, sizeof title, "Statistics (method %d, %d samples, seed %llu):", r.method, r.samples,
                  static_cast<unsigned long long>(r.seed));
  else
    std::snprintf(title, sizeof title,
                  "Statistics (method %d: first order at each design point, no samples):", r.method);
  PrintStatistics(title, r.optimum, r.feasible, IsSampledMethod(r.method) ? r.samples : 0);
  if (r.verified) {
    std::snprintf(
        title, sizeof title, "Verified (method %d, %d samples, seed %llu, %lld analyses):", r.verification.method,
        r.verification.samples, static_cast<unsigned long long>(r.verification.seed), r.verification.analyses);
    PrintStatistics(title, r.verification.point, false, r.verification.samples);
  }
  for (const std::string& w : r.warnings) std::printf("note: %s\n", w.c_str());
}

// Refuses, before anything runs, batches too large for the memory: a design
// point and a step in every design variable, or the verification sample.
void CheckMemory(const Problem& p, const OptimizeOptions& o) {
  if (!p.builder.IsRandom()) return;
  if (IsSampledMethod(p.settings.method))
    CheckBatchMemory(p, double(p.designVariables.size() + 1), double(p.settings.samples));
  if (o.verifySamples > 0) CheckBatchMemory(p, 1.0, double(o.verifySamples));
}

}  // namespace

int OptimizeCommand(const std::vector<std::string>& args) {
  OptimizeCommandOptions o;
  const OptionParser parser = OptimizeParser(o);
  return RunEvaluatingCommand("optimize", args, parser, o.common, [&o](const std::string& file, LogSession& log) {
    // Created now: an output path that cannot be written is reported
    // before the optimisation, not after it.
    std::unique_ptr<AtomicFile> pOut;
    if (!o.common.out.empty()) pOut = std::make_unique<AtomicFile>(o.common.out);
    Problem p = LoadForCommand(file, o.common);
    if (IsReliabilityMethod(p.settings.method))
      throw UsageError(std::string("optimize takes methods 0 to 4; method ") + MethodName(p.settings.method) +
                       " assesses one design: `rbo run --method " + MethodName(p.settings.method) + "`");
    if (const std::string refusal = MethodRefusal(p); !refusal.empty()) throw UsageError(refusal);
    CheckMemory(p, o.optimize);
    log.Note("rbo optimize: " + (p.path.empty() ? std::string("(embedded example)") : p.path) + ": optimizer " +
             o.optimize.optimizer + "; " + DescribeSettings(p.settings));
    const OptimizeResult result = Optimize(p, o.optimize, o.common.quiet ? ProgressFunction() : PrintIteration);
    PrintResult(result);
    std::fflush(stdout);
    if (pOut) pOut->Commit(HistoryText(result, o.common.out));
    const char* pszVerdict = !result.noOptimum.empty() ? "no optimum" : result.feasible ? "feasible" : "infeasible";
    log.Note("rbo optimize: " + std::string(pszVerdict) + " after " + std::to_string(result.evaluations) +
             " design points, " + std::to_string(result.analyses) + " analyses (" + result.stopReason + ")");
    if (!result.noOptimum.empty()) return kExitNoOptimum;
    return result.feasible ? kExitOk : kExitFailed;
  });
}

std::string OptimizeOptionsHelp() {
  OptimizeCommandOptions o;
  return OptimizeParser(o).Help();
}

}  // namespace rboapp
