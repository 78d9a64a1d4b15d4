// Helpers for asserting the exact sequence of host-log records that a failure
// leaves: the error report (LError title, LPrint details), the record of the
// exception's construction (LNewException) and one LException per guarded
// level that the exception crossed on its way out.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "rbo/host/ReferenceHost.h"

namespace rbotest {

using refhost::LogRecord;

/// What a failure of the library is expected to leave in the log.
struct ExpectedReport {
  std::string title;                 ///< the LError line
  std::vector<std::string> details;  ///< the LPrint lines, formatted
  std::string unit;                  ///< source unit of the exception and of every guard
  std::string message;               ///< the exception's what()
  int nGuardLevels;                  ///< LException records after LNewException
};

/// One line per record, for failure messages.
inline std::string Dump(const std::vector<LogRecord>& records) {
  std::ostringstream out;
  for (const LogRecord& r : records)
    out << "  " << r.call << " [" << r.file << ":" << r.line << "] \"" << r.text << "\"\n";
  return out.str();
}

/// The whole sequence must match: nothing missing, nothing extra.  Line
/// numbers belong to the implementation; they are only required to be
/// positive here (tests compare them between entry points where it matters).
inline ::testing::AssertionResult MatchesReport(const std::vector<LogRecord>& records, const ExpectedReport& e) {
  const std::size_t nExpected = 1 + e.details.size() + 1 + std::size_t(e.nGuardLevels);
  auto fail = [&](const std::string& why) {
    return ::testing::AssertionFailure() << why << "\nrecords:\n" << Dump(records);
  };
  if (records.size() != nExpected)
    return fail("expected " + std::to_string(nExpected) + " records, got " + std::to_string(records.size()));
  std::size_t k = 0;
  if (records[k].call != "LError" || records[k].text != e.title) return fail("record 0 is not the LError title");
  for (const std::string& detail : e.details) {
    ++k;
    if (records[k].call != "LPrint" || records[k].text != detail)
      return fail("record " + std::to_string(k) + " should be LPrint \"" + detail + "\"");
  }
  ++k;
  if (records[k].call != "LNewException" || records[k].file != e.unit || records[k].text != e.message ||
      records[k].line <= 0)
    return fail("record " + std::to_string(k) + " should be LNewException from " + e.unit);
  for (int level = 0; level < e.nGuardLevels; ++level) {
    ++k;
    if (records[k].call != "LException" || records[k].file != e.unit || records[k].text != e.message ||
        records[k].line <= 0)
      return fail("record " + std::to_string(k) + " should be LException from " + e.unit);
  }
  return ::testing::AssertionSuccess();
}

/// Runs f, which must throw E, and returns what it logged.
template <class E, class F>
std::vector<LogRecord> LogOfFailure(F&& f) {
  refhost::LogCapture capture;
  EXPECT_THROW(f(), E);
  return capture.Records();
}

/// The source lines of the LException records, innermost guard first.
inline std::vector<int> GuardLines(const std::vector<LogRecord>& records) {
  std::vector<int> lines;
  for (const LogRecord& r : records)
    if (r.call == "LException" || r.call == "LGenException") lines.push_back(r.line);
  return lines;
}

/// The source line of the LNewException record (0 when there is none).
inline int ThrowLine(const std::vector<LogRecord>& records) {
  for (const LogRecord& r : records)
    if (r.call == "LNewException") return r.line;
  return 0;
}

}  // namespace rbotest
