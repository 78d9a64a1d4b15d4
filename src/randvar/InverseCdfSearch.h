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

#include "randvar/AnchorLanes.h"
#include "randvar/BisectionGrid.h"
#include "randvar/DistributionKernels.h"
#include "randvar/IntegerBisection.h"
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
  bool bMovedL;  ///< the lower end moved outside the zone
  bool bMovedU;  ///< the upper end moved outside the zone
};

/// Where the steps outside the zone stopped.
enum class EOutside : unsigned char {
  kEnded,    ///< the search ended
  kZone,     ///< the midpoint lies inside the zone
  kIntegers  ///< the bracket is one binade: integer steps are set up
};

/// Runs the bisection steps whose midpoint lies outside (xa, xb), given
/// that every value at or below xa sits below p and every value at or above
/// xb above it, with no test on them open.  Each step moves the lower end
/// (xM <= xa) or the upper end, then ends the search after step 200 or when
/// the ends are close, exactly as the plain search does.  The steps run in
/// floating point until the bracket lies within one binade, where integer
/// steps take over (IntegerBisection.h): then s is set up and the function
/// returns kIntegers.  kEnded leaves the search's result in dResult; kZone
/// the state at the first midpoint inside the zone.
inline EOutside StepOutsideZoneUntilIntegers(CBisection& b, double xa, double xb, double tol, double& dResult,
                                             CIntegerSteps& s) {
  for (;;) {
    if (b.xM > xa && b.xM < xb) return EOutside::kZone;
    if (SetUpIntegerSteps(b.xL, b.xU, xa, xb, b.n, tol, s)) return EOutside::kIntegers;
    const bool bLower = b.xM <= xa;
    (bLower ? b.xL : b.xU) = b.xM;
    (bLower ? b.bMovedL : b.bMovedU) = true;
    b.xM = (b.xL + b.xU) / 2.0;
    if (b.n == 200 || (++b.n, NumbersAreClose(b.xL, b.xU, tol))) {
      dResult = b.xM;
      return EOutside::kEnded;
    }
  }
}

/// Takes the state after integer steps into b: true when the search ended
/// (its result in dResult), false at a midpoint inside the zone.
inline bool TakeIntegerSteps(CBisection& b, const CIntegerSteps& s, double& dResult) {
  b.n = s.n;
  IntegerEnds(s, b.xL, b.xU);
  const bool bMovedLo = s.lo != s.lo0, bMovedHi = s.hi != s.hi0;
  b.bMovedL |= s.bNeg ? bMovedHi : bMovedLo;
  b.bMovedU |= s.bNeg ? bMovedLo : bMovedHi;
  if (s.eEnd == EIntegerEnd::kZone) {
    b.xM = MidpointOf(s);
    return false;
  }
  b.xM = (b.xL + b.xU) / 2.0;
  dResult = b.xM;
  return true;
}

/// Outcome of a test over an interval: decided false, decided true, or open.
enum class ETri : unsigned char { kFalse, kTrue, kOpen };

/// |d| < tol over d in [dLo, dHi] (d monotone in the unknown value).
inline ETri CloseOver(double dLo, double dHi, double tol) {
  if (dHi <= -tol || dLo >= tol) return ETri::kFalse;
  if (dLo > -tol && dHi < tol) return ETri::kTrue;
  return ETri::kOpen;
}

/// Where every search of a variable starts: the mean and standard deviation
/// it widens from, and the limits of its support.
struct CSearchStart {
  double m, s;
  double dLowLimit, dUpLimit;
};

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
  bool PlaceZone(double dRoot, double dXPerP) {
    // Narrow first, then the wider zones as the fallback.
    for (double k : kZoneWidths) {
      const double dx = ZoneHalfWidth(m_dP, m_dTol, dXPerP, k);
      m_dXa = dRoot - dx;
      m_dXb = dRoot + dx;
      if (!(m_dXa < dRoot)) m_dXa = std::nextafter(dRoot, -HUGE_VAL);  // a zone narrower than a step of x
      if (!(m_dXb > dRoot)) m_dXb = std::nextafter(dRoot, HUGE_VAL);
      if (!(std::isfinite(m_dXa) && std::isfinite(m_dXb))) return false;
      if (!m_pred.BoundBelow(m_dXa, m_dA) || !m_pred.BoundAbove(m_dXb, m_dB)) return false;
      if (ZoneBoundsDecide(m_dP, m_dTol, m_dA, m_dB)) return true;
    }
    return false;
  }

  /// Takes a zone placed elsewhere (the same bounds as PlaceZone's, for
  /// many probabilities at once).
  void SetZone(double xa, double xb, double A, double B) {
    m_dXa = xa;
    m_dXb = xb;
    m_dA = A;
    m_dB = B;
  }

  /// Takes a sure zone: every CDF value over [xc, xd] is close to p, so a
  /// search whose first zone midpoint lies there ends at it (xc > xd: none).
  void SetSureZone(double xc, double xd) {
    m_dXc = xc;
    m_dXd = xd;
  }

  /// The whole search.
  double Run(double m, double s, double dLowLimit, double dUpLimit) {
    double x = 0.0;
    bool bEnded = false;
    if (!WidenAtOnce() && !WidenOutsideZone(m, s, dLowLimit, dUpLimit, bEnded, x))
      bEnded = Widen(m, s, dLowLimit, dUpLimit, x);
    if (bEnded || UsualEnd(x) || Bisect(0, x)) return x;
    for (;;) {
      RunIntegerSteps(m_steps);
      if (m_steps.eEnd != EIntegerEnd::kZone) return TakeIntegerSteps(m_b, m_steps, x), x;
      // The usual end: the first midpoint inside the zone has a value close
      // to p, and the ends need not be formed.
      const double xM = MidpointOf(m_steps);
      CLazyCdf fM = Query(xM);
      if (CloseToP(fM)) return xM;
      TakeIntegerSteps(m_b, m_steps, x);
      AfterOutsideSteps();
      const int n = m_b.n;
      if (MoveEnd(xM, fM, n, x) || Bisect(n + 1, x)) return x;
      // Not reached: after a zone step one end lies in the zone.
    }
  }

 private:
  // The bracketing by steps of s from m; true when it ended the search.
  // The bracket's number (0 for [m, m + s], -k after k steps down, +k after
  // k steps up) names its grid.
  bool Widen(double m, double s, double dLowLimit, double dUpLimit, double& x) {
    m_xL = m;
    m_fL = Query(m_xL);
    if (CloseToP(m_fL)) return x = m_xL, true;
    m_xU = m + s;
    m_fU = Query(m_xU);
    if (CloseToP(m_fU)) return x = m_xU, true;

    int n = 0;
    if (PLess(m_fL)) {
      do {
        m_xU = m_xL;
        m_fU = m_fL;
        m_xL = m_xL - s;
        m_nBracket = -(n + 1);
        if (m_xL < dLowLimit) {
          m_xL = dLowLimit;
          m_fL = {0.0, 0.0, m_xL, true, ERegion::kLeft};  // 0 lies in [0, A]
          break;
        }
        if (++n > 20) return x = m_xL, true;
        m_fL = Query(m_xL);
      } while (PLess(m_fL));
    } else if (PGreater(m_fU)) {
      do {
        m_xL = m_xU;
        m_fL = m_fU;
        m_xU = m_xU + s;
        m_nBracket = n + 1;
        if (m_xU > dUpLimit) {
          m_xU = dUpLimit;
          m_fU = {1.0, 1.0, m_xU, true, ERegion::kRight};  // 1 lies in [B, 1]
          break;
        }
        if (++n > 19) return x = m_xU, true;
        m_fU = Query(m_xU);
      } while (PGreater(m_fU));
    }
    return false;
  }

  // WidenOutsideZone's bracket from the widening's points, when they are at
  // hand (the grids hold them): one lookup instead of a step per point, and
  // no branch on which side of the mean p lies.
  bool WidenAtOnce() {
    int j = 0;
    if (!m_pGrids || !m_pGrids->Widening().Bracket(m_dXa, m_dXb, j)) return false;
    m_nBracket = j;
    return OutsideBracket(m_pGrids->Widening().At(j), m_pGrids->Widening().At(j + 1));
  }

  // The bracket [xL, xU] with both ends outside the zone, on its sides: their
  // values are bounded by the zone's A and B.
  bool OutsideBracket(double xL, double xU) {
    m_xL = xL;
    m_fL = {0.0, m_dA, xL, false, ERegion::kLeft};
    m_xU = xU;
    m_fU = {m_dB, 1.0, xU, false, ERegion::kRight};
    return true;
  }

  // Widen when every point it visits lies outside the zone, so that each
  // of its tests is decided by the point's side: a value at or above xb is
  // above p and not close to it, one at or below xa below p.  The same steps
  // as Widen without forming the values; false, with nothing set, when a
  // point lies inside the zone (Widen then runs).  bEnded and x as Widen's
  // result.  It takes the usual searches 4 to 12 % faster than Widen alone,
  // which is why the widening is written twice.
  bool WidenOutsideZone(double m, double s, double dLowLimit, double dUpLimit, bool& bEnded, double& x) {
    const auto outside = [this](double y) { return y <= m_dXa || y >= m_dXb; };
    double xL = m, xU = m + s;
    if (!outside(xL) || !outside(xU)) return false;
    bEnded = false;
    int n = 0;
    if (xL >= m_dXb) {  // p < F(m): downward
      do {
        xU = xL;
        xL = xL - s;
        if (xL < dLowLimit) return m_nBracket = -(n + 1), AtLowerLimit(dLowLimit, xU);
        if (++n > 20) return bEnded = true, x = xL, true;
        if (!outside(xL)) return false;
      } while (xL >= m_dXb);
      m_nBracket = -n;
    } else if (xU <= m_dXa) {  // p > F(m + s): upward
      do {
        xL = xU;
        xU = xU + s;
        if (xU > dUpLimit) return m_nBracket = n + 1, AtUpperLimit(xL, dUpLimit);
        if (++n > 19) return bEnded = true, x = xU, true;
        if (!outside(xU)) return false;
      } while (xU <= m_dXa);
      m_nBracket = n;
    }
    return OutsideBracket(xL, xU);
  }

  // The bracket [lower limit, xU] and [xL, upper limit] that Widen forms
  // when a step passes a limit: the value there is 0 (or 1) itself.
  bool AtLowerLimit(double dLowLimit, double xU) {
    m_xL = dLowLimit;
    m_fL = {0.0, 0.0, m_xL, true, ERegion::kLeft};  // 0 lies in [0, A]
    m_xU = xU;
    m_fU = {m_dB, 1.0, xU, false, ERegion::kRight};
    return true;
  }
  bool AtUpperLimit(double xL, double dUpLimit) {
    m_xL = xL;
    m_fL = {0.0, m_dA, xL, false, ERegion::kLeft};
    m_xU = dUpLimit;
    m_fU = {1.0, 1.0, m_xU, true, ERegion::kRight};  // 1 lies in [B, 1]
    return true;
  }

  // The bisection from step n; true when it ended (x), false when integer
  // steps are set up.
  bool Bisect(int n, double& x) {
    for (;; ++n) {
      if (NumbersAreClose(m_xL, m_xU, m_dTol)) return x = (m_xL + m_xU) / 2.0, true;
      double xM = (m_xL + m_xU) / 2.0;
      if (m_fL.eRegion == ERegion::kLeft && m_fU.eRegion == ERegion::kRight) {
        // Steps with both ends and the midpoint outside the zone: the
        // midpoint's value is not close to p and lies on the side of p
        // given by its region, and FL <= A, FU >= B are not close.
        m_b = CBisection{m_xL, m_xU, xM, n, false, false};
        m_bJumpedL = m_bJumpedU = false;
        if (n == 0 && m_pGrids) JumpByGrid(m_b, m_bJumpedL, m_bJumpedU);
        const EOutside e = StepOutsideZoneUntilIntegers(m_b, m_dXa, m_dXb, m_dTol, x, m_steps);
        if (e != EOutside::kZone) return e == EOutside::kEnded;
        AfterOutsideSteps();
        xM = m_b.xM;
        n = m_b.n;
      }
      if (ZoneStep(xM, n, x)) return true;
    }
  }

  // The usual course of a search whose widening left both ends outside the
  // zone and whose bracket has its grid: the grid's levels in one lookup,
  // integer steps within one binade, and the end there, with the ends close
  // or at a first zone midpoint inside the sure zone or whose predicted
  // value is close to p.  The same steps and tests as Bisect and Run's loop
  // take then, without the general search's state; true when it ended the
  // search (x).  False when the search takes another course (no grid yet, a
  // bracket over two binades, a zone value not shown close): Bisect then
  // starts the bisection again, and the integer steps, the only state this
  // changed, are set up anew before they are read.
  bool UsualEnd(double& x) {
    if (m_fL.eRegion != ERegion::kLeft || m_fU.eRegion != ERegion::kRight || !m_pGrids) return false;
    // A built grid's bracket has ends that are not close: no two ends of
    // its levels are, and the first level's are nearer than the bracket's.
    const CBisectionGrid* pGrid = m_pGrids->Built(m_nBracket, m_xL, m_xU);
    if (!pGrid) return false;
    double xL = m_xL, xU = m_xU;
    bool bMovedL = false, bMovedU = false;
    if (!pGrid->Descend(m_dXa, m_dXb, xL, xU, bMovedL, bMovedU)) return false;
    if (!SetUpIntegerSteps(xL, xU, m_dXa, m_dXb, CBisectionGrid::kLevels, m_dTol, m_steps)) return false;
    RunIntegerSteps(m_steps);
    if (m_steps.eEnd != EIntegerEnd::kZone) {
      IntegerEnds(m_steps, xL, xU);
      x = (xL + xU) / 2.0;
      return true;
    }
    const double xM = MidpointOf(m_steps);
    if (xM >= m_dXc && xM <= m_dXd) return x = xM, true;
    CCdfBounds b;
    if (!m_pred.Predict(xM, b) || CloseOver(b.dLo / m_dP - 1.0, b.dHi / m_dP - 1.0, m_dTol) != ETri::kTrue)
      return false;
    x = xM;
    return true;
  }

  // The ends after the steps outside the zone: an end that moved lies
  // outside it, where the bounds stand for its value.
  void AfterOutsideSteps() {
    m_xL = m_b.xL;
    m_xU = m_b.xU;
    if (m_b.bMovedL || m_bJumpedL) m_fL = {0.0, m_dA, m_xL, false, ERegion::kLeft};
    if (m_b.bMovedU || m_bJumpedU) m_fU = {m_dB, 1.0, m_xU, false, ERegion::kRight};
  }

  // One step at a midpoint that needs its value; true when it ended the search (x).
  bool ZoneStep(double xM, int n, double& x) {
    CLazyCdf fM = Query(xM);
    if (CloseToP(fM)) return x = xM, true;
    return MoveEnd(xM, fM, n, x);
  }

  // The rest of a zone step whose value fM at xM is not close to p.
  bool MoveEnd(double xM, CLazyCdf& fM, int n, double& x) {
    if (PLessEq(fM)) {
      m_xU = xM;
      m_fU = fM;
    } else {
      m_xL = xM;
      m_fL = fM;
    }
    if (Close(m_fL, m_fU) || n == 200) return x = (m_xL + m_xU) / 2.0, true;
    return false;
  }

  // The first steps of the bisection from the bracket in one lookup, when
  // its grid is built and holds no point of the zone (BisectionGrid.h).
  void JumpByGrid(CBisection& b, bool& bMovedL, bool& bMovedU) {
    const CBisectionGrid* pGrid = m_pGrids->Find(m_nBracket, b.xL, b.xU);
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

  // No value <= A is close to a value >= p, nor a value >= B to one < p
  // (the quotients and differences are monotone).  Asked only when a zone
  // step's value is not close to p.
  bool LeftApart() const {
    return m_dP - std::min(m_dA, m_dTol) >= m_dTol && (m_dA < m_dTol || m_dP / m_dA - 1.0 >= m_dTol);
  }
  bool RightApart() const { return m_dB - m_dP >= m_dTol && m_dB / m_dP - 1.0 >= m_dTol; }

  // FL close to FU: FU - FL when |FL| < tol, else FU / FL - 1; CDF values
  // are >= 0, and both forms increase with FU and decrease with FL.
  bool Close(CLazyCdf& fL, CLazyCdf& fU) {
    if (fL.eRegion == ERegion::kLeft && (fU.eRegion == ERegion::kRight || (fU.dLo >= m_dP && LeftApart())))
      return false;
    if (fU.eRegion == ERegion::kRight && fL.dHi < m_dP && RightApart()) return false;
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

  const Predictor& m_pred;  ///< bounds of CDF near the quantile
  Cdf& m_cdf;               ///< the exact CDF
  double m_dP;              ///< wanted probability
  double m_dTol;            ///< resolved tolerance
  double m_dXa = 0.0;       ///< upper end of the left region
  double m_dXb = 0.0;       ///< lower end of the right region
  double m_dA = 0.0;        ///< CDF(x) <= A for x <= xa
  double m_dB = 0.0;        ///< CDF(x) >= B for x >= xb
  double m_dXc = HUGE_VAL;  ///< the sure zone [xc, xd]: every CDF value there is close to p
  double m_dXd = -HUGE_VAL;
  CBracketGrids* m_pGrids;  ///< grids of the brackets, or null
  // The search's state between its phases.
  double m_xL = 0.0, m_xU = 0.0;                ///< the ends
  CLazyCdf m_fL, m_fU;                          ///< their values (set by Widen)
  int m_nBracket = 0;                           ///< the bracket's number (Widen)
  CBisection m_b;                               ///< the steps outside the zone (set by Bisect)
  bool m_bJumpedL = false, m_bJumpedU = false;  ///< the grid moved an end
  CIntegerSteps m_steps;                        ///< the integer steps (set up before they run)
};

/// Runs the predicted search into x from a prepared predictor (its root
/// estimate and dx/dCDF there) when the zone can be placed.
template <class Predictor, class Cdf>
bool SearchFromRoot(const Predictor& pred, Cdf& cdf, double p, double tol, double dRoot, double dXPerP,
                    const CSearchStart& start, double& x, CBracketGrids* pGrids) {
  CPredictedSearch<Predictor, Cdf> search(pred, cdf, p, tol, pGrids);
  if (!search.PlaceZone(dRoot, dXPerP)) return false;
  x = search.Run(start.m, start.s, start.dLowLimit, start.dUpLimit);
  return true;
}

/// Runs the predicted search into x when the predictor sets itself up.
template <class Predictor, class Cdf>
bool TryPredictedSearch(Predictor& pred, Cdf& cdf, double p, double tol, const CSearchStart& start, double& x,
                        CBracketGrids* pGrids) {
  double dRoot = 0.0, dXPerP = 0.0;
  return pred.Prepare(p, dRoot, dXPerP) && SearchFromRoot(pred, cdf, p, tol, dRoot, dXPerP, start, x, pGrids);
}

inline bool Finite(double a, double b, double c) { return std::isfinite(a) && std::isfinite(b) && std::isfinite(c); }

/// The variable whose inverse distribution a search computes: type,
/// parameters, the mean and standard deviation the bracketing starts from,
/// and the limits of its support.
struct CSearchVariable {
  int nType;
  double p1, p2, p3;
  double m, s;
  double dLowLimit, dUpLimit;

  CSearchStart Start() const { return {m, s, dLowLimit, dUpLimit}; }
};

/// Whether a predictor may be set up for v at tolerance tol, for some p:
/// the predictors cover the tolerances of sampling and usual parameters.
inline bool PredictorCoversVariable(const CSearchVariable& v, double tol) {
  const bool bUsual = tol >= 1e-15 && tol <= 1e-10 && v.s > 0.0 && Finite(v.m, v.s, v.p1) && Finite(v.p2, v.p3, 0.0);
  switch (v.nType) {
    case 0:  // normal
    case 2:  // lognormal
      return bUsual && v.p2 > 0.0;
    case 1:  // uniform
      return bUsual;
    case 3:  // Weibull
      return bUsual && v.p2 > 0.0 && v.p3 > 0.0;
    default:
      return false;
  }
}

/// Whether the predictor of a covered variable v may be set up for p: the
/// probabilities of sampling, and for the normal and lognormal not where
/// the erfc fit jumps.  Everything else takes the plain search.
inline bool PredictorCoversProbability(const CSearchVariable& v, double p) {
  return ProbabilityCovered(p, v.nType == 0 || v.nType == 2);
}

/// Calls f with the predictor of v's type (the Weibull one for types
/// beyond 2, which PredictorCoversVariable refuses but 3).
template <class F>
void WithPredictor(const CSearchVariable& v, F&& f) {
  switch (v.nType) {
    case 0:
    case 2:
      f(CNormalFitPredictor(v.nType == 2, v.p1, v.p2));
      break;
    case 1:
      f(CUniformPredictor(v.p1, v.p2));
      break;
    default:
      f(CWeibullPredictor(v.p1, v.p2, v.p3));
      break;
  }
}

/// The inverse distribution of v at p: the predicted search where a
/// predictor covers the case, the plain search elsewhere.  tol is the
/// resolved tolerance (>= 0); pGrids, when given, holds the bisection grids
/// of this variable's brackets at that tolerance.
template <class Cdf>
double InverseCdfSearch(const CSearchVariable& v, double p, double tol, Cdf& cdf, CBracketGrids* pGrids = nullptr) {
  if (PredictorCoversVariable(v, tol) && PredictorCoversProbability(v, p)) {
    double x = 0.0;
    bool bDone = false;
    WithPredictor(v, [&](auto pred) { bDone = TryPredictedSearch(pred, cdf, p, tol, v.Start(), x, pGrids); });
    if (bDone) return x;
  }
  return PlainSearch(cdf, p, tol, v.m, v.s, v.dLowLimit, v.dUpLimit);
}

/// The inverse distribution of v over n values (pValues[i * nStride] holds p
/// and receives x), the same doubles as InverseCdfSearch, with the
/// predictor of v's type made once.
template <class Predictor, class Cdf>
void InvertEach(const CSearchVariable& v, const Predictor& proto, double* pValues, std::size_t n, std::size_t nStride,
                double tol, Cdf& cdf, CBracketGrids* pGrids) {
  const bool bCovered = PredictorCoversVariable(v, tol);
  const CSearchStart start = v.Start();
  // Prepare sets every part of the predictor that a search reads, so one
  // copy serves all the values.
  Predictor pred = proto;
  for (double *px = pValues, *pEnd = pValues + n * nStride; px != pEnd; px += nStride) {
    const double p = *px;
    if (bCovered && PredictorCoversProbability(v, p) && TryPredictedSearch(pred, cdf, p, tol, start, *px, pGrids))
      continue;
    *px = PlainSearch(cdf, p, tol, start.m, start.s, start.dLowLimit, start.dUpLimit);
  }
}

/// The predicted search of p from the zone that lane j of the lanes placed,
/// with the predictor prepared for it, and the sure zone [xc, xd] (none
/// when xc > xd).
template <class Predictor, class Cdf, class Lanes>
double SearchFromLaneZone(const Predictor& pred, Cdf& cdf, double p, double tol, const Lanes& lanes, int j, double xc,
                          double xd, const CSearchStart& start, CBracketGrids* pGrids) {
  CPredictedSearch<Predictor, Cdf> search(pred, cdf, p, tol, pGrids);
  search.SetZone(lanes.xa[j], lanes.xb[j], lanes.A[j], lanes.B[j]);
  search.SetSureZone(xc, xd);
  return search.Run(start.m, start.s, start.dLowLimit, start.dUpLimit);
}

/// One lane's predicted search: from the lane's zone when it has one (the
/// lanes place zones only where the predictor covers p), else, where it
/// covers p, from its anchor, else from the predictor's own Prepare.
template <class Cdf>
bool SearchFromLane(CNormalFitPredictor& pred, Cdf& cdf, double p, double tol, const CErfcAnchors& lanes, int j,
                    const CSearchStart& start, double& x, CBracketGrids* pGrids) {
  if (lanes.bZone[j] != 0) {
    if (pred.IsLognormal())
      pred.PrepareForZone(p, lanes.At(j), lanes.root[j], lanes.logRoot[j]);
    else
      pred.PrepareForZone(p, lanes.At(j));
    x = SearchFromLaneZone(pred, cdf, p, tol, lanes, j, lanes.xc[j], lanes.xd[j], start, pGrids);
    return true;
  }
  if (!ProbabilityCovered(p, true)) return false;
  double dRoot = 0.0, dXPerP = 0.0;
  const bool bPrepared =
      lanes.bValid[j] != 0 ? pred.Prepare(p, lanes.At(j), dRoot, dXPerP) : pred.Prepare(p, dRoot, dXPerP);
  return bPrepared && SearchFromRoot(pred, cdf, p, tol, dRoot, dXPerP, start, x, pGrids);
}

/// The searches of n values in blocks of kAnchorBatch: setUp(p) forms what
/// the lanes can for a block's probabilities, search(p, j, start, x) runs
/// value j's search from it (false: declined, and so are the probabilities
/// the predictor does not cover), and the plain search takes the values
/// declined.
template <class Cdf, class SetUp, class Search>
void InvertInBlocks(const CSearchVariable& v, double* pValues, std::size_t n, std::size_t nStride, double tol, Cdf& cdf,
                    SetUp&& setUp, Search&& search) {
  const bool bCovered = PredictorCoversVariable(v, tol);
  const CSearchStart start = v.Start();
  double p[kAnchorBatch];
  for (std::size_t i = 0; i < n; i += kAnchorBatch) {
    const std::size_t nBlock = std::min<std::size_t>(kAnchorBatch, n - i);
    double* px = pValues + i * nStride;
    for (std::size_t j = 0; j < std::size_t(kAnchorBatch); ++j) p[j] = j < nBlock ? px[j * nStride] : 0.25;
    if (bCovered) setUp(p);
    for (int j = 0; j < int(nBlock); ++j, px += nStride) {
      if (bCovered && search(p[j], j, start, *px)) continue;
      *px = PlainSearch(cdf, p[j], tol, start.m, start.s, start.dLowLimit, start.dUpLimit);
    }
  }
}

/// The same for a normal or lognormal variable, with the models' anchors
/// and first zones computed for kAnchorBatch values at once (AnchorLanes.h).
template <class Cdf>
void InvertEach(const CSearchVariable& v, const CNormalFitPredictor& proto, double* pValues, std::size_t n,
                std::size_t nStride, double tol, Cdf& cdf, CBracketGrids* pGrids) {
  const CLaneNormal normal{v.p1, v.p2, tol, v.nType == 2};
  const CLaneNormal* pNormal = v.nType == 0 || v.nType == 2 ? &normal : nullptr;
  CNormalFitPredictor pred = proto;
  CErfcAnchors lanes;
  InvertInBlocks(
      v, pValues, n, nStride, tol, cdf, [&](const double(&p)[kAnchorBatch]) { ErfcAnchorsOf(p, pNormal, lanes); },
      [&](double p, int j, const CSearchStart& start, double& x) {
        return SearchFromLane(pred, cdf, p, tol, lanes, j, start, x, pGrids);
      });
}

/// One Weibull search: from its lane's zone when it has one (only where
/// the predictor covers p), else, where it covers p, from its lane's
/// anchor, else (or when that anchor does not serve) from the predictor's
/// own Prepare.
template <class Cdf>
bool SearchFromWeibullLane(CWeibullPredictor& pred, Cdf& cdf, double p, double tol, const CWeibullAnchors& lanes, int j,
                           const CSearchStart& start, double& x, CBracketGrids* pGrids) {
  if (lanes.bZone[j] != 0) {
    pred.PrepareForZone(lanes.At(j, p));
    // No sure zone: its bounds in the lanes cost more than the predictions
    // they save, which are cheap for the Weibull.
    x = SearchFromLaneZone(pred, cdf, p, tol, lanes, j, HUGE_VAL, -HUGE_VAL, start, pGrids);
    return true;
  }
  if (!ProbabilityCovered(p, false)) return false;
  double dRoot = 0.0, dXPerP = 0.0;
  const bool bPrepared = (lanes.bValid[j] != 0 &&
                          pred.PrepareAt(p, lanes.y0[j], kLanesY0Error, lanes.z0[j], lanes.kappa[j], dRoot, dXPerP)) ||
                         pred.Prepare(p, dRoot, dXPerP);
  return bPrepared && SearchFromRoot(pred, cdf, p, tol, dRoot, dXPerP, start, x, pGrids);
}

/// The same for a Weibull variable, with the anchors z0 = y0^(1/beta) and
/// first zones computed for kAnchorBatch values at once (AnchorLanes.h).
template <class Cdf>
void InvertEach(const CSearchVariable& v, const CWeibullPredictor& proto, double* pValues, std::size_t n,
                std::size_t nStride, double tol, Cdf& cdf, CBracketGrids* pGrids) {
  const CLaneWeibull weibull{v.p1, v.p2, v.p3, tol};
  CWeibullPredictor pred = proto;
  CWeibullAnchors lanes;
  InvertInBlocks(
      v, pValues, n, nStride, tol, cdf, [&](const double(&p)[kAnchorBatch]) { WeibullAnchorsOf(p, weibull, lanes); },
      [&](double p, int j, const CSearchStart& start, double& x) {
        return SearchFromWeibullLane(pred, cdf, p, tol, lanes, j, start, x, pGrids);
      });
}

}  // namespace rbo::icdf
