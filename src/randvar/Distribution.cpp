// CRandVar: support limits, density, distribution, moments, inverse
// distribution, the equivalent normal, and the numerical tools under them.
//
// The error function and the gamma function are the library's own fits so
// that every platform computes the same doubles; expressions are evaluated in
// the order written (the build forbids contraction into fused multiply-adds).
#include <cmath>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "randvar/LogGamma.h"
#include "randvar/RandVarConstants.h"
#include "rbo/RandVar.h"

using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kBig;
using rbo::kLnBig;
using rbo::kUnitRandVar;

namespace {

constexpr double kPi = 3.14159265358979323846;

[[noreturn]] void FailInvalidType(int nLine) {
  ErrorReport("Invalid distribution type of the random variable.\n").Throw<CInvalidType>(kUnitRandVar, nLine);
}

// A density formed from its logarithm q: capped at the library's infinity.
double DensityFromLog(double q) {
  if (q > kLnBig) return kBig;
  const double f = std::exp(q);
  return f < 0.0 ? 0.0 : f;
}

double Clamp01(double p) {
  if (p < 0.0) return 0.0;
  if (p > 1.0) return 1.0;
  return p;
}

}  // namespace

// Chebyshev fit of erfc with fractional error below 1.2e-7 (Numerical Recipes, erfcc).
double CRandVar::ErrorFunction(double x) {
  const double u = std::fabs(x);
  const double t = 1.0 / (1.0 + u / 2.0);
  const double erfc =
      t * std::exp(-u * u - 1.26551223 +
                   t * (1.00002368 +
                        t * (0.37409196 +
                             t * (0.09678418 +
                                  t * (-0.18628806 +
                                       t * (0.27886807 +
                                            t * (-1.13520398 +
                                                 t * (1.48851587 + t * (-0.82215223 + t * 0.17087277)))))))));
  return x >= 0.0 ? 1.0 - erfc : erfc - 1.0;
}

double CRandVar::GammaFunction(double x) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    if (!(x > 0.0))
      ErrorReport("Invalid argumnet for the Gamma function.\n")
          .Line("       Argument supplied: %g\n", x)
          .Line("       The argument should be > 0\n")
          .Throw<CInvalidArgument>(kUnitRandVar, __LINE__);
    const double lnGamma = rbo::LogGamma(x);
    return lnGamma > kLnBig ? kBig : std::exp(lnGamma);
  });
}

bool CRandVar::TwoNumbersAreClose(double a, double b, double dTolerance) {
  const double tol = rbo::ToleranceOrDefault(dTolerance);
  const double d = std::fabs(a) < tol ? b - a : b / a - 1.0;
  return std::fabs(d) < tol;
}

double CRandVar::GetXLowLimit() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal: return -kBig;
      case kUniform: return m_dParam1;
      case kLognormal: return 0.0;
      case kWeibull: return m_dParam1 > 0.0 ? m_dParam1 : 0.0;
      default: FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::GetXUpLimit() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal: return kBig;
      case kUniform: return m_dParam2;
      case kLognormal:
      case kWeibull: return kBig;
      default: FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::PDF(double x) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal: {
        const double z = (x - m_dParam1) / m_dParam2;
        return DensityFromLog(-z * z / 2.0 - std::log(m_dParam2 * std::sqrt(2.0 * kPi)));
      }
      case kUniform:
        if (x < m_dParam1 || x > m_dParam2) return 0.0;
        // Equal bounds: the density is a spike; report the library's infinity.
        return m_dParam2 > m_dParam1 ? 1.0 / (m_dParam2 - m_dParam1) : kBig;
      case kLognormal: {
        if (x <= 0.0) return 0.0;
        const double w = (std::log(x) - m_dParam1) / m_dParam2;
        return DensityFromLog(-w * w / 2.0 - std::log(x) - std::log(m_dParam2) - 0.5 * std::log(2.0 * kPi));
      }
      case kWeibull: {
        if (x < m_dParam1) return 0.0;
        const double eta = m_dParam2, beta = m_dParam3;
        const double z = (x - m_dParam1) / eta;
        // At the location itself ln z is -inf: use the limit of the density,
        // 0 for beta > 1, 1/eta for beta = 1, unbounded (the library's
        // infinity) for beta < 1.  Everywhere else the formula is finite.
        if (z == 0.0) return beta > 1.0 ? 0.0 : (beta == 1.0 ? std::fmin(1.0 / eta, kBig) : kBig);
        return DensityFromLog(std::log(beta) - std::log(eta) + (beta - 1.0) * std::log(z) - std::pow(z, beta));
      }
      default: FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::CDF(double x) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal: {
        const double z = (x - m_dParam1) / m_dParam2;
        return Clamp01(0.5 * (1.0 + ErrorFunction(z / std::sqrt(2.0))));
      }
      case kUniform:
        if (x >= m_dParam2) return 1.0;
        if (x < m_dParam1) return 0.0;
        return Clamp01((x - m_dParam1) / (m_dParam2 - m_dParam1));
      case kLognormal: {
        if (x <= 0.0) return 0.0;
        const double w = (std::log(x) - m_dParam1) / m_dParam2;
        return Clamp01(0.5 * (1.0 + ErrorFunction(w / std::sqrt(2.0))));
      }
      case kWeibull: {
        if (x < m_dParam1) return 0.0;
        const double z = (x - m_dParam1) / m_dParam2;
        if (m_dParam3 * std::log(z) > kLnBig) return 1.0;
        return Clamp01(1.0 - std::exp(-std::pow(z, m_dParam3)));
      }
      default: FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::GetActualMean() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal: return m_dParam1;
      case kUniform: return (m_dParam1 + m_dParam2) / 2.0;
      case kLognormal: {
        const double t = m_dParam1 + m_dParam2 * m_dParam2 / 2.0;
        return t > kLnBig ? kBig : std::exp(t);
      }
      case kWeibull: return m_dParam1 + m_dParam2 * GammaFunction(1.0 + 1.0 / m_dParam3);
      default: FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::GetActualStdDev() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal: return m_dParam2;
      case kUniform: return (m_dParam2 - m_dParam1) / 2.0 / std::sqrt(3.0);
      case kLognormal: {
        const double m = GetActualMean();
        const double e2 = m_dParam2 * m_dParam2;
        return e2 > kLnBig ? m * std::sqrt(kBig) : m * std::sqrt(std::exp(e2) - 1.0);
      }
      case kWeibull: {
        const double g1 = GammaFunction(1.0 + 1.0 / m_dParam3);
        const double g2 = GammaFunction(1.0 + 2.0 / m_dParam3);
        return g2 - g1 * g1 > 0.0 ? m_dParam2 * std::sqrt(g2 - g1 * g1) : 1e-30;
      }
      default: FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::InverseCDF(double p, double dTolerance) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    const double tol = dTolerance;  // TwoNumbersAreClose maps a negative value to the default
    const double m = GetActualMean();
    const double s = GetActualStdDev();

    // Bracket [xL, xU] by steps of one standard deviation from the mean.
    double xL = m, fL = CDF(xL);
    if (TwoNumbersAreClose(p, fL, tol)) return xL;
    double xU = m + s, fU = CDF(xU);
    if (TwoNumbersAreClose(p, fU, tol)) return xU;

    int n = 0;
    if (p < fL) {
      while (p < fL) {
        xU = xL;
        fU = fL;
        xL = xL - s;
        const double limit = GetXLowLimit();
        if (xL < limit) {
          xL = limit;
          fL = 0.0;
          break;
        }
        if (++n > 20) return xL;
        fL = CDF(xL);
      }
    } else if (p > fU) {
      while (p > fU) {
        xL = xU;
        fL = fU;
        xU = xU + s;
        const double limit = GetXUpLimit();
        if (xU > limit) {
          xU = limit;
          fU = 1.0;
          break;
        }
        if (++n > 19) return xU;
        fU = CDF(xU);
      }
    }

    // Bisection: at most 201 steps.
    for (n = 0; n <= 200; ++n) {
      if (TwoNumbersAreClose(xL, xU, tol)) return (xL + xU) / 2.0;
      const double xM = (xL + xU) / 2.0;
      const double fM = CDF(xM);
      if (TwoNumbersAreClose(p, fM, tol)) return xM;
      if (p <= fM) {
        xU = xM;
        fU = fM;
      } else {
        xL = xM;
        fL = fM;
      }
      if (TwoNumbersAreClose(fL, fU, tol)) return (xL + xU) / 2.0;
    }
    return (xL + xU) / 2.0;
  });
}

void CRandVar::NormalTailApprox(double x, double* pdMean, double* pdStdDev, double dTolerance) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    if (m_nType == kNormal) {
      *pdMean = m_dParam1;
      *pdStdDev = m_dParam2;
      return;
    }
    const double f = PDF(x);
    const double F = CDF(x);
    if (!(f > 0.0)) {
      // Outside the support no normal distribution has this density; the
      // moment-matching normal is the useful answer there.
      *pdMean = GetActualMean();
      *pdStdDev = GetActualStdDev();
      return;
    }
    CRandVar standard(kNormal, 0.0, 1.0);
    const double u = standard.InverseCDF(F, dTolerance);
    const double phi = standard.PDF(u);
    *pdStdDev = phi / f;
    *pdMean = x - (*pdStdDev) * u;
  });
}
