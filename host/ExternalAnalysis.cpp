// The reference host's external analysis program: one run of a program per
// analysis point, in a working folder per worker thread, with a timeout.
//
// Programs are started with fork and exec (no shell unless asked for), in a
// process group of their own so that a timeout, and the end of the program,
// kill whatever the program started too, and with a parent-death signal so
// that they do not outlive the host.
#include "rbo/host/ExternalAnalysis.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using refhost::ExternalProgram;

/// Lines of the program's standard error shown with a failure.
constexpr std::size_t kStderrTailLines = 12;
/// Characters of the program's standard error shown at most; only these
/// are read, however much the program wrote.
constexpr std::size_t kStderrTailChars = 2000;
/// Names of the captured streams within the working folder.
constexpr const char* kStdoutFile = "stdout.txt";
constexpr const char* kStderrFile = "stderr.txt";

// ---------------------------------------------------------------- worker numbers

// The numbers held by live threads.  Never destroyed: threads may end (and
// give their number back) during the process's static destruction.
struct CWorkerPool {
  std::mutex mutex;         ///< guards inUse
  std::vector<bool> inUse;  ///< per number: held by a live thread
};
CWorkerPool& Pool() {
  static CWorkerPool* s_pPool = new CWorkerPool();
  return *s_pPool;
}

// A thread's number: taken on first use, given back when the thread ends.
struct CWorkerSlot {
  int nNumber = -1;  ///< the number, -1 before first use
  ~CWorkerSlot() {
    if (nNumber < 0) return;
    CWorkerPool& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.inUse[std::size_t(nNumber)] = false;
  }
};

// ---------------------------------------------------------------- running programs

// The process groups of the programs running now, for KillRunningPrograms.
// Lock-free atomics, so that a signal handler may read them.
constexpr std::size_t kTrackedPrograms = 1024;
std::atomic<pid_t> s_running[kTrackedPrograms];
// Set by StopExternalAnalyses: no program starts any more.
std::atomic<bool> s_bStopping{false};

// Temporary work roots to remove should the process be stopped by a signal.
// Never destroyed, like the worker pool.
struct CWorkRoots {
  std::mutex mutex;             ///< guards paths
  std::vector<fs::path> paths;  ///< the roots of the live runners that remove theirs
};
CWorkRoots& WorkRoots() {
  static CWorkRoots* s_pRoots = new CWorkRoots();
  return *s_pRoots;
}

// The worker thread of a stopped process waits for the process's end.
[[noreturn]] void WaitForTheEnd() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool AnyProgramRunning() {
  return std::any_of(std::begin(s_running), std::end(s_running),
                     [](const std::atomic<pid_t>& p) { return p.load() > 0; });
}

// Records a started program for as long as it lives.
class CRunningProgram {
 public:
  explicit CRunningProgram(pid_t pid) {
    for (std::size_t i = 0; i < kTrackedPrograms && m_nSlot == kTrackedPrograms; ++i) {
      pid_t expected = 0;
      if (s_running[i].compare_exchange_strong(expected, pid)) m_nSlot = i;
    }
  }
  ~CRunningProgram() { Done(); }
  /// The program has been waited for: its pid may be reused from now on.
  void Done() {
    if (m_nSlot < kTrackedPrograms) s_running[m_nSlot].store(0);
    m_nSlot = kTrackedPrograms;
  }
  CRunningProgram(const CRunningProgram&) = delete;
  CRunningProgram& operator=(const CRunningProgram&) = delete;

 private:
  std::size_t m_nSlot = kTrackedPrograms;  ///< its slot, kTrackedPrograms when all were taken
};

// ---------------------------------------------------------------- text helpers

std::string FormatValue(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// "R = 10.25, S = 4.875" (long vectors cut short).
std::string DescribeInputs(const std::vector<std::string>& names, const std::valarray<double>& x) {
  constexpr std::size_t kShown = 16;
  std::string text;
  for (std::size_t i = 0; i < x.size() && i < kShown; ++i) {
    if (i > 0) text += ", ";
    text += (i < names.size() ? names[i] : "x" + std::to_string(i)) + " = ";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", x[i]);
    text += buf;
  }
  if (x.size() > kShown) text += ", ... (" + std::to_string(x.size()) + " inputs)";
  return text;
}

// An open file descriptor, closed at the end of the scope.
class CFd {
 public:
  explicit CFd(int fd) : m_fd(fd) {}
  ~CFd() {
    if (m_fd >= 0) close(m_fd);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;  ///< the descriptor, -1 for none
};

// Appends up to n bytes read from fd at its current offset to text.
void ReadUpTo(int fd, std::size_t n, std::string& text) {
  char buf[65536];
  while (n > 0) {
    const ssize_t got = read(fd, buf, std::min(n, sizeof buf));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    text.append(buf, std::size_t(got));
    n -= std::size_t(got);
  }
}

// The program's output file, or nullopt when it does not exist.  A file of
// more than limit bytes is not read: *pnSize gets its size and the text is
// empty.
std::optional<std::string> ReadOutputFile(const fs::path& path, std::uint64_t limit, std::uint64_t* pnSize) {
  CFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0) return std::nullopt;
  *pnSize = std::uint64_t(st.st_size);
  std::string text;
  if (*pnSize <= limit) ReadUpTo(fd.Get(), std::size_t(*pnSize), text);
  return text;
}

// The last kStderrTailChars bytes of the program's standard error, with
// "..." before them when there was more.
std::string ReadStderrEnd(const fs::path& path) {
  CFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0) return "";
  const auto size = std::uint64_t(st.st_size);
  std::string text;
  if (size > kStderrTailChars) {
    text = "...";
    if (lseek(fd.Get(), off_t(size - kStderrTailChars), SEEK_SET) < 0) return "";
  }
  ReadUpTo(fd.Get(), kStderrTailChars, text);
  return text;
}

// The last lines of the program's standard error, indented, or "".
std::string StderrTail(const fs::path& folder) {
  const std::string text = ReadStderrEnd(folder / kStderrFile);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  while (!lines.empty() && lines.back().find_first_not_of(" \t") == std::string::npos) lines.pop_back();
  if (lines.empty()) return "";
  const std::size_t first = lines.size() > kStderrTailLines ? lines.size() - kStderrTailLines : 0;
  std::string out = "\n  last lines of its standard error:";
  for (std::size_t i = first; i < lines.size(); ++i) out += "\n    " + lines[i];
  return out;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Parses the output file into name -> value.  Throws std::runtime_error with
// the line at fault.
std::unordered_map<std::string, double> ParseOutputs(const std::string& text, const std::string& fileName) {
  std::unordered_map<std::string, double> values;
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && text[first] == '{') {
    nlohmann::json j;
    try {
      j = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
      throw std::runtime_error("its output file " + fileName + " is not valid JSON: " + e.what());
    }
    if (!j.is_object()) throw std::runtime_error("its output file " + fileName + " is not a JSON object");
    for (auto it = j.begin(); it != j.end(); ++it) {
      if (!it.value().is_number())
        throw std::runtime_error("its output file " + fileName + " gives '" + it.key() + "' the value " +
                                 it.value().dump() + ", which is not a number");
      values[it.key()] = it.value().get<double>();
    }
    return values;
  }
  std::istringstream lines(text);
  int nLine = 0;
  for (std::string raw; std::getline(lines, raw);) {
    ++nLine;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    std::size_t sep = line.find_first_of("=:");
    std::string name, value;
    if (sep != std::string::npos) {
      name = Trim(line.substr(0, sep));
      value = Trim(line.substr(sep + 1));
    } else {
      sep = line.find_first_of(" \t");
      if (sep != std::string::npos) {
        name = Trim(line.substr(0, sep));
        value = Trim(line.substr(sep + 1));
      }
    }
    const char* begin = value.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = value.empty() ? 0.0 : std::strtod(begin, &end);
    if (name.empty() || value.empty() || end == begin || *end != '\0')
      throw std::runtime_error("its output file " + fileName + " has an unreadable line " + std::to_string(nLine) +
                               ": \"" + line + "\" (expected \"name = value\")");
    values[name] = v;
  }
  return values;
}

// ---------------------------------------------------------------- one run

// Waits at most timeout seconds (0: no limit) for pid to end, without
// collecting it: the ended program stays a zombie until EndGroupAndReap, so
// that no new process can take its process group id meanwhile.  Returns
// false when the time ran out.
bool WaitForEnd(pid_t pid, double timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
  // A process file descriptor lets poll wait for the exit with the timeout;
  // without one (older kernels) the status is polled with short sleeps.
  const CFd pidfd(timeout > 0.0 ? int(syscall(SYS_pidfd_open, pid, 0)) : -1);
  auto microsLeft = std::chrono::microseconds(50);
  for (;;) {
    siginfo_t info{};
    const int r = waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT | (timeout > 0.0 ? WNOHANG : 0));
    if (r == 0 && info.si_pid == pid) return true;
    if (r < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitid");
    if (r < 0) continue;  // interrupted; try again
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    if (pidfd.Get() >= 0) {
      pollfd p{pidfd.Get(), POLLIN, 0};
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
      poll(&p, 1, int(std::min<long long>(ms, 1000000)));
    } else {
      std::this_thread::sleep_for(std::min(microsLeft, std::chrono::duration_cast<std::chrono::microseconds>(left)));
      microsLeft = std::min(microsLeft * 2, std::chrono::microseconds(20000));
    }
  }
}

// Kills the program's process group, which ends whatever the program left
// running in the background (and the program, if it still runs), then
// collects the program.  Returns its wait status.
int EndGroupAndReap(pid_t pid) {
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Everything the child needs between fork and exec, made beforehand: the
// child of a multi-threaded process may only make async-signal-safe calls
// until exec (no allocation, no locks).
struct CLaunch {
  const char* pszPath;    ///< the executable
  char* const* argv;      ///< its arguments
  char* const* envp;      ///< its environment
  const char* pszFolder;  ///< its working folder
  pid_t parent;           ///< the host process, to notice one that died before the death signal was set
  int errorFd;            ///< write end of a close-on-exec pipe that reports a failed start (an errno)
};

// Opens path (relative to the working folder) as descriptor fd.
bool OpenAs(int fd, const char* path, int flags) {
  const int opened = open(path, flags, 0644);
  if (opened < 0) return false;
  if (opened == fd) return true;
  const bool bOk = dup2(opened, fd) == fd;
  close(opened);
  return bOk;
}

// Signals back to their defaults in the program: those the host handles
// (a handler means nothing after exec, and must not run in the child before
// it), and those it may ignore or that end the program on request.
void DefaultSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int n = 1; n < NSIG; ++n) {
    struct sigaction current {};
    if (sigaction(n, nullptr, &current) == 0 && current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN)
      sigaction(n, &dfl, nullptr);
  }
  for (int n : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT}) sigaction(n, &dfl, nullptr);
}

// The child's side of a start: becomes the program or exits with 127.
[[noreturn]] void BecomeProgram(const CLaunch& l) {
  DefaultSignals();
  setpgid(0, 0);
  // The death signal comes when the thread that started the program ends;
  // that thread waits for the program (Run), so in practice it comes when
  // the host process dies.  A host that died before this line is noticed
  // by the changed parent.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != l.parent) _exit(127);
  if (chdir(l.pszFolder) == 0 && OpenAs(0, "/dev/null", O_RDONLY) &&
      OpenAs(1, kStdoutFile, O_WRONLY | O_CREAT | O_TRUNC) && OpenAs(2, kStderrFile, O_WRONLY | O_CREAT | O_TRUNC)) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(l.pszPath, l.argv, l.envp);
  }
  const int err = errno;
  if (write(l.errorFd, &err, sizeof err) < 0) _exit(127);
  _exit(127);
}

// Starts argv in folder, in a process group of its own (its pid) that
// exists when this returns; returns its pid or throws.
pid_t Spawn(const std::string& path, const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const fs::path& folder) {
  std::vector<char*> cargv, cenv;
  for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const std::string& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  const std::string dir = folder.string();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("could not start " + path + ": " + std::strerror(errno));
  const CFd readEnd(fds[0]);
  const CLaunch launch{path.c_str(), cargv.data(), cenv.data(), dir.c_str(), getpid(), fds[1]};
  // No handler of the host may run in the child before it has reset them.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  const pid_t pid = fork();
  if (pid == 0) BecomeProgram(launch);
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(fds[1]);
  if (pid < 0) throw std::runtime_error("could not start " + path + ": " + std::strerror(forkError));
  // The pipe closes on exec (the process group exists by then) or brings
  // the errno of the failed start.
  int err = 0;
  ssize_t n = 0;
  while ((n = read(readEnd.Get(), &err, sizeof err)) < 0 && errno == EINTR) {
  }
  if (n == ssize_t(sizeof err)) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    throw std::runtime_error("could not start " + path + ": " + std::strerror(err));
  }
  return pid;
}

// The environment of the program: ours, with RBO_INPUT, RBO_OUTPUT and
// RBO_WORKER set.
std::vector<std::string> Environment(const fs::path& input, const fs::path& output, int nWorker) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry(*e);
    if (entry.rfind("RBO_INPUT=", 0) == 0 || entry.rfind("RBO_OUTPUT=", 0) == 0 || entry.rfind("RBO_WORKER=", 0) == 0)
      continue;
    env.push_back(entry);
  }
  env.push_back("RBO_INPUT=" + input.string());
  env.push_back("RBO_OUTPUT=" + output.string());
  env.push_back("RBO_WORKER=" + std::to_string(nWorker));
  return env;
}

// ---------------------------------------------------------------- the runner

// The sub-folder of the work root for this process' worker folders (SetWorkFolderTag).
std::mutex s_tagMutex;
std::string s_strWorkFolderTag;

fs::path WorkFolderBase(const fs::path& root) {
  std::lock_guard<std::mutex> lock(s_tagMutex);
  return s_strWorkFolderTag.empty() ? root : root / s_strWorkFolderTag;
}

class CExternalRunner {
 public:
  CExternalRunner(const ExternalProgram& program, std::vector<std::string> inputNames,
                  std::vector<std::string> outputNames)
      : m_program(program), m_vInputNames(std::move(inputNames)), m_vOutputNames(std::move(outputNames)) {
    if (m_program.argv.empty() && m_program.shellCommand.empty())
      throw std::runtime_error("the external analysis has no command");
    if (!(m_program.timeoutSeconds >= 0.0))
      throw std::runtime_error("the timeout of the external analysis must be 0 (none) or positive");
    std::string why;
    if (!m_program.argv.empty()) {
      m_strPath = refhost::ResolveProgram(m_program.argv[0], &why);
      if (m_strPath.empty()) throw std::runtime_error("the analysis program " + why);
      m_strDescription = m_program.argv[0];
      for (std::size_t i = 1; i < m_program.argv.size(); ++i) m_strDescription += " " + m_program.argv[i];
    } else {
      m_strPath = "/bin/sh";
      m_strDescription = m_program.shellCommand;
    }
    if (m_program.workRoot.empty()) {
      std::string pattern = (fs::temp_directory_path() / "rbo-work-XXXXXX").string();
      if (!mkdtemp(pattern.data()))
        throw std::runtime_error("could not create a working folder in " + fs::temp_directory_path().string() + ": " +
                                 std::strerror(errno));
      m_root = pattern;
      m_bRemoveRoot = !m_program.keepWorkFolders;
      if (m_bRemoveRoot) {
        std::lock_guard<std::mutex> lock(WorkRoots().mutex);
        WorkRoots().paths.push_back(m_root);
      }
    } else {
      std::error_code ec;
      m_root = fs::absolute(m_program.workRoot, ec);
      fs::create_directories(m_root, ec);
      if (ec)
        throw std::runtime_error("could not create the working folder " + m_program.workRoot + ": " + ec.message());
    }
  }
  ~CExternalRunner() {
    if (!m_bRemoveRoot) return;
    {
      std::lock_guard<std::mutex> lock(WorkRoots().mutex);
      std::vector<fs::path>& paths = WorkRoots().paths;
      paths.erase(std::remove(paths.begin(), paths.end(), m_root), paths.end());
    }
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }
  CExternalRunner(const CExternalRunner&) = delete;
  CExternalRunner& operator=(const CExternalRunner&) = delete;

  void Run(const std::valarray<double>& x, std::valarray<double>& y) const {
    const int nWorker = refhost::WorkerNumber();
    const fs::path folder = WorkFolderBase(m_root) / ("worker-" + std::to_string(nWorker));
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) Fail(x, "could not create its working folder " + folder.string() + ": " + ec.message());
    const fs::path input = folder / m_program.inputFile, output = folder / m_program.outputFile;
    // A stale output of the previous point must not pass for this one's.
    fs::remove(output, ec);
    WriteInputs(x, input);

    std::vector<std::string> argv;
    if (!m_program.argv.empty()) {
      for (const std::string& a : m_program.argv)
        argv.push_back(a == "{input}"    ? input.string()
                       : a == "{output}" ? output.string()
                       : a == "{worker}" ? std::to_string(nWorker)
                                         : a);
    } else {
      argv = {"/bin/sh", "-c", m_program.shellCommand};
    }
    if (s_bStopping.load()) WaitForTheEnd();
    const pid_t pid = Spawn(m_strPath, argv, Environment(input, output, nWorker), folder);
    CRunningProgram running(pid);
    // A stop that came while the program was being started has not seen it.
    if (s_bStopping.load()) kill(-pid, SIGKILL);
    bool bEnded = false;
    try {
      bEnded = WaitForEnd(pid, m_program.timeoutSeconds);
    } catch (...) {
      EndGroupAndReap(pid);
      throw;
    }
    const int status = EndGroupAndReap(pid);
    running.Done();
    if (s_bStopping.load()) WaitForTheEnd();
    if (!bEnded) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%g", m_program.timeoutSeconds);
      Fail(x, std::string("did not finish within the timeout of ") + buf +
                  " s; it was stopped (raise \"timeout\" if it needs longer)" + StderrTail(folder));
    }
    if (WIFSIGNALED(status))
      Fail(x, std::string("was ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
                  strsignal(WTERMSIG(status)) + ")" + StderrTail(folder));
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      Fail(x, "exited with code " + std::to_string(WEXITSTATUS(status)) + StderrTail(folder));
    ReadOutputs(x, output, folder, y);
  }

 private:
  [[noreturn]] void Fail(const std::valarray<double>& x, const std::string& what) const {
    throw std::runtime_error("the analysis program (" + m_strDescription + ") " + what +
                             "\n  inputs: " + DescribeInputs(m_vInputNames, x));
  }

  void WriteInputs(const std::valarray<double>& x, const fs::path& input) const {
    std::string text;
    if (m_program.inputFormat == ExternalProgram::Format::kJson) {
      text = "{";
      for (std::size_t i = 0; i < x.size(); ++i)
        text += (i ? ", " : "") + nlohmann::json(m_vInputNames[i]).dump() + ": " + FormatValue(x[i]);
      text += "}\n";
    } else {
      for (std::size_t i = 0; i < x.size(); ++i) text += m_vInputNames[i] + " = " + FormatValue(x[i]) + "\n";
    }
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) Fail(x, "could not be given its inputs: writing " + input.string() + " failed");
  }

  void ReadOutputs(const std::valarray<double>& x, const fs::path& output, const fs::path& folder,
                   std::valarray<double>& y) const {
    std::uint64_t nSize = 0;
    const std::optional<std::string> text = ReadOutputFile(output, m_program.maxOutputBytes, &nSize);
    if (!text) Fail(x, "ended normally but wrote no output file " + m_program.outputFile + StderrTail(folder));
    if (nSize > m_program.maxOutputBytes)
      Fail(x, "wrote an output file " + m_program.outputFile + " of " + std::to_string(nSize) +
                  " bytes, more than the limit of " + std::to_string(m_program.maxOutputBytes) +
                  " bytes (raise \"max_output_mib\" if it is meant to be that large)");
    std::unordered_map<std::string, double> values;
    try {
      values = ParseOutputs(*text, m_program.outputFile);
    } catch (const std::runtime_error& e) {
      Fail(x, std::string("wrote an unreadable output: ") + e.what());
    }
    if (y.size() != m_vOutputNames.size()) y.resize(m_vOutputNames.size());
    for (std::size_t k = 0; k < m_vOutputNames.size(); ++k) {
      const auto it = values.find(m_vOutputNames[k]);
      if (it == values.end())
        Fail(x,
             "wrote no value for the response '" + m_vOutputNames[k] + "' in its output file " + m_program.outputFile);
      if (!std::isfinite(it->second))
        Fail(x, "gave the response '" + m_vOutputNames[k] + "' the non-finite value " + FormatValue(it->second));
      y[k] = it->second;
    }
  }

  ExternalProgram m_program;                ///< how to run the program
  std::vector<std::string> m_vInputNames;   ///< model variable names, in input order
  std::vector<std::string> m_vOutputNames;  ///< response names, in output order
  std::string m_strPath;                    ///< absolute path of the executable started
  std::string m_strDescription;             ///< the command as the user gave it, for messages
  fs::path m_root;                          ///< folder of the worker folders
  bool m_bRemoveRoot = false;               ///< the root is ours (temporary) and goes at the end
};

}  // namespace

namespace refhost {

void KillRunningPrograms() noexcept {
  for (std::atomic<pid_t>& slot : s_running) {
    const pid_t pid = slot.load();
    if (pid > 0) kill(-pid, SIGKILL);
  }
}

void StopExternalAnalyses() noexcept {
  s_bStopping.store(true);
  KillRunningPrograms();
  // The worker threads collect the killed programs; their folders go once
  // nothing runs in them any more.
  for (int i = 0; i < 400 && AnyProgramRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  try {
    std::lock_guard<std::mutex> lock(WorkRoots().mutex);
    for (const fs::path& root : WorkRoots().paths) {
      std::error_code ec;
      fs::remove_all(root, ec);
    }
  } catch (...) {
    // Out of memory or a broken lock: the folders stay; the process ends anyway.
  }
}

void SetWorkFolderTag(const std::string& tag) {
  std::lock_guard<std::mutex> lock(s_tagMutex);
  s_strWorkFolderTag = tag;
}

int WorkerNumber() {
  thread_local CWorkerSlot s_slot;
  if (s_slot.nNumber >= 0) return s_slot.nNumber;
  CWorkerPool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mutex);
  auto it = std::find(pool.inUse.begin(), pool.inUse.end(), false);
  if (it == pool.inUse.end()) it = pool.inUse.insert(pool.inUse.end(), false);
  *it = true;
  s_slot.nNumber = int(it - pool.inUse.begin());
  return s_slot.nNumber;
}

std::string ResolveProgram(const std::string& program, std::string* pWhy) {
  auto runnable = [](const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && access(p.c_str(), X_OK) == 0;
  };
  if (program.empty()) {
    *pWhy = "is empty";
    return "";
  }
  if (program.find('/') != std::string::npos) {
    std::error_code ec;
    const fs::path p = fs::absolute(program, ec);
    if (!fs::exists(p, ec)) {
      *pWhy = "'" + program + "' does not exist";
      return "";
    }
    if (!runnable(p)) {
      *pWhy = "'" + program + "' is not an executable file (chmod +x, or name its interpreter first)";
      return "";
    }
    return p.lexically_normal().string();
  }
  const char* pszPath = std::getenv("PATH");
  std::istringstream dirs(pszPath ? pszPath : "/usr/local/bin:/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path p = fs::path(dir.empty() ? "." : dir) / program;
    if (runnable(p)) {
      std::error_code ec;
      return fs::absolute(p, ec).lexically_normal().string();
    }
  }
  *pWhy = "'" + program + "' was not found on PATH";
  return "";
}

ModelFunction ExternalProgramModel(const ExternalProgram& program, const std::vector<std::string>& inputNames,
                                   const std::vector<std::string>& outputNames) {
  auto pRunner = std::make_shared<const CExternalRunner>(program, inputNames, outputNames);
  return [pRunner](const std::valarray<double>& x, std::valarray<double>& y) { pRunner->Run(x, y); };
}

}  // namespace refhost
