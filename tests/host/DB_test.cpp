// The reference host's database record: a usable default state and the
// optimiser-method predicate.
#include <gtest/gtest.h>

#include "foundation/LogTrace.h"
#include "rbo/host/DB.h"

namespace {

// A default record is empty and owns a parameter block of its own.
TEST(DB, DefaultStateIsUsableAndOwnsItsParameters) {
  CDB a, b;
  ASSERT_NE(a.m_pParams, nullptr);
  EXPECT_NE(a.m_pParams, b.m_pParams);
  EXPECT_EQ(b.m_pParams->m_dConstrTol, 0.0);
  a.m_pParams->m_dConstrTol = 1e-3;
  EXPECT_EQ(b.m_pParams->m_dConstrTol, 0.0);
  EXPECT_EQ(a.m_vIndDVs.size() + a.m_vInputRandVar.size() + a.m_vRespRole.size() + a.m_vbDesignPointFlags.size(), 0u);
  EXPECT_EQ(unsigned(a.m_nRandVars) + unsigned(a.m_nIndDVs) + unsigned(a.m_nRandRespsPlus1), 0u);
  EXPECT_EQ(int(a.m_optimizerKind), 0);
  EXPECT_EQ(int(a.m_nStoreKey), 0);
}

// ---- GetOptMethod ----

struct OptCase {
  int nKind;
  unsigned nSelect;
  int nExpected;  // -100: any value other than 2
};
void PrintTo(const OptCase& c, std::ostream* os) { *os << "kind " << c.nKind << " select " << c.nSelect; }

class DBOptMethod : public ::testing::TestWithParam<OptCase> {};

TEST_P(DBOptMethod, ChoosesTheSettingOfTheKind) {
  CDB db;
  db.m_optMethod0A = 10;
  db.m_optMethod0B = 11;
  db.m_optMethod1A = 12;
  db.m_optMethod1B = 13;
  db.m_optimizerKind = GetParam().nKind;
  db.m_nMethodSelect = GetParam().nSelect;
  refhost::LogCapture capture;
  if (GetParam().nExpected == -100) {
    // Kinds without a setting never report the gradient-correction code 2,
    // even when every stored setting is 2.
    db.m_optMethod0A = db.m_optMethod0B = db.m_optMethod1A = db.m_optMethod1B = 2;
    EXPECT_NE(db.GetOptMethod(), 2);
  } else {
    EXPECT_EQ(db.GetOptMethod(), GetParam().nExpected);
  }
  EXPECT_TRUE(capture.Records().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, DBOptMethod,
                         ::testing::Values(OptCase{0, 1, 10}, OptCase{0, 5, 10}, OptCase{0, 0, 11}, OptCase{1, 1, 12},
                                           OptCase{1, 0, 13}, OptCase{2, 1, -100}, OptCase{3, 0, -100},
                                           OptCase{4, 1, -100}));

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
