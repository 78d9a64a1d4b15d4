// The random-response record, its bounds from the host's constraints and the
// spreading of analysis responses over the response entries.
#include <gtest/gtest.h>

#include "rbo/RBO.h"
#include "responses/ResponseTables.h"

namespace {

TEST(RandResp, DefaultsAndConstructors) {
  const CRandResp d;
  EXPECT_EQ(d.GetLowBoundMean(), -1.0e30);
  EXPECT_EQ(d.GetUpBoundMean(), 1.0e30);
  EXPECT_EQ(d.GetScaleLowBoundMean(), 1.0);
  EXPECT_EQ(d.GetScaleUpBoundMean(), 1.0);
  EXPECT_FALSE(d.GetMeanHasLowBound());
  EXPECT_FALSE(d.GetMeanHasUpBound());
  EXPECT_EQ(d.GetRespTypeAsSubject(), 24);
  EXPECT_EQ(d.GetMeanOrderIndex(), -1);

  const CRandResp r(2.0, 0.5, 0.1);
  EXPECT_EQ(r.GetMean(), 2.0);
  EXPECT_EQ(r.GetStdDev(), 0.5);
  EXPECT_EQ(r.GetPOF(), 0.1);
  EXPECT_EQ(r.GetPOF_Low(), 0.0);
  EXPECT_EQ(r.GetPOF_Up(), 0.0);
}

TEST(RespsArrayAnalysisIntoOrvoIni, SpreadsAnalysisValuesOverEntries) {
  std::valarray<int> numbers = {-1, -1, 1, 1, 1, -1, 2, 2};
  std::valarray<double> analysis = {10.0, 20.0, 30.0, 40.0};
  std::valarray<double> entries(-7.0, numbers.size());
  RespsArrayAnalysisIntoOrvoIni(analysis, numbers, entries);
  const double expected[] = {0.0, 10.0, 20.0, 20.0, 20.0, 30.0, 40.0, 40.0};
  for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(entries[i], expected[i]) << "entry " << i;
  // A single entry only writes entry 0 and reads no analysis value.
  std::valarray<int> one = {-1};
  std::valarray<double> none, single(5.0, 1);
  RespsArrayAnalysisIntoOrvoIni(none, one, single);
  EXPECT_EQ(single[0], 0.0);
}

// Response entries: 0 any fraction; 1..3 response 1 (mean, sd, POF);
// 4..5 response 2 (mean, sd); 6 deterministic.
struct BoundsFixture : ::testing::Test {
  std::valarray<int> numbers = {0, 1, 1, 1, 2, 2, -1};
  std::valarray<int> roles = {-4, -1, -2, -3, -1, -2, 0};
  std::valarray<int> index = {0, 1, 2, 3, 4, 5, 6};
  std::valarray<int> type = {24, 24, 24, 24, 25, 25, 24};
  std::valarray<CRandResp> records = std::valarray<CRandResp>(2);

  void Apply(std::valarray<double> bound, std::valarray<double> scale, std::valarray<int> side,
             std::valarray<int> subjectIndex, std::valarray<int> subjectType) {
    rbo::ConstrBoundsIntoRandResps(numbers, roles, index, type, bound, scale, side, subjectIndex, subjectType, records);
  }
};

TEST_F(BoundsFixture, LowerAndUpperBoundOfOneResponse) {
  Apply({1.0, 9.0}, {2.0, 3.0}, {0, 1}, {1, 1}, {24, 24});
  const CRandResp& r = records[0];
  EXPECT_EQ(r.GetRespTypeAsSubject(), 24);
  EXPECT_EQ(r.GetMeanOrderIndex(), 1);
  EXPECT_TRUE(r.GetMeanHasLowBound());
  EXPECT_EQ(r.GetLowBoundMean(), 1.0);
  EXPECT_EQ(r.GetScaleLowBoundMean(), 2.0);
  EXPECT_TRUE(r.GetMeanHasUpBound());
  EXPECT_EQ(r.GetUpBoundMean(), 9.0);
  EXPECT_EQ(r.GetScaleUpBoundMean(), 3.0);
  // Response 2 has no constraint: its type is set, its bounds are not.
  EXPECT_EQ(records[1].GetRespTypeAsSubject(), 25);
  EXPECT_EQ(records[1].GetMeanOrderIndex(), 4);
  EXPECT_FALSE(records[1].GetMeanHasLowBound());
  EXPECT_FALSE(records[1].GetMeanHasUpBound());
}

TEST_F(BoundsFixture, ThirdMatchingConstraintIsNotLookedAt) {
  // Two lower bounds match first (the later wins); the third, an upper bound, is never reached.
  Apply({1.0, 2.0, 9.0}, {1.0, 1.0, 1.0}, {0, -1, 1}, {1, 1, 1}, {24, 24, 24});
  EXPECT_TRUE(records[0].GetMeanHasLowBound());
  EXPECT_EQ(records[0].GetLowBoundMean(), 2.0);
  EXPECT_FALSE(records[0].GetMeanHasUpBound());
}

TEST_F(BoundsFixture, DesignVariableTypesNeverBoundAResponse) {
  type[4] = 21;  // response 2's mean entry claims type 21, index 4
  Apply({3.0}, {1.0}, {1}, {4}, {21});
  EXPECT_FALSE(records[1].GetMeanHasUpBound());
  EXPECT_EQ(records[1].GetMeanOrderIndex(), 4);
}

TEST_F(BoundsFixture, StdDevEntrySetsTypeOnly) {
  roles[1] = 0;  // response 1 now has no mean entry
  Apply({1.0}, {1.0}, {1}, {1}, {24});
  EXPECT_EQ(records[0].GetMeanOrderIndex(), -1);
  EXPECT_FALSE(records[0].GetMeanHasUpBound());
  EXPECT_EQ(records[0].GetRespTypeAsSubject(), 24);
}

TEST(GetRBOVersion, Reports6_21_0) {
  int major = -1, minor = -1, patch = -1;
  GetRBOVersion(&major, &minor, &patch);
  EXPECT_EQ(major, 6);
  EXPECT_EQ(minor, 21);
  EXPECT_EQ(patch, 0);
}

}  // namespace
