// The lanes' anchors, compiled once for each vector width and chosen by what
// the processor has when first called.

#include "randvar/AnchorLanes.h"

#include <cstring>

namespace rbo::icdf {
namespace {

/// The largest anchor whose fit exponent (-u^2 + Q, >= -u^2 - 1.27) keeps
/// LanesExp's argument above -700.
constexpr double kLaneAnchorLimit = 26.0;

VLanes LoadLanes(const double (&a)[kLanes]) {
  VLanes v;
  std::memcpy(&v, a, sizeof v);
  return v;
}
void StoreLanes(VLanes v, double (&a)[kLanes]) { std::memcpy(a, &v, sizeof v); }

// The anchors in u of the probabilities: the central quantile formula in
// lanes, the tail formula value by value where a lane needs it.  Invalid
// lanes get u = 1 so that the lanes compute only finite values.
[[gnu::always_inline]] inline VLanes AnchorPoints(const double (&p)[kLanes], bool (&bValid)[kLanes]) {
  const VLanes vp = LoadLanes(p);
  const VLanes q = vp < Splat<VLanes>(0.5) ? vp : 1.0 - vp;
  double u[kLanes];
  StoreLanes(-CNormalFitPredictor::CentralQuantileEstimate(q) * 0.70710678118654752440, u);
  const VLaneBits bTail = q < Splat<VLanes>(CNormalFitPredictor::kQuantileTail);
  for (int i = 0; i < kLanes; ++i) {
    if (bTail[i]) u[i] = CNormalFitPredictor::AnchorFor(p[i]);
    bValid[i] = u[i] > 0.0 && u[i] <= kLaneAnchorLimit;
    if (!bValid[i]) u[i] = 1.0;
  }
  return LoadLanes(u);
}

// The first zone of each lane's search for a normal variable: the root
// estimate, the zone of half-width kZoneWidths[0], the one-sided bounds at
// its ends and whether they decide the tests, as PlaceZone forms them.
[[gnu::always_inline]] inline void Zones(VLanes p, const TErfcAnchor<VLanes>& a, const CLaneNormal& v,
                                         CErfcAnchors& out) {
  const VLaneBits bUpper = p > Splat<VLanes>(0.5);
  VLanes root, xPerP;
  NormalRootAndSlope(a, p, bUpper, v.dMu, v.dSigma, root, xPerP);
  const VLanes dx = ZoneHalfWidth(p, v.dTol, xPerP, kZoneWidths[0]);
  const VLanes xa = root - dx, xb = root + dx;
  VLanes aLo, aHi, bLo, bHi;
  const VLaneBits bAtA = CdfBoundsAtArgument(a, bUpper, NormalErfArgument(xa, v.dMu, v.dSigma), aLo, aHi);
  const VLaneBits bAtB = CdfBoundsAtArgument(a, bUpper, NormalErfArgument(xb, v.dMu, v.dSigma), bLo, bHi);
  const VLanes A = OneSidedBelow(bUpper, aHi), B = OneSidedAbove(bUpper, bLo);
  const VLaneBits bRoot = IsFinite(root) & (xPerP > Splat<VLanes>(0.0)) & IsFinite(xPerP);
  const VLaneBits bZone =
      bRoot & (xa < root) & (xb > root) & IsFinite(xa) & IsFinite(xb) & bAtA & bAtB & ZoneBoundsDecide(p, v.dTol, A, B);
  StoreLanes(xa, out.xa);
  StoreLanes(xb, out.xb);
  StoreLanes(A, out.A);
  StoreLanes(B, out.B);
  for (int i = 0; i < kLanes; ++i) out.bZone[i] = out.bValid[i] && bZone[i] != 0;
}

[[gnu::always_inline]] inline void Anchors(const double (&p)[kLanes], const CLaneNormal* pNormal, CErfcAnchors& out) {
  const TErfcAnchor<VLanes> a = ErfcAnchorAt(AnchorPoints(p, out.bValid));
  StoreLanes(a.u1, out.u1);
  StoreLanes(a.e1, out.e1);
  StoreLanes(a.slope, out.slope);
  StoreLanes(a.curvature, out.curvature);
  StoreLanes(a.lowFactor, out.lowFactor);
  StoreLanes(a.highFactor, out.highFactor);
  if (pNormal)
    Zones(LoadLanes(p), a, *pNormal, out);
  else
    for (bool& b : out.bZone) b = false;
}

// Each variant inlines everything it calls, so that the lanes' arithmetic
// is compiled for its width.
[[gnu::flatten]] void AnchorsGeneric(const double (&p)[kLanes], const CLaneNormal* pNormal, CErfcAnchors& out) {
  Anchors(p, pNormal, out);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RBO_LANES_X86 1
[[gnu::flatten, gnu::target("avx2")]] void AnchorsAvx2(const double (&p)[kLanes], const CLaneNormal* pNormal,
                                                       CErfcAnchors& out) {
  Anchors(p, pNormal, out);
}
#endif

using AnchorsFn = void (*)(const double (&)[kLanes], const CLaneNormal*, CErfcAnchors&);

AnchorsFn CodeFor(ELaneCode eCode) {
  switch (eCode) {
#if defined(RBO_LANES_X86)
    case ELaneCode::kAvx2:
      return __builtin_cpu_supports("avx2") ? AnchorsAvx2 : nullptr;
#endif
    case ELaneCode::kGeneric:
      return AnchorsGeneric;
    default:
      return nullptr;
  }
}

AnchorsFn BestCode() {
  const AnchorsFn f = CodeFor(ELaneCode::kAvx2);
  return f ? f : AnchorsGeneric;
}

}  // namespace

void ErfcAnchorsOf(const double (&p)[kLanes], const CLaneNormal* pNormal, CErfcAnchors& anchors) {
  static const AnchorsFn fBest = BestCode();
  fBest(p, pNormal, anchors);
}

bool ErfcAnchorsWith(ELaneCode eCode, const double (&p)[kLanes], const CLaneNormal* pNormal, CErfcAnchors& anchors) {
  const AnchorsFn f = CodeFor(eCode);
  if (!f) return false;
  f(p, pNormal, anchors);
  return true;
}

}  // namespace rbo::icdf
