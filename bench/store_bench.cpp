// Reference host: cost of the object store's record reads, on a store in
// memory and on a store file, and of taking and releasing its lock.
//
//   rbo_bench --benchmark_filter=Store
//
// Arguments: store (0 in memory, 1 file in the temporary directory) and lock
// (0: each read on its own; 1: reads while a CLock is held, as the sample-
// point update reads).  A read on its own takes and drops SQLite's shared
// file lock; under a CLock the transaction already holds it.  Times are
// per read, in microseconds.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "rbo/host/ObjectStore.h"
#include "rbo/host/ReferenceHost.h"

namespace {

constexpr int kKey = 1;
constexpr int kEntries = 40;                             // pass/fail marks per definition record
constexpr int kPoints = 50;                              // stored design points
constexpr int kGroup0 = 20, kGroup1 = 10, kGroup2 = 10;  // responses per group of a point

// A store filled with one problem's records for the length of a benchmark;
// the default in-memory store is restored afterwards.
class CFilledStore {
 public:
  explicit CFilledStore(bool bFile) {
    if (bFile) {
      m_path = (std::filesystem::temp_directory_path() / "rbo_store_bench.db").string();
      Remove();
    }
    refhost::OpenStore(bFile ? m_path : ":memory:");
    refhost::PutPassFailMarks(kKey, std::vector<int>(kEntries, 1));
    for (int k = 0; k < kPoints; ++k)
      refhost::PutDesignPoint(kKey, k, std::vector<double>(kGroup0, 0.5 * k), std::vector<double>(kGroup1, 1.5),
                              std::vector<double>(kGroup2, -2.5));
  }
  ~CFilledStore() {
    refhost::OpenStore(":memory:");
    Remove();
  }
  CFilledStore(const CFilledStore&) = delete;
  CFilledStore& operator=(const CFilledStore&) = delete;

 private:
  void Remove() const {
    if (m_path.empty()) return;
    std::remove(m_path.c_str());
    std::remove((m_path + "-journal").c_str());
  }
  std::string m_path;  ///< the store file ("" in memory)
};

// Runs read() once per iteration, under a CLock when the second argument is 1.
template <class Read>
void MeasureReads(benchmark::State& state, Read read) {
  CFilledStore store(state.range(0) == 1);
  POD* pPod = GetPOD();
  std::unique_ptr<CLock> pLock;
  if (state.range(1) == 1) pLock.reset(new CLock(pPod, 0));
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(read(pPod, i++));
  if (pLock) pLock->UnLock();
  state.SetItemsProcessed(state.iterations());
}

void BM_StoreReadDResp(benchmark::State& state) {
  MeasureReads(state, [](POD* pPod, int) {
    CDResp record(pPod);
    record.m_nKey = kKey;
    return record.GetObject() && record.m_vPassFail.size() == std::size_t(kEntries);
  });
}

void BM_StoreReadResult(benchmark::State& state) {
  MeasureReads(state, [](POD* pPod, int) {
    CResult record(pPod);
    record.m_nKey = kKey;
    return record.GetObject() && record.m_nDesignPoints == kPoints;
  });
}

void BM_StoreReadDPoint(benchmark::State& state) {
  MeasureReads(state, [](POD* pPod, int i) {
    CDPoint record(pPod);
    record.m_nKey = kKey;
    record.m_nIndex = i % kPoints;
    return record.GetObject() && record.m_vIndResps.size() == std::size_t(kGroup0);
  });
}

// GetPOD, CLock and UnLock: the store overhead of one sample-point update call.
void BM_StoreLockUnLock(benchmark::State& state) {
  CFilledStore store(state.range(0) == 1);
  for (auto _ : state) {
    CLock lock(GetPOD(), 0);
    lock.UnLock();
  }
}

// One PutDesignPoint: a committed transaction (on a file, a synced write).
void BM_StorePutDesignPoint(benchmark::State& state) {
  CFilledStore store(state.range(0) == 1);
  const std::vector<double> g0(kGroup0, 1.0), g1(kGroup1, 2.0), g2(kGroup2, 3.0);
  int i = 0;
  for (auto _ : state) refhost::PutDesignPoint(kKey, i++ % kPoints, g0, g1, g2);
}

void ReadArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"file", "locked"})->Unit(benchmark::kMicrosecond);
  for (int file : {0, 1})
    for (int locked : {0, 1}) b->Args({file, locked});
}

}  // namespace

BENCHMARK(BM_StoreReadDResp)->Apply(ReadArgs);
BENCHMARK(BM_StoreReadResult)->Apply(ReadArgs);
BENCHMARK(BM_StoreReadDPoint)->Apply(ReadArgs);
BENCHMARK(BM_StoreLockUnLock)->ArgName("file")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StorePutDesignPoint)->ArgName("file")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
