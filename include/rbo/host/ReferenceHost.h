// Seams of the reference host: small hooks that tests and programs use to
// configure the host and observe what the library does through it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/Export.h"
#include "rbo/foundation/Matrix.h"

namespace refhost {

// ---- log ----

/// One call of the log component, as the library made it.
struct LogRecord {
  std::string call;  ///< "LError", "LPrint", "LNewException", "LException" or "LGenException"
  std::string file;  ///< source unit ("" for LError and LPrint)
  int line;          ///< source line (0 for LError and LPrint)
  std::string text;  ///< the formatted text, the message, what(), or "" for LGenException
};

/// While one lives, every log call is also recorded in it (in addition to
/// being written to the log stream).  Captures may nest; each records.
class RBO_HOST_API LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  const std::vector<LogRecord>& Records() const;
  void Clear();

 private:
  std::vector<LogRecord> m_records;  ///< what was logged while this capture lived
  friend void RecordLog(LogRecord record);
};

/// Sends the log to a file (appending); "" or "-" sends it back to stderr.
/// Throws std::runtime_error when the file cannot be opened.
RBO_HOST_API void OpenLog(const std::string& path);

/// Suppresses (false) or restores (true) writing to the log stream; captures
/// still record.  Tests use it to keep expected failures out of their output.
RBO_HOST_API void SetLogEcho(bool bEcho);

// ---- RBO method and random numbers ----

/// The RBO method code (0..4) and number of sample points per design point
/// that GetRBOMethodNSamplePoints reports.  Default: method 0, 100 points.
RBO_HOST_API void SetRBOMethod(int nMethod, int nSamplePoints);

/// The seed from which CRand(true) and LatinHyperCubeDOE start on every
/// construction or call (common random numbers).  A fixed default applies.
RBO_HOST_API void SetSeed(std::uint64_t seed);

// ---- analysis ----

/// One analysis: inputs is one analysis point (a column of the analysis-point
/// matrix); outputs arrives sized to the rows of the output matrix.
using AnalysisFunction = std::function<void(const std::valarray<double>& inputs, std::valarray<double>& outputs)>;

/// The analysis that Analysis and AnalysePar run for every analysis point.
/// It replaces a batch analysis set before (SetBatchAnalysis); an empty
/// function clears both.
RBO_HOST_API void SetAnalysis(AnalysisFunction f);

/// An analysis of many points at once: column j of inputs is analysis point
/// j; outputs arrives sized rows (analysis responses) x the inputs' columns,
/// filled with NaN, and receives column j's responses in column j.
using BatchAnalysisFunction = std::function<void(const CMatrix<double>& inputs, CMatrix<double>& outputs)>;

/// Most analysis points handed to a batch analysis in one call: a larger
/// matrix goes in consecutive chunks of this many columns.
constexpr int kBatchColumns = 10000;

/// Makes Analysis and AnalysePar hand every analysis-point matrix to f in
/// chunks (AnalyseBatch), from the calling thread, instead of running a
/// per-point analysis per column; AnalysePar's parallelism is then f's own.
/// It replaces a per-point analysis set before (SetAnalysis); an empty
/// function clears both.
RBO_HOST_API void SetBatchAnalysis(BatchAnalysisFunction f);

/// The per-point analysis f with a faster form for many points: chunks(inputs,
/// outputs) analyses a matrix of consecutive analysis points at once (as a
/// BatchAnalysisFunction) and gives every point the very values that f gives
/// it.  Analysis and AnalysePar then hand each worker chunks of up to
/// kAnalysisChunkColumns columns.  A chunk that chunks throws on, resizes or
/// leaves a value in that is not finite is analysed again by f, point by
/// point, so that a failing point is found and reported exactly as by
/// SetAnalysis(f) alone.  An empty chunks is SetAnalysis(f).
RBO_HOST_API void SetAnalysis(AnalysisFunction f, BatchAnalysisFunction chunks);

/// Most consecutive analysis points in one call of a chunk analysis.
constexpr int kAnalysisChunkColumns = 2048;

/// Number of worker threads of AnalysePar; 0 (the default) uses every core.
RBO_HOST_API void SetWorkerCount(int nWorkers);

/// Runs `analysis` on every column of inputs into the same column of
/// outputs (resized to the inputs' columns, keeping its rows), as Analysis
/// (bParallel false) or AnalysePar (true, on SetWorkerCount threads) do with
/// the function of SetAnalysis.  A point that throws, resizes its outputs or
/// leaves a non-finite value fails the run with a std::runtime_error naming
/// the point and its inputs; of several failures, the lowest column's.
RBO_HOST_API void AnalyseColumns(const AnalysisFunction& analysis, const CMatrix<double>& inputs,
                                 CMatrix<double>& outputs, bool bParallel);

/// As AnalyseColumns, for a chunk of a larger matrix whose column 0 is
/// analysis point nFirstColumn (the number in messages).  With pFailures, a
/// point that fails does not stop the others: (*pFailures)[j] receives the
/// report of column j ("" when it succeeded) and a failed column is left as
/// zeros; without, the first failure is thrown as by AnalyseColumns.
RBO_HOST_API void AnalyseColumnsKeepingFailures(const AnalysisFunction& analysis, const CMatrix<double>& inputs,
                                                CMatrix<double>& outputs, bool bParallel, int nFirstColumn,
                                                std::vector<std::string>* pFailures);

/// As AnalyseColumnsKeepingFailures, with the chunk form of the analysis
/// (SetAnalysis(f, chunks)): the columns go in chunks through `chunks`, and
/// the columns of a chunk in which some point fails through `analysis`, one
/// by one, which reports or records the failures.  An empty chunks analyses
/// every column through `analysis`.
RBO_HOST_API void AnalyseColumnsKeepingFailures(const AnalysisFunction& analysis, const BatchAnalysisFunction& chunks,
                                                const CMatrix<double>& inputs, CMatrix<double>& outputs, bool bParallel,
                                                int nFirstColumn, std::vector<std::string>* pFailures);

/// Runs a batch analysis on the columns of inputs into the same columns of
/// outputs (resized to the inputs' columns, keeping its rows), at most
/// kBatchColumns columns per call.  A call that throws fails the run with a
/// std::runtime_error naming its points (the analysis' exception nested); one
/// that resizes its outputs or leaves a non-finite value, with one naming the
/// first such point and its inputs.
RBO_HOST_API void AnalyseBatch(const BatchAnalysisFunction& analysis, const CMatrix<double>& inputs,
                               CMatrix<double>& outputs);

// ---- response surfaces ----

/// Response-surface fits that failed since the process started: a model
/// matrix that CQR finds rank-deficient, or too few points for the linear
/// model (CreateCheckApproxModelMatrix with order code 0, the last order the
/// library falls back to).  The library then leaves the statistics unset and
/// only logs that it could not construct its approximations; a caller that
/// must not take those for results compares this count before and after.
RBO_HOST_API long long FitFailures();

// ---- persistent object store ----
// One SQLite database per store: a file, or a private in-memory database.
// Records are keyed by the problem key (CDB::m_nStoreKey); each Put* is one
// all-or-nothing write (a savepoint of the caller's CLock when one is held).
// They throw std::runtime_error when the store cannot be opened or written.

/// Closes the store and opens path instead: ":memory:" (the default; "" means
/// the same) opens a new empty store in memory, a file path opens (creating)
/// that database file, one file per problem store.  Throws std::runtime_error
/// with the path and SQLite's message when it cannot be opened (a missing
/// directory, a file that is not a store); GetPOD then returns null until a
/// store opens.  Throws std::logic_error while this thread holds a CLock.
RBO_HOST_API void OpenStore(const std::string& path);

/// Closes the store's connection; the next use reopens the same path (a
/// store in memory then starts empty).  Throws std::logic_error while this
/// thread holds a CLock.
RBO_HOST_API void CloseStore();

/// Why the store could not be opened by the last attempt; "" after a success.
RBO_HOST_API std::string StoreError();

/// Writes the response definitions of problem key (CDResp): one pass/fail
/// mark per response entry.
RBO_HOST_API void PutPassFailMarks(int key, const std::vector<int>& marks);

/// Writes design point index (0-based, not negative) of problem key
/// (CDPoint): its response groups 0, 1 and 2, replacing a point stored at
/// that index.  The count under the key (CResult) becomes the number of
/// points stored under it.
RBO_HOST_API void PutDesignPoint(int key, int index, const std::vector<double>& group0,
                                 const std::vector<double>& group1, const std::vector<double>& group2);

/// Sets the count under key (CResult) regardless of the points stored, e.g.
/// to describe a store whose points are missing.  The next PutDesignPoint
/// under the key recounts.
RBO_HOST_API void PutResultCount(int key, int count);

/// Test hook, run before every write statement of a Put* call with its
/// 0-based number within that call; an exception it throws fails the call
/// (the whole write is rolled back), and it may end the process to
/// simulate a crash.  An empty function removes it.
using StoreWriteHook = std::function<void(int nStatement)>;
RBO_HOST_API void SetStoreWriteHook(StoreWriteHook hook);

}  // namespace refhost

#include "rbo/host/ProblemBuilder.h"
