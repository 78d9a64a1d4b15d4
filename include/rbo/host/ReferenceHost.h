// Seams of the reference host: small hooks that tests and programs use to
// configure the host and observe what the library does through it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/Export.h"

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
RBO_HOST_API void SetAnalysis(AnalysisFunction f);

/// Number of worker threads of AnalysePar; 0 (the default) uses every core.
RBO_HOST_API void SetWorkerCount(int nWorkers);

}  // namespace refhost
