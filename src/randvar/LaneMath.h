// Arithmetic on four (or eight) doubles at once, for the parts of the
// inverse distribution that are the same computation for many
// probabilities (the erfc model's anchor, InverseCdfModels.h).
//
// The lanes are a compiler vector type: every operation is the IEEE
// operation of each lane, rounded once, the same double as the scalar
// expression (the build forbids contraction and fast-math).  Code written
// for a number type V serves both a double and the lanes.  Four lanes fill
// an AVX2 register; where the target has no vector unit of that width the
// compiler splits the operations (and GCC compares lane by lane).  Eight
// lanes fill an AVX-512 register: the unit that uses them
// (AnchorLanesAvx512.cpp) is compiled for AVX-512 as a whole, since GCC
// compares 512-bit vectors lane by lane in any function that is not.
#pragma once

#include <cstdint>

/// For every function that lanes pass through: always inlined, so that the
/// lanes' code is compiled for the vector unit of the function that runs it
/// (a call between code compiled for different vector units would pass the
/// vectors differently; an unoptimised build would make such calls).
#define RBO_LANES_INLINE [[gnu::always_inline]] inline

namespace rbo::icdf {

#ifndef RBO_LANE_COUNT
#define RBO_LANE_COUNT 4
#endif
/// The width: four lanes, or eight in a translation unit that defines
/// RBO_LANE_COUNT as 8 before its includes.  Not inline: each unit keeps its
/// own.
constexpr int kLanes = RBO_LANE_COUNT;

/// Four doubles, and four 64-bit integers of the same size (comparisons
/// of lanes give -1 for true, 0 for false, in such integers).
typedef double VLanes __attribute__((vector_size(kLanes * sizeof(double))));
typedef std::int64_t VLaneBits __attribute__((vector_size(kLanes * sizeof(double))));

/// c[i] x^(n-1) + ... + c[i+n-1] by Horner's rule.
template <int N>
RBO_LANES_INLINE VLanes LanesHornerPiece(VLanes x, const double (&c)[N], int i, int n) {
  const VLanes zero = {};
  VLanes s = zero + c[i];
  for (int j = i + 1; j < i + n; ++j) s = s * x + c[j];
  return s;
}

/// c[0] x^(N-1) + ... + c[N-1] (N > 4) in pieces of up to four
/// coefficients, each by Horner's rule, joined by x^4 from the highest
/// piece down: the pieces run side by side, so the chain of dependent
/// operations is about half of Horner's rule over all N.  The lowest piece
/// is formed without its constant c[N-1], which is added last: the one
/// rounding at the size of the result when the constant dominates.
template <int N>
RBO_LANES_INLINE VLanes LanesPolynomial(VLanes x, const double (&c)[N]) {
  static_assert(N > 4, "a short polynomial takes Horner's rule");
  constexpr int nTop = (N - 4) % 4 == 0 ? 4 : (N - 4) % 4;  // coefficients of the highest piece
  const VLanes x2 = x * x, x4 = x2 * x2;
  VLanes hi = LanesHornerPiece(x, c, 0, nTop);
  for (int i = nTop; i < N - 4; i += 4) hi = hi * x4 + LanesHornerPiece(x, c, i, 4);
  const VLanes low = ((x * c[N - 4] + c[N - 3]) * x + c[N - 2]) * x;
  return (hi * x4 + low) + c[N - 1];
}

/// Relative error bound of LanesExp (in units of 2^-53), proved below.
inline constexpr double kLanesExpErrorUnits = 6.0;

/// The arguments over which LanesExp keeps that bound (the tests check it
/// there; its scale 2^k stays a normal double).
inline constexpr double kLaneExpReach = 700.0;

/// exp of each lane for -700 <= x <= 700 (results are normal doubles),
/// within kLanesExpErrorUnits * 2^-53 relative of the exact value.
/// Outside that range the lane's result is meaningless.
///
/// x = k ln 2 + r with k the integer nearest x log2(e) (up to the rounding
/// of the product: |r| <= 0.34658 + 1e-13) and r formed from a two-part
/// ln 2 (hi has 32 significant bits, so k hi is exact for |k| <= 1010;
/// hi + lo = ln 2 within 2e-27).  Then exp(x) = 2^k exp(r) with
/// exp(r) = 1 + r + r^2 S(r), S the Taylor series 1/2! + r/3! + ... +
/// r^11/13!.  Errors, with eps = 2^-53:
///  * r: x - k hi is exact (Sterbenz: both lie within a factor of 2 when
///    k != 0) or at most eps |r| off; the product and the subtraction of
///    k lo add eps |k lo| + eps |r|; ln 2 - hi - lo adds 1010 * 2e-27.
///    Altogether at most 0.7 eps absolute in r, 0.7 eps relative in exp(r);
///  * truncation: |r|^14 / 14! e^|r| < 0.05 eps;
///  * S by LanesPolynomial: S = (U + L) + 1/2 with L = r/3! + r^2/4! +
///    r^3/5! (|L| <= 0.064) and U = r^4 (...) the higher terms (|U| <=
///    2.2e-5).  The coefficients' roundings (eps per term, sum of |terms|
///    <= 0.6), L's (eps for each of its three products and two sums, at
///    most 0.064 each), U's (a few eps of 2.2e-5), the sum U + L (0.065)
///    and the last sum (0.57) give at most 0.6 + 0.33 + 0.001 + 0.065 +
///    0.57 < 1.6 eps absolute; r^2 (eps relative, r^2 <= 0.121) and the
///    product r^2 S (<= 0.073) bring r^2 S within 0.121 * (1.6 + 1.2) eps
///    + 0.073 eps < 0.42 eps;
///  * the sums r + r^2 S (|.| <= 0.415) and 1 + (...) (<= 1.415) round by
///    0.42 eps and 1.42 eps; exp(r) >= 0.707, so the polynomial part errs
///    by at most (0.42 + 0.42 + 1.42) / 0.707 eps < 3.2 eps relative;
///  * 2^k is formed exactly and multiplies exactly (normal results).
/// Sum: 0.7 + 0.05 + 3.2 < 4 eps; the stated bound leaves room.
RBO_LANES_INLINE VLanes LanesExp(VLanes x) {
  constexpr double kLog2e = 1.4426950408889634074;
  constexpr double kShift = 0x1.8p52;  // adding it rounds to an integer in the low bits
  constexpr double kLn2Hi = 6.93147180369123816490e-01;
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  const VLanes kShifted = x * kLog2e + kShift;
  const VLanes k = kShifted - kShift;
  const VLanes r = (x - k * kLn2Hi) - k * kLn2Lo;
  // S(r) = 1/2! + r/3! + ... + r^11/13!, the coefficients rounded to double.
  constexpr double kS[12] = {1.0 / 6227020800, 1.0 / 479001600, 1.0 / 39916800, 1.0 / 3628800,
                             1.0 / 362880,     1.0 / 40320,     1.0 / 5040,     1.0 / 720,
                             1.0 / 120,        1.0 / 24,        1.0 / 6,        1.0 / 2};
  const VLanes s = LanesPolynomial(r, kS);
  const VLanes e = 1.0 + (r + (r * r) * s);
  // The low bits of kShifted hold k; moved into the exponent field, k + 1023
  // forms 2^k.
  const VLaneBits nScale = ((VLaneBits)kShifted + 1023) << 52;
  return e * (VLanes)nScale;
}

/// Relative error bound of LanesLog (in units of 2^-53), proved below.
inline constexpr double kLanesLogErrorUnits = 6.0;

/// The natural logarithm of each lane for positive normal doubles x,
/// within kLanesLogErrorUnits * 2^-53 of |ln x|.  Other lanes' results are
/// meaningless.
///
/// x = 2^k m with m in [0.7071, 1.4143] (the significand, halved when above
/// the double nearest sqrt 2, both exact), and ln m = 2 atanh(s) with
/// s = f / (2 + f), f = m - 1: |s| <= 0.17158, z = s^2 <= 0.029437, and
/// 2 atanh(s) = 2s (1 + R(z)), R = z H(z), H = 1/3 + z/5 + ... + z^9/21 by
/// LanesPolynomial.  Errors, with eps = 2^-53:
///  * f is exact (Sterbenz); 2 + f and the quotient round: s within
///    2.0001 eps relative;
///  * truncation: z^11 / 23 / (1 - z) < 0.01 eps; R <= 0.0101 carries the
///    roundings of z (5.01 eps) and of its coefficients, H's sums and
///    products and the product by z (the terms being positive, the
///    relative error is a weighted mean of the terms' own: 1/3 rounds three
///    times, z/5 six, z^2/7 and z^3/9 nine, the terms beyond, under 6e-8
///    of H, at most sixteen: under 4.2 eps): within 0.1 eps absolute;
///  * 2s is exact; 2s R rounds by 0.0101 eps |2s|, the sum 2s + 2s R by
///    eps: ln m within 3.12 eps |ln m|;
///  * ln x = k hi + (ln m + k lo) with the two-part ln 2 of LanesExp: k hi
///    is exact for |k| <= 1024, k lo rounds by under 1e-6 eps, ln 2 - hi -
///    lo adds under 1e-4 eps; the two sums round by eps each.  For k = 0
///    the sums are exact: 3.12 eps |ln x|.  Otherwise |ln x| >= 0.3465 >=
///    |ln m| / 1.0003: (3.13 + 1.001 + 1) eps |ln x| < 5.2 eps |ln x|.
RBO_LANES_INLINE VLanes LanesLog(VLanes x) {
  constexpr double kLn2Hi = 6.93147180369123816490e-01;
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  constexpr double kSqrt2 = 1.4142135623730951;
  const VLaneBits bits = (VLaneBits)x;
  const VLanes m0 = (VLanes)((bits & 0x000FFFFFFFFFFFFF) | (std::int64_t(1023) << 52));  // [1, 2)
  const VLaneBits bHalve = m0 > kSqrt2;
  const VLanes m = bHalve ? m0 * 0.5 : m0;
  const VLanes k = __builtin_convertvector(((bits >> 52) & 0x7FF) - 1023 - bHalve, VLanes);  // bHalve is -1 when true
  const VLanes f = m - 1.0;
  const VLanes s = f / (2.0 + f);
  const VLanes z = s * s;
  constexpr double kR[10] = {1.0 / 21, 1.0 / 19, 1.0 / 17, 1.0 / 15, 1.0 / 13,
                             1.0 / 11, 1.0 / 9,  1.0 / 7,  1.0 / 5,  1.0 / 3};
  const VLanes r = LanesPolynomial(z, kR) * z;
  const VLanes s2 = s + s;
  const VLanes lnM = s2 + s2 * r;
  return k * kLn2Hi + (lnM + k * kLn2Lo);
}

/// Relative error bound of LanesLogOneMinus (in units of 2^-53), proved below.
inline constexpr double kLanesLogOneMinusErrorUnits = 6.5;

/// ln(1 - p) of each lane for 1e-9 <= p < 1 with 1 - p a normal double,
/// within kLanesLogOneMinusErrorUnits * 2^-53 of |ln(1 - p)|.  Other lanes'
/// results are meaningless.
///
/// u = fl(1 - p) and its rounding error d = (1 - u) - p are exact: for
/// p >= 1/2, u = 1 - p (Sterbenz) and d = 0; for p < 1/2, u lies in
/// [1/2, 1], so 1 - u is exact (Sterbenz), and 1 - u = p - d with
/// |d| <= 2^-54 <= p / 2, so the difference is exact too.  Then
/// ln(1 - p) = ln u + ln(1 + d/u), |d/u| <= 2^-53.  Errors, with
/// eps = 2^-53 and |ln(1 - p)| >= p >= 1e-9:
///  * LanesLog(u) within 5.2 eps |ln u|, and |ln u| <= |ln(1 - p)| +
///    1.0001 |d/u| <= (1 + 1.2e-7) |ln(1 - p)|;
///  * d/u rounds by eps |d/u| <= 1.2e-7 eps |ln(1 - p)|; ln(1 + d/u) =
///    d/u within (d/u)^2 / 2 <= 2^-107 < 1e-7 eps |ln(1 - p)|;
///  * the sum rounds by eps.
/// Altogether under 6.21 eps |ln(1 - p)|; the stated bound leaves room.
RBO_LANES_INLINE VLanes LanesLogOneMinus(VLanes p) {
  const VLanes u = 1.0 - p;
  const VLanes d = (1.0 - u) - p;
  return LanesLog(u) + d / u;
}

}  // namespace rbo::icdf
