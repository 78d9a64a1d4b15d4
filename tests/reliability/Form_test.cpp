// The design-point search: linear limit states in normal variables against
// the closed form of beta, nonlinear ones against the nearest point found
// by an independent polar search, searches that must fail, several starts,
// and the generalised reliability index against tabulated normal quantiles.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "rbo/reliability/Form.h"
#include "rbo/reliability/StandardSpace.h"
#include "reliability/LimitStateCases.h"

namespace {

using namespace rbo::reliability;
using rbotest::CallLog;
using rbotest::Point;
using rbotest::ScalarFunction;
using rbotest::Single;

CRandVar Normal(double mean, double sd) { return CRandVar(CRandVar::kNormal, mean, sd); }
CRandVar Lognormal(double lambda, double epsilon) { return CRandVar(CRandVar::kLognormal, lambda, epsilon); }

// g = a0 + sum a_i X_i with normal X_i.
struct LinearCase {
  const char* name;
  double a0;
  std::vector<double> a, mean, sd;
  std::vector<double> correlation;  // row-major; empty: independent
};

LinearCase TenVariables() {
  LinearCase c{"ten variables", 4.0, {}, {}, {}, {}};
  for (int i = 0; i < 10; ++i) {
    c.a.push_back((i % 2 ? -1.0 : 1.0) * (1.0 + 0.2 * i));
    c.mean.push_back(5.0 + i);
    c.sd.push_back(0.5 + 0.1 * i);
  }
  return c;
}

// beta = (a0 + a.mu) / sqrt(a^T Sigma a) exactly, to 1e-6, in at most
// 4 (n + 1) analyses, each batch the point and its n perturbations.  The
// importance factors are (a_i sd_i)^2 / sum (a_j sd_j)^2, with or without
// correlation (alpha^T L^-1 is proportional to the scaled coefficients).
TEST(FormLinear, BetaIsExactInAtMostFourStencils) {
  const LinearCase cases[] = {
      {"two variables", 2.0, {1.0, -1.0}, {10.0, 5.0}, {1.0, 2.0}, {}},
      {"origin fails", -9.0, {1.0, -1.0}, {10.0, 5.0}, {1.0, 2.0}, {}},
      TenVariables(),
      {"correlated",
       -1.0,
       {2.0, -1.0, 0.5},
       {3.0, 2.0, 4.0},
       {0.3, 0.5, 0.4},
       {1.0, 0.5, 0.2, 0.5, 1.0, -0.3, 0.2, -0.3, 1.0}},
  };
  for (const LinearCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t n = c.a.size();
    std::vector<CRandVar> vars;
    double centre = c.a0, variance = 0.0, scaled = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      vars.push_back(Normal(c.mean[i], c.sd[i]));
      centre += c.a[i] * c.mean[i];
      scaled += std::pow(c.a[i] * c.sd[i], 2);
      for (std::size_t j = 0; j < n; ++j)
        variance +=
            c.a[i] * c.a[j] * c.sd[i] * c.sd[j] * (c.correlation.empty() ? double(i == j) : c.correlation[i * n + j]);
    }
    const double beta = centre / std::sqrt(variance);
    CallLog log;
    const FormResult r = Form(StandardSpace(vars, c.correlation),
                              Single(
                                  [&](const Point& x) {
                                    double g = c.a0;
                                    for (std::size_t i = 0; i < n; ++i) g += c.a[i] * x[i];
                                    return g;
                                  },
                                  &log),
                              0);
    const DesignPoint& dp = r.Best();
    ASSERT_TRUE(dp.converged) << dp.message;
    EXPECT_NEAR(dp.beta, beta, 1e-6);
    EXPECT_NEAR(dp.pof, rbotest::Phi(-beta), 1e-6 * rbotest::Pdf(beta));
    EXPECT_LE(r.analyses, 4 * (long long)(n + 1));
    EXPECT_EQ(r.analyses, log.points);
    for (std::size_t size : log.batchSizes) EXPECT_EQ(size, n + 1);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(dp.importance[i], std::pow(c.a[i] * c.sd[i], 2) / scaled, 1e-6);
  }
}

// Classic nonlinear limit states of two variables: beta within 1e-3 of the
// distance to the nearest point of the limit state from a polar search in
// standard space (the physical values by the closed forms mu + sd u and
// exp(lambda + epsilon u)), in at most 80 analyses.
TEST(FormNonlinear, BetaMatchesThePolarSearchWithinEightyAnalyses) {
  struct Case {
    const char* name;
    std::vector<CRandVar> vars;
    ScalarFunction g;
  };
  const Case cases[] = {
      // The cubic example of the reliability textbooks.
      {"x1^3 + x2^3 - 18",
       {Normal(10.0, 5.0), Normal(9.9, 5.0)},
       [](const Point& x) { return x[0] * x[0] * x[0] + x[1] * x[1] * x[1] - 18.0; }},
      // d1 d2 X2^2 / 5 - X1 with d1 = 2, d2 = 1.5.
      {"d1 d2 x2^2 / 5 - x1",
       {Lognormal(1.5, 0.15), Normal(3.5, 0.35)},
       [](const Point& x) { return 2.0 * 1.5 * x[1] * x[1] / 5.0 - x[0]; }},
      {"lognormal R - normal S",
       {Lognormal(std::log(100.0), 0.1), Normal(50.0, 5.0)},
       [](const Point& x) { return x[0] - x[1]; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double reference = rbotest::NearestDistance2D([&](const Point& u) {
      return c.g({rbotest::PhysicalOf(c.vars[0], u[0]), rbotest::PhysicalOf(c.vars[1], u[1])});
    });
    CallLog log;
    const FormResult r = Form(StandardSpace(c.vars), Single(c.g, &log), 0);
    ASSERT_TRUE(r.Best().converged) << r.Best().message;
    EXPECT_NEAR(r.Best().beta, reference, 1e-3);
    EXPECT_LE(r.analyses, 80);
    EXPECT_EQ(r.analyses, log.points);
  }
}

// Searches that cannot succeed say so, with NaN beta and pof.
TEST(FormFailure, SearchesThatCannotConvergeReportIt) {
  struct Case {
    const char* name;
    ScalarFunction g;
    int maxIterations;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"never reaches zero", [](const Point& x) { return 1.0 + x[0] * x[0]; }, 100},
      {"NaN beyond x1 = 1", [nan](const Point& x) { return x[0] > 1.0 ? nan : 2.0 - x[0]; }, 100},
      {"flat", [](const Point&) { return 5.0; }, 100},
      {"too few iterations", [](const Point& x) { return 4.0 - x[0] - x[1] + 0.3 * x[0] * x[0]; }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FormOptions o;
    o.maxIterations = c.maxIterations;
    const FormResult r = Form(StandardSpace({Normal(0.0, 1.0), Normal(0.0, 1.0)}), Single(c.g), 0, o);
    ASSERT_EQ(r.designPoints.size(), 1u);
    EXPECT_FALSE(r.Best().converged);
    EXPECT_FALSE(r.Best().message.empty());
    EXPECT_TRUE(std::isnan(r.Best().beta));
    EXPECT_TRUE(std::isnan(r.Best().pof));
  }
}

TEST(FormOptionsCheck, OutOfRangeOptionsAreRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<FormOptions> bad(9);
  bad[0].fdStep = 0.0;
  bad[1].fdStep = nan;
  bad[2].valueTolerance = -1e-6;
  bad[3].valueTolerance = nan;
  bad[4].directionTolerance = 0.0;
  bad[5].maxIterations = 0;
  bad[6].starts = 0;
  bad[7].starts = 2;
  bad[7].startRadius = 0.0;
  bad[8].startRadius = nan;
  bad[8].starts = 3;
  const StandardSpace space({Normal(0.0, 1.0)});
  for (const FormOptions& o : bad)
    EXPECT_THROW(Form(space, Single([](const Point& x) { return 1.0 - x[0]; }), 0, o), std::invalid_argument);
}

// g = 3 - u2 - u1^2 / 4: from the origin the search stays on the axis of
// symmetry and stops at the saddle (0, 3) of the distance; more starts find
// the two nearest points (+-2, 2) at distance sqrt(8) (minimise
// u1^2 + (3 - u1^2/4)^2: u1^2 = 4).  The direction criterion (1 - cos <=
// 1e-6: an angle of 1.4e-3) places a design point on the surface to a few
// 1e-3; beta, stationary there, is far more accurate.
TEST(FormMultiStart, FindsBothNearestPointsOfASymmetricSurface) {
  const StandardSpace space({Normal(0.0, 1.0), Normal(0.0, 1.0)});
  CallLog log;
  const auto g = Single([](const Point& x) { return 3.0 - x[1] - 0.25 * x[0] * x[0]; }, &log);
  EXPECT_NEAR(Form(space, g, 0).Best().beta, 3.0, 1e-6);
  FormOptions o;
  o.starts = 8;
  log = CallLog();
  const FormResult r = Form(space, g, 0, o);
  ASSERT_GE(r.designPoints.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_NEAR(r.designPoints[k].beta, std::sqrt(8.0), 1e-6);
    EXPECT_NEAR(std::fabs(r.designPoints[k].u[0]), 2.0, 3e-3);
    EXPECT_NEAR(r.designPoints[k].u[1], 2.0, 3e-3);
  }
  EXPECT_LT(r.designPoints[0].u[0] * r.designPoints[1].u[0], 0.0);
  for (std::size_t k = 2; k < r.designPoints.size(); ++k) EXPECT_GT(r.designPoints[k].beta, std::sqrt(8.0) + 1e-3);
  EXPECT_EQ(r.analyses, log.points);
}

TEST(FormErrors, WhatTheFunctionThrowsPassesOnAndBadShapesAreRefused) {
  struct Boom {};
  const StandardSpace space({Normal(0.0, 1.0)});
  EXPECT_THROW(Form(
                   space, [](const Batch&) -> Batch { throw Boom(); }, 0),
               Boom);
  EXPECT_THROW(Form(
                   space, [](const Batch&) { return Batch(); }, 0),
               std::invalid_argument);
  EXPECT_THROW(Form(space, Single([](const Point& x) { return 1.0 - x[0]; }), 1), std::invalid_argument);
}

// -Phi^-1(p) against tabulated quantiles of the standard normal
// distribution (e.g. Abramowitz and Stegun, table 26.5).
TEST(GeneralisedBetaOf, TabulatedNormalQuantiles) {
  const struct {
    double pof, beta;
  } cases[] = {{1e-9, 5.997807015007686},
               {1e-3, 3.090232306167813},
               {0.05, 1.6448536269514722},
               {0.5, 0.0},
               {0.975, -1.959963984540054}};
  for (const auto& c : cases) EXPECT_NEAR(GeneralisedBeta(c.pof), c.beta, 1e-12 + 1e-10 * std::fabs(c.beta)) << c.pof;
  EXPECT_TRUE(std::isnan(GeneralisedBeta(1.5)));
}

}  // namespace
