// Reference host: throughput of the analysis runner, serial against parallel,
// the cost of one synthetic-quantity evaluation, and the per-sample path of
// a cheap analysis: expressions over many points (point by point, or in
// chunks with muparser's bulk mode) and the assembly of one sample's
// response vector (RespsArrayAnalysisIntoOrvo).
//
//   rbo_bench --benchmark_filter='Analys|EvalSynth|Expression|SampleInto'
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
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "ExpressionModel.h"
#include "rbo/RandRespModules.h"
#include "rbo/foundation/Matrix.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ProblemBuilder.h"
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

// ---- the per-sample path of a cheap analysis ----
// The end-to-end problem bench/e2e/sum_of_normals.json: ten random
// parameters X1..X10 and one random response g = 3 sqrt(10) - sum.

constexpr int kVars = 10;
constexpr int kSamplePoints = 100000;

std::vector<std::string> VariableNames() {
  std::vector<std::string> names;
  for (int i = 1; i <= kVars; ++i) names.push_back("X" + std::to_string(i));
  return names;
}

refhost::ProblemBuilder SumOfNormals() {
  refhost::ProblemBuilder b;
  for (const std::string& name : VariableNames()) b.AddRandomParameter(name, 0, 0.0, 1.0);
  b.AddRandomResponse("g");
  return b;
}

const std::vector<std::string> kExpression{"3 * sqrt(10) - (X1 + X2 + X3 + X4 + X5 + X6 + X7 + X8 + X9 + X10)"};

// kSamplePoints points of kVars values in (-3, 3), one column each.
CMatrix<double> SamplePoints() {
  CMatrix<double> m(kVars, kSamplePoints);
  for (int j = 0; j < kSamplePoints; ++j)
    for (int i = 0; i < kVars; ++i) m(i, j) = 6.0 * double((j * 7919 + i * 104729) % 10007) / 10007.0 - 3.0;
  return m;
}

// The analysis as `rbo run` sets it up for expressions, through the host's
// serial runner (Analysis): per point, or with the chunk form (bulk mode).
void RunExpressions(benchmark::State& state, bool bChunks) {
  const refhost::ProblemBuilder b = SumOfNormals();
  const std::vector<std::string> names = VariableNames(), responses{"g"};
  refhost::BatchAnalysisFunction chunks;
  if (bChunks) chunks = b.BatchAnalysis(rbo::problem::ExpressionBulkModel(names, responses, kExpression));
  refhost::SetAnalysis(b.Analysis(rbo::problem::ExpressionModel(names, responses, kExpression)), chunks);
  CMatrix<double> in = SamplePoints(), out(1, kSamplePoints);
  std::string s;
  for (auto _ : state) {
    Analysis(in, out, s, s, s, s, false, 0, -1);
    benchmark::DoNotOptimize(out(0, 0));
  }
  refhost::SetAnalysis(nullptr);
  state.counters["ns/point"] = benchmark::Counter(double(kSamplePoints) * double(state.iterations()),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Expression_PerPoint(benchmark::State& state) { RunExpressions(state, false); }
BENCHMARK(BM_Expression_PerPoint)->Unit(benchmark::kMillisecond);

void BM_Expression_BulkChunks(benchmark::State& state) { RunExpressions(state, true); }
BENCHMARK(BM_Expression_BulkChunks)->Unit(benchmark::kMillisecond);

// One call of the bulk model on n points: the cost of a small batch (an
// optimiser's few points per call) against n calls of the per-point model.
void BM_Expression_BulkCallOf(benchmark::State& state) {
  const std::vector<std::string> names = VariableNames(), responses{"g"};
  const refhost::BatchModelFunction bulk = rbo::problem::ExpressionBulkModel(names, responses, kExpression);
  const CMatrix<double> all = SamplePoints();
  const int n = int(state.range(0));
  CMatrix<double> in(kVars, n), out(1, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < kVars; ++i) in(i, j) = all(i, j);
  for (auto _ : state) {
    bulk(in, out);
    benchmark::DoNotOptimize(out(0, 0));
  }
}
BENCHMARK(BM_Expression_BulkCallOf)->Arg(1)->Arg(16)->Arg(256)->Arg(2048);

void BM_Expression_PointCalls(benchmark::State& state) {
  const refhost::ModelFunction point = rbo::problem::ExpressionModel(VariableNames(), {"g"}, kExpression);
  std::valarray<double> x(0.5, kVars), y(1);
  for (auto _ : state) {
    x[0] += 1.0e-9;
    point(x, y);
    benchmark::DoNotOptimize(y[0]);
  }
}
BENCHMARK(BM_Expression_PointCalls);

// What the library does with one analysed sample point of the problem (the
// host's vector assembly and quantities: ExtractAllTypeDV,
// ExtractAllTypeResp, EvalLinks, EvalSynth, SetRVector).
void BM_SampleIntoResponseVector(benchmark::State& state) {
  const std::unique_ptr<CDB> pDB = SumOfNormals().Build();
  CDB& db = *pDB;
  std::valarray<double> inputs(0.0, db.m_vDVIndexOfInput.size()), resps{1.25}, entries;
  for (std::size_t e = 0; e < inputs.size(); e += 2) inputs[e + 1] = 1.0;  // mean 0, sd 1
  for (auto _ : state) {
    resps[0] += 1.0e-9;
    RespsArrayAnalysisIntoOrvo(&db, inputs, resps, db.m_vEntryRandRespNumber, entries);
    benchmark::DoNotOptimize(entries[1]);
  }
}
BENCHMARK(BM_SampleIntoResponseVector);

}  // namespace
