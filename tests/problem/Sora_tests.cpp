// Sequential optimisation and reliability assessment, and its refinement,
// against closed forms, the published optimum of the two-variable benchmark
// and one-dimensional quadratures of its exact probabilities.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "problem/OptimizeProblems.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Sora.h"
#include "rbo/reliability/StandardNormal.h"
#include "support/Problems.h"

namespace {

using optimizetest::Phi;
using optimizetest::PhiDensity;
using rbo::problem::Problem;
using rbo::problem::SoraOptions;
using rbo::problem::SoraResult;
using testsupport::Simpson;

class Sora : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::ResetLibraryState(); }
};

Problem Load(const std::string& file) {
  return rbo::problem::LoadProblemFile(std::string(RBO_SOURCE_DIR) + "/examples/" + file,
                                       rbo::problem::ModelMode::kBuild);
}

SoraResult Optimise(const Problem& p, bool bRefine) {
  SoraOptions o;
  o.refine = bRefine;
  return rbo::problem::OptimizeSora(p, o, {}, nullptr);
}

// g = R - S with R ~ N(muR, 1.5) and S ~ N(5, 2) is linear in normal
// variables: the first-order optimum is exact, muR = 5 + 2.5 beta_t with
// beta_t = -Phi^-1(0.00135).
TEST_F(Sora, ExactOnALimitStateLinearInNormals) {
  const SoraResult r = Optimise(Load("linear.json"), false);
  ASSERT_TRUE(r.converged) << r.stopReason;
  EXPECT_TRUE(r.feasible);
  const double muR = 5.0 - 2.5 * rbo::reliability::NormalQuantile(0.00135);
  EXPECT_NEAR(r.design[0], muR, 1e-6 * muR);
  EXPECT_NEAR(r.constraints[0].beta, -rbo::reliability::NormalQuantile(0.00135), 1e-6);
}

// Youn, Choi and Du (2005): the published first-order optimum is
// (3.4391, 3.2866), cost 6.7257, with G1 and G2 active.
TEST_F(Sora, ReachesThePublishedOptimumOfTheTwoVariableBenchmark) {
  const SoraResult r = Optimise(Load("optimize/youn_choi.json"), false);
  ASSERT_TRUE(r.converged) << r.stopReason;
  EXPECT_NEAR(r.objective, 6.7257, 0.001 * 6.7257);
  EXPECT_NEAR(r.design[0], 3.4391, 2e-3);
  EXPECT_NEAR(r.design[1], 3.2866, 2e-3);
  EXPECT_LE(r.analyses, 400);
  ASSERT_EQ(r.constraints.size(), 3u);
  EXPECT_TRUE(r.constraints[0].active && r.constraints[1].active && !r.constraints[2].active);
  for (int i = 0; i < 2; ++i) EXPECT_NEAR(r.constraints[std::size_t(i)].beta, 3.0, 1e-3);
}

// The exact POFs of the benchmark's G1 and G2 at design d (X_i ~ N(d_i,
// 0.3)), by one-dimensional quadrature (composite Simpson):
//   G1 < 0  <=>  X2 < 20 / X1^2;
//   G2 < 0  <=>  in s = X1 + X2, t = X1 - X2 (independent, sd 0.3 sqrt 2),
//               |s - 5| < sqrt(30 (1 - (t - 12)^2 / 120)).
double PofG1(double d1, double d2) {
  const double s = 0.3;
  return Simpson([&](double x1) { return PhiDensity((x1 - d1) / s) / s * Phi((20.0 / (x1 * x1) - d2) / s); },
                 d1 - 10 * s, d1 + 10 * s);
}

double PofG2(double d1, double d2) {
  const double s = 0.3 * std::sqrt(2.0), ms = d1 + d2, mt = d1 - d2, half = std::sqrt(120.0);
  return Simpson(
      [&](double t) {
        const double w = std::sqrt(std::max(0.0, 30.0 * (1.0 - (t - 12.0) * (t - 12.0) / 120.0)));
        return PhiDensity((t - mt) / s) / s * (Phi((5.0 + w - ms) / s) - Phi((5.0 - w - ms) / s));
      },
      12.0 - half, 12.0 + half);
}

// The refinement reaches the optimum of the exact probabilities: 6.72891 at
// (3.4539, 3.2750) by SLSQP on the quadratures (bench/exact_optima.py),
// where the first-order optimum's G1 is 9.9 % over its target.
TEST_F(Sora, RefinementReachesTheExactProbabilityOptimum) {
  const double target = 0.0013499;
  EXPECT_NEAR(PofG1(3.4391, 3.2866) / target - 1.0, 0.099, 0.005);  // the quadrature against the stated excess
  const SoraResult r = Optimise(Load("optimize/youn_choi.json"), true);
  ASSERT_TRUE(r.converged) << r.stopReason;
  EXPECT_NEAR(r.objective, 6.72891, 0.005 * 6.72891);
  EXPECT_NEAR(PofG1(r.design[0], r.design[1]), target, 0.05 * target);
  EXPECT_NEAR(PofG2(r.design[0], r.design[1]), target, 0.05 * target);
  EXPECT_LE(r.analyses, 20000);
  EXPECT_GT(r.samplingAnalyses, 0);
  ASSERT_TRUE(r.constraints[0].sampledPof.has_value());
}

TEST_F(Sora, RefusesWhatItCannotOptimise) {
  struct Case {
    const char* constraints;
    const char* words;
  } cases[] = {
      {R"([])", "needs a constraint r.pof <= p"},
      {R"([{"subject": "g.pof", "upper": 0.7}])", "POF in (0, 0.5)"},
      {R"([{"subject": "g.pof", "upper": 0.01}, {"subject": "g.sd", "upper": 2}])", "g.sd"},
      {R"([{"subject": "h.pof", "upper": 0.01}])", "exactly one bound"},
  };
  for (const Case& c : cases) {
    Problem p;
    const std::string text = std::string(R"({
      "random_variables": [{"name": "X", "distribution": "normal", "mean": 3, "sd": 1, "design": true}],
      "responses": [{"name": "g", "lower": 0}, {"name": "h", "lower": -5, "upper": 5}],
      "constraints": )") + c.constraints +
                             R"(,
      "objective": {"minimize": {"X": 1}},
      "analysis": {"expressions": {"g": "X", "h": "X"}}})";
    const auto d = rbo::problem::ParseProblem(text, "", rbo::problem::ModelMode::kBuild, &p);
    ASSERT_TRUE(d.empty()) << d[0].message;
    EXPECT_NE(rbo::problem::SoraRefusal(p).find(c.words), std::string::npos) << rbo::problem::SoraRefusal(p);
  }
}

}  // namespace
