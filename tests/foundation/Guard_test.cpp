// The guard (log once per level, rethrow the same object) and the error
// report (title, detail lines, exception).
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "foundation/Guard.h"
#include "foundation/LogTrace.h"
#include "rbo/foundation/Matrix.h"

namespace {

using rbotest::Dump;
using refhost::LogCapture;

constexpr const char* kUnit = "GuardUnit";

// Throws e through the guard at the given line and returns what the caller
// caught.  The guard must rethrow the very object it caught (not a copy, not
// a slice): the caller must see the thrown address, and a sliced rethrow
// would not be caught as E at all.
template <class E>
std::optional<E> ThrownThroughGuard(int line, const E& e) {
  const void* pThrown = nullptr;
  try {
    rbo::Guarded(kUnit, line, [&] {
      try {
        throw e;
      } catch (const E& thrown) {
        pThrown = &thrown;
        throw;
      }
    });
  } catch (const E& caught) {
    EXPECT_EQ(static_cast<const void*>(&caught), pThrown);
    return caught;
  }
  ADD_FAILURE() << "nothing thrown";
  return std::nullopt;
}

TEST(Guard, PassesTheValueThroughAndLogsNothing) {
  LogCapture capture;
  EXPECT_EQ(rbo::Guarded(kUnit, 1, [] { return 41 + 1; }), 42);
  int target = 0;
  int& ref = rbo::Guarded(kUnit, 2, [&]() -> int& { return target; });
  ref = 5;
  EXPECT_EQ(target, 5);  // a reference result stays a reference
  EXPECT_TRUE(capture.Records().empty()) << Dump(capture.Records());
}

TEST(Guard, StandardExceptionIsLoggedOnceAndReachesTheCallerUnchanged) {
  LogCapture capture;
  const auto e = ThrownThroughGuard(17, std::out_of_range("range text"));
  ASSERT_TRUE(e.has_value());
  EXPECT_STREQ(e->what(), "range text");
  EXPECT_EQ(Dump(capture.Records()), "  LException [GuardUnit:17] \"range text\"\n");
}

TEST(Guard, LibraryExceptionKeepsItsTypeAndPayload) {
  LogCapture capture;
  const auto e = ThrownThroughGuard(30, CInvalidKey("Thrower", 8));
  ASSERT_TRUE(e.has_value());
  EXPECT_STREQ(e->m_pszFile, "Thrower");
  EXPECT_EQ(e->m_nLine, 8);
  EXPECT_EQ(Dump(capture.Records()),
            "  LNewException [Thrower:8] \"Invalid key\"\n  LException [GuardUnit:30] \"Invalid key\"\n");
}

TEST(Guard, NonStandardExceptionIsLoggedAsGeneric) {
  struct NotStd {
    int nValue;
  };
  LogCapture capture;
  EXPECT_EQ(ThrownThroughGuard(44, NotStd{7}).value_or(NotStd{0}).nValue, 7);
  EXPECT_EQ(Dump(capture.Records()), "  LGenException [GuardUnit:44] \"\"\n");
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
  EXPECT_EQ(Dump(capture.Records()), "  LException [GuardUnit:9] \"CMatrix: invalid number of rows\"\n");
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
