// The per-point analysis with its chunk form (SetAnalysis(f, chunks)): the
// runners give chunks of consecutive points to the chunk form and analyse a
// chunk in which some point fails again point by point, so outputs and
// reports are those of the per-point analysis alone.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/foundation/Matrix.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"
#include "support/Numbers.h"

namespace {

using VD = std::valarray<double>;

// Point j is (j, sin j); the model is (a / (b - 0.5), a * b): the first
// output is infinite where sin j is 0.5 exactly (never) and the points
// marked bad are made to fail by the analyses below.
CMatrix<double> Points(int nPoints) {
  CMatrix<double> m(2, nPoints);
  for (int j = 0; j < nPoints; ++j) {
    m(0, j) = j;
    m(1, j) = std::sin(double(j));
  }
  return m;
}

void PointModel(const VD& in, VD& out) {
  out[0] = in[0] / (in[1] - 0.5);
  out[1] = in[0] * in[1];
}

void ChunkModel(const CMatrix<double>& in, CMatrix<double>& out) {
  for (int j = 0; j < in.Cols(); ++j) {
    out(0, j) = in(0, j) / (in(1, j) - 0.5);
    out(1, j) = in(0, j) * in(1, j);
  }
}

bool SameBits(const CMatrix<double>& a, const CMatrix<double>& b) {
  return a.Rows() == b.Rows() && a.Cols() == b.Cols() &&
         std::memcmp(a.ColData(0), b.ColData(0), sizeof(double) * std::size_t(a.Rows() * a.Cols())) == 0;
}

class ChunkAnalysis : public ::testing::Test {
 protected:
  void TearDown() override {
    refhost::SetAnalysis(nullptr);
    refhost::SetWorkerCount(0);
  }

  // Runs the analysis set as the library does; "" or the failure's report.
  std::string Run(const CMatrix<double>& in, CMatrix<double>& out, bool bParallel) {
    CMatrix<double> points(in);
    return testsupport::WhatOf<std::runtime_error>([&] {
      if (bParallel)
        AnalysePar(points, out, m_s, m_s, m_s, m_s, m_s, m_s, 0, false, m_s, 0);
      else
        Analysis(points, out, m_s, m_s, m_s, m_s, false, 0, -1);
    });
  }

  std::string m_s;  // the file and program names, which the in-process runner ignores
};

// Points whose analysis fails in both forms: the per-point form throws (or
// gives nan), the chunk form leaves nan (or throws for the whole chunk).
struct FailureCase {
  const char* name;
  std::vector<int> bad;  // failing points
  bool bChunkThrows;     // the chunk form throws instead of leaving nan
  bool bPointThrows;     // the per-point form throws instead of giving nan
};

TEST_F(ChunkAnalysis, OutputsAndReportsAreThoseOfThePerPointAnalysisAlone) {
  const int nColumns = 3 * refhost::kAnalysisChunkColumns + 17;
  const FailureCase cases[] = {
      {"no failure", {}, false, false},
      {"nan in the second chunk", {refhost::kAnalysisChunkColumns + 5}, false, false},
      {"the chunk form throws", {40}, true, false},
      {"the point throws, two bad points", {2 * refhost::kAnalysisChunkColumns + 1, 900}, false, true},
      {"last point", {nColumns - 1}, false, true},
  };
  const CMatrix<double> in = Points(nColumns);
  for (const FailureCase& c : cases) {
    auto isBad = [&c](double a) {
      for (int b : c.bad)
        if (a == double(b)) return true;
      return false;
    };
    auto point = [&](const VD& x, VD& y) {
      if (isBad(x[0]) && c.bPointThrows) throw std::domain_error("bad point");
      PointModel(x, y);
      if (isBad(x[0])) y[1] = std::nan("");
    };
    std::atomic<int> nChunkPoints{0};
    auto chunks = [&](const CMatrix<double>& x, CMatrix<double>& y) {
      nChunkPoints += x.Cols();
      ChunkModel(x, y);
      for (int j = 0; j < x.Cols(); ++j)
        if (isBad(x(0, j))) {
          if (c.bChunkThrows) throw std::runtime_error("chunk");
          y(1, j) = std::nan("");
        }
    };
    for (int nWorkers : {1, 2, 3}) {
      SCOPED_TRACE(std::string(c.name) + ", workers " + std::to_string(nWorkers));
      refhost::SetWorkerCount(nWorkers);
      for (bool bParallel : {false, true}) {
        CMatrix<double> expected(2, 1), out(2, 1);
        refhost::SetAnalysis(point);
        const std::string expectedReport = Run(in, expected, bParallel);
        refhost::SetAnalysis(point, chunks);
        nChunkPoints = 0;
        EXPECT_EQ(Run(in, out, bParallel), expectedReport);
        if (c.bad.empty()) {
          EXPECT_TRUE(SameBits(out, expected));
          EXPECT_EQ(nChunkPoints.load(), nColumns);  // every point went through the chunk form
        }
      }
    }
  }
}

TEST_F(ChunkAnalysis, TheLowestFailingPointIsReportedWhateverTheTiming) {
  const int nColumns = 4 * refhost::kAnalysisChunkColumns;
  const CMatrix<double> in = Points(nColumns);
  // Bad points early in the second chunk and late in the first: the first
  // chunk's worker reaches its bad point last.
  const double bad1 = double(refhost::kAnalysisChunkColumns + 2), bad0 = double(refhost::kAnalysisChunkColumns - 3);
  auto point = [&](const VD& x, VD& y) {
    if (x[0] == bad0 || x[0] == bad1) throw std::domain_error("bad point");
    PointModel(x, y);
  };
  auto chunks = [&](const CMatrix<double>& x, CMatrix<double>& y) {
    ChunkModel(x, y);
    for (int j = 0; j < x.Cols(); ++j)
      if (x(0, j) == bad0 || x(0, j) == bad1) y(0, j) = std::nan("");
  };
  refhost::SetAnalysis(point, chunks);
  refhost::SetWorkerCount(2);
  const std::string expected =
      "analysis point " + std::to_string(int(bad0)) + " (inputs " + std::to_string(int(bad0)) + ", ";
  for (int i = 0; i < 20; ++i) {
    CMatrix<double> out(2, 1);
    EXPECT_EQ(Run(in, out, true).substr(0, expected.size()), expected);
  }
}

TEST_F(ChunkAnalysis, KeptFailuresAreTheSameWithChunks) {
  const int nColumns = 2 * refhost::kAnalysisChunkColumns;
  const CMatrix<double> in = Points(nColumns);
  auto point = [](const VD& x, VD& y) {
    if (int(x[0]) % 1000 == 7) throw std::domain_error("bad point");
    PointModel(x, y);
  };
  auto chunks = [](const CMatrix<double>& x, CMatrix<double>& y) {
    ChunkModel(x, y);
    for (int j = 0; j < x.Cols(); ++j)
      if (int(x(0, j)) % 1000 == 7) y(0, j) = std::nan("");
  };
  for (bool bParallel : {false, true}) {
    refhost::SetWorkerCount(2);
    std::vector<std::string> expected, failures;
    CMatrix<double> outExpected(2, 1), out(2, 1);
    refhost::AnalyseColumnsKeepingFailures(point, in, outExpected, bParallel, 100, &expected);
    refhost::AnalyseColumnsKeepingFailures(point, chunks, in, out, bParallel, 100, &failures);
    EXPECT_EQ(failures, expected);
    EXPECT_EQ(failures[7], "analysis point 107 (inputs 7, 0.6569865987) failed: bad point");
    EXPECT_TRUE(SameBits(out, outExpected));
  }
}

}  // namespace
