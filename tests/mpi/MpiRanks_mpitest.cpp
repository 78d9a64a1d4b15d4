// `mpirun -n 3 rbo ...`: the same results as one process, bit for bit, for
// sampling, surface, reliability and optimisation runs with expressions and
// an external program; a failing analysis on a serving rank and a rank that
// dies end the run with an error, never a hang.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Examples() { return RBO_EXAMPLES_DIR; }

struct Result {
  int exitCode = -1;  ///< 124: the time limit ended it
  std::string err;
};

class MpiRanks : public ::testing::Test {
 protected:
  fs::path dir;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "rbo-mpi-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  /// Runs `rbo args` in the scratch folder, under `mpirun -n ranks` when
  /// ranks > 0, within a time limit.
  Result Run(int ranks, const std::string& args) const {
    std::string command = "cd '" + dir.string() + "' && TMPDIR='" + dir.string() + "' timeout -k 5 60 ";
    if (ranks > 0)
      command += std::string(RBO_MPIEXEC) + " --oversubscribe --allow-run-as-root -n " + std::to_string(ranks) + " ";
    command += std::string(RBO_CLI_EXE) + " " + args + " > out.txt 2> err.txt";
    const int status = std::system(command.c_str());
    Result r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = ReadText(dir / "err.txt");
    return r;
  }

  std::string Write(const std::string& name, const std::string& text, bool bExecutable = false) const {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << text;
    if (bExecutable) fs::permissions(p, fs::perms::owner_all, fs::perm_options::add);
    return p.string();
  }

  /// The results file without its timings (the only fields that may differ).
  json Results(const std::string& name) const {
    json j = json::parse(ReadText(dir / name));
    DropTimings(j);
    return j;
  }

  static void DropTimings(json& j) {
    if (j.is_object()) j.erase("seconds");
    if (j.is_structured())
      for (json& child : j) DropTimings(child);
  }
};

TEST_F(MpiRanks, SameResultsAsOneProcess) {
  const std::string e = Examples();
  const char* const cases[] = {
      "run {e}/linear.json --samples 20000",                              // sampling, expressions
      "run {e}/program.json",                                             // sampling, external program
      "run {e}/program.json --parallel 2",                                // two threads per rank
      "run {e}/linear.json --method fo",                                  // surface
      "run {e}/reliability/cubic.json --method form",                     // reliability
      "run {e}/reliability/cubic.json --method is --max-analyses 20000",  // importance sampling
      "optimize {e}/linear.json --samples 2000",                          // optimisation, sampling
      "optimize {e}/optimize/short_column.json --method sora",            // optimisation, reliability
  };
  for (const char* c : cases) {
    std::string args = c;
    args.replace(args.find("{e}"), 3, e);
    SCOPED_TRACE(args);
    const Result one = Run(0, args + " --quiet --out one.json");
    ASSERT_EQ(one.exitCode, 0) << one.err;
    const Result three = Run(3, args + " --quiet --out three.json");
    ASSERT_EQ(three.exitCode, 0) << three.err;
    const json diff = json::diff(Results("one.json"), Results("three.json"));
    EXPECT_TRUE(diff.empty()) << diff.dump();
  }
}

TEST_F(MpiRanks, SkippedAnalysesAreTheSameOnRanks) {
  Write("p.json", R"x({"random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
  "responses": [{"name": "g", "lower": 0}], "method": "montecarlo", "samples": 5000,
  "on_failure": {"policy": "skip", "max_skipped_fraction": 0.2},
  "analysis": {"expressions": {"g": "R - S + 0 * sqrt(8 - S)"}}})x");
  ASSERT_EQ(Run(0, "run p.json --quiet --out one.json").exitCode, 0);
  ASSERT_EQ(Run(3, "run p.json --quiet --out three.json").exitCode, 0);
  const json one = Results("one.json");
  EXPECT_GT(one["points"][0]["skipped"].get<int>(), 0);
  EXPECT_EQ(one, Results("three.json"));
}

TEST_F(MpiRanks, FailingAnalysisNamesPointRankAndHost) {
  Write("p.json", R"x({"random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
  "responses": [{"name": "g", "lower": 0}], "method": "montecarlo", "samples": 2000,
  "analysis": {"expressions": {"g": "R - S + 0 * sqrt(8 - S)"}}})x");
  const Result one = Run(0, "run p.json --quiet");
  const Result three = Run(3, "run p.json --quiet");
  EXPECT_NE(three.exitCode, 0);
  EXPECT_NE(three.exitCode, 124) << "the run hung";
  EXPECT_NE(three.err.find("on rank "), std::string::npos) << three.err;
  EXPECT_NE(three.err.find(", host "), std::string::npos) << three.err;
  // The point named is the one a single process names.
  const std::size_t at = one.err.find("analysis point ");
  ASSERT_NE(at, std::string::npos) << one.err;
  const std::string point = one.err.substr(at, one.err.find(')', at) - at);
  EXPECT_NE(three.err.find(point), std::string::npos) << point << "\n" << three.err;
}

TEST_F(MpiRanks, RankKilledByItsAnalysisEndsTheRun) {
  const std::string program = Write("kill_parent.sh", "#!/bin/sh\nkill -9 $PPID\nsleep 30\n", true);
  Write("p.json", R"({"random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
  "responses": [{"name": "g", "lower": 0}], "method": "lhs", "samples": 20,
  "analysis": {"program": {"command": [")" +
                      program + R"("], "timeout": 60}}})");
  const Result r = Run(3, "run p.json --quiet");
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.exitCode, 124) << "the run hung";
}

TEST_F(MpiRanks, WorkFoldersPerRank) {
  const std::string e = Examples();
  Write("p.json", R"({"random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
  "responses": [{"name": "g", "lower": 0}], "method": "lhs", "samples": 40,
  "analysis": {"program": {"command": [")" +
                      e + R"(/programs/limit_state.sh"], "workdir": "work"}}})");
  ASSERT_EQ(Run(3, "run p.json --quiet").exitCode, 0);
  EXPECT_TRUE(fs::is_directory(dir / "work" / "rank-1" / "worker-0"));
  EXPECT_TRUE(fs::is_directory(dir / "work" / "rank-2" / "worker-0"));
  EXPECT_FALSE(fs::exists(dir / "work" / "worker-0"));
}

}  // namespace
