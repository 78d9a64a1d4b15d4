// Sample matrices and design-point expansion: 10 random variables (the four
// distribution types in turn) x 10,000 samples, and the expansion of 10
// design points of that problem.  The overhead benchmarks time the sampling
// function and, on the same probabilities, the InverseCDF calls alone: the
// difference is what the sampling adds (walk, generator, table, copies).
#include <benchmark/benchmark.h>

#include <time.h>

#include <valarray>
#include <vector>

#include "foundation/ProcessState.h"
#include "randvar/InverseCdfReference.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/DB.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/host/Utility.h"
#include "sampling/SamplingInternals.h"

namespace {

constexpr int kVars = 10;
constexpr int kSamples = 10000;
constexpr int kDesignPoints = 10;

CRandVar MakeVar(int r) {
  switch (r % 4) {
    case 0:
      return CRandVar(CRandVar::kNormal, 10.0 + r, 1.0 + 0.1 * r);
    case 1:
      return CRandVar(CRandVar::kUniform, double(r), 2.0 * r + 1.0);
    case 2:
      return CRandVar(CRandVar::kLognormal, 1.0 + 0.1 * r, 0.2);
    default:
      return CRandVar(CRandVar::kWeibull, 0.0, 2.0 + r, 1.5);
  }
}

// One group per random variable, given by its actual mean and standard
// deviation (two entries, one analysis input each).
struct Problem {
  std::valarray<CRandVar> vars = std::valarray<CRandVar>(kVars);
  std::valarray<int> inputRandVar = std::valarray<int>(2 * kVars);
  std::valarray<int> inputParamCode = std::valarray<int>(2 * kVars);
  std::valarray<double> designVars = std::valarray<double>(2 * kVars);
  std::valarray<double> means = std::valarray<double>(kVars);

  Problem() {
    for (int r = 0; r < kVars; ++r) {
      vars[r] = MakeVar(r);
      const std::size_t i = std::size_t(2 * r);
      inputRandVar[i] = inputRandVar[i + 1] = r;
      inputParamCode[i] = -1;
      inputParamCode[i + 1] = -2;
      designVars[i] = vars[r].GetActualMean();
      designVars[i + 1] = vars[r].GetActualStdDev();
      means[r] = vars[r].GetActualMean();
    }
  }
};

using Sampler = void (*)(int, int, std::valarray<double>&, std::valarray<int>&, std::valarray<CRandVar>&,
                         CMatrix<double>&);

void BM_MonteCarloPoints(benchmark::State& state) {
  Problem p;
  CMatrix<double> samples;
  for (auto _ : state) {
    MatrixOfMonteCarloPoints(kSamples, kVars, p.means, p.inputRandVar, p.vars, samples);
    benchmark::DoNotOptimize(samples.ColData(0));
  }
  state.SetItemsProcessed(state.iterations() * kVars * kSamples);
}
BENCHMARK(BM_MonteCarloPoints)->Unit(benchmark::kMillisecond);

void BM_LatinHyperCubePoints(benchmark::State& state) {
  Problem p;
  CMatrix<double> samples;
  for (auto _ : state) {
    MatrixOfLatinHyperCubePoints(kSamples, kVars, p.means, p.inputRandVar, p.vars, samples);
    benchmark::DoNotOptimize(samples.ColData(0));
  }
  state.SetItemsProcessed(state.iterations() * kVars * kSamples);
}
BENCHMARK(BM_LatinHyperCubePoints)->Unit(benchmark::kMillisecond);

// Latin hypercube matrix of 10 variables x 100,000 samples (1,000,000
// inverse distributions), and the same mapping of one Latin hypercube table
// done with the step-by-step copy of the documented search
// (tests/randvar/InverseCdfReference.h): the cost the matrix had before
// InverseCDF predicted its bracket.  Both report CPU time.
constexpr int kLargeSamples = 100000;

void BM_LatinHyperCubePoints100k(benchmark::State& state) {
  Problem p;
  CMatrix<double> samples;
  for (auto _ : state) {
    MatrixOfLatinHyperCubePoints(kLargeSamples, kVars, p.means, p.inputRandVar, p.vars, samples);
    benchmark::DoNotOptimize(samples.ColData(0));
  }
  state.SetItemsProcessed(state.iterations() * kVars * kLargeSamples);
}
BENCHMARK(BM_LatinHyperCubePoints100k)->Unit(benchmark::kMillisecond);

// The same matrix inverted on 1, 2 or 4 sampling workers: wall time, since
// the work moves to other threads (the matrix is the same for every count).
void BM_MonteCarloPointsWorkers100k(benchmark::State& state) {
  Problem p;
  CMatrix<double> samples;
  SetSamplingWorkers(int(state.range(0)));
  for (auto _ : state) {
    MatrixOfMonteCarloPoints(kLargeSamples, kVars, p.means, p.inputRandVar, p.vars, samples);
    benchmark::DoNotOptimize(samples.ColData(0));
  }
  SetSamplingWorkers(1);
  state.SetItemsProcessed(state.iterations() * kVars * kLargeSamples);
}
BENCHMARK(BM_MonteCarloPointsWorkers100k)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LatinHyperCubeReferenceSearch100k(benchmark::State& state) {
  Problem p;
  std::valarray<double> table;
  LatinHyperCubeDOE(kVars, kLargeSamples, table);
  std::vector<double> out(table.size());
  for (auto _ : state) {
    std::size_t k = 0;
    for (int j = 0; j < kLargeSamples; ++j)
      for (int r = 0; r < kVars; ++r, ++k) out[k] = rbotest::ReferenceInverseCdf(p.vars[r], table[k], -1.0, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kVars * kLargeSamples);
}
BENCHMARK(BM_LatinHyperCubeReferenceSearch100k)->Unit(benchmark::kMillisecond);

// The same InverseCDF calls as the Monte Carlo matrix (the same probabilities,
// in the same order, into the same layout), with nothing else around them.
void InverseCdfOnly(Problem& p, const std::vector<double>& u, std::vector<double>& out) {
  std::size_t k = 0;
  for (int j = 0; j < kSamples; ++j)
    for (int r = 0; r < kVars; ++r, ++k) out[k] = p.vars[r].InverseCDF(u[k], -1.0);
}

void BM_InverseCdfOnly(benchmark::State& state) {
  Problem p;
  std::vector<double> u(std::size_t(kVars) * kSamples), out(u.size());
  CRand generator(true);
  for (double& x : u) x = generator.Random();
  for (auto _ : state) {
    InverseCdfOnly(p, u, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kVars * kSamples);
}
BENCHMARK(BM_InverseCdfOnly)->Unit(benchmark::kMillisecond);

// CPU time of this thread in milliseconds: unlike wall time, it does not
// count the time other processes take on a busy machine.
double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// Times a sampling function and the InverseCDF-only loop on its own
// probabilities in alternation, and reports both and the overhead share.
void SamplingOverhead(benchmark::State& state, Sampler sample, bool bLatinHyperCube) {
  Problem p;
  std::vector<double> u(std::size_t(kVars) * kSamples), out(u.size());
  if (bLatinHyperCube) {
    std::valarray<double> table;
    LatinHyperCubeDOE(kVars, kSamples, table);
    std::copy(std::begin(table), std::end(table), u.begin());
  } else {
    CRand generator(true);
    for (double& x : u) x = generator.Random();
  }
  CMatrix<double> samples;
  double dTotal = 0.0, dInverse = 0.0;
  for (auto _ : state) {
    const double t0 = ThreadCpuMs();
    sample(kSamples, kVars, p.means, p.inputRandVar, p.vars, samples);
    benchmark::DoNotOptimize(samples.ColData(0));
    const double t1 = ThreadCpuMs();
    InverseCdfOnly(p, u, out);
    benchmark::DoNotOptimize(out.data());
    const double t2 = ThreadCpuMs();
    dTotal += t1 - t0;
    dInverse += t2 - t1;
  }
  const double n = double(state.iterations());
  state.counters["total_ms"] = dTotal / n;
  state.counters["inverse_cdf_ms"] = dInverse / n;
  state.counters["overhead_pct"] = 100.0 * (dTotal - dInverse) / dTotal;
}

void BM_MonteCarloOverhead(benchmark::State& state) { SamplingOverhead(state, &MatrixOfMonteCarloPoints, false); }
BENCHMARK(BM_MonteCarloOverhead)->Unit(benchmark::kMillisecond);

void BM_LatinHyperCubeOverhead(benchmark::State& state) {
  SamplingOverhead(state, &MatrixOfLatinHyperCubePoints, true);
}
BENCHMARK(BM_LatinHyperCubeOverhead)->Unit(benchmark::kMillisecond);

// AdjustDVsMatrices for 10 design points of the problem, method 0 (Monte
// Carlo) and 1 (Latin hypercube), 10,000 samples each: 1,000,000 inverse
// distributions per call.
void BM_AdjustDVsMatrices(benchmark::State& state) {
  Problem p;
  CDB db;
  db.m_nRandVars = kVars;
  db.m_vDistTypeOfRandVar = std::valarray<int>(kVars);
  for (int r = 0; r < kVars; ++r) db.m_vDistTypeOfRandVar[r] = p.vars[r].GetType();
  db.m_vInputRandVar = p.inputRandVar;
  db.m_vInputParamCode = p.inputParamCode;
  db.m_nRandRespsPlus1 = 2;
  db.m_vEntryRandRespNumber = std::valarray<int>{1, 1};
  db.m_vRespRole = std::valarray<int>{-1, -2};
  CMatrix<double> designPoints(2 * kVars, kDesignPoints), designResponses, analysisPoints, analysisOutputs;
  for (int j = 0; j < kDesignPoints; ++j) designPoints.ReplaceCol(j, p.designVars);

  rbo::ResetProcessState();
  refhost::SetRBOMethod(int(state.range(0)), kSamples);
  for (auto _ : state) {
    AdjustDVsMatrices(&db, designPoints, designResponses, analysisPoints, analysisOutputs, false);
    benchmark::DoNotOptimize(analysisPoints.ColData(0));
  }
  refhost::SetRBOMethod(0, 100);
  state.SetItemsProcessed(state.iterations() * kDesignPoints * kVars * kSamples);
}
BENCHMARK(BM_AdjustDVsMatrices)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
