// External analysis programs: the example, the file formats and the
// environment, one working folder per worker, each way a program can fail
// (reported with the point's inputs, no output file left behind), and what
// is left when the command is interrupted or killed: nothing running.
#include <signal.h>
#include <string.h>
#include <sys/resource.h>

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

// Whether a process has ended, waiting up to 20 s.  A killed orphan is reaped
// by init shortly after its death; until then it is a zombie ("Z").
bool Ended(pid_t pid) {
  for (int i = 0; i < 400; ++i) {
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
  const std::string example = Examples() + "/program.json", text = ReadText(example);
  const CliResult program = Run({"run", example, "--samples", "24", "--parallel", "2", "--out", "p.json"});
  ASSERT_EQ(program.exitCode, 0) << program.err;
  const std::string expressions =
      Write("e.json", text.substr(0, text.find("\"analysis\":")) + R"("analysis": {"expressions": {"g": "R - S"}}})");
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
  Script(*this, "model.sh",
         R"sh(case "$(basename "$PWD")" in worker-*) ;; *) echo "not in a worker folder" >&2; exit 7;; esac
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
  const char* name;                    ///< test name
  std::string body;                    ///< the script
  std::string options;                 ///< further program options
  std::vector<std::string> fragments;  ///< parts of the error message
};

std::ostream& operator<<(std::ostream& os, const Failure& f) { return os << f.name; }

const Failure kFailures[] = {
    // The program's standard error is shown.
    {"ExitCode",
     "echo 'solver: matrix is singular' >&2; exit 3",
     "",
     {"exited with code 3", "solver: matrix is singular"}},
    {"Signal", "kill -9 $$", "", {"was ended by signal 9"}},
    {"Timeout", "sleep 30", R"(, "timeout": 0.5)", {"did not finish within the timeout of 0.5 s"}},
    {"NoOutputFile", "exit 0", "", {"wrote no output file outputs.txt"}},
    {"UnreadableOutput", "echo 'g = banana' > outputs.txt", "", {"unreadable line 1: \"g = banana\""}},
    {"BadJsonOutput", "echo '{\"g\": 1' > outputs.txt", "", {"is not valid JSON"}},
    {"MissingResponse", "echo 'h = 1' > outputs.txt", "", {"wrote no value for the response 'g'"}},
    {"NonFiniteOutput", "echo 'g = nan' > outputs.txt", "", {"the non-finite value"}},
    {"OutputOverItsLimit",
     "head -c 2000 /dev/zero > outputs.txt",
     R"(, "max_output_mib": 0.001)",
     {"wrote an output file outputs.txt of 2000 bytes, more than the limit of 1048 bytes"}},
};

class FailingProgram : public CliTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailingProgram, ReportedWithTheInputsAndNoOutputFile) {
  const Failure& f = GetParam();
  Script(*this, "model.sh", f.body);
  const std::string problem = Write("p.json", ProgramProblem(R"(["{dir}/model.sh"])", f.options));
  const CliResult r = Run({"run", problem, "--out", "r.json"});
  EXPECT_EQ(r.exitCode, 1);
  ExpectMentions(r.err, f.fragments);
  // The first point failed, and the run stopped.
  ExpectMentions(r.err, {"analysis point 0", "inputs: R = ", ", S = "});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(FilesExcept({"model.sh", "p.json"}), std::vector<std::string>{});  // no output file, no working folder
  EXPECT_LT(r.seconds, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingProgram, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<Failure>& p) { return std::string(p.param.name); });

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

// Waits up to 20 s for the pid files of both workers' programs in the
// scratch folder; returns the pids found.
std::vector<pid_t> WaitForPids(const CliTest& t, const std::string& prefix) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 800 && pids.size() < 2; ++i) {
    pids.clear();
    for (const char* worker : {"0", "1"}) {
      const std::string text = ReadText(t.dir / (prefix + worker));
      if (!text.empty() && text.back() == '\n') pids.push_back(pid_t(std::stol(text)));
    }
    if (pids.size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return pids;
}

// The problem of a slow program on two workers; body runs in the worker
// folder with the scratch folder as $1.
std::string SlowProblem(const CliTest& t, const std::string& body, const std::string& options = "") {
  Script(t, "model.sh", body);
  return t.Write("p.json", ProgramProblem(R"(["{dir}/model.sh", "{dir}"])", options));
}

struct Signal {
  int number;  ///< the signal sent
  bool bKeep;  ///< keep_workdir set
};

class Interrupt : public CliTest, public ::testing::WithParamInterface<Signal> {};

// A signal stops the analysis programs, including what they started (they
// run in process groups of their own, out of the terminal's reach), and
// leaves neither the output file nor the temporary work folder (unless it
// is to be kept); the command ends by the signal itself.
TEST_P(Interrupt, StopsTheProgramsAndLeavesNothingBehind) {
  const std::string problem = SlowProblem(*this, R"sh(sleep 30 &
echo $! > "$1/child-$RBO_WORKER"
echo $$ > "$1/program-$RBO_WORKER"
wait)sh",
                                          GetParam().bKeep ? R"(, "keep_workdir": true)" : "");
  const pid_t rbo = Start({"run", problem, "--parallel", "2", "--out", "r.json"});
  ASSERT_GT(rbo, 0);
  const std::vector<pid_t> programs = WaitForPids(*this, "program-");
  kill(rbo, GetParam().number);
  int nSignal = 0;
  const CliResult r = Wait(rbo, &nSignal);
  ASSERT_EQ(programs.size(), 2u) << r.err;
  EXPECT_EQ(nSignal, GetParam().number) << r.err;
  std::vector<pid_t> all = WaitForPids(*this, "child-");
  all.insert(all.end(), programs.begin(), programs.end());
  EXPECT_EQ(all.size(), 4u);
  for (pid_t pid : all) EXPECT_TRUE(Ended(pid)) << pid << " still runs";
  const std::vector<std::string> left =
      FilesExcept({"model.sh", "p.json", "child-0", "child-1", "program-0", "program-1"});
  if (GetParam().bKeep) {
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(fs::is_directory(dir / left[0] / "worker-1")) << left[0];
  } else {
    EXPECT_EQ(left, std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt,
                         ::testing::Values(Signal{SIGINT, false}, Signal{SIGTERM, false}, Signal{SIGHUP, false},
                                           Signal{SIGQUIT, false}, Signal{SIGINT, true}),
                         [](const ::testing::TestParamInfo<Signal>& p) {
                           return std::string(sigabbrev_np(p.param.number)) + (p.param.bKeep ? "KeepingTheFolder" : "");
                         });

// Killed outright, the command cannot clean up, but its programs (started
// on both the calling and a helper thread) die with it.
TEST_F(ExternalProgram, ProgramsDieWithAKilledCommand) {
  const std::string problem = SlowProblem(*this, "echo $$ > \"$1/program-$RBO_WORKER\"\nexec sleep 30");
  const pid_t rbo = Start({"run", problem, "--parallel", "2"});
  ASSERT_GT(rbo, 0);
  const std::vector<pid_t> programs = WaitForPids(*this, "program-");
  kill(rbo, SIGKILL);
  Wait(rbo);
  ASSERT_EQ(programs.size(), 2u);
  for (pid_t pid : programs) EXPECT_TRUE(Ended(pid)) << "the program " << pid << " outlived the command";
}

// Runs the command and gives its peak resident memory in KiB too.
CliResult RunMeasured(const CliTest& t, const std::vector<std::string>& args, long* pPeakKiB) {
  CliResult r;
  const pid_t pid = t.Start(args);
  if (pid < 0) return r;
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  *pPeakKiB = usage.ru_maxrss;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.err = ReadText(t.dir / ".stderr");
  return r;
}

struct Flood {
  const char* name;      ///< test name
  std::string body;      ///< the script
  std::string fragment;  ///< part of the error message
};

std::ostream& operator<<(std::ostream& os, const Flood& f) { return os << f.name; }

const Flood kFloods[] = {
    // A sparse file: 2 GiB long, no disk used.
    {"TwoGigabyteOutputFile", "truncate -s 2G outputs.txt",
     "wrote an output file outputs.txt of 2147483648 bytes, more than the limit of 67108864 bytes"},
    {"FiftyMegabytesOfStderr", "yes 'solver: iterating' | head -n 2800000 >&2; echo 'solver: diverged' >&2; exit 3",
     "    solver: diverged\n  inputs: R = "},
};

class FloodingProgram : public CliTest, public ::testing::WithParamInterface<Flood> {};

// The command's peak memory grows by less than 16 MiB over that of a run
// whose program fails at once: the flood is not read into memory.
TEST_P(FloodingProgram, IsReportedWithoutReadingTheFlood) {
  const std::string problem = Write("p.json", ProgramProblem(R"(["{dir}/model.sh"])"));
  Script(*this, "model.sh", "exit 3");
  long baseKiB = 0, floodKiB = 0;
  const CliResult base = RunMeasured(*this, {"run", problem, "--quiet"}, &baseKiB);
  ASSERT_EQ(base.exitCode, 1) << base.err;
  Script(*this, "model.sh", GetParam().body);
  const CliResult r = RunMeasured(*this, {"run", problem, "--quiet"}, &floodKiB);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(GetParam().fragment), std::string::npos) << r.err;
  EXPECT_LT(floodKiB - baseKiB, 16 * 1024) << "peak memory " << baseKiB << " KiB, with the flood " << floodKiB;
}

INSTANTIATE_TEST_SUITE_P(Cases, FloodingProgram, ::testing::ValuesIn(kFloods),
                         [](const ::testing::TestParamInfo<Flood>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace clitest
