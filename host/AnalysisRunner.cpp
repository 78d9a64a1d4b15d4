// The reference host's analysis runner: one in-process analysis per column of
// the analysis-point matrix, serially (Analysis) or on worker threads
// (AnalysePar), with the function set by refhost::SetAnalysis; or, with a
// batch analysis set by refhost::SetBatchAnalysis, whole chunks of columns
// per call from the calling thread.
//
// The file names, executable, command, flag and integer arguments describe an
// external analysis program; the in-process runner ignores them.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>
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

// The analysis the host runs: per point or per batch; at most one is set.
struct CurrentFunctions {
  std::shared_ptr<const AnalysisFunction> pPoint;       ///< the analysis of every analysis point
  std::shared_ptr<const BatchAnalysisFunction> pBatch;  ///< the analysis of chunks of analysis points
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

// Copies columns [nFirst, nFirst + nCount) of from into a new matrix.
CMatrix<double> Columns(const CMatrix<double>& from, int nFirst, int nCount) {
  CMatrix<double> chunk(from.Rows(), nCount);
  const std::size_t n = std::size_t(from.Rows()) * std::size_t(nCount);
  if (n > 0) std::copy(from.ColData(nFirst), from.ColData(nFirst) + n, chunk.ColData(0));
  return chunk;
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
  const std::size_t n = std::size_t(out.Rows()) * std::size_t(nCount);
  if (n > 0) std::copy(out.ColData(0), out.ColData(0) + n, outputs.ColData(nFirst));
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

int WorkerCount(int nColumns) {
  int n = s_nWorkers.load();
  if (n == 0) n = int(std::max(1u, std::thread::hardware_concurrency()));
  return std::min(n, nColumns);
}

// The failure that AnalysePar passes on: of the points that failed, the one
// with the lowest column, so that a single bad point is always the one named
// whatever the timing.
class CFirstFailure {
 public:
  void Record(int nColumn, std::exception_ptr pError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nColumn < m_nColumn) {
      m_nColumn = nColumn;
      m_pError = std::move(pError);
    }
    m_bFailed.store(true);
  }
  bool Failed() const { return m_bFailed.load(); }
  void Rethrow() const {
    if (m_pError) std::rethrow_exception(m_pError);
  }

 private:
  std::mutex m_mutex;                  ///< guards the two members below
  int m_nColumn = INT_MAX;             ///< column of the recorded failure
  std::exception_ptr m_pError;         ///< the recorded failure
  std::atomic<bool> m_bFailed{false};  ///< set on the first failure: no further columns are handed out
};

}  // namespace

namespace refhost {

void SetAnalysis(AnalysisFunction f) {
  CurrentFunctions next;
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
  AnalyseColumnsKeepingFailures(analysis, inputs, outputs, bParallel, 0, nullptr);
}

void AnalyseColumnsKeepingFailures(const AnalysisFunction& analysis, const CMatrix<double>& inputs,
                                   CMatrix<double>& outputs, bool bParallel, int nFirstColumn,
                                   std::vector<std::string>* pFailures) {
  PrepareOutputs(inputs, outputs);
  const int nColumns = inputs.Cols();
  if (pFailures) pFailures->assign(std::size_t(nColumns), std::string());
  if (nColumns == 0) return;
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
  if (!bParallel) {
    CPointRunner runner(analysis, inputs, outputs, nFirstColumn);
    for (int j = 0; j < nColumns; ++j) runOne(runner, j);
    return;
  }

  std::atomic<int> nNext{0};
  CFirstFailure failure;
  auto work = [&]() noexcept {
    int j = -1;  // -1: failed before taking a column (buffers could not be allocated)
    try {
      CPointRunner runner(analysis, inputs, outputs, nFirstColumn);
      // Columns are handed out one at a time: analyses may differ in cost.
      while (!failure.Failed() && (j = nNext.fetch_add(1)) < nColumns) runOne(runner, j);
    } catch (...) {
      failure.Record(j, std::current_exception());
    }
  };

  // The calling thread is one of the workers; it would only wait otherwise.
  std::vector<std::thread> helpers;
  const int nWorkers = WorkerCount(nColumns);
  helpers.reserve(std::size_t(nWorkers - 1));
  for (int i = 1; i < nWorkers; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the workers that exist share the columns
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
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
