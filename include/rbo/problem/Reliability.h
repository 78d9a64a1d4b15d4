// The reliability methods on a problem: FORM, SORM, importance sampling and
// subset simulation at each design point, with correlated inputs.
//
// At each design point the random variables take the distributions the
// library gives them there; the analysis runs directly on batches of points
// (a finite-difference stencil, a batch of samples) through the reference
// host's runner, so --parallel spreads every batch over the workers.  Each
// bounded random response is an event: its value below its lower bound or
// above its upper one (two limit states when both are given).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "rbo/problem/Problem.h"
#include "rbo/problem/Result.h"

namespace rbo::problem {

/// The target c.o.v. of importance sampling when the settings give none.
constexpr double kDefaultIsCov = 0.05;

/// Why the problem cannot be evaluated with its method ("" when it can):
/// correlated random variables under methods 0 to 4, which treat the inputs
/// as independent; under a reliability method, a constraint or objective
/// term on a standard deviation or on the joint violation, which those
/// methods do not compute.
std::string MethodRefusal(const Problem& problem);

/// Evaluates every design point of the problem with its reliability method
/// (Problem::settings.method, one of kMethodForm .. kMethodSubset).  Each
/// point's result has per bounded random response its POF and a
/// ReliabilityDetail, the any-violation probability (a series system) in
/// PointResult::any, and the analyses it took.  A search that did not
/// converge leaves that POF NaN and the point incomplete (not an error).
/// Throws EvaluationError for a correlation the distributions at a design
/// point cannot have, std::invalid_argument when MethodRefusal says why not,
/// and passes on what the analysis throws.  pCounter counts the analyses.
std::vector<PointResult> EvaluateReliability(const Problem& problem,
                                             const std::shared_ptr<std::atomic<long long>>& pCounter);

}  // namespace rbo::problem
