// Density, distribution function, moments, support limits and the
// equivalent normal of every distribution type, against closed forms built
// from the C library's functions (std::erfc, std::tgamma, std::exp) with
// tolerances derived from the error bounds of the library's own error- and
// gamma-function fits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "foundation/LogTrace.h"
#include "randvar/RandVarCases.h"
#include "rbo/RandVar.h"
#include "support/RandVarInternals.h"

namespace {

using rbotest::DistCase;
using rbotest::kEps;
using rbotest::kErfFitSlopeError;
using rbotest::kLanczosError;
using rbotest::NormalCdfTolerance;
using rbotest::Phi;
using refhost::LogCapture;
using testsupport::Simpson;

constexpr double kBig = 1e30;
constexpr double kPi = 3.14159265358979323846;

TEST(NormalDistribution, CdfFollowsPhiWithinTheErrorFunctionFit) {
  CRandVar v(CRandVar::kNormal, 2.0, 3.0);
  for (double z = -8.0; z <= 8.0; z += 0.125) {
    const double x = 2.0 + 3.0 * z;
    EXPECT_NEAR(v.CDF(x), Phi(z), NormalCdfTolerance(z)) << "z = " << z;
  }
  // The fit is not exact at 0, so the CDF at the mean is 0.499999985 (nine
  // digits), and at one standard deviation 0.84134474.
  for (auto [mu, sigma] : {std::pair{0.0, 1.0}, std::pair{10.0, 2.0}, std::pair{-3.0, 0.25}}) {
    CRandVar w(CRandVar::kNormal, mu, sigma);
    EXPECT_NEAR(w.CDF(mu), 0.499999985, 5e-10) << mu;
    EXPECT_NEAR(w.CDF(mu + sigma), 0.84134474, 5e-9) << mu;
  }
}

// In double precision 1 + erf reaches 0 about 8.37 standard deviations
// below the mean and 2 about 8.24 above it; from there the CDF is exact.
TEST(NormalDistribution, CdfIsExactlyZeroOrOneFarOut) {
  CRandVar v(CRandVar::kNormal, 0.0, 1.0);
  EXPECT_EQ(v.CDF(-8.4), 0.0);
  EXPECT_GT(v.CDF(-8.3), 0.0);
  EXPECT_EQ(v.CDF(8.3), 1.0);
  EXPECT_LT(v.CDF(8.2), 1.0);
  EXPECT_EQ(v.CDF(-1e300), 0.0);
  EXPECT_EQ(v.CDF(1e300), 1.0);
}

// The fit is 1 - erfc_fit(u) for x >= 0 and erfc_fit(u) - 1 below, and
// erfc_fit(0) = 1 + 3.0e-8: erf steps from +3.0e-8 to -3.0e-8 at 0, and the
// normal CDF steps down by 3.0e-8 at the mean, from 0.500000015 to
// 0.499999985.  The inverse brackets across the step all the same.
TEST(NormalDistribution, CdfStepsDownAtTheMean) {
  CRandVar v(CRandVar::kNormal, 4.0, 2.0);
  EXPECT_NEAR(v.CDF(std::nextafter(4.0, -1e300)), 0.500000015, 5e-10);
  EXPECT_NEAR(v.CDF(4.0), 0.499999985, 5e-10);
  const double x = v.InverseCDF(0.5000000001, -1.0);
  EXPECT_GT(x, 4.0);
  EXPECT_NEAR(v.CDF(x), 0.5000000001, 1e-11);
}

TEST(UniformDistribution, CdfAndPdfOnAndOffTheInterval) {
  CRandVar v(CRandVar::kUniform, -1.0, 4.0);
  EXPECT_EQ(v.CDF(-1.5), 0.0);
  EXPECT_EQ(v.CDF(-1.0), 0.0);
  EXPECT_NEAR(v.CDF(1.5), 0.5, kEps);
  EXPECT_EQ(v.CDF(4.0), 1.0);
  EXPECT_EQ(v.CDF(7.0), 1.0);
  EXPECT_EQ(v.PDF(-1.0 - 1e-9), 0.0);
  EXPECT_EQ(v.PDF(-1.0), 0.2);  // both ends belong to the support
  EXPECT_EQ(v.PDF(1.0), 0.2);
  EXPECT_EQ(v.PDF(4.0), 0.2);
  EXPECT_EQ(v.PDF(4.0 + 1e-9), 0.0);
}

// Equal bounds are accepted: all the mass sits at one point.  The density
// there is the library's infinity, not an IEEE infinity.
TEST(UniformDistribution, EqualBoundsArePointMass) {
  CRandVar v(CRandVar::kUniform, 2.0, 2.0);
  EXPECT_EQ(v.CDF(2.0 - 1e-12), 0.0);
  EXPECT_EQ(v.CDF(2.0), 1.0);
  EXPECT_EQ(v.PDF(2.0), kBig);
  EXPECT_EQ(v.PDF(2.1), 0.0);
  EXPECT_EQ(v.GetActualMean(), 2.0);
  EXPECT_EQ(v.GetActualStdDev(), 0.0);
  EXPECT_EQ(v.InverseCDF(0.3, -1.0), 2.0);
}

TEST(LognormalDistribution, CdfFollowsPhiOfTheLogarithm) {
  const double lambda = 1.0, eps = 0.5;
  CRandVar v(CRandVar::kLognormal, lambda, eps);
  for (double x : {0.05, 0.3, 1.0, 2.0, std::exp(lambda), 5.0, 20.0, 80.0}) {
    const double w = (std::log(x) - lambda) / eps;
    EXPECT_NEAR(v.CDF(x), Phi(w), NormalCdfTolerance(w)) << "x = " << x;
  }
  for (double x : {0.0, -1.0, -1e30}) {  // nothing at or below zero
    EXPECT_EQ(v.PDF(x), 0.0);
    EXPECT_EQ(v.CDF(x), 0.0);
  }
}

TEST(LognormalDistribution, MomentsAndTheirCaps) {
  CRandVar v(CRandVar::kLognormal, 1.0, 0.5);
  const double mean = std::exp(1.0 + 0.125);
  EXPECT_NEAR(v.GetActualMean(), mean, 4 * kEps * mean);
  EXPECT_NEAR(v.GetActualStdDev(), mean * std::sqrt(std::expm1(0.25)), 1e-14 * mean);

  // lambda + eps^2/2 above ln 1e30 = 69.0776: the mean is the library's infinity.
  CRandVar huge(CRandVar::kLognormal, 60.0, 4.5);  // 60 + 10.125
  EXPECT_EQ(huge.GetActualMean(), kBig);
  CRandVar large(CRandVar::kLognormal, 60.0, 4.1);  // 60 + 8.405
  EXPECT_LT(large.GetActualMean(), kBig);
  EXPECT_NEAR(large.GetActualMean(), std::exp(68.405), 1e-13 * std::exp(68.405));

  // eps^2 above ln 1e30: the standard deviation is the mean times 1e15.
  CRandVar wide(CRandVar::kLognormal, 1.0, 8.4);  // eps^2 = 70.56
  EXPECT_NEAR(wide.GetActualStdDev(), wide.GetActualMean() * 1e15, 1e-15 * wide.GetActualMean() * 1e15);
}

TEST(WeibullDistribution, CdfIsOneMinusExpOfMinusZToTheShape) {
  const double gamma = 1.5, eta = 2.0;
  for (double beta : {0.5, 1.0, 2.0, 3.5}) {
    CRandVar v(CRandVar::kWeibull, gamma, eta, beta);
    for (double x : {1.5, 1.6, 2.0, 3.0, 5.0, 10.0, 30.0}) {
      const double z = (x - gamma) / eta;
      EXPECT_NEAR(v.CDF(x), -std::expm1(-std::pow(z, beta)), 4 * kEps) << "beta " << beta << " x " << x;
    }
    EXPECT_EQ(v.CDF(1.4999), 0.0);
  }
  CRandVar v(CRandVar::kWeibull, 0.0, 1.0, 2.0);
  EXPECT_EQ(v.CDF(1e16), 1.0);  // z^beta = 1e32 > 1e30
  CRandVar exponential(CRandVar::kWeibull, 0.0, 2.0, 1.0);
  EXPECT_NEAR(exponential.GetActualMean(), 2.0, 5e-14);  // fourteen digits
  EXPECT_NEAR(exponential.GetActualStdDev(), 2.0, 5e-14);
  EXPECT_NEAR(exponential.CDF(2.0), 1.0 - std::exp(-1.0), kEps);
}

// Moments against std::tgamma.  The library's gamma function carries the
// Lanczos error (fractional, kLanczosError) on g1 = G(1 + 1/beta) and
// g2 = G(1 + 2/beta); the variance g2 - g1^2 amplifies it by
// (g2 + 2 g1^2) / (g2 - g1^2), and the standard deviation halves that.
TEST(WeibullDistribution, MomentsMatchTheGammaFunction) {
  const double gamma = 1.5, eta = 2.0;
  for (double beta : {0.3, 0.5, 0.8, 1.0, 2.0, 3.5, 10.0, 50.0}) {
    CRandVar v(CRandVar::kWeibull, gamma, eta, beta);
    const double g1 = std::tgamma(1.0 + 1.0 / beta), g2 = std::tgamma(1.0 + 2.0 / beta);
    const double mean = gamma + eta * g1, sd = eta * std::sqrt(g2 - g1 * g1);
    const double amplification = (g2 + 2.0 * g1 * g1) / (g2 - g1 * g1);
    EXPECT_NEAR(v.GetActualMean(), mean, 2.0 * kLanczosError * eta * g1 + 4 * kEps * mean) << beta;
    EXPECT_NEAR(v.GetActualStdDev(), sd, kLanczosError * amplification * sd + 4 * kEps * sd) << beta;
  }
}

TEST(SupportLimits, LowAndHighEndOfTheSearchRange) {
  struct LimitCase {
    DistCase dist;
    double dLow, dUp;
  };
  for (const LimitCase& c :
       {LimitCase{{"Normal", 0, 5.0, 2.0, 0.0}, -kBig, kBig}, LimitCase{{"Uniform", 1, -2.0, 3.0, 0.0}, -2.0, 3.0},
        LimitCase{{"Lognormal", 2, 1.0, 0.5, 0.0}, 0.0, kBig},
        LimitCase{{"WeibullPositiveLocation", 3, 4.0, 2.0, 1.0}, 4.0, kBig},
        LimitCase{{"WeibullZeroLocation", 3, 0.0, 2.0, 1.0}, 0.0, kBig},
        // a negative location still searches from 0
        LimitCase{{"WeibullNegativeLocation", 3, -3.0, 2.0, 1.0}, 0.0, kBig}}) {
    SCOPED_TRACE(c.dist.pszName);
    CRandVar v = c.dist.Make();
    EXPECT_EQ(CRandVarInternals::LowLimit(v), c.dLow);
    EXPECT_EQ(CRandVarInternals::UpLimit(v), c.dUp);
  }
}

// ---- density: closed forms, cap, slope of the CDF ----

// The density formed directly, without logarithms.
double ClosedFormDensity(const DistCase& d, double x) {
  switch (d.nType) {
    case CRandVar::kNormal: {
      const double z = (x - d.dP1) / d.dP2;
      return std::exp(-z * z / 2.0) / (d.dP2 * std::sqrt(2.0 * kPi));
    }
    case CRandVar::kUniform:
      return 1.0 / (d.dP2 - d.dP1);
    case CRandVar::kLognormal: {
      const double w = (std::log(x) - d.dP1) / d.dP2;
      return std::exp(-w * w / 2.0) / (x * d.dP2 * std::sqrt(2.0 * kPi));
    }
    default: {
      const double z = (x - d.dP1) / d.dP2;
      return d.dP3 / d.dP2 * std::pow(z, d.dP3 - 1.0) * std::exp(-std::pow(z, d.dP3));
    }
  }
}

class DensityOf : public ::testing::TestWithParam<DistCase> {
 protected:
  // Interior points: quantiles 0.05 .. 0.95 (away from the Weibull location,
  // where a shape below 1 makes the density singular).
  std::vector<double> InteriorPoints() {
    CRandVar v = GetParam().Make();
    std::vector<double> xs;
    for (double p = 0.05; p < 0.96; p += 0.05) xs.push_back(v.InverseCDF(p, -1.0));
    return xs;
  }
};

// The library forms the density as exp(q): rounding in q (|q| below 40
// here) costs a relative 40 * few ulp; 1e-13 covers it.
TEST_P(DensityOf, MatchesTheClosedForm) {
  CRandVar v = GetParam().Make();
  for (double x : InteriorPoints()) {
    const double f = ClosedFormDensity(GetParam(), x);
    EXPECT_NEAR(v.PDF(x), f, 1e-13 * f) << "x = " << x;
  }
}

// PDF = d CDF / dx, by a central difference with h = 1e-5 standard
// deviations (truncation and rounding below 1e-7 of the density at these
// points).  Normal and lognormal CDFs come from the error-function fit,
// whose slope is off by at most kErfFitSlopeError in erf's argument
// w / sqrt(2): the CDF's slope may then differ from the exact density by
// kErfFitSlopeError / (2 sqrt 2) * dw/dx.  The fit jumps at w = 0 (see
// CdfStepsDownAtTheMean), so the difference must not straddle it.
TEST_P(DensityOf, IsTheSlopeOfTheCdf) {
  const DistCase& d = GetParam();
  CRandVar v = d.Make();
  const double h = 1e-5 * v.GetActualStdDev();
  for (double x : InteriorPoints()) {
    double dwdx = 0.0;
    if (d.nType == CRandVar::kNormal) dwdx = 1.0 / d.dP2;
    if (d.nType == CRandVar::kLognormal) dwdx = 1.0 / (x * d.dP2);
    const double center = d.nType == CRandVar::kLognormal ? std::exp(d.dP1) : d.dP1;
    if (dwdx > 0.0 && std::fabs(x - center) < 2.0 * h) continue;
    const double slope = (v.CDF(x + h) - v.CDF(x - h)) / (2.0 * h);
    const double tol = kErfFitSlopeError / (2.0 * std::sqrt(2.0)) * dwdx + 1e-7 * v.PDF(x);
    EXPECT_NEAR(v.PDF(x), slope, tol) << "x = " << x;
  }
}

// The density integrates to 1, and its first two moments are the reported
// mean and standard deviation.  Lognormal variables are integrated over
// t = ln x, Weibull variables over s with x = location + eta s^(2/beta),
// which turns f dx into 2 s exp(-s^2) ds, smooth for every shape (the
// density itself is singular at the location for shapes below 1).  The
// ranges leave out tail mass below 1e-18; Simpson's rule with 20000
// intervals is then accurate to about 1e-9.  Weibull moments carry the
// Lanczos error (a few 1e-10 at most), hence 1e-8.
TEST_P(DensityOf, MomentsByQuadratureMatchTheReportedOnes) {
  const DistCase& d = GetParam();
  CRandVar v = d.Make();
  const double m = v.GetActualMean(), s = v.GetActualStdDev();
  std::function<double(double)> x = [](double t) { return t; };
  std::function<double(double)> dx = [](double) { return 1.0; };
  double lo = 0.0, hi = 0.0;
  switch (d.nType) {
    case CRandVar::kNormal:
      lo = d.dP1 - 12.0 * d.dP2;
      hi = d.dP1 + 12.0 * d.dP2;
      break;
    case CRandVar::kUniform:
      lo = d.dP1;
      hi = d.dP2;
      break;
    case CRandVar::kLognormal:
      lo = d.dP1 - 12.0 * d.dP2;
      hi = d.dP1 + 12.0 * d.dP2;
      x = [](double t) { return std::exp(t); };
      dx = x;
      break;
    default: {
      const double gamma = d.dP1, eta = d.dP2, k = 2.0 / d.dP3;
      lo = 1e-9;
      hi = std::sqrt(50.0);
      x = [=](double t) { return gamma + eta * std::pow(t, k); };
      dx = [=](double t) { return eta * k * std::pow(t, k - 1.0); };
      break;
    }
  }
  auto moment = [&](int k) {
    return Simpson(
        [&](double t) {
          const double xt = x(t);
          // Where location + eta s^(2/beta) rounds to the location itself the
          // true integrand is about 2 s, below 1e-6 there: take it as 0.
          if (d.nType == CRandVar::kWeibull && xt == d.dP1) return 0.0;
          return std::pow(xt - (k == 2 ? m : 0.0), k) * v.PDF(xt) * dx(t);
        },
        lo, hi, 20000);
  };
  EXPECT_NEAR(moment(0), 1.0, 1e-10);
  EXPECT_NEAR(moment(1), m, 1e-8 * (std::fabs(m) + s));
  EXPECT_NEAR(std::sqrt(moment(2)), s, 1e-8 * s);
}

INSTANTIATE_TEST_SUITE_P(Distributions, DensityOf, ::testing::ValuesIn(rbotest::Distributions()),
                         [](const ::testing::TestParamInfo<DistCase>& c) { return rbotest::CaseName(c.param); });

// The density is formed from its logarithm and capped at the library's
// infinity.
TEST(Density, IsCappedAtTheLibrarysInfinity) {
  CRandVar v(CRandVar::kWeibull, 0.0, 1.0, 0.5);
  EXPECT_EQ(v.PDF(1e-100), kBig);  // ln f = 114 > ln 1e30
  EXPECT_LT(v.PDF(1e-40), kBig);   // ln f = 45.4
}

// ---- Weibull density at and next to the location ----

// At the location the density formula has ln 0; the library reports the
// limit from above: 0 for a shape above 1, 1/eta for a shape of 1, the
// library's infinity below 1.  Next to it the formula itself is used.
// (The points stay within 1e-6 scale units, below the mode of every shape
// tested.)  Whatever the shape, the value is finite, not negative and not above 1e30.
struct NearLocationCase {
  double dGamma, dEta, dBeta;
};
void PrintTo(const NearLocationCase& c, std::ostream* os) {
  *os << "gamma " << c.dGamma << " eta " << c.dEta << " beta " << c.dBeta;
}

class WeibullAtLocation : public ::testing::TestWithParam<NearLocationCase> {};

TEST_P(WeibullAtLocation, DensityIsFiniteAndTendsToItsLimit) {
  const auto [gamma, eta, beta] = GetParam();
  CRandVar v(CRandVar::kWeibull, gamma, eta, beta);
  const double atLocation = v.PDF(gamma);
  const double limit = beta > 1.0 ? 0.0 : (beta == 1.0 ? 1.0 / eta : kBig);
  EXPECT_EQ(atLocation, limit);

  std::vector<double> xs = {gamma, std::nextafter(gamma, 1e300)};
  for (double dz : {1e-300, 1e-100, 1e-30, 1e-12, 1e-6}) xs.push_back(gamma + dz * eta);
  std::sort(xs.begin(), xs.end());  // away from 0 a tiny step may round back to the location
  double previous = atLocation;
  for (double x : xs) {
    const double f = v.PDF(x);
    EXPECT_TRUE(std::isfinite(f)) << x;
    EXPECT_GE(f, 0.0) << x;
    EXPECT_LE(f, kBig) << x;
    // Near the location the density falls (shape below 1), stays flat
    // (shape 1) or rises (shape above 1) as x moves away from it.
    if (beta < 1.0) {
      EXPECT_LE(f, previous) << x;
    } else if (beta > 1.0) {
      EXPECT_GE(f, previous) << x;
    } else {
      EXPECT_NEAR(f, std::exp(-(x - gamma) / eta) / eta, 1e-13 / eta) << x;
    }
    previous = f;
  }
  EXPECT_EQ(v.PDF(std::nextafter(gamma, -1e300)), 0.0);  // below the location
}

INSTANTIATE_TEST_SUITE_P(Shapes, WeibullAtLocation,
                         ::testing::Values(NearLocationCase{0.0, 2.0, 0.3}, NearLocationCase{0.0, 2.0, 0.999},
                                           NearLocationCase{0.0, 2.0, 1.0}, NearLocationCase{0.0, 1e-12, 1.0},
                                           NearLocationCase{0.0, 2.0, 1.001}, NearLocationCase{0.0, 2.0, 2.0},
                                           NearLocationCase{5.0, 2.0, 0.5}, NearLocationCase{5.0, 2.0, 1.0},
                                           NearLocationCase{5.0, 2.0, 3.0}, NearLocationCase{-3.0, 0.5, 8.0}));

// ---- equivalent normal ----

TEST(NormalTailApprox, NormalVariableReportsItsOwnParameters) {
  CRandVar v(CRandVar::kNormal, -4.0, 0.75);
  for (double x : {-1e6, -4.0, 0.0, 3.3, 1e30}) {
    for (double tol : {-1.0, 0.0, 0.1}) {
      double mean = 0.0, sd = 0.0;
      v.NormalTailApprox(x, &mean, &sd, tol);
      EXPECT_EQ(mean, -4.0);
      EXPECT_EQ(sd, 0.75);
    }
  }
}

// The equivalent normal has the variable's density and probability at x.
// Its probability carries the inverse's stopping tolerance (about 1e-12 of
// the density times |x|) and its density the rounding of mean and sd.
TEST(NormalTailApprox, MatchesDensityAndProbabilityAtThePoint) {
  for (const DistCase& d : rbotest::Distributions()) {
    if (d.nType == CRandVar::kNormal) continue;
    CRandVar v = d.Make();
    for (double p : {0.01, 0.2, 0.5, 0.8, 0.99}) {
      const double x = v.InverseCDF(p, -1.0);
      double mean = 0.0, sd = 0.0;
      v.NormalTailApprox(x, &mean, &sd, -1.0);
      ASSERT_GT(sd, 0.0) << d.pszName;
      CRandVar equivalent(CRandVar::kNormal, mean, sd);
      EXPECT_NEAR(equivalent.PDF(x), v.PDF(x), 1e-9 * v.PDF(x)) << d.pszName << " p " << p;
      EXPECT_NEAR(equivalent.CDF(x), v.CDF(x), 1e-10) << d.pszName << " p " << p;
    }
  }
  // Uniform(0, 1) at 0.5: density 1 and probability 0.5, so sd = phi(u) and
  // mean = 0.5 - sd * u with u the standard normal quantile of 0.5 (3.8e-8).
  CRandVar v(CRandVar::kUniform, 0.0, 1.0);
  double mean = 0.0, sd = 0.0;
  v.NormalTailApprox(0.5, &mean, &sd, -1.0);
  EXPECT_NEAR(sd, 1.0 / std::sqrt(2.0 * kPi), 1e-14);
  EXPECT_NEAR(mean, 0.5 - sd * 3.76e-8, 1e-10);
}

// Outside the support the density is 0 and no normal distribution matches;
// the variable's own mean and standard deviation are reported instead,
// without a failure.
TEST(NormalTailApprox, OutsideTheSupportReportsTheActualMoments) {
  struct Outside {
    DistCase dist;
    double x;
  };
  for (const Outside& c : {Outside{{"", 1, 0.0, 1.0, 0.0}, 2.0}, Outside{{"", 1, 0.0, 1.0, 0.0}, -1.0},
                           Outside{{"", 2, 1.0, 0.5, 0.0}, -1.0}, Outside{{"", 2, 1.0, 0.5, 0.0}, 0.0},
                           Outside{{"", 3, 4.0, 2.0, 2.0}, 3.0}, Outside{{"", 3, 4.0, 2.0, 2.0}, 4.0}}) {
    CRandVar v = c.dist.Make();
    LogCapture capture;
    double mean = -1.0, sd = -1.0;
    EXPECT_NO_THROW(v.NormalTailApprox(c.x, &mean, &sd, -1.0));
    EXPECT_EQ(mean, v.GetActualMean());
    EXPECT_EQ(sd, v.GetActualStdDev());
    EXPECT_TRUE(capture.Records().empty()) << rbotest::Dump(capture.Records());
  }
}

// ---- an invalid type is rejected by every operation that branches on it ----

struct TypeOp {
  const char* pszName;
  std::function<void(CRandVar&)> op;
  int nGuardLevels;  ///< guarded operations the exception crosses
};
void PrintTo(const TypeOp& c, std::ostream* os) { *os << c.pszName; }

class InvalidTypeOp : public ::testing::TestWithParam<TypeOp> {};

TEST_P(InvalidTypeOp, ThrowsCInvalidTypeAfterTheOneLineReport) {
  for (int nType : {4, -1, 7}) {
    CRandVar v(CRandVar::kWeibull, 0.0, 1.0, 1.0);
    v.SetType(nType);
    const auto records = rbotest::LogOfFailure<CInvalidType>([&] { GetParam().op(v); });
    EXPECT_TRUE(rbotest::MatchesReport(records, {"Invalid distribution type of the random variable.\n",
                                                 {},
                                                 "RandVar",
                                                 "Object type is invalid",
                                                 GetParam().nGuardLevels}))
        << "type " << nType;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, InvalidTypeOp,
    ::testing::Values(TypeOp{"PDF", [](CRandVar& v) { v.PDF(0.5); }, 1},
                      TypeOp{"CDF", [](CRandVar& v) { v.CDF(0.5); }, 1},
                      TypeOp{"Mean", [](CRandVar& v) { v.GetActualMean(); }, 1},
                      TypeOp{"StdDev", [](CRandVar& v) { v.GetActualStdDev(); }, 1},
                      TypeOp{"LowLimit", [](CRandVar& v) { CRandVarInternals::LowLimit(v); }, 1},
                      TypeOp{"UpLimit", [](CRandVar& v) { CRandVarInternals::UpLimit(v); }, 1},
                      TypeOp{"InverseCDF", [](CRandVar& v) { v.InverseCDF(0.5, -1.0); }, 2},
                      TypeOp{"NormalTailApprox",
                             [](CRandVar& v) {
                               double m, s;
                               v.NormalTailApprox(0.5, &m, &s, -1.0);
                             },
                             2},
                      TypeOp{"UpdateMean", [](CRandVar& v) { v.UpdateParamsFromActualMean(3.0); }, 2},
                      TypeOp{"UpdateMeanStdDev", [](CRandVar& v) { v.UpdateParamsFromActualMeanStdDev(3.0, 1.0); }, 2},
                      TypeOp{"Copy",
                             [](CRandVar& v) {
                               CRandVar w;
                               w.Copy(v);
                             },
                             2}),
    [](const ::testing::TestParamInfo<TypeOp>& c) { return std::string(c.param.pszName); });

}  // namespace
