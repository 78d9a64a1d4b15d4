// The design-point search (FORM) and the second-order corrections (SORM)
// on cheap limit states, so that the time is the method's own overhead
// (transform, stencils, line search, algebra).  Counter: analyses, the
// limit-state evaluations per search (what a real, expensive limit state
// would cost).
#include <benchmark/benchmark.h>

#include <cmath>
#include <functional>
#include <vector>

#include "rbo/reliability/Form.h"
#include "rbo/reliability/StandardSpace.h"

namespace {

using namespace rbo::reliability;

using Scalar = std::function<double(const std::vector<double>&)>;

LimitStateFunction Single(Scalar f) {
  return [f](const Batch& x) {
    Batch values;
    values.reserve(x.size());
    for (const std::vector<double>& p : x) values.push_back({f(p)});
    return values;
  };
}

struct Problem {
  const char* name;
  std::vector<CRandVar> vars;
  Scalar g;
};

std::vector<CRandVar> LinearVars(int n) {
  std::vector<CRandVar> vars;
  for (int i = 0; i < n; ++i) vars.emplace_back(CRandVar::kNormal, 5.0 + i, 0.5 + 0.1 * i);
  return vars;
}

double LinearG(const std::vector<double>& x) {
  double g = 4.0;
  for (std::size_t i = 0; i < x.size(); ++i) g += (i % 2 ? -1.0 : 1.0) * (1.0 + 0.2 * double(i)) * x[i];
  return g;
}

const Problem& ProblemAt(int k) {
  static const Problem problems[] = {
      {"linear n=2", LinearVars(2), LinearG},
      {"linear n=10", LinearVars(10), LinearG},
      {"x1^3 + x2^3 - 18",
       {CRandVar(CRandVar::kNormal, 10.0, 5.0), CRandVar(CRandVar::kNormal, 9.9, 5.0)},
       [](const std::vector<double>& x) { return x[0] * x[0] * x[0] + x[1] * x[1] * x[1] - 18.0; }},
      {"lognormal R - normal S",
       {CRandVar(CRandVar::kLognormal, std::log(100.0), 0.1), CRandVar(CRandVar::kNormal, 50.0, 5.0)},
       [](const std::vector<double>& x) { return x[0] - x[1]; }},
  };
  return problems[k];
}

void BM_Form(benchmark::State& state) {
  const Problem& p = ProblemAt(int(state.range(0)));
  const StandardSpace space(p.vars);
  const LimitStateFunction g = Single(p.g);
  long long analyses = 0;
  for (auto _ : state) {
    const FormResult r = Form(space, g, 0);
    analyses = r.analyses;
    benchmark::DoNotOptimize(r.Best().beta);
  }
  state.counters["analyses"] = double(analyses);
  state.SetLabel(p.name);
}
BENCHMARK(BM_Form)->DenseRange(0, 3);

// SORM alone, at the design point found once.
void BM_Sorm(benchmark::State& state) {
  const Problem& p = ProblemAt(int(state.range(0)));
  const StandardSpace space(p.vars);
  const LimitStateFunction g = Single(p.g);
  const DesignPoint dp = Form(space, g, 0).Best();
  long long analyses = 0;
  for (auto _ : state) {
    const SormResult r = Sorm(space, g, dp);
    analyses = r.analyses;
    benchmark::DoNotOptimize(r.breitung);
  }
  state.counters["analyses"] = double(analyses);
  state.SetLabel(p.name);
}
BENCHMARK(BM_Sorm)->DenseRange(1, 3);

}  // namespace
