// The standard normal distribution to full double precision, for the
// reliability methods: density, distribution function and its inverse.
//
// These are separate from the random variables' own distribution functions
// (RandVar.h), whose error-function fit is accurate to 1.2e-7 relative:
// enough for sampling, not for a probability of 1e-9 read off a reliability
// index.
#pragma once

#include "rbo/Export.h"

namespace rbo::reliability {

/// Density of the standard normal distribution.
RBO_API double NormalPdf(double u);
/// Phi(u), accurate in both tails (Phi(-37) is about 6e-300).
RBO_API double NormalCdf(double u);
/// 1 - Phi(u) = Phi(-u), without cancellation for large u.
RBO_API double NormalSurvival(double u);
/// Phi^-1(p) to full precision; -inf at 0, +inf at 1, NaN outside [0, 1].
RBO_API double NormalQuantile(double p);
/// Phi^-1(1 - q), accurate for small q (the reliability index of a POF q).
RBO_API double NormalQuantileOfSurvival(double q);

}  // namespace rbo::reliability
