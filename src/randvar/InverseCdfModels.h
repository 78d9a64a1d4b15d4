// Rigorous bounds on the doubles that CRandVar::CDF computes, used by the
// inverse distribution (InverseCdf.cpp) to decide the comparisons of its
// bracketing search without calling CDF.
//
// Every predictor answers, for a point x, an interval [lo, hi] that is
// guaranteed to contain CDF(x) as CDF computes it (in double precision, in
// the order of DistributionKernels.h), or declines.  When lo == hi the
// predicted value IS the computed one.  The intervals come from
//  * the exact replay of CDF's monotone outer steps (standardisation, the
//    final 1 + erf, halving, 1 - survival, clamping): a correctly rounded
//    operation is monotone, so applying it to the ends of an interval bounds
//    it on the whole interval;
//  * a proved relative error bound ("noise") of the inner transcendental
//    part (the erfc fit, or exp(-pow(z, beta))) against the same formula in
//    exact arithmetic, and
//  * a Taylor model of that exact formula around an anchor point near the
//    wanted quantile, with a bound on its remainder.
// Assumptions on the C library (glibc and other quality libms meet them
// with room to spare; their documented maximal errors are below 1 ulp):
// exp, log, log1p and pow return results within 2 ulp of the exact value.
//
// Far from the anchor a predictor gives one-sided bounds instead
// (BoundBelow / BoundAbove): "CDF(x) <= A for every x <= xa" and
// "CDF(x) >= B for every x >= xb".  They rest on monotonicity of the exact
// formula and on noise bands whose edges are monotone in the same
// direction, stated at each predictor.
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "randvar/DistributionKernels.h"
#include "randvar/LaneMath.h"

namespace rbo::icdf {

/// Unit roundoff of double precision, 2^-53.
inline constexpr double kUnitRoundoff = 0x1p-53;

/// Guaranteed bounds lo <= CDF(x) <= hi of a computed CDF value.
struct CCdfBounds {
  double dLo;  ///< lower bound
  double dHi;  ///< upper bound
};

// ============================================================ erfc fit
//
// Notation: e(u) = T exp(-u^2 + Q(T)), T = 1/(1 + u/2), is the fit in exact
// arithmetic with the double coefficients kErfcFit; ErfcFit(u) its computed
// value.  L(u) = ln e(u).

/// rho(u): bound on |ErfcFit(u) / e(u) - 1| for 0 <= u <= 1e4 where the fit
/// does not underflow.  Error analysis with eps = 2^-53 (each operation
/// rounds by at most eps relative):
///  * t = 1/(1 + u/2): u/2 is exact, two roundings, t = T (1 + tau),
///    |tau| <= 2 eps / (1 - eps);
///  * exponent A = ((-u*u) + c0) + t*S with S the Horner value of
///    c1 + c2 t + ... + c9 t^8: Horner's error is at most
///    gamma_16 * sum|c_k| t^(k-1) <= 16.01 eps * 5.5528 (Estrin's value,
///    which the model's anchor uses, rounds a term at most 11 times, so the
///    same bound holds for it); the product t*S,
///    the square, the two sums add eps (u^2 + |c0| + 5.56) + eps u^2 + eps (u^2 + |c0|);
///    altogether |A_computed - A(t)| <= eps (3 u^2 + 2|c0| + 18 * 5.5528);
///  * using t instead of T moves Q by at most max|Q'| |t - T| <= 29.53 * 2.0001 eps;
///  * exp adds at most 2 ulp <= 4 eps relative, the final product eps, the
///    factor t carries tau (2 eps).
/// Sum: eps (3 u^2 + 2.54 + 99.95 + 59.1 + 7) <= eps (3 u^2 + 170), with a
/// factor 1.001 for the second-order terms (all below 1e-6 here).  The
/// bound increases with u.
template <class V>
RBO_LANES_INLINE V ErfcFitNoise(V u) {
  return 1.001 * kUnitRoundoff * (3.0 * u * u + 170.0);
}

/// k0 + k1 t + ... + k8 t^8 by Estrin's scheme from t2 = t^2, t4 = t2^2,
/// t8 = t4^2: pairs, then pairs of pairs.  A dependency chain of four
/// steps instead of Horner's nine; a term passes through at most 11
/// roundings (Horner: 16), so Horner's error bound covers it.
template <class V>
RBO_LANES_INLINE V Estrin8(const double (&k)[9], V t, V t2, V t4, V t8) {
  const V q0 = k[0] + k[1] * t, q1 = k[2] + k[3] * t, q2 = k[4] + k[5] * t, q3 = k[6] + k[7] * t;
  const V r0 = q0 + q1 * t2, r1 = q2 + q3 * t2;
  return (r0 + r1 * t4) + k[8] * t8;
}

/// k0 + k1 t + ... + k7 t^7 the same way (at most 10 roundings on a term;
/// Horner: 14).
template <class V>
RBO_LANES_INLINE V Estrin7(const double (&k)[8], V t, V t2, V t4) {
  const V q0 = k[0] + k[1] * t, q1 = k[2] + k[3] * t, q2 = k[4] + k[5] * t, q3 = k[6] + k[7] * t;
  const V r0 = q0 + q1 * t2, r1 = q2 + q3 * t2;
  return r0 + r1 * t4;
}

/// The anchor's exp: the C library's for one value (within the 2 ulp that
/// ErfcFitNoise assumes), LanesExp for lanes (within kLanesExpErrorUnits
/// units of 2^-53); AnchorExpExcess is what the latter adds to the noise.
inline double AnchorExp(double x) { return std::exp(x); }
RBO_LANES_INLINE VLanes AnchorExp(VLanes x) { return LanesExp(x); }
inline constexpr double AnchorExpExcess(double) { return 0.0; }
RBO_LANES_INLINE constexpr double AnchorExpExcess(VLanes) { return (kLanesExpErrorUnits - 4.0) * kUnitRoundoff; }

/// The erfc fit at the model's anchor: t exp(-u^2 + Q(t)) with the tail of
/// Q by Estrin's scheme instead of Horner's rule (within ErfcFitNoise of
/// the exact fit, plus AnchorExpExcess, like ErfcFit, but not necessarily
/// the same double).
template <class V>
RBO_LANES_INLINE V ErfcFitAtAnchor(V u, V t, V t2, V t4, V t8) {
  const double* c = kErfcFit;
  const double tail[9] = {c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]};
  return t * AnchorExp(-u * u + c[0] + t * Estrin8(tail, t, t2, t4, t8));
}

/// L'(u) = -T/2 - 2u - Q'(T) T^2 / 2 and
/// L''(u) = T^2/4 - 2 + (Q''(T) T^4 + 2 Q'(T) T^3) / 4, evaluated in double
/// from t = 1/(1 + u/2) as the fit computes it, Q' and Q'' by Estrin's
/// scheme.
template <class V>
RBO_LANES_INLINE void ErfcFitLogDerivatives(V u, V t, V& dSlope, V& dCurvature) {
  const double* c = kErfcFit;
  const double dqk[9] = {c[1],       2.0 * c[2], 3.0 * c[3], 4.0 * c[4], 5.0 * c[5],
                         6.0 * c[6], 7.0 * c[7], 8.0 * c[8], 9.0 * c[9]};
  const double d2qk[8] = {2.0 * c[2],  6.0 * c[3],  12.0 * c[4], 20.0 * c[5],
                          30.0 * c[6], 42.0 * c[7], 56.0 * c[8], 72.0 * c[9]};
  const V t2 = t * t, t4 = t2 * t2, t8 = t4 * t4;
  const V dq = Estrin8(dqk, t, t2, t4, t8);
  const V d2q = Estrin7(d2qk, t, t2, t4);
  dSlope = -t / 2.0 - 2.0 * u - dq * t2 / 2.0;
  dCurvature = t2 / 4.0 - 2.0 + (d2q * t2 * t2 + 2.0 * dq * t2 * t) / 4.0;
}

/// Bound on the error of the computed L'(u) for 0 <= u <= 100: the rounding of
/// t moves the terms by at most (0.5 + sum k(k-1)|c_k| + 2 sum k|c_k|) 2.0001 eps
/// = 447 eps, Horner on Q' adds 16.01 eps sum k|c_k| = 473 eps, the products
/// and sums eps (2u + 16) each: below 1200 eps = 1.4e-13.  1e-12 leaves room.
inline constexpr double kLogSlopeError = 1e-12;

/// Bound on the error of the computed L''(u): its terms are at most 58 in
/// size; Horner on Q'' would err by at most 14.01 eps * 164.06 (Estrin less), the rounding of t
/// moves the terms by at most 2.0001 eps * 500, the products and sums add
/// 10 eps * 58: below 4000 eps = 4.5e-13.
inline constexpr double kLogCurvatureError = 1e-10;

/// Bound on |L'''(u)| for all u >= 0:
/// L''' = -T^3/4 - (T^2/8)(Q''' T^4 + 6 Q'' T^3 + 6 Q' T^2) with
/// sum k(k-1)(k-2)|c_k| = 832.96: at most 0.25 + (832.96 + 984.4 + 177.2)/8 = 249.6.
inline constexpr double kLogThirdBound = 256.0;

/// Bounds on the computed |L'(u)| and |L''(u)| for u >= 0 (0 < T <= 1):
/// |L'| <= T/2 + 2u + |Q'(T)| T^2 / 2 <= 0.5 + 2u + sum k|c_k| / 2 = 2u + 15.27,
/// |L''| <= T^2/4 + 2 + (|Q''| + 2|Q'|) / 4 <= 2.25 + (164.06 + 59.08) / 4 = 58.04,
/// and the computed values lie within kLogSlopeError, kLogCurvatureError.
template <class V>
RBO_LANES_INLINE V LogSlopeBound(V u) {
  return 2.0 * u + 16.0;
}
inline constexpr double kLogCurvatureBound = 60.0;

/// How far from its anchor the erfc model answers (in u).
inline constexpr double kErfcModelReach = 1e-6;

/// The Taylor model of the erfc fit around an anchor u1 > 0,
///   ln e(u) = ln e(u1) + L'(u1) d + L''(u1) d^2 / 2 + r,  d = u - u1,
///   |r| <= kLogThirdBound |d|^3 / 6,
/// for one value (V = double) or for lanes: the computed fit e1, L'(u1) and
/// L''(u1) as computed, and the factors 1 -/+ w of the bounds' relative
/// width w within the model's reach (ErfcBoundsNear).
template <class V>
struct TErfcAnchor {
  V u1, e1, slope, curvature, lowFactor, highFactor;
};

/// The relative width of the bounds, the same for every u within reach of
/// the anchor u1 whose fit value is within dAnchorWidth (logarithmic) of the
/// exact one: each term grows with |u - u1| and with u, so its value at the
/// edge of the reach covers every point inside.  It takes bounds on |L'(u1)|
/// and |L''(u1)| as computed instead of their values, so that it does not
/// wait for them (the bounds widen by a small fraction of the noise terms).
/// The sum of the logarithmic widths: the anchor's noise, the Taylor
/// remainder (the derivatives' errors, the roundings of the difference and
/// of m, the cubic term), the series remainder |m|^3 / 4.9, the 4 roundings
/// of c, and the noise at u; then the outward rounding of the bounds.
template <class V>
RBO_LANES_INLINE V LogWidthWithinReach(V u1, V dAnchorWidth) {
  constexpr double eps = kUnitRoundoff;
  constexpr double adu = kErfcModelReach * (1.0 + 4.0 * eps);  // >= |u - u1|
  const V a1 = LogSlopeBound(u1) * adu;
  constexpr double a2 = 0.5 * kLogCurvatureBound * adu * adu;
  const V wTaylor = adu * kLogSlopeError + 0.5 * adu * adu * kLogCurvatureError + 6.0 * eps * (a1 + a2) +
                    kLogThirdBound * adu * adu * adu / 6.0;
  const V am = 1.001 * (a1 + a2);  // >= |m| as computed
  const V a = 1.0001 * (dAnchorWidth + wTaylor + am * am * am / 4.9 + 4.0 * eps + ErfcFitNoise(u1 + 2.0 * adu));
  return 1.01 * (1.001 * a) + 8.0 * eps;
}

/// The model's values at u1 (0 < u1 <= 30): one evaluation of the fit.
template <class V>
RBO_LANES_INLINE TErfcAnchor<V> ErfcAnchorAt(V u1) {
  TErfcAnchor<V> a;
  a.u1 = u1;
  const V t = 1.0 / (1.0 + u1 / 2.0);  // ErfcFitT
  const V t2 = t * t, t4 = t2 * t2, t8 = t4 * t4;
  a.e1 = ErfcFitAtAnchor(u1, t, t2, t4, t8);
  ErfcFitLogDerivatives(u1, t, a.slope, a.curvature);
  const V rho = ErfcFitNoise(u1) + 1.001 * AnchorExpExcess(u1);
  const V w = LogWidthWithinReach(u1, rho * (1.0 + 2.0 * rho));  // |ln(1 + theta)| for |theta| <= rho
  a.lowFactor = 1.0 - w;
  a.highFactor = 1.0 + w;
  return a;
}

/// |x|, and x finite, for one value or lanes.
inline double Abs(double x) { return std::fabs(x); }
RBO_LANES_INLINE VLanes Abs(VLanes x) { return (VLanes)((VLaneBits)x & 0x7FFFFFFFFFFFFFFF); }
inline bool IsFinite(double x) { return std::isfinite(x); }
RBO_LANES_INLINE VLaneBits IsFinite(VLanes x) { return Abs(x) <= Splat<VLanes>(0x1.fffffffffffffp1023); }

/// The u near the anchor where the model's centre value is dErfc (an
/// estimate: one Newton step on the quadratic).
template <class V>
RBO_LANES_INLINE V ErfcSolve(const TErfcAnchor<V>& a, V dErfc) {
  const V q = dErfc / a.e1 - 1.0;
  const V r = q - 0.5 * q * q;  // ln(dErfc / e1) to second order
  const V dInvSlope = 1.0 / a.slope;
  const V d0 = r * dInvSlope;
  return a.u1 + (r - 0.5 * a.curvature * d0 * d0) * dInvSlope;
}

/// Bounds [lo, hi] of the computed ErfcFit(u) for a double u within
/// kErfcModelReach of the anchor; the condition (a bool or a lane mask) is
/// false further away, where lo and hi mean nothing.
template <class V>
RBO_LANES_INLINE auto ErfcBoundsNear(const TErfcAnchor<V>& a, V u, V& dLo, V& dHi) {
  const V du = u - a.u1;  // within eps |du| of the true difference
  const auto bWithin = Abs(du) <= Splat<V>(kErfcModelReach);
  const V m = a.slope * du + 0.5 * a.curvature * (du * du);
  // exp(m) = 1 + m + m^2/2 + R with |R| <= |m|^3 / 4.9 for |m| <= 0.01 (|m| <= 1e-4 here).
  const V c = a.e1 * (1.0 + (m + 0.5 * m * m));
  dLo = c * a.lowFactor;
  dHi = c * a.highFactor;
  return bWithin;
}

/// Where the fit's jump at 0 could matter: for every u > 0 the lower side
/// (argument < 0) gives CDF <= kJumpSup, the upper side (argument >= 0)
/// gives CDF >= kJumpInf.  e is decreasing (L' <= -1, checked by the
/// tests on [0, 30] and analytic beyond), e(0) = exp(Q(1)) = exp(3.0e-8), so
/// the computed fit never exceeds e(0) (1 + rho(0)) < 1.00000004 and the
/// distribution stays within 0.5 -/+ 2.1e-8 on the wrong side of the jump.
inline constexpr double kJumpSup = 0.5000002;
inline constexpr double kJumpInf = 0.4999998;

/// The computed normal distribution from the computed erfc on a side.
template <class M, class V>
RBO_LANES_INLINE V CdfFromErfc(M bUpper, V dErfc) {
  return NormalCdfFromErf(ErfFromErfc(bUpper, dErfc));
}

/// Bounds [lo, hi] of the computed CDF at the erf argument v when the
/// model reaches it and v lies on the root's side (bUpper: v >= 0); the
/// condition says so.
template <class M, class V>
RBO_LANES_INLINE auto CdfBoundsAtArgument(const TErfcAnchor<V>& a, M bUpper, V v, V& dLo, V& dHi) {
  const auto bSide = (v >= Splat<V>(0.0)) == bUpper;
  V eLo, eHi;
  const auto bWithin = ErfcBoundsNear(a, Abs(v), eLo, eHi);
  // CdfFromErfc decreases in the erfc value on the upper side and increases
  // on the lower one.
  dLo = CdfFromErfc(bUpper, bUpper ? eHi : eLo);
  dHi = CdfFromErfc(bUpper, bUpper ? eLo : eHi);
  return bSide & bWithin;
}

/// The one-sided bounds from the bounds at a point: A = the upper bound
/// (raised to kJumpSup on the upper side), B = the lower bound (lowered to
/// kJumpInf on the lower side); CNormalFitPredictor::BoundBelow says why.
template <class M, class V>
RBO_LANES_INLINE V OneSidedBelow(M bUpper, V dHi) {
  const V sup = Splat<V>(kJumpSup);
  return bUpper ? (dHi < sup ? sup : dHi) : dHi;
}
template <class M, class V>
RBO_LANES_INLINE V OneSidedAbove(M bUpper, V dLo) {
  const V inf = Splat<V>(kJumpInf);
  return bUpper ? dLo : (inf < dLo ? inf : dLo);
}

/// The normal variable's root estimate and dx/dCDF from the model anchored
/// for p (bUpper: p > 1/2): v = (x - mu) / (sigma sqrt 2) and dCDF/dv =
/// e |L'| / 2 on either side.
template <class M, class V>
RBO_LANES_INLINE void NormalRootAndSlope(const TErfcAnchor<V>& a, V p, M bUpper, double dMu, double dSigma, V& dRoot,
                                         V& dXPerP) {
  const V eTarget = 2.0 * (p < Splat<V>(0.5) ? p : 1.0 - p);  // erfc value with CDF = p on the side of p
  const V uRoot = ErfcSolve(a, eTarget);
  const V dCdfDv = 0.5 * eTarget * Abs(a.slope);
  dRoot = dMu + dSigma * std::sqrt(2.0) * (bUpper ? uRoot : -uRoot);
  dXPerP = dSigma * std::sqrt(2.0) / dCdfDv;
}

/// True when the zone's bounds decide every test that involves values
/// F <= A or F >= B (p >= 1e-9 > tol, so "p close to F" is relative): p <=
/// F, p < F, p > F; p close to F (d(0) = -1); and FL close to FU for FL in
/// [0, A], FU in [B, 1], absolute below tol, relative above (both
/// differences grow with FU and shrink with FL).
template <class V>
RBO_LANES_INLINE auto ZoneBoundsDecide(V p, double tol, V A, V B) {
  const V t = Splat<V>(tol);
  return (A < p) && (B > p) && (A / p - 1.0 <= -t) && (B / p - 1.0 >= t) && (B - (t < A ? t : A) >= t) &&
         ((A < t) || (B / A - 1.0 >= t));
}

/// Whether a predictor may be set up for p, for one value or lanes: the
/// probabilities of sampling and, for the erfc fit (normal and lognormal
/// variables), not within 1e-5 of 1/2, where the fit jumps.
template <class V>
RBO_LANES_INLINE auto ProbabilityCovered(V p, bool bErfcFit) {
  constexpr double kLowest = 1e-9, kHighest = 0.99999, kFitJumpReach = 1e-5;
  if constexpr (std::is_same_v<V, double>) {  // one value: the usual case decided by the first test
    return p >= kLowest && p <= kHighest && (!bErfcFit || std::fabs(p - 0.5) >= kFitJumpReach);
  } else {
    const auto bSampled = (p >= Splat<V>(kLowest)) & (p <= Splat<V>(kHighest));
    return bErfcFit ? bSampled & (Abs(p - 0.5) >= Splat<V>(kFitJumpReach)) : bSampled;
  }
}

/// The zones the search tries around the root, the narrowest first:
/// half-width 1.05 tau in CDF, tau = tol p but at least two steps of a
/// computed CDF near 0, then 1.1 tau, decided for nearly every p.  A
/// midpoint inside the zone costs a prediction, one outside it an integer
/// step, and a zone midpoint whose value is not close to p (between tau
/// and the zone's ends) the general search: the narrower the zone the
/// fewer of those, but at 1.05 the bounds decide the tests for only about
/// two thirds of the values over random parameters.
inline constexpr double kZoneWidths[4] = {1.05, 1.1, 8.0, 64.0};
template <class V>
RBO_LANES_INLINE V ZoneHalfWidth(V p, double tol, V dXPerP, double k) {
  const V tau = tol * p;
  const V tauMin = Splat<V>(0x1p-52);
  return k * (tau < tauMin ? tauMin : tau) * dXPerP;
}

/// The half-width of the sure zone, in the units of kZoneWidths (at 1 the
/// values stop being close to p): at 0.9 the bounds show every value in it
/// close to p around most root estimates, at 0.97 around under a quarter.
inline constexpr double kSureZoneWidth = 0.9;

/// How far from a lognormal root estimate (relative in x) its logarithm
/// follows from the root's.
inline constexpr double kLogRootReach = 1e-3;

/// A bound on the computed log(y) over 0 < y <= x (dir = +1: upper) or
/// y >= x (dir = -1: lower), from r = (x - x1) / x1 as computed (by a
/// quotient, or by a product with fl(1 / x1) as the lanes form it), with
/// |r| <= kLogRootReach, and the root x1 = exp(Lr) of a lognormal search.
/// x - x1 is exact there (Sterbenz), so r lies within eps |r| of the true
/// ratio (2.01 eps |r| for the product); ln x1 lies within 6.0001 eps of
/// Lr for an exp within 6 eps (the C library's within 2 ulp, the lanes'
/// LanesExp within 6 eps); r - 0.51 r^2 <= log1p(r) <= r; log(x) lies
/// within 4.004 eps (|Lr| + |r|) of ln x; the sums round by at most eps
/// (|Lr| + |r| + slack).  The slack covers 6.0001 eps + 3.02 eps |r| +
/// 6.004 eps (|Lr| + |r|) and, below, 0.51 r^2 with the rounding of r.
template <class V>
RBO_LANES_INLINE V LogBoundNearRoot(V r, V dLogRoot, double dDir) {
  constexpr double eps = kUnitRoundoff;
  const V ar = Abs(r);
  V slack = 8.0 * eps + 3.0 * eps * ar + 8.0 * eps * (Abs(dLogRoot) + ar);
  if (dDir < 0.0) slack = slack + 0.52 * r * r;
  return (dLogRoot + r) + dDir * slack;
}

/// Predictor for a normal or lognormal variable: the computed CDF is
/// CdfFromErfc(v >= 0, ErfcFit(|v|)) of the computed erf argument v, and v
/// is a monotone function of x for the normal (three correctly rounded
/// operations).  For the lognormal it passes through the C library's log,
/// which is within 2 ulp of ln x but not necessarily monotone: predictions
/// call log itself (the same double that CDF sees), the far bounds bound
/// log(x) from ln of the root estimate and log1p of the distance to it.
class CNormalFitPredictor {
 public:
  /// bLognormal: the variable is lognormal (Param1 = lambda, Param2 = eps).
  CNormalFitPredictor(bool bLognormal, double dParam1, double dParam2)
      : m_bLognormal(bLognormal), m_dParam1(dParam1), m_dParam2(dParam2) {}

  /// Anchors the model near the root of CDF = p (0 < p < 1, |p - 1/2| >= 1e-5)
  /// and writes a root estimate and dx/dCDF there.
  bool Prepare(double p, double& dRoot, double& dXPerP) {
    const double u0 = AnchorFor(p);
    if (!(u0 > 0.0 && u0 <= 30.0)) return false;
    m_model = ErfcAnchorAt(u0);
    return PrepareAnchored(p, dRoot, dXPerP);
  }

  /// Prepare with the model's values at AnchorFor(p) computed elsewhere
  /// (ErfcAnchorAt in lanes, for many probabilities at once).
  bool Prepare(double p, const TErfcAnchor<double>& anchor, double& dRoot, double& dXPerP) {
    m_model = anchor;
    return PrepareAnchored(p, dRoot, dXPerP);
  }

  bool IsLognormal() const { return m_bLognormal; }

  /// The model and side for p without the root, for a search of a normal
  /// variable whose zone was placed elsewhere.
  void PrepareForZone(double p, const TErfcAnchor<double>& anchor) {
    m_model = anchor;
    m_bUpper = p > 0.5;
  }
  /// The same for a lognormal variable, with the root exp(Lr) its zone was
  /// placed around (its far bounds need it).
  void PrepareForZone(double p, const TErfcAnchor<double>& anchor, double dRoot, double dLogRoot) {
    PrepareForZone(p, anchor);
    m_dRoot = dRoot;
    m_dLogRoot = dLogRoot;
  }

  /// Where the model is anchored for p: the quantile of the true normal
  /// distribution in u = |v|, the fit's root lies within about 1.2e-7 of it,
  /// well inside the model's reach.  Prepare declines unless 0 < u <= 30.
  static double AnchorFor(double p) {
    const double q = p < 0.5 ? p : 1.0 - p;                      // the smaller tail (1 - p is exact for p >= 1/2)
    return -NormalQuantileEstimate(q) * 0.70710678118654752440;  // / sqrt(2)
  }

  /// Bounds of CDF(x) near the anchor; false where the model does not reach.
  [[gnu::always_inline]] bool Predict(double x, CCdfBounds& b) const {
    if (m_bLognormal) {
      if (x <= 0.0) {
        b = {0.0, 0.0};
        return true;
      }
      return FromArgument(LognormalErfArgument(x, m_dParam1, m_dParam2), b);
    }
    return FromArgument(NormalErfArgument(x, m_dParam1, m_dParam2), b);
  }

  /// A with CDF(x) <= A for every x <= xa.
  ///  Normal: the argument v(x) <= v(xa) (monotone).  Lognormal: for
  ///  0 < x <= xa, log(x) <= ln x + 4 eps |ln x| <= ln xa + 4 eps |ln xa|
  ///  <= log(xa) + 8.001 eps |log(xa)|, and Lmax below exceeds that after
  ///  its own rounding; x <= 0 gives 0.
  ///  Then, on the lower side (v < 0, u = -v >= ua): the computed fit is at
  ///  most e(u)(1 + rho(u)) <= e(ua)(1 + rho(ua)) because ln e(u) + rho(u)
  ///  has derivative L'(u) + 6 eps u < 0, and CdfFromErfc(lower, .) is
  ///  increasing: the predicted upper bound at ua covers every u >= ua.  On
  ///  the upper side (0 <= u <= ua): e(u)(1 - rho(u)) >= e(ua)(1 - rho(ua))
  ///  (both factors decrease) and CdfFromErfc(upper, .) decreases; the
  ///  lower side adds at most kJumpSup.
  bool BoundBelow(double xa, double& dA) const {
    if (m_bLognormal && xa <= 0.0) {
      dA = 0.0;
      return true;
    }
    const double v = m_bLognormal ? LogArgumentBound(xa, +1.0) : NormalErfArgument(xa, m_dParam1, m_dParam2);
    CCdfBounds b;
    if (!FromArgument(v, b)) return false;
    dA = OneSidedBelow(m_bUpper, b.dHi);
    return true;
  }

  /// B with CDF(x) >= B for every x >= xb (the mirror of BoundBelow).
  bool BoundAbove(double xb, double& dB) const {
    if (m_bLognormal && xb <= 0.0) return false;
    const double v = m_bLognormal ? LogArgumentBound(xb, -1.0) : NormalErfArgument(xb, m_dParam1, m_dParam2);
    CCdfBounds b;
    if (!FromArgument(v, b)) return false;
    dB = OneSidedAbove(m_bUpper, b.dLo);
    return true;
  }

  /// Standard normal quantile of 0 < q <= 1/2 by a rational approximation
  /// (relative error below 1.2e-9); only a starting point.
  static double NormalQuantileEstimate(double q) {
    return q < kQuantileTail ? TailQuantileEstimate(q) : CentralQuantileEstimate(q);
  }

  /// Where the approximation changes from the central to the tail formula.
  static constexpr double kQuantileTail = 0.02425;

  /// The approximation for q < kQuantileTail.
  static double TailQuantileEstimate(double q) {
    static constexpr double c[6] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                    -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    static constexpr double d[4] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                    3.754408661907416e+00};
    const double r = std::sqrt(-2.0 * std::log(q));
    return (((((c[0] * r + c[1]) * r + c[2]) * r + c[3]) * r + c[4]) * r + c[5]) /
           ((((d[0] * r + d[1]) * r + d[2]) * r + d[3]) * r + 1.0);
  }

  /// The approximation for kQuantileTail <= q <= 1/2, the rational function
  /// by pairs of terms (a shorter chain), for one value or lanes.
  template <class V>
  RBO_LANES_INLINE static V CentralQuantileEstimate(V q) {
    constexpr double a[6] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                             1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    constexpr double b[5] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                             6.680131188771972e+01, -1.328068155288572e+01};
    const V h = q - 0.5;
    const V r = h * h, r2 = r * r, r4 = r2 * r2;
    const V num = ((a[0] * r + a[1]) * r4 + (a[2] * r + a[3]) * r2) + (a[4] * r + a[5]);
    const V den = ((b[0] * r + b[1]) * r4 + (b[2] * r + b[3]) * r2) + (b[4] * r + 1.0);
    return num * h / den;
  }

 private:
  // The root estimate and dx/dCDF from the anchored model.
  bool PrepareAnchored(double p, double& dRoot, double& dXPerP) {
    m_bUpper = p > 0.5;
    if (m_bLognormal) {
      // As for the normal, in ln x: the root is exp of it, dx/dCDF x times it.
      double dLogRoot = 0.0, dLogPerP = 0.0;
      NormalRootAndSlope(m_model, p, m_bUpper, m_dParam1, m_dParam2, dLogRoot, dLogPerP);
      m_dLogRoot = dLogRoot;
      m_dRoot = std::exp(m_dLogRoot);
      dRoot = m_dRoot;
      dXPerP = dLogPerP * dRoot;
      if (!(m_dRoot > 0.0)) return false;
    } else {
      NormalRootAndSlope(m_model, p, m_bUpper, m_dParam1, m_dParam2, dRoot, dXPerP);
    }
    return std::isfinite(dRoot) && dXPerP > 0.0 && std::isfinite(dXPerP);
  }

  bool FromArgument(double v, CCdfBounds& b) const { return CdfBoundsAtArgument(m_model, m_bUpper, v, b.dLo, b.dHi); }

  /// The erf argument of a lognormal variable from a bound on log(y): an
  /// upper bound over all 0 < y <= x (dir = +1) or a lower bound over all
  /// y >= x (dir = -1).  log(y) lies within 4 eps |ln y| of ln y, and
  /// ln(y) + 4 eps |ln y| increases with y (ln y - 4 eps |ln y| too), so the
  /// bound at x serves every y beyond it.  Near the root (LogBoundNearRoot)
  /// ln x follows from Lr; further away, log(x) itself is widened by
  /// 10 eps |log x|.
  double LogArgumentBound(double x, double dDir) const {
    constexpr double eps = kUnitRoundoff;
    const double r = (x - m_dRoot) / m_dRoot;
    double l = 0.0;
    if (std::fabs(r) <= kLogRootReach) {
      l = LogBoundNearRoot(r, m_dLogRoot, dDir);
    } else {
      const double logX = std::log(x);
      l = logX + dDir * (10.0 * eps * std::fabs(logX));
    }
    return LognormalErfArgumentFromLog(l, m_dParam1, m_dParam2);
  }

  bool m_bLognormal;                                          ///< lognormal (else normal)
  double m_dParam1;                                           ///< mu or lambda
  double m_dParam2;                                           ///< sigma or eps
  bool m_bUpper = false;                                      ///< the root lies where the erf argument is >= 0
  double m_dLogRoot = 0.0;                                    ///< lognormal: ln of the root estimate, Lr
  double m_dRoot = 1.0;                                       ///< lognormal: the root estimate exp(Lr)
  TErfcAnchor<double> m_model{0.0, 0.0, 0.0, 0.0, 1.0, 1.0};  ///< the fit's model around the root
};

// ============================================================ Weibull
//
// CDF = WeibullCdfFromSurvival(exp(-pow(z, beta))) with z = (x - gamma) / eta
// monotone in x, for x >= gamma (0 below; the cap at z^beta > 1e30 returns
// 1, which the formula also gives there).  With y(z) = z^beta and
// g = exp(-y), the computed survival is g exp(-y dp) (1 + de) with
// |dp|, |de| <= 4 eps (2 ulp): it lies in the band
// [exp(-y(1 + 4eps))(1 - 4eps), exp(-y(1 - 4eps))(1 + 4eps)] whose edges
// decrease with z, so a predicted bound at za (zb) bounds every z <= za
// (z >= zb), and 1 - g is decreasing in g.

/// How far from the anchor the Weibull model answers (relative in z).
inline constexpr double kWeibullModelReach = 1e-7;

/// kappa for the anchor z0 = LanesExp(fl(L * fl(1 / beta))) with
/// L = LanesLog(y0): L = ln y0 (1 + dl), |dl| <= 6 eps, the quotient and the
/// product round by eps each, and LanesExp errs by 6 eps, so
/// |beta ln z0 - ln y0| <= |ln y0| ((1 + 6 eps)(1 + eps)^2 - 1) +
/// beta 6.0001 eps, with |ln y0| <= |L| / (1 - 6 eps).
template <class V>
RBO_LANES_INLINE V LanesWeibullKappa(V dLogY0, double dBeta) {
  constexpr double eps = kUnitRoundoff;
  return 8.01 * eps * (Abs(dLogY0) * 1.000001) + 6.0001 * eps * dBeta;
}

/// The Weibull model's values at its anchor z0 (CWeibullPredictor), for one
/// value or lanes.
template <class V>
struct TWeibullAnchor {
  V y0;           ///< -log1p(-p)
  V z0;           ///< the anchor, z0^beta within kappa of y0 in the log
  V survival0;    ///< 1 - p
  V kappa;        ///< bound on |ln(z0^beta / y0)|
  V anchorWidth;  ///< bound on |ln g(z0) - ln(1 - p)| plus the rounding of 1 - p
};

/// Bounds on the relative error of y0 = -ln(1 - p) as formed: by the C
/// library's log1p (2 ulp), and by the lanes' LanesLogOneMinus, each with a
/// margin for 1 / (1 + dl) - 1.
inline constexpr double kLibraryY0Error = 4.0001 * kUnitRoundoff;
inline constexpr double kLanesY0Error = (kLanesLogOneMinusErrorUnits + 0.0001) * kUnitRoundoff;

/// The anchor for p with y0 (within dY0Error relative of -ln(1 - p)) and z0
/// formed elsewhere.
template <class V>
RBO_LANES_INLINE TWeibullAnchor<V> WeibullAnchorAt(V p, V y0, V z0, V kappa, double dY0Error) {
  constexpr double eps = kUnitRoundoff;
  return {y0, z0, 1.0 - p, kappa, 1.0001 * y0 * (kappa * (1.0 + kappa) + dY0Error) + 1.0001 * eps};
}

/// Bounds [lo, hi] of the computed CDF at the scaled z within the model's
/// reach of the anchor; the condition (a bool or a lane mask) is false
/// further away.  ln g(z) = ln g(z0) - y(z0) ((1 + r)^beta - 1),
/// r = (z - z0)/z0, with (1 + r)^beta - 1 = beta r + R2, |R2| <= beta
/// (beta + 1) r^2 when beta |r| <= 1e-3; the model value is (1 - p) exp(-D),
/// D = y0 beta r.
template <class V>
RBO_LANES_INLINE auto WeibullBoundsNear(const TWeibullAnchor<V>& m, double dBeta, V z, V& dLo, V& dHi) {
  constexpr double eps = kUnitRoundoff;
  const V r = (z - m.z0) / m.z0;  // two roundings: within 2.01 eps |r|
  const V ar = Abs(r) * (1.0 + 4.0 * eps);
  const V d = m.y0 * dBeta * r;
  const V ad = Abs(d);
  const auto bWithin = (ar <= Splat<V>(kWeibullModelReach)) && (dBeta * ar <= Splat<V>(1e-3)) && (ad <= Splat<V>(0.01));
  // |y(z0) beta r - d| and y(z0) |R2|, with y(z0) <= y0 e^kappa.
  const V wModel =
      m.anchorWidth + m.y0 * dBeta * ar * (1.01 * m.kappa + 6.1 * eps) + 1.01 * m.y0 * dBeta * (dBeta + 1.0) * ar * ar;
  // Noise at z: 4 eps y(z) + 4 eps, y(z) <= 1.01 y0.
  const V noise = 4.0 * eps * 1.01 * m.y0 + 4.0001 * eps;
  const V c = m.survival0 * (1.0 + (-d + 0.5 * d * d));
  const V a = 1.0001 * (wModel + ad * ad * ad / 4.9 + noise + 4.0 * eps);
  const V w = 1.01 * (1.001 * a) + 8.0 * eps;
  dLo = WeibullCdfFromSurvival(c * (1.0 + w));
  dHi = WeibullCdfFromSurvival(c * (1.0 - w));
  return bWithin;
}

class CWeibullPredictor {
 public:
  CWeibullPredictor(double dGamma, double dEta, double dBeta) : m_dGamma(dGamma), m_dEta(dEta), m_dBeta(dBeta) {}

  /// Whether the model answers near its anchor: y0 and z0 positive, z0
  /// finite, kappa small.
  template <class V>
  RBO_LANES_INLINE static auto AnchorUsable(const TWeibullAnchor<V>& m) {
    return (m.y0 > Splat<V>(0.0)) && (m.z0 > Splat<V>(0.0)) && IsFinite(m.z0) && (m.kappa <= Splat<V>(1e-6)) &&
           (m.y0 <= Splat<V>(50.0));
  }

  /// The root estimate gamma + eta z0 and dx/dCDF there; the condition
  /// says both are finite and the slope positive.
  template <class V>
  RBO_LANES_INLINE auto RootAndSlope(const TWeibullAnchor<V>& m, V& dRoot, V& dXPerP) const {
    dRoot = m_dGamma + m_dEta * m.z0;
    dXPerP = m.z0 * m_dEta / (m.survival0 * m_dBeta * m.y0);
    return IsFinite(dRoot) && (dXPerP > Splat<V>(0.0)) && IsFinite(dXPerP);
  }

  /// Anchors at the closed-form quantile z0 = (-log1p(-p))^(1/beta) of
  /// 0 < p < 1 and writes a root estimate and dx/dCDF there.
  /// With y0 = -log1p(-p) = y (1 + dl), |dl| <= 4 eps, y = -ln(1 - p),
  /// 1/beta rounded by di and pow by dq:
  /// ln(z0^beta / y0) = di ln y0 + beta ln(1 + dq), at most
  /// kappa = eps |ln y0| + 4.0001 eps beta; hence
  /// |ln g(z0) - ln(1 - p)| <= y0 (kappa (1 + kappa) + 4.0001 eps), and
  /// for another y0 with |dl| <= e, y0 (kappa (1 + kappa) + e (1 + 2e)).
  bool Prepare(double p, double& dRoot, double& dXPerP) {
    constexpr double eps = kUnitRoundoff;
    const double y0 = -std::log1p(-p);
    int nExp = 0;
    std::frexp(y0, &nExp);
    const double lnY0Bound = (std::abs(nExp) + 1) * 0.6932;  // >= |ln y0|
    return PrepareAt(p, y0, kLibraryY0Error, std::pow(y0, 1.0 / m_dBeta), eps * lnY0Bound + 4.0001 * eps * m_dBeta,
                     dRoot, dXPerP);
  }

  /// Prepare with y0, within dY0Error relative of -ln(1 - p), and an anchor
  /// z0 formed elsewhere, kappa bounding |ln(z0^beta / y0)| (for the lanes'
  /// z0 = exp(log(y0) / beta): LanesWeibullKappa).
  bool PrepareAt(double p, double y0, double dY0Error, double z0, double kappa, double& dRoot, double& dXPerP) {
    m_model = WeibullAnchorAt(p, y0, z0, kappa, dY0Error);
    return AnchorUsable(m_model) && RootAndSlope(m_model, dRoot, dXPerP);
  }

  /// The model for a search whose zone was placed elsewhere (in lanes).
  void PrepareForZone(const TWeibullAnchor<double>& model) { m_model = model; }

  [[gnu::always_inline]] bool Predict(double x, CCdfBounds& b) const {
    if (x < m_dGamma) {
      b = {0.0, 0.0};
      return true;
    }
    return WeibullBoundsNear(m_model, m_dBeta, WeibullScaled(x, m_dGamma, m_dEta), b.dLo, b.dHi);
  }

  bool BoundBelow(double xa, double& dA) const {
    if (xa < m_dGamma) {
      dA = 0.0;
      return true;
    }
    double dLo = 0.0;
    return WeibullBoundsNear(m_model, m_dBeta, WeibullScaled(xa, m_dGamma, m_dEta), dLo, dA);
  }

  bool BoundAbove(double xb, double& dB) const {
    if (xb < m_dGamma) return false;
    double dHi = 0.0;
    return WeibullBoundsNear(m_model, m_dBeta, WeibullScaled(xb, m_dGamma, m_dEta), dB, dHi);
  }

 private:
  double m_dGamma;                                          ///< location
  double m_dEta;                                            ///< scale
  double m_dBeta;                                           ///< shape
  TWeibullAnchor<double> m_model{0.0, 0.0, 0.0, 0.0, 0.0};  ///< the model at the anchor
};

// ============================================================ uniform
//
// The computed uniform distribution is monotone (two correctly rounded
// operations between two constant ends) and costs no more than a bound:
// the predictor returns it exactly.

class CUniformPredictor {
 public:
  CUniformPredictor(double a, double b) : m_dA(a), m_dB(b) {}

  bool Prepare(double p, double& dRoot, double& dXPerP) const {
    const double w = m_dB - m_dA;
    if (!(w > 0.0 && std::isfinite(w))) return false;
    dRoot = m_dA + p * w;
    dXPerP = w;
    return std::isfinite(dRoot);
  }
  [[gnu::always_inline]] bool Predict(double x, CCdfBounds& b) const {
    const double f = UniformCdf(x, m_dA, m_dB);
    b = {f, f};
    return true;
  }
  bool BoundBelow(double xa, double& dA) const {
    dA = UniformCdf(xa, m_dA, m_dB);
    return true;
  }
  bool BoundAbove(double xb, double& dB) const {
    dB = UniformCdf(xb, m_dA, m_dB);
    return true;
  }

 private:
  double m_dA;  ///< lower bound
  double m_dB;  ///< upper bound
};

}  // namespace rbo::icdf
