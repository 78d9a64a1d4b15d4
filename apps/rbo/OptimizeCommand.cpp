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
#include "Ranks.h"
#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Interval.h"
#include "rbo/problem/Optimize.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Reliability.h"
#include "rbo/problem/Sora.h"

namespace rboapp {
namespace {

struct OptimizeCommandOptions {
  CommonOptions common;      ///< method, samples, seed, parallel, log, out
  OptimizeOptions optimize;  ///< optimiser, budget, tolerance, verification
  SoraOptions sora;          ///< --method sora: refinement
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
  parser.Add("--refine", V::kNone, "",
             "sora: correct the active constraints by importance sampling until the POFs meet their targets",
             [&o](const std::string&) { o.sora.refine = true; });
  parser.Add("--refine-cov", V::kRequired, "C", "sora --refine: c.o.v. of the sampled POFs (default 0.025)",
             [&o](const std::string& v) {
               o.sora.refineCov = ParsePositive("--refine-cov", v);
               if (o.sora.refineCov >= 1.0)
                 throw UsageError("--refine-cov wants a number in (0, 1), not \"" + v + "\"");
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

// ---------------------------------------------------------------- sora

void PrintCycle(const Problem& p, const SoraCycle& c) {
  std::printf("%5d%s objective %-14.8g least limit state %-11.4g", c.cycle, c.refinement ? "r" : " ", c.objective,
              c.worst);
  for (std::size_t i = 0; i < c.design.size() && i < p.designVariables.size(); ++i)
    std::printf(" %s=%.6g", p.designVariables[i].name.c_str(), c.design[i]);
  std::printf("  (%lld analyses)\n", c.analyses);
  std::fflush(stdout);
}

void PrintSoraConstraint(const SoraConstraint& c) {
  std::printf("  %-14s target %-10.4g beta %-9.5g FORM POF %-11.4g%s", c.subject.c_str(), c.target, c.beta, c.pof,
              c.active ? " active" : "");
  if (c.sampledPof) std::printf("  sampled %.4g (c.o.v. %.3g)", *c.sampledPof, c.sampledCov.value_or(NAN));
  if (c.verifiedPof) std::printf("  verified %.4g (c.o.v. %.3g)", *c.verifiedPof, c.verifiedCov.value_or(NAN));
  std::printf("\n");
  if (!c.designPoint.empty()) {
    std::printf("  %-14s design point", "");
    for (const NamedValue& v : c.designPoint) std::printf(" %s=%.6g", v.name.c_str(), v.value);
    std::printf("\n");
  }
}

void PrintSoraResult(const Problem& p, const SoraResult& r) {
  const char* pszVerdict = !r.converged ? "NOT converged" : r.feasible ? "Feasible optimum" : "INFEASIBLE optimum";
  std::printf(
      "\n%s after %zu cycles, %lld analyses (deterministic %lld, inverse searches %lld, importance sampling "
      "%lld%s), %.2f s (%s)\n",
      pszVerdict, r.history.size(), r.analyses, r.deterministicAnalyses, r.inverseAnalyses, r.samplingAnalyses,
      r.verifyAnalyses > 0 ? (", verification " + std::to_string(r.verifyAnalyses)).c_str() : "", r.seconds,
      r.stopReason.c_str());
  for (std::size_t i = 0; i < p.designVariables.size(); ++i)
    std::printf("  %-16s %.10g\n", p.designVariables[i].name.c_str(), r.design[i]);
  std::printf("  %-16s %.10g\nProbability constraints at the optimum:\n", "objective", r.objective);
  for (const SoraConstraint& c : r.constraints) PrintSoraConstraint(c);
  for (std::size_t k = 0; k < r.otherSubjects.size(); ++k)
    std::printf("  %-14s violation %.6g\n", r.otherSubjects[k].c_str(), r.otherViolations[k]);
  if (!r.refined)
    std::printf(
        "note: the POFs are first order; --refine corrects them by importance sampling, and "
        "--verify-samples N checks them by Monte Carlo.\n");
  else if (r.verifyAnalyses == 0)
    std::printf("note: --verify-samples N checks the sampled POFs with an independent Monte Carlo sample.\n");
}

int RunSora(Problem& p, OptimizeCommandOptions& o, LogSession& log, AtomicFile* pOut) {
  o.sora.verifySamples = o.optimize.verifySamples;
  log.Note("rbo optimize: " + (p.path.empty() ? std::string("(embedded example)") : p.path) + ": " +
           DescribeSettings(p.settings) + (o.sora.refine ? ", refined" : ""));
  const SoraResult r = OptimizeSora(
      p, o.sora, o.common.quiet ? SoraProgress() : [&p](const SoraCycle& c) { PrintCycle(p, c); }, nullptr);
  PrintSoraResult(p, r);
  std::fflush(stdout);
  if (pOut) pOut->Commit(OutFormatOf(o.common.out) == OutFormat::kJson ? SoraJson(p, r) : SoraCsv(p, r));
  log.Note("rbo optimize: " + std::string(r.converged ? (r.feasible ? "feasible" : "infeasible") : "not converged") +
           " after " + std::to_string(r.analyses) + " analyses (" + r.stopReason + ")");
  return r.converged && r.feasible ? kExitOk : kExitFailed;
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
    if (!o.common.out.empty() && !IsServingRank()) pOut = std::make_unique<AtomicFile>(o.common.out);
    Problem p = LoadForCommand(file, o.common);
    // The other ranks of an MPI launch only analyse what rank 0 sends.
    if (IsServingRank()) return ServeAnalyses(p);
    const RankDispatch ranks;
    if (const std::string refusal = OptimizeSkipRefusal(p); !refusal.empty()) throw UsageError(refusal);
    if (p.settings.method == kMethodSora) {
      if (const std::string refusal = SoraRefusal(p); !refusal.empty()) throw UsageError(refusal);
      return RunSora(p, o, log, pOut.get());
    }
    if (o.sora.refine) throw UsageError("--refine belongs to --method sora");
    if (IsReliabilityMethod(p.settings.method))
      throw UsageError(std::string("optimize takes methods 0 to 4 and sora; method ") + MethodName(p.settings.method) +
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
