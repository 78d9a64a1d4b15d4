// Importance sampling at a POF of 1e-6 and subset simulation at 1e-7, both
// on a linear limit state in 10 standard normal variables (the limit state
// costs next to nothing, so the time is the methods' own).  Counters: the
// analyses spent, the reported c.o.v. and the estimate over the exact
// Phi(-beta).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "rbo/reliability/Simulation.h"

namespace {

using namespace rbo::reliability;

constexpr std::size_t kVars = 10;

// g = beta sqrt(n) - sum u_i: POF Phi(-beta), design point beta / sqrt(n) (1, ..., 1).
LimitStateFunction Linear(double beta) {
  return [beta](const Batch& x) {
    Batch out;
    out.reserve(x.size());
    for (const auto& p : x) {
      double v = beta * std::sqrt(double(kVars));
      for (double xi : p) v -= xi;
      out.push_back({v});
    }
    return out;
  };
}

StandardSpace Normals() { return StandardSpace(std::vector<CRandVar>(kVars, CRandVar(CRandVar::kNormal, 0.0, 1.0))); }

void Report(benchmark::State& state, const SimulationResult& r, double beta) {
  state.counters["analyses"] = double(r.analyses);
  state.counters["cov"] = r.cov;
  state.counters["pof_over_exact"] = r.pof / (0.5 * std::erfc(beta / std::sqrt(2.0)));
}

void BM_ImportanceSampling1e6(benchmark::State& state) {
  const double beta = 4.753424308822899;
  const StandardSpace space = Normals();
  const LimitStateFunction g = Linear(beta);
  const std::vector<std::vector<double>> centre{std::vector<double>(kVars, beta / std::sqrt(double(kVars)))};
  SimulationResult r;
  for (auto _ : state) {
    r = ImportanceSampling(space, g, {0}, centre, {0.1, 3000, 250, 1});
    benchmark::DoNotOptimize(r);
  }
  Report(state, r, beta);
}
BENCHMARK(BM_ImportanceSampling1e6)->Unit(benchmark::kMillisecond);

void BM_SubsetSimulation1e7(benchmark::State& state) {
  const double beta = 5.199337582187471;
  const StandardSpace space = Normals();
  const LimitStateFunction g = Linear(beta);
  SimulationResult r;
  for (auto _ : state) {
    r = SubsetSimulation(space, g, {0}, {6000, 0.1, 20, 50000, 1.0, 1});
    benchmark::DoNotOptimize(r);
  }
  Report(state, r, beta);
}
BENCHMARK(BM_SubsetSimulation1e7)->Unit(benchmark::kMillisecond);

void BM_FirstOrderSeriesSystem(benchmark::State& state) {
  const double c = std::sqrt(1.0 - 0.36);
  SimulationResult r;
  for (auto _ : state) {
    r = FirstOrderSeriesSystem({{1.0, 0.0, 0.0}, {0.6, c, 0.0}, {0.0, 0.0, 1.0}}, {3.0, 3.0, 3.5});
    benchmark::DoNotOptimize(r);
  }
  state.counters["cov"] = r.cov;
}
BENCHMARK(BM_FirstOrderSeriesSystem)->Unit(benchmark::kMillisecond);

}  // namespace
