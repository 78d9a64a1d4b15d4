#include "Cli.h"

#include "Commands.h"
#include "EmbeddedExample.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <new>
#include <optional>

#include "rbo/RBO.h"
#include "rbo/host/ExternalAnalysis.h"
#include "rbo/host/Log.h"
#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/ErrorText.h"

namespace rboapp {

namespace {

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// ------------------------------------------------------------------ options

void OptionParser::Add(const std::string& name, Value value, const std::string& valueName, const std::string& help,
                       Apply apply) {
  m_vOptions.push_back({name, value, valueName, help, std::move(apply)});
}

std::vector<std::string> OptionParser::Parse(const std::vector<std::string>& args) const {
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      positional.insert(positional.end(), args.begin() + std::ptrdiff_t(i) + 1, args.end());
      break;
    }
    if (!StartsWith(a, "-") || a == "-") {
      positional.push_back(a);
      continue;
    }
    const auto eq = a.find('=');
    const std::string name = a.substr(0, eq);
    const auto it = std::find_if(m_vOptions.begin(), m_vOptions.end(), [&](const Option& o) { return o.name == name; });
    if (it == m_vOptions.end()) {
      std::vector<std::string> names;
      for (const Option& o : m_vOptions) names.push_back(o.name);
      const std::string hint = ClosestName(name, names);
      throw UsageError("unknown option " + name + (hint.empty() ? "" : "; did you mean " + hint + "?"));
    }
    std::string value;
    switch (it->value) {
      case Value::kNone:
        if (eq != std::string::npos) throw UsageError(name + " takes no value");
        break;
      case Value::kRequired:
        if (eq != std::string::npos) {
          value = a.substr(eq + 1);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          throw UsageError(name + " needs a value (" + it->valueName + ")");
        }
        if (value.empty()) throw UsageError(name + " needs a value (" + it->valueName + ")");
        break;
      case Value::kOptionalNumber:
        if (eq != std::string::npos)
          value = a.substr(eq + 1);
        else if (i + 1 < args.size() && AllDigits(args[i + 1]))
          value = args[++i];
        break;
    }
    it->apply(value);
  }
  return positional;
}

std::string OptionParser::Help() const {
  std::vector<std::string> left;
  std::size_t width = 0;
  for (const Option& o : m_vOptions) {
    std::string l = o.name;
    if (o.value == Value::kRequired) l += " " + o.valueName;
    if (o.value == Value::kOptionalNumber) l += " [" + o.valueName + "]";
    width = std::max(width, l.size());
    left.push_back(l);
  }
  std::string text;
  for (std::size_t k = 0; k < m_vOptions.size(); ++k)
    text += "  " + left[k] + std::string(width + 2 - left[k].size(), ' ') + m_vOptions[k].help + "\n";
  return text;
}

long long ParseInteger(const std::string& option, const std::string& value, long long lo, long long hi) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno == ERANGE || v < lo || v > hi)
    throw UsageError(option + " wants a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                     ", not \"" + value + "\"");
  return v;
}

double ParsePositive(const std::string& option, const std::string& value) {
  char* end = nullptr;
  const double v = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || !(v > 0.0) || !std::isfinite(v))
    throw UsageError(option + " wants a positive number, not \"" + value + "\"");
  return v;
}

static void AddFailureOptions(OptionParser& parser, CommonOptions& o) {
  using V = OptionParser::Value;
  parser.Add("--on-failure", V::kRequired, "P",
             "a failed analysis: stop (default), retry it, or skip it (methods 0, 1 of `run`: statistics over the "
             "analyses that succeeded)",
             [&o](const std::string& v) {
               o.onFailure = ParseFailureAction(v);
               if (o.onFailure < 0) throw UsageError("--on-failure wants stop, retry or skip, not \"" + v + "\"");
             });
  parser.Add("--retries", V::kRequired, "N", "extra attempts of a failed analysis (retry: default 2)",
             [&o](const std::string& v) { o.retries = int(ParseInteger("--retries", v, 0, kMaxRetries)); });
  parser.Add("--max-skipped", V::kRequired, "F",
             "skip: stop when more than the fraction F of a design point's analyses fail (default 0.01)",
             [&o](const std::string& v) {
               char* end = nullptr;
               o.maxSkipped = std::strtod(v.c_str(), &end);
               if (v.empty() || *end != '\0' || !(o.maxSkipped >= 0.0 && o.maxSkipped < 1.0))
                 throw UsageError("--max-skipped wants a fraction in [0, 1), not \"" + v + "\"");
             });
}

void AddCommonOptions(OptionParser& parser, CommonOptions& o) {
  using V = OptionParser::Value;
  parser.Add("--method", V::kRequired, "M",
             "method: 0..4 or montecarlo, lhs, fo, surface-mc, surface-lhs; `run` also form, sorm, is, subset; "
             "`optimize` also sora",
             [&o](const std::string& v) {
               o.method = ParseMethod(v);
               if (o.method < 0)
                 throw UsageError(
                     "--method wants 0..4 or montecarlo, lhs, fo, surface-mc, surface-lhs, form, sorm, is, subset, "
                     "sora, not \"" +
                     v + "\"");
             });
  parser.Add("--samples", V::kRequired, "N", "sample points per design point",
             [&o](const std::string& v) { o.samples = ParseInteger("--samples", v, 1, 100000000); });
  parser.Add("--seed", V::kRequired, "S", "seed of the sampling (same seed, same results)", [&o](const std::string& v) {
    o.seed = ParseInteger("--seed", v, 0, std::numeric_limits<long long>::max());
  });
  parser.Add("--parallel", V::kOptionalNumber, "N", "run the analyses on N worker threads (default: every core)",
             [&o](const std::string& v) {
               o.parallel = true;
               o.workers = v.empty() ? 0 : int(ParseInteger("--parallel", v, 1, 4096));
             });
  parser.Add("--out", V::kRequired, "FILE", "also write the results to FILE.json or FILE.csv",
             [&o](const std::string& v) {
               OutFormatOf(v);
               o.out = v;
             });
  parser.Add("--log", V::kRequired, "FILE", "append the library's log to FILE (default: only errors are shown)",
             [&o](const std::string& v) { o.logFile = v; });
  parser.Add("--log-level", V::kRequired, "N", "log detail; 2 and above add the regression matrices of methods 2-4",
             [&o](const std::string& v) { o.logLevel = int(ParseInteger("--log-level", v, 0, 10)); });
  parser.Add("--quiet", V::kNone, "", "no progress line and no notes on stderr",
             [&o](const std::string&) { o.quiet = true; });
  AddFailureOptions(parser, o);
}

void ApplyOverrides(const CommonOptions& o, Settings& s) {
  if (o.method >= 0) s.method = o.method;
  if (o.samples > 0) s.samples = int(o.samples);
  if (o.seed >= 0) s.seed = std::uint64_t(o.seed);
  s.parallel = o.parallel;
  s.workers = o.workers;
  FailurePolicy& f = s.onFailure;
  if (o.onFailure >= 0 && FailureAction(o.onFailure) != f.action) {
    f.action = FailureAction(o.onFailure);
    f.retries = f.action == FailureAction::kRetry ? kDefaultRetries : 0;
  }
  if (o.retries >= 0) f.retries = o.retries;
  if (o.maxSkipped >= 0.0) f.maxSkippedFraction = o.maxSkipped;
}

Problem LoadForCommand(const std::string& path, const CommonOptions& options) {
  Problem p;
  if (path.empty()) {
    if (!options.quiet)
      std::fprintf(stderr,
                   "rbo: no problem file given: running the embedded example (examples/linear.json).\n"
                   "     Write `rbo run PROBLEM.json` to run your own; `rbo help` explains the file.\n");
    std::vector<Diagnostic> diagnostics = ParseProblem(EmbeddedExample(), "", ModelMode::kBuild, &p);
    if (!diagnostics.empty()) throw ProblemFileError("(embedded example)", std::move(diagnostics));
  } else {
    p = LoadProblemFile(path, ModelMode::kBuild);
  }
  ApplyOverrides(options, p.settings);
  return p;
}

// ------------------------------------------------------------------ log

namespace {

// "==== 2025-03-01 14:02:11 +0100  rbo 6.21.0  rbo run linear.json --log run.log": the start of
// one command in an appended log.
std::string LogSeparator(const std::string& commandLine) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", &local);
  int major = 0, minor = 0, patch = 0;
  GetRBOVersion(&major, &minor, &patch);
  return "==== " + std::string(date) + "  rbo " + std::to_string(major) + "." + std::to_string(minor) + "." +
         std::to_string(patch) + "  " + commandLine;
}

}  // namespace

LogSession::LogSession(const CommonOptions& options, const std::string& commandLine) {
  if (options.logLevel >= 0) logFile.m_nLogLevel = options.logLevel;
  if (!options.logFile.empty()) {
    refhost::OpenLog(options.logFile);  // throws std::runtime_error naming the file and the reason
    m_strFile = options.logFile;
    refhost::SetLogEcho(true);
    Note(LogSeparator(commandLine));
  } else {
    // The library's reports are shown with the error they belong to; on
    // their own they would interleave with the results.
    refhost::SetLogEcho(false);
  }
}

LogSession::~LogSession() {
  refhost::OpenLog("");
  refhost::SetLogEcho(true);
}

void LogSession::Note(const std::string& line) const {
  if (m_strFile.empty() || fVLog == nullptr) return;
  errno = 0;
  const bool bWritten = std::fputs((line + "\n").c_str(), fVLog) >= 0 && std::fflush(fVLog) == 0;
  if (!bWritten)
    throw std::runtime_error("cannot write the log file " + m_strFile + ": " + std::strerror(errno != 0 ? errno : EIO));
}

void LogSession::Finish() const {
  if (m_strFile.empty() || fVLog == nullptr) return;
  errno = 0;
  if (std::fflush(fVLog) != 0 || std::ferror(fVLog) != 0)
    throw std::runtime_error("cannot write the log file " + m_strFile +
                             " (records were lost): " + std::strerror(errno != 0 ? errno : EIO));
}

std::vector<std::string> LogSession::LibraryReport() const {
  std::vector<std::string> lines;
  for (const refhost::LogRecord& r : m_capture.Records()) {
    if (r.call != "LError" && r.call != "LPrint") continue;
    std::string text = r.text;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    lines.push_back(text);
  }
  return lines;
}

namespace {}  // namespace

int ReportFailure(const std::string& command, const std::exception& e, const LogSession* pLog) {
  if (dynamic_cast<const std::bad_alloc*>(&e)) {
    std::fprintf(stderr,
                 "rbo %s: error: out of memory: the run needs more memory than the system grants.  Use fewer "
                 "samples (--samples) or fewer design points per run; `rbo run --until-converged` holds one "
                 "batch of samples at a time.\n",
                 command.c_str());
    return kExitFailed;
  }
  if (const auto* pDiagnostics = dynamic_cast<const ProblemFileError*>(&e)) {
    PrintDiagnostics(stderr, pDiagnostics->Path(), pDiagnostics->Diagnostics());
    return kExitProblem;
  }
  if (dynamic_cast<const ProblemReadError*>(&e)) {
    std::fprintf(stderr, "rbo %s: error: %s\n", command.c_str(), e.what());
    return kExitProblem;
  }
  const std::vector<std::string> messages = NestedMessages(e);
  std::string text;
  for (std::size_t k = 0; k < messages.size(); ++k) text += (k ? "\n  " : "") + messages[k];
  std::fprintf(stderr, "rbo %s: error: %s\n", command.c_str(), text.c_str());
  if (pLog) {
    const std::vector<std::string> report = pLog->LibraryReport();
    if (!report.empty()) {
      std::fprintf(stderr, "  the library's report:\n");
      for (const std::string& line : report) std::fprintf(stderr, "    %s\n", line.c_str());
    }
  }
  return kExitFailed;
}

void PrintDiagnostics(std::FILE* stream, const std::string& path, const std::vector<Diagnostic>& diagnostics) {
  std::fprintf(stream, "%s: %zu %s:\n", path.empty() ? "(embedded example)" : path.c_str(), diagnostics.size(),
               diagnostics.size() == 1 ? "problem" : "problems");
  for (const Diagnostic& diagnostic : diagnostics) {
    std::fprintf(stream, "  %s: %s\n", diagnostic.location.c_str(), diagnostic.message.c_str());
    for (const std::string& line : diagnostic.report) std::fprintf(stream, "      | %s\n", line.c_str());
  }
}

// ------------------------------------------------------------------ progress

Progress::Progress(std::shared_ptr<std::atomic<long long>> pDone, long long total, bool bEnabled)
    : m_pDone(std::move(pDone)),
      m_nTotal(total),
      m_nDrawnBefore(SampledValueCount()),
      m_start(std::chrono::steady_clock::now()) {
  if (bEnabled && m_nTotal > 0) m_thread = std::thread([this] { Loop(); });
}

Progress::~Progress() { Stop(); }

bool Progress::Wanted(bool bQuiet) { return !bQuiet && isatty(STDERR_FILENO) == 1; }

void Progress::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
  if (m_bShown) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    m_bShown = false;
  }
}

void Progress::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_bShown) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  m_bShown = false;
}

void Progress::Loop() {
  using namespace std::chrono;
  std::unique_lock<std::mutex> lock(m_mutex);
  // Quiet for the first second: short runs show nothing.
  if (m_wake.wait_for(lock, seconds(1), [this] { return m_bStop; })) return;
  do {
    const double elapsed = duration<double>(steady_clock::now() - m_start).count();
    const long long done = std::min(m_pDone->load(std::memory_order_relaxed), m_nTotal);
    const long long nDrawn = SampledValueCount() - m_nDrawnBefore;
    std::fprintf(stderr, "\r\033[K  %s", Line(m_phase.load(), done, m_nTotal, elapsed, nDrawn).c_str());
    std::fflush(stderr);
    m_bShown = true;
  } while (!m_wake.wait_for(lock, milliseconds(250), [this] { return m_bStop; }));
}

std::string Progress::Line(Phase phase, long long done, long long total, double elapsed, long long nDrawn) {
  // A total of 0: not known in advance (the reliability methods stop when
  // their searches converge or their estimates settle).
  if (total <= 0) {
    const double rate = elapsed > 0.0 ? double(done) / elapsed : 0.0;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, ", %.0f s", std::floor(elapsed));
    return "analysing: " + Thousands(done) + " analyses, " + Thousands((long long)rate) + "/s" + seconds;
  }
  if (phase == Phase::kInferred)
    phase = done <= 0 ? Phase::kDrawing : done >= total ? Phase::kFolding : Phase::kAnalysing;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, ", %.0f s", std::floor(elapsed));
  if (phase == Phase::kDrawing)
    return "drawing samples (" + Thousands(total) + " analyses to run)" +
           (nDrawn > 0 ? ": " + Thousands(nDrawn) + " values drawn" : std::string()) + seconds;
  if (phase == Phase::kFolding) return "folding " + Thousands(done) + " analyses into statistics" + seconds;
  const double rate = elapsed > 0.0 ? double(done) / elapsed : 0.0;
  char left[48] = "";
  if (rate > 0.0 && done < total) {
    const double s = double(total - done) / rate;
    if (s < 120.0)
      std::snprintf(left, sizeof left, ", about %.0f s left", std::ceil(s));
    else
      std::snprintf(left, sizeof left, ", about %.0f min left", std::ceil(s / 60.0));
  }
  return "analysing: " + Thousands(done) + " / " + Thousands(total) + " analyses, " + Thousands((long long)rate) +
         "/s" + left;
}

// ------------------------------------------------------------------ output files

namespace {

// The temporary file of the output being written, for the signal thread
// (written without a lock, the first byte last: never half a name).
char s_szPendingOutput[4096];

// Ends the process as the signal asks, after the clean-up: the analysis
// programs stop, the temporary work folder and the pending output go.
// Runs on the signal thread, so it may lock, allocate and wait.
[[noreturn]] void EndOnSignal(int nSignal) {
  refhost::StopExternalAnalyses();
  if (s_szPendingOutput[0] != '\0') unlink(s_szPendingOutput);
  // The process ends by the signal itself (a shell shows 128 + its number);
  // SIGQUIT without a core file: the state after the clean-up explains nothing.
  if (nSignal == SIGQUIT) prctl(PR_SET_DUMPABLE, 0);
  signal(nSignal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, nSignal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(nSignal);
  _exit(128 + nSignal);
}

void SetPendingOutput(const std::string& path) {
  if (path.size() >= sizeof s_szPendingOutput) return;
  s_szPendingOutput[0] = '\0';
  std::memcpy(s_szPendingOutput + 1, path.c_str() + 1, path.size());  // the first byte last: never half a name
  s_szPendingOutput[0] = path.empty() ? '\0' : path[0];
}

}  // namespace

// The signals are blocked in every thread (threads started later inherit
// the mask) and taken by a thread of their own with sigwait, rather than by
// a handler: the clean-up is then ordinary code, which can remove a folder
// tree, wait for the worker threads to collect the killed programs, and
// does not interrupt the thread that happens to be running.  Analysis
// programs start with an empty mask.
void InstallSignalHandlers() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&signals, nSignal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    int nSignal = 0;
    while (sigwait(&signals, &nSignal) != 0) {
    }
    EndOnSignal(nSignal);
  }).detach();
}

AtomicFile::AtomicFile(const std::string& path) : m_strPath(path) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  // The rename at the end would fail on a folder, and replace a device
  // (or, for root, remove it): refuse both now, before anything runs.
  std::error_code ec;
  const fs::file_status status = fs::status(target, ec);
  if (fs::is_directory(status))
    throw std::runtime_error("cannot write the output file " + path + ": it is a folder; name a file in it");
  if (fs::exists(status) && !fs::is_regular_file(status))
    throw std::runtime_error("cannot write the output file " + path + ": it is not a regular file");
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string pattern = (dir / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
  m_fd = mkstemp(pattern.data());
  if (m_fd < 0) throw std::runtime_error("cannot create the output file " + path + ": " + std::strerror(errno));
  m_strTemp = pattern;
  SetPendingOutput(m_strTemp);
}

AtomicFile::~AtomicFile() {
  SetPendingOutput("");
  if (m_fd >= 0) close(m_fd);
  if (!m_strTemp.empty()) unlink(m_strTemp.c_str());
}

void AtomicFile::Commit(const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(m_fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot write the output file " + m_strPath + ": " + std::strerror(errno));
    p += n;
    left -= std::size_t(n);
  }
  // mkstemp makes the file private (0600); an output file gets the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(m_fd, 0666 & ~mask);
  const int rcSync = fsync(m_fd);
  const int rcClose = close(m_fd);
  m_fd = -1;
  if (rcSync != 0 || rcClose != 0)
    throw std::runtime_error("cannot write the output file " + m_strPath + ": " + std::strerror(errno));
  if (std::rename(m_strTemp.c_str(), m_strPath.c_str()) != 0)
    throw std::runtime_error("cannot write the output file " + m_strPath + ": " + std::strerror(errno));
  SetPendingOutput("");
  m_strTemp.clear();
}

OutFormat OutFormatOf(const std::string& path) {
  auto ends = [&](const char* ext) {
    const std::size_t n = std::strlen(ext);
    return path.size() > n && path.compare(path.size() - n, n, ext) == 0;
  };
  if (ends(".json")) return OutFormat::kJson;
  if (ends(".csv")) return OutFormat::kCsv;
  throw UsageError("--out wants a file name ending in .json or .csv, not \"" + path + "\"");
}

const std::string& EmbeddedExample() {
  static const std::string s_text = kEmbeddedExampleText;
  return s_text;
}

int RunEvaluatingCommand(const std::string& command, const std::vector<std::string>& args, const OptionParser& parser,
                         const CommonOptions& options,
                         const std::function<int(const std::string& file, LogSession& log)>& body) {
  std::vector<std::string> files;
  try {
    files = parser.Parse(args);
    if (files.size() > 1) throw UsageError(command + " takes one problem file, not " + std::to_string(files.size()));
  } catch (const UsageError& e) {
    return ReportUsage(command, e.what());
  }
  std::optional<LogSession> log;
  try {
    std::string commandLine = "rbo " + command;
    for (const std::string& a : args) commandLine += " " + a;
    log.emplace(options, commandLine);
    const int rc = body(files.empty() ? "" : files[0], *log);
    refhost::SetAnalysis(nullptr);
    log->Finish();
    return rc;
  } catch (const UsageError& e) {
    refhost::SetAnalysis(nullptr);
    return ReportUsage(command, e.what());
  } catch (const std::exception& e) {
    refhost::SetAnalysis(nullptr);
    std::fflush(stdout);
    return ReportFailure(command, e, log ? &*log : nullptr);
  }
}

}  // namespace rboapp
