// Reference host: throughput of the analysis runner, serial against parallel,
// and the cost of one synthetic-quantity evaluation.
//
//   rbo_bench --benchmark_filter='Analys|EvalSynth'
//
// The parallel speed-up is the ratio of the Analysis and AnalysePar times (or
// of their points/s counters).  CPU is the process's CPU time: on a machine
// busy with other work, CPU / Time of AnalysePar shows how many cores the run
// actually got.  The analysis computes for about 1 ms of CPU
// time instead of sleeping or spinning on the clock: a clock-bound analysis
// would finish in 1 ms of wall time even with both workers on one core, and
// so would show a speed-up that the machine does not have.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/foundation/Matrix.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"

namespace {

constexpr int kPoints = 64;  // analysis points per run
constexpr int kWorkers = 2;  // worker threads of the parallel run
constexpr double kAnalysisSeconds = 1.0e-3;

// A dependent chain of multiply-adds: the compiler can neither drop nor
// vectorise it, so its time is proportional to nSteps.
double Compute(double seed, long nSteps) {
  double s = seed;
  for (long i = 0; i < nSteps; ++i) s = s * 0.9999999 + 1.0e-7;
  return s;
}

// CPU time of the calling thread, in seconds: unlike the wall clock it does
// not count the time that other processes hold the core.
double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1.0e-9 * double(t.tv_nsec);
}

// Steps of Compute that take about kAnalysisSeconds of CPU time on this machine.
long StepsPerAnalysis() {
  static const long nSteps = [] {
    constexpr long kProbe = 2000000;
    double best = 1.0e30;
    for (int i = 0; i < 3; ++i) {
      const double t0 = ThreadCpuSeconds();
      benchmark::DoNotOptimize(Compute(0.5, kProbe));
      best = std::min(best, ThreadCpuSeconds() - t0);
    }
    return long(double(kProbe) * kAnalysisSeconds / best);
  }();
  return nSteps;
}

struct AnalysisRun {
  AnalysisRun() : inputs(3, kPoints, 0.25), outputs(2, kPoints) {
    const long nSteps = StepsPerAnalysis();
    refhost::SetAnalysis([nSteps](const std::valarray<double>& in, std::valarray<double>& out) {
      out[0] = Compute(in[0], nSteps);
      out[1] = in[1] + in[2];
    });
    refhost::SetWorkerCount(kWorkers);
  }
  ~AnalysisRun() {
    refhost::SetAnalysis(nullptr);
    refhost::SetWorkerCount(0);
  }
  CMatrix<double> inputs;
  CMatrix<double> outputs;
  std::string s;  // file and program names: ignored by the in-process runner
};

void BM_Analysis_64x1ms(benchmark::State& state) {
  AnalysisRun run;
  for (auto _ : state) Analysis(run.inputs, run.outputs, run.s, run.s, run.s, run.s, false, 0, -1);
  state.counters["points/s"] =
      benchmark::Counter(double(kPoints) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Analysis_64x1ms)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_AnalysePar_64x1ms_2workers(benchmark::State& state) {
  AnalysisRun run;
  for (auto _ : state)
    AnalysePar(run.inputs, run.outputs, run.s, run.s, run.s, run.s, run.s, run.s, 0, false, run.s, 0);
  state.counters["points/s"] =
      benchmark::Counter(double(kPoints) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AnalysePar_64x1ms_2workers)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// One synthetic quantity, three arguments, as evaluated once per sample point.
void BM_EvalSynth_OneSmallExpression(benchmark::State& state) {
  std::valarray<double> dv0{1.5, 2.5}, dv1{3.0}, dv2{0.0}, dv3{0.0}, resp0{4.0}, resp1{0.0}, out(1);
  std::valarray<int> func{0};
  std::vector<std::vector<int>> argIndex{{0, 1, 0}}, argType{{20, 20, 24}}, argSlot;
  std::vector<int> codes{0};
  std::vector<std::string> expr{"x0*x1 + sqrt(x2)"};
  for (auto _ : state) {
    dv0[0] += 1.0e-9;  // new argument values each call, as at a new sample point
    EvalSynth(dv0, dv1, dv2, dv3, resp0, resp1, func, argIndex, argType, argSlot, codes, expr, out);
    benchmark::DoNotOptimize(out[0]);
  }
}
BENCHMARK(BM_EvalSynth_OneSmallExpression);

}  // namespace
