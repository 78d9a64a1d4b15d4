// The lanes' anchors and zones, compiled generic, for AVX2 and for AVX-512,
// and chosen by what the processor has when first called.

#include "randvar/AnchorLaneKernels.h"

namespace rbo::icdf {
namespace {

// Each variant inlines everything it calls, so that the lanes' arithmetic
// is compiled for its width.
[[gnu::flatten]] void AnchorsGeneric(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal, CErfcAnchors& out) {
  Anchors(p, pNormal, out);
}

[[gnu::flatten]] void WeibullAnchorsGeneric(const double (&p)[kAnchorBatch], const CLaneWeibull& v,
                                            CWeibullAnchors& out) {
  WeibullAnchors(p, v, out);
}

#if defined(RBO_LANES_X86)
[[gnu::flatten, gnu::target("avx2")]] void AnchorsAvx2(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal,
                                                       CErfcAnchors& out) {
  Anchors(p, pNormal, out);
}
[[gnu::flatten, gnu::target("avx2")]] void WeibullAnchorsAvx2(const double (&p)[kAnchorBatch], const CLaneWeibull& v,
                                                              CWeibullAnchors& out) {
  WeibullAnchors(p, v, out);
}
#endif

/// A kernel's code for eCode: the AVX2 or AVX-512 variant when the
/// processor has it.
template <class Fn>
Fn CodeFor(ELaneCode eCode, Fn fGeneric, [[maybe_unused]] Fn fAvx2, [[maybe_unused]] Fn fAvx512) {
  switch (eCode) {
#if defined(RBO_LANES_X86)
    case ELaneCode::kAvx2:
      return __builtin_cpu_supports("avx2") ? fAvx2 : nullptr;
#endif
#if defined(RBO_LANES_AVX512)
    case ELaneCode::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") ? fAvx512 : nullptr;
#endif
    case ELaneCode::kGeneric:
      return fGeneric;
    default:
      return nullptr;
  }
}

template <class Fn>
Fn BestCode(Fn fGeneric, Fn fAvx2, Fn fAvx512) {
  for (ELaneCode eCode : {ELaneCode::kAvx512, ELaneCode::kAvx2})
    if (const Fn f = CodeFor(eCode, fGeneric, fAvx2, fAvx512)) return f;
  return fGeneric;
}

using AnchorsFn = void (*)(const double (&)[kAnchorBatch], const CLaneNormal*, CErfcAnchors&);
using WeibullAnchorsFn = void (*)(const double (&)[kAnchorBatch], const CLaneWeibull&, CWeibullAnchors&);

#if defined(RBO_LANES_X86)
constexpr AnchorsFn kAnchorsAvx2 = AnchorsAvx2;
constexpr WeibullAnchorsFn kWeibullAnchorsAvx2 = WeibullAnchorsAvx2;
#else
constexpr AnchorsFn kAnchorsAvx2 = nullptr;
constexpr WeibullAnchorsFn kWeibullAnchorsAvx2 = nullptr;
#endif
#if defined(RBO_LANES_AVX512)
constexpr AnchorsFn kAnchorsAvx512 = ErfcAnchorsAvx512;
constexpr WeibullAnchorsFn kWeibullAnchorsAvx512 = WeibullAnchorsAvx512;
#else
constexpr AnchorsFn kAnchorsAvx512 = nullptr;
constexpr WeibullAnchorsFn kWeibullAnchorsAvx512 = nullptr;
#endif

}  // namespace

void ErfcAnchorsOf(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal, CErfcAnchors& anchors) {
  static const AnchorsFn fBest = BestCode<AnchorsFn>(AnchorsGeneric, kAnchorsAvx2, kAnchorsAvx512);
  fBest(p, pNormal, anchors);
}

bool ErfcAnchorsWith(ELaneCode eCode, const double (&p)[kAnchorBatch], const CLaneNormal* pNormal,
                     CErfcAnchors& anchors) {
  const AnchorsFn f = CodeFor<AnchorsFn>(eCode, AnchorsGeneric, kAnchorsAvx2, kAnchorsAvx512);
  if (!f) return false;
  f(p, pNormal, anchors);
  return true;
}

void WeibullAnchorsOf(const double (&p)[kAnchorBatch], const CLaneWeibull& v, CWeibullAnchors& anchors) {
  static const WeibullAnchorsFn fBest =
      BestCode<WeibullAnchorsFn>(WeibullAnchorsGeneric, kWeibullAnchorsAvx2, kWeibullAnchorsAvx512);
  fBest(p, v, anchors);
}

bool WeibullAnchorsWith(ELaneCode eCode, const double (&p)[kAnchorBatch], const CLaneWeibull& v,
                        CWeibullAnchors& anchors) {
  const WeibullAnchorsFn f =
      CodeFor<WeibullAnchorsFn>(eCode, WeibullAnchorsGeneric, kWeibullAnchorsAvx2, kWeibullAnchorsAvx512);
  if (!f) return false;
  f(p, v, anchors);
  return true;
}

}  // namespace rbo::icdf
