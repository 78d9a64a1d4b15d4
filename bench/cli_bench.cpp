// The `rbo` command's own overhead per analysis point, on the linear example
// (examples/linear.json: 2 design points) with 100,000 Latin hypercube
// samples per design point, so 200,000 analysis points:
//
//   BM_LibraryOnly      the same problem through AnalysisVerif in this
//                       process, the analysis a compiled function: the
//                       library's sampling and folding, the host's runner;
//   BM_RboRun/100000    `rbo run examples/linear.json --samples 100000`,
//                       the analysis the expression "R - S" (muparser);
//   BM_RboRun/1         the same with 1 sample: starting the process,
//                       reading the problem, writing the table.
//
// Overhead per analysis point = (BM_RboRun/100000 - BM_RboRun/1 -
// BM_LibraryOnly) / 200,000; the items/s counters give the rates.  The
// executable is found beside the benchmark's folder (build/rbo for
// build/bench/rbo_bench), or at $RBO_EXE.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <valarray>
#include <vector>

#include "foundation/ProcessState.h"
#include "rbo/RBO.h"
#include "rbo/host/ReferenceHost.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kSamples = 100000;
constexpr int kDesignPoints = 2;

std::string Executable() {
  if (const char* p = std::getenv("RBO_EXE")) return p;
  std::error_code ec;
  return (fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path() / "rbo").string();
}

std::string Example() { return (fs::path(__FILE__).parent_path().parent_path() / "examples" / "linear.json").string(); }

void BM_LibraryOnly(benchmark::State& state) {
  rbo::ResetProcessState();
  refhost::SetLogEcho(false);
  refhost::ProblemBuilder b;
  b.AddRandomDesignVariable("R", CRandVar::kNormal, 10.0, 1.5);
  b.AddRandomParameter("S", CRandVar::kNormal, 5.0, 2.0);
  const refhost::ResponseRef g = b.AddRandomResponse("g");
  b.AddConstraint(g.value, -1, 0.0);
  b.AddConstraint(g.pof, 1, 0.00135, 0.00135);
  b.AddObjectiveTerm({kTypeIndDV, 0}, 1.0);
  auto db = b.Build();
  refhost::SetRBOMethod(1, kSamples);
  refhost::SetSeed(1);
  refhost::SetAnalysis(
      b.Analysis([](const std::valarray<double>& x, std::valarray<double>& y) { y[0] = x[0] - x[1]; }));
  for (auto _ : state) {
    CMatrix<double> points = b.DesignMatrix({{10.0}, {12.5}});
    std::valarray<double> adjustA, adjustB, objective, constraint;
    std::string s1, s2;
    CMatrix<double> designPoints, designResponses;
    AnalysisVerif(db.get(), points, adjustA, adjustB, 0, 0, 0, 0, s1, s2, objective, constraint, designPoints,
                  designResponses, false);
    benchmark::DoNotOptimize(designResponses(g.pof.index, 0));
  }
  refhost::SetAnalysis(nullptr);
  refhost::SetLogEcho(true);
  state.SetItemsProcessed(state.iterations() * kDesignPoints * kSamples);
  state.SetLabel("items = analysis points");
}
BENCHMARK(BM_LibraryOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RboRun(benchmark::State& state) {
  const std::string exe = Executable(), example = Example(), samples = std::to_string(state.range(0));
  if (access(exe.c_str(), X_OK) != 0) {
    state.SkipWithError(("no rbo executable at " + exe + " (set RBO_EXE)").c_str());
    return;
  }
  std::vector<std::string> args = {exe, "run", example, "--samples", samples, "--quiet"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t pid = -1;
    if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start rbo");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("rbo run failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  state.SetItemsProcessed(state.iterations() * kDesignPoints * state.range(0));
  state.SetLabel("items = analysis points");
}
BENCHMARK(BM_RboRun)->Arg(1)->Arg(kSamples)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
