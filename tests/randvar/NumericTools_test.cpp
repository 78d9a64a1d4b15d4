// The numerical tools under the distribution functions: the error-function
// fit, the Lanczos gamma function with its cap, the closeness test, and
// the Weibull moment ratio M(beta) that the shape search inverts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "randvar/RandVarCases.h"
#include "randvar/RandVarConstants.h"
#include "rbo/RandVar.h"
#include "support/RandVarInternals.h"

namespace {

using In = CRandVarInternals;
using rbotest::kEps;
using rbotest::kErfFitError;
using rbotest::kLanczosError;

constexpr double kBig = 1e30;

// The fit's error is fractional in erfc: |erf_fit - erf| <= 1.2e-7 erfc(|x|),
// plus the rounding of 1 - erfc.
TEST(ErrorFunction, WithinTheFitsBoundOfErf) {
  CRandVar v;
  for (double x = -6.0; x <= 6.0; x += 1.0 / 64.0) {
    EXPECT_NEAR(In::Erf(v, x), std::erf(x), kErfFitError * std::erfc(std::fabs(x)) + 2.0 * kEps) << "x = " << x;
  }
  EXPECT_EQ(In::Erf(v, 30.0), 1.0);
  EXPECT_EQ(In::Erf(v, -30.0), -1.0);
}

// Not exact at 0 (the fit at 40 digits: -3.0000000573e-8; in double
// precision 1 - erfc carries one rounding of a number near 1); odd elsewhere.
TEST(ErrorFunction, OffsetAtZeroAndOddSymmetry) {
  CRandVar v;
  EXPECT_NEAR(In::Erf(v, 0.0), -3.0000000573e-8, 2.5e-16);
  for (double x : {1e-9, 0.3, 1.0, 2.5, 5.0}) EXPECT_EQ(In::Erf(v, -x), -In::Erf(v, x)) << x;
}

// Against std::tgamma up to the cap: the series' fractional error bound.
TEST(GammaFunction, WithinTheLanczosBoundOfTgamma) {
  CRandVar v;
  EXPECT_NEAR(In::Gamma(v, 1.0), 1.0, 4 * kEps);
  for (double x = 1e-3; x < 29.0; x *= 1.05) {
    const double g = std::tgamma(x);
    EXPECT_NEAR(In::Gamma(v, x), g, kLanczosError * g) << "x = " << x;
    EXPECT_NEAR(In::Gamma(v, x + 1.0) / In::Gamma(v, x), x, 2.0 * kLanczosError * x) << "x = " << x;
  }
}

// ln G(x) above ln 1e30 (x above about 29.354) gives the library's infinity.
TEST(GammaFunction, CappedAtTheLibrarysInfinity) {
  CRandVar v;
  EXPECT_LT(In::Gamma(v, 29.35), kBig);
  EXPECT_NEAR(In::Gamma(v, 29.35), std::tgamma(29.35), kLanczosError * std::tgamma(29.35));
  EXPECT_EQ(In::Gamma(v, 29.36), kBig);
  EXPECT_EQ(In::Gamma(v, 30.0), kBig);
  EXPECT_EQ(In::Gamma(v, 1e6), kBig);
  EXPECT_EQ(In::Gamma(v, std::numeric_limits<double>::infinity()), kBig);
}

// Relative to the first number, absolute where it is below the tolerance.
TEST(TwoNumbersAreClose, RelativeToTheFirstAbsoluteNearZero) {
  struct CloseCase {
    double a, b, tol;
    bool bClose;
  };
  CRandVar v;
  for (const CloseCase& c :
       {CloseCase{0.0, 1e-13, -1.0, true},        // |a| below the tolerance: absolute
        CloseCase{1.0, 1.0 + 1e-13, -1.0, true},  // relative
        CloseCase{1.0, 1.0 + 2e-12, -1.0, false},
        CloseCase{2e-12, 2.5e-12, -1.0, false},  // relative although 5e-13 apart
        CloseCase{5e-13, 1.4e-12, -1.0, true},   // absolute: a is below 1e-12
        CloseCase{1.4e-12, 5e-13, -1.0, false},  // the same numbers the other way round
        CloseCase{-1.0, -1.0 - 1e-13, -1.0, true}, CloseCase{1.0, -1.0, -1.0, false},
        CloseCase{1e6, 1e6 + 1e-7, -1.0, true},                                 // relative: 1e-13
        CloseCase{100.0, 100.05, 1e-3, true},                                   // the tolerance argument
        CloseCase{100.0, 100.2, 1e-3, false}, CloseCase{1.0, 1.0, 0.0, false},  // a zero tolerance is never met
        CloseCase{0.0, 0.0, 0.0, false}}) {
    EXPECT_EQ(In::Close(v, c.a, c.b, c.tol), c.bClose) << c.a << " " << c.b << " " << c.tol;
  }
}

// ---- M(beta) = (mean - location) / standard deviation of a Weibull variable ----

// Closed form through std::lgamma: M = 1 / sqrt(exp(d) - 1) with
// d = lnG(1 + 2/beta) - 2 lnG(1 + 1/beta).  The library's gamma values
// carry the Lanczos error on each factor; M inherits it amplified by
// exp(d) / (exp(d) - 1), large for large shapes where d is small.
double ReferenceM(double beta) {
  const double d = std::lgamma(1.0 + 2.0 / beta) - 2.0 * std::lgamma(1.0 + 1.0 / beta);
  return 1.0 / std::sqrt(std::expm1(d));
}
double MTolerance(double beta) {
  const double d = std::lgamma(1.0 + 2.0 / beta) - 2.0 * std::lgamma(1.0 + 1.0 / beta);
  return 3.0 * kLanczosError * (1.0 + std::exp(d) / std::expm1(d)) * ReferenceM(beta);
}

// Also below a shape of about 0.07, where G(1 + 2/beta) exceeds the cap of
// the library's gamma function and the capped formula would be wrong or
// undefined: M must stay right there, because the shape search starts at
// beta = T and so meets such shapes for any target below about 0.07.
TEST(WeibullMomentRatio, MatchesTheClosedFormAcrossShapes) {
  CRandVar v;
  for (double beta :
       {0.01, 0.02, 0.03, 0.05, 0.0576, 0.06, 0.07, 0.0705, 0.071, 0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 20.0, 100.0}) {
    const double m = In::M(v, beta);
    EXPECT_TRUE(std::isfinite(m)) << beta;
    EXPECT_NEAR(m, ReferenceM(beta), MTolerance(beta)) << "beta = " << beta;
  }
}

// The shape search brackets and bisects on the assumption that M increases
// with the shape.
TEST(WeibullMomentRatio, IncreasesWithTheShape) {
  CRandVar v;
  double previous = 0.0;
  for (double beta = 0.01; beta < 2000.0; beta *= 1.1) {
    const double m = In::M(v, beta);
    EXPECT_GT(m, previous) << "beta = " << beta;
    previous = m;
  }
}

}  // namespace

namespace {
// The cap's threshold is a literal so that it needs no start-up code; it
// must be the very double that the logarithm of 1e30 gives.
TEST(LibraryInfinity, LogarithmConstantIsTheLogOfTheCap) { EXPECT_EQ(rbo::kLnBig, std::log(rbo::kBig)); }
}  // namespace
