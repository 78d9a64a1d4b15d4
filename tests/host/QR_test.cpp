// The reference host's weighted least-squares solver: exact recovery,
// weighting, the rank test and argument checks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "rbo/host/DBUtils.h"
#include "rbo/host/Utility.h"

namespace {

CMatrix<double> Rows(int nRows, int nCols, std::vector<double> rowMajor) {
  return CMatrix<double>(nRows, nCols, std::valarray<double>(rowMajor.data(), rowMajor.size()), false);
}

CMatrix<double> Model(int order, const CMatrix<double>& points) {
  CMatrix<double> X = points;
  std::valarray<double> w(1.0, std::size_t(X.Rows()));
  CMatrix<int> E;
  CMatrix<double> A;
  EXPECT_GT(CreateCheckApproxModelMatrix(order, X.Cols(), X.Rows(), 0, true, X, w, E, A), 0);
  return A;
}

CMatrix<double> Product(const CMatrix<double>& A, const CMatrix<double>& K) {
  CMatrix<double> Y(A.Rows(), K.Cols());
  for (int p = 0; p < A.Rows(); ++p)
    for (int c = 0; c < K.Cols(); ++c)
      for (int t = 0; t < A.Cols(); ++t) Y(p, c) += A(p, t) * K(t, c);
  return Y;
}

TEST(QRSolve, RecoversTheCoefficientsOfAnExactQuadratic) {
  std::mt19937 gen(3u);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  CMatrix<double> X(15, 3);
  for (int p = 0; p < 15; ++p)
    for (int i = 0; i < 3; ++i) X(p, i) = u(gen);
  CMatrix<double> A = Model(2, X);  // 10 terms
  CMatrix<double> Ktrue(10, 2);
  for (int t = 0; t < 10; ++t) {
    Ktrue(t, 0) = t - 4.5;
    Ktrue(t, 1) = 1.0 / (t + 1);
  }
  CMatrix<double> Y = Product(A, Ktrue);
  std::valarray<double> w(1.0, 15);
  CMatrix<double> K(1, 1);  // wrong shape on purpose: the solver resizes it
  CQR qr(A, w, Y, K);
  EXPECT_TRUE(qr.IsFullRank());
  ASSERT_EQ(K.Rows(), 10);
  ASSERT_EQ(K.Cols(), 2);
  // Zero residual; a backward-stable QR with condition ~1e2 is good to
  // ~1e-14 on coefficients of order 1.
  for (int c = 0; c < 2; ++c)
    for (int t = 0; t < 10; ++t) EXPECT_NEAR(K(t, c), Ktrue(t, c), 1e-12) << "t " << t << " c " << c;
}

TEST(QRSolve, RankTestDoesNotDependOnTheVariablesUnits) {
  // A cubic in x = 1e4 .. 5e4: the monomial columns differ by 13 orders of
  // magnitude, yet the five points determine it.
  CMatrix<double> X(5, 1);
  for (int p = 0; p < 5; ++p) X(p, 0) = 1e4 * (p + 1);
  CMatrix<double> A = Model(3, X);
  CMatrix<double> Ktrue = Rows(4, 1, {1.0, 2e-4, -3e-8, 4e-12});  // each term O(1) at the points
  CMatrix<double> Y = Product(A, Ktrue);
  std::valarray<double> w(1.0, 5);
  CMatrix<double> K;
  CQR qr(A, w, Y, K);
  EXPECT_TRUE(qr.IsFullRank());
  // Relative to each coefficient: the scaled problem is a Vandermonde
  // matrix on 1..5 (condition ~1e3).
  for (int t = 0; t < 4; ++t) EXPECT_NEAR(K(t, 0), Ktrue(t, 0), 1e-9 * std::fabs(Ktrue(t, 0))) << "t " << t;
}

TEST(QRSolve, WeightsMatchTheWeightedNormalEquationsRepeatOrDropPoints) {
  // y = a + b x at x = 0, 1, 2, y = 0, 1, 3, w = 1, 2, 3.  Sums: S = 6,
  // Sx = 8, Sxx = 14, Sy = 11, Sxy = 20; b = (6*20 - 8*11) / (6*14 - 64) = 1.6,
  // a = (11 - 1.6*8) / 6 = -0.3.
  CMatrix<double> A3 = Rows(3, 2, {1, 0, 1, 1, 1, 2});
  CMatrix<double> Y3 = Rows(3, 1, {0, 1, 3});
  std::valarray<double> w = {1.0, 2.0, 3.0};
  CMatrix<double> K;
  EXPECT_TRUE(CQR(A3, w, Y3, K).IsFullRank());
  EXPECT_NEAR(K(0, 0), -0.3, 1e-14);  // a 3 x 2 system of small integers
  EXPECT_NEAR(K(1, 0), 1.6, 1e-14);

  // Weight 2 on row 0 equals listing row 0 twice; weight 0 on an outlier
  // leaves the exact line through the other points.
  CMatrix<double> A = Rows(4, 2, {1, 0, 1, 1, 1, 3, 1, 5});
  CMatrix<double> Y = Rows(4, 1, {0.5, 1.0, 4.0, 100.0});
  CMatrix<double> Adup = Rows(5, 2, {1, 0, 1, 0, 1, 1, 1, 3, 1, 5});
  CMatrix<double> Ydup = Rows(5, 1, {0.5, 0.5, 1.0, 4.0, 100.0});
  std::valarray<double> w2 = {2.0, 1.0, 1.0, 1.0}, w1(1.0, 5);
  CMatrix<double> Kdup;
  CQR qr(A, w2, Y, K);
  CQR qrDup(Adup, w1, Ydup, Kdup);
  for (int t = 0; t < 2; ++t) EXPECT_NEAR(K(t, 0), Kdup(t, 0), 1e-12) << "t " << t;  // values ~1e1

  CMatrix<double> Yline = Rows(4, 1, {1.0, 3.0, 7.0, -50.0});  // y = 1 + 2x, outlier last
  std::valarray<double> wDrop = {1.0, 1.0, 1.0, 0.0};
  CQR qrDrop(A, wDrop, Yline, K);
  EXPECT_TRUE(qrDrop.IsFullRank());
  EXPECT_NEAR(K(0, 0), 1.0, 1e-14);
  EXPECT_NEAR(K(1, 0), 2.0, 1e-14);
}

TEST(QRSolve, ReportsRankDeficiency) {
  const struct {
    const char* name;
    int order, nVars;
    std::vector<double> points;   // row-major, nVars per point
    std::vector<double> weights;  // empty: all 1
  } kCases[] = {
      // Two distinct points for a 4-term model.
      {"Duplicates", 0, 3, {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}, {}},
      // Quadratic in 3 variables (10 terms) over 6 distinct points listed twice.
      {"TooFewDistinct",
       2,
       3,
       {1, 0, 2, 0, 1, 3, 2, 2, 0, -1, 1, 1, 3, -2, 1, 0.5, 0.5, -1,
        1, 0, 2, 0, 1, 3, 2, 2, 0, -1, 1, 1, 3, -2, 1, 0.5, 0.5, -1},
       {}},
      // Points on the line x = y, and the same with one point 1e-13 off it
      // (condition ~1e14, beyond the 1e-12 pivot ratio).
      {"Collinear", 0, 2, {0, 0, 1, 1, 2, 2, 3, 3, -1, -1}, {}},
      {"NearlyCollinear", 0, 2, {0, 0, 1, 1, 2, 2 + 1e-13, 3, 3, -1, -1}, {}},
      {"ZeroColumn", 0, 2, {1, 0, 2, 0, 3, 0, 4, 0}, {}},             // a variable that is always 0
      {"ZeroWeights", 0, 2, {0, 0, 1, 0, 0, 1, 1, 1}, {1, 1, 0, 0}},  // two points left for three terms
  };
  for (const auto& dc : kCases) {
    SCOPED_TRACE(dc.name);
    const int nPoints = int(dc.points.size()) / dc.nVars;
    CMatrix<double> A = Model(dc.order, Rows(nPoints, dc.nVars, dc.points));
    ASSERT_LE(A.Cols(), nPoints) << "enough rows: only their content is deficient";
    std::valarray<double> w(1.0, std::size_t(nPoints));
    for (std::size_t p = 0; p < dc.weights.size(); ++p) w[p] = dc.weights[p];
    CMatrix<double> Y(nPoints, 1, 1.0);
    CMatrix<double> K;
    CQR qr(A, w, Y, K);
    EXPECT_FALSE(qr.IsFullRank());
  }
}

TEST(QRSolve, WithoutFullRankKHoldsABasicSolution) {
  // Two equations, three unknowns: rank 2, so one coefficient is exactly 0
  // and the other two still reproduce the consistent right-hand side.
  CMatrix<double> A = Rows(2, 3, {1, 2, 3, 4, 5, 7});
  CMatrix<double> Y = Rows(2, 1, {1.0, -2.0});
  std::valarray<double> w(1.0, 2);
  CMatrix<double> K;
  CQR qr(A, w, Y, K);
  EXPECT_FALSE(qr.IsFullRank());
  ASSERT_EQ(K.Rows(), 3);
  int nZero = 0;
  for (int t = 0; t < 3; ++t) nZero += K(t, 0) == 0.0 ? 1 : 0;
  EXPECT_EQ(nZero, 1);
  CMatrix<double> AK = Product(A, K);
  for (int p = 0; p < 2; ++p) EXPECT_NEAR(AK(p, 0), Y(p, 0), 1e-12) << "row " << p;  // small integer system
}

TEST(QRSolve, RejectsInconsistentOrNonFiniteInput) {
  CMatrix<double> A = Rows(3, 2, {1, 0, 1, 1, 1, 2});
  CMatrix<double> Y = Rows(3, 1, {0, 1, 3});
  CMatrix<double> Yshort = Rows(2, 1, {0, 1});
  CMatrix<double> Ynan = Rows(3, 1, {0, std::numeric_limits<double>::quiet_NaN(), 3});
  CMatrix<double> Ainf = Rows(3, 2, {1, 0, 1, std::numeric_limits<double>::infinity(), 1, 2});
  std::valarray<double> w(1.0, 3), wShort(1.0, 2), wNeg = {1.0, -1.0, 1.0};
  CMatrix<double> K(5, 5, 9.0);
  EXPECT_THROW(CQR(A, w, Yshort, K), std::invalid_argument);
  EXPECT_THROW(CQR(A, wShort, Y, K), std::invalid_argument);
  EXPECT_THROW(CQR(A, wNeg, Y, K), std::invalid_argument);
  EXPECT_THROW(CQR(A, w, Ynan, K), std::invalid_argument);
  EXPECT_THROW(CQR(Ainf, w, Y, K), std::invalid_argument);
  EXPECT_EQ(K.Rows(), 5) << "a rejected solve leaves K alone";
  EXPECT_EQ(K(4, 4), 9.0);
}

}  // namespace
