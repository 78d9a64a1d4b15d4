// The inverse distribution's search, written once for the library and for
// the tests and benchmarks that count its CDF evaluations: the plain
// bracketing search, and the same search with predicted CDF values
// (CPredictedSearch; InverseCdf.cpp explains why both return the same
// double).  The CDF is a template argument so that a caller can count the
// evaluations without instrumenting the library.
#pragma once

#include <algorithm>
#include <cmath>

#include <cstdint>
#include <cstring>

#include "randvar/BisectionGrid.h"
#include "randvar/DistributionKernels.h"
#include "randvar/InverseCdfModels.h"

namespace rbo::icdf {

/// The search as documented, calling CDF at every point.
template <class Cdf>
double PlainSearch(Cdf& cdf, double p, double tol, double m, double s, double dLowLimit, double dUpLimit) {
  double xL = m, fL = cdf(xL);
  if (NumbersAreClose(p, fL, tol)) return xL;
  double xU = m + s, fU = cdf(xU);
  if (NumbersAreClose(p, fU, tol)) return xU;

  int n = 0;
  if (p < fL) {
    while (p < fL) {
      xU = xL;
      fU = fL;
      xL = xL - s;
      if (xL < dLowLimit) {
        xL = dLowLimit;
        fL = 0.0;
        break;
      }
      if (++n > 20) return xL;
      fL = cdf(xL);
    }
  } else if (p > fU) {
    while (p > fU) {
      xL = xU;
      fL = fU;
      xU = xU + s;
      if (xU > dUpLimit) {
        xU = dUpLimit;
        fU = 1.0;
        break;
      }
      if (++n > 19) return xU;
      fU = cdf(xU);
    }
  }

  // Bisection: at most 201 steps.
  for (n = 0; n <= 200; ++n) {
    if (NumbersAreClose(xL, xU, tol)) return (xL + xU) / 2.0;
    const double xM = (xL + xU) / 2.0;
    const double fM = cdf(xM);
    if (NumbersAreClose(p, fM, tol)) return xM;
    if (p <= fM) {
      xU = xM;
      fU = fM;
    } else {
      xL = xM;
      fL = fM;
    }
    if (NumbersAreClose(fL, fU, tol)) return (xL + xU) / 2.0;
  }
  return (xL + xU) / 2.0;
}

/// Where a point lies relative to the zone.
enum class ERegion : unsigned char {
  kLeft,   ///< x <= xa, or the value 0 at the lower limit: F in [0, A]
  kRight,  ///< x >= xb, or the value 1 at the upper limit: F in [B, 1]
  kZone    ///< in the zone: F in [dLo, dHi] from the predictor, or exact
};

/// A CDF value the search would have computed at dX, known as an interval.
struct CLazyCdf {
  double dLo;       ///< lower bound
  double dHi;       ///< upper bound
  double dX;        ///< the point whose CDF this is
  bool bExact;      ///< dLo == dHi is the value itself
  ERegion eRegion;  ///< region of dX (kLeft/kRight values satisfy the zone's bounds)
};

/// The bisection state of CPredictedSearch between tests.
struct CBisection {
  double xL;     ///< lower end
  double xU;     ///< upper end
  double xM;     ///< (xL + xU) / 2, the next point to test
  int n;         ///< step counter (the search ends after the step with n = 200)
  bool bMovedL;  ///< the lower end moved in StepOutsideZone
  bool bMovedU;  ///< the upper end moved in StepOutsideZone
};

/// Runs the bisection steps whose midpoint lies outside (xa, xb), given
/// that every value at or below xa sits below p and every value at or above
/// xb above it, with no test on them open.  Each step moves the lower end
/// (xM <= xa) or the upper end, then ends the search after step 200 or when
/// the ends are close, exactly as the plain search does; the search's result
/// goes to dResult and the function returns true.  It returns false, with
/// the state at the first midpoint inside the zone, otherwise.
///
/// While both ends are normal doubles of one sign and one binade, the steps
/// run on their bit patterns: there a double is its integer bit pattern up
/// to a constant, the patterns are ordered like the values (like the
/// magnitudes below 0, where the search is mirrored), and the rounded
/// midpoint fl(a + b) / 2 is the integer (A + B) / 2 rounded half to even
/// (the sum lies one binade up, whose spacing is two units; the constant is
/// even).  The integer steps take a few one-cycle operations and no
/// unpredictable branch.  Other brackets (across a power of two or zero)
/// take ordinary floating-point steps.
inline bool StepOutsideZone(CBisection& b, double xa, double xb, double tol, double& dResult) {
  b.bMovedL = b.bMovedU = false;
  for (;;) {
    if (b.xM > xa && b.xM < xb) return false;
    // Mirror a negative bracket: y = -x, the zone (-xb, -xa), the ends swap.
    const bool bNeg = b.xU < 0.0;
    const double yLo = bNeg ? -b.xU : b.xL, yHi = bNeg ? -b.xL : b.xU;
    const double yZa = bNeg ? -xb : xa, yZb = bNeg ? -xa : xb;
    std::int64_t lo = std::int64_t(BitsOf(yLo)), hi = std::int64_t(BitsOf(yHi));
    const std::int64_t nBinade = lo >> 52;
    if (yLo > 0.0 && nBinade == (hi >> 52) && nBinade != 0 && nBinade != 0x7FF) {
      const std::int64_t za = yZa > 0.0 ? std::int64_t(BitsOf(yZa)) : -1;  // y <= yZa: the low end moves
      const std::int64_t zb = yZb > 0.0 ? std::int64_t(BitsOf(yZb)) : 0;   // y >= yZb: the high end moves
      // Widths (in units of the binade's spacing) at which the ends cannot
      // be close: relative width >= units * 2^-53 >= tol + 2 eps.  Below
      // 2^e < tol the absolute form may apply: test every step there.
      const double dUnit = DoubleOf(std::uint64_t(nBinade) << 52);  // 2^e
      const std::int64_t nFar = dUnit >= tol ? std::int64_t(tol * 0x1p53) + 4 : INT64_MAX;
      const std::int64_t zFirst = za + 1;                           // first pattern inside the zone
      const std::uint64_t nZoneCount = std::uint64_t(zb - zFirst);  // patterns inside (zb > za)
      bool bMovedLo = false, bMovedHi = false;
      int n = b.n;
      int nResult = 0;  // 1: the search ended, 2: the midpoint is in the zone, 3: left the binade
      std::int64_t mid = 0;
      for (;;) {
        // Unsigned: patterns are below 2^63, their sum below 2^64.
        const std::uint64_t sum = std::uint64_t(lo) + std::uint64_t(hi), half = sum >> 1;
        mid = std::int64_t(half + (sum & half & 1));
        if (std::uint64_t(mid - zFirst) < nZoneCount) {  // za < mid < zb in one unsigned comparison
          nResult = 2;
          break;
        }
        const bool bLowMoves = mid <= za;
        lo = bLowMoves ? mid : lo;
        hi = bLowMoves ? hi : mid;
        bMovedLo |= bLowMoves;
        bMovedHi |= !bLowMoves;
        if ((mid >> 52) != nBinade) {
          nResult = 3;
          break;
        }
        if (n == 200) {
          nResult = 1;
          break;
        }
        ++n;
        if (hi - lo < nFar) {
          const double xL = bNeg ? -DoubleOf(std::uint64_t(hi)) : DoubleOf(std::uint64_t(lo));
          const double xU = bNeg ? -DoubleOf(std::uint64_t(lo)) : DoubleOf(std::uint64_t(hi));
          if (NumbersAreClose(xL, xU, tol)) {
            nResult = 1;
            break;
          }
        }
      }
      b.n = n;
      const double dLo = DoubleOf(std::uint64_t(lo)), dHi = DoubleOf(std::uint64_t(hi));
      b.xL = bNeg ? -dHi : dLo;
      b.xU = bNeg ? -dLo : dHi;
      b.bMovedL |= bNeg ? bMovedHi : bMovedLo;
      b.bMovedU |= bNeg ? bMovedLo : bMovedHi;
      if (nResult == 2) {
        b.xM = bNeg ? -DoubleOf(std::uint64_t(mid)) : DoubleOf(std::uint64_t(mid));
        return false;
      }
      b.xM = (b.xL + b.xU) / 2.0;
      // Having left the binade, the step still ends like every other.
      if (nResult == 1 || b.n == 200 || (++b.n, NumbersAreClose(b.xL, b.xU, tol))) {
        dResult = b.xM;
        return true;
      }
      continue;  // go on in floating point
    }
    const bool bLower = b.xM <= xa;
    (bLower ? b.xL : b.xU) = b.xM;
    (bLower ? b.bMovedL : b.bMovedU) = true;
    b.xM = (b.xL + b.xU) / 2.0;
    if (b.n == 200 || (++b.n, NumbersAreClose(b.xL, b.xU, tol))) {
      dResult = b.xM;
      return true;
    }
  }
}

/// Outcome of a test over an interval: decided false, decided true, or open.
enum class ETri : unsigned char { kFalse, kTrue, kOpen };

/// |d| < tol over d in [dLo, dHi] (d monotone in the unknown value).
inline ETri CloseOver(double dLo, double dHi, double tol) {
  if (dHi <= -tol || dLo >= tol) return ETri::kFalse;
  if (dLo > -tol && dHi < tol) return ETri::kTrue;
  return ETri::kOpen;
}

/// True when the zone's bounds decide every test that involves values
/// F <= A or F >= B (p >= 1e-9 > tol, so "p close to F" is relative).
inline bool ZoneBoundsDecide(double p, double tol, double A, double B) {
  if (!(A < p && B > p)) return false;                             // p <= F, p < F, p > F
  if (!(A / p - 1.0 <= -tol && B / p - 1.0 >= tol)) return false;  // p close to F (d(0) = -1)
  // FL close to FU for FL in [0, A], FU in [B, 1]: absolute below tol,
  // relative above; both differences grow with FU and shrink with FL.
  if (!(B - std::min(A, tol) >= tol)) return false;
  if (A >= tol && !(B / A - 1.0 >= tol)) return false;
  return true;
}

/// The search with predicted CDF values (InverseCdf.cpp explains why it
/// returns the plain search's double).
template <class Predictor, class Cdf>
class CPredictedSearch {
 public:
  /// pGrids (may be null): the bisection grids of the brackets, at tolerance tol.
  CPredictedSearch(const Predictor& pred, Cdf& cdf, double p, double tol, CBracketGrids* pGrids = nullptr)
      : m_pred(pred), m_cdf(cdf), m_dP(p), m_dTol(tol), m_pGrids(pGrids) {}

  /// Places the zone around the estimated root; false when the bounds do
  /// not decide the tests (the caller then runs the plain search).
  bool PlaceZone(double dRoot, double dSlope) {
    const double tau = std::max(m_dTol * m_dP, 0x1p-52);  // at least two steps of a computed CDF near 0
    for (double k : {1.5, 8.0, 64.0}) {
      const double dx = k * tau / dSlope;
      m_dXa = dRoot - dx;
      m_dXb = dRoot + dx;
      if (!(m_dXa < dRoot)) m_dXa = std::nextafter(dRoot, -HUGE_VAL);  // a zone narrower than a step of x
      if (!(m_dXb > dRoot)) m_dXb = std::nextafter(dRoot, HUGE_VAL);
      if (!(std::isfinite(m_dXa) && std::isfinite(m_dXb))) return false;
      if (!m_pred.BoundBelow(m_dXa, m_dA) || !m_pred.BoundAbove(m_dXb, m_dB)) return false;
      if (ZoneBoundsDecide(m_dP, m_dTol, m_dA, m_dB)) {
        // A value <= A is not close to any value >= p, nor a value >= B to
        // any value < p (the quotients and differences are monotone).
        m_bLeftApart = m_dP - std::min(m_dA, m_dTol) >= m_dTol && (m_dA < m_dTol || m_dP / m_dA - 1.0 >= m_dTol);
        m_bRightApart = m_dB - m_dP >= m_dTol && m_dB / m_dP - 1.0 >= m_dTol;
        return true;
      }
    }
    return false;
  }

  double Run(double m, double s, double dLowLimit, double dUpLimit) {
    const double tol = m_dTol;
    double xL = m;
    CLazyCdf fL = Query(xL);
    if (CloseToP(fL)) return xL;
    double xU = m + s;
    CLazyCdf fU = Query(xU);
    if (CloseToP(fU)) return xU;

    int n = 0;
    if (PLess(fL)) {
      do {
        xU = xL;
        fU = fL;
        xL = xL - s;
        if (xL < dLowLimit) {
          xL = dLowLimit;
          fL = {0.0, 0.0, xL, true, ERegion::kLeft};  // 0 lies in [0, A]
          break;
        }
        if (++n > 20) return xL;
        fL = Query(xL);
      } while (PLess(fL));
    } else if (PGreater(fU)) {
      do {
        xL = xU;
        fL = fU;
        xU = xU + s;
        if (xU > dUpLimit) {
          xU = dUpLimit;
          fU = {1.0, 1.0, xU, true, ERegion::kRight};  // 1 lies in [B, 1]
          break;
        }
        if (++n > 19) return xU;
        fU = Query(xU);
      } while (PGreater(fU));
    }

    for (n = 0;; ++n) {
      if (NumbersAreClose(xL, xU, tol)) return (xL + xU) / 2.0;
      double xM = (xL + xU) / 2.0;
      if (fL.eRegion == ERegion::kLeft && fU.eRegion == ERegion::kRight) {
        // Steps with both ends and the midpoint outside the zone: the
        // midpoint's value is not close to p and lies on the side of p
        // given by its region, and FL <= A, FU >= B are not close.
        CBisection b{xL, xU, xM, n, false, false};
        bool bJumpedL = false, bJumpedU = false;
        if (n == 0 && m_pGrids) JumpByGrid(b, bJumpedL, bJumpedU);
        double dResult = 0.0;
        if (StepOutsideZone(b, m_dXa, m_dXb, tol, dResult)) return dResult;
        const bool bMovedL = b.bMovedL || bJumpedL, bMovedU = b.bMovedU || bJumpedU;
        xL = b.xL;
        xU = b.xU;
        xM = b.xM;
        n = b.n;
        if (bMovedL) fL = {0.0, m_dA, xL, false, ERegion::kLeft};
        if (bMovedU) fU = {m_dB, 1.0, xU, false, ERegion::kRight};
      }
      CLazyCdf fM = Query(xM);
      if (CloseToP(fM)) return xM;
      if (PLessEq(fM)) {
        xU = xM;
        fU = fM;
      } else {
        xL = xM;
        fL = fM;
      }
      if (Close(fL, fU)) return (xL + xU) / 2.0;
      if (n == 200) return (xL + xU) / 2.0;
    }
  }

 private:
  // The first steps of the bisection from the bracket in one lookup, when
  // its grid is built and holds no point of the zone (BisectionGrid.h).
  void JumpByGrid(CBisection& b, bool& bMovedL, bool& bMovedU) {
    const CBisectionGrid* pGrid = m_pGrids->Find(b.xL, b.xU);
    if (pGrid && pGrid->Descend(m_dXa, m_dXb, b.xL, b.xU, bMovedL, bMovedU)) {
      b.xM = (b.xL + b.xU) / 2.0;
      b.n = CBisectionGrid::kLevels;
    }
  }

  CLazyCdf Query(double x) {
    if (x <= m_dXa) return {0.0, m_dA, x, false, ERegion::kLeft};
    if (x >= m_dXb) return {m_dB, 1.0, x, false, ERegion::kRight};
    CCdfBounds b;
    if (m_pred.Predict(x, b)) return {b.dLo, b.dHi, x, b.dLo == b.dHi, ERegion::kZone};
    const double f = m_cdf(x);
    return {f, f, x, true, ERegion::kZone};
  }

  void MakeExact(CLazyCdf& f) {
    if (f.bExact) return;
    f.dLo = f.dHi = m_cdf(f.dX);
    f.bExact = true;
  }

  // p close to F: d = F / p - 1 (p >= tol), increasing in F.
  bool CloseToP(CLazyCdf& f) {
    if (f.eRegion != ERegion::kZone) return false;
    if (f.bExact) return NumbersAreClose(m_dP, f.dLo, m_dTol);
    const ETri t = CloseOver(f.dLo / m_dP - 1.0, f.dHi / m_dP - 1.0, m_dTol);
    if (t != ETri::kOpen) return t == ETri::kTrue;
    MakeExact(f);
    return NumbersAreClose(m_dP, f.dLo, m_dTol);
  }

  bool PLessEq(CLazyCdf& f) {
    if (f.eRegion != ERegion::kZone) return f.eRegion == ERegion::kRight;
    if (f.dLo >= m_dP) return true;
    if (f.dHi < m_dP) return false;
    MakeExact(f);
    return m_dP <= f.dLo;
  }

  bool PLess(CLazyCdf& f) {
    if (f.eRegion != ERegion::kZone) return f.eRegion == ERegion::kRight;
    if (f.dLo > m_dP) return true;
    if (f.dHi <= m_dP) return false;
    MakeExact(f);
    return m_dP < f.dLo;
  }

  bool PGreater(CLazyCdf& f) {
    if (f.eRegion != ERegion::kZone) return f.eRegion == ERegion::kLeft;
    if (f.dHi < m_dP) return true;
    if (f.dLo >= m_dP) return false;
    MakeExact(f);
    return m_dP > f.dLo;
  }

  // FL close to FU: FU - FL when |FL| < tol, else FU / FL - 1; CDF values
  // are >= 0, and both forms increase with FU and decrease with FL.
  bool Close(CLazyCdf& fL, CLazyCdf& fU) {
    if (fL.eRegion == ERegion::kLeft && (fU.eRegion == ERegion::kRight || (m_bLeftApart && fU.dLo >= m_dP)))
      return false;
    if (fU.eRegion == ERegion::kRight && m_bRightApart && fL.dHi < m_dP) return false;
    if (fL.bExact && fU.bExact) return NumbersAreClose(fL.dLo, fU.dLo, m_dTol);
    // The values of FL below tol take the absolute form, the others the
    // relative one; the outcome is decided when both parts agree.
    const bool bSomeBelow = fL.dLo < m_dTol, bSomeAbove = fL.dHi >= m_dTol;
    const ETri tBelow =
        bSomeBelow ? CloseOver(fU.dLo - std::min(fL.dHi, m_dTol), fU.dHi - fL.dLo, m_dTol) : ETri::kOpen;
    const ETri tAbove =
        bSomeAbove ? CloseOver(fU.dLo / fL.dHi - 1.0, fU.dHi / std::max(fL.dLo, m_dTol) - 1.0, m_dTol) : ETri::kOpen;
    const ETri t = !bSomeBelow ? tAbove : !bSomeAbove ? tBelow : (tBelow == tAbove ? tBelow : ETri::kOpen);
    if (t != ETri::kOpen) return t == ETri::kTrue;
    MakeExact(fL);
    MakeExact(fU);
    return NumbersAreClose(fL.dLo, fU.dLo, m_dTol);
  }

  const Predictor& m_pred;     ///< bounds of CDF near the quantile
  Cdf& m_cdf;                  ///< the exact CDF
  double m_dP;                 ///< wanted probability
  double m_dTol;               ///< resolved tolerance
  double m_dXa = 0.0;          ///< upper end of the left region
  double m_dXb = 0.0;          ///< lower end of the right region
  double m_dA = 0.0;           ///< CDF(x) <= A for x <= xa
  double m_dB = 0.0;           ///< CDF(x) >= B for x >= xb
  bool m_bLeftApart = false;   ///< no value <= A is close to a value >= p
  bool m_bRightApart = false;  ///< no value < p is close to a value >= B
  CBracketGrids* m_pGrids;     ///< grids of the brackets, or null
};

/// Runs the predicted search into x when the predictor sets itself up.
template <class Predictor, class Cdf>
bool TryPredictedSearch(Predictor& pred, Cdf& cdf, double p, double tol, double m, double s, double dLowLimit,
                        double dUpLimit, double& x, CBracketGrids* pGrids) {
  double dRoot = 0.0, dSlope = 0.0;
  if (!pred.Prepare(p, dRoot, dSlope)) return false;
  CPredictedSearch<Predictor, Cdf> search(pred, cdf, p, tol, pGrids);
  if (!search.PlaceZone(dRoot, dSlope)) return false;
  x = search.Run(m, s, dLowLimit, dUpLimit);
  return true;
}

inline bool Finite(double a, double b, double c) { return std::isfinite(a) && std::isfinite(b) && std::isfinite(c); }

/// The inverse distribution of a variable of type nType with parameters
/// p1..p3, mean m, standard deviation s and search limits: the predicted
/// search where a predictor covers the case, the plain search elsewhere.
/// tol is the resolved tolerance (>= 0); pGrids, when given, holds the
/// bisection grids of this variable's brackets at that tolerance.
template <class Cdf>
double InverseCdfSearch(int nType, double p1, double p2, double p3, double p, double tol, double m, double s,
                        double dLowLimit, double dUpLimit, Cdf& cdf, CBracketGrids* pGrids = nullptr) {
  // The predictors cover the probabilities and tolerances of sampling;
  // everything else takes the plain search.
  const bool bCovered =
      tol >= 1e-15 && tol <= 1e-10 && p >= 1e-9 && p <= 0.99999 && s > 0.0 && Finite(m, s, p1) && Finite(p2, p3, 0.0);
  if (bCovered) {
    double x = 0.0;
    switch (nType) {
      case 0:  // normal
      case 2:  // lognormal
        if (std::fabs(p - 0.5) >= 1e-5 && p2 > 0.0) {
          CNormalFitPredictor pred(nType == 2, p1, p2);
          if (TryPredictedSearch(pred, cdf, p, tol, m, s, dLowLimit, dUpLimit, x, pGrids)) return x;
        }
        break;
      case 1: {  // uniform
        CUniformPredictor pred(p1, p2);
        if (TryPredictedSearch(pred, cdf, p, tol, m, s, dLowLimit, dUpLimit, x, pGrids)) return x;
        break;
      }
      case 3:  // Weibull
        if (p2 > 0.0 && p3 > 0.0) {
          CWeibullPredictor pred(p1, p2, p3);
          if (TryPredictedSearch(pred, cdf, p, tol, m, s, dLowLimit, dUpLimit, x, pGrids)) return x;
        }
        break;
      default:
        break;
    }
  }
  return PlainSearch(cdf, p, tol, m, s, dLowLimit, dUpLimit);
}

}  // namespace rbo::icdf
