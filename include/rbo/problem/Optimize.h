// rbo::problem::Optimize: reliability-based design optimisation of a problem file.
//
// Minimises the problem's objective over its independent design variables
// within their bounds, subject to its constraints, which may bound
// statistics of random responses (mean, standard deviation, probability of
// failure, the any and joint violation fractions).  Every design point is
// judged by the library: each batch of design points goes through one
// AnalysisVerif call with the problem's RBO method, samples, seed and
// parallelism (Problem::settings).
//
// Optimisers (NLopt):
//   "slsqp"   sequential quadratic programming, gradients by forward finite
//             differences;
//   "mma"     method of moving asymptotes (conservative convex
//             approximations), the same gradients;
//   "cobyla"  linear approximations from the design points alone, no
//             gradients;
//   "auto"    slsqp where the statistics are smooth (method 2), mma where
//             they come from samples (methods 0, 1, 3, 4).
// For the gradient-based optimisers the finite-difference points of one
// design point (the point and one step in every design variable the
// optimiser moves) form one batch, so a parallel run analyses them together.
// A step in the mean of a random design variable is made on the full
// design-variable vector with FDRandMeanIntoFDRandEntry.
//
// How each method is driven:
// - Methods 0 and 1 (sampling): the host restarts its generator from the
//   seed for every design point (common random numbers), so differences
//   between nearby points are not noise.  A sampled probability is still a
//   staircase in steps of 1 / samples: steps are sized so that enough
//   samples cross a bound, bounds on probabilities get a margin of one
//   sample, and an unresolved probability (fewer than ten samples beyond the
//   bounds) leans on the response's second-moment index.
// - Method 2 (first order): every batch is fitted on its own (the host's
//   per-batch variant), so every batch holds the point and a step in every
//   random mean: the fit is then the forward-difference gradient at the
//   point.  A random variable whose mean is fixed gets such a step too (its
//   mean becomes an independent variable the optimiser does not move).  A
//   step in a deterministic variable needs a batch of its own.  The standard
//   deviation is that of the batch's point, also at its stepped points, so
//   the constraint gradients leave out how the deviation changes with the
//   design; the values at each point are exact first order.
// - Methods 3 and 4 (sampled surface): the surface is fitted over every
//   point evaluated since the start; a Latin hypercube of points around the
//   first design seeds it.  A deterministic variable the optimiser moves is
//   refused.
// Probability bounds reach the optimiser as reliability indices
// (NormalQuantile(POF) - NormalQuantile(bound)); the best feasible point
// ever proposed is the answer, and an optimiser that ends elsewhere starts
// again from it (at most three times).
//
// One problem per process: the library keeps the tables of the first
// problem it sees for the life of the process, and Optimize configures the
// host (method, samples, seed, analysis, the optimiser settings that method
// 2 reads) for its own run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rbo/problem/Problem.h"
#include "rbo/problem/Result.h"

namespace rbo::problem {

/// Settings of the optimiser; how each point is judged (method, samples,
/// seed, parallel) comes from Problem::settings.
struct OptimizeOptions {
  std::string optimizer = "auto";  ///< "auto", "slsqp", "mma" or "cobyla"
  int maxEvals = 200;              ///< design points the optimiser may propose (stencils not counted)
  double tol = 0.0;       ///< relative tolerance on the design variables and the objective; 0: 1e-6, 1e-4 when sampling
  int verifySamples = 0;  ///< > 0: re-evaluate the optimum by sampling with this many points
  double fdStep = 1e-4;   ///< finite-difference step, relative to the variable's typical size
  double fdSampleStep = 0.1;      ///< sampling methods: least step in a random mean, in its standard deviations
  double fdSampleRelStep = 1e-2;  ///< sampling methods: least step in another variable, relative to its typical size
};

/// One design point proposed by the optimiser.
struct IterationReport {
  int iteration = 0;       ///< 1, 2, ...: design points proposed so far
  PointResult point;       ///< the point and its statistics (objective in the problem's own sense)
  bool feasible = false;   ///< every constraint holds (within the feasibility tolerance)
  long long analyses = 0;  ///< analyses run so far, finite-difference points included
  double seconds = 0.0;    ///< time since the optimisation started
};

/// The optimum design re-evaluated by sampling with more points and an
/// independent stream.
struct Verification {
  int method = 1;          ///< RBO method used (0 Monte Carlo, 1 Latin hypercube)
  int samples = 0;         ///< sample points
  std::uint64_t seed = 0;  ///< seed of the sampling
  PointResult point;       ///< statistics from the larger sample
  long long analyses = 0;  ///< analyses it took
};

/// The outcome of an optimisation.
struct OptimizeResult {
  std::string optimizer;                     ///< the optimiser used ("auto" resolved)
  double tol = 0.0;                          ///< the tolerance used
  int method = 0;                            ///< RBO method used while optimising
  int samples = 0;                           ///< sample points per design point while optimising
  std::uint64_t seed = 0;                    ///< seed while optimising
  std::vector<std::string> designVariables;  ///< names, in x order
  std::vector<std::string> constraintNames;  ///< readable constraints ("g.pof <= 0.001"), in order
  PointResult optimum;                       ///< best design found and its statistics
  bool feasible = false;                     ///< the optimum satisfies every constraint
  std::string noOptimum;                     ///< why the best point found is not an optimum ("" when it may be)
  std::string stopReason;                    ///< why the optimiser stopped
  std::vector<std::string> warnings;         ///< what the user should know about the settings
  int restarts = 0;                          ///< fresh starts of the optimiser from its best point
  int evaluations = 0;                       ///< design points proposed by the optimiser
  int batches = 0;                           ///< AnalysisVerif calls (verification excluded)
  long long analyses = 0;                    ///< analyses run while optimising (verification excluded)
  double seconds = 0.0;                      ///< wall time of the optimisation
  bool verified = false;                     ///< verification holds a result
  Verification verification;                 ///< the optimum by a larger sample
  std::vector<IterationReport> history;      ///< every proposed design point, in order
};

/// Called after every design point the optimiser proposes.
using ProgressFunction = std::function<void(const IterationReport&)>;

/// Optimises the problem (see the top of this file).  Throws
/// std::invalid_argument for options or a problem it cannot optimise (with
/// a sentence that says why), and passes on what the library or the
/// analysis throws.  progress may be empty.
OptimizeResult Optimize(const Problem& problem, const OptimizeOptions& options, const ProgressFunction& progress);

/// Writes the result: a path ending in ".json" gets the whole result
/// (settings, optimum, verification, history), one ending in ".csv" one row
/// per proposed design point.  Written to a temporary file beside the target
/// and renamed over it, so a failure leaves no partial file.  Throws
/// std::invalid_argument for another extension, std::runtime_error when the
/// file cannot be written.
void WriteHistory(const OptimizeResult& result, const std::string& path);

/// The text WriteHistory writes: JSON for a path ending in ".json", CSV for
/// ".csv"; throws std::invalid_argument for another extension.
std::string HistoryText(const OptimizeResult& result, const std::string& path);

/// Names of the optimisers Optimize accepts.
const std::vector<std::string>& OptimizerNames();

}  // namespace rbo::problem
