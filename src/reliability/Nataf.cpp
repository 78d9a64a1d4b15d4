// The Nataf correction by quadrature (Nataf.h).
#include "Nataf.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "rbo/reliability/StandardSpace.h"

namespace rbo::reliability::nataf {
namespace {

/// Nodes and weights of Gauss-Hermite quadrature for the standard normal
/// density: sum w_k f(z_k) ~ E[f(Z)].
struct NormalRule {
  std::vector<double> z;
  std::vector<double> w;
};

// Newton iteration on the orthonormal Hermite polynomials (weight e^-x^2),
// then z = sqrt(2) x and w / sqrt(pi).  n nodes integrate polynomials of
// degree 2n - 1 exactly.
NormalRule MakeNormalRule(int n) {
  const double pim4 = 0.7511255444649425;  // pi^-1/4
  std::vector<double> x(static_cast<std::size_t>(n)), w(static_cast<std::size_t>(n));
  double root = 0.0;
  for (int i = 0; i < (n + 1) / 2; ++i) {
    if (i == 0)
      root = std::sqrt(2.0 * n + 1.0) - 1.85575 * std::pow(2.0 * n + 1.0, -0.16667);
    else if (i == 1)
      root -= 1.14 * std::pow(double(n), 0.426) / root;
    else if (i == 2)
      root = 1.86 * root - 0.86 * x[0];
    else if (i == 3)
      root = 1.91 * root - 0.91 * x[1];
    else
      root = 2.0 * root - x[std::size_t(i - 2)];
    double derivative = 0.0;
    for (int it = 0; it < 100; ++it) {
      double p1 = pim4, p2 = 0.0;
      for (int j = 0; j < n; ++j) {
        const double p3 = p2;
        p2 = p1;
        p1 = root * std::sqrt(2.0 / (j + 1.0)) * p2 - std::sqrt(double(j) / (j + 1.0)) * p3;
      }
      derivative = std::sqrt(2.0 * n) * p2;
      const double step = p1 / derivative;
      root -= step;
      if (std::fabs(step) <= 1e-15 * std::fabs(root) + 1e-300) break;
    }
    x[std::size_t(i)] = root;
    x[std::size_t(n - 1 - i)] = -root;
    w[std::size_t(i)] = w[std::size_t(n - 1 - i)] = 2.0 / (derivative * derivative);
  }
  NormalRule rule;
  for (int i = 0; i < n; ++i) {
    rule.z.push_back(std::sqrt(2.0) * x[std::size_t(i)]);
    rule.w.push_back(w[std::size_t(i)] / std::sqrt(M_PI));
  }
  return rule;
}

const NormalRule& Rule() {
  static const NormalRule rule = MakeNormalRule(64);
  return rule;
}

/// Mean and standard deviation of x(z) under the same rule, so that the
/// correlation of a variable with itself comes out as 1.
struct Moments {
  double mean = 0.0;
  double sd = 0.0;
};

Moments RuleMoments(const CRandVar& v) {
  const NormalRule& r = Rule();
  double m = 0.0, s = 0.0;
  for (std::size_t k = 0; k < r.z.size(); ++k) m += r.w[k] * MarginalFromNormal(v, r.z[k]);
  for (std::size_t k = 0; k < r.z.size(); ++k) {
    const double d = MarginalFromNormal(v, r.z[k]) - m;
    s += r.w[k] * d * d;
  }
  return {m, std::sqrt(s)};
}

bool BothNormal(const CRandVar& a, const CRandVar& b) {
  return a.GetType() == CRandVar::kNormal && b.GetType() == CRandVar::kNormal;
}

// Correlation of the pair as a function of rho0, with the moments of both
// marginals computed once.
class CPair {
 public:
  CPair(const CRandVar& a, const CRandVar& b) : m_a(a), m_b(b), m_ma(RuleMoments(a)), m_mb(RuleMoments(b)) {}

  double operator()(double rho0) const {
    const NormalRule& r = Rule();
    const double c = std::sqrt(std::max(0.0, 1.0 - rho0 * rho0));
    double sum = 0.0;
    for (std::size_t i = 0; i < r.z.size(); ++i) {
      const double xa = (MarginalFromNormal(m_a, r.z[i]) - m_ma.mean) / m_ma.sd;
      double inner = 0.0;
      for (std::size_t k = 0; k < r.z.size(); ++k)
        inner += r.w[k] * (MarginalFromNormal(m_b, rho0 * r.z[i] + c * r.z[k]) - m_mb.mean);
      sum += r.w[i] * xa * inner / m_mb.sd;
    }
    return sum;
  }

 private:
  const CRandVar& m_a;
  const CRandVar& m_b;
  Moments m_ma, m_mb;
};

// The root of f(x) = target on [lo, hi] for increasing f, by the Illinois
// variant of regula falsi (superlinear, and never leaves the bracket).
double IncreasingRoot(const CPair& f, double target, double lo, double flo, double hi, double fhi) {
  flo -= target;
  fhi -= target;
  int side = 0;
  for (int it = 0; it < 100 && hi - lo > 1e-14; ++it) {
    const double x = (lo * fhi - hi * flo) / (fhi - flo);
    const double fx = f(x) - target;
    if (fx == 0.0) return x;
    if (fx < 0.0) {
      lo = x, flo = fx;
      if (side == -1) fhi *= 0.5;
      side = -1;
    } else {
      hi = x, fhi = fx;
      if (side == 1) flo *= 0.5;
      side = 1;
    }
    if (std::fabs(fx) < 1e-14) break;
  }
  return std::fabs(flo) < std::fabs(fhi) ? lo : hi;
}

}  // namespace

double PhysicalCorrelation(const CRandVar& a, const CRandVar& b, double rho0) {
  if (BothNormal(a, b)) return rho0;
  return CPair(a, b)(rho0);
}

bool NormalCorrelation(const CRandVar& a, const CRandVar& b, double rho, double* pRho0, double* pLow, double* pHigh) {
  if (BothNormal(a, b)) {
    *pLow = -1.0, *pHigh = 1.0, *pRho0 = rho;
    return true;
  }
  const CPair pair(a, b);
  *pLow = pair(-1.0);
  *pHigh = pair(1.0);
  if (rho < *pLow - 1e-9 || rho > *pHigh + 1e-9) return false;
  if (rho <= *pLow)
    *pRho0 = -1.0;
  else if (rho >= *pHigh)
    *pRho0 = 1.0;
  else
    *pRho0 = rho == 0.0 ? 0.0 : IncreasingRoot(pair, rho, -1.0, *pLow, 1.0, *pHigh);
  return true;
}

}  // namespace rbo::reliability::nataf
