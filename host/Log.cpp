// The reference host's log: every call is written to a stream (stderr by
// default, or a file) and recorded by the live LogCaptures.
#include "rbo/host/Log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rbo/host/ReferenceHost.h"

CLogFile logFile;
std::FILE* fVLog = stderr;

namespace refhost {
namespace {

// Analyses may run on worker threads that log; one mutex orders everything.
std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}
std::vector<LogCapture*>& Captures() {
  static std::vector<LogCapture*> captures;
  return captures;
}
bool g_bEcho = true;

}  // namespace

void RecordLog(LogRecord record) {
  std::lock_guard<std::mutex> lock(LogMutex());
  if (g_bEcho && fVLog != nullptr) {
    if (record.call == "LError" || record.call == "LPrint") {
      std::fputs(record.text.c_str(), fVLog);
    } else {
      std::fprintf(fVLog, "%s: %s(%d)%s%s\n", record.call.c_str(), record.file.c_str(), record.line,
                   record.text.empty() ? "" : ": ", record.text.c_str());
    }
    std::fflush(fVLog);
  }
  for (LogCapture* pCapture : Captures()) pCapture->m_records.push_back(record);
}

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> lock(LogMutex());
  Captures().push_back(this);
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(LogMutex());
  auto& captures = Captures();
  for (auto it = captures.begin(); it != captures.end(); ++it)
    if (*it == this) {
      captures.erase(it);
      break;
    }
}

const std::vector<LogRecord>& LogCapture::Records() const { return m_records; }

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(LogMutex());
  m_records.clear();
}

void OpenLog(const std::string& path) {
  std::FILE* pNew = stderr;
  if (!path.empty() && path != "-") {
    pNew = std::fopen(path.c_str(), "a");
    if (pNew == nullptr) throw std::runtime_error("cannot open the log file '" + path + "': " + std::strerror(errno));
  }
  std::lock_guard<std::mutex> lock(LogMutex());
  if (fVLog != nullptr && fVLog != stderr && fVLog != stdout) std::fclose(fVLog);
  fVLog = pNew;
}

void SetLogEcho(bool bEcho) {
  std::lock_guard<std::mutex> lock(LogMutex());
  g_bEcho = bEcho;
}

}  // namespace refhost

namespace {
std::string Text(const char* psz) { return psz != nullptr ? std::string(psz) : std::string(); }
}  // namespace

extern "C" {

void LError(const char* pszText) { refhost::RecordLog({"LError", "", 0, Text(pszText)}); }

void LPrint(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
  va_end(copy);
  std::string text(n > 0 ? std::size_t(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&text[0], std::size_t(n) + 1, pszFormat, args);
  va_end(args);
  refhost::RecordLog({"LPrint", "", 0, std::move(text)});
}

void LNewException(const char* pszFile, int nLine, const char* pszMessage) {
  refhost::RecordLog({"LNewException", Text(pszFile), nLine, Text(pszMessage)});
}

void LException(const char* pszFile, int nLine, const char* pszText) {
  refhost::RecordLog({"LException", Text(pszFile), nLine, Text(pszText)});
}

void LGenException(const char* pszFile, int nLine) { refhost::RecordLog({"LGenException", Text(pszFile), nLine, ""}); }

}  // extern "C"
