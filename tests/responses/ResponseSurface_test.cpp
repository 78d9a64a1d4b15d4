// Response-surface methods end to end: first-order propagation (method 2)
// and sampling of the fitted surface (methods 3 and 4), checked against
// closed forms and against plain Monte Carlo on the true function.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "rbo/RBO.h"
#include "support/Problems.h"

namespace {

using testsupport::Evaluate;
using testsupport::LinearLimitState;
using testsupport::Phi;

class ResponseSurface : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::ResetLibraryState();
    refhost::SetSeed(7);
    CDB::m_nGradsCalc = 0;
    CDB::m_bIsRestartForDGOMeanValue = false;
    CDB::s_nKorrMethod = 0;
  }
  void TearDown() override { refhost::SetRBOMethod(0, 100); }
};

// Three design points that span the means of R and S: a linear surface in
// two variables has three terms, so the first call can already fit it.
std::vector<std::valarray<double>> ThreePoints() { return {{10.0, 5.0}, {11.0, 5.0}, {10.0, 6.0}}; }

TEST_F(ResponseSurface, FirstOrderIsExactForALinearResponse) {
  refhost::SetRBOMethod(2, 1);
  LinearLimitState p;
  auto db = p.builder.Build();
  db->m_optimizerKind = 1;  // the variant that keeps its regression data
  const auto e = Evaluate(*db, p.builder, LinearLimitState::Model, p.builder.DesignMatrix(ThreePoints()));
  // sigma_g = sqrt(sdR^2 + sdS^2); the fitted gradient (1, -1) is exact to rounding.
  EXPECT_NEAR(e.designResponses(p.g.stdDev.index, 0), p.StdDev(), 1e-12);
  EXPECT_DOUBLE_EQ(e.designResponses(p.g.value.index, 0), p.Mean());
  // The POF is the library's normal tail: its own CDF to rounding, the exact
  // tail to the 1.2e-7 accuracy of its error-function fit.
  CRandVar normal(CRandVar::kNormal, p.Mean(), p.StdDev());
  EXPECT_NEAR(e.designResponses(p.g.pof.index, 0), normal.CDF(0.0), 1e-12);
  EXPECT_NEAR(e.designResponses(p.g.pof.index, 0), p.ExactPOF(), 2e-7);
  // The second design point: mean 6, same deviation.
  EXPECT_DOUBLE_EQ(e.designResponses(p.g.value.index, 1), 6.0);
  EXPECT_NEAR(e.designResponses(p.g.pof.index, 1), Phi(-6.0 / p.StdDev()), 2e-7);
}

class SurfaceSampling : public ResponseSurface, public ::testing::WithParamInterface<int> {};

TEST_P(SurfaceSampling, LinearResponseWithinSamplingError) {
  const int N = 20000;
  refhost::SetRBOMethod(GetParam(), N);
  LinearLimitState p;
  auto db = p.builder.Build();
  const auto e = Evaluate(*db, p.builder, LinearLimitState::Model, p.builder.DesignMatrix(ThreePoints()));
  const double pf = p.ExactPOF();
  EXPECT_NEAR(e.designResponses(p.g.pof.index, 0), pf, 3.0 * std::sqrt(pf * (1 - pf) / N));
  EXPECT_NEAR(e.designResponses(p.g.stdDev.index, 0), p.StdDev(), 3.0 * p.StdDev() / std::sqrt(2.0 * N));
  // The mean entry keeps the analysed value at the design point.
  EXPECT_EQ(e.designResponses(p.g.value.index, 0), p.Mean());
}

// y = x1^2 + x2, bounded above by 3, with x1 ~ N(m1, 0.5), x2 ~ N(m2, 1) as
// random design variables.  Six design points fit the full quadratic exactly;
// sampling it must agree with plain Monte Carlo on the true function.
TEST_P(SurfaceSampling, QuadraticResponseAgreesWithMonteCarlo) {
  const int N = 20000;
  auto build = [](refhost::ProblemBuilder& b) {
    b.AddRandomDesignVariable("x1", CRandVar::kNormal, 1.0, 0.5);
    b.AddRandomDesignVariable("x2", CRandVar::kNormal, 0.0, 1.0);
    const auto y = b.AddRandomResponse("y");
    b.AddConstraint(y.value, 1, 3.0);
    return y;
  };
  auto model = [](const std::valarray<double>& x, std::valarray<double>& out) { out[0] = x[0] * x[0] + x[1]; };
  const std::vector<std::valarray<double>> points = {{1.0, 0.0}, {1.5, 0.0},  {0.5, 0.0},
                                                     {1.0, 0.5}, {1.2, -0.5}, {0.8, 0.3}};

  refhost::ProblemBuilder surfaceProblem;
  const auto y = build(surfaceProblem);
  auto db = surfaceProblem.Build();
  refhost::SetRBOMethod(GetParam(), N);
  const auto surface = Evaluate(*db, surfaceProblem, model, surfaceProblem.DesignMatrix(points));

  testsupport::ResetLibraryState();
  refhost::SetSeed(1234567);  // an independent stream for the reference
  refhost::ProblemBuilder directProblem;
  build(directProblem);
  auto db2 = directProblem.Build();
  refhost::SetRBOMethod(0, N);
  const auto direct = Evaluate(*db2, directProblem, model, directProblem.DesignMatrix({points[0]}));

  // Closed forms at x1 ~ N(1, 0.5), x2 ~ N(0, 1): E[y] = 1.25, Var[y] = 1.125 + 1.
  const double sd = std::sqrt(2.125);
  EXPECT_NEAR(direct.designResponses(y.value.index, 0), 1.25, 3.0 * sd / std::sqrt(double(N)));
  EXPECT_NEAR(surface.designResponses(y.stdDev.index, 0), direct.designResponses(y.stdDev.index, 0),
              3.0 * sd / std::sqrt(double(N)));
  const double pf = direct.designResponses(y.pof.index, 0);
  EXPECT_GT(pf, 0.05);
  EXPECT_NEAR(surface.designResponses(y.pof.index, 0), pf, 3.0 * std::sqrt(2.0 * pf * (1 - pf) / N));
}
INSTANTIATE_TEST_SUITE_P(MonteCarloAndLatinHypercube, SurfaceSampling, ::testing::Values(3, 4));

// Method 2 failures are reported and not thrown; the outputs stay as they were.
TEST_F(ResponseSurface, TooFewPointsIsLoggedNotThrown) {
  refhost::SetRBOMethod(2, 1);
  LinearLimitState p;
  auto db = p.builder.Build();
  db->m_optimizerKind = 1;
  CMatrix<double> designPoints(4, 1), analysisOutputs(1, 1, 3.0), designResponses(6, 1, -8.0), unused;
  designPoints(0, 0) = 10.0;
  designPoints(1, 0) = 1.5;
  designPoints(2, 0) = 5.0;
  designPoints(3, 0) = 2.0;
  refhost::LogCapture log;
  AdjustRespsMatrices(db.get(), unused, designPoints, analysisOutputs, designResponses, -1);
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_EQ(log.Records()[0].text, "Could not construct approximations for random responses.\n");
  EXPECT_EQ(designResponses(0, 0), -8.0);
}

TEST_F(ResponseSurface, RankDeficientFitIsLoggedNotThrown) {
  refhost::SetRBOMethod(3, 100);
  LinearLimitState p;
  auto db = p.builder.Build();
  refhost::SetAnalysis(p.builder.Analysis(LinearLimitState::Model));
  // Three copies of one design point: enough rows for a linear model, but rank 1.
  CMatrix<double> ind = p.builder.DesignMatrix({{10.0, 5.0}, {10.0, 5.0}, {10.0, 5.0}});
  CMatrix<double> designPoints, designResponses, analysisPoints, analysisOutputs;
  testsupport::Evaluation e;
  refhost::LogCapture log;
  e = Evaluate(*db, p.builder, LinearLimitState::Model, ind);
  ASSERT_GE(log.Records().size(), 2u);
  EXPECT_EQ(log.Records()[0].text, "Could not construct approximations for random responses.\n");
  EXPECT_EQ(log.Records()[1].text, "       Rank of the resultant matrix is not full.\n");
}

// The restart variant (optimiser kind 0), call by call, with fit calls and a
// correction method other than 2: calls 1 and 2 answer zeros, call 2 raises
// the restart flag, call 3 substitutes the stored columns 1..D.
TEST_F(ResponseSurface, RestartCycleCallByCall) {
  refhost::SetRBOMethod(2, 1);
  LinearLimitState p;
  auto db = p.builder.Build();
  db->m_optimizerKind = 0;
  const std::vector<std::valarray<double>> points = ThreePoints();
  const int D = 3;
  const int E = int(db->m_vRespIndexOfEntry.size());
  CMatrix<double> designPoints(4, D), unused;
  for (int j = 0; j < D; ++j) {
    designPoints(0, j) = points[std::size_t(j)][0];
    designPoints(1, j) = p.sdR;
    designPoints(2, j) = points[std::size_t(j)][1];
    designPoints(3, j) = p.sdS;
  }
  auto outputsOfCall = [&](double offset) {
    CMatrix<double> out(1, D);
    for (int j = 0; j < D; ++j) out(0, j) = points[std::size_t(j)][0] - points[std::size_t(j)][1] + offset;
    return out;
  };

  CMatrix<double> responses(E, D, 7.0);
  CMatrix<double> call1 = outputsOfCall(0.0);
  AdjustRespsMatrices(db.get(), unused, designPoints, call1, responses, -1);
  for (int j = 0; j < D; ++j)
    for (int i = 0; i < E; ++i) EXPECT_EQ(responses(i, j), 0.0);
  EXPECT_FALSE(CDB::m_bIsRestartForDGOMeanValue);

  CMatrix<double> call2 = outputsOfCall(100.0);
  responses = CMatrix<double>(E, D, 7.0);
  AdjustRespsMatrices(db.get(), unused, designPoints, call2, responses, -1);
  EXPECT_EQ(responses(p.g.value.index, 0), 0.0);
  EXPECT_TRUE(CDB::m_bIsRestartForDGOMeanValue);

  // Stored columns: call 1's three, then call 2's three.  Call 3 reads
  // columns 1, 2, 3: call 1's points 1 and 2, then call 2's point 0.
  CMatrix<double> call3 = outputsOfCall(999.0);
  AdjustRespsMatrices(db.get(), unused, designPoints, call3, responses, -1);
  EXPECT_FALSE(CDB::m_bIsRestartForDGOMeanValue);
  EXPECT_EQ(call3(0, 0), call1(0, 1));
  EXPECT_EQ(call3(0, 1), call1(0, 2));
  EXPECT_EQ(call3(0, 2), call2(0, 0));
  EXPECT_EQ(responses(p.g.value.index, 0), call1(0, 1));
  EXPECT_GT(responses(p.g.stdDev.index, 0), 0.0);
}

TEST_F(ResponseSurface, RestartWithoutFitCallUsesTheLastFit) {
  refhost::SetRBOMethod(2, 1);
  CDB::s_nKorrMethod = 2;  // no warm-up: statistics from the first call on
  LinearLimitState p;
  auto db = p.builder.Build();
  db->m_optimizerKind = 0;
  const auto first = Evaluate(*db, p.builder, LinearLimitState::Model, p.builder.DesignMatrix(ThreePoints()));
  EXPECT_NEAR(first.designResponses(p.g.stdDev.index, 0), p.StdDev(), 1e-12);

  CDB::m_nGradsCalc = 5;  // not a fit call: no fit, no message, the last coefficients
  refhost::LogCapture log;
  const auto second = Evaluate(*db, p.builder, LinearLimitState::Model, p.builder.DesignMatrix({{12.0, 4.0}}));
  EXPECT_TRUE(log.Records().empty());
  EXPECT_NEAR(second.designResponses(p.g.stdDev.index, 0), p.StdDev(), 1e-12);
  EXPECT_DOUBLE_EQ(second.designResponses(p.g.value.index, 0), 8.0);
}

// Joint and any probabilities combine the responses' POFs as independent.
TEST_F(ResponseSurface, JointAndAnyProbabilitiesUnderIndependence) {
  refhost::SetRBOMethod(2, 1);
  refhost::ProblemBuilder b;
  b.AddRandomDesignVariable("a", CRandVar::kNormal, 0.0, 1.0);
  b.AddRandomDesignVariable("c", CRandVar::kNormal, 0.0, 1.0);
  const auto g1 = b.AddRandomResponse("g1");
  const auto g2 = b.AddRandomResponse("g2");
  // g1 = a with upper bound z1, g2 = c with upper bound z2: POFs 1 - Phi(z).
  const double z1 = 0.8416212335729143, z2 = 0.0;  // POF 0.2 and 0.5
  b.AddConstraint(g1.value, 1, z1);
  b.AddConstraint(g2.value, 1, z2);
  auto db = b.Build();
  db->m_optimizerKind = 1;
  const auto e = Evaluate(
      *db, b, [](const std::valarray<double>& x, std::valarray<double>& y) { y = x; },
      b.DesignMatrix({{0.0, 0.0}, {1.0, 0.0}, {0.0, 1.0}}));
  const double p1 = e.designResponses(g1.pof.index, 0), p2 = e.designResponses(g2.pof.index, 0);
  EXPECT_NEAR(p1, 0.2, 2e-7);
  EXPECT_NEAR(p2, 0.5, 2e-7);
  EXPECT_NEAR(e.designResponses(b.JointFractionRef().index, 0), p1 * p2, 1e-15);
  EXPECT_NEAR(e.designResponses(refhost::ProblemBuilder::AnyFractionRef().index, 0), 1 - (1 - p1) * (1 - p2), 1e-15);
}

}  // namespace
