// The inverse distribution function: the values it is documented to give at
// the edges, quantiles against closed forms and tabulated normal quantiles,
// and the round trip CDF(InverseCDF(p)) = p.  Agreement with the documented
// search, bit for bit, is in InverseCdfEquivalence_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "randvar/RandVarCases.h"
#include "rbo/RandVar.h"
#include "support/RandVarInternals.h"

namespace {

using rbotest::DistCase;
using rbotest::kEps;
using rbotest::kErfFitError;
using rbotest::kSearchTolerance;

constexpr double kPi = 3.14159265358979323846;

double StdNormalDensity(double z) { return std::exp(-z * z / 2.0) / std::sqrt(2.0 * kPi); }

// The fitted erf is -3.0e-8 at 0, so the normal CDF reaches 0.5 slightly
// above the mean: at delta = -erf_fit(0) * sqrt(pi / 2) standard deviations
// (erf's slope at 0 is 2 / sqrt(pi)), about 3.8e-8.  The search resolves it
// to 1e-12 relative to the mean, far below 1e-10 standard deviations here.
TEST(InverseCdf, MedianOfANormalIsSlightlyAboveTheMean) {
  CRandVar any;
  const double delta = -CRandVarInternals::Erf(any, 0.0) * std::sqrt(kPi / 2.0);
  EXPECT_NEAR(delta, 3.8e-8, 0.05e-8);
  for (auto [mu, sigma] : {std::pair{0.0, 1.0}, std::pair{10.0, 2.0}, std::pair{-7.0, 0.1}}) {
    CRandVar v(CRandVar::kNormal, mu, sigma);
    EXPECT_NEAR((v.InverseCDF(0.5, -1.0) - mu) / sigma, delta, 1e-10) << mu;
  }
}

// p = 0 and p = 1: the widening stops at 9 standard deviations, where the
// computed CDF is exactly 0 or 1, and the first midpoint matches p.  A p
// beyond [0, 1] can never be matched: the widening gives up after 20 steps
// down or 19 up and returns the mean -/+ 21 standard deviations.
TEST(InverseCdf, NormalEdgesAndTheExponentialUpperTail) {
  for (auto [mu, sigma] : {std::pair{0.0, 1.0}, std::pair{5.0, 2.0}, std::pair{-100.0, 0.5}}) {
    CRandVar v(CRandVar::kNormal, mu, sigma);
    const double tol = 1e-13 * (std::fabs(mu) + 21.0 * sigma);  // rounding of the repeated steps
    EXPECT_NEAR(v.InverseCDF(0.0, -1.0), mu - 8.5 * sigma, tol);
    EXPECT_NEAR(v.InverseCDF(1e-300, -1.0), mu - 8.5 * sigma, tol);
    EXPECT_NEAR(v.InverseCDF(1.0, -1.0), mu + 8.5 * sigma, tol);
    EXPECT_NEAR(v.InverseCDF(-0.1, -1.0), mu - 21.0 * sigma, tol);
    EXPECT_NEAR(v.InverseCDF(1.5, -1.0), mu + 21.0 * sigma, tol);
  }
  // An exponential CDF stays below 1 at every widening step (1 - e^-21 at
  // the last), so p = 1 ends at m + 21 s = 2 + 42.
  CRandVar v(CRandVar::kWeibull, 0.0, 2.0, 1.0);
  EXPECT_NEAR(v.InverseCDF(1.0, -1.0), 44.0, 1e-13 * 44.0);
}

// The widening stops at the bounds, and the bisection then closes in on
// them to the search tolerance (relative to the bound, or to the width
// where the probability test ends it).
TEST(InverseCdf, UniformEdgesConvergeToTheBounds) {
  for (auto [a, b] : {std::pair{0.0, 1.0}, std::pair{2.0, 5.0}, std::pair{-3.0, -1.0}}) {
    CRandVar v(CRandVar::kUniform, a, b);
    const double tol = 2.0 * kSearchTolerance * (std::fabs(a) + std::fabs(b) + (b - a));
    EXPECT_NEAR(v.InverseCDF(0.0, -1.0), a, tol) << a;
    EXPECT_NEAR(v.InverseCDF(1.0, -1.0), b, tol) << b;
  }
}

// The search never looks below 0 for a Weibull variable, even when its
// location is negative: probabilities below CDF(0) come out as 0 (to the
// absolute search tolerance).
TEST(InverseCdf, WeibullWithNegativeLocationStopsAtZero) {
  CRandVar v(CRandVar::kWeibull, -3.0, 5.0, 3.5);
  const double atZero = v.CDF(0.0);
  ASSERT_GT(atZero, 0.15);
  for (double p : {1e-6, 0.01, 0.1}) {
    const double x = v.InverseCDF(p, -1.0);
    EXPECT_GE(x, 0.0);
    EXPECT_LT(x, kSearchTolerance);
  }
  const double x = v.InverseCDF(0.5, -1.0);
  EXPECT_NEAR(v.CDF(x), 0.5, 1e-11);
}

// ---- quantiles against independent values ----

// Standard normal quantiles to 17 digits (40-digit mpmath, see
// reference_values.py).  The library's CDF differs from Phi by up to
// kErfFitError times the smaller tail, which moves the quantile by that
// over the density; the search adds its own relative 1e-12.
TEST(InverseCdf, NormalQuantilesWithinTheErrorFunctionFit) {
  const std::vector<std::pair<double, double>> probits = {{0.01, -2.3263478740408411},
                                                          {0.3, -0.52440051270804078},
                                                          {0.9, 1.2815515655446005},
                                                          {0.975, 1.9599639845400542},
                                                          {0.999, 3.0902323061678135}};
  for (auto [mu, sigma] : {std::pair{0.0, 1.0}, std::pair{3.0, 0.5}}) {
    CRandVar v(CRandVar::kNormal, mu, sigma);
    for (auto [p, z] : probits) {
      const double tolZ = kErfFitError * std::fmin(p, 1.0 - p) / StdNormalDensity(z) +
                          4.0 * kSearchTolerance * (std::fabs(mu) / sigma + std::fabs(z) + 1.0);
      EXPECT_NEAR((v.InverseCDF(p, -1.0) - mu) / sigma, z, tolZ) << "p = " << p;
    }
  }
  // A lognormal quantile is exp(lambda + eps * z).
  const double lambda = 1.0, eps = 0.5;
  CRandVar ln(CRandVar::kLognormal, lambda, eps);
  for (auto [p, z] : probits) {
    const double x = std::exp(lambda + eps * z);
    const double tolZ = kErfFitError * std::fmin(p, 1.0 - p) / StdNormalDensity(z) + 4.0 * kSearchTolerance;
    EXPECT_NEAR(ln.InverseCDF(p, -1.0), x, x * eps * tolZ + 4.0 * kSearchTolerance * x) << "p = " << p;
  }
}

// Closed-form quantiles: the CDFs are exact, so only the search tolerance
// applies (relative to x, or to p through the density).
TEST(InverseCdf, WeibullAndUniformQuantilesMatchClosedForms) {
  for (double p : {1e-4, 0.05, 0.3, 0.5, 0.7, 0.95, 0.999}) {
    for (auto [gamma, eta, beta] : {std::tuple{0.0, 2.0, 1.0}, std::tuple{1.0, 2.0, 0.8}, std::tuple{2.0, 5.0, 3.5}}) {
      CRandVar v(CRandVar::kWeibull, gamma, eta, beta);
      const double x = gamma + eta * std::pow(-std::log1p(-p), 1.0 / beta);
      const double tol = 4.0 * kSearchTolerance * (std::fabs(x) + eta + p / v.PDF(x));
      EXPECT_NEAR(v.InverseCDF(p, -1.0), x, tol) << "p " << p << " beta " << beta;
    }
    CRandVar u(CRandVar::kUniform, -1.0, 4.0);
    const double x = -1.0 + 5.0 * p;
    EXPECT_NEAR(u.InverseCDF(p, -1.0), x, 4.0 * kSearchTolerance * (std::fabs(x) + 5.0)) << "p " << p;
  }
}

// ---- properties over every type ----

const std::vector<double>& Probabilities() {
  static const std::vector<double> ps = {1e-6, 1e-4, 0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999};
  return ps;
}

class InverseCdfOf : public ::testing::TestWithParam<DistCase> {};

// The search keeps p between the CDF values at its ends and stops when p
// matches the middle to 1e-12 relative, when the ends agree to 1e-12
// relative to x (1e-12 absolute near 0), or when their CDF values agree to
// 1e-12 relative: |CDF(x) - p| is then at most about 1e-12 * (p + f(x) |x|).
TEST_P(InverseCdfOf, CdfOfTheResultIsP) {
  CRandVar v = GetParam().Make();
  double previous = -1e300;
  for (double p : Probabilities()) {
    const double x = v.InverseCDF(p, -1.0);
    const double tol = 4.0 * kSearchTolerance * (p + v.PDF(x) * std::fmax(std::fabs(x), 1.0)) + 4.0 * kEps;
    EXPECT_NEAR(v.CDF(x), p, tol) << "p = " << p;
    EXPECT_GT(x, previous) << "p = " << p;  // quantiles increase with p
    previous = x;
  }
}

INSTANTIATE_TEST_SUITE_P(Distributions, InverseCdfOf, ::testing::ValuesIn(rbotest::Distributions()),
                         [](const ::testing::TestParamInfo<DistCase>& c) { return rbotest::CaseName(c.param); });

}  // namespace
