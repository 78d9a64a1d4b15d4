// The guard on the path that does not throw: the same small function with
// and without rbo::Guarded.  Both can throw (so the compiler cannot drop the
// handlers) and neither is inlined into the loop, so the two timings differ
// only by what the guard costs when nothing is thrown.
#include <benchmark/benchmark.h>

#include <cmath>
#include <stdexcept>

#include "foundation/Guard.h"

namespace {

[[noreturn]] __attribute__((noinline)) void Reject() { throw std::domain_error("negative"); }

__attribute__((noinline)) double Unguarded(double x) {
  if (x < 0.0) Reject();
  return std::sqrt(x * x + 1.0) - x;
}

__attribute__((noinline)) double WithGuard(double x) {
  return rbo::Guarded("GuardBench", __LINE__, [&] {
    if (x < 0.0) Reject();
    return std::sqrt(x * x + 1.0) - x;
  });
}

void BM_Unguarded(benchmark::State& state) {
  double x = 0.25;
  for (auto _ : state) {
    x = Unguarded(x) + 0.25;  // a dependency chain: no call can be skipped or overlapped
    benchmark::DoNotOptimize(x);
  }
}

void BM_Guarded(benchmark::State& state) {
  double x = 0.25;
  for (auto _ : state) {
    x = WithGuard(x) + 0.25;
    benchmark::DoNotOptimize(x);
  }
}

}  // namespace

BENCHMARK(BM_Unguarded);
BENCHMARK(BM_Guarded);
