// The reference host's polynomial approximation models: the term table of
// each order code, the model matrix at the regression points, and the exact
// gradient of a fitted model.
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <atomic>

#include "FitFailures.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"

namespace {

// Order codes of the model builder (see DBUtils.h for the term order).
constexpr int kOrderLinear = 0;         // 1, x_i
constexpr int kOrderLinearSquares = 1;  // + x_i^2
constexpr int kOrderQuadratic = 2;      // + x_i x_j, i < j
constexpr int kOrderCubic = 3;          // + every monomial of total degree 3

std::invalid_argument Rejected(const char* pszFunction, const std::string& what) {
  return std::invalid_argument(std::string(pszFunction) + ": " + what);
}

// Number of terms of an order code over n variables.  In double so that no
// n overflows; it is exact wherever it can be compared equal to an int
// number of points (below 2^53).
double TermCount(int nOrder, double n) {
  switch (nOrder) {
    case kOrderLinear:
      return 1 + n;
    case kOrderLinearSquares:
      return 1 + 2 * n;
    case kOrderQuadratic:
      return 1 + 2 * n + n * (n - 1) / 2;
    default:
      return (n + 3) * (n + 2) * (n + 1) / 6;  // kOrderCubic: C(n + 3, 3)
  }
}

// The exponent table, term after term (nVars exponents per term), in the
// documented order.  Each order's terms are a prefix of the next order's.
class CTermTable {
 public:
  explicit CTermTable(int nVars) : m_nVars(nVars) {}

  // Appends the monomial that is the product of the listed variables
  // (a variable listed twice is squared).
  void Add(std::initializer_list<int> vars) {
    const std::size_t base = m_vExponents.size();
    m_vExponents.resize(base + std::size_t(m_nVars), 0);
    for (int i : vars) ++m_vExponents[base + std::size_t(i)];
    ++m_nTerms;
  }

  CMatrix<int> ToMatrix() const {
    std::valarray<int> storage(m_vExponents.data(), m_vExponents.size());
    return CMatrix<int>(m_nVars, m_nTerms, storage, true);
  }

 private:
  int m_nVars;                    ///< variables per term
  int m_nTerms = 0;               ///< terms added so far
  std::vector<int> m_vExponents;  ///< exponents, column-major (variable fastest)
};

CMatrix<int> BuildExponents(int nOrder, int n) {
  CTermTable table(n);
  table.Add({});
  for (int i = 0; i < n; ++i) table.Add({i});
  if (nOrder >= kOrderLinearSquares)
    for (int i = 0; i < n; ++i) table.Add({i, i});
  if (nOrder >= kOrderQuadratic)
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) table.Add({i, j});
  if (nOrder >= kOrderCubic) {
    for (int i = 0; i < n; ++i) table.Add({i, i, i});
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        if (j != i) table.Add({i, i, j});
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j)
        for (int k = j + 1; k < n; ++k) table.Add({i, j, k});
  }
  return table.ToMatrix();
}

// One factor x_var^exponent of a monomial, exponent nonzero.
using Factor = std::pair<int, int>;

// The factors of term t with a nonzero exponent, in variable order.  Terms
// of these models have at most three, so products over them stay short.
void TermFactors(const CMatrix<int>& E, int t, std::vector<Factor>& factors) {
  factors.clear();
  for (int i = 0; i < E.Rows(); ++i)
    if (E(i, t) != 0) factors.emplace_back(i, E(i, t));
}

// x^e in double precision, as the library evaluates its polynomials:
// powers 0 and 1 are exact without pow, higher ones go through it.
double Power(double x, int e) {
  if (e == 0) return 1.0;
  if (e == 1) return x;
  return std::pow(x, double(e));
}

}  // namespace

int CreateCheckApproxModelMatrix(int nOrder, int nVars, int nPoints, int nArg4, bool bArg5, CMatrix<double>& X,
                                 std::valarray<double>& weights, CMatrix<int>& E, CMatrix<double>& A) {
  static constexpr const char* kWho = "CreateCheckApproxModelMatrix";
  if (nArg4 != 0 || !bArg5)
    throw Rejected(kWho, "only the plain polynomial model (fourth argument 0, fifth true) is supported, got " +
                             std::to_string(nArg4) + " and " + (bArg5 ? "true" : "false"));
  if (nOrder < kOrderLinear || nOrder > kOrderCubic)
    throw Rejected(kWho, "unknown polynomial order code " + std::to_string(nOrder) + " (valid codes: 0 to 3)");
  if (nVars < 0 || nPoints < 0)
    throw Rejected(kWho, "negative number of variables (" + std::to_string(nVars) + ") or points (" +
                             std::to_string(nPoints) + ")");
  // An empty point matrix has no width to check; any other must match.
  if (X.Rows() != nPoints || (nPoints > 0 && X.Cols() != nVars))
    throw Rejected(kWho, "the point matrix is " + std::to_string(X.Rows()) + " x " + std::to_string(X.Cols()) +
                             ", expected " + std::to_string(nPoints) + " points x " + std::to_string(nVars) +
                             " variables");
  if (weights.size() != std::size_t(nPoints))
    throw Rejected(
        kWho, "there are " + std::to_string(weights.size()) + " weights for " + std::to_string(nPoints) + " points");

  const double nTerms = TermCount(nOrder, double(nVars));
  if (double(nPoints) < nTerms) {  // too few points: E and A are left as they were
    // The linear model is the library's last resort: without it, no fit.
    if (nOrder == kOrderLinear) refhost::detail::CountFitFailure();
    return 0;
  }
  const int T = int(nTerms);

  E = BuildExponents(nOrder, nVars);
  // Every element is written below, so an A of the right shape is reused.
  if (A.Rows() != nPoints || A.Cols() != T) A = CMatrix<double>(nPoints, T);
  std::vector<Factor> factors;
  for (int t = 0; t < T; ++t) {
    TermFactors(E, t, factors);
    double* column = A.ColData(t);
    for (int p = 0; p < nPoints; ++p) {
      double v = 1.0;
      for (const Factor& f : factors) v *= Power(X(p, f.first), f.second);
      column[p] = v;
    }
  }
  return T;
}

void EvalApproxGrad(std::valarray<double>& point, std::vector<int>& responses, CMatrix<double>& K, CMatrix<int>& E,
                    CMatrix<double>& G) {
  static constexpr const char* kWho = "EvalApproxGrad";
  // No fit yet: the approximation is the empty sum, G stays as it is.
  if (K.Rows() == 0 || K.Cols() == 0) return;

  const int T = K.Rows();
  const int nVars = E.Rows();
  if (E.Cols() != T)
    throw Rejected(
        kWho, "the exponent table has " + std::to_string(E.Cols()) + " terms, the coefficients " + std::to_string(T));
  if (point.size() != std::size_t(nVars) || G.Cols() != nVars)
    throw Rejected(kWho, "the point has " + std::to_string(point.size()) + " coordinates and the gradient matrix " +
                             std::to_string(G.Cols()) + " columns, the exponent table " + std::to_string(nVars) +
                             " variables");
  for (int c : responses)
    if (c < 0 || c >= K.Cols() || c >= G.Rows())
      throw Rejected(kWho, "response " + std::to_string(c) + " is outside the coefficients (" +
                               std::to_string(K.Cols()) + " columns) or the gradient matrix (" +
                               std::to_string(G.Rows()) + " rows)");

  // dTerm[t] lists (variable, d term_t / d x_variable at point).  Each
  // partial is formed as a product, never as term / x, so a zero coordinate
  // is exact.
  std::vector<std::vector<std::pair<int, double>>> dTerm(static_cast<std::size_t>(T));
  std::vector<Factor> factors;
  for (int t = 0; t < T; ++t) {
    TermFactors(E, t, factors);
    for (std::size_t a = 0; a < factors.size(); ++a) {
      const int var = factors[a].first;
      const int e = factors[a].second;
      double d = double(e) * Power(point[std::size_t(var)], e - 1);
      for (std::size_t b = 0; b < factors.size(); ++b)
        if (b != a) d *= Power(point[std::size_t(factors[b].first)], factors[b].second);
      dTerm[std::size_t(t)].emplace_back(var, d);
    }
  }

  for (int c : responses) {
    for (int i = 0; i < nVars; ++i) G(c, i) = 0.0;
    for (int t = 0; t < T; ++t)
      for (const auto& [var, d] : dTerm[std::size_t(t)]) G(c, var) += K(t, c) * d;
  }
}

namespace refhost {
namespace {
std::atomic<long long> s_nFitFailures{0};  ///< failed fits since the start
}  // namespace

namespace detail {
void CountFitFailure() { s_nFitFailures.fetch_add(1, std::memory_order_relaxed); }
}  // namespace detail

long long FitFailures() { return s_nFitFailures.load(std::memory_order_relaxed); }

}  // namespace refhost
