#include <benchmark/benchmark.h>
#include "rbo/RandVar.h"
static void BM_NormalCdf(benchmark::State& state) {
  CRandVar v(CRandVar::kNormal, 0.0, 1.0);
  double x = 0.3;
  for (auto _ : state) benchmark::DoNotOptimize(v.CDF(x));
}
BENCHMARK(BM_NormalCdf);
