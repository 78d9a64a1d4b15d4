// The lanes' anchors and zones on eight lanes, for processors with AVX-512:
// the kernels of AnchorLanes.cpp, compiled here at twice the width.
//
// GCC lowers a comparison of 512-bit vectors to one lane at a time unless
// the function that holds it is compiled for AVX-512, and it does so before
// inlining: a target attribute on the entry points is not enough, so the
// whole unit is compiled for AVX-512.  The entry points inline everything
// they call (flatten), so the unit emits no other function that the linker
// could keep for callers on processors without AVX-512; the test
// LanesAvx512UnitOwnsNoSharedCode checks that on the object file.  Without
// optimisation GCC does not inline it all, and the unit is left empty.

#include "randvar/LaneTargets.h"

#if defined(RBO_LANES_AVX512)
#define RBO_LANE_COUNT 8
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
#include "randvar/AnchorLaneKernels.h"

namespace rbo::icdf {

[[gnu::flatten]] void ErfcAnchorsAvx512(const double (&p)[kAnchorBatch], const CLaneNormal* pNormal,
                                        CErfcAnchors& out) {
  Anchors(p, pNormal, out);
}
[[gnu::flatten]] void WeibullAnchorsAvx512(const double (&p)[kAnchorBatch], const CLaneWeibull& v,
                                           CWeibullAnchors& out) {
  WeibullAnchors(p, v, out);
}

}  // namespace rbo::icdf

#pragma GCC pop_options
#endif
