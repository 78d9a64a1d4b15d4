// CMatrix: dimension checks and their order, column-major layout, views,
// the checked modifiers (including the empty-matrix rules), deep copies, and
// that a failed check leaves the matrix as it was and logs nothing.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <valarray>
#include <vector>

#include "foundation/LogTrace.h"
#include "rbo/foundation/Matrix.h"
#include "support/Numbers.h"

namespace {

using Matrix = CMatrix<double>;
using Array = std::valarray<double>;

Array Values(std::initializer_list<double> v) { return Array(v); }

std::vector<double> StorageOf(const Matrix& m) {
  return std::vector<double>(std::begin(m.Storage()), std::end(m.Storage()));
}

// Runs f, which must throw out_of_range with exactly this text and log
// nothing (no exception gives "", another type escapes and fails the test).
void ExpectOutOfRange(const std::function<void()>& f, const std::string& text) {
  refhost::LogCapture capture;
  EXPECT_EQ(testsupport::WhatOf<std::out_of_range>(f), text);
  EXPECT_TRUE(capture.Records().empty()) << rbotest::Dump(capture.Records());
}

// Shared with the host by reference: one virtual function, the destructor.
static_assert(std::is_polymorphic<CMatrix<double>>::value && std::has_virtual_destructor<CMatrix<double>>::value,
              "CMatrix has a virtual destructor");

struct BadSize {
  int nRows, nCols, nValues;  // nValues < 0: the constructor without values
  const char* pszMessage;
};
void PrintTo(const BadSize& c, std::ostream* os) { *os << c.nRows << "x" << c.nCols << " values " << c.nValues; }

class MatrixBadSize : public ::testing::TestWithParam<BadSize> {};

TEST_P(MatrixBadSize, ThrowsTheFirstFailedCheck) {
  const BadSize c = GetParam();
  if (c.nValues < 0) {
    ExpectOutOfRange([&] { Matrix m(c.nRows, c.nCols); }, c.pszMessage);
    ExpectOutOfRange([&] { Matrix m(c.nRows, c.nCols, 1.5); }, c.pszMessage);
    ExpectOutOfRange([&] { CMatrix<int> m(c.nRows, c.nCols); }, c.pszMessage);
  } else {
    const Array values(1.0, std::size_t(c.nValues));
    ExpectOutOfRange([&] { Matrix m(c.nRows, c.nCols, values, true); }, c.pszMessage);
    ExpectOutOfRange([&] { Matrix m(c.nRows, c.nCols, values, false); }, c.pszMessage);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Checks, MatrixBadSize,
    ::testing::Values(BadSize{-1, 3, -1, "CMatrix: invalid number of rows"},
                      BadSize{-1, -1, -1, "CMatrix: invalid number of rows"},  // rows before columns
                      BadSize{2, -1, -1, "CMatrix: invalid number of columns"},
                      BadSize{-1, 3, 3, "CMatrix: invalid number of rows"},  // dimensions before the size
                      BadSize{2, -3, 6, "CMatrix: invalid number of columns"},
                      BadSize{2, 3, 5, "CMatrix: size mismatch"}, BadSize{2, 3, 7, "CMatrix: size mismatch"},
                      BadSize{0, 3, 1, "CMatrix: size mismatch"}));

TEST(Matrix, ConstructorsSizeAndFill) {
  const Matrix empty, zeros(2, 3), fives(3, 2, 5.0), none(0, 5);
  struct Case {
    const Matrix& m;
    int nRows, nCols;
    std::vector<double> storage;
  };
  for (const Case& c : {Case{empty, 0, 0, {}}, Case{zeros, 2, 3, std::vector<double>(6, 0.0)},
                        Case{fives, 3, 2, std::vector<double>(6, 5.0)}, Case{none, 0, 5, {}}}) {
    EXPECT_EQ(c.m.Rows(), c.nRows);
    EXPECT_EQ(c.m.Cols(), c.nCols);
    EXPECT_EQ(StorageOf(c.m), c.storage);
  }
}

// Element (i, j) lives at i + j * rows whichever order the values came in.
TEST(Matrix, ValuesAreStoredColumnMajor) {
  Matrix byRows(2, 3, Values({1, 2, 3, 4, 5, 6}), false);
  EXPECT_EQ(StorageOf(byRows), (std::vector<double>{1, 4, 2, 5, 3, 6}));
  Array row;
  byRows.GetRow(1, row);
  EXPECT_EQ(std::vector<double>(std::begin(row), std::end(row)), (std::vector<double>{4, 5, 6}));
  EXPECT_EQ(byRows(1, 2), 6.0);

  Matrix byCols(2, 3, Values({1, 2, 3, 4, 5, 6}), true);
  EXPECT_EQ(StorageOf(byCols), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  Array col(99.0, 7);  // wrong size on purpose: GetCol resizes
  byCols.GetCol(2, col);
  EXPECT_EQ(std::vector<double>(std::begin(col), std::end(col)), (std::vector<double>{5, 6}));
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(byCols(i, j), byCols.Storage()[std::size_t(i + j * 2)]);
}

TEST(Matrix, RowAndColumnViewsAreStridedWindowsOntoTheStorage) {
  Matrix m(3, 2, Values({1, 2, 3, 4, 5, 6}), true);
  auto row = m.Row(1);  // elements (1, 0), (1, 1)
  ASSERT_EQ(row.size(), 2u);
  EXPECT_EQ(row[0], 2.0);
  EXPECT_EQ(row[1], 5.0);
  auto col = m.Col(1);
  ASSERT_EQ(col.size(), 3u);
  EXPECT_EQ(col[2], 6.0);
  row[1] = -5.0;  // views write through
  EXPECT_EQ(m(1, 1), -5.0);
  EXPECT_EQ(col[1], -5.0);
}

TEST(Matrix, ReplaceColOverwritesOneColumnInPlace) {
  Matrix m(2, 3, Values({1, 2, 3, 4, 5, 6}), true);
  auto col0 = m.Col(0);
  m.ReplaceCol(1, Values({-3, -4}));
  EXPECT_EQ(StorageOf(m), (std::vector<double>{1, 2, -3, -4, 5, 6}));
  col0[1] = 20.0;  // the storage was kept: views of other columns stay valid
  EXPECT_EQ(m(1, 0), 20.0);
}

TEST(Matrix, ReplaceColChecksTheColumnBeforeTheSize) {
  Matrix m(2, 3, Values({1, 2, 3, 4, 5, 6}), true);
  const std::vector<double> before = StorageOf(m);
  ExpectOutOfRange([&] { m.ReplaceCol(3, Values({1, 2, 3})); }, "CMatrix::ReplaceCol invalid column number");
  ExpectOutOfRange([&] { m.ReplaceCol(-1, Values({1, 2})); }, "CMatrix::ReplaceCol invalid column number");
  ExpectOutOfRange([&] { m.ReplaceCol(0, Values({1, 2, 3})); }, "CMatrix::ReplaceCol invalid array size");
  ExpectOutOfRange([&] { m.ReplaceCol(0, Values({1})); }, "CMatrix::ReplaceCol invalid array size");
  EXPECT_EQ(StorageOf(m), before);
  EXPECT_EQ(m.Rows(), 2);
  EXPECT_EQ(m.Cols(), 3);
}

struct AppendCase {
  const char* pszName;
  Matrix start;
  bool bRow;  ///< AppendRow, else AppendCol
  Array values;
  int nRows, nCols;
  std::vector<double> storage;
};

TEST(Matrix, AppendsGrowAndKeepTheOldElements) {
  const AppendCase cases[] = {
      {"row to the empty matrix", Matrix(), true, Values({7, 8, 9}), 1, 3, {7, 8, 9}},
      {"row to 2x3",
       Matrix(2, 3, Values({1, 2, 3, 4, 5, 6}), false),
       true,
       Values({7, 8, 9}),
       3,
       3,
       {1, 4, 7, 2, 5, 8, 3, 6, 9}},
      {"row to 0x5: not empty", Matrix(0, 5), true, Values({1, 2, 3, 4, 5}), 1, 5, {1, 2, 3, 4, 5}},
      {"empty row to the empty matrix", Matrix(), true, Array(), 1, 0, {}},
      {"column to the empty matrix", Matrix(), false, Values({1, 2, 3, 4}), 4, 1, {1, 2, 3, 4}},
      {"column to 2x2", Matrix(2, 2, Values({1, 2, 3, 4}), true), false, Values({5, 6}), 2, 3, {1, 2, 3, 4, 5, 6}},
      {"column to 3x0: not empty", Matrix(3, 0), false, Values({1, 2, 3}), 3, 1, {1, 2, 3}},
  };
  for (AppendCase c : cases) {
    SCOPED_TRACE(c.pszName);
    c.bRow ? c.start.AppendRow(c.values) : c.start.AppendCol(c.values);
    EXPECT_EQ(c.start.Rows(), c.nRows);
    EXPECT_EQ(c.start.Cols(), c.nCols);
    EXPECT_EQ(StorageOf(c.start), c.storage);
  }
}

TEST(Matrix, FailedAppendsLeaveTheMatrixUnchanged) {
  Matrix m(2, 3, Values({1, 2, 3, 4, 5, 6}), true);
  const std::vector<double> before = StorageOf(m);
  ExpectOutOfRange([&] { m.AppendRow(Values({1, 2})); }, "CMatrix::AppendRow invalid array size");
  ExpectOutOfRange([&] { m.AppendRow(Values({1, 2, 3, 4})); }, "CMatrix::AppendRow invalid array size");
  ExpectOutOfRange([&] { m.AppendCol(Values({1, 2, 3})); }, "CMatrix::AppendCol invalid array size");
  ExpectOutOfRange([&] { m.AppendCol(Array()); }, "CMatrix::AppendCol invalid array size");
  EXPECT_EQ(m.Rows(), 2);
  EXPECT_EQ(m.Cols(), 3);
  EXPECT_EQ(StorageOf(m), before);
  // A matrix with a zero dimension is not empty: the other one must match.
  Matrix noRows(0, 5), noCols(3, 0), oneByZero;
  oneByZero.AppendRow(Array());
  ExpectOutOfRange([&] { noRows.AppendRow(Values({1, 2, 3, 4})); }, "CMatrix::AppendRow invalid array size");
  ExpectOutOfRange([&] { noCols.AppendCol(Values({1, 2})); }, "CMatrix::AppendCol invalid array size");
  ExpectOutOfRange([&] { oneByZero.AppendRow(Values({1, 2, 3})); }, "CMatrix::AppendRow invalid array size");
  EXPECT_EQ(noRows.Cols(), 5);
  EXPECT_EQ(noCols.Rows(), 3);
  EXPECT_EQ(oneByZero.Rows(), 1);
  EXPECT_EQ(oneByZero.Cols(), 0);
}

TEST(Matrix, CopiesAreDeepAndTakeTheSourceDimensions) {
  Matrix b(2, 2, Values({1, 2, 3, 4}), true);
  Matrix a(4, 4, 1.0);
  a = b;
  const Matrix c(b);
  b(0, 0) = 100.0;
  b.AppendCol(Values({5, 6}));
  EXPECT_EQ(a.Rows(), 2);
  EXPECT_EQ(a.Cols(), 2);
  EXPECT_EQ(StorageOf(a), (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(StorageOf(c), (std::vector<double>{1, 2, 3, 4}));
  a(1, 1) = -1.0;
  EXPECT_EQ(b(1, 1), 4.0);
  Matrix& alias = a;
  a = alias;  // self-assignment keeps the contents
  EXPECT_EQ(StorageOf(a), (std::vector<double>{1, 2, 3, -1}));
}

}  // namespace

// Debug builds stop an index outside the matrix at the accessor; release
// builds keep the accessors unchecked (nothing to test there).
#ifndef NDEBUG
TEST(MatrixDeathTest, DebugBuildsAssertElementAndColumnIndices) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Matrix m(2, 3, 1.0);
  const Matrix& c = m;
  Array out;
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"row index", [&] { m(2, 0) = 0.0; }},        {"row index", [&] { (void)c(-1, 0); }},
      {"column index", [&] { m(0, 3) = 0.0; }},     {"column index", [&] { (void)m.ColData(3); }},
      {"column index", [&] { m.GetCol(-1, out); }}, {"row index", [&] { m.GetRow(2, out); }},
      {"column index", [&] { (void)m.Col(3); }},    {"index outside the view", [&] { (void)m.Row(0)[3]; }},
  };
  for (const auto& [pszWhat, access] : cases) EXPECT_DEATH(access(), pszWhat) << pszWhat;
  // The last valid indices pass.
  m(1, 2) = 5.0;
  EXPECT_EQ(m.Col(2)[1], 5.0);
}
#endif
