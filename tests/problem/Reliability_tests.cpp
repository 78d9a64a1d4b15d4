// The reliability methods on problem files: FORM, SORM, importance sampling
// and subset simulation at design points, with correlated inputs, against
// closed forms and quadratures; the refusals and the reader of correlations.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "problem/OptimizeProblems.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Reliability.h"
#include "rbo/problem/Run.h"
#include "support/Problems.h"

namespace {

using optimizetest::Phi;
using rbo::problem::Diagnostic;
using rbo::problem::PointResult;
using rbo::problem::Problem;

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::ResetLibraryState(); }
};

Problem Parse(const std::string& text, std::vector<Diagnostic>* pDiagnostics = nullptr) {
  Problem p;
  std::vector<Diagnostic> d = rbo::problem::ParseProblem(text, "", rbo::problem::ModelMode::kBuild, &p);
  if (pDiagnostics)
    *pDiagnostics = d;
  else
    EXPECT_TRUE(d.empty()) << (d.empty() ? "" : d[0].location + ": " + d[0].message);
  return p;
}

PointResult RunOne(const std::string& text, const std::string& method) {
  Problem p = Parse(text);
  p.settings.method = rbo::problem::ParseMethod(method);
  const std::vector<PointResult> r = rbo::problem::EvaluatePoints(p, nullptr);
  EXPECT_EQ(r.size(), 1u);
  return r.at(0);
}

// g = R - S with normal R, S correlated by rho: g is normal with sd
// sqrt(sR^2 + sS^2 - 2 rho sR sS), so POF = Phi(-(10 - 5) / sd) exactly.
const char* const kCorrelatedLinear = R"({
  "random_variables": [{"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
                       {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
  "correlation": {"variables": ["R", "S"], "matrix": [[1, 0.5], [0.5, 1]]},
  "responses": [{"name": "g", "lower": 0}],
  "analysis": {"expressions": {"g": "R - S"}}})";

TEST_F(Reliability, FirstAndSecondOrderAreExactOnALinearStateOfCorrelatedNormals) {
  const double beta = 5.0 / std::sqrt(1.5 * 1.5 + 4.0 - 2.0 * 0.5 * 1.5 * 2.0);
  for (const char* method : {"form", "sorm"}) {
    const PointResult r = RunOne(kCorrelatedLinear, method);
    const auto& g = r.responses[0];
    ASSERT_TRUE(g.reliability) << method;
    EXPECT_NEAR(g.reliability->beta, beta, 1e-6) << method;
    EXPECT_NEAR(g.pof, Phi(-beta), 1e-6 * Phi(-beta)) << method;
    EXPECT_NEAR(r.any, g.pof, 1e-12) << method;
    EXPECT_NEAR(g.mean, 5.0, 1e-12) << method;  // the response at the means
    double sum = 0.0;
    for (const auto& f : g.reliability->importance) sum += f.value;
    EXPECT_NEAR(sum, 1.0, 1e-9) << method;
  }
  // FORM: the point at the means and two iterations of n + 1 analyses.
  EXPECT_LE(RunOne(kCorrelatedLinear, "form").analyses, 1 + 4 * 3);
}

// A lognormal resistance (lambda 3, eps 0.1) against a normal load
// N(8, 1.5), beta about 5: POF = E_S[F_R(S)], by Simpson's rule on a fine
// grid (the integrand is smooth and negligible beyond the range).
double LognormalAgainstNormalPof() {
  const double lambda = 3.0, eps = 0.1, muS = 8.0, sdS = 1.5;
  return testsupport::Simpson(
      [&](double s) {
        return testsupport::NormalPdf((s - muS) / sdS) / sdS * (s <= 0.0 ? 0.0 : Phi((std::log(s) - lambda) / eps));
      },
      muS - 8.0 * sdS, muS + 14.0 * sdS, 200000);
}

const char* const kLognormalResistance = R"({
  "random_variables": [{"name": "R", "distribution": "lognormal", "params": [3.0, 0.1]},
                       {"name": "S", "distribution": "normal", "mean": 8, "sd": 1.5}],
  "responses": [{"name": "g", "lower": 0}],
  "reliability": {"target_cov": 0.05},
  "analysis": {"expressions": {"g": "R - S"}}})";

TEST_F(Reliability, EachMethodFindsTheLognormalResistancePof) {
  const double exact = LognormalAgainstNormalPof();
  ASSERT_GT(exact, 1e-8);  // beta about 5.4
  ASSERT_LT(exact, 1e-6);
  const PointResult sorm = RunOne(kLognormalResistance, "sorm");
  EXPECT_NEAR(sorm.responses[0].pof, exact, 0.03 * exact);
  EXPECT_TRUE(sorm.responses[0].reliability->breitung.has_value());
  for (const char* method : {"is", "subset"}) {
    const PointResult r = RunOne(kLognormalResistance, method);
    const auto& d = *r.responses[0].reliability;
    ASSERT_TRUE(d.cov.has_value()) << method;
    EXPECT_NEAR(r.responses[0].pof, exact, 3.0 * *d.cov * exact) << method;
  }
}

// One random variable against a bound: FORM is exact for every
// distribution, so the POF is the distribution function at the bound.  A
// Weibull variable reaches the library as a mean and sd, from which it fits
// the shape again (to about 1e-6).
TEST_F(Reliability, FormIsExactForOneVariableOfEachDistribution) {
  struct Case {
    const char* variable;
    const char* bound;
    double pof, tol;
  } cases[] = {
      {R"("distribution": "weibull", "params": [0, 2, 1.5])", R"("lower": 0.05)", -std::expm1(-std::pow(0.025, 1.5)),
       2e-5},
      {R"("distribution": "uniform", "params": [1, 5])", R"("upper": 4.9)", 0.1 / 4.0, 1e-6},
      {R"("distribution": "lognormal", "params": [1, 0.5])", R"("upper": 12)", Phi(-(std::log(12.0) - 1.0) / 0.5),
       1e-6},
      {R"("distribution": "normal", "mean": 0, "sd": 1)", R"("lower": -3, "upper": 2.5)", Phi(-3.0) + Phi(-2.5), 1e-6},
  };
  for (const Case& c : cases) {
    const std::string text = std::string(R"({"random_variables": [{"name": "X", )") + c.variable +
                             R"(}], "responses": [{"name": "x", )" + c.bound +
                             R"(}], "analysis": {"expressions": {"x": "X"}}})";
    const PointResult r = RunOne(text, "form");
    EXPECT_NEAR(r.responses[0].pof, c.pof, c.tol * c.pof) << c.variable;
  }
}

// Two independent responses: each its own POF, and
// P(any) = 1 - (1 - p1)(1 - p2).
TEST_F(Reliability, TheSeriesSystemOfIndependentResponses) {
  const char* text = R"({
    "random_variables": [{"name": "A", "distribution": "normal", "mean": 0, "sd": 1},
                         {"name": "B", "distribution": "normal", "mean": 0, "sd": 1}],
    "responses": [{"name": "a", "lower": -3}, {"name": "b", "lower": -2.5}],
    "analysis": {"expressions": {"a": "A", "b": "B"}}})";
  const double any = 1.0 - (1.0 - Phi(-3.0)) * (1.0 - Phi(-2.5));
  for (const char* method : {"form", "is", "subset"}) {
    const PointResult r = RunOne(text, method);
    ASSERT_TRUE(r.anyCov.has_value()) << method;
    EXPECT_NEAR(r.any, any, std::max(3.0 * *r.anyCov, 1e-3) * any) << method;
    EXPECT_TRUE(r.complete) << method;
    const double own[] = {Phi(-3.0), Phi(-2.5)};
    for (std::size_t k = 0; k < 2; ++k) {
      const double cov = r.responses[k].reliability->cov.value_or(0.0);
      EXPECT_NEAR(r.responses[k].pof, own[k], std::max(3.0 * cov, 1e-6) * own[k]) << method << " " << k;
    }
  }
}

TEST_F(Reliability, MethodsThatCannotHonourTheProblemRefuseIt) {
  Problem p = Parse(kCorrelatedLinear);
  p.settings.method = 1;
  EXPECT_NE(rbo::problem::MethodRefusal(p).find("treats the random variables as independent"), std::string::npos);
  EXPECT_THROW(rbo::problem::EvaluatePoints(p, nullptr), std::invalid_argument);
  Problem q = Parse(R"({
    "random_variables": [{"name": "X", "distribution": "normal", "mean": 0, "sd": 1}],
    "responses": [{"name": "g", "lower": -3}],
    "constraints": [{"subject": "g.sd", "upper": 2}],
    "method": "form",
    "analysis": {"expressions": {"g": "X"}}})");
  EXPECT_NE(rbo::problem::MethodRefusal(q).find("g.sd"), std::string::npos);
}

TEST_F(Reliability, TheReaderLocatesEveryFaultOfACorrelation) {
  struct Case {
    const char* correlation;
    const char* location;
    const char* words;
  } cases[] = {
      {R"({"variables": ["R", "S"], "matrix": [[1, 0.5], [0.4, 1]]})", "/correlation/matrix/0/1", "not symmetric"},
      {R"({"variables": ["R", "S"], "matrix": [[1, 1.5], [1.5, 1]]})", "/correlation/matrix/0/1", "R and S"},
      {R"({"variables": ["R", "S"], "matrix": [[1, 1], [1, 1]]})", "/correlation/matrix", "positive definite"},
      {R"({"variables": ["R", "T"], "matrix": [[1, 0], [0, 1]]})", "/correlation/variables/1", "not a random"},
      {R"({"variables": ["R", "R"], "matrix": [[1, 0], [0, 1]]})", "/correlation/variables/1", "second time"},
      {R"({"variables": ["R", "S"], "matrix": [[1, 0]]})", "/correlation/matrix", "2 rows of 2"},
      {R"({"variables": ["R", "S"]})", "/correlation", "no \"matrix\""},
  };
  for (const Case& c : cases) {
    const std::string text = std::string(R"({
      "random_variables": [{"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
                           {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
      "constants": [{"name": "T", "value": 1}],
      "correlation": )") + c.correlation +
                             R"(,
      "responses": [{"name": "g", "lower": 0}],
      "analysis": {"expressions": {"g": "R - S + T"}}})";
    std::vector<Diagnostic> d;
    Parse(text, &d);
    ASSERT_FALSE(d.empty()) << c.correlation;
    EXPECT_EQ(d[0].location, c.location) << c.correlation;
    EXPECT_NE(d[0].message.find(c.words), std::string::npos) << d[0].message;
  }
}

}  // namespace
