// Limit states as the reliability methods see them: m functions of the
// random variables, evaluated together on a batch of points.
//
// A point fails limit state j when g_j(x) <= 0.  One call evaluates every
// point of the batch (one analysis each) and returns every limit state at
// each: the methods send all the points they need at once (a finite-
// difference stencil, a batch of samples), so the caller may evaluate them
// in parallel, on other processes or on a cluster.  An exception thrown by
// the function ends the method and reaches its caller unchanged.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace rbo::reliability {

/// Points, one row per point: Batch x(k)[i] is variable i of point k.
using Batch = std::vector<std::vector<double>>;

/// g(x): for each point of x (physical values of the random variables, in
/// StandardSpace order) the values of every limit state, g[k][j].  Must
/// return x.size() rows of the same length.
using LimitStateFunction = std::function<Batch(const Batch& x)>;

/// Failure of any of these limit states (a series system); one index for a
/// single limit state.  A response with a lower and an upper bound is the
/// event {lower, upper}.
using Event = std::vector<std::size_t>;

}  // namespace rbo::reliability
