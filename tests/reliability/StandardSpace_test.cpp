// The isoprobabilistic transform: marginals against the random variables'
// own distribution functions, Nataf corrections against their closed forms,
// and the refusals of unusable correlation matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "rbo/RandVar.h"
#include "rbo/reliability/StandardNormal.h"
#include "rbo/reliability/StandardSpace.h"
#include "reliability/Nataf.h"
#include "support/Numbers.h"

namespace {

using namespace rbo::reliability;

CRandVar Var(int type, double p1, double p2, double p3 = 0.0) {
  CRandVar v;
  v.SetType(type);
  v.SetParam1(p1);
  v.SetParam2(p2);
  v.SetParam3(p3);
  return v;
}

const std::vector<CRandVar>& Marginals() {
  static const std::vector<CRandVar> v = {Var(CRandVar::kNormal, 10.0, 2.0), Var(CRandVar::kUniform, -1.0, 3.0),
                                          Var(CRandVar::kLognormal, 1.0, 0.3), Var(CRandVar::kWeibull, 2.0, 1.5, 2.5)};
  return v;
}

// The closed forms agree with the random variables' own functions (an
// independent implementation, accurate to about 1e-7) in the body, and
// invert each other to full precision deep in both tails.
TEST(Marginals, AgreeWithTheRandomVariablesAndInvertInBothTails) {
  for (CRandVar v : Marginals()) {
    SCOPED_TRACE(v.GetType());
    EXPECT_NEAR(MarginalMean(v), v.GetActualMean(), 1e-6 * std::fabs(v.GetActualMean()));
    EXPECT_NEAR(MarginalStdDev(v), v.GetActualStdDev(), 1e-6 * v.GetActualStdDev());
    for (double z : {-2.0, -0.7, 0.0, 0.4, 1.9}) {
      const double x = MarginalFromNormal(v, z);
      EXPECT_NEAR(v.CDF(x), NormalCdf(z), 3e-7) << z;
    }
    // A uniform variable's x near a bound holds only its absolute precision.
    for (double z : {-8.0, -5.0, -1.0, 1.0, 5.0, 8.0}) {
      if (v.GetType() == CRandVar::kUniform && std::fabs(z) > 5.0) continue;
      const double x = MarginalFromNormal(v, z);
      EXPECT_NEAR(NormalFromMarginal(v, x), z, 1e-9 * std::fabs(z)) << z;
      const double tail = z < 0.0 ? MarginalCdf(v, x) : MarginalCdf(v, x, true);
      EXPECT_NEAR(tail, NormalCdf(-std::fabs(z)), 1e-8 * NormalCdf(-std::fabs(z))) << z;
    }
  }
}

TEST(Marginals, OutsideTheSupportMapToInfinity) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(NormalFromMarginal(Var(CRandVar::kUniform, 0.0, 1.0), 2.0), inf);
  EXPECT_EQ(NormalFromMarginal(Var(CRandVar::kLognormal, 0.0, 1.0), -1.0), -inf);
  EXPECT_EQ(NormalFromMarginal(Var(CRandVar::kWeibull, 1.0, 1.0, 2.0), 0.5), -inf);
}

// Closed forms of the Nataf correction (Liu and Der Kiureghian 1986):
// normal-lognormal rho0 = rho delta / sqrt(ln(1 + delta^2)); two lognormals
// rho0 = ln(1 + rho d1 d2) / sqrt(ln(1 + d1^2) ln(1 + d2^2)); normal-uniform
// rho0 = rho sqrt(pi / 3).
TEST(Nataf, MatchesClosedForms) {
  const CRandVar n = Var(CRandVar::kNormal, 0.0, 1.0), u = Var(CRandVar::kUniform, 0.0, 1.0);
  const CRandVar l1 = Var(CRandVar::kLognormal, 0.1, 0.5), l2 = Var(CRandVar::kLognormal, 2.0, 0.8);
  const double d1 = std::sqrt(std::expm1(0.25)), d2 = std::sqrt(std::expm1(0.64));
  struct Case {
    CRandVar a, b;
    double rho, rho0;
  } cases[] = {
      {n, l1, 0.6, 0.6 * d1 / 0.5},
      {l1, l2, 0.5, std::log1p(0.5 * d1 * d2) / (0.5 * 0.8)},
      {l1, l2, -0.3, std::log1p(-0.3 * d1 * d2) / (0.5 * 0.8)},
      {n, u, 0.7, 0.7 * std::sqrt(M_PI / 3.0)},
  };
  for (const Case& c : cases) {
    double rho0 = 0.0, lo = 0.0, hi = 0.0;
    ASSERT_TRUE(nataf::NormalCorrelation(c.a, c.b, c.rho, &rho0, &lo, &hi)) << c.rho;
    EXPECT_NEAR(rho0, c.rho0, 1e-8) << c.rho;
  }
}

// Two lognormals with eps = 1 cannot be correlated below
// (e^-1 - 1) / (e - 1) = -0.368: such a matrix is refused with the range.
TEST(Nataf, RefusesACorrelationTheDistributionsCannotHave) {
  const CRandVar l = Var(CRandVar::kLognormal, 0.5, 1.0);
  double rho0 = 0.0, lo = 0.0, hi = 0.0;
  EXPECT_FALSE(nataf::NormalCorrelation(l, l, -0.5, &rho0, &lo, &hi));
  EXPECT_NEAR(lo, (std::exp(-1.0) - 1.0) / (std::exp(1.0) - 1.0), 1e-6);
  const std::string what = testsupport::WhatOf<std::invalid_argument>([&] {
    StandardSpace({l, l}, {1.0, -0.5, -0.5, 1.0});
  });
  EXPECT_NE(what.find("beyond what their distributions allow"), std::string::npos) << what;
}

TEST(CorrelationMatrix, EachFaultIsFoundAndLocated) {
  const double nan = std::nan("");
  struct Case {
    std::vector<double> r;
    int row, column;
    const char* words;
  } cases[] = {
      {{1, 0.2, 0.3, 1}, 0, 1, "not symmetric"},
      {{1, 1.2, 1.2, 1}, 0, 1, "outside [-1, 1]"},
      {{0.9, 0, 0, 1}, 0, 0, "must be 1"},
      {{1, nan, nan, 1}, 0, 1, "not a finite number"},
      {{1, 1, 1, 1}, -1, -1, "not positive definite"},
      {{1, 0, 0}, -1, -1, "3 entries"},
  };
  for (const Case& c : cases) {
    const std::vector<CorrelationProblem> found = CheckCorrelation(c.r, 2);
    ASSERT_FALSE(found.empty()) << c.words;
    EXPECT_EQ(found[0].row, c.row) << c.words;
    EXPECT_EQ(found[0].column, c.column) << c.words;
    EXPECT_NE(found[0].message.find(c.words), std::string::npos) << found[0].message;
  }
  EXPECT_TRUE(CheckCorrelation({1, -0.4, -0.4, 1}, 2).empty());
}

// For standard normal variables x = L u, so the images of the unit vectors
// are the columns of L and their outer products sum to the correlation.
TEST(StandardSpace, CorrelatedNormalsReproduceTheMatrix) {
  const CRandVar n = Var(CRandVar::kNormal, 0.0, 1.0);
  const std::vector<double> r = {1, 0.5, -0.2, 0.5, 1, 0.3, -0.2, 0.3, 1};
  const StandardSpace space({n, n, n}, r);
  std::vector<double> sum(9, 0.0);
  for (std::size_t k = 0; k < 3; ++k) {
    std::vector<double> e(3, 0.0);
    e[k] = 1.0;
    const std::vector<double> x = space.ToPhysical(e);
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < 3; ++j) sum[i * 3 + j] += x[i] * x[j];
  }
  for (std::size_t k = 0; k < 9; ++k) EXPECT_NEAR(sum[k], r[k], 1e-14) << k;
}

TEST(StandardSpace, RoundTripsWithMixedCorrelatedMarginals) {
  const std::vector<double> r = {1, 0.4, 0.1, 0, 0.4, 1, 0.2, 0.3, 0.1, 0.2, 1, -0.25, 0, 0.3, -0.25, 1};
  const StandardSpace space(Marginals(), r);
  EXPECT_TRUE(space.Correlated());
  const std::vector<double> u = {0.3, -1.7, 2.2, -0.4};
  const std::vector<double> back = space.ToStandard(space.ToPhysical(u));
  for (std::size_t i = 0; i < u.size(); ++i) EXPECT_NEAR(back[i], u[i], 1e-9) << i;
  EXPECT_THROW(space.ToPhysical(std::vector<double>{1.0}), std::invalid_argument);
}

TEST(StandardSpace, RefusesVariablesTheClosedFormsCannotUse) {
  // Set in place: a copy of a CRandVar with such parameters would throw.
  const double p[5][4] = {{CRandVar::kNormal, 0.0, 0.0, 0.0},
                          {CRandVar::kUniform, 1.0, 1.0, 0.0},
                          {CRandVar::kWeibull, 0.0, 1.0, -2.0},
                          {CRandVar::kLognormal, std::nan(""), 1.0, 0.0},
                          {7, 0.0, 1.0, 0.0}};
  for (const auto& q : p) {
    std::vector<CRandVar> one(1);
    one[0].SetType(int(q[0]));
    one[0].SetParam1(q[1]);
    one[0].SetParam2(q[2]);
    one[0].SetParam3(q[3]);
    EXPECT_THROW(StandardSpace{one}, std::invalid_argument) << q[0];
  }
}

}  // namespace
