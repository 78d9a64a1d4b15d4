// The isoprobabilistic transform (StandardSpace.h): marginal transforms and
// the Nataf model of correlation.
#include "rbo/reliability/StandardSpace.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "DenseAlgebra.h"
#include "Nataf.h"

namespace rbo::reliability {
namespace {

std::string Number(double d) {
  std::ostringstream s;
  s.precision(6);
  s << d;
  return s.str();
}

std::string Pair(std::size_t i, std::size_t j) {
  return "variables " + std::to_string(i + 1) + " and " + std::to_string(j + 1);
}

// The parameters the closed forms need: finite, and a positive spread.
void CheckVariable(const CRandVar& v, std::size_t i) {
  const std::string which = "random variable " + std::to_string(i + 1);
  const double p1 = v.GetParam1(), p2 = v.GetParam2(), p3 = v.GetParam3();
  const int t = v.GetType();
  if (t < CRandVar::kNormal || t > CRandVar::kWeibull)
    throw std::invalid_argument(which + " has the unknown distribution type " + std::to_string(t));
  if (!std::isfinite(p1) || !std::isfinite(p2) || (t == CRandVar::kWeibull && !std::isfinite(p3)))
    throw std::invalid_argument(which + " has a parameter that is not a finite number");
  const bool bSpread = t == CRandVar::kUniform ? p2 > p1 : p2 > 0.0;
  if (!bSpread)
    throw std::invalid_argument(which + (t == CRandVar::kUniform ? " has an upper bound not above its lower bound"
                                                                 : " has a spread parameter that is not positive"));
  if (t == CRandVar::kWeibull && !(p3 > 0.0)) throw std::invalid_argument(which + " has a shape that is not positive");
}

bool Cholesky(const std::vector<double>& a, std::size_t n, std::vector<double>* pL) {
  return dense::CholeskyLower(a, n, pL);
}

// The entry-by-entry checks of a correlation matrix.
void CheckEntries(const std::vector<double>& r, std::size_t n, std::vector<CorrelationProblem>* pProblems) {
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      const double v = r[i * n + j];
      const int ii = int(i), jj = int(j);
      if (!std::isfinite(v))
        pProblems->push_back({ii, jj, "the correlation of " + Pair(i, j) + " is not a finite number"});
      else if (i == j && std::fabs(v - 1.0) > 1e-12)
        pProblems->push_back({ii, jj,
                              "the correlation of variable " + std::to_string(i + 1) + " with itself is " + Number(v) +
                                  "; it must be 1"});
      else if (std::fabs(v) > 1.0)
        pProblems->push_back({ii, jj, "the correlation " + Number(v) + " of " + Pair(i, j) + " is outside [-1, 1]"});
      else if (j > i && std::fabs(v - r[j * n + i]) > 1e-12)
        pProblems->push_back({ii, jj,
                              "the matrix is not symmetric: the correlation of " + Pair(i, j) + " is " + Number(v) +
                                  " but that of " + Pair(j, i) + " is " + Number(r[j * n + i])});
    }
}

}  // namespace

std::vector<CorrelationProblem> CheckCorrelation(const std::vector<double>& r, std::size_t n) {
  std::vector<CorrelationProblem> problems;
  if (r.size() != n * n) {
    problems.push_back({-1, -1,
                        "the correlation matrix has " + std::to_string(r.size()) + " entries; " + std::to_string(n) +
                            " variables need " + std::to_string(n * n)});
    return problems;
  }
  CheckEntries(r, n, &problems);
  std::vector<double> l;
  if (problems.empty() && !Cholesky(r, n, &l))
    problems.push_back({-1, -1, "the correlation matrix is not positive definite"});
  return problems;
}

struct StandardSpace::Impl {
  std::vector<CRandVar> variables;
  std::size_t n = 0;
  bool correlated = false;
  std::vector<double> r0;  ///< normal-space correlation, row-major
  std::vector<double> l;   ///< its lower Cholesky factor

  // z = L u
  std::vector<double> Correlate(const std::vector<double>& u) const {
    if (!correlated) return u;
    std::vector<double> z(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t k = 0; k <= i; ++k) z[i] += l[i * n + k] * u[k];
    return z;
  }
  // u = L^-1 z, by forward substitution.
  std::vector<double> Decorrelate(const std::vector<double>& z) const {
    return correlated ? dense::SolveLower(l, z) : z;
  }
  void CheckLength(const std::vector<double>& v, const char* what) const {
    if (v.size() != n)
      throw std::invalid_argument(std::string(what) + " has " + std::to_string(v.size()) + " values; the space has " +
                                  std::to_string(n) + " variables");
  }
};

namespace {

// R0 from the physical correlations, pair by pair.
std::vector<double> NatafCorrelation(const std::vector<CRandVar>& v, const std::vector<double>& r) {
  const std::size_t n = v.size();
  std::vector<double> r0(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    r0[i * n + i] = 1.0;
    for (std::size_t j = i + 1; j < n; ++j) {
      double rho0 = 0.0, lo = 0.0, hi = 0.0;
      if (!nataf::NormalCorrelation(v[i], v[j], r[i * n + j], &rho0, &lo, &hi))
        throw std::invalid_argument("the correlation " + Number(r[i * n + j]) + " of " + Pair(i, j) +
                                    " is beyond what their distributions allow: [" + Number(lo) + ", " + Number(hi) +
                                    "]");
      r0[i * n + j] = r0[j * n + i] = rho0;
    }
  }
  return r0;
}

}  // namespace

StandardSpace::StandardSpace(const std::vector<CRandVar>& variables) : StandardSpace(variables, {}) {}

StandardSpace::StandardSpace(const std::vector<CRandVar>& variables, const std::vector<double>& correlation)
    : m_impl(std::make_unique<Impl>()) {
  Impl& s = *m_impl;
  // Checked before they are copied: a copy of a CRandVar validates too, but
  // reports to the host's log and throws the library's own exception types.
  for (std::size_t i = 0; i < variables.size(); ++i) CheckVariable(variables[i], i);
  s.variables = variables;
  s.n = variables.size();
  if (correlation.empty()) return;
  const std::vector<CorrelationProblem> problems = CheckCorrelation(correlation, s.n);
  if (!problems.empty()) throw std::invalid_argument(problems.front().message);
  s.r0 = NatafCorrelation(variables, correlation);
  s.correlated = false;
  for (std::size_t k = 0; k < s.r0.size(); ++k) s.correlated = s.correlated || (k % (s.n + 1) != 0 && s.r0[k] != 0.0);
  if (s.correlated && !Cholesky(s.r0, s.n, &s.l))
    throw std::invalid_argument(
        "the correlation matrix is not positive definite in the normal space after the Nataf correction");
}

StandardSpace::StandardSpace(const StandardSpace& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}
StandardSpace& StandardSpace::operator=(const StandardSpace& other) {
  if (this != &other) m_impl = std::make_unique<Impl>(*other.m_impl);
  return *this;
}
StandardSpace::StandardSpace(StandardSpace&&) noexcept = default;
StandardSpace& StandardSpace::operator=(StandardSpace&&) noexcept = default;
StandardSpace::~StandardSpace() = default;

std::size_t StandardSpace::Dimension() const { return m_impl->n; }
bool StandardSpace::Correlated() const { return m_impl->correlated; }
const std::vector<CRandVar>& StandardSpace::Variables() const { return m_impl->variables; }

std::vector<double> StandardSpace::NormalCorrelation() const {
  if (m_impl->correlated) return m_impl->r0;
  const std::size_t n = m_impl->n;
  std::vector<double> identity(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) identity[i * n + i] = 1.0;
  return identity;
}

std::vector<double> StandardSpace::ToPhysical(const std::vector<double>& u) const {
  m_impl->CheckLength(u, "a standard-space point");
  std::vector<double> x = m_impl->Correlate(u);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = MarginalFromNormal(m_impl->variables[i], x[i]);
  return x;
}

std::vector<double> StandardSpace::ToStandard(const std::vector<double>& x) const {
  m_impl->CheckLength(x, "a physical point");
  std::vector<double> z(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) z[i] = NormalFromMarginal(m_impl->variables[i], x[i]);
  return m_impl->Decorrelate(z);
}

std::vector<std::vector<double>> StandardSpace::ToPhysical(const std::vector<std::vector<double>>& u) const {
  std::vector<std::vector<double>> x;
  x.reserve(u.size());
  for (const std::vector<double>& point : u) x.push_back(ToPhysical(point));
  return x;
}

}  // namespace rbo::reliability
