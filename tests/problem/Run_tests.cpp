// The problem layer's evaluation of design points: in one go and batch by
// batch until the statistics settle, against the closed form of a linear
// limit state; the typed failure of a response-surface fit, and the host's
// count of failed fits behind it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "DesignSpace.h"
#include "problem/OptimizeProblems.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/host/Utility.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Run.h"
#include "support/Problems.h"

namespace {

using optimizetest::LinearReliability;
using rbo::problem::BatchRecord;
using rbo::problem::PointResult;
using rbo::problem::Problem;
using rbo::problem::ResponseResult;

// ---------------------------------------------------------------- failed fits

// The host counts a failed fit where the library gives up: a rank-deficient
// least-squares matrix, or too few points for the linear model (the last
// order the library tries).  Too few points for a higher order is no
// failure: the library falls back to a lower one.

/// 1 when the least-squares matrix of the columns is of full rank.
long long QrOf(const std::vector<double>& column0, const std::vector<double>& column1) {
  const int rows = int(column0.size());
  CMatrix<double> A(rows, column1.empty() ? 1 : 2), Y(rows, 1), K;
  std::valarray<double> w(1.0, std::size_t(rows));
  for (int p = 0; p < rows; ++p) {
    A(p, 0) = column0[std::size_t(p)];
    if (!column1.empty()) A(p, 1) = column1[std::size_t(p)];
    Y(p, 0) = double(p);
  }
  CQR qr(A, w, Y, K);
  return qr.IsFullRank() ? 1 : 0;
}

/// The number of model terms, or 0 when the points cannot determine them.
long long ModelMatrix(int order, int nVars, int nPoints) {
  CMatrix<double> X(nPoints, nVars, 0.5), A;
  CMatrix<int> E;
  std::valarray<double> w(1.0, std::size_t(nPoints));
  return CreateCheckApproxModelMatrix(order, nVars, nPoints, 0, true, X, w, E, A);
}

TEST(FitFailures, AreCountedWhereTheLibraryGivesUp) {
  // Expects the call's own verdict and returns the failures it counted.
  auto failuresOf = [](const std::function<long long()>& attempt, long long verdict) {
    const long long before = refhost::FitFailures();
    EXPECT_EQ(attempt(), verdict);
    return refhost::FitFailures() - before;
  };
  EXPECT_EQ(failuresOf([] { return QrOf({1, 1, 1}, {0, 1, 2}); }, 1), 0);  // 1, x at x = 0, 1, 2: full rank
  EXPECT_EQ(failuresOf([] { return QrOf({1, 1, 1}, {1, 1, 1}); }, 0), 1);  // the columns are equal
  EXPECT_EQ(failuresOf([] { return QrOf({}, {}); }, 0), 1);                // terms without equations
  // The linear model in 2 variables has 3 terms.
  EXPECT_EQ(failuresOf([] { return ModelMatrix(0, 2, 2); }, 0), 1);
  EXPECT_EQ(failuresOf([] { return ModelMatrix(0, 2, 3); }, 3), 0);
  // The cubic in 2 variables has 10 terms; the library falls back.
  EXPECT_EQ(failuresOf([] { return ModelMatrix(3, 2, 5); }, 0), 0);
}

class LayerRun : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::ResetLibraryState(); }
  void TearDown() override {
    refhost::SetAnalysis(nullptr);
    refhost::SetRBOMethod(0, 100);
  }
  /// The linear limit state g = R - S at the given means of R.
  static Problem Linear(int method, int samples, const std::vector<double>& means) {
    return LinearReliability().AtMeans(method, samples, 5, means);
  }
};

// First order is exact for a linear limit state of normal variables:
// POF = Phi(-(muR - muS) / sqrt(sR^2 + sS^2)), to the accuracy of the
// library's normal distribution function (1e-7 relative).  No samples, so
// no interval.
TEST_F(LayerRun, FirstOrderGivesTheClosedFormAtEveryPoint) {
  const LinearReliability lin;
  const std::vector<double> means{9.0, 12.0};
  const Problem p = Linear(2, 1, means);
  const std::vector<PointResult> points = rbo::problem::EvaluatePoints(p, nullptr);
  ASSERT_EQ(points.size(), means.size());
  for (std::size_t j = 0; j < means.size(); ++j) {
    const ResponseResult& g = points[j].responses[0];
    EXPECT_NEAR(g.mean, means[j] - lin.muS, 1e-9);
    EXPECT_NEAR(g.sd, lin.SigmaG(), 1e-9);
    EXPECT_NEAR(g.pof, lin.Pof(means[j]), 1e-6 * lin.Pof(means[j]));
    EXPECT_FALSE(g.pof95.has_value());
  }
}

// Batch by batch: every batch folds --samples more samples, each row's
// interval is that of the samples folded so far, and the run stops when the
// interval is within the tolerance, near the exact POF.
TEST_F(LayerRun, UntilConvergedFoldsBatchesUntilTheIntervalSettles) {
  const LinearReliability lin;
  const int batch = 5000;
  const double tol = 0.1;
  const Problem p = Linear(1, batch, {10.0});
  std::vector<BatchRecord> seen;
  int started = 0, done = 0;
  rbo::problem::ConvergenceCallbacks callbacks;
  callbacks.pointStarted = [&](std::size_t j, const std::valarray<double>& design) {
    EXPECT_EQ(j, 0u);
    EXPECT_EQ(design[0], 10.0);
    ++started;
  };
  callbacks.batchDone = [&](std::size_t, const BatchRecord& b) { seen.push_back(b); };
  callbacks.pointDone = [&](std::size_t, const rbo::problem::ConvergenceRecord&) { ++done; };
  rbo::problem::ConvergenceOptions options;
  options.tol = tol;
  const auto records = rbo::problem::RunUntilConverged(p, options, nullptr, callbacks);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(started, 1);
  EXPECT_EQ(done, 1);
  const auto& rec = records[0];
  ASSERT_EQ(rec.batches.size(), seen.size());
  ASSERT_FALSE(seen.empty());
  for (std::size_t k = 0; k < seen.size(); ++k) {
    EXPECT_EQ(seen[k].batch, int(k) + 1);
    EXPECT_EQ(seen[k].samples, (long long)(k + 1) * batch);
    const ResponseResult& g = seen[k].stats.responses[0];
    ASSERT_TRUE(g.pof95.has_value());
    const double half = 1.96 * std::sqrt(g.pof * (1.0 - g.pof) / double(seen[k].samples));
    EXPECT_NEAR(g.pof95->high - g.pof95->low, 2.0 * half, 0.1 * half + 1e-12) << k;
  }
  EXPECT_TRUE(rec.converged) << rec.reason;
  const ResponseResult& g = rec.batches.back().stats.responses[0];
  const double exact = lin.Pof(10.0);
  EXPECT_LE(std::max(g.pof95->high - g.pof, g.pof - g.pof95->low), tol * g.pof);
  EXPECT_NEAR(g.pof, exact, 4.0 * std::sqrt(exact * (1.0 - exact) / double(rec.batches.back().samples)));
}

TEST_F(LayerRun, UntilConvergedRefusesAMethodWithoutSamples) {
  const Problem p = Linear(2, 1000, {10.0});
  EXPECT_NE(rbo::problem::UntilConvergedRefusal(p).find("methods 0 (montecarlo) and 1 (lhs)"), std::string::npos);
  EXPECT_THROW(rbo::problem::RunUntilConverged(p, {}, nullptr, {}), std::invalid_argument);
}

// Method 3 fits one surface over every point evaluated since the start: a
// lone point determines not even the linear model, and the statistics the
// library leaves must come back as the typed failure.
TEST_F(LayerRun, AnUnfittableSurfaceIsATypedFailure) {
  Problem p = Linear(3, 1000, {10.0});
  std::unique_ptr<CDB> db = p.builder.Build();
  rbo::problem::ConfigureHost(p, nullptr);
  rbo::problem::optimize::CBatchRunner runner(*db, p, 3, 1000, false, 1);
  EXPECT_THROW(runner.Run({std::valarray<double>{10.0}}), rbo::problem::SurfaceFitError);
}

// ---------------------------------------------------------------- settled

// A point counts as settled when the 95% interval of every POF lies within
// tol times the POF, and that of every mean without bounds (1.96 sd /
// sqrt(n)) within tol times the mean; a POF of 0 never does.
TEST(Settled, FollowsTheIntervalRule) {
  struct SettledCase {
    const char* name;
    bool bounded;
    double mean, sd, pof;
    long long samples;
    bool settled;
  };
  for (const SettledCase& c : {// Half-width about 1.96 sqrt(0.5 * 0.5 / 1e6) = 0.001, 0.2% of 0.5.
                               SettledCase{"HalfWithAMillionSamples", true, 1.0, 1.0, 0.5, 1000000, true},
                               // 0.001 with 1,000 samples: the interval spans [0.0002, 0.0056].
                               SettledCase{"RareWithFewSamples", true, 1.0, 1.0, 0.001, 1000, false},
                               SettledCase{"NoFailureYet", true, 1.0, 1.0, 0.0, 100000000, false},
                               // 1.96 * 1 / sqrt(10000) = 0.0196 against 0.1 * 1 = 0.1.
                               SettledCase{"MeanKnownWell", false, 1.0, 1.0, 0.0, 10000, true},
                               // 1.96 * 10 / sqrt(10000) = 0.196 against 0.1.
                               SettledCase{"MeanStillVague", false, 1.0, 10.0, 0.0, 10000, false}}) {
    BatchRecord b;
    b.samples = c.samples;
    ResponseResult g;
    g.name = "g";
    g.random = true;
    g.bounded = c.bounded;
    g.mean = c.mean;
    g.sd = c.sd;
    g.pof = c.pof;
    b.stats.responses.push_back(g);
    rbo::problem::SetPofIntervals(b.stats, double(c.samples));
    EXPECT_EQ(rbo::problem::Settled(b, 0.1), c.settled) << c.name;
  }
}

}  // namespace
