// rbo::problem::OptimizeSora: reliability-based optimisation by sequential
// optimisation and reliability assessment, optionally refined to the exact
// probabilities by importance sampling.
//
// Each cycle solves a deterministic optimisation (NLopt SLSQP, forward-
// difference gradients sent as one batch per design) in which every
// probability constraint `r.pof <= p` is the limit state of r's bound at a
// shifted point: a random design variable at its mean minus the cycle's
// shift, a random parameter at its value from the last inverse search.  Then
// for every such constraint the inverse first-order search (hybrid mean
// value: steepest-descent steps on the sphere |u| = beta_t, beta_t =
// -Phi^-1(p), averaged over the last three when they oscillate) finds the
// point of the sphere where the limit state is least, and the shift becomes
// the distance from the means to it.  The cycles stop when the design and
// every constraint settle: the limit state at each inverse point is then at
// least 0, so each first-order index is at least beta_t.
//
// The refinement corrects the first-order error: at the optimum it
// estimates every active constraint's POF by importance sampling centred at
// its design point, moves that constraint's target index by the difference
// between the first-order index and the sampled one, and solves again, until
// every sampled POF meets its target within the estimate's c.o.v.
//
// Every analysis goes through the reference host's runner in batches, so
// --parallel spreads the stencils and the samples over the workers.
#pragma once

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/problem/Problem.h"
#include "rbo/problem/Result.h"

namespace rbo::problem {

struct SoraOptions {
  int maxCycles = 30;              ///< cycles of optimisation and reliability assessment at most
  double tol = 1e-4;               ///< settled: design change below tol times its scale, limit states met to tol
  double fdStep = 1e-6;            ///< relative forward-difference step of the deterministic optimisation
  int maxEvaluations = 200;        ///< designs the deterministic optimiser may try per cycle
  bool refine = false;             ///< correct the active constraints by importance sampling
  double refineCov = 0.025;        ///< c.o.v. of the deciding importance-sampling estimates (a 5 % miss is 2 of them)
  int maxRefinements = 6;          ///< rounds of refinement at most
  long long refineBudget = 20000;  ///< importance-sampling analyses per estimate at most
  long long verifySamples = 0;     ///< > 0: estimate every POF at the optimum by this many Monte Carlo samples
};

/// One probability constraint `response.pof <= target` and what the
/// optimiser found for it at the optimum.
struct SoraConstraint {
  std::string subject;      ///< "G1.pof"
  std::size_t response;     ///< index into Problem::responses
  std::size_t bound;        ///< its limit state among the bounds of the random responses
  double target = 0.0;      ///< the POF bound p
  double betaTarget = 0.0;  ///< the target index the cycles used last: -Phi^-1(p), plus the refinement's correction
  double gAtInverse = std::numeric_limits<double>::quiet_NaN();  ///< limit state at the inverse point (>= 0: met)
  double beta = std::numeric_limits<double>::quiet_NaN();        ///< FORM index at the optimum
  double pof = std::numeric_limits<double>::quiet_NaN();         ///< Phi(-beta)
  std::vector<NamedValue> designPoint;                           ///< FORM design point at the optimum
  std::optional<double> sampledPof;                              ///< importance sampling at the optimum (refinement)
  std::optional<double> sampledCov;                              ///< its c.o.v.
  std::optional<double> verifiedPof;  ///< Monte Carlo at the optimum from a stream of its own (verifySamples)
  std::optional<double> verifiedCov;  ///< its c.o.v.
  bool active = false;                ///< the inverse point lies on the limit state (the constraint binds)
};

/// One cycle (or one refinement round) as it ended.
struct SoraCycle {
  int cycle = 0;                 ///< 1-based, counting on through the refinement
  bool refinement = false;       ///< a cycle after a refinement's correction
  std::valarray<double> design;  ///< the deterministic optimum of the cycle
  double objective = 0.0;
  double worst = 0.0;      ///< the least scaled limit state at the inverse points (< 0: a constraint not yet met)
  long long analyses = 0;  ///< analyses so far
};

struct SoraResult {
  std::valarray<double> design;  ///< the optimum, in Problem::designVariables order
  double objective = 0.0;
  bool converged = false;  ///< the cycles (and the refinement) settled
  bool feasible = false;   ///< every constraint holds at the optimum (FORM level, or sampled when refined)
  std::string stopReason;  ///< one sentence
  std::vector<SoraConstraint> constraints;  ///< the probability constraints
  std::vector<double> otherViolations;      ///< scaled violation of the other constraints (<= 0: holds)
  std::vector<std::string> otherSubjects;   ///< their subjects
  std::vector<SoraCycle> history;
  bool refined = false;
  long long deterministicAnalyses = 0;  ///< the deterministic optimisations
  long long inverseAnalyses = 0;        ///< inverse searches, and FORM at the optimum
  long long samplingAnalyses = 0;       ///< importance sampling of the refinement
  long long verifyAnalyses = 0;         ///< the Monte Carlo verification
  long long analyses = 0;               ///< all
  double seconds = 0.0;
};

/// Why `--method sora` cannot optimise the problem ("" when it can): it
/// needs a probability constraint `r.pof <= p` (p in (0, 0.5)) on a random
/// response with one bound, and takes no constraint or objective term on a
/// standard deviation, a POF's lower side, any or joint.
std::string SoraRefusal(const Problem& problem);

/// Reports each cycle as it ends.
using SoraProgress = std::function<void(const SoraCycle& cycle)>;

/// Optimises the problem from its initial point.  Throws
/// std::invalid_argument when SoraRefusal says why not, EvaluationError for
/// a design whose random variables cannot be mapped, and passes on what
/// the analysis throws.  pCounter, when given, counts the analyses.
SoraResult OptimizeSora(const Problem& problem, const SoraOptions& options, const SoraProgress& progress,
                        const std::shared_ptr<std::atomic<long long>>& pCounter);

/// The result as JSON (the optimum, the constraints, analyses per stage,
/// the history) and as CSV (one row per cycle).
std::string SoraJson(const Problem& problem, const SoraResult& result);
std::string SoraCsv(const Problem& problem, const SoraResult& result);

}  // namespace rbo::problem
