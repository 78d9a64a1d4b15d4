// Sampling runs that do not fit in memory at once: the batches they are cut
// into, the statistics folded from the batches (one batch must give exactly
// the run in one go; many batches must still estimate the exact POF of the
// linear limit state), and the objective and constraint computed from them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "problem/OptimizeProblems.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Run.h"
#include "support/Problems.h"

namespace {

using optimizetest::LinearReliability;
using rbo::problem::PointResult;
using rbo::problem::Problem;
using rbo::problem::SampleBatches;

class SampleBatchesRun : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::ResetLibraryState(); }
  void TearDown() override {
    unsetenv("RBO_MEMORY_LIMIT");
    refhost::SetAnalysis(nullptr);
    refhost::SetRBOMethod(0, 100);
  }
  static Problem Linear(int method, int samples, const std::vector<double>& means) {
    return LinearReliability().AtMeans(method, samples, 9, means);
  }
};

// Bytes per sample of the linear problem: 2 variables and 1 response, 8
// bytes each, times the copies the memory estimate counts.
double BytesPerSample() { return 3.0 * 8.0 * rbo::problem::kCopiesPerSampleValue; }

struct BatchCase {
  const char* pszLimit;  ///< RBO_MEMORY_LIMIT
  int nPoints, nSamples;
  bool oneGo;
  long long batches, size;
};

TEST_F(SampleBatchesRun, BatchesFollowTheMemoryLimit) {
  const BatchCase cases[] = {
      {"1G", 3, 1000, true, 1, 1000},                                   // everything fits
      {"100K", 3, 1000, false, 1, 1000},                                // one point fits, three do not
      {"20K", 1, 1000, false, 3, 334},                                  // 426 samples fit: 3 batches
      {"1000", 1, 1000, false, (long long)std::ceil(1000 / 20.0), 20},  // 20 samples fit
  };
  for (const BatchCase& c : cases) {
    setenv("RBO_MEMORY_LIMIT", c.pszLimit, 1);
    const Problem p = Linear(0, c.nSamples, std::vector<double>(std::size_t(c.nPoints), 11.0));
    const SampleBatches b = rbo::problem::SampleBatchesOf(p);
    EXPECT_EQ(b.oneGo, c.oneGo) << c.pszLimit;
    EXPECT_EQ(b.batches, c.batches) << c.pszLimit;
    EXPECT_EQ(b.size, c.size) << c.pszLimit;
    // The batches cover the samples, and a batch fits.
    EXPECT_GE(b.batches * b.size, c.nSamples) << c.pszLimit;
    if (!b.oneGo) {
      std::string source;
      EXPECT_LE(double(b.size) * BytesPerSample(), rbo::problem::MemoryLimit(&source)) << c.pszLimit;
    }
  }
}

// Batch 0 is drawn from the seed itself, so one batch per point folds the
// very samples of the run in one go.  The running statistics sum in another
// order than the run in one go, so the numbers agree to rounding (1e-12
// relative), where another sample would differ in the second digit.
TEST_F(SampleBatchesRun, OneBatchFoldsTheSamplesOfTheRunInOneGo) {
  auto same = [](double a, double b) { return std::fabs(a - b) <= 1e-12 * std::fmax(1.0, std::fabs(b)); };
  for (int method : {0, 1}) {
    const Problem p = Linear(method, 3000, {10.0, 12.5});
    const std::vector<PointResult> whole = rbo::problem::EvaluatePoints(p, nullptr);
    testsupport::ResetLibraryState();
    const std::vector<PointResult> batched = rbo::problem::EvaluatePointsInBatches(p, nullptr, {false, 1, 3000});
    ASSERT_EQ(whole.size(), batched.size());
    for (std::size_t j = 0; j < whole.size(); ++j) {
      EXPECT_TRUE(same(batched[j].objective, whole[j].objective)) << method << " point " << j;
      EXPECT_TRUE(same(batched[j].constraint, whole[j].constraint)) << method << " point " << j;
      ASSERT_EQ(batched[j].responses.size(), whole[j].responses.size());
      const auto& a = batched[j].responses[0];
      const auto& b = whole[j].responses[0];
      EXPECT_TRUE(same(a.mean, b.mean)) << method << " point " << j << ": " << a.mean << " " << b.mean;
      EXPECT_TRUE(same(a.sd, b.sd)) << method << " point " << j << ": " << a.sd << " " << b.sd;
      EXPECT_TRUE(same(a.pof, b.pof)) << method << " point " << j << ": " << a.pof << " " << b.pof;
    }
  }
}

// Many batches: every sample is counted once, and the folded statistics
// estimate the exact mean, standard deviation and POF of g = R - S within
// four standard errors of the whole sample.
TEST_F(SampleBatchesRun, ManyBatchesEstimateTheClosedForm) {
  const LinearReliability lin;
  const int N = 40000;
  const Problem p = Linear(0, N, {10.0});
  auto counter = std::make_shared<std::atomic<long long>>(0);
  const PointResult point = rbo::problem::EvaluatePointsInBatches(p, counter, {false, 7, 5715}).at(0);
  EXPECT_EQ(counter->load(), N);
  const auto& g = point.responses[0];
  const double sigma = lin.SigmaG(), exact = lin.Pof(10.0);
  EXPECT_NEAR(g.mean, 10.0 - lin.muS, 4.0 * sigma / std::sqrt(double(N)));
  EXPECT_NEAR(g.sd, sigma, 4.0 * sigma / std::sqrt(2.0 * N));
  EXPECT_NEAR(g.pof, exact, 4.0 * std::sqrt(exact * (1.0 - exact) / N));
  ASSERT_TRUE(g.pof95.has_value());
  EXPECT_NEAR(g.pof95->high - g.pof95->low, 2.0 * 1.96 * std::sqrt(g.pof * (1.0 - g.pof) / N), 0.05 * g.pof);
}

}  // namespace
