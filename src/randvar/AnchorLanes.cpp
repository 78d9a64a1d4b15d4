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

// A kernel's variants; null where this build has none.
#if defined(RBO_LANES_X86)
#define RBO_IF_AVX2(f) f
#else
#define RBO_IF_AVX2(f) nullptr
#endif
#if defined(RBO_LANES_AVX512)
#define RBO_IF_AVX512(f) f
#else
#define RBO_IF_AVX512(f) nullptr
#endif
template <class Fn>
struct CKernel {
  Fn fGeneric, fAvx2, fAvx512;

  /// The code for eCode, when this build and the processor have it.
  Fn For(ELaneCode eCode) const {
    if (eCode == ELaneCode::kGeneric) return fGeneric;
#if defined(RBO_LANES_X86)
    if (eCode == ELaneCode::kAvx2 && fAvx2 && __builtin_cpu_supports("avx2")) return fAvx2;
    if (eCode == ELaneCode::kAvx512 && fAvx512 && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512dq"))
      return fAvx512;
#endif
    return nullptr;
  }

  /// The widest code the processor has.
  Fn Best() const {
    for (ELaneCode eCode : {ELaneCode::kAvx512, ELaneCode::kAvx2})
      if (const Fn f = For(eCode)) return f;
    return fGeneric;
  }
};

using AnchorsFn = void (*)(const double (&)[kAnchorBatch], const CLaneNormal*, CErfcAnchors&);
using WeibullAnchorsFn = void (*)(const double (&)[kAnchorBatch], const CLaneWeibull&, CWeibullAnchors&);
constexpr CKernel<AnchorsFn> kAnchors{AnchorsGeneric, RBO_IF_AVX2(AnchorsAvx2), RBO_IF_AVX512(ErfcAnchorsAvx512)};
constexpr CKernel<WeibullAnchorsFn> kWeibullAnchors{WeibullAnchorsGeneric, RBO_IF_AVX2(WeibullAnchorsAvx2),
                                                    RBO_IF_AVX512(WeibullAnchorsAvx512)};

}  // namespace

void ErfcAnchorsOf(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal, CErfcAnchors& anchors) {
  static const AnchorsFn fBest = kAnchors.Best();
  fBest(p, pNormal, anchors);
}

bool ErfcAnchorsWith(ELaneCode eCode, const double (&p)[kAnchorBatch], const CLaneNormal* pNormal,
                     CErfcAnchors& anchors) {
  const AnchorsFn f = kAnchors.For(eCode);
  if (!f) return false;
  f(p, pNormal, anchors);
  return true;
}

void WeibullAnchorsOf(const double (&p)[kAnchorBatch], const CLaneWeibull& v, CWeibullAnchors& anchors) {
  static const WeibullAnchorsFn fBest = kWeibullAnchors.Best();
  fBest(p, v, anchors);
}

bool WeibullAnchorsWith(ELaneCode eCode, const double (&p)[kAnchorBatch], const CLaneWeibull& v,
                        CWeibullAnchors& anchors) {
  const WeibullAnchorsFn f = kWeibullAnchors.For(eCode);
  if (!f) return false;
  f(p, v, anchors);
  return true;
}

}  // namespace rbo::icdf
