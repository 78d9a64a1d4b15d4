// Pieces shared by the commands of `rbo`: exit codes, option parsing, the
// options every evaluating command takes, the log session, error reports,
// progress on the terminal and all-or-nothing output files.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Problem.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/ResultText.h"

namespace rboapp {

// The command is a face over the problem layer: its names are the command's.
using namespace rbo::problem;

// ---- exit codes ----
constexpr int kExitOk = 0;          ///< done
constexpr int kExitFailed = 1;      ///< the evaluation failed (analysis, library, output file)
constexpr int kExitUsage = 2;       ///< bad command line
constexpr int kExitProblem = 3;     ///< the problem file is missing, unreadable or has mistakes
constexpr int kExitNoOptimum = 4;   ///< `optimize`: the optimiser never improved on its start point
constexpr int kExitIncomplete = 5;  ///< `run`: a reliability method could not give a POF, or missed its target c.o.v.

/// A mistake on the command line; main prints it with a pointer to the help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- options ----

/// A small option parser: "--name value", "--name=value", flags, and options
/// whose value may be left out ("--parallel" or "--parallel 4").
class OptionParser {
 public:
  enum class Value { kNone, kRequired, kOptionalNumber };
  using Apply = std::function<void(const std::string& value)>;

  void Add(const std::string& name, Value value, const std::string& valueName, const std::string& help, Apply apply);
  /// Applies the options and returns the other arguments in order.  Throws
  /// UsageError for an unknown option, a missing or a bad value.
  std::vector<std::string> Parse(const std::vector<std::string>& args) const;
  /// The option list, one aligned line per option.
  std::string Help() const;

 private:
  struct Option {
    std::string name;       ///< "--samples"
    Value value;            ///< whether it takes a value
    std::string valueName;  ///< "N"
    std::string help;       ///< one line
    Apply apply;            ///< stores the value
  };
  std::vector<Option> m_vOptions;  ///< in help order
};

/// Parses an integer option value in [lo, hi]; throws UsageError naming the option.
long long ParseInteger(const std::string& option, const std::string& value, long long lo, long long hi);
/// Parses a positive number option value; throws UsageError naming the option.
double ParsePositive(const std::string& option, const std::string& value);

/// Options of every command that evaluates a problem; they override the
/// problem file.
struct CommonOptions {
  int method = -1;         ///< --method, -1: the file's
  long long samples = -1;  ///< --samples, -1: the file's
  long long seed = -1;     ///< --seed, -1: the file's
  bool parallel = false;   ///< --parallel
  int workers = 0;         ///< --parallel N; 0: one per core
  std::string logFile;     ///< --log
  int logLevel = -1;       ///< --log-level, -1: the host's default
  bool quiet = false;      ///< --quiet: no progress, no notes
  std::string out;         ///< --out FILE.json | FILE.csv
  int onFailure = -1;      ///< --on-failure as a FailureAction code, -1: the file's
  int retries = -1;        ///< --retries, -1: the file's (or the policy's default)
  double maxSkipped = -1;  ///< --max-skipped, -1: the file's
};

/// Adds --method, --samples, --seed, --parallel, --log, --log-level,
/// --quiet, --out, --on-failure, --retries and --max-skipped.
void AddCommonOptions(OptionParser& parser, CommonOptions& options);

/// Applies the command-line overrides to the problem's settings.
void ApplyOverrides(const CommonOptions& options, Settings& settings);

/// Loads the problem (the embedded example when path is empty, with a note
/// on stderr unless quiet) and applies the overrides.  Throws
/// ProblemFileError, or ProblemReadError for a file that cannot be read.
Problem LoadForCommand(const std::string& path, const CommonOptions& options);

// ---- log ----

/// The library's log for one command: to the --log file (with the level
/// asked for), otherwise silenced; every record is also captured, so that a
/// failure can show the library's own report.  A --log file gets a
/// separator line at the start of every command (date, command line,
/// version) and the command's own notes (Note).
class LogSession {
 public:
  /// commandLine: the command as typed, for the separator line.  Throws
  /// std::runtime_error (with the system's reason) when the log file cannot
  /// be opened or written.
  LogSession(const CommonOptions& options, const std::string& commandLine);
  ~LogSession();
  LogSession(const LogSession&) = delete;
  LogSession& operator=(const LogSession&) = delete;
  /// The library's report lines (LError, LPrint) captured so far, without the exception trace.
  std::vector<std::string> LibraryReport() const;
  /// Forgets what was captured (before a new step, so a report belongs to it).
  void Clear() { m_capture.Clear(); }
  /// Appends one line of the command's own to the --log file (nothing
  /// without one); throws std::runtime_error when it cannot be written.
  void Note(const std::string& line) const;
  /// Throws std::runtime_error when writing to the --log file failed at any
  /// time (a full disk): a log that silently lost records is an error.
  void Finish() const;

 private:
  refhost::LogCapture m_capture;  ///< every log call of the command
  std::string m_strFile;          ///< the --log file, "" when none
};

/// Prints one clear message for a failure on stderr: the error (with the
/// messages of nested exceptions that add something) and the library's
/// report when it wrote one.  Returns the exit code for it.
int ReportFailure(const std::string& command, const std::exception& e, const LogSession* pLog);

/// Runs a command that evaluates one problem file: parses args with parser
/// (at most one file; none means the embedded example), opens the log
/// session, and calls body(file, log).  A UsageError becomes exit 2 with a
/// pointer to the help, any other failure one clear report (ReportFailure);
/// the host's analysis is cleared on every path.
int RunEvaluatingCommand(const std::string& command, const std::vector<std::string>& args, const OptionParser& parser,
                         const CommonOptions& options,
                         const std::function<int(const std::string& file, LogSession& log)>& body);

/// Prints the diagnostics of a problem file on stream (stdout for `check`, stderr otherwise).
void PrintDiagnostics(std::FILE* stream, const std::string& path, const std::vector<Diagnostic>& diagnostics);

// ---- progress ----

/// Analyses done of total, rate and time left, on stderr, for runs longer
/// than a second; only when stderr is a terminal and not --quiet.  While
/// no analysis has finished it says that samples are being drawn, with the
/// count of values the library has drawn so far, and once all have that
/// they are being folded into statistics, unless SetPhase says what
/// happens.
class Progress {
 public:
  enum class Phase { kInferred, kDrawing, kAnalysing, kFolding };
  Progress(std::shared_ptr<std::atomic<long long>> pDone, long long total, bool bEnabled);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  /// Stops and clears the progress line.
  void Stop();
  /// Clears the line now (before other output); it comes back at the next update.
  void Clear();
  /// True when progress is shown for this process (stderr a terminal, not quiet).
  static bool Wanted(bool bQuiet);
  /// What the run does now; kInferred: judge by the analyses done.
  void SetPhase(Phase phase) { m_phase = phase; }
  /// The progress line for done of total analyses after elapsed seconds,
  /// nDrawn sample values drawn in this run.
  static std::string Line(Phase phase, long long done, long long total, double elapsed, long long nDrawn = 0);

 private:
  void Loop();
  std::atomic<Phase> m_phase{Phase::kInferred};     ///< set by SetPhase
  std::shared_ptr<std::atomic<long long>> m_pDone;  ///< analyses finished
  long long m_nTotal;                               ///< analyses expected
  long long m_nDrawnBefore;                         ///< the library's count of drawn values when the run began
  std::chrono::steady_clock::time_point m_start;    ///< when the run began
  std::mutex m_mutex;                               ///< guards m_bStop
  std::condition_variable m_wake;                   ///< wakes the loop to stop
  bool m_bStop = false;                             ///< the loop should end
  bool m_bShown = false;                            ///< a line was printed (and must be cleared)
  std::thread m_thread;                             ///< prints the line
};

// ---- output files ----

/// An output file written all or nothing: the text goes to a temporary file
/// beside the target, created when this is constructed (so that a folder
/// that does not exist, or a target that is a folder or a device, is
/// reported before the run), and is renamed onto the target by Commit.
/// Destroyed without Commit, it leaves nothing behind.
class AtomicFile {
 public:
  explicit AtomicFile(const std::string& path);  ///< throws std::runtime_error when the file cannot be created
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  /// Writes text and renames the file onto the target; throws std::runtime_error.
  void Commit(const std::string& text);

 private:
  std::string m_strPath;  ///< the target
  std::string m_strTemp;  ///< the temporary file, "" once committed
  int m_fd = -1;          ///< open descriptor of the temporary file
};

/// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT stop running analysis programs
/// and remove their temporary work folder and an uncommitted output file
/// before the process ends as the signal asks.  Call it before any thread
/// starts.
void InstallSignalHandlers();

/// The kind of an --out file by its extension; throws UsageError for any other.
enum class OutFormat { kJson, kCsv };
OutFormat OutFormatOf(const std::string& path);

/// The embedded default example (examples/linear.json).
const std::string& EmbeddedExample();

}  // namespace rboapp
