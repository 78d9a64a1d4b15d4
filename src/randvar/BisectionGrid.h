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
// the search.
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

/// The grids of the brackets that one variable's searches start from at one
/// tolerance, built when a bracket has been seen kVisitsBeforeBuild times
/// (a bracket in a far tail is not worth its grid).  A search names its
/// bracket by the steps its widening took (-21 .. 20: the bracket's
/// number), so a lookup is one index.
class CBracketGrids {
 public:
  static constexpr int kVisitsBeforeBuild = 32;
  static constexpr int kFirstBracket = -21, kLastBracket = 20;

  explicit CBracketGrids(double tol) : m_dTol(tol), m_vEntries(std::size_t(kLastBracket - kFirstBracket + 1)) {}

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
};

}  // namespace rbo::icdf
