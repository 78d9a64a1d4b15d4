// External analysis programs: the example, the file formats and the
// environment, one working folder per worker, and each way a program can
// fail (reported with the point's inputs, no output file left behind).
#include <signal.h>

#include <thread>

#include "cli/CliHarness.h"

namespace clitest {
namespace {

// The linear example computed by a program; g is read back from its output.
std::string ProgramProblem(const std::string& command, const std::string& options = "") {
  return LinearProblem(R"({"program": {"command": )" + command + options + "}}", R"("samples": 8,)");
}

// The scratch folder's script with the given body.
std::string Script(const CliTest& t, const std::string& name, const std::string& body) {
  return t.Write(name, "#!/bin/sh\n" + body + "\n", true);
}

// Whether a process has ended, waiting up to 5 s.  A killed orphan is reaped
// by init shortly after its death; until then it is a zombie ("Z").
bool Ended(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class ExternalProgram : public CliTest {};

// The program computes R - S from the inputs written with 17 digits, and
// writes it back with 17 digits: the results equal those of the expression.
TEST_F(ExternalProgram, ExampleEqualsTheSameProblemWithAnExpression) {
  const CliResult program = Run({"run", Examples() + "/program.json", "--samples", "24", "--parallel", "2", "--out", "p.json"});
  ASSERT_EQ(program.exitCode, 0) << program.err;
  const std::string expressions = Write("e.json", R"({
    "random_variables": [
      {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5, "design": true, "lower": 5, "upper": 20},
      {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}
    ],
    "responses": [{"name": "g", "lower": 0}],
    "objective": {"minimize": {"R": 1}},
    "method": "lhs", "seed": 1,
    "analysis": {"expressions": {"g": "R - S"}}})");
  const CliResult expr = Run({"run", expressions, "--samples", "24", "--out", "e.json"});
  ASSERT_EQ(expr.exitCode, 0) << expr.err;
  EXPECT_EQ(ReadJson("p.json")["points"], ReadJson("e.json")["points"]);
}

TEST_F(ExternalProgram, JsonInputAndOutputEnvironmentAndPlaceholders) {
  // The input is JSON; RBO_INPUT names it; {output} is the output file;
  // the worker number (0 on a serial run) comes back as g's value.
  Script(*this, "model.sh", R"sh(grep -q '^{"R": ' inputs.txt || { echo "inputs.txt is not JSON" >&2; exit 4; }
test "$RBO_INPUT" = "$PWD/inputs.txt" || { echo "RBO_INPUT is $RBO_INPUT" >&2; exit 5; }
test "$1" = "$RBO_OUTPUT" || { echo "{output} is $1" >&2; exit 6; }
printf '{"g": %s, "extra": 1}\n' "$RBO_WORKER" > "$1")sh");
  const std::string problem =
      Write("p.json", ProgramProblem(R"(["{dir}/model.sh", "{output}"])", R"(, "input_format": "json")"));
  const CliResult r = Run({"run", problem, "--out", "r.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json g = ReadJson("r.json")["points"][0]["responses"]["g"];
  EXPECT_EQ(g["mean"].get<double>(), 0.0);
  EXPECT_EQ(g["sd"].get<double>(), 0.0);
}

TEST_F(ExternalProgram, EachParallelWorkerHasAFolderOfItsOwn) {
  // Each run checks that it is alone in its folder (a marker file), stays a
  // while so that both workers take points, and writes g = 1.
  Script(*this, "model.sh", R"sh(case "$(basename "$PWD")" in worker-*) ;; *) echo "not in a worker folder" >&2; exit 7;; esac
if [ -e busy ]; then echo "two runs share $PWD" >&2; exit 8; fi
touch busy; sleep 0.05; rm busy
echo "g = 1" > outputs.txt)sh");
  const std::string problem = Write("p.json", ProgramProblem(R"(["{dir}/model.sh"])", R"(, "workdir": "work")"));
  const CliResult r = Run({"run", problem, "--samples", "16", "--parallel", "2", "--out", "r.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadJson("r.json")["points"][0]["responses"]["g"]["mean"].get<double>(), 1.0);
  EXPECT_TRUE(fs::is_directory(dir / "work" / "worker-0"));
  EXPECT_TRUE(fs::is_directory(dir / "work" / "worker-1"));
  EXPECT_FALSE(fs::exists(dir / "work" / "worker-2"));
}

struct Failure {
  const char* name;      ///< test name
  std::string body;      ///< the script
  std::string options;   ///< further program options
  std::string fragment;  ///< part of the error message
};

std::ostream& operator<<(std::ostream& os, const Failure& f) { return os << f.name; }

const Failure kFailures[] = {
    {"ExitCode", "echo 'solver: matrix is singular' >&2; exit 3", "", "exited with code 3"},
    {"Signal", "kill -9 $$", "", "was ended by signal 9"},
    {"Timeout", "sleep 30", R"(, "timeout": 0.5)", "did not finish within the timeout of 0.5 s"},
    {"NoOutputFile", "exit 0", "", "wrote no output file outputs.txt"},
    {"UnreadableOutput", "echo 'g = banana' > outputs.txt", "", "unreadable line 1: \"g = banana\""},
    {"BadJsonOutput", "echo '{\"g\": 1' > outputs.txt", "", "is not valid JSON"},
    {"MissingResponse", "echo 'h = 1' > outputs.txt", "", "wrote no value for the response 'g'"},
    {"NonFiniteOutput", "echo 'g = nan' > outputs.txt", "", "the non-finite value"},
};

class FailingProgram : public CliTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailingProgram, ReportedWithTheInputsAndNoOutputFile) {
  const Failure& f = GetParam();
  Script(*this, "model.sh", f.body);
  const std::string problem = Write("p.json", ProgramProblem(R"(["{dir}/model.sh"])", f.options));
  const CliResult r = Run({"run", problem, "--out", "r.json"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(f.fragment), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("analysis point 0"), std::string::npos) << r.err;  // the first point failed, and the run stopped
  EXPECT_NE(r.err.find("inputs: R = "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(", S = "), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(FilesExcept({"model.sh", "p.json"}), std::vector<std::string>{});  // no output file, no working folder
  EXPECT_LT(r.seconds, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingProgram, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<Failure>& p) { return std::string(p.param.name); });

TEST_F(ExternalProgram, StandardErrorOfAFailedProgramIsShown) {
  Script(*this, "model.sh", "echo 'solver: matrix is singular' >&2; exit 3");
  const CliResult r = Run({"run", Write("p.json", ProgramProblem(R"(["{dir}/model.sh"])")), "--quiet"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("solver: matrix is singular"), std::string::npos) << r.err;
}

// A timeout kills the program's whole process group, not only the program.
TEST_F(ExternalProgram, TimeoutKillsWhatTheProgramStarted) {
  Script(*this, "model.sh", "sleep 30 &\necho $! > \"$RBO_WORKER-child.pid\"\nwait");
  const std::string problem =
      Write("p.json", ProgramProblem(R"(["{dir}/model.sh"])", R"(, "timeout": 0.3, "workdir": "{dir}")"));
  const CliResult r = Run({"run", problem, "--quiet"});
  EXPECT_EQ(r.exitCode, 1);
  const std::string pidText = ReadText(dir / "worker-0" / "0-child.pid");
  ASSERT_FALSE(pidText.empty()) << r.err;
  const pid_t child = pid_t(std::stol(pidText));
  EXPECT_TRUE(Ended(child)) << "the program's child " << child << " still runs";
}

// Ctrl-C stops the analysis programs too (they run in process groups of
// their own, out of the terminal's reach) and leaves no output file.
TEST_F(ExternalProgram, InterruptStopsTheProgramsAndLeavesNoOutput) {
  Script(*this, "model.sh", "sleep 30 &\necho $! > \"$RBO_WORKER-child.pid\"\nwait");
  const std::string problem = Write("p.json", ProgramProblem(R"(["{dir}/model.sh"])", R"(, "workdir": "{dir}")"));
  const pid_t rbo = Start({"run", problem, "--out", "r.json"});
  ASSERT_GT(rbo, 0);
  const fs::path pidFile = dir / "worker-0" / "0-child.pid";
  for (int i = 0; i < 200 && ReadText(pidFile).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const std::string pidText = ReadText(pidFile);
  ASSERT_FALSE(pidText.empty());
  kill(rbo, SIGINT);
  int nSignal = 0;
  const CliResult r = Wait(rbo, &nSignal);
  EXPECT_EQ(nSignal, SIGINT);
  EXPECT_LT(r.seconds, 10.0);
  const pid_t child = pid_t(std::stol(pidText));
  EXPECT_TRUE(Ended(child)) << "the program's child " << child << " still runs";
  EXPECT_EQ(FilesExcept({"model.sh", "p.json", "worker-0"}), std::vector<std::string>{});
}

}  // namespace
}  // namespace clitest
