// Bisection steps on the bit patterns of doubles, for the steps of the
// inverse distribution's search whose outcome is known in advance (the
// midpoint lies outside the zone around the root, InverseCdfSearch.h).
//
// Between 2^e and 2^(e+1) inclusive a positive normal double is its bit
// pattern up to a constant: P(x) = x / 2^(e-52) + (e + 1022) 2^52.  The
// patterns are ordered like the values, and the rounded midpoint
// fl(a + b) / 2 is the integer (A + B) / 2 rounded half to even (the sum lies
// one binade up, whose spacing is two units; the constant is even).  A step
// then takes a few one-cycle integer operations and no unpredictable branch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "randvar/DistributionKernels.h"

namespace rbo::icdf {

inline std::uint64_t BitsOf(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}
inline double DoubleOf(std::uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

/// How a run of integer steps ended.
enum class EIntegerEnd : unsigned char {
  kRunning,  ///< not yet
  kEnded,    ///< the search ended: its ends are close, or it took its last step
  kZone      ///< the midpoint lies inside the zone: its value must be looked at
};

/// The integer-step state of one search.  The bracket may be mirrored
/// (bNeg: y = -x, so that the patterns are those of positive numbers).
struct CIntegerSteps {
  std::uint64_t lo;          ///< pattern of the lower end
  std::uint64_t hi;          ///< pattern of the upper end
  std::uint64_t za;          ///< midpoints <= za move the lower end (as signed; -1: none does)
  std::uint64_t zFirst;      ///< first pattern inside the zone, za + 1
  std::uint64_t nZoneCount;  ///< patterns inside the zone
  std::uint64_t nFar;        ///< widths below which the ends may be close (test them then)
  std::uint64_t mid;         ///< the last midpoint
  std::uint64_t lo0, hi0;    ///< the ends at the start (which end moved)
  double tol;                ///< the search's tolerance
  int n;                     ///< the search's step counter
  bool bNeg;                 ///< mirrored
  EIntegerEnd eEnd;          ///< how the run ended
};

/// The ends as doubles, in the search's orientation.
inline void IntegerEnds(const CIntegerSteps& s, double& xL, double& xU) {
  const double dLo = DoubleOf(s.lo), dHi = DoubleOf(s.hi);
  xL = s.bNeg ? -dHi : dLo;
  xU = s.bNeg ? -dLo : dHi;
}

/// Sets up integer steps from the bracket [xL, xU] with the zone (xa, xb)
/// inside it; false when the bracket is not one binade of positive (or,
/// mirrored, negative) normal doubles.
inline bool SetUpIntegerSteps(double xL, double xU, double xa, double xb, int n, double tol, CIntegerSteps& s) {
  const bool bNeg = xU < 0.0;  // mirror: y = -x, the zone (-xb, -xa), the ends swap
  const double yLo = bNeg ? -xU : xL, yHi = bNeg ? -xL : xU;
  const double yZa = bNeg ? -xb : xa, yZb = bNeg ? -xa : xb;
  if (!(yLo > 0.0)) return false;
  const std::uint64_t lo = BitsOf(yLo), hi = BitsOf(yHi);
  const std::uint64_t nBinade = lo >> 52;
  // hi may be the first pattern of the next binade: 2^(e+1) is still P(x).
  const bool bOneBinade = (hi >> 52) == nBinade || hi == (nBinade + 1) << 52;
  if (!bOneBinade || nBinade == 0 || nBinade + 1 >= 0x7FF) return false;
  s.lo = s.lo0 = lo;
  s.hi = s.hi0 = hi;
  s.za = yZa > 0.0 ? BitsOf(yZa) : ~std::uint64_t(0);    // y <= yZa: the low end moves
  const std::uint64_t zb = yZb > 0.0 ? BitsOf(yZb) : 0;  // y >= yZb: the high end moves
  s.zFirst = s.za + 1;
  s.nZoneCount = zb - s.zFirst;  // zb > za
  // Widths (in units of the binade's spacing) at which the ends cannot be
  // close: relative width >= units * 2^-53 >= tol + 2 eps.  Below 2^e < tol
  // the absolute form may apply: test every step there.
  const double dUnit = DoubleOf(nBinade << 52);  // 2^e
  s.nFar = dUnit >= tol ? std::uint64_t(tol * 0x1p53) + 4 : ~std::uint64_t(0);
  s.mid = 0;
  s.tol = tol;
  s.n = n;
  s.bNeg = bNeg;
  s.eEnd = EIntegerEnd::kRunning;
  return true;
}

/// The pattern of fl(a + b) / 2 for the patterns lo, hi of one binade: the
/// integer midpoint rounded half to even (patterns are below 2^63, so their
/// sum does not wrap).
inline std::uint64_t RoundedMidpoint(std::uint64_t lo, std::uint64_t hi) {
  const std::uint64_t sum = lo + hi, half = sum >> 1;
  return half + (sum & half & 1);
}

/// One bisection step; true when the run has ended (s.eEnd says how).  A
/// midpoint inside the zone is left for the caller to test; one outside it
/// moves the end on its side; the step that moved an end ends the search
/// when it was the 201st or the ends have become close.
inline bool IntegerStep(CIntegerSteps& s) {
  const std::uint64_t mid = RoundedMidpoint(s.lo, s.hi);
  s.mid = mid;
  if (mid - s.zFirst < s.nZoneCount) {  // za < mid < zb in one unsigned comparison
    s.eEnd = EIntegerEnd::kZone;
    return true;
  }
  const bool bLowMoves = std::int64_t(mid) <= std::int64_t(s.za);  // za = -1: never
  s.lo = bLowMoves ? mid : s.lo;
  s.hi = bLowMoves ? s.hi : mid;
  if (s.n == 200) {
    s.eEnd = EIntegerEnd::kEnded;
    return true;
  }
  ++s.n;
  if (s.hi - s.lo < s.nFar) {
    double xL = 0.0, xU = 0.0;
    IntegerEnds(s, xL, xU);
    if (NumbersAreClose(xL, xU, s.tol)) {
      s.eEnd = EIntegerEnd::kEnded;
      return true;
    }
  }
  return false;
}

/// Steps from s that can end neither by closeness nor by the step limit:
/// a step halves the width rounding either way, so after k steps it is at
/// least W >> k, and the ends cannot be close while it is nFar or more.
inline int QuietStepCount(const CIntegerSteps& s) {
  const std::uint64_t w = s.hi - s.lo;
  if (w < s.nFar || s.nFar == 0) return 0;
  int k = __builtin_clzll(s.nFar) - __builtin_clzll(w);  // w >> k and nFar share their top bit
  if ((w >> k) < s.nFar) --k;
  return std::min(k, 200 - s.n);
}

/// The quiet steps one by one; false when they ran out without meeting the zone.
inline bool WalkQuietSteps(CIntegerSteps& s, int nQuiet) {
  std::uint64_t lo = s.lo, hi = s.hi;
  const std::int64_t za = std::int64_t(s.za);
  const std::uint64_t zFirst = s.zFirst, zCount = s.nZoneCount;
  for (int k = 0; k < nQuiet; ++k) {
    const std::uint64_t mid = RoundedMidpoint(lo, hi);
    if (mid - zFirst < zCount) {
      s.lo = lo;
      s.hi = hi;
      s.n += k;
      s.mid = mid;
      s.eEnd = EIntegerEnd::kZone;
      return true;
    }
    const bool bLowMoves = std::int64_t(mid) <= za;
    lo = bLowMoves ? mid : lo;
    hi = bLowMoves ? hi : mid;
  }
  s.lo = lo;
  s.hi = hi;
  s.n += nQuiet;
  return false;
}

/// The offset in [a, b] (0 < a <= b) with the most trailing zeros: b with
/// the bits cleared below the highest bit where a - 1 and b differ.
inline std::uint64_t MostTrailingZerosIn(std::uint64_t a, std::uint64_t b) {
  const int h = 63 - __builtin_clzll((a - 1) ^ b);
  return b >> h << h;
}

/// The quiet steps at once, for a width w = 2^K: lo + hi is then even at
/// every step, so no midpoint rounds, the midpoints of step k are lo plus
/// the odd multiples of w >> (k + 1), and the walk first meets the zone at
/// its offset with the most trailing zeros.  Short of that, after k steps
/// the ends are the multiples of w >> k around the zone.  The same outcome
/// as WalkQuietSteps.
inline bool JumpQuietSteps(CIntegerSteps& s, int nQuiet) {
  const std::uint64_t w = s.hi - s.lo;
  const int K = __builtin_ctzll(w);
  // The zone's offsets from lo, [a, b], clipped to the midpoints' (0, w).
  const std::int64_t a = std::int64_t(s.zFirst) - std::int64_t(s.lo);
  const std::int64_t b = a + std::int64_t(s.nZoneCount) - 1;
  const std::int64_t aIn = std::max<std::int64_t>(a, 1), bIn = std::min<std::int64_t>(b, std::int64_t(w) - 1);
  // Where the walk heads: the first midpoint inside the zone, else the
  // boundary after offset a - 1 (the last midpoint that moves lo).
  std::int64_t t = a - 1;
  if (aIn <= bIn) {
    const std::uint64_t node = MostTrailingZerosIn(std::uint64_t(aIn), std::uint64_t(bIn));
    const int c = __builtin_ctzll(node);
    const int nMoves = K - 1 - c;
    if (nMoves < nQuiet) {
      s.mid = s.lo + node;
      s.hi = s.mid + (std::uint64_t(1) << c);
      s.lo = s.mid - (std::uint64_t(1) << c);
      s.n += nMoves;
      s.eEnd = EIntegerEnd::kZone;
      return true;
    }
    t = std::int64_t(node);
  }
  t = std::min<std::int64_t>(std::max<std::int64_t>(t, 0), std::int64_t(w) - 1);
  const int j = K - nQuiet;
  s.lo += std::uint64_t(t) >> j << j;
  s.hi = s.lo + (std::uint64_t(1) << j);
  s.n += nQuiet;
  return false;
}

/// The quiet steps: at once when the width is a power of two, else one by one.
inline bool RunQuietSteps(CIntegerSteps& s) {
  const int nQuiet = QuietStepCount(s);
  if (nQuiet <= 0) return false;
  const std::uint64_t w = s.hi - s.lo;
  return (w & (w - 1)) == 0 ? JumpQuietSteps(s, nQuiet) : WalkQuietSteps(s, nQuiet);
}

/// Runs one search's steps to their end: the quiet steps with nothing but
/// the zone to look at, then step by step.
inline void RunIntegerSteps(CIntegerSteps& s) {
  if (RunQuietSteps(s)) return;
  while (!IntegerStep(s)) {
  }
}

}  // namespace rbo::icdf
