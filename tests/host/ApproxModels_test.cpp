// The reference host's polynomial models: term tables, model matrices, the
// too-few-points answer, argument checks and the exact gradient.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "rbo/host/DBUtils.h"

namespace {

using Exponents = std::vector<int>;

CMatrix<double> RandomPoints(int nPoints, int nVars, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  CMatrix<double> X(nPoints, nVars);
  for (int p = 0; p < nPoints; ++p)
    for (int i = 0; i < nVars; ++i) X(p, i) = u(gen);
  return X;
}

Exponents Column(const CMatrix<int>& E, int t) {
  Exponents e(std::size_t(E.Rows()));
  for (int i = 0; i < E.Rows(); ++i) e[std::size_t(i)] = E(i, t);
  return e;
}

// The monomials each order code must contain, enumerated independently of
// the builder: every exponent vector of total degree <= 3 (counting in base
// 4), kept by degree and, for order 1, by being a pure power.
std::set<Exponents> ExpectedTerms(int order, int n) {
  std::set<Exponents> out;
  long nAll = 1;
  for (int i = 0; i < n; ++i) nAll *= 4;
  for (long code = 0; code < nAll; ++code) {
    Exponents x(static_cast<std::size_t>(n));
    int degree = 0, nonzero = 0;
    long rest = code;
    for (std::size_t i = 0; i < x.size(); ++i, rest /= 4) {
      x[i] = int(rest % 4);
      degree += x[i];
      nonzero += x[i] != 0 ? 1 : 0;
    }
    if (degree <= (order == 3 ? 3 : 2) && (degree <= 1 || order >= 2 || (order == 1 && nonzero == 1))) out.insert(x);
  }
  return out;
}

TEST(ModelTerms, HaveTheMonomialsOfTheirOrderAndTheirValues) {
  const struct {
    int order, nVars;
    int nTerms;  // closed form: 1+n, 1+2n, 1+2n+n(n-1)/2, C(n+3,3)
  } kCases[] = {{0, 3, 4},    {1, 3, 7}, {2, 3, 10}, {3, 3, 20}, {2, 10, 66},
                {3, 10, 286}, {0, 1, 2}, {3, 1, 4},  {3, 0, 1}};
  for (const auto& tc : kCases) {
    SCOPED_TRACE(::testing::Message() << "order " << tc.order << ", " << tc.nVars << " variables");
    CMatrix<double> X = RandomPoints(tc.nTerms, tc.nVars, 7u);
    std::valarray<double> w(1.0, std::size_t(tc.nTerms));
    CMatrix<int> E;
    CMatrix<double> A;
    ASSERT_EQ(CreateCheckApproxModelMatrix(tc.order, tc.nVars, tc.nTerms, 0, true, X, w, E, A), tc.nTerms);
    ASSERT_EQ(E.Rows(), tc.nVars);
    ASSERT_EQ(E.Cols(), tc.nTerms);
    ASSERT_EQ(A.Rows(), tc.nTerms);
    ASSERT_EQ(A.Cols(), tc.nTerms);
    EXPECT_EQ(Column(E, 0), Exponents(std::size_t(tc.nVars), 0)) << "term 0 is the constant";
    std::set<Exponents> got;
    for (int t = 0; t < E.Cols(); ++t) got.insert(Column(E, t));
    EXPECT_EQ(got.size(), std::size_t(tc.nTerms)) << "terms repeat";
    EXPECT_EQ(got, ExpectedTerms(tc.order, tc.nVars));
    // Each column of A is its monomial, here by repeated multiplication; with
    // at most three factors of magnitude <= 2 (values <= 8) the two ways agree
    // to a few ulps of 8.
    const double kTol = 8.0 * 1e-14;
    for (int t = 0; t < A.Cols(); ++t)
      for (int p = 0; p < A.Rows(); ++p) {
        double v = 1.0;
        for (int i = 0; i < tc.nVars; ++i)
          for (int k = 0; k < E(i, t); ++k) v *= X(p, i);
        EXPECT_NEAR(A(p, t), v, kTol) << "term " << t << " point " << p;
      }
  }
}

TEST(ModelTermOrder, TwoVariablesInTheDocumentedOrder) {
  // At (2, 3): 1, x, y, x^2, y^2, xy, x^3, y^3, x^2 y, y^2 x.
  CMatrix<double> X(10, 2);
  for (int p = 0; p < 10; ++p) X(p, 0) = 2.0, X(p, 1) = 3.0;
  std::valarray<double> w(1.0, 10);
  CMatrix<int> E;
  CMatrix<double> A;
  ASSERT_EQ(CreateCheckApproxModelMatrix(3, 2, 10, 0, true, X, w, E, A), 10);
  const double expected[] = {1, 2, 3, 4, 9, 6, 8, 27, 12, 18};
  for (int t = 0; t < 10; ++t) EXPECT_EQ(A(9, t), expected[t]) << "term " << t;
  // Lower orders are prefixes of the cubic table.
  for (int order = 0; order < 3; ++order) {
    CMatrix<int> Eo;
    CMatrix<double> Ao;
    const int T = CreateCheckApproxModelMatrix(order, 2, 10, 0, true, X, w, Eo, Ao);
    for (int t = 0; t < T; ++t) EXPECT_EQ(Column(Eo, t), Column(E, t)) << "order " << order << " term " << t;
  }
}

TEST(ModelPoints, FewerPointsThanTermsReturnsZeroAndLeavesOutputs) {
  const int terms[] = {4, 7, 10, 20};  // three variables, codes 0..3
  for (int order = 0; order < 4; ++order) {
    const int T = terms[order];
    CMatrix<double> X = RandomPoints(T - 1, 3, 3u);
    std::valarray<double> w(1.0, std::size_t(T - 1));
    CMatrix<int> E(1, 1, 42);
    CMatrix<double> A(2, 2, -5.0);
    EXPECT_EQ(CreateCheckApproxModelMatrix(order, 3, T - 1, 0, true, X, w, E, A), 0) << "order " << order;
    EXPECT_EQ(E.Rows(), 1);
    EXPECT_EQ(E(0, 0), 42);
    EXPECT_EQ(A.Rows(), 2);
    EXPECT_EQ(A(1, 1), -5.0);
  }
  CMatrix<double> empty;  // no points yet: nothing to fit, not an error
  std::valarray<double> w0;
  CMatrix<int> E;
  CMatrix<double> A;
  EXPECT_EQ(CreateCheckApproxModelMatrix(0, 3, 0, 0, true, empty, w0, E, A), 0);
  // C(3e6 + 3, 3) ~ 4.5e18 terms: counted without overflow, still too many.
  EXPECT_EQ(CreateCheckApproxModelMatrix(3, 3000000, 0, 0, true, empty, w0, E, A), 0);
}

TEST(ModelArguments, RejectsWhatItCannotBuild) {
  CMatrix<double> X = RandomPoints(12, 2, 1u);
  std::valarray<double> w(1.0, 12), wShort(1.0, 11);
  CMatrix<int> E;
  CMatrix<double> A;
  EXPECT_THROW(CreateCheckApproxModelMatrix(4, 2, 12, 0, true, X, w, E, A), std::invalid_argument);
  EXPECT_THROW(CreateCheckApproxModelMatrix(-1, 2, 12, 0, true, X, w, E, A), std::invalid_argument);
  EXPECT_THROW(CreateCheckApproxModelMatrix(0, 2, 12, 1, true, X, w, E, A), std::invalid_argument);
  EXPECT_THROW(CreateCheckApproxModelMatrix(0, 2, 12, 0, false, X, w, E, A), std::invalid_argument);
  EXPECT_THROW(CreateCheckApproxModelMatrix(0, 3, 12, 0, true, X, w, E, A), std::invalid_argument);
  EXPECT_THROW(CreateCheckApproxModelMatrix(0, 2, 11, 0, true, X, w, E, A), std::invalid_argument);
  EXPECT_THROW(CreateCheckApproxModelMatrix(0, 2, 12, 0, true, X, wShort, E, A), std::invalid_argument);
  EXPECT_EQ(E.Rows(), 0) << "a rejected call writes nothing";
}

// ---- gradient ----

// f0 = 2 + 3x - y + 4xy - 2z^2 + x^2 y + 5xyz + y^3,  f1 = x^3 - z.
const std::map<Exponents, double> kF0 = {{{0, 0, 0}, 2},  {{1, 0, 0}, 3}, {{0, 1, 0}, -1}, {{1, 1, 0}, 4},
                                         {{0, 0, 2}, -2}, {{2, 1, 0}, 1}, {{1, 1, 1}, 5},  {{0, 3, 0}, 1}};
const std::map<Exponents, double> kF1 = {{{3, 0, 0}, 1}, {{0, 0, 1}, -1}};

// K for the cubic table E, placing each coefficient by its exponents.
CMatrix<double> Coefficients(const CMatrix<int>& E, const std::vector<std::map<Exponents, double>>& polys) {
  CMatrix<double> K(E.Cols(), int(polys.size()));
  for (int t = 0; t < E.Cols(); ++t)
    for (std::size_t c = 0; c < polys.size(); ++c) {
      auto it = polys[c].find(Column(E, t));
      if (it != polys[c].end()) K(t, int(c)) = it->second;
    }
  return K;
}

CMatrix<int> CubicTable(int nVars) {
  const int T = (nVars + 1) * (nVars + 2) * (nVars + 3) / 6;
  CMatrix<double> X = RandomPoints(T, nVars, 5u);
  std::valarray<double> w(1.0, std::size_t(T));
  CMatrix<int> E;
  CMatrix<double> A;
  EXPECT_EQ(CreateCheckApproxModelMatrix(3, nVars, T, 0, true, X, w, E, A), T);
  return E;
}

TEST(ApproxGradient, MatchesClosedFormsIncludingZeroCoordinates) {
  CMatrix<int> E = CubicTable(3);
  CMatrix<double> K = Coefficients(E, {kF0, kF1});
  std::vector<int> responses = {0, 1};
  const double points[][3] = {{0.5, -1.5, 2.0}, {0.0, 0.0, 0.0}, {0.0, 2.0, -1.0}};
  for (const auto& q : points) {
    const double x = q[0], y = q[1], z = q[2];
    std::valarray<double> point = {x, y, z};
    CMatrix<double> G(2, 3);
    EvalApproxGrad(point, responses, K, E, G);
    const double expected[2][3] = {
        {3 + 4 * y + 2 * x * y + 5 * y * z, -1 + 4 * x + x * x + 5 * x * z + 3 * y * y, -4 * z + 5 * x * y},
        {3 * x * x, 0.0, -1.0}};
    // Sums of a few terms of magnitude <= 20: a few ulps of 20.
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(G(c, i), expected[c][i], 1e-13) << "c " << c << " i " << i << " at " << x << "," << y << "," << z;
  }
}

double Evaluate(const CMatrix<double>& K, const CMatrix<int>& E, int c, const std::valarray<double>& u) {
  double y = 0.0;
  for (int t = 0; t < K.Rows(); ++t) {
    double v = K(t, c);
    for (int i = 0; i < E.Rows(); ++i) v *= std::pow(u[std::size_t(i)], E(i, t));
    y += v;
  }
  return y;
}

TEST(ApproxGradient, MatchesCentralDifferencesOfARandomCubic) {
  const int nVars = 4;
  CMatrix<int> E = CubicTable(nVars);
  std::mt19937 gen(11u);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  CMatrix<double> K(E.Cols(), 3);
  for (int c = 0; c < 3; ++c)
    for (int t = 0; t < E.Cols(); ++t) K(t, c) = u(gen);
  std::valarray<double> point(nVars);
  for (int i = 0; i < nVars; ++i) point[std::size_t(i)] = u(gen);
  std::vector<int> responses = {2, 0};  // any subset, any order; row 1 untouched
  CMatrix<double> G(3, nVars, 7.0);
  EvalApproxGrad(point, responses, K, E, G);
  // h = 1e-5: truncation h^2/6 * |f'''| ~ 1e-9, round-off eps*|f|/h ~ 1e-10.
  const double h = 1e-5, tol = 1e-7;
  for (int c : responses)
    for (int i = 0; i < nVars; ++i) {
      std::valarray<double> up = point, down = point;
      up[std::size_t(i)] += h;
      down[std::size_t(i)] -= h;
      const double fd = (Evaluate(K, E, c, up) - Evaluate(K, E, c, down)) / (2 * h);
      EXPECT_NEAR(G(c, i), fd, tol) << "c " << c << " i " << i;
    }
  for (int i = 0; i < nVars; ++i) EXPECT_EQ(G(1, i), 7.0) << "an unlisted response row is left alone";
}

TEST(ApproxGradient, EmptyCoefficientsLeaveTheGradientAndBadShapesThrow) {
  std::valarray<double> point = {1.0, 2.0};
  std::vector<int> responses = {0};
  CMatrix<double> Kempty;
  CMatrix<int> Eempty;
  CMatrix<double> G(1, 2);
  EvalApproxGrad(point, responses, Kempty, Eempty, G);
  EXPECT_EQ(G(0, 0), 0.0);
  EXPECT_EQ(G(0, 1), 0.0);

  CMatrix<int> E = CubicTable(2);
  CMatrix<double> K(E.Cols(), 1);
  std::vector<int> outside = {1};
  std::valarray<double> shortPoint = {1.0};
  CMatrix<double> wideG(1, 3);
  CMatrix<double> shortK(E.Cols() - 1, 1);
  EXPECT_THROW(EvalApproxGrad(point, outside, K, E, G), std::invalid_argument);
  EXPECT_THROW(EvalApproxGrad(shortPoint, responses, K, E, G), std::invalid_argument);
  EXPECT_THROW(EvalApproxGrad(point, responses, K, E, wideG), std::invalid_argument);
  EXPECT_THROW(EvalApproxGrad(point, responses, shortK, E, G), std::invalid_argument);
}

}  // namespace
