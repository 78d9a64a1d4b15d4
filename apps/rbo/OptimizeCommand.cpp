// `rbo optimize`: reliability-based design optimisation of a problem file.
// The optimiser (apps/optimize) proposes design points; every batch of them
// is judged by the library through AnalysisVerif.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "Cli.h"
#include "Commands.h"
#include "Optimize.h"

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
  parser.Add("--optimizer", V::kRequired, "NAME", "auto (default: slsqp for method 2, mma when sampling), slsqp, mma, cobyla",
             [&o](const std::string& v) {
               for (const std::string& name : OptimizerNames())
                 if (v == name) {
                   o.optimize.optimizer = v;
                   return;
                 }
               throw UsageError("--optimizer must be auto, slsqp, mma or cobyla, not \"" + v + "\"");
             });
  parser.Add("--max-evals", V::kRequired, "N", "design points the optimiser may propose (default 200)",
             [&o](const std::string& v) { o.optimize.maxEvals = int(ParseInteger("--max-evals", v, 1, 1000000)); });
  parser.Add("--tol", V::kRequired, "T", "relative tolerance on design and objective (default 1e-6; 1e-4 when sampling)",
             [&o](const std::string& v) { o.optimize.tol = ParsePositive("--tol", v); });
  parser.Add("--verify-samples", V::kRequired, "N", "re-evaluate the optimum with N samples from a fresh stream",
             [&o](const std::string& v) { o.optimize.verifySamples = int(ParseInteger("--verify-samples", v, 1, 100000000)); });
  return parser;
}

std::string Pofs(const DesignEvaluation& e) {
  std::string text;
  char buffer[64];
  for (const ResponseStatistics& r : e.responses) {
    std::snprintf(buffer, sizeof buffer, "  P(%s)=%.4g", r.name.c_str(), r.pof);
    text += buffer;
  }
  return text;
}

void PrintIteration(const IterationReport& r) {
  std::printf("%5d  objective %-14.8g violation %-11.4g%s%s\n", r.iteration, r.point.objective, r.point.maxViolation,
              Pofs(r.point).c_str(), r.feasible ? "" : "  (infeasible)");
  std::fflush(stdout);
}

void PrintStatistics(const char* pszTitle, const DesignEvaluation& e) {
  std::printf("%s\n", pszTitle);
  std::printf("  objective        %.10g\n  violation        %.6g (<= 0: every constraint holds)\n", e.objective,
              e.maxViolation);
  for (const ResponseStatistics& r : e.responses)
    std::printf("  %-16s mean %-12.7g sd %-12.7g POF %.6g\n", r.name.c_str(), r.mean, r.stdDev, r.pof);
  std::printf("  any violation    %.6g\n  joint violation  %.6g\n", e.anyFraction, e.jointFraction);
}

void PrintResult(const OptimizeResult& r) {
  std::printf("\n%s optimum after %d design points, %d batches, %lld analyses, %.2f s (%s)\n",
              r.feasible ? "Feasible" : "INFEASIBLE", r.evaluations, r.batches, r.analyses, r.seconds,
              r.stopReason.c_str());
  for (std::size_t i = 0; i < r.designVariables.size(); ++i)
    std::printf("  %-16s %.10g\n", r.designVariables[i].c_str(), r.optimum.x[i]);
  char title[128];
  std::snprintf(title, sizeof title, "Statistics (method %d, %d samples, seed %llu):", r.method, r.samples,
                static_cast<unsigned long long>(r.seed));
  PrintStatistics(title, r.optimum);
  if (r.verified) {
    std::snprintf(title, sizeof title, "Verified (method %d, %d samples, seed %llu, %lld analyses):",
                  r.verification.method, r.verification.samples,
                  static_cast<unsigned long long>(r.verification.seed), r.verification.analyses);
    PrintStatistics(title, r.verification.point);
  }
  for (const std::string& w : r.warnings) std::printf("note: %s\n", w.c_str());
}

}  // namespace

int OptimizeCommand(const std::vector<std::string>& args) {
  OptimizeCommandOptions o;
  const OptionParser parser = OptimizeParser(o);
  return RunEvaluatingCommand("optimize", args, parser, o.common, [&o](const std::string& file, LogSession&) {
    Problem p = LoadForCommand(file, o.common);
    const OptimizeResult result = Optimize(p, o.optimize, o.common.quiet ? ProgressFunction() : PrintIteration);
    PrintResult(result);
    if (!o.common.out.empty()) WriteHistory(result, o.common.out);
    return result.feasible ? kExitOk : kExitFailed;
  });
}

std::string OptimizeOptionsHelp() {
  OptimizeCommandOptions o;
  return OptimizeParser(o).Help();
}

}  // namespace rboapp
