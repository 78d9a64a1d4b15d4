// The reference host's response-surface fit: the full quadratic in 10
// variables over 200 points with 5 responses, as the approximation methods
// refit it on every call, and the gradient they take per design point.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "rbo/host/DBUtils.h"
#include "rbo/host/Utility.h"

namespace {

constexpr int kVars = 10;
constexpr int kPoints = 200;
constexpr int kResponses = 5;
constexpr int kQuadratic = 2;

struct FitData {
  CMatrix<double> X{kPoints, kVars};
  CMatrix<double> Y{kPoints, kResponses};
  std::valarray<double> w = std::valarray<double>(1.0, kPoints);
  FitData() {
    std::mt19937_64 gen(2024u);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int p = 0; p < kPoints; ++p) {
      for (int i = 0; i < kVars; ++i) X(p, i) = 10.0 + u(gen);
      for (int c = 0; c < kResponses; ++c) Y(p, c) = u(gen);
    }
  }
};

void BM_ModelMatrixQuadratic10x200(benchmark::State& state) {
  FitData d;
  CMatrix<int> E;
  CMatrix<double> A;
  for (auto _ : state)
    benchmark::DoNotOptimize(CreateCheckApproxModelMatrix(kQuadratic, kVars, kPoints, 0, true, d.X, d.w, E, A));
}
BENCHMARK(BM_ModelMatrixQuadratic10x200);

void BM_FitQuadratic10x200x5(benchmark::State& state) {
  FitData d;
  CMatrix<int> E;
  CMatrix<double> A;
  CMatrix<double> K;
  for (auto _ : state) {
    const int T = CreateCheckApproxModelMatrix(kQuadratic, kVars, kPoints, 0, true, d.X, d.w, E, A);
    K = CMatrix<double>(T, kResponses);
    CQR qr(A, d.w, d.Y, K);
    benchmark::DoNotOptimize(qr.IsFullRank());
  }
}
BENCHMARK(BM_FitQuadratic10x200x5)->Unit(benchmark::kMicrosecond);

void BM_GradientQuadratic10x5(benchmark::State& state) {
  FitData d;
  CMatrix<int> E;
  CMatrix<double> A;
  const int T = CreateCheckApproxModelMatrix(kQuadratic, kVars, kPoints, 0, true, d.X, d.w, E, A);
  CMatrix<double> K(T, kResponses);
  CQR qr(A, d.w, d.Y, K);
  std::valarray<double> point(10.0, kVars);
  std::vector<int> responses = {0, 1, 2, 3, 4};
  CMatrix<double> G(kResponses, kVars);
  for (auto _ : state) {
    EvalApproxGrad(point, responses, K, E, G);
    benchmark::DoNotOptimize(G(0, 0));
  }
}
BENCHMARK(BM_GradientQuadratic10x5);

}  // namespace
