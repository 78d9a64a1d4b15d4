// Folding of analysed sample points into response statistics (methods 0, 1).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "rbo/RBO.h"
#include "responses/ResponseTables.h"
#include "support/Problems.h"

namespace {

// A problem with one random parameter and the given responses, folded over
// hand-chosen sample values: samples[s][r] is model response r at sample s.
struct Folding {
  refhost::ProblemBuilder builder;
  std::unique_ptr<CDB> db;
  std::valarray<CRandResp> records;
  CMatrix<double> responses;

  Folding() { builder.AddRandomParameter("x", CRandVar::kNormal, 0.0, 1.0); }

  void Fold(const std::vector<std::vector<double>>& samples) {
    db = builder.Build();
    records.resize(std::size_t(int(db->m_nRandRespsPlus1) - 1));
    rbo::ConstrBoundsIntoRandResps(db->m_vEntryRandRespNumber, db->m_vRespRole, db->m_vRespIndexOfEntry,
                                   db->m_vRespTypeOfEntry, db->m_vConBound, db->m_vConScale, db->m_vConSide,
                                   db->m_vConSubjectIndex, db->m_vConSubjectType, records);
    const int n = int(samples.size());
    const int nResps = builder.ModelResponseCount();
    CMatrix<double> designPoints(2, 1);  // mean and sd entries of x
    designPoints(1, 0) = 1.0;
    CMatrix<double> analysisPoints(1, n), analysisOutputs(nResps, n);
    for (int s = 0; s < n; ++s)
      for (int r = 0; r < nResps; ++r) analysisOutputs(r, s) = samples[std::size_t(s)][std::size_t(r)];
    rbo::RandRespsFromSamples(db.get(), n, db->m_vInputRandVar, db->m_vEntryRandRespNumber, db->m_vRespRole,
                              designPoints, analysisPoints, analysisOutputs, records, responses);
  }
  double Entry(refhost::QuantityRef q) const { return responses(q.index, 0); }
};

TEST(SampleStatistics, MeanAndPopulationStdDev) {
  Folding f;
  const refhost::ResponseRef g = f.builder.AddRandomResponse("g");
  f.Fold({{1.0}, {2.0}, {3.0}});
  EXPECT_DOUBLE_EQ(f.Entry(g.value), 2.0);
  EXPECT_DOUBLE_EQ(f.Entry(g.stdDev), std::sqrt(2.0 / 3.0));  // divisor n, not n - 1
  EXPECT_EQ(f.Entry(g.pof), 0.0);
}

TEST(SampleStatistics, EqualValuesGiveExactlyZeroStdDev) {
  Folding f;
  const refhost::ResponseRef g = f.builder.AddRandomResponse("g");
  // Seven values of 0.7: sum of squares / 7 - mean^2 rounds to -2.2e-16.
  f.Fold({{0.7}, {0.7}, {0.7}, {0.7}, {0.7}, {0.7}, {0.7}});
  EXPECT_EQ(f.Entry(g.stdDev), 0.0);
}

TEST(SampleStatistics, UpperBoundOnlyLeavesLowerProbabilityAlone) {
  Folding f;
  const refhost::ResponseRef g = f.builder.AddRandomResponse("g");
  f.builder.AddConstraint(g.value, 1, 2.5);
  f.Fold({{1.0}, {2.0}, {3.0}});
  EXPECT_DOUBLE_EQ(f.records[0].GetPOF_Up(), 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(f.records[0].GetPOF(), 1.0 / 3.0);
  EXPECT_EQ(f.records[0].GetPOF_Low(), 0.0);
  EXPECT_DOUBLE_EQ(f.Entry(g.pof), 1.0 / 3.0);
}

// Lower bound 10, scale 2, tolerance 0.5: a scaled violation equal to the
// tolerance holds, anything beyond it counts.
struct ToleranceCase {
  double value;
  double expectedPOF;
};
void PrintTo(const ToleranceCase& c, std::ostream* os) { *os << "value " << c.value; }
class SampleTolerance : public ::testing::TestWithParam<ToleranceCase> {};

TEST_P(SampleTolerance, ViolationMustExceedTolerance) {
  Folding f;
  const refhost::ResponseRef g = f.builder.AddRandomResponse("g");
  f.builder.AddConstraint(g.value, -1, 10.0, 2.0);
  f.builder.SetConstraintTolerance(0.5);
  f.Fold({{GetParam().value}});
  EXPECT_EQ(f.Entry(g.pof), GetParam().expectedPOF);
  EXPECT_EQ(f.Entry(refhost::ProblemBuilder::AnyFractionRef()), GetParam().expectedPOF);
}
INSTANTIATE_TEST_SUITE_P(Bounds, SampleTolerance,
                         ::testing::Values(ToleranceCase{9.0, 0.0}, ToleranceCase{8.9, 1.0}, ToleranceCase{11.0, 0.0}));

// Two random responses, each with one lower bound at 0.  Per sample: which is
// violated, and whether the any and joint flags count it.
struct FlagCase {
  double first, second;
  double any, joint;
};
void PrintTo(const FlagCase& c, std::ostream* os) { *os << "g1 " << c.first << ", g2 " << c.second; }
class SampleFlagsTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(SampleFlagsTest, AnyAndJointFractions) {
  Folding f;
  const refhost::ResponseRef g1 = f.builder.AddRandomResponse("g1");
  const refhost::ResponseRef g2 = f.builder.AddRandomResponse("g2");
  f.builder.AddConstraint(g1.value, -1, 0.0);
  f.builder.AddConstraint(g2.value, -1, 0.0);
  f.Fold({{GetParam().first, GetParam().second}});
  EXPECT_EQ(f.Entry(refhost::ProblemBuilder::AnyFractionRef()), GetParam().any);
  EXPECT_EQ(f.Entry(f.builder.JointFractionRef()), GetParam().joint);
}
INSTANTIATE_TEST_SUITE_P(Flags, SampleFlagsTest,
                         ::testing::Values(FlagCase{-1.0, 1.0, 1.0, 0.0},   // first violated, second holds
                                           FlagCase{1.0, -1.0, 1.0, 0.0},   // J is -1 after the first
                                           FlagCase{-1.0, -1.0, 1.0, 1.0},  // both violated
                                           FlagCase{1.0, 1.0, 0.0, 0.0}));  // none

TEST(SampleStatistics, DeterministicEntryIsTheMeanOverSamples) {
  Folding f;
  f.builder.AddRandomResponse("g");
  const refhost::ResponseRef h = f.builder.AddResponse("h");
  f.Fold({{0.0, 1.0}, {0.0, 4.0}, {0.0, 10.0}});
  EXPECT_DOUBLE_EQ(f.Entry(h.value), 5.0);
}

TEST(SampleStatistics, ReshapedOutputHasEveryColumnWritten) {
  Folding f;
  const refhost::ResponseRef g = f.builder.AddRandomResponse("g");
  f.responses = CMatrix<double>(3, 7, 99.0);  // wrong shape: replaced by zeros, then written
  f.Fold({{1.0}, {3.0}});
  EXPECT_EQ(f.responses.Rows(), int(f.db->m_vRespIndexOfEntry.size()));
  EXPECT_EQ(f.responses.Cols(), 1);
  EXPECT_DOUBLE_EQ(f.Entry(g.value), 2.0);
}

TEST(SampleStatistics, NoSamplesIsRejected) {
  Folding f;
  f.builder.AddRandomResponse("g");
  refhost::LogCapture log;
  EXPECT_THROW(f.Fold({}), CInvalidArgument);
  ASSERT_GE(log.Records().size(), 4u);
  EXPECT_EQ(log.Records()[0].text, "Invalid number of sample points for RBO.\n");
  EXPECT_EQ(log.Records()[1].text, "       The supplied value = 0\n");
  EXPECT_EQ(log.Records().back().call, "LException");
  EXPECT_EQ(log.Records().back().line, 3391);
}

}  // namespace
