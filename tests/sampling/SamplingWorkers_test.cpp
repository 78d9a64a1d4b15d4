// Sample matrices inverted on several threads: the probabilities are drawn
// in the documented order on the calling thread, so the matrix must be the
// same double for double whatever the worker count, and equal to the
// inverse distribution of each draw taken one at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <valarray>
#include <vector>

#include "foundation/ProcessState.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/host/Utility.h"
#include "sampling/ColumnInversion.h"

namespace {

using VI = std::valarray<int>;
using VD = std::valarray<double>;
using Sampler = void (*)(int, int, VD&, VI&, std::valarray<CRandVar>&, CMatrix<double>&);

bool SameMatrix(const CMatrix<double>& a, const CMatrix<double>& b) {
  if (a.Rows() != b.Rows() || a.Cols() != b.Cols()) return false;
  const std::size_t n = std::size_t(a.Rows()) * std::size_t(a.Cols());
  return n == 0 || std::memcmp(a.ColData(0), b.ColData(0), n * sizeof(double)) == 0;
}

// One variable of each type, a deterministic entry between them, and a
// variable drawn into two groups; enough samples for several workers.
struct Problem {
  static constexpr int kSamples = 30000;
  std::valarray<CRandVar> vars{CRandVar(CRandVar::kNormal, 3.0, 0.5), CRandVar(CRandVar::kUniform, -1.0, 4.0),
                               CRandVar(CRandVar::kLognormal, 1.0, 0.5), CRandVar(CRandVar::kWeibull, 2.0, 5.0, 3.5)};
  VI map{0, -1, 1, 2, 2, 3, 1};
  VD means{3.0, 42.0, 1.5, 3.08, 6.5, 1.5};
  CMatrix<double> samples;

  void Sample(Sampler sample, int nWorkers) {
    SetSamplingWorkers(nWorkers);
    sample(kSamples, int(means.size()), means, map, vars, samples);
    SetSamplingWorkers(1);
  }
};

class SamplingWorkers : public ::testing::TestWithParam<Sampler> {};

TEST_P(SamplingWorkers, TheMatrixDoesNotDependOnTheWorkerCount) {
  Problem serial, parallel;
  serial.Sample(GetParam(), 1);
  for (int nWorkers : {2, 3, 0}) {
    parallel.Sample(GetParam(), nWorkers);
    EXPECT_TRUE(SameMatrix(serial.samples, parallel.samples)) << nWorkers << " workers";
  }
}

INSTANTIATE_TEST_SUITE_P(BothSchemes, SamplingWorkers,
                         ::testing::Values(&MatrixOfMonteCarloPoints, &MatrixOfLatinHyperCubePoints));

// Every drawn value is InverseCDF of the draw, taken in order from the
// host's generator: sample after sample, group after group.
TEST(SamplingWorkersMonteCarlo, EachValueIsTheInverseOfItsDraw) {
  Problem p;
  p.Sample(&MatrixOfMonteCarloPoints, 3);
  CRand stream(true);
  const int rows[] = {0, 2, 3, 4, 5};  // the drawn rows in draw order: groups of variables 0, 1, 2, 3, 1
  const int vars[] = {0, 1, 2, 3, 1};
  int nDiffer = 0;
  for (int j = 0; j < Problem::kSamples; ++j) {
    for (int k = 0; k < 5; ++k) {
      const double expected = p.vars[std::size_t(vars[k])].InverseCDF(stream.Random(), -1.0);
      if (std::memcmp(&expected, &p.samples(rows[k], j), sizeof expected) != 0 && ++nDiffer <= 5)
        ADD_FAILURE() << "sample " << j << " row " << rows[k] << ": " << p.samples(rows[k], j) << " instead of "
                      << expected;
    }
    if (p.samples(1, j) != 42.0 && ++nDiffer <= 5) ADD_FAILURE() << "deterministic row of sample " << j;
  }
  EXPECT_EQ(nDiffer, 0);
}

// The progress count grows by exactly the drawn values: samples times drawn rows.
TEST(SamplingWorkersSetting, TheCountOfDrawnValuesGrowsByEveryDrawnValue) {
  for (int nWorkers : {1, 3}) {
    Problem p;
    const long long nBefore = SampledValueCount();
    p.Sample(&MatrixOfMonteCarloPoints, nWorkers);
    EXPECT_EQ(SampledValueCount() - nBefore, 5LL * Problem::kSamples) << nWorkers << " workers";
  }
}

TEST(SamplingWorkersSetting, NegativeCountsAreRefusedAndResetRestoresOne) {
  EXPECT_THROW(SetSamplingWorkers(-1), CInvalidArgument);
  SetSamplingWorkers(4);
  EXPECT_EQ(rbo::TheProcessState().sampling.s_nWorkers, 4);
  rbo::ResetProcessState();
  EXPECT_EQ(rbo::TheProcessState().sampling.s_nWorkers, 1);
}

// A variable that cannot be inverted fails on the calling thread, before
// any worker starts, with the error a serial run gives.
TEST(SamplingWorkersFailure, AnInvalidVariableFailsAsInASerialRun) {
  Problem p;
  p.vars[3].SetType(7);
  for (int nWorkers : {1, 3}) {
    SetSamplingWorkers(nWorkers);
    EXPECT_THROW(MatrixOfMonteCarloPoints(Problem::kSamples, int(p.means.size()), p.means, p.map, p.vars, p.samples),
                 CInvalidType)
        << nWorkers << " workers";
  }
  SetSamplingWorkers(1);
}

// A draw that fails part-way is passed on, and no worker is left waiting
// for columns that will never be drawn (the call would not return).
TEST(SamplingWorkersFailure, AFailingDrawIsPassedOnAndStopsTheWorkers) {
  std::valarray<CRandVar> vars{CRandVar(CRandVar::kNormal, 0.0, 1.0)};
  const std::vector<rbo::SampledRow> rows{{0, 0}};
  constexpr int kCols = 100000;  // several chunks of one-value columns
  std::vector<double> values(kCols, 0.5);
  const rbo::ColumnBlock block{values.data(), 1, kCols};
  for (int nWorkers : {1, 2, 3}) {
    SetSamplingWorkers(nWorkers);
    int nDraws = 0;
    auto draw = [&](int j0, int j1) {
      if (++nDraws == 3) throw std::runtime_error("the generator failed");  // the second chunk
      for (int j = j0; j < j1; ++j) values[std::size_t(j)] = 0.25;
    };
    EXPECT_THROW(rbo::DrawAndInvert(block, rows, vars, draw), std::runtime_error) << nWorkers << " workers";
    EXPECT_EQ(nDraws, 3) << nWorkers << " workers";
  }
  SetSamplingWorkers(1);
}

}  // namespace
