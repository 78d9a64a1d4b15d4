// Expansion of design points into analysis points.
//
// AdjustDVsMatrices captures the random-variable array and the response
// count on its first random call and keeps them for the process; every test
// here starts and ends with that state forgotten (rbo::ResetProcessState),
// and restores the host's method and seed, so test order does not matter.
#include <gtest/gtest.h>

#include <cmath>
#include <valarray>

#include "foundation/LogTrace.h"
#include "foundation/ProcessState.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/DB.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/host/Utility.h"
#include "sampling/SamplingInternals.h"

namespace {

using VI = std::valarray<int>;
using VD = std::valarray<double>;

constexpr const char* kUnit = "RandVarModules";
constexpr int kDesignPoints = 3;
// Sample values are inverse distributions found by bisection to a relative
// 1e-12 of values of order 100; the error-function fit behind the library's
// normal CDF is good to 2e-7 in probability.
constexpr double kValueTol = 1e-9;
constexpr double kProbabilityTol = 1e-6;

// Six design-variable entries: a deterministic value, a uniform variable
// given by its mean and standard deviation, another deterministic value, a
// normal variable given by Param1 and Param2.  Four analysis inputs.  Two
// response entries reach the analysis: the deterministic one and the mean.
struct Problem {
  CDB db;
  CMatrix<double> designPoints{6, kDesignPoints};
  CMatrix<double> designResponses{4, kDesignPoints, 3.5};
  CMatrix<double> analysisPoints, analysisOutputs;

  Problem() {
    db.m_nRandVars = 2;
    db.m_vDistTypeOfRandVar = VI{CRandVar::kUniform, CRandVar::kNormal};
    db.m_vInputRandVar = VI{-1, 0, 0, -1, 1, 1};
    db.m_vInputParamCode = VI{0, -1, -2, 0, 0, 1};
    db.m_nRandRespsPlus1 = 2;
    db.m_vEntryRandRespNumber = VI{-1, 1, 1, 1};
    db.m_vRespRole = VI{0, -1, -2, -3};
    db.m_vbDesignPointFlags = std::valarray<bool>(true, 7);
    for (int j = 0; j < kDesignPoints; ++j) {
      const double values[] = {10.0 + j, UniformMean(j), 0.5, -5.0 - j, NormalMean(j), 2.0};
      for (int i = 0; i < 6; ++i) designPoints(i, j) = values[i];
    }
  }
  static double UniformMean(int j) { return 1.0 + j; }
  static double NormalMean(int j) { return 100.0 * (j + 1); }

  void Expand(bool bKeepOutputs = false) {
    AdjustDVsMatrices(&db, designPoints, designResponses, analysisPoints, analysisOutputs, bKeepOutputs);
  }

  void ExpectFlagsCleared() const {
    ASSERT_EQ(db.m_vbDesignPointFlags.size(), std::size_t(kDesignPoints));
    for (bool b : db.m_vbDesignPointFlags) EXPECT_FALSE(b);
  }

  // Column c of the analysis points is design point j's sample with
  // probabilities (u of the uniform, p of the normal).
  void ExpectSample(int c, int j, double u, double p) const {
    EXPECT_EQ(analysisPoints(0, c), 10.0 + j);
    EXPECT_EQ(analysisPoints(2, c), -5.0 - j);
    const double halfWidth = std::sqrt(3.0) * 0.5;  // uniform with standard deviation 0.5
    const double a = UniformMean(j) - halfWidth;
    EXPECT_NEAR(analysisPoints(1, c), a + u * 2.0 * halfWidth, kValueTol * 10.0) << c;
    const double z = (analysisPoints(3, c) - NormalMean(j)) / 2.0;
    EXPECT_NEAR(0.5 * std::erfc(-z / std::sqrt(2.0)), p, kProbabilityTol) << c;
  }
};

class Expansion : public ::testing::Test {
 protected:
  void SetUp() override { rbo::ResetProcessState(); }
  void TearDown() override {
    rbo::ResetProcessState();
    refhost::SetRBOMethod(0, 100);
    refhost::SetSeed(5489u);
  }
  Problem p;
};

TEST_F(Expansion, WithoutRandomnessDesignPointsPassUnchanged) {
  for (int nCase = 0; nCase < 2; ++nCase) {
    Problem q;
    if (nCase == 0)
      q.db.m_nRandVars = 0;
    else
      q.db.m_nRandRespsPlus1 = 1;  // random variables but no random response
    refhost::SetRBOMethod(9, 10);  // not even looked at
    q.Expand();
    q.ExpectFlagsCleared();
    EXPECT_EQ(q.analysisPoints.Storage().size(), q.designPoints.Storage().size());
    EXPECT_TRUE((q.analysisPoints.Storage() == q.designPoints.Storage()).min());
    EXPECT_EQ(q.analysisOutputs.Rows(), 4);
    EXPECT_TRUE((q.analysisOutputs.Storage() == 3.5).min());
  }
}

TEST_F(Expansion, LatinHyperCubeBlocksPerDesignPoint) {
  constexpr int kSamples = 50;
  refhost::SetRBOMethod(1, kSamples);
  p.Expand();
  p.ExpectFlagsCleared();
  ASSERT_EQ(p.analysisPoints.Rows(), 4);
  ASSERT_EQ(p.analysisPoints.Cols(), kDesignPoints * kSamples);
  EXPECT_EQ(p.analysisOutputs.Rows(), 2);
  EXPECT_EQ(p.analysisOutputs.Cols(), kDesignPoints * kSamples);
  EXPECT_EQ(p.analysisOutputs.Storage().max(), 0.0);
  EXPECT_EQ(p.analysisOutputs.Storage().min(), 0.0);
  VD table;
  LatinHyperCubeDOE(2, kSamples, table);  // every design point draws the same table
  for (int j = 0; j < kDesignPoints; ++j)
    for (int s = 0; s < kSamples; ++s)
      p.ExpectSample(j * kSamples + s, j, table[std::size_t(s) * 2], table[std::size_t(s) * 2 + 1]);
}

TEST_F(Expansion, MonteCarloRestartsTheStreamForEveryDesignPoint) {
  constexpr int kSamples = 20;
  refhost::SetRBOMethod(0, kSamples);
  p.Expand();
  ASSERT_EQ(p.analysisPoints.Cols(), kDesignPoints * kSamples);
  for (int j = 0; j < kDesignPoints; ++j) {
    CRand stream(true);
    for (int s = 0; s < kSamples; ++s) {
      const double u = stream.Random();
      p.ExpectSample(j * kSamples + s, j, u, stream.Random());
    }
  }
}

TEST_F(Expansion, ApproximationMethodsUseTheMeans) {
  for (int nMethod : {2, 3, 4}) {
    refhost::SetRBOMethod(nMethod, 50);
    p.Expand();
    ASSERT_EQ(p.analysisPoints.Rows(), 4);
    ASSERT_EQ(p.analysisPoints.Cols(), kDesignPoints);
    EXPECT_EQ(p.analysisOutputs.Cols(), kDesignPoints);
    for (int j = 0; j < kDesignPoints; ++j) {
      EXPECT_EQ(p.analysisPoints(0, j), 10.0 + j);
      EXPECT_NEAR(p.analysisPoints(1, j), Problem::UniformMean(j), 1e-14);
      EXPECT_EQ(p.analysisPoints(2, j), -5.0 - j);
      EXPECT_EQ(p.analysisPoints(3, j), Problem::NormalMean(j));
    }
  }
}

TEST_F(Expansion, KeptOutputsAreNeitherReadNorWritten) {
  for (int nRandVars : {0, 2}) {
    Problem q;
    q.db.m_nRandVars = unsigned(nRandVars);
    q.analysisOutputs = CMatrix<double>(1, 1, 8.0);
    refhost::SetRBOMethod(3, 10);
    q.Expand(true);
    EXPECT_EQ(q.analysisPoints.Cols(), kDesignPoints);
    EXPECT_EQ(q.analysisOutputs.Rows(), 1);
    EXPECT_EQ(q.analysisOutputs(0, 0), 8.0);
  }
}

TEST_F(Expansion, TypesAreThoseOfTheFirstRandomCall) {
  refhost::SetRBOMethod(1, 10);
  p.Expand();
  p.db.m_vDistTypeOfRandVar[0] = CRandVar::kNormal;  // no longer read
  p.Expand();
  VD table;
  LatinHyperCubeDOE(2, 10, table);
  for (int s = 0; s < 10; ++s) p.ExpectSample(s, 0, table[std::size_t(s) * 2], table[std::size_t(s) * 2 + 1]);
}

TEST_F(Expansion, InvalidMethodIsReportedAndChangesNoMatrix) {
  refhost::SetRBOMethod(5, 10);
  p.analysisPoints = CMatrix<double>(1, 2, 4.0);
  p.analysisOutputs = CMatrix<double>(2, 1, 6.0);
  const auto log = rbotest::LogOfFailure<CInvalidKey>([&] { p.Expand(); });
  EXPECT_TRUE(rbotest::MatchesReport(log, {"Invalid method specified for RBO.\n", {}, kUnit, "Invalid key", 1}));
  EXPECT_EQ(rbotest::ThrowLine(log), 1453);
  p.ExpectFlagsCleared();
  EXPECT_EQ(p.analysisPoints.Cols(), 2);
  EXPECT_EQ(p.analysisOutputs(1, 0), 6.0);
}

TEST_F(Expansion, FailureOfAPointIsTracedThroughEveryLevel) {
  refhost::SetRBOMethod(3, 10);
  p.designPoints(2, 1) = -1.0;  // a negative standard deviation at the second design point
  refhost::LogCapture capture;
  EXPECT_THROW(p.Expand(), CInvalidArgument);
  const auto& records = capture.Records();
  ASSERT_GE(records.size(), 3u);
  // SetRandomParamsForPoint, ExpandAtMeans and AdjustDVsMatrices each log it once.
  for (std::size_t k = records.size() - 3; k < records.size(); ++k) {
    EXPECT_EQ(records[k].call, "LException");
    EXPECT_EQ(records[k].file, kUnit);
    EXPECT_EQ(records[k].text, "Function/method object is invalid");
  }
  EXPECT_EQ(rbotest::GuardLines(records).size(), 5u) << rbotest::Dump(records);  // two levels of RandVar before
}

TEST(ExpansionHelpers, MomentsCarryOverAndSamplingFailureIsTraced) {
  // A lone mean keeps the standard deviation loaded before: parameters carry
  // from one design point to the next.
  CMatrix<double> points(2, 2);
  points(0, 0) = 3.0;
  points(1, 0) = 6.0;
  points(0, 1) = 4.0;
  points(1, 1) = 9.0;
  VI r{-1, 0}, c{0, -1};
  std::valarray<CRandVar> v(1);
  v[0] = CRandVar(CRandVar::kUniform, 0.0, 2.0);
  CMatrix<double> out;
  rbo::ExpandAtMeans(points, r, c, v, out);
  ASSERT_EQ(out.Rows(), 2);
  ASSERT_EQ(out.Cols(), 2);
  EXPECT_EQ(out(0, 1), 4.0);
  EXPECT_NEAR(out(1, 0), 6.0, 1e-14);
  EXPECT_NEAR(out(1, 1), 9.0, 1e-14);
  EXPECT_NEAR(v[0].GetActualStdDev(), 1.0 / std::sqrt(3.0), 1e-14);

  const auto log = rbotest::LogOfFailure<CInvalidType>([&] { rbo::ExpandBySampling(2, 5, points, r, c, v, out); });
  EXPECT_TRUE(rbotest::MatchesReport(
      log, {"Invalid sampling method specified for random variables.\n", {}, kUnit, "Object type is invalid", 2}));
}

}  // namespace
