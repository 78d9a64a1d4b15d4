// The reference host's matrix dump and monotonic clock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "rbo/host/Utility.h"

namespace {

// Everything written to a temporary stream by f.
template <class F>
std::string Captured(F f) {
  std::FILE* stream = std::tmpfile();
  EXPECT_NE(stream, nullptr);
  f(stream);
  std::rewind(stream);
  std::string text;
  for (int ch; (ch = std::fgetc(stream)) != EOF;) text += char(ch);
  std::fclose(stream);
  return text;
}

TEST(DumpDoubleMatrix, TitleThenRowsThatReadBackExactly) {
  const std::vector<double> values = {0.1, 1.0 / 3.0, -1e-300, 1e30, -2.5, 6.02214076e23};
  CMatrix<double> M(2, 3, std::valarray<double>(values.data(), values.size()), false);
  const std::string text = Captured([&](std::FILE* s) { CDebugUtil::DumpDoubleMatrix("X For random:", s, M, 0, 0); });
  std::istringstream lines(text);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "X For random:");
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(std::getline(lines, line)) << "row " << i;
    std::istringstream fields(line);
    std::string field;
    int j = 0;
    for (; fields >> field; ++j) {
      ASSERT_LT(j, 3) << line;
      EXPECT_EQ(std::strtod(field.c_str(), nullptr), M(i, j)) << "(" << i << ", " << j << ") as " << field;
    }
    EXPECT_EQ(j, 3) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << "nothing after the last row";
  // A title ending in a newline is not doubled; an empty matrix gives the title only.
  CMatrix<double> empty;
  EXPECT_EQ(Captured([&](std::FILE* s) { CDebugUtil::DumpDoubleMatrix("Y:\n", s, empty, 0, 0); }), "Y:\n");
}

TEST(LogTime, MyTimeMarkReadsTheMonotonicClockInSeconds) {
  const double before = CLogTime::MyTimeMark();
  const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  const double after = CLogTime::MyTimeMark();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

}  // namespace
