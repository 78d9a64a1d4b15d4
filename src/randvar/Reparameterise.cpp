// CRandVar: new parameters from a wanted actual mean (and standard deviation),
// and the Weibull shape search behind them.
#include <cmath>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "randvar/LogGamma.h"
#include "randvar/RandVarConstants.h"
#include "rbo/RandVar.h"

using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kBig;
using rbo::kTiny;
using rbo::kUnitRandVar;

namespace {

[[noreturn]] void FailInvalidType(int nLine) {
  ErrorReport("Invalid distribution type of the random variable.\n").Throw<CInvalidType>(kUnitRandVar, nLine);
}

// Lognormal parameters with actual mean m and standard deviation s.
void LognormalFromMoments(double m, double s, double* pdLambda, double* pdEpsilon) {
  const double L = std::log(((s / m) * s) / m + 1.0);
  *pdEpsilon = std::sqrt(L);
  *pdLambda = std::log(m) - L / 2.0;
}

// The shape search bisects until its ends agree to the tolerance; with a
// zero tolerance they never would, so it stops after this many steps (about
// forty suffice at the default tolerance).
constexpr int kMaxShapeBisections = 200;

}  // namespace

void CRandVar::UpdateParamsFromActualMean(double dMean) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    const double s = GetActualStdDev();
    CheckMeanStdDev(dMean, s);
    switch (m_nType) {
      case kNormal:
        m_dParam1 = dMean;
        break;
      case kUniform: {
        const double h = (m_dParam2 - m_dParam1) / 2.0;
        m_dParam1 = dMean - h;
        m_dParam2 = dMean + h;
        break;
      }
      case kLognormal:
        LognormalFromMoments(dMean, s, &m_dParam1, &m_dParam2);
        break;
      case kWeibull:
        m_dParam1 = dMean - m_dParam2 * GammaFunction(1.0 + 1.0 / m_dParam3);
        break;
      default:
        FailInvalidType(__LINE__);
    }
    CheckParams();
  });
}

void CRandVar::UpdateParamsFromActualMeanStdDev(double dMean, double dStdDev) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    // The location of a Weibull variable fitted to two moments is 0; the
    // reset stands even when the validation below fails.
    if (m_nType == kWeibull) m_dParam1 = 0.0;
    CheckMeanStdDev(dMean, dStdDev);
    switch (m_nType) {
      case kNormal:
        m_dParam1 = dMean;
        m_dParam2 = dStdDev;
        break;
      case kUniform: {
        const double h = std::sqrt(3.0) * dStdDev;
        m_dParam1 = dMean - h;
        m_dParam2 = dMean + h;
        break;
      }
      case kLognormal:
        LognormalFromMoments(dMean, dStdDev, &m_dParam1, &m_dParam2);
        break;
      case kWeibull: {
        m_dParam3 = BetaFromMeanStdDevGamma(dMean, dStdDev, m_dParam1, -1.0);
        const double g1 = GammaFunction(1.0 + 1.0 / m_dParam3);
        const double g2 = GammaFunction(1.0 + 2.0 / m_dParam3);
        // g2 - g1^2 > 0, tested without forming the difference.
        m_dParam2 = g2 / std::fabs(g1) > std::fabs(g1) ? dStdDev / std::sqrt(g2 - g1 * g1) : kTiny;
        break;
      }
      default:
        FailInvalidType(__LINE__);
    }
    CheckParams();
  });
}

double CRandVar::MuMinusGammaOverSigma(double dBeta) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    const double g1 = GammaFunction(1.0 + 1.0 / dBeta);
    const double g2 = GammaFunction(1.0 + 2.0 / dBeta);
    if (g2 >= kBig) {
      // Below a shape of about 0.07 the capped gamma function no longer
      // describes the distribution.  The ratio g2 / g1^2 formed from the
      // uncapped logarithms keeps M(beta) positive and increasing down to 0,
      // so the shape search still finds the right shape.
      const double d = rbo::LogGamma(1.0 + 2.0 / dBeta) - 2.0 * rbo::LogGamma(1.0 + 1.0 / dBeta);
      return 1.0 / std::sqrt(std::expm1(d));
    }
    if (!(g2 - g1 * g1 > 0.0)) {
      // Very large shapes: g2 - g1^2 is lost to rounding.  Use the asymptote
      // of the Gumbel limit, mean = 1 - Euler/beta, variance = pi^2/(6 beta^2).
      constexpr double kEuler = 0.57721566490153286;
      constexpr double kSqrt6OverPi = 0.77969780123100117;
      return (dBeta - kEuler) * kSqrt6OverPi;
    }
    return g1 / std::sqrt(g2 - g1 * g1);
  });
}

double CRandVar::BetaFromMeanStdDevGamma(double dMean, double dStdDev, double dGamma, double dTolerance) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    const double tol = rbo::ToleranceOrDefault(dTolerance);
    const double T = (dMean - dGamma) / dStdDev;
    const double b0 = T, f0 = MuMinusGammaOverSigma(b0);
    if (TwoNumbersAreClose(T, f0, tol)) return b0;

    double bL, fL, bH, fH;
    if (f0 > T) {
      bH = b0;
      fH = f0;
      bL = b0 / 2.0;
      fL = MuMinusGammaOverSigma(bL);
      if (TwoNumbersAreClose(T, fL, tol)) return bL;
    } else {
      bL = b0;
      fL = f0;
      bH = 2.0 * b0;
      fH = MuMinusGammaOverSigma(bH);
      if (TwoNumbersAreClose(T, fH, tol)) return bH;
    }

    int n = 0;
    if (T < fL) {
      while (T < fL) {
        bH = bL;
        fH = fL;
        bL = bL / 2.0;
        if (++n > 20) return bL;
        fL = MuMinusGammaOverSigma(bL);
        if (TwoNumbersAreClose(T, fL, tol)) return bL;
      }
    } else if (T > fH) {
      while (T > fH) {
        bL = bH;
        fL = fH;
        bH = 2.0 * bH;
        if (++n > 19) return bH;
        fH = MuMinusGammaOverSigma(bH);
        if (TwoNumbersAreClose(T, fH, tol)) return bH;
      }
    }

    for (int step = 0; step < kMaxShapeBisections; ++step) {
      if (TwoNumbersAreClose(bL, bH, tol)) break;
      const double bM = (bL + bH) / 2.0;
      const double fM = MuMinusGammaOverSigma(bM);
      if (TwoNumbersAreClose(T, fM, tol)) return bM;
      if (T <= fM) {
        bH = bM;
        fH = fM;
      } else {
        bL = bM;
        fL = fM;
      }
      if (TwoNumbersAreClose(fH, fL, tol)) break;
    }
    return (bL + bH) / 2.0;
  });
}
