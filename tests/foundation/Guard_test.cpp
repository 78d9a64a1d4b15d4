// The guard (log once per level, rethrow the same object) and the error
// report (title, detail lines, exception).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "foundation/Guard.h"
#include "foundation/LogTrace.h"
#include "rbo/foundation/Matrix.h"

namespace {

using rbotest::Dump;
using refhost::LogCapture;

constexpr const char* kUnit = "GuardUnit";

TEST(Guard, PassesTheValueThroughAndLogsNothing) {
  LogCapture capture;
  EXPECT_EQ(rbo::Guarded(kUnit, 1, [] { return 41 + 1; }), 42);
  int target = 0;
  int& ref = rbo::Guarded(kUnit, 2, [&]() -> int& { return target; });
  ref = 5;
  EXPECT_EQ(target, 5);  // a reference result stays a reference
  EXPECT_TRUE(capture.Records().empty()) << Dump(capture.Records());
}

// The guard must rethrow the very object it caught (not a copy, not a
// slice): the caller sees the same address and the most-derived type.
TEST(Guard, StandardExceptionIsLoggedOnceAndReachesTheCallerUnchanged) {
  LogCapture capture;
  const void* pThrown = nullptr;
  try {
    rbo::Guarded(kUnit, 17, [&] {
      try {
        throw std::out_of_range("range text");
      } catch (const std::out_of_range& e) {
        pThrown = &e;
        throw;
      }
    });
    FAIL() << "nothing thrown";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(static_cast<const void*>(&e), pThrown);
    EXPECT_STREQ(e.what(), "range text");
  }
  ASSERT_EQ(capture.Records().size(), 1u) << Dump(capture.Records());
  EXPECT_EQ(capture.Records()[0].call, "LException");
  EXPECT_EQ(capture.Records()[0].file, kUnit);
  EXPECT_EQ(capture.Records()[0].line, 17);
  EXPECT_EQ(capture.Records()[0].text, "range text");
}

TEST(Guard, LibraryExceptionKeepsItsTypeAndPayload) {
  LogCapture capture;
  const void* pThrown = nullptr;
  try {
    rbo::Guarded(kUnit, 30, [&] {
      try {
        throw CInvalidKey("Thrower", 8);
      } catch (const CInvalidKey& e) {
        pThrown = &e;
        throw;
      }
    });
    FAIL() << "nothing thrown";
  } catch (const CInvalidKey& e) {  // a sliced rethrow would not be caught here
    EXPECT_EQ(static_cast<const void*>(&e), pThrown);
    EXPECT_STREQ(e.m_pszFile, "Thrower");
    EXPECT_EQ(e.m_nLine, 8);
  }
  ASSERT_EQ(capture.Records().size(), 2u) << Dump(capture.Records());
  EXPECT_EQ(capture.Records()[0].call, "LNewException");
  EXPECT_EQ(capture.Records()[1].call, "LException");
  EXPECT_EQ(capture.Records()[1].line, 30);
  EXPECT_EQ(capture.Records()[1].text, "Invalid key");
}

TEST(Guard, NonStandardExceptionIsLoggedAsGeneric) {
  struct NotStd {
    int nValue;
  };
  LogCapture capture;
  try {
    rbo::Guarded(kUnit, 44, [] { throw NotStd{7}; });
    FAIL() << "nothing thrown";
  } catch (const NotStd& e) {
    EXPECT_EQ(e.nValue, 7);
  }
  ASSERT_EQ(capture.Records().size(), 1u) << Dump(capture.Records());
  EXPECT_EQ(capture.Records()[0].call, "LGenException");
  EXPECT_EQ(capture.Records()[0].file, kUnit);
  EXPECT_EQ(capture.Records()[0].line, 44);
  EXPECT_EQ(capture.Records()[0].text, "");
}

TEST(Guard, NestedGuardsLeaveOneRecordPerLevelInnermostFirst) {
  LogCapture capture;
  EXPECT_THROW(
      rbo::Guarded(
          kUnit, 3,
          [] { rbo::Guarded(kUnit, 2, [] { rbo::Guarded(kUnit, 1, [] { throw std::runtime_error("deep"); }); }); }),
      std::runtime_error);
  EXPECT_EQ(rbotest::GuardLines(capture.Records()), (std::vector<int>{1, 2, 3})) << Dump(capture.Records());
  for (const auto& r : capture.Records()) EXPECT_EQ(r.text, "deep");
}

TEST(Guard, MatrixErrorsTakeTheStandardHandlerWithoutACreationRecord) {
  LogCapture capture;
  EXPECT_THROW(rbo::Guarded(kUnit, 9, [] { CMatrix<double> m(-1, 2); }), std::out_of_range);
  ASSERT_EQ(capture.Records().size(), 1u) << Dump(capture.Records());
  EXPECT_EQ(capture.Records()[0].call, "LException");
  EXPECT_EQ(capture.Records()[0].text, "CMatrix: invalid number of rows");
}

TEST(ErrorReport, WritesTitleDetailsThenTheException) {
  LogCapture capture;
  try {
    rbo::ErrorReport("Something is wrong.\n")
        .Line("       The supplied value = %g\n", 2.5)
        .Line("       Index %d of %s\n", 3, "four")
        .Throw<CInvalidArgument>(kUnit, 77);
  } catch (const CInvalidArgument& e) {
    EXPECT_EQ(e.m_nLine, 77);
    EXPECT_STREQ(e.m_pszFile, kUnit);
  }
  EXPECT_TRUE(
      rbotest::MatchesReport(capture.Records(), {"Something is wrong.\n",
                                                 {"       The supplied value = 2.5\n", "       Index 3 of four\n"},
                                                 kUnit,
                                                 "Function/method object is invalid",
                                                 0}));
}

TEST(ErrorReport, TitleOnly) {
  LogCapture capture;
  EXPECT_THROW(rbo::ErrorReport("Only a title.\n").Throw<CInvalidType>(kUnit, 5), CInvalidType);
  EXPECT_TRUE(rbotest::MatchesReport(capture.Records(), {"Only a title.\n", {}, kUnit, "Object type is invalid", 0}));
}

}  // namespace
