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

/// The last midpoint as a double, in the search's orientation.
inline double MidpointOf(const CIntegerSteps& s) { return s.bNeg ? -DoubleOf(s.mid) : DoubleOf(s.mid); }

/// Sets up integer steps from the bracket [xL, xU] with the zone (xa, xb)
/// inside it; false when the bracket is not one binade of positive (or,
/// mirrored, negative) normal doubles.
[[gnu::always_inline]] inline bool SetUpIntegerSteps(double xL, double xU, double xa, double xb, int n, double tol,
                                                     CIntegerSteps& s) {
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
  // Widths (in units of the binade's spacing 2^(e-52)) at which the ends
  // cannot be close.  The test divides by the end of the smaller magnitude
  // (xL, or -xU mirrored), at most yHi = H 2^(e-52) now and later, so the
  // relative width is at least units / H, and the ends are apart while
  // units >= tol H (1 + 2^-40) + 4 (the quotient's rounding, at most 2
  // units, and this bound's own).  Below 2^e < tol the absolute form may
  // apply: test every step there.
  const std::uint64_t nBase = nBinade << 52;
  const double dUnit = DoubleOf(nBase);  // 2^e
  // (The predicted searches' tolerances are at most 1e-10 and H <= 2^53:
  // the product fits a signed conversion, a single instruction.)
  const double dH = double(std::int64_t(hi - nBase + (std::uint64_t(1) << 52)));
  s.nFar = dUnit >= tol ? std::uint64_t(std::int64_t(tol * dH * (1.0 + 0x1p-40))) + 4 : ~std::uint64_t(0);
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
[[gnu::always_inline]] inline bool IntegerStep(CIntegerSteps& s) {
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

/// floor(x / q) for q >= 1, where every negative x may give -1 (the
/// callers clip it to offset 0 or below).
inline std::int64_t FloorOffset(std::int64_t x, std::uint64_t q) {
  return x < 0 ? -1 : std::int64_t(std::uint64_t(x) / q);
}

/// The first nJump quiet steps at once, for a width w = q 2^K (q odd) and
/// nJump <= K: the width of step k is q 2^(K - k), even, so lo + hi is even
/// and no midpoint rounds.  The midpoints of step k are then lo plus q times
/// the odd multiples of 2^(K - k - 1): in units of q the walk is the one on
/// a width of 2^K, which first meets the zone at the zone's offset with the
/// most trailing zeros (the bits of the zone's last offset above the
/// highest bit where it differs from the offset before its first).  Short
/// of that, after k steps the ends are the multiples of q 2^(K - k) around
/// the zone.  The same outcome as WalkQuietSteps.  bPowerOfTwo: q is 1, and
/// the divisions go.
template <bool bPowerOfTwo>
inline bool JumpQuietSteps(CIntegerSteps& s, int nJump) {
  const std::uint64_t w = s.hi - s.lo;
  const int K = __builtin_ctzll(w);
  const std::uint64_t q = bPowerOfTwo ? 1 : w >> K;
  // The zone's offsets from lo, [a, b], in units of q: the midpoints at or
  // below a - 1 move lo, so t = floor((a - 1) / q) is the last unit offset
  // that does, and the zone holds the unit offsets t + 1 to floor(b / q),
  // clipped to the midpoints' (0, 2^K).
  const std::int64_t a = std::int64_t(s.zFirst) - std::int64_t(s.lo);
  const std::int64_t b = a + std::int64_t(s.nZoneCount) - 1;
  std::int64_t t = FloorOffset(a - 1, q);
  const std::int64_t nUnits = std::int64_t(1) << K;
  const std::int64_t aIn = std::max<std::int64_t>(t + 1, 1),
                     bIn = std::min<std::int64_t>(FloorOffset(b, q), nUnits - 1);
  if (aIn <= bIn) {
    const std::uint64_t node = MostTrailingZerosIn(std::uint64_t(aIn), std::uint64_t(bIn));
    const int c = __builtin_ctzll(node);
    const int nMoves = K - 1 - c;
    if (nMoves < nJump) {
      s.mid = s.lo + node * q;
      s.hi = s.mid + (q << c);
      s.lo = s.mid - (q << c);
      s.n += nMoves;
      s.eEnd = EIntegerEnd::kZone;
      return true;
    }
    t = std::int64_t(node);  // where the walk heads
  }
  t = std::min<std::int64_t>(std::max<std::int64_t>(t, 0), nUnits - 1);
  const int j = K - nJump;
  s.lo += (std::uint64_t(t) >> j << j) * q;
  s.hi = s.lo + (q << j);
  s.n += nJump;
  return false;
}

// ------------------------------------------------ steps along a known path
//
// For any width the walk can be replayed without its chain of dependent
// steps.  In exact arithmetic the bisection of [lo, hi] visits lo + W f for
// the dyadic fractions f on the way to the zone: the path's turns are the
// binary digits of fa = (za - lo) / W, and it meets the zone at the
// fraction with the most trailing zeros in (fa, fb).  The rounded
// midpoints stray from those points by at most k / 2 units after k steps
// (each midpoint is the mean of two ends, rounded by at most 1/2), so the
// exact walk turns the same way wherever the exact path keeps more than
// that from za and zb.  The rounded walk's ends then follow from the
// turns: with Q_k = floor(W / 2^k), the width after k steps is Q_k + d_k
// (d_k is 0 or 1), and a step that moves the low end moves it by
// Q_(k+1) + t + c, where t = d_k and bit k of W, and c (the round-up to the
// even midpoint of an odd width) depends on d_k, the low end's parity and
// bits k and k + 1 of W: two bits of state.

/// Where the exact path's turns and zone lie, as 63-bit fractions of W.
struct CPathFractions {
  std::uint64_t a, b;  ///< fa, fb scaled by 2^63, within 2^12 + 1
  int nMargin;         ///< every fraction that decides something keeps 2^nMargin from a and b
};

/// False when the zone does not lie inside [lo, hi].
inline bool PathFractions(const CIntegerSteps& s, int nSteps, CPathFractions& f) {
  const std::uint64_t w = s.hi - s.lo, zb = s.zFirst + s.nZoneCount;
  if (std::int64_t(s.za) < std::int64_t(s.lo) || zb > s.hi) return false;
  // Four roundings (the two conversions, 2^63 / w, the product) of fa or
  // fb <= 1 scaled by 2^63, and the truncation: within 2^12 + 1.
  // The widths lie below 2^53: signed conversions, single instructions.
  const double dW = double(std::int64_t(w)), dScale = 0x1p63 / dW;
  f.a = std::uint64_t(double(std::int64_t(s.za - s.lo)) * dScale);
  f.b = std::uint64_t(double(std::int64_t(zb - s.lo)) * dScale);
  // The midpoints' stray (nSteps / 2 + 1 units) and the quotients' error
  // twice, with room for the rounding of this bound.
  const double dMargin = (0.5 * nSteps + 1.0) * dScale * 1.001 + 0x1p13 + 2.0;
  if (!(dMargin < 0x1p62)) return false;
  f.nMargin = 64 - __builtin_clzll(std::uint64_t(dMargin));  // 2^nMargin > dMargin
  return true;
}

/// Whether the first nSteps turns keep their margin from a and b: after
/// the turn of step k (bit 62 - k) the bits down to the margin are not all
/// equal, which holds for every earlier step when it holds for the last.
inline bool PathKeepsMargin(const CPathFractions& f, int nSteps) {
  if (nSteps == 0) return true;
  const int nTop = 62 - nSteps;  // the last step's window [nMargin, nTop]
  if (nTop < f.nMargin) return false;
  const std::uint64_t mask = ((std::uint64_t(2) << nTop) - 1) >> f.nMargin << f.nMargin;
  const std::uint64_t wa = f.a & mask, wb = f.b & mask;
  return wa != 0 && wa != mask && wb != 0 && wb != mask;
}

/// The rounded walk's state along a known path (see above).
struct CPathState {
  std::uint64_t nMoved = 0;  ///< the low end's moves
  unsigned d = 0;            ///< width - Q_k
  unsigned par = 0;          ///< the low end's parity
};

/// Step k's midpoint beyond lo + Q_(k+1): t + c, with wk = w >> k.
struct CPathStep {
  unsigned t, c;
};
constexpr CPathStep PathStepAt(unsigned d, unsigned par, std::uint64_t wk) {
  const unsigned q0 = unsigned(wk) & 1, q1 = unsigned(wk >> 1) & 1;
  const unsigned t = q0 & d;
  return {t, (q0 ^ d) & (par ^ q1 ^ t)};
}

/// One step's turn: the new d and parity, and the low end's move beyond
/// Q_(k+1) (0 when the high end moves).  Bits k and k + 1 of the width are
/// wbits & 1 and (wbits >> 1) & 1.
constexpr unsigned TurnPathStep(unsigned& d, unsigned& par, unsigned wbits, bool bLowMoves) {
  const CPathStep m = PathStepAt(d, par, wbits);
  const unsigned q0 = wbits & 1, q1 = (wbits >> 1) & 1;
  par = bLowMoves ? par ^ q1 ^ m.t ^ m.c : par;
  d = bLowMoves ? (q0 | d) - m.c : m.t + m.c;
  return bLowMoves ? m.t + m.c : 0;
}

/// A group of S turns (S = 0 to 4) as a map over the four states (d,
/// parity): for each state s = d | parity << 1, the state it leads to
/// (m_next) and the low end's moves beyond floor(w / 2^(k + S)) times the
/// turns (m_moves): the steps' t + c and the low bits of their Q terms,
/// Q_(k+j+1) = floor(w / 2^(k+S)) 2^(S-1-j) + bits k+j+1 to k+S-1 of w (at
/// most 8 + 11 for four turns).  A map's four entries are indexed by the S
/// turns (the first in the highest bit) and bits k to k + S of the width,
/// not by the state, so a path's lookups do not wait for one another: only
/// picking an entry waits for the state before it.  One table holds the
/// groups of every size, the size S at offset kOffset[S] (four turns first,
/// so that the usual lookup adds no offset).
class CPathTurnMaps {
 public:
  static constexpr unsigned kOffset[5] = {512, 514, 522, 554, 0};  // 2^(2S + 1) maps each
  static constexpr unsigned kSize = 682;

  constexpr CPathTurnMaps() {
    for (unsigned S = 0; S <= 4; ++S)
      for (unsigned i = 0; i < 2u << (2 * S); ++i)
        for (unsigned state = 0; state < 4; ++state) {
          const unsigned b = ByteOf(S, i >> (S + 1), i, state);
          m_next[4 * (kOffset[S] + i) + state] = std::uint8_t(b & 3);
          m_moves[4 * (kOffset[S] + i) + state] = std::uint8_t(b >> 2);
        }
  }
  /// Where the map of S turns and bits wbits of the width keeps state's entry.
  static constexpr unsigned Index(unsigned S, unsigned turns, unsigned wbits, unsigned state) {
    return 4 * (kOffset[S] + (turns << (S + 1) | wbits)) + state;
  }
  constexpr unsigned Next(unsigned i) const { return m_next[i]; }
  constexpr unsigned Moves(unsigned i) const { return m_moves[i]; }

 private:
  static constexpr unsigned ByteOf(unsigned S, unsigned turns, unsigned i, unsigned state) {
    const unsigned wbits = i & ((2u << S) - 1);
    unsigned d = state & 1, par = state >> 1, nMoved = 0;
    for (unsigned j = 0; j < S; ++j) {
      const bool bLowMoves = (turns >> (S - 1 - j)) & 1;
      nMoved += TurnPathStep(d, par, wbits >> j, bLowMoves);
      nMoved += bLowMoves ? (wbits >> (j + 1)) & ((1u << (S - 1 - j)) - 1) : 0;
    }
    return d | par << 1 | nMoved << 2;
  }
  std::uint8_t m_next[4 * kSize] = {};
  std::uint8_t m_moves[4 * kSize] = {};
};
inline constexpr CPathTurnMaps kPathTurnMaps{};

/// S turns (0 to 4) from the top of tt, with ww = w >> k.
[[gnu::always_inline]] inline void TakeTurns(unsigned S, unsigned& state, std::uint64_t& nMoved, std::uint64_t& tt,
                                             std::uint64_t& ww) {
  const unsigned turns = unsigned(tt >> 1 >> (63 - S));  // the top S bits, none for S = 0
  const unsigned i = CPathTurnMaps::Index(S, turns, unsigned(ww) & ((2u << S) - 1), state);
  state = kPathTurnMaps.Next(i);
  ww >>= S;
  nMoved += kPathTurnMaps.Moves(i) + ww * turns;
  tt <<= S;
}

/// The low end's moves over nSteps turns (the first turn in bit 62 of
/// turns) into st; returns w >> nSteps.  Four turns a lookup, the last zero
/// to three by one more.
inline std::uint64_t TakePathTurns(CPathState& st, std::uint64_t w, std::uint64_t turns, int nSteps) {
  unsigned state = st.d | st.par << 1;
  std::uint64_t nMoved = 0, tt = turns << 1, ww = w;  // the next turn in bit 63; w >> k
#pragma GCC unroll 2
  for (int g = nSteps >> 2; g > 0; --g) TakeTurns(4, state, nMoved, tt, ww);
  TakeTurns(unsigned(nSteps) & 3, state, nMoved, tt, ww);
  st.d = state & 1;
  st.par = state >> 1;
  st.nMoved += nMoved;
  return ww;
}

/// The quiet steps along the exact path; false when the path comes within
/// the midpoints' stray of the zone's ends (the caller walks instead).
/// Otherwise the same outcome as WalkQuietSteps, with bZone its result.
inline bool PathQuietSteps(CIntegerSteps& s, int nQuiet, bool& bZone) {
  CPathFractions f;
  if (!PathFractions(s, nQuiet, f)) return false;
  // The first fraction in (a, b), at step 62 - ctz.
  int nSteps = nQuiet;
  std::uint64_t node = 0;
  if (f.a + 1 < f.b) {
    node = MostTrailingZerosIn(f.a + 1, f.b - 1);
    nSteps = std::min(nSteps, 62 - __builtin_ctzll(node));
  }
  bZone = nSteps < nQuiet;
  if (!PathKeepsMargin(f, nSteps)) return false;
  const std::uint64_t dNear = std::uint64_t(1) << f.nMargin;
  if (bZone && !(node - f.a > dNear && f.b - node > dNear)) return false;
  const std::uint64_t w = s.hi - s.lo;
  CPathState st;
  st.par = unsigned(s.lo) & 1;
  const std::uint64_t wk = TakePathTurns(st, w, f.a, nSteps);  // w >> nSteps
  const std::uint64_t lo = s.lo + st.nMoved;
  s.hi = lo + wk + st.d;
  s.lo = lo;
  s.n += nSteps;
  if (bZone) {
    const CPathStep m = PathStepAt(st.d, st.par, wk);
    s.mid = lo + (wk >> 1) + m.t + m.c;
    s.eEnd = EIntegerEnd::kZone;
  }
  return true;
}

/// The quiet steps for a width that is not a power of two: those without
/// rounding at once (when there are a few), the rest along the exact path
/// or, where it comes too near the zone's ends, one by one.  Kept out of
/// line, so that the usual path stays small enough to be inlined into the
/// search.
/// Fewer steps without rounding than this go along the path with the rest:
/// the jump's two divisions would cost more than they save.
constexpr int kFewestJumpedSteps = 4;

[[gnu::noinline]] inline bool RunQuietStepsOfOtherWidth(CIntegerSteps& s, int nQuiet) {
  const int nJump = std::min(nQuiet, __builtin_ctzll(s.hi - s.lo));
  if (nJump >= kFewestJumpedSteps) {
    if (JumpQuietSteps<false>(s, nJump)) return true;
    nQuiet -= nJump;
    if (nQuiet == 0) return false;
  }
  bool bZone = false;
  if (PathQuietSteps(s, nQuiet, bZone)) return bZone;
  return WalkQuietSteps(s, nQuiet);
}

/// The quiet steps: at once when the width is a power of two (nQuiet <= K:
/// the width stays at least nFar >= 1).
inline bool RunQuietSteps(CIntegerSteps& s) {
  const int nQuiet = QuietStepCount(s);
  if (nQuiet <= 0) return false;
  const std::uint64_t w = s.hi - s.lo;
  return (w & (w - 1)) == 0 ? JumpQuietSteps<true>(s, nQuiet) : RunQuietStepsOfOtherWidth(s, nQuiet);
}

/// Runs one search's steps to their end: the quiet steps with nothing but
/// the zone to look at, then step by step.
[[gnu::always_inline]] inline void RunIntegerSteps(CIntegerSteps& s) {
  if (RunQuietSteps(s)) return;
  while (!IntegerStep(s)) {
  }
}

}  // namespace rbo::icdf
