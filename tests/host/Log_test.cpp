// The reference host's log component: the records every call leaves, the
// formatting of LPrint, nested captures, the output file and echo control.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/LogTrace.h"
#include "rbo/host/Log.h"

namespace {

using refhost::LogCapture;
using refhost::LogRecord;

bool SameRecord(const LogRecord& r, const char* pszCall, const char* pszFile, int nLine, const std::string& text) {
  return r.call == pszCall && r.file == pszFile && r.line == nLine && r.text == text;
}

TEST(Log, EveryCallLeavesOneRecord) {
  LogCapture capture;
  LError("Title line.\n");
  LPrint("       value %g\n", 1.5);
  LNewException("Unit", 10, "created");
  LException("Unit", 20, "passing");
  LGenException("Unit", 30);
  const auto& r = capture.Records();
  ASSERT_EQ(r.size(), 5u) << rbotest::Dump(r);
  EXPECT_TRUE(SameRecord(r[0], "LError", "", 0, "Title line.\n"));
  EXPECT_TRUE(SameRecord(r[1], "LPrint", "", 0, "       value 1.5\n"));
  EXPECT_TRUE(SameRecord(r[2], "LNewException", "Unit", 10, "created"));
  EXPECT_TRUE(SameRecord(r[3], "LException", "Unit", 20, "passing"));
  EXPECT_TRUE(SameRecord(r[4], "LGenException", "Unit", 30, ""));
}

// The report lines of the library use %g (six significant digits); long
// lines are not cut.
TEST(Log, PrintFormatsLikePrintf) {
  static const std::string kLong(5000, 'x');
  const std::vector<std::pair<std::string, void (*)()>> cases = {
      {"       The supplied value = 9.9e-13\n", [] { LPrint("       The supplied value = %g\n", 9.9e-13); }},
      {"x = 3.14159\n", [] { LPrint("x = %g\n", 3.14159265358979); }},
      {"3 of four: 2.5e+30\n", [] { LPrint("%d of %s: %g\n", 3, "four", 2.5e30); }},
      {"", [] { LPrint("%s", ""); }},
      {"[" + kLong + "]", [] { LPrint("[%s]", kLong.c_str()); }},
  };
  for (const auto& [expected, print] : cases) {
    LogCapture capture;
    print();
    ASSERT_EQ(capture.Records().size(), 1u) << expected;
    EXPECT_EQ(capture.Records()[0].text, expected);
  }
}

TEST(Log, NestedCapturesEachRecordWhileTheyLive) {
  LogCapture outer;
  LError("one\n");
  {
    LogCapture inner;
    LError("two\n");
    EXPECT_EQ(inner.Records().size(), 1u);
    inner.Clear();
    LError("three\n");
    ASSERT_EQ(inner.Records().size(), 1u);
    EXPECT_EQ(inner.Records()[0].text, "three\n");
  }
  LError("four\n");
  const auto& r = outer.Records();
  ASSERT_EQ(r.size(), 4u) << rbotest::Dump(r);  // Clear on the inner capture left the outer alone
  EXPECT_EQ(r[0].text, "one\n");
  EXPECT_EQ(r[3].text, "four\n");
  LogCapture late;
  EXPECT_TRUE(late.Records().empty());
}

// Analyses may log from worker threads: every call is recorded exactly once.
TEST(Log, ConcurrentCallsAreAllRecorded) {
  constexpr int kThreads = 4, kCalls = 250;
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kCalls; ++i) LPrint("%d %d\n", t, i);
    });
  for (auto& th : threads) th.join();
  ASSERT_EQ(capture.Records().size(), std::size_t(kThreads * kCalls));
  std::vector<int> seen(kThreads * kCalls, 0);
  for (const auto& r : capture.Records()) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(r.text.c_str(), "%d %d", &t, &i), 2);
    ++seen[std::size_t(t * kCalls + i)];
  }
  for (int n : seen) EXPECT_EQ(n, 1);
}

// ---- the output stream ----

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/rbo_log_test_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    m_strPath = name;
    refhost::SetLogEcho(true);
  }
  void TearDown() override {
    refhost::OpenLog("");
    refhost::SetLogEcho(false);  // the test entry keeps expected failures out of the output
    std::remove(m_strPath.c_str());
  }
  std::string Contents() const {
    std::ifstream in(m_strPath);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string m_strPath;  ///< the log file of the test
};

TEST_F(LogFile, OpenLogSendsEveryCallToTheFileAndAppends) {
  refhost::OpenLog(m_strPath);
  EXPECT_NE(fVLog, stderr);
  LError("Invalid distribution type of the random variable.\n");
  LPrint("       The supplied value = %g\n", 0.25);
  LNewException("RandVar", 123, "Object type is invalid");
  refhost::OpenLog("-");
  EXPECT_EQ(fVLog, stderr);
  refhost::OpenLog(m_strPath);  // reopening appends
  LGenException("RandVarModules", 456);
  refhost::OpenLog("");
  const std::string text = Contents();
  EXPECT_NE(text.find("Invalid distribution type of the random variable.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("       The supplied value = 0.25\n"), std::string::npos) << text;
  const std::size_t newException = text.find("RandVar");
  ASSERT_NE(newException, std::string::npos) << text;
  EXPECT_NE(text.find("123", newException), std::string::npos) << text;
  EXPECT_NE(text.find("Object type is invalid"), std::string::npos) << text;
  EXPECT_NE(text.find("456"), std::string::npos) << text;
  EXPECT_LT(text.find("Object type is invalid"), text.find("456"));
}

TEST_F(LogFile, EchoOffWritesNothingButCapturesStillRecordAndAnUnopenableFileKeepsTheStream) {
  refhost::OpenLog(m_strPath);
  refhost::SetLogEcho(false);
  LogCapture capture;
  LError("silent\n");
  EXPECT_EQ(capture.Records().size(), 1u);
  refhost::SetLogEcho(true);
  EXPECT_THROW(refhost::OpenLog("/nonexistent-directory/for/sure/log.txt"), std::runtime_error);
  LError("still here\n");
  refhost::OpenLog("");
  const std::string text = Contents();
  EXPECT_EQ(text.find("silent"), std::string::npos) << text;
  EXPECT_NE(text.find("still here\n"), std::string::npos) << text;
}

}  // namespace
