// Which vector units the lanes' kernels are compiled for (AnchorLanes.cpp,
// AnchorLanesAvx512.cpp): AVX2 beside the generic code on x86-64 with GCC
// or Clang, and AVX-512 in GCC's optimised builds, where its unit inlines
// everything it calls (see there).
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RBO_LANES_X86 1
#endif
#if defined(RBO_LANES_X86) && !defined(__clang__) && defined(__OPTIMIZE__)
#define RBO_LANES_AVX512 1
#endif
