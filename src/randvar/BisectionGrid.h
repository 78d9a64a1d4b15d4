// The first levels of the bisection from one bracket, computed once and
// shared by every search that starts from that bracket.
//
// The points a bisection visits are fixed by its bracket: step k halves the
// current ends, so every point of level k is the computed midpoint of two
// points of the levels before, whatever the probability.  Only the outcomes
// of the tests choose the path.  In sampling, one variable is inverted
// millions of times and its searches start from a handful of brackets
// (m + k s); the grid of a bracket's first kLevels levels, built once, lets
// each search take those steps with one lookup instead of kLevels dependent
// midpoints.
//
// The lookup stands in for the steps outside the zone that move an end
// without testing a CDF value: a midpoint at or below xa moves the lower
// end, one at or above xb the upper end.  Every midpoint of the first
// kLevels steps is a point of the grid, so when no grid point lies inside
// (xa, xb) all of them are decided that way, and the ends after kLevels
// steps are the two grid points around xa.  The steps also end the search
// when its ends are close; the grid is used only when no two ends of its
// first kLevels levels are close, so no step it replaces could have ended
// the search.  Beside the grids, the points of the widening
// (CWideningPoints) let a search find its bracket by one lookup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "randvar/DistributionKernels.h"
#include "randvar/IntegerBisection.h"

namespace rbo::icdf {

/// The points of the first kLevels bisection levels of one bracket, in order.
class CBisectionGrid {
 public:
  static constexpr int kLevels = 9;
  static constexpr std::size_t kCells = std::size_t(1) << kLevels;

  /// Builds the grid of [xL, xU] (xL < xU, finite); false when two ends of
  /// some level are close at the tolerance, or the points do not increase
  /// strictly (then the grid must not be used).
  bool Build(double xL, double xU, double tol) {
    m_vPoints.assign(kCells + 1, 0.0);
    double* g = m_vPoints.data();
    g[0] = xL;
    g[kCells] = xU;
    m_dCellsPerUnit = double(kCells) / (xU - xL);
    for (std::size_t nStep = kCells; nStep > 1; nStep /= 2) {
      // The midpoints of one level, as the search computes them.
      for (std::size_t i = 0; i < kCells; i += nStep) g[i + nStep / 2] = (g[i] + g[i + nStep]) / 2.0;
      for (std::size_t i = 0; i < kCells; i += nStep / 2)
        if (!(g[i] < g[i + nStep / 2]) || NumbersAreClose(g[i], g[i + nStep / 2], tol)) return false;
    }
    return true;
  }

  /// The ends after kLevels steps from the grid's bracket with the zone
  /// (xa, xb): xL = the last grid point <= xa, xU the next one; the flags
  /// tell whether each end moved.  False when the zone is not inside the
  /// bracket or holds a grid point (the steps must then be taken).
  [[gnu::always_inline]] bool Descend(double xa, double xb, double& xL, double& xU, bool& bMovedL,
                                      bool& bMovedU) const {
    const double* g = m_vPoints.data();
    if (!(g[0] <= xa && xa < xb && xb <= g[kCells])) return false;
    // The grid points lie within a few units in the last place of an even
    // spacing: the estimate is off by at most one cell.
    const double t = (xa - g[0]) * m_dCellsPerUnit;
    std::size_t j = t > 0.0 ? std::size_t(t) : 0;
    if (j > kCells - 1) j = kCells - 1;
    while (j > 0 && g[j] > xa) --j;
    while (j + 1 < kCells && g[j + 1] <= xa) ++j;
    if (g[j + 1] < xb) return false;  // g[j + 1] lies inside the zone
    xL = g[j];
    xU = g[j + 1];
    bMovedL = j > 0;
    bMovedU = j + 1 < kCells;
    return true;
  }

 private:
  std::vector<double> m_vPoints;  ///< kCells + 1 points, g[0] = xL, g[kCells] = xU
  double m_dCellsPerUnit = 0.0;   ///< kCells / (xU - xL), to place a point among the cells
};

/// The points the widening visits from m by steps of s, formed as it forms
/// them (m - s - s ..., m + s + s ...), from m - 20 s to m + 20 s within
/// the limits.  A search whose zone (xa, xb) lies between two neighbours
/// takes that bracket at once: the widening would pass only points on one
/// side of the zone and stop at the first beyond it, with the same bracket,
/// its number and no step or limit reached.
class CWideningPoints {
 public:
  static constexpr int kLowest = -20, kHighest = 20;

  CWideningPoints(double m, double s, double dLowLimit, double dUpLimit) : m_dM(m), m_dInvS(1.0 / s) {
    At(0) = m;
    // Downward each new point is tested against the lower limit; upward
    // every point after m + s against the upper one.  The points must rise
    // strictly (a step s lost in m's rounding never moves).
    for (m_nLow = 0; m_nLow > kLowest; --m_nLow) {
      const double x = At(m_nLow) - s;
      if (!(x >= dLowLimit && x < At(m_nLow))) break;
      At(m_nLow - 1) = x;
    }
    At(1) = m + s;
    m_nHigh = At(1) > m ? 1 : 0;
    for (; m_nHigh > 0 && m_nHigh < kHighest; ++m_nHigh) {
      const double x = At(m_nHigh) + s;
      if (!(x <= dUpLimit && x > At(m_nHigh))) break;
      At(m_nHigh + 1) = x;
    }
  }

  /// The bracket [At(j), At(j + 1)] with At(j) <= xa and At(j + 1) >= xb;
  /// false when no two points around the zone are at hand (one lies inside
  /// it, or the bracket is beyond the points or more than a step from
  /// where (xa - m) / s places it).
  bool Bracket(double xa, double xb, int& j) const {
    const double t = (xa - m_dM) * m_dInvS;  // about the steps from m to xa
    if (!(t >= m_nLow && t < m_nHigh)) return false;
    j = int(t + double(-kLowest)) + kLowest;  // floor: t + 20 is positive
    if (At(j) > xa) {
      if (j == m_nLow || At(--j) > xa) return false;
    } else if (At(j + 1) <= xa) {
      if (++j == m_nHigh || At(j + 1) <= xa) return false;
    }
    return At(j + 1) >= xb;
  }

  double At(int j) const { return m_x[j - kLowest]; }

 private:
  double& At(int j) { return m_x[j - kLowest]; }

  double m_dM, m_dInvS;
  double m_x[kHighest - kLowest + 1] = {};
  int m_nLow, m_nHigh;  ///< the points at hand: j from m_nLow to m_nHigh
};

/// The grids of the brackets that one variable's searches start from at one
/// tolerance, built when a bracket has been seen kVisitsBeforeBuild times
/// (a bracket in a far tail is not worth its grid).  A search names its
/// bracket by the steps its widening took (-21 .. 20: the bracket's
/// number), so a lookup is one index.
class CBracketGrids {
 public:
  static constexpr int kVisitsBeforeBuild = 32;
  static constexpr int kFirstBracket = -21, kLastBracket = 20;

  /// The grids of one variable's brackets at tolerance tol; its widening
  /// starts from m by steps of s within the limits.
  CBracketGrids(double tol, double m, double s, double dLowLimit, double dUpLimit)
      : m_dTol(tol), m_vEntries(std::size_t(kLastBracket - kFirstBracket + 1)), m_points(m, s, dLowLimit, dUpLimit) {}

  /// The points of the variable's widening.
  const CWideningPoints& Widening() const { return m_points; }

  /// The grid of bracket number nBracket, [xL, xU], when it is built (a
  /// look that does not count as a visit); else nullptr.
  const CBisectionGrid* Built(int nBracket, double xL, double xU) const {
    if (nBracket < kFirstBracket || nBracket > kLastBracket) return nullptr;
    const CEntry& e = m_vEntries[std::size_t(nBracket - kFirstBracket)];
    return e.pGrid && e.nLow == BitsOf(xL) && e.nHigh == BitsOf(xU) ? e.pGrid.get() : nullptr;
  }

  /// The grid of bracket number nBracket, [xL, xU], or nullptr when it is
  /// not (yet) worth building or cannot be used.
  const CBisectionGrid* Find(int nBracket, double xL, double xU) {
    if (nBracket < kFirstBracket || nBracket > kLastBracket) return nullptr;
    CEntry& e = m_vEntries[std::size_t(nBracket - kFirstBracket)];
    const std::uint64_t l = BitsOf(xL), u = BitsOf(xU);
    if (e.nVisits == 0) {
      e.nLow = l;
      e.nHigh = u;
    } else if (e.nLow != l || e.nHigh != u) {
      return nullptr;  // another bracket under this number: never for one variable's searches
    }
    return Visit(e);
  }

 private:
  struct CEntry {
    std::uint64_t nLow = 0;                 ///< bits of the lower end
    std::uint64_t nHigh = 0;                ///< bits of the upper end
    int nVisits = 0;                        ///< searches that started here so far
    std::unique_ptr<CBisectionGrid> pGrid;  ///< built grid; null until built or when unusable
  };

  const CBisectionGrid* Visit(CEntry& e) {
    if (e.pGrid || e.nVisits > kVisitsBeforeBuild || ++e.nVisits != kVisitsBeforeBuild) return e.pGrid.get();
    auto pGrid = std::make_unique<CBisectionGrid>();
    if (pGrid->Build(DoubleOf(e.nLow), DoubleOf(e.nHigh), m_dTol)) e.pGrid = std::move(pGrid);
    return e.pGrid.get();
  }

  double m_dTol;                   ///< the searches' tolerance
  std::vector<CEntry> m_vEntries;  ///< by bracket number
  CWideningPoints m_points;        ///< where the brackets lie
};

}  // namespace rbo::icdf
