// The reference host's analysis runner: one in-process analysis per column of
// the analysis-point matrix, serially (Analysis) or on worker threads
// (AnalysePar), with the function set by refhost::SetAnalysis (and its chunk
// form, which takes consecutive columns per call, when one is given); or,
// with a batch analysis set by refhost::SetBatchAnalysis, whole chunks of
// columns per call from the calling thread.
//
// The file names, executable, command, flag and integer arguments describe an
// external analysis program; the in-process runner ignores them.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <valarray>
#include <vector>

#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"

namespace {

using refhost::AnalysisFunction;
using refhost::BatchAnalysisFunction;

// The analysis the host runs: per point (with or without its chunk form) or
// per batch; pPoint and pBatch are not both set.
struct CurrentFunctions {
  std::shared_ptr<const AnalysisFunction> pPoint;        ///< the analysis of every analysis point
  std::shared_ptr<const BatchAnalysisFunction> pChunks;  ///< pPoint on consecutive points at once, or null
  std::shared_ptr<const BatchAnalysisFunction> pBatch;   ///< the analysis of chunks of analysis points
};

std::mutex s_analysisMutex;      // guards s_analysis
CurrentFunctions s_analysis;     // set by SetAnalysis or SetBatchAnalysis
std::atomic<int> s_nWorkers{0};  // worker threads of AnalysePar, 0: one per core

// The analysis to run.  A run holds its own references, so SetAnalysis during
// a run does not pull the function from under the workers.
CurrentFunctions CurrentAnalysis(const char* pszRoutine) {
  std::lock_guard<std::mutex> lock(s_analysisMutex);
  if (!s_analysis.pPoint && !s_analysis.pBatch)
    throw std::runtime_error(std::string(pszRoutine) + ": no analysis function is set (refhost::SetAnalysis)");
  return s_analysis;
}

// Runs the matrix through whichever analysis is set.
void RunCurrent(const char* pszRoutine, const CMatrix<double>& inputs, CMatrix<double>& outputs, bool bParallel) {
  const CurrentFunctions f = CurrentAnalysis(pszRoutine);
  if (f.pBatch)
    refhost::AnalyseBatch(*f.pBatch, inputs, outputs);
  else if (f.pChunks)
    refhost::AnalyseColumnsKeepingFailures(*f.pPoint, *f.pChunks, inputs, outputs, bParallel, 0, nullptr);
  else
    refhost::AnalyseColumns(*f.pPoint, inputs, outputs, bParallel);
}

// Keeps the caller's rows; the columns follow the inputs (one response column
// per analysis point).  A resized matrix starts as zeros.
void PrepareOutputs(const CMatrix<double>& inputs, CMatrix<double>& outputs) {
  if (outputs.Cols() != inputs.Cols()) outputs = CMatrix<double>(outputs.Rows(), inputs.Cols());
}

// "analysis point 3 (inputs 1, 2.5, 7)"; long input vectors are cut short.
std::string DescribePoint(int nPoint, const std::valarray<double>& inputs) {
  constexpr std::size_t kShown = 16;
  std::string text = "analysis point " + std::to_string(nPoint) + " (inputs ";
  char buf[32];
  for (std::size_t i = 0; i < inputs.size() && i < kShown; ++i) {
    std::snprintf(buf, sizeof buf, "%s%.10g", i > 0 ? ", " : "", inputs[i]);
    text += buf;
  }
  if (inputs.size() > kShown) text += ", ... " + std::to_string(inputs.size()) + " in all";
  return text + ")";
}

// "analysis points 0 to 9999"
std::string DescribeRange(int nFirst, int nCount) {
  if (nCount == 1) return "analysis point " + std::to_string(nFirst);
  return "analysis points " + std::to_string(nFirst) + " to " + std::to_string(nFirst + nCount - 1);
}

// Copies columns [nFirst, nFirst + nCount) of from into chunk (columns are
// contiguous: the matrix is column-major), resizing chunk only when its shape
// differs.
void CopyColumns(const CMatrix<double>& from, int nFirst, int nCount, CMatrix<double>& chunk) {
  if (chunk.Rows() != from.Rows() || chunk.Cols() != nCount) chunk = CMatrix<double>(from.Rows(), nCount);
  const std::size_t n = std::size_t(from.Rows()) * std::size_t(nCount);
  if (n > 0) std::copy(from.ColData(nFirst), from.ColData(nFirst) + n, chunk.ColData(0));
}

// Copies columns [nFirst, nFirst + nCount) of from into a new matrix.
CMatrix<double> Columns(const CMatrix<double>& from, int nFirst, int nCount) {
  CMatrix<double> chunk;
  CopyColumns(from, nFirst, nCount, chunk);
  return chunk;
}

// Copies the columns of chunk into to, from column nFirst on.
void PasteColumns(const CMatrix<double>& chunk, int nFirst, CMatrix<double>& to) {
  const std::size_t n = std::size_t(chunk.Rows()) * std::size_t(chunk.Cols());
  if (n > 0) std::copy(chunk.ColData(0), chunk.ColData(0) + n, to.ColData(nFirst));
}

bool AllFinite(const CMatrix<double>& m) {
  const std::size_t n = std::size_t(m.Rows()) * std::size_t(m.Cols());
  const double* p = n > 0 ? m.ColData(0) : nullptr;
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(p[i])) return false;
  return true;
}

// Runs one chunk of a batch analysis and checks what it gave: the size of the
// outputs and a finite value everywhere.
void RunChunk(const BatchAnalysisFunction& analysis, const CMatrix<double>& inputs, int nFirst, int nCount,
              CMatrix<double>& outputs) {
  const CMatrix<double> in = Columns(inputs, nFirst, nCount);
  // An output that the analysis does not write stays NaN and is reported.
  CMatrix<double> out(outputs.Rows(), nCount, std::numeric_limits<double>::quiet_NaN());
  try {
    analysis(in, out);
  } catch (const std::exception& e) {
    std::throw_with_nested(std::runtime_error(DescribeRange(nFirst, nCount) + " failed: " + e.what()));
  } catch (...) {
    std::throw_with_nested(std::runtime_error(DescribeRange(nFirst, nCount) + " failed with a non-standard exception"));
  }
  if (out.Rows() != outputs.Rows() || out.Cols() != nCount)
    throw std::runtime_error(DescribeRange(nFirst, nCount) + " gave " + std::to_string(out.Rows()) + " x " +
                             std::to_string(out.Cols()) + " outputs instead of " + std::to_string(outputs.Rows()) +
                             " x " + std::to_string(nCount));
  std::valarray<double> column;
  for (int j = 0; j < nCount; ++j)
    for (int i = 0; i < out.Rows(); ++i) {
      if (std::isfinite(out(i, j))) continue;
      inputs.GetCol(nFirst + j, column);
      throw std::runtime_error(DescribePoint(nFirst + j, column) + " gave the non-finite value " +
                               std::to_string(out(i, j)) + " for output " + std::to_string(i) +
                               " (an output the analysis does not write is nan)");
    }
  PasteColumns(out, nFirst, outputs);
}

// Runs single analysis points into their output columns.  Each worker has one,
// so the input and output buffers are allocated once per worker, not per point.
class CPointRunner {
 public:
  /// nFirstColumn: the number of column 0 in messages (a chunk of a larger matrix).
  CPointRunner(const AnalysisFunction& analysis, const CMatrix<double>& inputs, CMatrix<double>& outputs,
               int nFirstColumn = 0)
      : m_analysis(analysis),
        m_inputs(inputs),
        m_outputs(outputs),
        m_vOut(std::size_t(outputs.Rows())),
        m_nFirst(nFirstColumn) {}

  /// Analyses point j into column j of the outputs.  Throws std::runtime_error
  /// naming the point and its inputs (with the analysis' own exception nested)
  /// when the analysis throws, resizes its outputs or leaves a non-finite value.
  void Run(int j) {
    m_inputs.GetCol(j, m_vIn);
    const std::size_t nRows = std::size_t(m_outputs.Rows());
    if (m_vOut.size() != nRows) m_vOut.resize(nRows);
    // An output that the analysis does not write stays NaN and is reported
    // below, rather than passing for a computed 0.
    m_vOut = std::numeric_limits<double>::quiet_NaN();
    try {
      m_analysis(m_vIn, m_vOut);
    } catch (const std::exception& e) {
      std::throw_with_nested(std::runtime_error(DescribePoint(m_nFirst + j, m_vIn) + " failed: " + e.what()));
    } catch (...) {
      std::throw_with_nested(
          std::runtime_error(DescribePoint(m_nFirst + j, m_vIn) + " failed with a non-standard exception"));
    }
    if (m_vOut.size() != nRows)
      throw std::runtime_error(DescribePoint(m_nFirst + j, m_vIn) + " gave " + std::to_string(m_vOut.size()) +
                               " outputs instead of " + std::to_string(nRows));
    for (std::size_t i = 0; i < nRows; ++i) {
      if (std::isfinite(m_vOut[i])) continue;
      throw std::runtime_error(DescribePoint(m_nFirst + j, m_vIn) + " gave the non-finite value " +
                               std::to_string(m_vOut[i]) + " for output " + std::to_string(i) +
                               " (an output the analysis does not write is nan)");
    }
    m_outputs.ReplaceCol(j, m_vOut);
  }

 private:
  const AnalysisFunction& m_analysis;  ///< the analysis (owned by the run)
  const CMatrix<double>& m_inputs;     ///< analysis-point matrix
  CMatrix<double>& m_outputs;          ///< analysis response matrix; each worker writes its own columns
  std::valarray<double> m_vIn;         ///< inputs of the current point
  std::valarray<double> m_vOut;        ///< outputs of the current point
  int m_nFirst;                        ///< number of column 0 in messages
};

// Runs consecutive analysis points through the chunk form of the analysis.
// Each worker has one, so its buffers are allocated once per size of chunk.
class CChunkRunner {
 public:
  CChunkRunner(const BatchAnalysisFunction& chunks, const CMatrix<double>& inputs, CMatrix<double>& outputs)
      : m_chunks(chunks), m_inputs(inputs), m_outputs(outputs) {}

  /// Analyses columns [nFirst, nFirst + nCount) into the outputs; false,
  /// leaving the outputs alone, when the chunk analysis throws, resizes its
  /// outputs or leaves a value that is not finite (the caller then analyses
  /// the columns one by one).
  bool Run(int nFirst, int nCount) {
    CopyColumns(m_inputs, nFirst, nCount, m_in);
    if (m_out.Rows() != m_outputs.Rows() || m_out.Cols() != nCount) m_out = CMatrix<double>(m_outputs.Rows(), nCount);
    // An output that the analysis does not write stays NaN, and sends the
    // chunk to the per-point analysis, which reports it.
    const std::size_t n = std::size_t(m_out.Rows()) * std::size_t(nCount);
    if (n > 0) std::fill(m_out.ColData(0), m_out.ColData(0) + n, std::numeric_limits<double>::quiet_NaN());
    try {
      m_chunks(m_in, m_out);
    } catch (...) {
      return false;
    }
    if (m_out.Rows() != m_outputs.Rows() || m_out.Cols() != nCount || !AllFinite(m_out)) return false;
    PasteColumns(m_out, nFirst, m_outputs);
    return true;
  }

 private:
  const BatchAnalysisFunction& m_chunks;  ///< the chunk form (owned by the run)
  const CMatrix<double>& m_inputs;        ///< analysis-point matrix
  CMatrix<double>& m_outputs;             ///< analysis response matrix; each worker writes its own columns
  CMatrix<double> m_in;                   ///< inputs of the current chunk
  CMatrix<double> m_out;                  ///< outputs of the current chunk
};

// Columns a worker takes at a time.  Per point, analyses may differ in cost,
// so they go one at a time; chunks are as large as kAnalysisChunkColumns
// allows while every worker still gets several.
int ColumnsPerTurn(bool bChunks, int nColumns, int nWorkers) {
  if (!bChunks) return 1;
  const int nPerWorker = (nColumns + 4 * nWorkers - 1) / (4 * nWorkers);
  return std::max(1, std::min(refhost::kAnalysisChunkColumns, nPerWorker));
}

// Runs work on nWorkers threads, the calling thread one of them (it would
// only wait otherwise), and waits for all.  Fewer threads run when no more
// can be started: the workers that exist share the columns.
template <class Work>
void RunOnWorkers(int nWorkers, Work& work) {
  std::vector<std::thread> helpers;
  helpers.reserve(std::size_t(nWorkers - 1));
  for (int i = 1; i < nWorkers; ++i) {
    try {
      helpers.emplace_back(std::ref(work));
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
}

int WorkerCount(int nColumns) {
  int n = s_nWorkers.load();
  if (n == 0) n = int(std::max(1u, std::thread::hardware_concurrency()));
  return std::min(n, nColumns);
}

// The failure that AnalysePar passes on: of the points that failed, the one
// with the lowest column.  The workers skip the columns after a recorded
// failure but analyse those before it, so the lowest failing point is always
// the one named, whatever the timing and however the columns are handed out.
class CFirstFailure {
 public:
  void Record(int nColumn, std::exception_ptr pError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nColumn < m_nFailedAt.load()) {
      m_nFailedAt.store(nColumn);
      m_pError = std::move(pError);
    }
  }
  /// True when a column before nColumn failed: nColumn need not be analysed.
  bool FailedBefore(int nColumn) const { return m_nFailedAt.load(std::memory_order_relaxed) < nColumn; }
  void Rethrow() const {
    if (m_pError) std::rethrow_exception(m_pError);
  }

 private:
  std::mutex m_mutex;                     ///< guards the two members below
  std::atomic<int> m_nFailedAt{INT_MAX};  ///< column of the recorded failure; columns after it are not analysed
  std::exception_ptr m_pError;            ///< the recorded failure
};

}  // namespace

namespace refhost {

void SetAnalysis(AnalysisFunction f) { SetAnalysis(std::move(f), nullptr); }

void SetAnalysis(AnalysisFunction f, BatchAnalysisFunction chunks) {
  CurrentFunctions next;
  if (f && chunks) next.pChunks = std::make_shared<const BatchAnalysisFunction>(std::move(chunks));
  if (f) next.pPoint = std::make_shared<const AnalysisFunction>(std::move(f));
  std::lock_guard<std::mutex> lock(s_analysisMutex);
  s_analysis = std::move(next);
}

void SetBatchAnalysis(BatchAnalysisFunction f) {
  CurrentFunctions next;
  if (f) next.pBatch = std::make_shared<const BatchAnalysisFunction>(std::move(f));
  std::lock_guard<std::mutex> lock(s_analysisMutex);
  s_analysis = std::move(next);
}

void SetWorkerCount(int nWorkers) {
  if (nWorkers < 0)
    throw std::invalid_argument("SetWorkerCount: the number of workers " + std::to_string(nWorkers) + " is negative");
  s_nWorkers.store(nWorkers);
}

}  // namespace refhost

namespace refhost {

void AnalyseColumns(const AnalysisFunction& analysis, const CMatrix<double>& inputs, CMatrix<double>& outputs,
                    bool bParallel) {
  AnalyseColumnsKeepingFailures(analysis, nullptr, inputs, outputs, bParallel, 0, nullptr);
}

void AnalyseColumnsKeepingFailures(const AnalysisFunction& analysis, const CMatrix<double>& inputs,
                                   CMatrix<double>& outputs, bool bParallel, int nFirstColumn,
                                   std::vector<std::string>* pFailures) {
  AnalyseColumnsKeepingFailures(analysis, nullptr, inputs, outputs, bParallel, nFirstColumn, pFailures);
}

void AnalyseColumnsKeepingFailures(const AnalysisFunction& analysis, const BatchAnalysisFunction& chunks,
                                   const CMatrix<double>& inputs, CMatrix<double>& outputs, bool bParallel,
                                   int nFirstColumn, std::vector<std::string>* pFailures) {
  PrepareOutputs(inputs, outputs);
  const int nColumns = inputs.Cols();
  if (pFailures) pFailures->assign(std::size_t(nColumns), std::string());
  if (nColumns == 0) return;
  const int nWorkers = bParallel ? WorkerCount(nColumns) : 1;
  const int nStep = ColumnsPerTurn(bool(chunks), nColumns, nWorkers);
  CFirstFailure failure;
  // With pFailures a failed point is recorded and the others go on.
  auto runOne = [&](CPointRunner& runner, int j) {
    if (!pFailures) return runner.Run(j);
    try {
      runner.Run(j);
    } catch (const std::exception& e) {
      (*pFailures)[std::size_t(j)] = e.what();
      std::valarray<double> zeros(0.0, std::size_t(outputs.Rows()));
      outputs.ReplaceCol(j, zeros);
    }
  };
  std::atomic<int> nNext{0};
  auto work = [&]() noexcept {
    int j = -1;  // the column being analysed; -1: failed before taking one (buffers could not be allocated)
    try {
      CPointRunner runner(analysis, inputs, outputs, nFirstColumn);
      std::unique_ptr<CChunkRunner> pChunk;
      if (chunks) pChunk.reset(new CChunkRunner(chunks, inputs, outputs));
      // Each turn takes nStep columns: in one call of the chunk form when it
      // succeeds, else point by point.
      // Columns before a failure are still analysed, so that of several
      // failing points the lowest is the one reported, whatever the timing.
      int nFirst;
      while ((nFirst = nNext.fetch_add(nStep)) < nColumns && !failure.FailedBefore(nFirst)) {
        const int nEnd = std::min(nColumns, nFirst + nStep);
        j = nFirst;
        if (pChunk && pChunk->Run(nFirst, nEnd - nFirst)) continue;
        for (; j < nEnd && !failure.FailedBefore(j); ++j) runOne(runner, j);
      }
    } catch (...) {
      failure.Record(j, std::current_exception());
    }
  };
  RunOnWorkers(nWorkers, work);
  failure.Rethrow();
}

void AnalyseBatch(const BatchAnalysisFunction& analysis, const CMatrix<double>& inputs, CMatrix<double>& outputs) {
  PrepareOutputs(inputs, outputs);
  const int nColumns = inputs.Cols();
  for (int nFirst = 0; nFirst < nColumns; nFirst += kBatchColumns)
    RunChunk(analysis, inputs, nFirst, std::min(kBatchColumns, nColumns - nFirst), outputs);
}

}  // namespace refhost

void Analysis(CMatrix<double>& inputs, CMatrix<double>& outputs, std::string& /*inName*/, std::string& /*outName*/,
              std::string& /*exe*/, std::string& /*cmd*/, bool /*bFlag*/, int /*nArg8*/, int /*nArg9*/) {
  RunCurrent("Analysis", inputs, outputs, false);
}

void AnalysePar(CMatrix<double>& inputs, CMatrix<double>& outputs, std::string& /*s3*/, std::string& /*s4*/,
                std::string& /*inName*/, std::string& /*outName*/, std::string& /*exe*/, std::string& /*cmd*/,
                int /*nWorkers*/, bool /*bFlag*/, std::string& /*s11*/, int /*nArg12*/) {
  RunCurrent("AnalysePar", inputs, outputs, true);
}
