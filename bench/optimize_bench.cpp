// Whole optimisations behind `rbo optimize`: time, analyses, proposed
// design points and AnalysisVerif batches per optimisation, by RBO method
// and optimiser, on three problems:
//
//   Linear     minimise muR subject to P(R - S < 0) <= Phi(-2); R, S normal
//              (1 random design variable, 1 random parameter)
//   YounChoi   the two-variable, three-constraint benchmark of
//              examples/optimize/youn_choi.json (2 random design variables)
//   Cantilever the strength-only beam of examples/optimize/cantilever.json
//              (2 deterministic design variables, 3 random parameters)
//
// The analyses are compiled functions, so the figures are the library's
// and the optimiser's own cost; with a real analysis program the analyses
// counter is what matters.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

#include "foundation/ProcessState.h"
#include "problem/OptimizeProblems.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Optimize.h"

namespace {

using optimizetest::CProblemMaker;

void MakeLinear(rbo::problem::Problem& p) { optimizetest::LinearReliability().Make(p); }

void MakeYounChoi(rbo::problem::Problem& p) {
  CProblemMaker m(p);
  m.Random("X1", 5.0, 0.3, 0.0, 10.0);
  m.Random("X2", 5.0, 0.3, 0.0, 10.0);
  const double target = optimizetest::Phi(-3.0);
  for (const char* name : {"G1", "G2", "G3"}) {
    const refhost::ResponseRef g = m.LimitState(name);
    m.Constrain(std::string(name) + ".pof", g.pof, 1, target);
  }
  m.Objective("X1", CProblemMaker::DesignVariable(0), 1.0);
  m.Objective("X2", CProblemMaker::DesignVariable(1), 1.0);
  p.model = [](const std::valarray<double>& x, std::valarray<double>& y) {
    const double x1 = x[0], x2 = x[1];
    y[0] = x1 * x1 * x2 / 20.0 - 1.0;
    y[1] = (x1 + x2 - 5.0) * (x1 + x2 - 5.0) / 30.0 + (x1 - x2 - 12.0) * (x1 - x2 - 12.0) / 120.0 - 1.0;
    y[2] = 80.0 / (x1 * x1 + 8.0 * x2 + 5.0) - 1.0;
  };
}

void MakeCantilever(rbo::problem::Problem& p) {
  CProblemMaker m(p);
  m.Design("w", 3.0, 1.0, 5.0);
  m.Design("t", 4.0, 1.0, 5.0);
  m.Parameter("X", 500.0, 100.0);
  m.Parameter("Y", 1000.0, 100.0);
  m.Parameter("R", 40000.0, 2000.0);
  const refhost::ResponseRef g = m.LimitState("g");
  m.Constrain("g.pof", g.pof, 1, optimizetest::Phi(-3.0));
  const refhost::ResponseRef area = p.builder.AddResponse("area");
  p.responses.push_back({"area", false, area, false, 0.0, false, 0.0, 1.0});
  m.Objective("area", area.value, 1.0);
  p.model = [](const std::valarray<double>& x, std::valarray<double>& y) {
    const double w = x[0], t = x[1];
    y[0] = x[4] - (600.0 * x[3] / (w * t * t) + 600.0 * x[2] / (w * w * t));
    y[1] = w * t;
  };
}

const char* const kOptimizers[] = {"auto", "slsqp", "mma", "cobyla"};

// Arguments: method, samples, optimiser (index into kOptimizers).
template <void (*Make)(rbo::problem::Problem&)>
void BM_Optimize(benchmark::State& state) {
  const int method = int(state.range(0)), samples = int(state.range(1));
  rbo::problem::OptimizeOptions o;  // the default tolerance of each method
  o.optimizer = kOptimizers[state.range(2)];
  rbo::problem::OptimizeResult r;
  for (auto _ : state) {
    state.PauseTiming();
    // Each optimisation starts from a freshly loaded library: its tables
    // belong to the first problem it sees.
    rbo::ResetProcessState();
    rbo::problem::Problem p;
    Make(p);
    p.settings.method = method;
    p.settings.samples = samples;
    p.settings.seed = 1;
    state.ResumeTiming();
    r = rbo::problem::Optimize(p, o, {});
  }
  state.counters["analyses"] = double(r.analyses);
  state.counters["points"] = double(r.evaluations);
  state.counters["batches"] = double(r.batches);
  state.counters["objective"] = r.optimum.objective;
  state.SetLabel(r.optimizer + (o.optimizer == "auto" ? " (auto)" : "") + (r.feasible ? "" : ", infeasible"));
}

// Method 2 with each optimiser (slsqp is what auto takes).
void FirstOrderArgs(benchmark::internal::Benchmark* b) {
  for (int opt = 1; opt < 4; ++opt) b->Args({2, 1, opt});
  b->Unit(benchmark::kMillisecond);
}

// Latin hypercube with each optimiser (mma is what auto takes), and Monte
// Carlo with the default: one run each, they take a second or so.
void SamplingArgs(int samples, benchmark::internal::Benchmark* b) {
  for (int opt = 1; opt < 4; ++opt) b->Args({1, samples, opt});
  b->Args({0, samples, 0});
  b->Unit(benchmark::kMillisecond)->Iterations(1);
}

BENCHMARK_TEMPLATE(BM_Optimize, MakeLinear)->Apply(FirstOrderArgs);
BENCHMARK_TEMPLATE(BM_Optimize, MakeLinear)->Apply([](benchmark::internal::Benchmark* b) { SamplingArgs(10000, b); });
BENCHMARK_TEMPLATE(BM_Optimize, MakeLinear)->Args({4, 10000, 0})->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_TEMPLATE(BM_Optimize, MakeYounChoi)->Apply(FirstOrderArgs);
BENCHMARK_TEMPLATE(BM_Optimize, MakeYounChoi)->Apply([](benchmark::internal::Benchmark* b) { SamplingArgs(20000, b); });
BENCHMARK_TEMPLATE(BM_Optimize, MakeCantilever)->Apply(FirstOrderArgs);
BENCHMARK_TEMPLATE(BM_Optimize, MakeCantilever)->Apply([](benchmark::internal::Benchmark* b) {
  SamplingArgs(20000, b);
});

}  // namespace
