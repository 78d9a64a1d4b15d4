// The two cross-cutting mechanisms of the library's error model.
//
// Guarded(): runs an operation's body; an exception passing out of it is
// logged once (LException with what() for a std::exception, LGenException
// for anything else) and rethrown unchanged.  Nested guarded operations thus
// leave one log record per level, a trace of the call path.  On the path
// that does not throw it costs nothing: the body is inlined and the handlers
// live in the unwind tables.
//
// ErrorReport: the report written before a throw, a title line through
// LError and indented detail lines through LPrint, then the exception.
#pragma once

#include <exception>
#include <utility>

#include "rbo/foundation/OrvoErr.h"
#include "rbo/host/Log.h"

class CDB;

namespace rbo {

template <class Body>
inline decltype(auto) Guarded(const char* pszFile, int nLine, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    LException(pszFile, nLine, e.what());
    throw;
  } catch (...) {
    LGenException(pszFile, nLine);
    throw;
  }
}

class ErrorReport {
 public:
  /// Writes the title line (ends in "\n").
  explicit ErrorReport(const char* pszTitle) { LError(pszTitle); }

  /// Writes one detail line: a printf format, indented by seven spaces and
  /// ending in "\n", with its arguments.
  template <class... Args>
  ErrorReport& Line(const char* pszFormat, Args... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    LPrint(pszFormat, args...);
#pragma GCC diagnostic pop
    return *this;
  }

  /// Raises the exception of class E at pszFile:nLine.
  template <class E>
  [[noreturn]] void Throw(const char* pszFile, int nLine) {
    throw E(pszFile, nLine);
  }
};

/// Entry points that take the host's database cannot do anything without
/// one: a null pointer is reported and thrown as CNullPtr from pszFile:nLine.
inline void RequireDatabase(const CDB* pDB, const char* pszFile, int nLine) {
  if (pDB == nullptr) ErrorReport("No design database supplied.\n").Throw<CNullPtr>(pszFile, nLine);
}

}  // namespace rbo
