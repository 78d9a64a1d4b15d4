// The lanes' kernels: the anchors and first zones of kAnchorBatch
// probabilities, phase by phase over the batch.  Included by the
// translation units that compile them for a vector unit: AnchorLanes.cpp at
// the default width of four lanes (generic and AVX2), AnchorLanesAvx512.cpp
// at eight.  Everything here has internal linkage, so that each unit keeps
// its own width.
#pragma once

#include <cmath>
#include <cstring>

#include "randvar/AnchorLanes.h"
#include "randvar/LaneTargets.h"

namespace rbo::icdf {
namespace {

/// The largest anchor whose fit exponent (-u^2 + Q, >= -u^2 - 1.27) keeps
/// LanesExp's argument above -700.
constexpr double kLaneAnchorLimit = 26.0;

static_assert(kAnchorBatch % kLanes == 0, "the batch is whole groups of lanes");

RBO_LANES_INLINE VLanes LoadLanes(const double* a) {
  VLanes v;
  std::memcpy(&v, a, sizeof v);
  return v;
}
RBO_LANES_INLINE void StoreLanes(VLanes v, double* a) { std::memcpy(a, &v, sizeof v); }
RBO_LANES_INLINE void StoreMask(VLaneBits m, std::int64_t* a) { std::memcpy(a, &m, sizeof m); }
RBO_LANES_INLINE bool AnyLane(VLaneBits m) {
  std::int64_t nAny = 0;
  for (int i = 0; i < kLanes; ++i) nAny |= m[i];
  return nAny != 0;
}

// The work goes phase by phase over the whole batch: within a phase the
// groups are independent, so the processor overlaps their chains.

// The anchors in u of the probabilities: the central quantile formula in
// lanes, the tail formula value by value where a value needs it.  Invalid
// values get u = 1 so that the lanes compute only finite values.
RBO_LANES_INLINE void AnchorPoints(const double* p, CErfcAnchors& out) {
  for (int g = 0; g < kAnchorBatch; g += kLanes) {
    const VLanes vp = LoadLanes(p + g);
    const VLanes q = vp < Splat<VLanes>(0.5) ? vp : 1.0 - vp;
    VLanes u = -CNormalFitPredictor::CentralQuantileEstimate(q) * 0.70710678118654752440;
    const VLaneBits bTail = q < Splat<VLanes>(CNormalFitPredictor::kQuantileTail);
    if (AnyLane(bTail))
      for (int i = 0; i < kLanes; ++i)
        if (bTail[i]) u[i] = CNormalFitPredictor::AnchorFor(p[g + i]);
    const VLaneBits bValid = (u > Splat<VLanes>(0.0)) & (u <= Splat<VLanes>(kLaneAnchorLimit));
    StoreLanes(bValid ? u : Splat<VLanes>(1.0), out.u1 + g);
    StoreMask(bValid, out.bValid + g);
  }
}

RBO_LANES_INLINE void AnchorValues(CErfcAnchors& out) {
  for (int g = 0; g < kAnchorBatch; g += kLanes) {
    const TErfcAnchor<VLanes> a = ErfcAnchorAt(LoadLanes(out.u1 + g));
    StoreLanes(a.e1, out.e1 + g);
    StoreLanes(a.slope, out.slope + g);
    StoreLanes(a.curvature, out.curvature + g);
    StoreLanes(a.lowFactor, out.lowFactor + g);
    StoreLanes(a.highFactor, out.highFactor + g);
  }
}

// The root estimate and dx/dCDF of a normal variable, or of a lognormal
// one (the normal's in ln x, the root exp(Lr) by the lanes' exp, within its
// reach), as Prepare forms them.
struct CLaneRoot {
  VLanes root, xPerP, logRoot;
  VLanes invRoot;  ///< lognormal: fl(1 / root), for the relative distances to the root
  VLaneBits bValid;
};
RBO_LANES_INLINE CLaneRoot LaneRoot(const TErfcAnchor<VLanes>& a, VLanes vp, VLaneBits bUpper, const CLaneNormal& v) {
  CLaneRoot r;
  NormalRootAndSlope(a, vp, bUpper, v.dMu, v.dSigma, r.root, r.xPerP);
  r.logRoot = r.root;
  if (v.bLognormal) {
    const VLaneBits bReach = Abs(r.logRoot) <= Splat<VLanes>(kLaneExpReach);
    r.root = LanesExp(bReach ? r.logRoot : Splat<VLanes>(0.0));
    r.xPerP = r.xPerP * r.root;
    r.invRoot = 1.0 / r.root;
    r.bValid = bReach & (r.root > Splat<VLanes>(0.0));
  } else {
    r.bValid = ~VLaneBits{};
  }
  r.bValid = r.bValid & IsFinite(r.root) & (r.xPerP > Splat<VLanes>(0.0)) & IsFinite(r.xPerP);
  return r;
}

// The erf argument bounding the computed one over x <= xa (dDir = +1) or
// x >= xb (dDir = -1), as BoundBelow and BoundAbove form it; for a
// lognormal, only near the root (the condition says where).
RBO_LANES_INLINE VLanes FarArgument(VLanes x, const CLaneRoot& r, const CLaneNormal& v, double dDir, VLaneBits& bNear) {
  if (!v.bLognormal) {
    bNear = ~VLaneBits{};
    return NormalErfArgument(x, v.dMu, v.dSigma);
  }
  // A product with fl(1 / root) instead of the quotient: within 2.01 eps
  // |rel| of the true ratio, which LogBoundNearRoot allows.
  const VLanes rel = (x - r.root) * r.invRoot;
  bNear = (Abs(rel) <= Splat<VLanes>(kLogRootReach)) & (x > Splat<VLanes>(0.0));
  return LognormalErfArgumentFromLog(LogBoundNearRoot(rel, r.logRoot, dDir), v.dMu, v.dSigma);
}

// One-sided bounds as BoundBelow and BoundAbove form them: CDF <= dBelow
// for every x <= xBelow, CDF >= dAbove for every x >= xAbove; the condition
// says where both hold.
RBO_LANES_INLINE VLaneBits OneSidedBounds(const TErfcAnchor<VLanes>& a, VLaneBits bUpper, const CLaneRoot& r,
                                          const CLaneNormal& v, VLanes xBelow, VLanes xAbove, VLanes& dBelow,
                                          VLanes& dAbove) {
  VLaneBits bNearBelow, bNearAbove;
  const VLanes vBelow = FarArgument(xBelow, r, v, +1.0, bNearBelow),
               vAbove = FarArgument(xAbove, r, v, -1.0, bNearAbove);
  VLanes belowLo, belowHi, aboveLo, aboveHi;
  const VLaneBits bAtBelow = CdfBoundsAtArgument(a, bUpper, vBelow, belowLo, belowHi);
  const VLaneBits bAtAbove = CdfBoundsAtArgument(a, bUpper, vAbove, aboveLo, aboveHi);
  dBelow = OneSidedBelow(bUpper, belowHi);
  dAbove = OneSidedAbove(bUpper, aboveLo);
  return bNearBelow & bNearAbove & bAtBelow & bAtAbove;
}

// The tests on F / p of ZoneBoundsDecide, and whether CDF >= C above xc
// and CDF <= D below xd show every value over a sure zone [xc, xd] close to
// p (F / p - 1 is monotone in F, so it lies within (-tol, tol) for every F
// in [C, D] when it does at both ends), by products with ip = fl(1 / p):
// one division per value instead of one per bound.
// Such a product q lies within 2.01 eps (F / p) of F / p, so within
// 3.02 eps (F / p) <= 6.04 eps (F <= 2 p) of the quotient fl(F / p) that
// the search tests; each test here is the search's with a margin of 8 eps
// towards failing, so that it holds only where the search's holds.  Where
// q lies within [1/2, 2], q - 1 and fl(F / p) - 1 are exact (Sterbenz);
// below 1/2 (F far below p) or above 2 the tests on "close" are decided
// alike, far from the tolerance.  (The predicted searches' tolerances are
// at least 1e-15 > 8 eps.)  ZoneBoundsDecide's test of B / A follows: with
// 0 <= A < p, B / A >= B / p >= 1 + t + 5.9 eps, so fl(B / A) - 1 >= t.
RBO_LANES_INLINE VLaneBits ZoneBoundsDecideByProducts(VLanes vp, VLanes ip, double tol, VLanes A, VLanes B) {
  const VLanes t = Splat<VLanes>(tol), tWide = Splat<VLanes>(tol + 8.0 * kUnitRoundoff);
  return (A < vp) & (B > vp) & (A * ip - 1.0 <= -tWide) & (B * ip - 1.0 >= tWide) & (B - (t < A ? t : A) >= t);
}
RBO_LANES_INLINE VLaneBits SureZoneCloseByProducts(VLanes ip, double tol, VLanes C, VLanes D) {
  const VLanes tNarrow = Splat<VLanes>(tol - 8.0 * kUnitRoundoff);
  return (C * ip - 1.0 > -tNarrow) & (D * ip - 1.0 < tNarrow);
}

// The sure zone [xc, xd] of a lognormal variable's searches, half-width
// kSureZoneWidth around the root, where its bounds show it (else an empty
// one).  A normal variable has none: its predictions cost less than the
// bounds.
RBO_LANES_INLINE void SureZone(const TErfcAnchor<VLanes>& a, VLaneBits bUpper, const CLaneRoot& r, const CLaneNormal& v,
                               VLanes vp, VLanes ip, VLaneBits bZone, double* pXc, double* pXd) {
  VLanes xc = Splat<VLanes>(HUGE_VAL), xd = Splat<VLanes>(-HUGE_VAL);
  if (v.bLognormal) {
    const VLanes dxSure = ZoneHalfWidth(vp, v.dTol, r.xPerP, kSureZoneWidth);
    VLanes C, D;
    const VLaneBits bSure = bZone & OneSidedBounds(a, bUpper, r, v, r.root + dxSure, r.root - dxSure, D, C) &
                            SureZoneCloseByProducts(ip, v.dTol, C, D);
    xc = bSure ? r.root - dxSure : xc;
    xd = bSure ? r.root + dxSure : xd;
  }
  StoreLanes(xc, pXc);
  StoreLanes(xd, pXd);
}

// A zone (xa, xb) with its bounds A and B, and where it decides the tests.
struct CLaneZone {
  VLanes xa, xb, A, B;
  VLaneBits bZone;
};

// The zone where the first try holds it, elsewhere the second.
RBO_LANES_INLINE CLaneZone FirstHeld(const CLaneZone& z1, const CLaneZone& z2) {
  const VLaneBits b = z1.bZone;
  return {b ? z1.xa : z2.xa, b ? z1.xb : z2.xb, b ? z1.A : z2.A, b ? z1.B : z2.B, b | z2.bZone};
}

// The zone of half-width kZoneWidths[nWidth] around the root, the
// one-sided bounds at its ends and whether they decide the tests, as
// PlaceZone forms them (the tests on F / p by products, ip = fl(1 / p)).
RBO_LANES_INLINE CLaneZone NormalZone(const TErfcAnchor<VLanes>& a, VLaneBits bUpper, const CLaneRoot& r,
                                      const CLaneNormal& v, VLanes vp, VLanes ip, int nWidth) {
  const VLanes dx = ZoneHalfWidth(vp, v.dTol, r.xPerP, kZoneWidths[nWidth]);
  CLaneZone z{r.root - dx, r.root + dx, {}, {}, {}};
  z.bZone = r.bValid & (z.xa < r.root) & (z.xb > r.root) & IsFinite(z.xa) & IsFinite(z.xb) &
            OneSidedBounds(a, bUpper, r, v, z.xa, z.xb, z.A, z.B) &
            ZoneBoundsDecideByProducts(vp, ip, v.dTol, z.A, z.B) & ProbabilityCovered(vp, true);
  return z;
}

// The first zone of each search: the root estimate and the zone at the
// first width that PlaceZone tries, or where that does not decide the
// tests at the second (tried only for groups where some lane needs it);
// and the sure zone inside it, of half-width kSureZoneWidth.
RBO_LANES_INLINE void Zones(const double* p, const CLaneNormal& v, CErfcAnchors& out) {
  for (int g = 0; g < kAnchorBatch; g += kLanes) {
    const TErfcAnchor<VLanes> a{LoadLanes(out.u1 + g),        LoadLanes(out.e1 + g),
                                LoadLanes(out.slope + g),     LoadLanes(out.curvature + g),
                                LoadLanes(out.lowFactor + g), LoadLanes(out.highFactor + g)};
    const VLanes vp = LoadLanes(p + g), ip = 1.0 / vp;
    const VLaneBits bUpper = vp > Splat<VLanes>(0.5);
    const CLaneRoot r = LaneRoot(a, vp, bUpper, v);
    CLaneZone z = NormalZone(a, bUpper, r, v, vp, ip, 0);
    if (AnyLane(r.bValid & ~z.bZone)) z = FirstHeld(z, NormalZone(a, bUpper, r, v, vp, ip, 1));
    const VLaneBits bZone = z.bZone;
    SureZone(a, bUpper, r, v, vp, ip, bZone, out.xc + g, out.xd + g);
    StoreLanes(z.xa, out.xa + g);
    StoreLanes(z.xb, out.xb + g);
    StoreLanes(z.A, out.A + g);
    StoreLanes(z.B, out.B + g);
    StoreLanes(r.root, out.root + g);
    StoreLanes(r.logRoot, out.logRoot + g);
    VLaneBits bValid;
    std::memcpy(&bValid, out.bValid + g, sizeof bValid);
    StoreMask(bValid & bZone, out.bZone + g);
  }
}

RBO_LANES_INLINE void Anchors(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal, CErfcAnchors& out) {
  AnchorPoints(p, out);
  AnchorValues(out);
  if (pNormal)
    Zones(p, *pNormal, out);
  else
    for (std::int64_t& b : out.bZone) b = 0;
}

// A Weibull search's zone of half-width kZoneWidths[nWidth] around its
// root, as PlaceZone forms it (one reaching below the location is left to
// PlaceZone).
RBO_LANES_INLINE CLaneZone WeibullZone(const TWeibullAnchor<VLanes>& m, const CLaneWeibull& v, VLanes vp, VLanes root,
                                       VLanes xPerP, VLaneBits bRootUsable, int nWidth) {
  const VLanes dx = ZoneHalfWidth(vp, v.dTol, xPerP, kZoneWidths[nWidth]);
  CLaneZone z{root - dx, root + dx, {}, {}, {}};
  VLanes aLo, bHi;
  const VLaneBits bAtA = WeibullBoundsNear(m, v.dBeta, WeibullScaled(z.xa, v.dGamma, v.dEta), aLo, z.A);
  const VLaneBits bAtB = WeibullBoundsNear(m, v.dBeta, WeibullScaled(z.xb, v.dGamma, v.dEta), z.B, bHi);
  z.bZone = bRootUsable & (z.xa < root) & (z.xb > root) & IsFinite(z.xa) & IsFinite(z.xb) &
            (z.xa >= Splat<VLanes>(v.dGamma)) & bAtA & bAtB & ZoneBoundsDecide(vp, v.dTol, z.A, z.B) &
            ProbabilityCovered(vp, false);
  return z;
}

// The Weibull anchors, y0 = -ln(1 - p) by LanesLogOneMinus and
// z0 = exp(log(y0) * fl(1 / beta)), and the first zone of each search as
// PlaceZone forms it (a zone reaching below the location is left to
// PlaceZone).  Probabilities outside [1e-9, 1 - 2^-1022], where
// LanesLogOneMinus does not answer, are not valid.
RBO_LANES_INLINE void WeibullAnchors(const double (&p)[kAnchorBatch], const CLaneWeibull& v, CWeibullAnchors& out) {
  const double dInvBeta = 1.0 / v.dBeta;
  const CWeibullPredictor pred(v.dGamma, v.dEta, v.dBeta);
  for (int g = 0; g < kAnchorBatch; g += kLanes) {
    const VLanes vp = LoadLanes(p + g);
    const VLaneBits bInDomain = (vp >= Splat<VLanes>(1e-9)) & (1.0 - vp >= Splat<VLanes>(0x1p-1022));
    const VLanes y = -LanesLogOneMinus(bInDomain ? vp : Splat<VLanes>(0.5));
    const VLaneBits bNormal =
        bInDomain & (y >= Splat<VLanes>(0x1p-1022)) & (y <= Splat<VLanes>(0x1.fffffffffffffp1023));
    const VLanes logY = LanesLog(bNormal ? y : Splat<VLanes>(1.0));
    const VLanes t = logY * dInvBeta;
    const VLaneBits bReach = Abs(t) <= Splat<VLanes>(kLaneExpReach);
    const VLaneBits bValid = bNormal & bReach;
    const TWeibullAnchor<VLanes> m = WeibullAnchorAt(vp, y, LanesExp(bReach ? t : Splat<VLanes>(0.0)),
                                                     LanesWeibullKappa(logY, v.dBeta), kLanesY0Error);
    VLanes root, xPerP;
    const VLaneBits bRoot = pred.RootAndSlope(m, root, xPerP);
    const VLaneBits bRootUsable = bValid & CWeibullPredictor::AnchorUsable(m) & bRoot;
    CLaneZone z = WeibullZone(m, v, vp, root, xPerP, bRootUsable, 0);
    if (AnyLane(bRootUsable & ~z.bZone)) z = FirstHeld(z, WeibullZone(m, v, vp, root, xPerP, bRootUsable, 1));
    StoreLanes(y, out.y0 + g);
    StoreLanes(m.z0, out.z0 + g);
    StoreLanes(m.kappa, out.kappa + g);
    StoreLanes(m.anchorWidth, out.anchorWidth + g);
    StoreMask(bValid, out.bValid + g);
    StoreLanes(z.xa, out.xa + g);
    StoreLanes(z.xb, out.xb + g);
    StoreLanes(z.A, out.A + g);
    StoreLanes(z.B, out.B + g);
    StoreMask(z.bZone, out.bZone + g);
  }
}

}  // namespace

// The kernels on eight lanes (AnchorLanesAvx512.cpp), for processors with
// AVX-512 (F and DQ).
#if defined(RBO_LANES_AVX512)
void ErfcAnchorsAvx512(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal, CErfcAnchors& out);
void WeibullAnchorsAvx512(const double (&p)[kAnchorBatch], const CLaneWeibull& v, CWeibullAnchors& out);
#endif

}  // namespace rbo::icdf
