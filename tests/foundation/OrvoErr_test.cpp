// The exception family: payload, truncation, fixed messages, the log record
// made at construction, the catch hierarchy and copying.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "foundation/LogTrace.h"
#include "rbo/foundation/OrvoErr.h"

namespace {

using refhost::LogCapture;

constexpr const char* kUnit = "SomeUnit";

TEST(OrvoErr, StoresFileLineAndMessageAndLogsCreation) {
  LogCapture capture;
  const COrvoErr e(kUnit, 321, "a message");
  EXPECT_EQ(e.m_pszFile, kUnit);  // the pointer itself: the text is not copied
  EXPECT_EQ(e.m_nLine, 321);
  EXPECT_STREQ(e.what(), "a message");
  // what() is the exception's own copy, so the caller's buffer may be temporary.
  EXPECT_EQ(static_cast<const void*>(e.what()), static_cast<const void*>(e.m_szMessage));
  ASSERT_EQ(capture.Records().size(), 1u) << rbotest::Dump(capture.Records());
  const refhost::LogRecord& r = capture.Records()[0];
  EXPECT_EQ(r.call, "LNewException");
  EXPECT_EQ(r.file, kUnit);
  EXPECT_EQ(r.line, 321);
  EXPECT_EQ(r.text, "a message");
  EXPECT_STREQ(CEngErr(nullptr, 3, "engineering").what(), "engineering");
}

TEST(OrvoErr, MessageBufferIsPaddedWithNul) {
  const COrvoErr e(nullptr, 1, "abc");
  for (int i = 3; i < COrvoErr::kMessageSize; ++i) ASSERT_EQ(e.m_szMessage[i], '\0') << "byte " << i;
}

// Messages of 511 characters fit; longer ones keep their first 511.  The
// construction record carries the text as the thrower gave it.
class OrvoErrTruncation : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OrvoErrTruncation, KeepsAtMost511Characters) {
  const std::size_t n = GetParam();
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += char('a' + i % 26);
  LogCapture capture;
  const COrvoErr e(kUnit, 7, text.c_str());
  const std::size_t nKept = n < 511 ? n : 511;
  EXPECT_EQ(std::strlen(e.what()), nKept);
  EXPECT_EQ(std::string(e.what()), text.substr(0, nKept));
  EXPECT_EQ(e.m_szMessage[COrvoErr::kMessageSize - 1], '\0');
  ASSERT_EQ(capture.Records().size(), 1u);
  EXPECT_EQ(capture.Records()[0].text, text);
}

INSTANTIATE_TEST_SUITE_P(Lengths, OrvoErrTruncation, ::testing::Values(0u, 1u, 510u, 511u, 512u, 513u, 2000u));

TEST(OrvoErr, NullFileMakesAValidExceptionWithoutALogRecord) {
  LogCapture capture;
  const CInvalidKey e(nullptr, 12);
  EXPECT_EQ(e.m_pszFile, nullptr);
  EXPECT_EQ(e.m_nLine, 12);
  EXPECT_STREQ(e.what(), "Invalid key");
  EXPECT_TRUE(capture.Records().empty()) << rbotest::Dump(capture.Records());
}

TEST(OrvoErr, CopiesShareTheFilePointerAndTheWholeMessageWithoutLogging) {
  const CNullPtr original(kUnit, 99);
  LogCapture capture;
  const CNullPtr copy(original);
  EXPECT_EQ(copy.m_pszFile, original.m_pszFile);
  EXPECT_EQ(copy.m_nLine, 99);
  EXPECT_EQ(std::memcmp(copy.m_szMessage, original.m_szMessage, COrvoErr::kMessageSize), 0);

  CNullPtr assigned(nullptr, 0);
  assigned = original;
  EXPECT_EQ(assigned.m_pszFile, original.m_pszFile);
  EXPECT_EQ(assigned.m_nLine, 99);
  EXPECT_STREQ(assigned.what(), "Null pointer found");
  EXPECT_TRUE(capture.Records().empty()) << rbotest::Dump(capture.Records());
}

// ---- the six leaf classes: fixed message, base, construction record ----

// The fixed message of each leaf; CCheckPassFail alone is no engineering error.
template <class E>
const char* LeafText() {
  if (std::is_same<E, CInvalidType>::value) return "Object type is invalid";
  if (std::is_same<E, CInvalidKey>::value) return "Invalid key";
  if (std::is_same<E, CInvalidArgument>::value) return "Function/method object is invalid";
  if (std::is_same<E, CGetObject>::value) return "Could not get object";
  if (std::is_same<E, CNullPtr>::value) return "Null pointer found";
  return "CheckPassFail";
}

template <class Handler, class E>
bool CaughtAs() {
  try {
    throw E(nullptr, 1);
  } catch (const Handler&) {
    return true;
  } catch (...) {
    return false;
  }
}

template <class E>
class LeafException : public ::testing::Test {};
using LeafClasses = ::testing::Types<CInvalidType, CInvalidKey, CInvalidArgument, CGetObject, CNullPtr, CCheckPassFail>;
TYPED_TEST_SUITE(LeafException, LeafClasses);

TYPED_TEST(LeafException, CarriesItsFixedMessageAndLogsIt) {
  LogCapture capture;
  const TypeParam e(kUnit, 55);
  EXPECT_STREQ(e.what(), LeafText<TypeParam>());
  EXPECT_EQ(e.m_nLine, 55);
  ASSERT_EQ(capture.Records().size(), 1u);
  EXPECT_EQ(capture.Records()[0].call, "LNewException");
  EXPECT_EQ(capture.Records()[0].file, kUnit);
  EXPECT_EQ(capture.Records()[0].line, 55);
  EXPECT_EQ(capture.Records()[0].text, LeafText<TypeParam>());
}

TYPED_TEST(LeafException, CatchHierarchy) {
  EXPECT_TRUE((CaughtAs<std::exception, TypeParam>()));
  EXPECT_TRUE((CaughtAs<COrvoErr, TypeParam>()));
  // CCheckPassFail is not an engineering error: a CEngErr handler lets it pass.
  EXPECT_EQ((CaughtAs<CEngErr, TypeParam>()), (!std::is_same<TypeParam, CCheckPassFail>::value));
  // Leaves are not related to one another.
  if (!std::is_same<TypeParam, CInvalidType>::value) {
    EXPECT_FALSE((CaughtAs<CInvalidType, TypeParam>()));
  }
}

}  // namespace
