// The arithmetic of the distribution functions, shared by CRandVar::CDF and
// by the inverse distribution's bracket prediction (InverseCdfModels.h).
//
// The inverse distribution must reproduce CDF's doubles exactly, so every
// step that both of them perform is written once, here, in the order CDF
// performs it.  The build forbids contraction into fused multiply-adds and
// fast-math, so each expression gives the same double wherever it is used.
#pragma once

#include <cmath>

#include "randvar/LaneMath.h"
#include "randvar/RandVarConstants.h"

// Every operation must round once to double: no fast-math, no extended
// precision of intermediates (the build also turns contraction off).
#if defined(__FAST_MATH__)
#error "The distribution functions must not be compiled with fast-math"
#endif
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "The distribution functions need double intermediates rounded to double (FLT_EVAL_METHOD 0)"
#endif

namespace rbo {

/// Coefficients c0..c9 of the erfc fit's exponent polynomial
/// Q(t) = c0 + c1 t + ... + c9 t^9 (Chebyshev fit, fractional error of the
/// fit below 1.2e-7).
inline constexpr double kErfcFit[10] = {-1.26551223, 1.00002368,  0.37409196, 0.09678418,  -0.18628806,
                                        0.27886807,  -1.13520398, 1.48851587, -0.82215223, 0.17087277};

/// The fitted complementary error function for u >= 0:
/// t exp(-u^2 + Q(t)) with t = 1 / (1 + u/2), Q evaluated by Horner's rule.
/// ErfcFitT forms t, ErfcFitFromT the rest (the inverse distribution's model
/// shares t with the fit's derivatives).
inline double ErfcFitT(double u) { return 1.0 / (1.0 + u / 2.0); }
inline double ErfcFitFromT(double u, double t) {
  const double* c = kErfcFit;
  return t *
         std::exp(
             -u * u + c[0] +
             t * (c[1] +
                  t * (c[2] + t * (c[3] + t * (c[4] + t * (c[5] + t * (c[6] + t * (c[7] + t * (c[8] + t * c[9])))))))));
}
inline double ErfcFit(double u) { return ErfcFitFromT(u, ErfcFitT(u)); }

// The steps below are templates over the number type V, so that the inverse
// distribution can replay them on vector lanes (LaneMath.h) as well as on
// a double; a condition is then a lane mask instead of a bool.

/// x as a value of V: itself, or x in every lane.
template <class V>
RBO_LANES_INLINE V Splat(double x) {
  const V zero = {};
  return zero + x;
}

/// erf from the fitted erfc of |x|: 1 - erfc for x >= 0, erfc - 1 below.
template <class M, class V>
RBO_LANES_INLINE V ErfFromErfc(M bNonNegative, V dErfc) {
  return bNonNegative ? 1.0 - dErfc : dErfc - 1.0;
}

/// p clamped to [0, 1] (a NaN stays).  For one value by branches, which
/// are predictable; for lanes by selects, the same doubles.
inline double Clamp01(double p) {
  if (p < 0.0) return 0.0;
  if (p > 1.0) return 1.0;
  return p;
}
RBO_LANES_INLINE icdf::VLanes Clamp01(icdf::VLanes p) {
  using icdf::VLanes;
  const VLanes zero = Splat<VLanes>(0.0), one = Splat<VLanes>(1.0);  // vectors compare with vectors
  const VLanes atLeastZero = p < zero ? zero : p;
  return atLeastZero > one ? one : atLeastZero;
}

/// The normal and lognormal distribution from erf of the standardised
/// argument: (1 + erf) first, then the halving.
template <class V>
RBO_LANES_INLINE V NormalCdfFromErf(V dErf) {
  return Clamp01(0.5 * (1.0 + dErf));
}

/// Argument of erf for a normal variable: ((x - mu) / sigma) / sqrt(2).
template <class V>
RBO_LANES_INLINE V NormalErfArgument(V x, double dMu, double dSigma) {
  return (x - dMu) / dSigma / std::sqrt(2.0);
}

/// Argument of erf for a lognormal variable (x > 0): ((ln x - lambda) / eps) / sqrt(2).
template <class V>
RBO_LANES_INLINE V LognormalErfArgumentFromLog(V dLogX, double dLambda, double dEps) {
  return (dLogX - dLambda) / dEps / std::sqrt(2.0);
}
inline double LognormalErfArgument(double x, double dLambda, double dEps) {
  return LognormalErfArgumentFromLog(std::log(x), dLambda, dEps);
}

/// The Weibull variable's scaled distance from its location, (x - gamma) / eta.
template <class V>
RBO_LANES_INLINE V WeibullScaled(V x, double dGamma, double dEta) {
  return (x - dGamma) / dEta;
}

/// The Weibull distribution from its survival value g = exp(-z^beta).
template <class V>
RBO_LANES_INLINE V WeibullCdfFromSurvival(V g) {
  return Clamp01(1.0 - g);
}

/// The uniform distribution on [a, b].
inline double UniformCdf(double x, double a, double b) {
  if (x >= b) return 1.0;
  if (x < a) return 0.0;
  return Clamp01((x - a) / (b - a));
}

/// Mean of a lognormal variable, capped at the library's infinity.
inline double LognormalMean(double dLambda, double dEps) {
  const double t = dLambda + dEps * dEps / 2.0;
  return t > kLnBig ? kBig : std::exp(t);
}

/// Standard deviation of a lognormal variable of mean dMean.
inline double LognormalStdDev(double dMean, double dEps) {
  const double e2 = dEps * dEps;
  return e2 > kLnBig ? dMean * std::sqrt(kBig) : dMean * std::sqrt(std::exp(e2) - 1.0);
}

/// Mean of a Weibull variable from g1 = Gamma(1 + 1/beta).
inline double WeibullMean(double dGamma, double dEta, double g1) { return dGamma + dEta * g1; }

/// Standard deviation of a Weibull variable from g1 and g2 = Gamma(1 + 2/beta).
inline double WeibullStdDev(double dEta, double g1, double g2) {
  return g2 - g1 * g1 > 0.0 ? dEta * std::sqrt(g2 - g1 * g1) : 1e-30;
}

/// Closeness of b to a with a resolved tolerance (>= 0): relative to a,
/// absolute when |a| is below the tolerance.
inline bool NumbersAreClose(double a, double b, double tol) {
  const double d = std::fabs(a) < tol ? b - a : b / a - 1.0;
  return std::fabs(d) < tol;
}

}  // namespace rbo
