// The host's log component.
//
// Every error report of the library and every exception record goes through
// these calls.  They have C linkage (unmangled names) so that any host can
// provide them.  All of them return normally.
#pragma once

#include <cstdio>

#include "rbo/Export.h"

extern "C" {
/// First line of an error report; text ends in "\n".
RBO_HOST_API void LError(const char* pszText);
/// A further line of an error report, printf-style.
RBO_HOST_API void LPrint(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
/// An exception was created at file:line with this message.
RBO_HOST_API void LNewException(const char* pszFile, int nLine, const char* pszMessage);
/// A guarded operation at file:line saw a standard exception pass, with text what().
RBO_HOST_API void LException(const char* pszFile, int nLine, const char* pszText);
/// A guarded operation at file:line saw an exception of any other kind pass.
RBO_HOST_API void LGenException(const char* pszFile, int nLine);
}

/// The host's log settings.
class RBO_HOST_API CLogFile {
 public:
  int m_nLogLevel = 1;  ///< verbosity; above 1 the library dumps its regression matrices
};

/// The host's log object.
RBO_HOST_API extern CLogFile logFile;
/// The log's output stream (standard error unless the host opened a file).
RBO_HOST_API extern std::FILE* fVLog;
