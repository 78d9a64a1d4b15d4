// CRandVar: support limits, density, distribution, moments, inverse
// distribution, the equivalent normal, and the numerical tools under them.
//
// The error function and the gamma function are the library's own fits so
// that every platform computes the same doubles; expressions are evaluated in
// the order written (the build forbids contraction into fused multiply-adds).
#include <cmath>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "randvar/DistributionKernels.h"
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

}  // namespace

// Chebyshev fit of erfc with fractional error below 1.2e-7 (Numerical Recipes, erfcc).
double CRandVar::ErrorFunction(double x) { return rbo::ErfFromErfc(x >= 0.0, rbo::ErfcFit(std::fabs(x))); }

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
  return rbo::NumbersAreClose(a, b, rbo::ToleranceOrDefault(dTolerance));
}

double CRandVar::GetXLowLimit() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal:
        return -kBig;
      case kUniform:
        return m_dParam1;
      case kLognormal:
        return 0.0;
      case kWeibull:
        return m_dParam1 > 0.0 ? m_dParam1 : 0.0;
      default:
        FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::GetXUpLimit() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal:
        return kBig;
      case kUniform:
        return m_dParam2;
      case kLognormal:
      case kWeibull:
        return kBig;
      default:
        FailInvalidType(__LINE__);
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
      default:
        FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::CDF(double x) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal:
        return rbo::NormalCdfFromErf(ErrorFunction(rbo::NormalErfArgument(x, m_dParam1, m_dParam2)));
      case kUniform:
        return rbo::UniformCdf(x, m_dParam1, m_dParam2);
      case kLognormal:
        if (x <= 0.0) return 0.0;
        return rbo::NormalCdfFromErf(ErrorFunction(rbo::LognormalErfArgument(x, m_dParam1, m_dParam2)));
      case kWeibull: {
        if (x < m_dParam1) return 0.0;
        const double z = rbo::WeibullScaled(x, m_dParam1, m_dParam2);
        if (m_dParam3 * std::log(z) > kLnBig) return 1.0;
        return rbo::WeibullCdfFromSurvival(std::exp(-std::pow(z, m_dParam3)));
      }
      default:
        FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::GetActualMean() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal:
        return m_dParam1;
      case kUniform:
        return (m_dParam1 + m_dParam2) / 2.0;
      case kLognormal:
        return rbo::LognormalMean(m_dParam1, m_dParam2);
      case kWeibull:
        return rbo::WeibullMean(m_dParam1, m_dParam2, GammaFunction(1.0 + 1.0 / m_dParam3));
      default:
        FailInvalidType(__LINE__);
    }
  });
}

double CRandVar::GetActualStdDev() {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal:
        return m_dParam2;
      case kUniform:
        return (m_dParam2 - m_dParam1) / 2.0 / std::sqrt(3.0);
      case kLognormal:
        return rbo::LognormalStdDev(GetActualMean(), m_dParam2);
      case kWeibull: {
        const double g1 = GammaFunction(1.0 + 1.0 / m_dParam3);
        return rbo::WeibullStdDev(m_dParam2, g1, GammaFunction(1.0 + 2.0 / m_dParam3));
      }
      default:
        FailInvalidType(__LINE__);
    }
  });
}

// InverseCDF lives in InverseCdf.cpp with the bracket prediction that makes it fast.

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
