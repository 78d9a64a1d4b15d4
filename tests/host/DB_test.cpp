// The reference host's database record: the optimiser-method predicate.
#include <gtest/gtest.h>

#include "foundation/LogTrace.h"
#include "rbo/host/DB.h"

namespace {

TEST(DB, GetOptMethodChoosesTheSettingOfTheKind) {
  const struct {
    int nKind;
    unsigned nSelect;
    int nExpected;  // -100: any value other than 2
  } kCases[] = {{0, 1, 10}, {0, 5, 10}, {0, 0, 11}, {1, 1, 12}, {1, 0, 13}, {2, 1, -100}, {3, 0, -100}, {4, 1, -100}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << "kind " << c.nKind << " select " << c.nSelect);
    CDB db;
    db.m_optMethod0A = 10;
    db.m_optMethod0B = 11;
    db.m_optMethod1A = 12;
    db.m_optMethod1B = 13;
    db.m_optimizerKind = c.nKind;
    db.m_nMethodSelect = c.nSelect;
    refhost::LogCapture capture;
    if (c.nExpected == -100) {
      // Kinds without a setting never report the gradient-correction code 2,
      // even when every stored setting is 2.
      db.m_optMethod0A = db.m_optMethod0B = db.m_optMethod1A = db.m_optMethod1B = 2;
      EXPECT_NE(db.GetOptMethod(), 2);
    } else {
      EXPECT_EQ(db.GetOptMethod(), c.nExpected);
    }
    EXPECT_TRUE(capture.Records().empty());
  }
}

TEST(DB, GetOptMethodRejectsAnUnknownKind) {
  for (int kind : {5, -1, 100}) {
    CDB db;
    db.m_optimizerKind = kind;
    refhost::LogCapture capture;
    try {
      (void)db.GetOptMethod();
      ADD_FAILURE() << "kind " << kind << " accepted";
    } catch (const CInvalidType& e) {
      EXPECT_STREQ(e.m_pszFile, "DB");
      EXPECT_EQ(e.m_nLine, 108);
      EXPECT_STREQ(e.what(), "Object type is invalid");
    }
    ASSERT_EQ(capture.Records().size(), 1u) << rbotest::Dump(capture.Records());
    EXPECT_EQ(capture.Records()[0].call, "LNewException");
    EXPECT_EQ(capture.Records()[0].file, "DB");
    EXPECT_EQ(capture.Records()[0].line, 108);
  }
}

}  // namespace
