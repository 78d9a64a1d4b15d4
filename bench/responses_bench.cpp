// Folding of responses: sample statistics (methods 0 and 1) of 10 design
// points x 10,000 samples x 20 response entries, split into the library's
// own work and the host work behind RespsArrayAnalysisIntoOrvo; the
// polynomial evaluation and the surface sampling of methods 3 and 4; and the
// incremental sample-point update with its store reads.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <valarray>
#include <vector>

#include "foundation/ProcessState.h"
#include "rbo/RBO.h"
#include "rbo/host/ReferenceHost.h"
#include "responses/ResponseSurface.h"
#include "responses/ResponseTables.h"
#include "sampling/SamplingInternals.h"

namespace {

constexpr int kDesignPoints = 10;
constexpr int kSamples = 10000;
constexpr int kRandVars = 4;

// 4 random parameters; 5 random responses (15 entries), 3 deterministic
// responses, the any and joint fractions: 20 response entries.
struct FoldingProblem {
  refhost::ProblemBuilder builder;
  std::unique_ptr<CDB> db;
  CMatrix<double> designPoints, analysisPoints, analysisOutputs;
  int nModelResponses = 0;

  FoldingProblem() {
    for (int r = 0; r < kRandVars; ++r)
      builder.AddRandomParameter("x" + std::to_string(r), CRandVar::kNormal, 1.0 + r, 0.1);
    for (int k = 0; k < 5; ++k) {
      const auto g = builder.AddRandomResponse("g" + std::to_string(k));
      builder.AddConstraint(g.value, k % 2 == 0 ? -1 : 1, 0.5 + k);
    }
    for (int k = 0; k < 3; ++k) builder.AddResponse("h" + std::to_string(k));
    db = builder.Build();
    nModelResponses = builder.ModelResponseCount();
    const int nEntries = int(db->m_vRespIndexOfEntry.size());
    if (nEntries != 20) std::abort();
    const int nDVs = int(db->m_vInputRandVar.size());
    designPoints = CMatrix<double>(nDVs, kDesignPoints);
    for (int j = 0; j < kDesignPoints; ++j)
      for (int r = 0; r < kRandVars; ++r) {
        designPoints(2 * r, j) = 1.0 + r;
        designPoints(2 * r + 1, j) = 0.1;
      }
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal(2.0, 1.0);
    analysisPoints = CMatrix<double>(kRandVars, kDesignPoints * kSamples);
    analysisOutputs = CMatrix<double>(nModelResponses, kDesignPoints * kSamples);
    for (int c = 0; c < analysisPoints.Cols(); ++c) {
      for (int r = 0; r < kRandVars; ++r) analysisPoints(r, c) = normal(rng);
      for (int r = 0; r < nModelResponses; ++r) analysisOutputs(r, c) = normal(rng);
    }
  }
};

FoldingProblem& Folding() {
  static FoldingProblem problem;
  return problem;
}

// The whole folding, per sample point.
void BM_AdjustRespsMatrices(benchmark::State& state) {
  FoldingProblem& p = Folding();
  // The library fills its response tables once per process; the benchmarks
  // of other files ran other problems before these.
  rbo::ResetProcessState();
  refhost::SetRBOMethod(int(state.range(0)), kSamples);
  CMatrix<double> designResponses;
  for (auto _ : state) {
    AdjustRespsMatrices(p.db.get(), p.analysisPoints, p.designPoints, p.analysisOutputs, designResponses, -1);
    benchmark::DoNotOptimize(designResponses(1, 0));
  }
  state.SetItemsProcessed(state.iterations() * kDesignPoints * kSamples);
  state.SetLabel("items = sample points");
}
BENCHMARK(BM_AdjustRespsMatrices)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The host work alone: RespsArrayAnalysisIntoOrvo once per sample point,
// as the folding calls it.  AdjustRespsMatrices minus this is the library's own cost.
void BM_RespsArrayAnalysisIntoOrvo(benchmark::State& state) {
  FoldingProblem& p = Folding();
  std::valarray<double> designVars, outputs, entries;
  p.designPoints.GetCol(0, designVars);
  for (auto _ : state) {
    for (int c = 0; c < kDesignPoints * kSamples; ++c) {
      p.analysisOutputs.GetCol(c, outputs);
      RespsArrayAnalysisIntoOrvo(p.db.get(), designVars, outputs, p.db->m_vEntryRandRespNumber, entries);
    }
    benchmark::DoNotOptimize(entries[1]);
  }
  state.SetItemsProcessed(state.iterations() * kDesignPoints * kSamples);
}
BENCHMARK(BM_RespsArrayAnalysisIntoOrvo)->Unit(benchmark::kMillisecond);

// A full quadratic in 10 variables: 66 terms, 5 responses.
void BM_EvalApproxPolynomial(benchmark::State& state) {
  const int nVars = 10;
  CMatrix<double> X(70, nVars);
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> uniform(0.5, 1.5);
  for (int p = 0; p < X.Rows(); ++p)
    for (int i = 0; i < nVars; ++i) X(p, i) = uniform(rng);
  std::valarray<double> w(1.0, std::size_t(X.Rows()));
  CMatrix<int> E;
  CMatrix<double> A;
  const int T = CreateCheckApproxModelMatrix(2, nVars, X.Rows(), 0, true, X, w, E, A);
  if (T != 66) std::abort();
  CMatrix<double> K(T, 5);
  for (int t = 0; t < T; ++t)
    for (int c = 0; c < 5; ++c) K(t, c) = uniform(rng);
  std::valarray<double> u(1.0, std::size_t(nVars)), y(0.0, 5);
  // Arg 0: the function as called with (K, E); arg 1: the prepared form
  // that the surface sampling builds once per call and evaluates per sample.
  rbo::CompiledPolynomial prepared(K, E, nVars);
  for (auto _ : state) {
    u[0] += 1e-9;
    if (state.range(0) == 0)
      rbo::EvalApproxPolynomial(u, K, E, y);
    else
      prepared.Eval(u, y);
    benchmark::DoNotOptimize(y[0]);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("items = evaluations of all 5 responses");
}
BENCHMARK(BM_EvalApproxPolynomial)->Arg(0)->Arg(1);

// Methods 3 and 4: 10 design points x 100,000 samples on the surface.
void BM_AdjustRespsBySampling(benchmark::State& state) {
  const int nSamples = 100000;
  refhost::ProblemBuilder b;
  b.AddRandomDesignVariable("a", CRandVar::kNormal, 1.0, 0.2);
  b.AddRandomDesignVariable("c", CRandVar::kNormal, 2.0, 0.3);
  const auto g = b.AddRandomResponse("g");
  b.AddConstraint(g.value, -1, 0.0);
  auto db = b.Build();
  CMatrix<double> designPoints(4, kDesignPoints), outputs(1, kDesignPoints), responses;
  for (int j = 0; j < kDesignPoints; ++j) {
    // Scattered means (in general position, so the cubic surface is full rank).
    designPoints(0, j) = 1.0 + 0.1 * std::sin(1.7 * j);
    designPoints(1, j) = 0.2;
    designPoints(2, j) = 2.0 + 0.1 * std::cos(2.3 * j);
    designPoints(3, j) = 0.3;
    outputs(0, j) = designPoints(0, j) * designPoints(0, j) - designPoints(2, j);
  }
  std::valarray<CRandVar> randVars(2);
  randVars[0].SetType(0);
  randVars[1].SetType(0);
  std::valarray<CRandResp> randResps(1);
  rbo::ConstrBoundsIntoRandResps(db->m_vEntryRandRespNumber, db->m_vRespRole, db->m_vRespIndexOfEntry,
                                 db->m_vRespTypeOfEntry, db->m_vConBound, db->m_vConScale, db->m_vConSide,
                                 db->m_vConSubjectIndex, db->m_vConSubjectType, randResps);
  responses = CMatrix<double>(int(db->m_vRespIndexOfEntry.size()), kDesignPoints);
  for (auto _ : state) {
    rbo::ResetProcessState();
    rbo::AdjustRespsBySampling(db.get(), int(state.range(0)), nSamples, designPoints, outputs, db->m_vInputRandVar,
                               db->m_vInputParamCode, db->m_vEntryRandRespNumber, db->m_vRespRole, randVars, randResps,
                               responses);
    benchmark::DoNotOptimize(responses(1, 0));
  }
  state.SetItemsProcessed(state.iterations() * kDesignPoints * nSamples);
  state.SetLabel("items = surface samples");
}
BENCHMARK(BM_AdjustRespsBySampling)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);

// The incremental update: per sample point, 20 response entries, batches of 1000.
void BM_UpdateSamplePointRandResps(benchmark::State& state) {
  FoldingProblem& p = Folding();
  // The library fills its response tables once per process; the benchmarks
  // of other files ran other problems before these.
  rbo::ResetProcessState();
  refhost::OpenStore(":memory:");
  refhost::PutPassFailMarks(0, std::vector<int>(20, 0));
  p.db->m_nStoreKey = 0;
  refhost::SetRBOMethod(0, 1000);
  const int nBatch = 1000;
  CMatrix<double> batch(p.nModelResponses, nBatch), out;
  for (int c = 0; c < nBatch; ++c)
    for (int r = 0; r < p.nModelResponses; ++r) batch(r, c) = p.analysisOutputs(r, c);
  std::valarray<double> designVars;
  p.designPoints.GetCol(0, designVars);
  int nBefore = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(UpdateSamplePointRandResps(p.db.get(), nBefore == 0, nBefore, designVars, batch,
                                                        p.db->m_vEntryRandRespNumber, p.db->m_vRespRole, out, false));
    nBefore += nBatch;
  }
  state.SetItemsProcessed(state.iterations() * nBatch);
  state.SetLabel("items = sample points");
}
BENCHMARK(BM_UpdateSamplePointRandResps)->Unit(benchmark::kMicrosecond);

// The store reads of one update call: GetPOD, the lock and the response definitions.
void BM_UpdateSamplePointStoreReads(benchmark::State& state) {
  refhost::OpenStore(":memory:");
  refhost::PutPassFailMarks(0, std::vector<int>(20, 0));
  for (auto _ : state) {
    POD* pod = GetPOD();
    CLock lock(pod, 0);
    CDResp definitions(pod);
    definitions.m_nKey = 0;
    benchmark::DoNotOptimize(definitions.GetObject());
    lock.UnLock();
  }
}
BENCHMARK(BM_UpdateSamplePointStoreReads)->Unit(benchmark::kMicrosecond);

}  // namespace
