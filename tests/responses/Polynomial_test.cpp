// Evaluation of the fitted polynomial: the prepared form used for every
// surface sample must give the same doubles as the plain formula.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "rbo/RBO.h"
#include "responses/ResponseSurface.h"
#include "support/Numbers.h"

namespace {

// The formula as written: y[c] = sum_t K(t,c) * prod_i pow(u[i], E(i,t)),
// each term formed from K(t,c) times the powers in index order.
void PlainPolynomial(const std::valarray<double>& u, const CMatrix<double>& K, const CMatrix<int>& E,
                     std::valarray<double>& y) {
  y = 0.0;
  for (std::size_t c = 0; c < y.size(); ++c)
    for (int t = 0; t < K.Rows(); ++t) {
      double term = K(t, int(c));
      for (std::size_t i = 0; i < u.size(); ++i) term *= std::pow(u[i], E(int(i), t));
      y[c] += term;
    }
}

using testsupport::SameBits;

class PolynomialEvaluation : public ::testing::TestWithParam<int> {};

TEST_P(PolynomialEvaluation, PreparedFormIsBitIdenticalToTheFormula) {
  const int order = GetParam(), nVars = 4, nOut = 3;
  std::mt19937_64 rng(99 + std::uint64_t(order));
  std::uniform_real_distribution<double> wide(-50.0, 50.0);
  CMatrix<double> X(40, nVars);
  for (int p = 0; p < X.Rows(); ++p)
    for (int i = 0; i < nVars; ++i) X(p, i) = wide(rng);
  std::valarray<double> w(1.0, std::size_t(X.Rows()));
  CMatrix<int> E;
  CMatrix<double> A;
  const int T = CreateCheckApproxModelMatrix(order, nVars, X.Rows(), 0, true, X, w, E, A);
  ASSERT_GT(T, 0);
  CMatrix<double> K(T, nOut);
  for (int t = 0; t < T; ++t)
    for (int c = 0; c < nOut; ++c) K(t, c) = wide(rng);

  rbo::CompiledPolynomial prepared(K, E, nVars);
  std::valarray<double> u(0.0, nVars), expected(0.0, nOut), viaFunction(0.0, nOut), viaPrepared(0.0, nOut);
  std::uniform_real_distribution<double> point(-3.0, 3.0);
  for (int s = 0; s < 20000; ++s) {
    for (double& v : u) v = s % 97 == 0 ? 0.0 : point(rng);  // exact zeros too
    PlainPolynomial(u, K, E, expected);
    rbo::EvalApproxPolynomial(u, K, E, viaFunction);
    prepared.Eval(u, viaPrepared);
    for (int c = 0; c < nOut; ++c) {
      ASSERT_TRUE(SameBits(viaFunction[std::size_t(c)], expected[std::size_t(c)])) << "sample " << s;
      ASSERT_TRUE(SameBits(viaPrepared[std::size_t(c)], expected[std::size_t(c)])) << "sample " << s;
    }
  }
}
INSTANTIATE_TEST_SUITE_P(OrderCodes, PolynomialEvaluation, ::testing::Values(0, 1, 2, 3));

}  // namespace
