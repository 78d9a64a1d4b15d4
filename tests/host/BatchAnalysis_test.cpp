// The reference host's batch analysis: chunks of analysis points per call,
// the checks of what a call gives, and the ProblemBuilder's batch adapter,
// each against the per-point runner as the reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/foundation/Matrix.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ProblemBuilder.h"
#include "rbo/host/ReferenceHost.h"
#include "support/Numbers.h"

namespace {

using VD = std::valarray<double>;

class BatchAnalysis : public ::testing::Test {
 protected:
  void TearDown() override { refhost::SetAnalysis(nullptr); }

  void Run(CMatrix<double>& in, CMatrix<double>& out, bool bParallel) {
    if (bParallel)
      AnalysePar(in, out, m_s, m_s, m_s, m_s, m_s, m_s, 0, false, m_s, 0);
    else
      Analysis(in, out, m_s, m_s, m_s, m_s, false, 0, -1);
  }

  std::string m_s;  // the file and program names, which the in-process runner ignores
};

// 2 inputs per point; point j is (j, 1 - 0.25 j).
CMatrix<double> Points(int nPoints) {
  CMatrix<double> m(2, nPoints);
  for (int j = 0; j < nPoints; ++j) {
    m(0, j) = j;
    m(1, j) = 1.0 - 0.25 * j;
  }
  return m;
}

void DifferenceAndProduct(const VD& in, VD& out) {
  out[0] = in[0] - in[1];
  out[1] = in[0] * in[1];
}

// The same model, a batch at a time.
void BatchDifferenceAndProduct(const CMatrix<double>& in, CMatrix<double>& out) {
  for (int j = 0; j < in.Cols(); ++j) {
    out(0, j) = in(0, j) - in(1, j);
    out(1, j) = in(0, j) * in(1, j);
  }
}

// "10003 (inputs 10003, -2499.75)": point j of Points and its inputs.
std::string Inputs(int j) {
  char text[96];
  std::snprintf(text, sizeof text, "%d (inputs %.10g, %.10g)", j, double(j), 1.0 - 0.25 * j);
  return text;
}

TEST_F(BatchAnalysis, ColumnsGoInChunksAndGiveWhatThePerPointRunnerGives) {
  const int nColumns = 2 * refhost::kBatchColumns + refhost::kBatchColumns / 2;
  CMatrix<double> in = Points(nColumns), expected(2, nColumns);
  refhost::AnalyseColumns(DifferenceAndProduct, in, expected, false);
  for (bool bParallel : {false, true}) {
    std::vector<int> sizes;
    refhost::SetBatchAnalysis([&sizes](const CMatrix<double>& x, CMatrix<double>& y) {
      sizes.push_back(x.Cols());
      BatchDifferenceAndProduct(x, y);
    });
    CMatrix<double> out(2, 1);
    Run(in, out, bParallel);
    EXPECT_EQ(sizes, (std::vector<int>{refhost::kBatchColumns, refhost::kBatchColumns, refhost::kBatchColumns / 2}));
    EXPECT_TRUE((out.Storage() == expected.Storage()).min());
  }
}

TEST_F(BatchAnalysis, SettingOneKindOfAnalysisReplacesTheOther) {
  CMatrix<double> in = Points(3), out(2, 3);
  refhost::SetBatchAnalysis([](const CMatrix<double>&, CMatrix<double>&) { throw std::runtime_error("batch"); });
  refhost::SetAnalysis(DifferenceAndProduct);
  Run(in, out, false);
  EXPECT_EQ(out(0, 2), 2.0 - 0.5);
  refhost::SetBatchAnalysis(nullptr);
  EXPECT_EQ(testsupport::WhatOf<std::runtime_error>([&] { Run(in, out, false); }),
            "Analysis: no analysis function is set (refhost::SetAnalysis)");
}

TEST_F(BatchAnalysis, BadCallsAreReportedNamingThePoints) {
  const int k = refhost::kBatchColumns;
  const char* kUnwritten = "(an output the analysis does not write is nan)";
  struct Case {
    refhost::BatchAnalysisFunction analysis;
    int nColumns;
    std::string message;
  };
  const Case cases[] = {
      // a non-finite value in the second chunk: the point's index in the whole matrix
      {[](const CMatrix<double>& x, CMatrix<double>& y) {
         BatchDifferenceAndProduct(x, y);
         if (x(0, 0) > 0.0) y(1, 3) = HUGE_VAL;
       },
       k + 5, "analysis point " + Inputs(k + 3) + " gave the non-finite value inf for output 1 " + kUnwritten},
      {[](const CMatrix<double>& x, CMatrix<double>& y) { y(0, x.Cols() - 1) = 0.0; }, 2,
       std::string("analysis point 0 (inputs 0, 1) gave the non-finite value nan for output 0 ") + kUnwritten},
      {[](const CMatrix<double>&, CMatrix<double>& y) { y = CMatrix<double>(2, 1); }, 3,
       "analysis points 0 to 2 gave 2 x 1 outputs instead of 2 x 3"},
      {[](const CMatrix<double>&, CMatrix<double>&) { throw std::runtime_error("x"); }, 1,
       "analysis point 0 failed: x"},
  };
  for (const Case& c : cases) {
    refhost::SetBatchAnalysis(c.analysis);
    CMatrix<double> in = Points(c.nColumns), out(2, c.nColumns);
    EXPECT_EQ(testsupport::WhatOf<std::runtime_error>([&] { Run(in, out, false); }), c.message);
  }
}

// A problem on each path of the builder: its batch adapter must lay out the
// host's vectors exactly as its per-point adapter does.
TEST_F(BatchAnalysis, TheBuildersBatchAdapterLaysOutWhatItsPointAdapterDoes) {
  refhost::ProblemBuilder deterministic;  // a random variable, but no random response
  deterministic.AddDesignVariable("a", 1.0);
  deterministic.AddRandomParameter("b", 0, 2.0, 0.2);
  deterministic.AddResponse("d");
  deterministic.AddResponse("p");
  refhost::ProblemBuilder random;
  random.AddRandomDesignVariable("a", 0, 1.0, 0.1);
  random.AddRandomParameter("b", 0, 2.0, 0.2);
  random.AddRandomResponse("d");
  random.AddResponse("p");
  for (const refhost::ProblemBuilder* b : {&deterministic, &random}) {
    ASSERT_EQ(b->IsRandom(), b == &random);
    // Inputs as the host lays them out (the deterministic path: a's value,
    // b's mean and sd), every entry distinct.
    const int nRows = b->IsRandom() ? 2 : 3;
    CMatrix<double> in(nRows, 4);
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < nRows; ++i) in(i, j) = 1.0 + i + 10.0 * j;
    const int nOutputs = b->IsRandom() ? 2 : int(deterministic.Build()->m_vRespIndexOfEntry.size());
    CMatrix<double> expected(nOutputs, 4), out(nOutputs, 4);
    refhost::AnalyseColumns(b->Analysis(DifferenceAndProduct), in, expected, false);
    refhost::AnalyseBatch(b->BatchAnalysis(BatchDifferenceAndProduct), in, out);
    EXPECT_TRUE((out.Storage() == expected.Storage()).min());
  }
}

}  // namespace
