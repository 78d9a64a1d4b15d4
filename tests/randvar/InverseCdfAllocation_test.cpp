// The sampling code calls InverseCDF for every value it draws, so the
// distribution functions must not allocate.  This file replaces the global
// operator new/delete of the test program with counting versions (armed only
// on the testing thread, inside the measured block).  Under AddressSanitizer
// the replacement is left out, so that the sanitizer keeps checking every
// allocation of the other tests, and the test is skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>

#include "randvar/RandVarCases.h"
#include "rbo/RandVar.h"

#if defined(__SANITIZE_ADDRESS__)
#define RBO_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RBO_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef RBO_COUNT_ALLOCATIONS
#define RBO_COUNT_ALLOCATIONS 1
#endif

namespace {
thread_local bool t_bCounting = false;  // armed inside the measured block only
thread_local long t_nAllocations = 0;   // operator new calls while armed
}  // namespace

#if RBO_COUNT_ALLOCATIONS
void* operator new(std::size_t n) {
  if (t_bCounting) ++t_nAllocations;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

TEST(InverseCdfAllocation, DistributionFunctionsAllocateNothing) {
  if (!RBO_COUNT_ALLOCATIONS) GTEST_SKIP() << "allocation counting is off under AddressSanitizer";
  // The counter itself works: one allocation while armed is seen.
  t_bCounting = true;
  int* volatile pProbe = new int(1);  // volatile: the pair cannot be elided
  delete pProbe;
  t_bCounting = false;
  ASSERT_EQ(t_nAllocations, 1);

  for (const rbotest::DistCase& d : rbotest::Distributions()) {
    CRandVar v = d.Make();
    double sum = 0.0;
    t_nAllocations = 0;
    t_bCounting = true;
    for (double p = 0.0005; p < 1.0; p += 0.001) {
      const double x = v.InverseCDF(p, -1.0);
      sum += x + v.PDF(x) + v.CDF(x);
      double mean = 0.0, sd = 0.0;
      v.NormalTailApprox(x, &mean, &sd, -1.0);
      sum += mean + sd;
    }
    t_bCounting = false;
    EXPECT_EQ(t_nAllocations, 0) << d.pszName;
    EXPECT_TRUE(std::isfinite(sum)) << d.pszName;
  }
}

}  // namespace
