// Reading a problem file (JSON, comments allowed) into an rbo::problem::Problem,
// with a check that reports every mistake at once.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "rbo/problem/Problem.h"

namespace rbo::problem {

/// One mistake in a problem file.
struct Diagnostic {
  std::string location;             ///< JSON path ("/random_variables/1/sd"), or "line L, column C" for a syntax error
  std::string message;              ///< what is wrong and how to fix it
  std::vector<std::string> report;  ///< the library's own report lines, when the library rejected a value
};

/// A problem file that cannot be used: every diagnostic found.
class ProblemFileError : public std::runtime_error {
 public:
  ProblemFileError(std::string path, std::vector<Diagnostic> diagnostics);
  const std::string& Path() const { return m_strPath; }
  const std::vector<Diagnostic>& Diagnostics() const { return m_vDiagnostics; }

 private:
  std::string m_strPath;                   ///< the file
  std::vector<Diagnostic> m_vDiagnostics;  ///< what is wrong with it
};

/// A problem file that cannot be read at all (missing, unreadable).
class ProblemReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Whether loading also makes the analysis (starting nothing yet, but an
/// external program's working folder is created).  `rbo check` does not.
/// kAnalysisSupplied builds as kBuild, but a problem without "analysis" is
/// no mistake: the caller supplies the analysis (Problem::batchModel).
enum class ModelMode { kBuild, kCheckOnly, kAnalysisSupplied };

/// Parses problem text.  path names it in messages and locates relative
/// program paths ("" : the current folder).  Returns the diagnostics found; when
/// there are none, *pProblem is complete.  Never throws, whatever the text: a
/// fault of the reader itself comes back as a diagnostic at "/" whose message
/// starts with kReaderFault.
std::vector<Diagnostic> ParseProblem(const std::string& text, const std::string& path, ModelMode mode,
                                     Problem* pProblem);

/// The start of the message of a diagnostic that reports a fault of the
/// reader (a bug), not a mistake in the file.
inline constexpr const char* kReaderFault = "the reader failed on this file";

/// Reads and parses a problem file.  Throws ProblemReadError when the file
/// cannot be read and ProblemFileError when it has diagnostics.
Problem LoadProblemFile(const std::string& path, ModelMode mode);

/// The candidate closest to word (a likely typo), or "" when none is close.
std::string ClosestName(const std::string& word, const std::vector<std::string>& candidates);

/// Names of the method codes (the RBO methods 0..4, then form, sorm, is,
/// subset), as the problem file spells them.
const char* MethodName(int method);
/// Parses a method code or name ("1", "lhs", "form"); -1 when it is neither.
int ParseMethod(const std::string& text);

}  // namespace rbo::problem
