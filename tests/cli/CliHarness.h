// Runs the real `rbo` executable in a scratch folder and collects its exit
// code and output, for the tests of the command.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/Numbers.h"

extern char** environ;

namespace clitest {

namespace fs = std::filesystem;
using json = nlohmann::json;

using testsupport::Phi;

/// What one run of the command gave.
struct CliResult {
  int exitCode = -1;     ///< exit code (-1: ended by a signal)
  std::string out;       ///< standard output
  std::string err;       ///< standard error
  double seconds = 0.0;  ///< wall time
};

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string Examples() { return RBO_EXAMPLES_DIR; }

/// Expects each of present in text and none of absent.
inline void ExpectMentions(const std::string& text, const std::vector<std::string>& present,
                           const std::vector<std::string>& absent = {}) {
  for (const std::string& p : present) EXPECT_NE(text.find(p), std::string::npos) << "no \"" << p << "\" in\n" << text;
  for (const std::string& a : absent) EXPECT_EQ(text.find(a), std::string::npos) << "\"" << a << "\" in\n" << text;
}

/// A scratch folder per test, and the command run in it.
class CliTest : public ::testing::Test {
 public:
  fs::path dir;  ///< the scratch folder, removed after the test

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "rbo-cli-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  /// Starts `rbo args...` in the scratch folder, with the extra environment
  /// variables ("NAME=value"); returns its pid (-1 on failure).
  pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) const {
    std::vector<std::string> argv = {RBO_CLI_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    const std::string outPath = (dir / ".stdout").string(), errPath = (dir / ".stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Temporary folders (an external program's work root) go to the
    // scratch folder too, so that a leftover shows.
    std::vector<std::string> env = extraEnv;
    env.push_back("TMPDIR=" + dir.string());
    for (char** e = environ; e && *e; ++e)
      if (std::string(*e).rfind("TMPDIR=", 0) != 0) env.push_back(*e);
    std::vector<char*> cenv;
    for (const std::string& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      return -1;
    }
    return pid;
  }

  /// Waits for a started command and collects what it gave; *pSignal gets
  /// the signal that ended it (0: it exited).
  CliResult Wait(pid_t pid, int* pSignal = nullptr) const {
    CliResult r;
    if (pid < 0) return r;
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (pSignal) *pSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.out = ReadText(dir / ".stdout");
    r.err = ReadText(dir / ".stderr");
    fs::remove(dir / ".stdout");
    fs::remove(dir / ".stderr");
    return r;
  }

  /// Runs `rbo args...` in the scratch folder.
  CliResult Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) const {
    return Wait(Start(args, extraEnv));
  }

  /// Writes a file into the scratch folder; returns its path.
  std::string Write(const std::string& name, const std::string& text, bool bExecutable = false) const {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << text;
    if (bExecutable) fs::permissions(p, fs::perms::owner_all, fs::perm_options::add);
    return p.string();
  }

  json ReadJson(const std::string& name) const { return json::parse(ReadText(dir / name)); }

  /// Files in the scratch folder other than the given ones (leftovers).
  std::vector<std::string> FilesExcept(const std::vector<std::string>& expected) const {
    std::vector<std::string> extra;
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) extra.push_back(name);
    }
    return extra;
  }
};

/// A number as the console tables print it.
inline std::string Short(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

/// The cells of the table row whose label starts the line (labels may hold spaces).
inline std::vector<std::string> TableRow(const std::string& table, const std::string& label) {
  std::istringstream lines(table);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, label.size(), label) != 0 || line.size() == label.size() || line[label.size()] != ' ') continue;
    std::istringstream cells(line.substr(label.size()));
    std::vector<std::string> out;
    for (std::string c; cells >> c;) out.push_back(c);
    return out;
  }
  return {};
}

/// Splits CSV text (no quoting: the command writes plain names and numbers).
inline std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::istringstream cellStream(line);
    for (std::string cell; std::getline(cellStream, cell, ',');) cells.push_back(cell);
    if (!line.empty() && line.back() == ',') cells.push_back("");
    rows.push_back(cells);
  }
  return rows;
}

/// The linear example's problem with other settings: R ~ N(muR, 1.5) (a
/// design variable), S ~ N(5, 2), g = R - S >= 0, POF <= 0.00135.
inline std::string LinearProblem(const std::string& analysis, const std::string& extra = "") {
  return R"({
  "random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5, "design": true, "lower": 5, "upper": 20},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}
  ],
  "responses": [{"name": "g", "lower": 0}],
  "constraints": [{"subject": "g.pof", "upper": 0.00135, "scale": 0.00135}],
  "objective": {"minimize": {"R": 1}},
  "method": "lhs", "samples": 2000, "seed": 11,)" +
         extra + R"(
  "analysis": )" +
         analysis + "\n}\n";
}

}  // namespace clitest
