// Probabilities of failure by simulation in standard space: importance
// sampling around design points, and subset simulation.  Both estimate the
// probability of an Event (one limit state, or the union of several).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "rbo/Export.h"
#include "rbo/reliability/LimitState.h"
#include "rbo/reliability/StandardSpace.h"

namespace rbo::reliability {

struct SimulationResult {
  double pof = std::numeric_limits<double>::quiet_NaN();  ///< the estimate
  double cov = std::numeric_limits<double>::infinity();   ///< its coefficient of variation (estimated)
  bool converged = false;                                 ///< reached the target c.o.v. within the budget
  std::string message;                                    ///< why it stopped when it did not converge
  long long analyses = 0;                                 ///< limit-state evaluations
  long long failures = 0;  ///< sample points in the event (importance sampling), or at the last level (subset)
  int levels = 0;          ///< subset simulation: levels used
};

struct ImportanceSamplingOptions {
  double targetCov = 0.05;      ///< stop when the c.o.v. is at most this
  long long budget = 100000;    ///< analyses at most
  std::size_t batchSize = 250;  ///< sample points per batch (one call of g)
  std::uint64_t seed = 1;
  /// A control variate (optional): the linearised limit state
  /// controlAlpha . u >= controlBeta of a design point (alpha the unit
  /// vector towards failure), whose probability Phi(-beta) is known.  The
  /// estimate becomes mean(w I) - c (mean(w I_lin) - Phi(-beta)) with the
  /// regression coefficient c that minimises its variance: for a limit state
  /// close to its linearisation (c near 1) far more precise, since only the
  /// sample points on which the two disagree carry variance, and never much
  /// worse than without it (c near 0).  The coefficient is estimated from
  /// the same samples, a bias of order 1/N.
  std::vector<double> controlAlpha;
  double controlBeta = 0.0;
};

/// Importance sampling with a mixture of unit normal densities centred at
/// `centres` (standard-space points, normally the design points of the
/// event's limit states; equal weights), in batches until the c.o.v. of the
/// estimate reaches the target or the budget is spent.  The estimate is
/// unbiased whatever the centres; good centres make it efficient.  No
/// centres: the origin (crude Monte Carlo).
///
/// Converged when, after a batch, the c.o.v. is at most the target and the
/// run has at least two batches and ten failed sample points behind it (so
/// that the c.o.v. does not rest on a handful of values).  Otherwise, once
/// the budget is spent: converged = false, the estimate so far, and a
/// message; with no failed point at all the estimate is 0, the c.o.v.
/// infinite and the message says that the POF is below about 3/N or the
/// centres miss the failure region.  Throws std::invalid_argument for
/// options out of range (target not positive, budget or batch size 0), an
/// empty event, a centre of the wrong size or not finite, an event index
/// beyond the limit states g returns (at the first batch) and a result of g
/// of the wrong shape; std::runtime_error when an event limit state is NaN.
/// Same seed, same result.
RBO_API SimulationResult ImportanceSampling(const StandardSpace& space, const LimitStateFunction& g, const Event& event,
                                            const std::vector<std::vector<double>>& centres,
                                            const ImportanceSamplingOptions& options = ImportanceSamplingOptions());

struct SubsetOptions {
  std::size_t samplesPerLevel = 2000;  ///< N: sample points per level
  double levelProbability = 0.1;       ///< p0: conditional probability of each level
  int maxLevels = 20;                  ///< levels at most (p down to p0^maxLevels)
  long long budget = 50000;            ///< analyses at most
  double proposalSpread = 1.0;         ///< width of the modified-Metropolis proposal, in standard units
  std::uint64_t seed = 1;
  /// > 0: repeat independent runs (seeds seed, seed + 1, ...) and report
  /// their mean, until its c.o.v. is at most this or the next run would
  /// exceed the budget (converged false, the mean of the finished runs);
  /// 0: one run.
  double targetCov = 0.0;
};

/// Subset simulation with the modified Metropolis algorithm on the
/// event's limit states (the minimum of the limit states, each scaled by
/// its spread at the first level, so that responses of different units
/// share the levels).  The c.o.v. is the estimate of Au and Beck, with the
/// correlation of the Markov chains; it treats the levels as independent
/// and so tends to be somewhat below the true scatter.
///
/// Each level has N samples: the N p0 best of the level before (rounded)
/// seed as many chains, which advance one step together (one call of g
/// with at most one point per chain; a chain whose candidate did not move
/// costs no analysis).  Converged when at least N p0 samples of a level
/// fail: the estimate is p0^(levels-1) times the failed fraction.  When
/// maxLevels is reached, or the budget cannot pay for another level, first:
/// converged = false, pof NaN and a message saying the failure region was
/// not reached.  Throws std::invalid_argument for p0 outside (0, 0.5], N p0
/// below 1, maxLevels below 1, a budget below N, a proposal spread not
/// positive, an empty event or an event index beyond the limit states;
/// std::runtime_error when an event limit state is NaN.
RBO_API SimulationResult SubsetSimulation(const StandardSpace& space, const LimitStateFunction& g, const Event& event,
                                          const SubsetOptions& options = SubsetOptions());

/// The first-order probability of a series system: the probability that
/// any of the linearised limit states of the design points fails (a
/// multinormal probability), by importance sampling on the hyperplanes
/// (no analyses).  Returns the estimate and its c.o.v. (below 1e-3).
///
/// The failure set is the union of alpha_k . u >= beta_k.  One plane is
/// exact (Phi(-beta), c.o.v. 0).  Several: points are drawn from the
/// half-spaces themselves (plane k with probability Phi(-beta_k) / S, S the
/// sum) and the estimate is S times the mean of 1 / (number of half-spaces
/// holding the point).  The alphas must be unit vectors (to 1e-6) of one
/// length; betas may be infinite, not NaN (else std::invalid_argument).
RBO_API SimulationResult FirstOrderSeriesSystem(const std::vector<std::vector<double>>& alphas,
                                                const std::vector<double>& betas, std::uint64_t seed = 1);

}  // namespace rbo::reliability
