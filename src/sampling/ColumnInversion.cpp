// The drawn values of a block inverted in chunks by the sampling workers,
// each chunk as soon as the calling thread has drawn it.
#include "sampling/ColumnInversion.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "foundation/ProcessState.h"
#include "randvar/InverseCdfBatch.h"

namespace rbo {
namespace {

// Values per worker below which more threads cost more than they save.
constexpr std::size_t kValuesPerWorker = 16384;

// Values per chunk: a few milliseconds of work, so that the threads end
// together and the first chunk is drawn soon.
constexpr std::size_t kValuesPerChunk = 16384;

// The threads that invert a matrix of nValues drawn values.
std::size_t WorkerCount(std::size_t nValues) {
  int n = TheProcessState().sampling.s_nWorkers;
  if (n == 0) n = int(std::max(1u, std::thread::hardware_concurrency()));
  return std::max<std::size_t>(1, std::min(std::size_t(n), nValues / kValuesPerWorker));
}

// One thread's inverse-distribution runs, one per drawn row, whose bracket
// grids last for every chunk the thread takes.
class CRowInverter {
 public:
  CRowInverter(const std::vector<SampledRow>& rows, std::valarray<CRandVar>& randVars) : m_rows(rows) {
    m_runs.reserve(rows.size());
    for (const SampledRow& row : rows) m_runs.emplace_back(randVars[row.nRandVar]);
  }

  // Columns [j0, j1) of the block, one row (one variable) after the other.
  void Invert(const ColumnBlock& block, int j0, int j1) {
    if (j1 <= j0) return;
    for (std::size_t k = 0; k < m_rows.size(); ++k)
      m_runs[k].Invert(block.Col(j0) + m_rows[k].nRow, std::size_t(j1 - j0), block.nRows);
    TheProcessState().sampling.s_nInvertedValues.fetch_add((long long)(j1 - j0) * (long long)m_rows.size(),
                                                           std::memory_order_relaxed);
  }

 private:
  const std::vector<SampledRow>& m_rows;
  std::vector<CInverseCdfRun> m_runs;
};

// The chunks of columns [1, nCols): taken in order by whichever thread is
// free, each once it is drawn.  Failures are kept by chunk.
class CChunkList {
 public:
  CChunkList(int nCols, int nChunkCols)
      : m_nCols(nCols), m_nChunkCols(nChunkCols), m_failures(std::size_t((nCols - 1) / nChunkCols + 1)) {}

  int ChunkCols() const { return m_nChunkCols; }

  // Columns [0, nDrawn) are drawn.
  void SetDrawn(int nDrawn) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_nDrawn = nDrawn;
    }
    m_drawn.notify_all();
  }

  // The drawing failed: no chunk is handed out any more.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_bStopped = true;
    }
    m_drawn.notify_all();
  }

  // The next chunk [j0, j1) once it is drawn; false when none is left.
  bool Take(std::size_t& nChunk, int& j0, int& j1) {
    nChunk = m_nNext.fetch_add(1);
    j0 = 1 + int(nChunk) * m_nChunkCols;
    if (j0 >= m_nCols) return false;
    j1 = std::min(m_nCols, j0 + m_nChunkCols);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_drawn.wait(lock, [&] { return m_bStopped || m_nDrawn >= j1; });
    return !m_bStopped;
  }

  void Fail(std::size_t nChunk, std::exception_ptr p) { m_failures[nChunk] = std::move(p); }

  void RethrowFirstFailure() const {
    for (const std::exception_ptr& p : m_failures)
      if (p) std::rethrow_exception(p);
  }

 private:
  const int m_nCols;
  const int m_nChunkCols;
  std::atomic<std::size_t> m_nNext{0};
  std::mutex m_mutex;
  std::condition_variable m_drawn;
  int m_nDrawn = 1;
  bool m_bStopped = false;
  std::vector<std::exception_ptr> m_failures;  // one slot per chunk, written by the thread that took it
};

// Takes chunks until none is left.
void InvertChunks(CChunkList& chunks, const ColumnBlock& block, CRowInverter& inverter) noexcept {
  std::size_t nChunk = 0;
  int j0 = 0, j1 = 0;
  while (chunks.Take(nChunk, j0, j1)) {
    try {
      inverter.Invert(block, j0, j1);
    } catch (...) {
      chunks.Fail(nChunk, std::current_exception());
    }
  }
}

// A helper thread: its own runs, then chunks.
void HelpInvert(CChunkList& chunks, const ColumnBlock& block, const std::vector<SampledRow>& rows,
                std::valarray<CRandVar>& randVars) noexcept {
  try {
    CRowInverter inverter(rows, randVars);
    InvertChunks(chunks, block, inverter);
  } catch (...) {
    // Setting up failed (out of memory): the other threads take the chunks.
  }
}

// Starts up to nHelpers threads; fewer when the system refuses more.
std::vector<std::thread> StartHelpers(std::size_t nHelpers, CChunkList& chunks, const ColumnBlock& block,
                                      const std::vector<SampledRow>& rows, std::valarray<CRandVar>& randVars) {
  std::vector<std::thread> helpers;
  for (std::size_t w = 0; w < nHelpers; ++w) {
    try {
      helpers.emplace_back(HelpInvert, std::ref(chunks), std::cref(block), std::cref(rows), std::ref(randVars));
    } catch (const std::system_error&) {
      break;  // the calling thread takes what is left
    }
  }
  return helpers;
}

// Draws columns [1, nCols) chunk by chunk, publishing each.
void DrawRest(CChunkList& chunks, int nCols, const DrawColumns& draw) {
  for (int j0 = 1; j0 < nCols; j0 += chunks.ChunkCols()) {
    const int j1 = std::min(nCols, j0 + chunks.ChunkCols());
    draw(j0, j1);
    chunks.SetDrawn(j1);
  }
}

}  // namespace

void DrawAndInvert(const ColumnBlock& block, const std::vector<SampledRow>& rows, std::valarray<CRandVar>& randVars,
                   const DrawColumns& draw) {
  const int nCols = block.nCols;
  if (nCols == 0) return;
  draw(0, 1);
  CRowInverter inverter(rows, randVars);
  inverter.Invert(block, 0, 1);
  if (nCols == 1) return;
  const std::size_t nValues = std::size_t(nCols) * rows.size();
  const int nChunkCols = int(std::max<std::size_t>(1, kValuesPerChunk / std::max<std::size_t>(1, rows.size())));
  CChunkList chunks(nCols, nChunkCols);
  std::vector<std::thread> helpers = StartHelpers(WorkerCount(nValues) - 1, chunks, block, rows, randVars);
  try {
    DrawRest(chunks, nCols, draw);
  } catch (...) {
    chunks.Stop();
    for (std::thread& t : helpers) t.join();
    throw;
  }
  InvertChunks(chunks, block, inverter);
  for (std::thread& t : helpers) t.join();
  chunks.RethrowFirstFailure();
}

}  // namespace rbo
