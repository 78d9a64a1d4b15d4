// Cost per call of the distribution functions of each distribution type, and
// of the Weibull fit from two moments.
//
// The inverse distribution is timed over probabilities spread evenly over
// (0, 1) in a scrambled order, twice: BM_InverseCDF times the library's
// InverseCDF (the search with predicted CDF values), BM_InverseCDFReference
// the step-by-step copy of the documented search (tests/randvar/
// InverseCdfReference.h), which is what InverseCDF cost before the
// prediction.  Before timing, every result is checked to be bit-identical.
// Counters: cdf_evals is the average number of CDF evaluations per call of
// the documented search, exact_cdf_evals the average number the library's
// search makes (its template instantiated here with a counting CDF, so that
// the library itself stays uninstrumented).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <valarray>
#include <vector>

#include "randvar/InverseCdfBatch.h"
#include "randvar/InverseCdfReference.h"
#include "randvar/InverseCdfSearch.h"
#include "randvar/RandVarCases.h"
#include "rbo/RandVar.h"
#include "rbo/RandVarModules.h"
#include "support/RandVarInternals.h"
#include "support/SearchVariable.h"

namespace {

// One variable of each type, by benchmark argument (0 to 3); the batch form
// also times the standard normal of the end-to-end problem (4), a normal
// whose brackets are three times a power of two units wide (5) and one
// whose brackets are an odd number of units wide (6).
const rbotest::DistCase kCases[] = {
    {"normal", CRandVar::kNormal, 3.0, 0.5, 0.0},
    {"uniform", CRandVar::kUniform, -1.0, 4.0, 0.0},
    {"lognormal", CRandVar::kLognormal, 1.0, 0.5, 0.0},
    {"weibull", CRandVar::kWeibull, 2.0, 5.0, 3.5},
    {"standard normal", CRandVar::kNormal, 0.0, 1.0, 0.0},
    {"normal N(10, 3)", CRandVar::kNormal, 10.0, 3.0, 0.0},
    {"normal N(10, 0.3)", CRandVar::kNormal, 10.0, 0.3, 0.0},
};

constexpr std::size_t kPoints = 1024;  // power of two: the index wraps by masking

// Probabilities (k + 0.5) / kPoints, visited in a scrambled order so that
// consecutive calls do not take the same path through the search.
std::vector<double> SpreadProbabilities() {
  std::vector<double> ps(kPoints);
  for (std::size_t k = 0; k < kPoints; ++k) ps[k] = (double((k * 389) % kPoints) + 0.5) / double(kPoints);
  return ps;
}

// The quantiles of those probabilities: points where the distribution lives.
std::vector<double> SpreadPoints(CRandVar& v) {
  std::vector<double> xs;
  for (double p : SpreadProbabilities()) xs.push_back(v.InverseCDF(p, -1.0));
  return xs;
}

void BM_CDF(benchmark::State& state) {
  const rbotest::DistCase& c = kCases[state.range(0)];
  CRandVar v = c.Make();
  const std::vector<double> xs = SpreadPoints(v);
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(v.CDF(xs[i++ & (kPoints - 1)]));
  state.SetLabel(c.pszName);
}

void BM_PDF(benchmark::State& state) {
  const rbotest::DistCase& c = kCases[state.range(0)];
  CRandVar v = c.Make();
  const std::vector<double> xs = SpreadPoints(v);
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(v.PDF(xs[i++ & (kPoints - 1)]));
  state.SetLabel(c.pszName);
}

/// CDF evaluations of the library's search for one call (its template with a counting CDF).
long ExactCdfCalls(CRandVar& v, double p) {
  long nCalls = 0;
  auto cdf = [&](double x) {
    ++nCalls;
    return v.CDF(x);
  };
  rbo::icdf::InverseCdfSearch(rbotest::SearchVariableOf(v), p, 1e-12, cdf);
  return nCalls;
}

void BM_InverseCDF(benchmark::State& state) {
  const rbotest::DistCase& c = kCases[state.range(0)];
  CRandVar v = c.Make();
  const std::vector<double> ps = SpreadProbabilities();
  long nCalls = 0, nExactCalls = 0;
  int nMax = 0;
  for (double p : ps) {
    int n = 0;
    const double expected = rbotest::ReferenceInverseCdf(v, p, -1.0, &n);
    if (v.InverseCDF(p, -1.0) != expected) {
      state.SkipWithError("InverseCDF differs from the documented search; the count would be wrong");
      return;
    }
    nCalls += n;
    nMax = n > nMax ? n : nMax;
    nExactCalls += ExactCdfCalls(v, p);
  }
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(v.InverseCDF(ps[i++ & (kPoints - 1)], -1.0));
  state.counters["cdf_evals"] = double(nCalls) / double(kPoints);
  state.counters["cdf_evals_max"] = nMax;
  state.counters["exact_cdf_evals"] = double(nExactCalls) / double(kPoints);
  state.SetLabel(c.pszName);
}

void BM_InverseCDFReference(benchmark::State& state) {
  const rbotest::DistCase& c = kCases[state.range(0)];
  CRandVar v = c.Make();
  const std::vector<double> ps = SpreadProbabilities();
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(rbotest::ReferenceInverseCdf(v, ps[i++ & (kPoints - 1)], -1.0, nullptr));
  state.SetLabel(c.pszName);
}

// The inverse distribution over probabilities drawn uniformly from (0, 1)
// as the host's generator draws them, 65,536 per pass: one InverseCDF call
// per value (BM_InverseCdfDrawn), and the whole pass through the library's
// batch form (BM_InverseCdfInPlace, which sampling uses: the setup once,
// the brackets' grids).
// Time per value; both give the same doubles (checked before timing).
constexpr std::size_t kDrawn = 65536;

std::vector<double> DrawnProbabilities() {
  std::mt19937_64 engine(2024);
  std::vector<double> ps(kDrawn);
  for (double& p : ps) p = (double(engine() >> 12) + 0.5) * 0x1p-52;
  return ps;
}

void BM_InverseCdfDrawn(benchmark::State& state) {
  const rbotest::DistCase& c = kCases[state.range(0)];
  CRandVar v = c.Make();
  const std::vector<double> ps = DrawnProbabilities();
  std::vector<double> xs(kDrawn);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kDrawn; ++i) xs[i] = v.InverseCDF(ps[i], -1.0);
    benchmark::DoNotOptimize(xs.data());
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(kDrawn));
  state.SetLabel(c.pszName);
}

void BM_InverseCdfInPlace(benchmark::State& state) {
  const rbotest::DistCase& c = kCases[state.range(0)];
  CRandVar v = c.Make();
  const std::vector<double> ps = DrawnProbabilities();
  std::vector<double> xs(ps);
  rbo::InverseCdfInPlace(v, xs.data(), kDrawn, 1);
  for (std::size_t i = 0; i < kDrawn; ++i)
    if (xs[i] != v.InverseCDF(ps[i], -1.0)) {
      state.SkipWithError("the batch form differs from InverseCDF");
      return;
    }
  for (auto _ : state) {
    std::copy(ps.begin(), ps.end(), xs.begin());
    rbo::InverseCdfInPlace(v, xs.data(), kDrawn, 1);
    benchmark::DoNotOptimize(xs.data());
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(kDrawn));
  state.SetLabel(c.pszName);
}

// One variable's Monte Carlo sample of 2^20 values through the sampling
// path (MatrixOfMonteCarloPoints: the uniforms drawn in order on the calling
// thread, the inversion on 1 or 2 sampling workers): wall time per value,
// what a run with that many workers waits for.
void BM_SampleOnWorkers(benchmark::State& state) {
  const rbotest::DistCase& c = kCases[state.range(0)];
  constexpr int kSamples = 1 << 20;
  std::valarray<CRandVar> vars(c.Make(), 1);
  std::valarray<double> means(vars[0].GetActualMean(), 1);
  std::valarray<int> inputRandVar(0, 1);
  CMatrix<double> samples;
  SetSamplingWorkers(int(state.range(1)));
  for (auto _ : state) {
    MatrixOfMonteCarloPoints(kSamples, 1, means, inputRandVar, vars, samples);
    benchmark::DoNotOptimize(samples.ColData(0));
  }
  SetSamplingWorkers(1);
  state.SetItemsProcessed(state.iterations() * std::int64_t(kSamples));
  state.SetLabel(c.pszName);
}

// The Weibull fit from a mean and standard deviation (a shape search of
// about forty gamma-function ratios), for mean / sd from 0.5 to 20.
void BM_WeibullFromMoments(benchmark::State& state) {
  const double ratios[] = {0.5, 1.0, 2.0, 3.0, 5.0, 10.0, 20.0, 1.7};
  CRandVar v(CRandVar::kWeibull, 0.0, 1.0, 1.0);
  std::size_t i = 0;
  for (auto _ : state) {
    v.UpdateParamsFromActualMeanStdDev(ratios[i++ & 7], 1.0);
    benchmark::DoNotOptimize(v.GetParam3());
  }
}

}  // namespace

BENCHMARK(BM_CDF)->DenseRange(0, 3);
BENCHMARK(BM_PDF)->DenseRange(0, 3);
BENCHMARK(BM_InverseCDF)->DenseRange(0, 3);
BENCHMARK(BM_InverseCDFReference)->DenseRange(0, 3);
BENCHMARK(BM_WeibullFromMoments);
BENCHMARK(BM_InverseCdfDrawn)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InverseCdfInPlace)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SampleOnWorkers)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 6, 1), {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
