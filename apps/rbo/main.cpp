// rbo: evaluates designs under uncertainty from a problem file, on the
// library and its reference host.
//
//   rbo run [PROBLEM.json]     evaluate design points
//   rbo optimize [PROBLEM.json] reliability-based design optimisation
//   rbo check PROBLEM.json     report every mistake in a problem file
//   rbo help [COMMAND]         explain
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Cli.h"
#include "Commands.h"
#include "Ranks.h"
#include "rbo/RBO.h"

namespace rboapp {
namespace {

constexpr const char* kOverview = R"(rbo - reliability-based design optimisation: designs judged under uncertainty

usage: rbo COMMAND [options] [PROBLEM.json]

commands:
%s
Examples (the problem of examples/linear.json: g = R - S must stay >= 0):
  rbo run                                    # the embedded example, exact POF 0.02275 and 0.00135
  rbo run examples/linear.json --samples 100000 --parallel --out results.json
  rbo run examples/nonlinear.json --until-converged --samples 5000
  rbo check my-problem.json

A problem file is JSON (comments allowed):
  {
    "random_variables": [
      {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5, "design": true},
      {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}
    ],
    "responses": [{"name": "g", "lower": 0}],     // failure: g < 0
    "analysis": {"expressions": {"g": "R - S"}}    // or {"program": {"command": [...]}}
  }

`rbo help COMMAND` explains a command; docs/user-guide.md holds the whole
problem-file reference.  `rbo --version` shows the versions.
Exit codes: 0 done, 1 the evaluation failed, 2 bad command line, 3 bad problem file,
4 `optimize` found no optimum (its best point is not one, e.g. the start point),
5 `run` with a reliability method could not give every POF or missed its target c.o.v.
Runs too large for the memory are refused up front (limit: half the physical
memory, or RBO_MEMORY_LIMIT, e.g. RBO_MEMORY_LIMIT=8G).
)";

constexpr const char* kRunHelp = R"(Evaluates every design point of the problem (its "design_points", or else the
initial values) under uncertainty with the library's RBO method, and prints
one column per design point: the design variables, the objective, the
constraint value and, per random response, its mean, standard deviation and
probability of failure (POF: the fraction of samples outside its bounds), and
the fractions of samples that violate any bound or violate jointly.  The
objective and constraint rows appear when the problem has them.  A sampled POF
(methods 0, 1, 3, 4) comes with its 95% Wilson score interval: a POF of 0 from
N samples means below about 3.8/N, not safe.  A statistic that is not a
finite number (an overflow) is an error naming the response and the point.
Without a file it runs the embedded example (examples/linear.json).

Joint violation: the samples at which the responses with bounds fail
together; responses without bounds take no part.  First order (fo) gives the
product of those responses' POFs (it treats them as independent).

--log FILE appends a line with date, command line and version, and a line
naming the run, at the start of every command, then the library's records.
A log or --out file that cannot be written is an error with the system's
reason; --out naming a folder or a missing folder is reported before the run.

The same seed gives the same results, with or without --parallel: every
design point draws its samples from the seed (common random numbers), and
--parallel only spreads the analyses over worker threads.

Methods 2 to 4 (fo, surface-mc, surface-lhs) fit a response surface through
the points analysed so far: each design point is preceded by 2N analyses (N
random variables) with all means moved within one standard deviation, so
that the surface is determined there.

Reliability methods (--method form, sorm, is, subset) find small POFs with
few analyses in the standard normal space: form searches the design point
(the most probable failure point) and reports the reliability index beta,
the design point and the importance factors of the variables; sorm corrects
form for the curvature there; is samples around the design points until the
POF's coefficient of variation reaches --target-cov; subset runs subset
simulation.  They accept correlated random variables ("correlation" in the
file), which methods 0 to 4 refuse.  "at means" is the response at the means
of the random variables.  A POF a method could not give is "not found" and
the exit code is 5.  docs/reliability.md compares them.

--until-converged folds batches of --samples samples into running statistics,
each batch from its own random stream (seed, seed + 1, ...), and prints the
running mean, sd and POF after every batch with a 95% Wilson score interval
for each POF.  It stops when every POF's interval lies within --tol times the
POF (a response without bounds: its mean's interval within --tol times the
mean), or when --max-samples samples are spent.

Examples:
  rbo run examples/linear.json
  rbo run examples/linear.json --method montecarlo --samples 100000 --seed 7 --out results.csv
  rbo run examples/program.json --parallel 8
  rbo run examples/linear.json --until-converged --samples 2000 --tol 0.05
  rbo run examples/reliability/lognormal-resistance.json --method sorm
  rbo run examples/reliability/ten-variables.json --method is --target-cov 0.1
)";

constexpr const char* kOptimizeHelp = R"(Minimises the problem's objective over its independent design variables within
their bounds, subject to its constraints - which may bound the mean, standard
deviation or probability of failure of random responses.  Every batch of
design points the optimiser proposes is judged by the library with the
problem's RBO method (one batch holds a point and its finite-difference
steps, so --parallel analyses them together).  Prints one line per design
point proposed (objective, largest constraint violation, probabilities of
failure), then the optimum, its statistics and the number of analyses;
--verify-samples re-evaluates the optimum with a larger, fresh sample and
shows both estimates; --out writes the history (JSON or CSV).  Exit code 0
when the optimum satisfies every constraint, 1 when it does not, 4 when the
best point found is no optimum: the design never left its start point, or the
optimiser stopped where no constraint is active and the objective still falls
(a flat sampled gradient, a failed line search) - try another --optimizer,
more --samples, or --method fo first.

Methods: fo (2) needs a handful of analyses per design point and is exact
for responses linear in normal inputs; lhs (1) and montecarlo (0) sample
every design point (use thousands of samples; the optimiser then moves in
steps large enough for the probability to change).  sora (sequential
optimisation and reliability assessment) reaches the first-order reliability
optimum with hundreds of analyses: deterministic optimisations with the
probability constraints at shifted points, and inverse first-order searches
for the shifts; --refine then corrects the active constraints by importance
sampling until their POFs meet the targets (the exact-probability optimum),
and --verify-samples N checks them by Monte Carlo.  Exit code 0 when it
converged to a feasible design, 1 otherwise.

Examples:
  rbo optimize examples/linear.json --method fo
  rbo optimize examples/optimize/cantilever.json --method lhs --samples 20000 --verify-samples 200000
  rbo optimize examples/optimize/youn_choi.json --method fo --out history.csv
  rbo optimize examples/optimize/youn_choi.json --method sora --refine --out sora.json
)";

constexpr const char* kCheckHelp = R"(Reads each problem file and reports every mistake with its place - a JSON path
such as /random_variables/1/sd, or a line and column for a syntax error - and a
sentence on how to fix it.  Distribution parameters are checked by the library
itself, and its report is shown.  Nothing is run.  The exit code is 0 when
every file is fine, 3 otherwise.

Example:
  rbo check examples/nonlinear.json
)";

std::string Summaries() {
  std::string text;
  for (const Command& c : Commands()) {
    std::string name = c.name;
    name.resize(10, ' ');
    text += "  " + name + c.summary + "\n";
  }
  text += "  help      explain a command: rbo help run\n";
  return text;
}

const Command* Find(const std::string& name) {
  for (const Command& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

int Overview(std::FILE* stream) {
  std::fprintf(stream, kOverview, Summaries().c_str());
  return kExitOk;
}

int HelpFor(const Command& c) {
  std::printf("usage: %s\n\n%s", c.usage, c.help);
  if (c.optionsHelp) std::printf("\noptions (they override the problem file):\n%s", c.optionsHelp().c_str());
  return kExitOk;
}

int Version() {
  int major = 0, minor = 0, patch = 0;
  GetRBOVersion(&major, &minor, &patch);
  std::printf("rbo %d.%d.%d\nlibrary: RBO %d.%d.%d (librbo)\nhost:    reference host (librbohost)\nranks:   %s\n",
              major, minor, patch, major, minor, patch, RanksDescription().c_str());
  return kExitOk;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> s_commands = {
      {"run", "evaluate the design points of a problem: mean, sd and POF of every response",
       "rbo run [options] [PROBLEM.json]", kRunHelp, RunOptionsHelp, RunCommand},
      {"optimize", "minimise the objective subject to the constraints, probabilities of failure included",
       "rbo optimize [options] [PROBLEM.json]", kOptimizeHelp, OptimizeOptionsHelp, OptimizeCommand},
      {"check", "check problem files and report every mistake; nothing runs", "rbo check PROBLEM.json...", kCheckHelp,
       nullptr, CheckCommand},
  };
  return s_commands;
}

int ReportUsage(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "rbo %s: %s\n(see `rbo help %s`)\n", command.c_str(), message.c_str(), command.c_str());
  return kExitUsage;
}

}  // namespace rboapp

namespace rboapp {
namespace {

int Main(const std::vector<std::string>& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") return Overview(stdout);
  if (args[0] == "--version" || args[0] == "version") return Version();
  if (args[0] == "help") {
    if (args.size() == 1) return Overview(stdout);
    if (const Command* c = Find(args[1])) return HelpFor(*c);
    std::fprintf(stderr, "rbo help: there is no command \"%s\"\n\n", args[1].c_str());
    Overview(stderr);
    return kExitUsage;
  }
  const Command* c = Find(args[0]);
  if (!c) {
    std::fprintf(stderr, "rbo: there is no command \"%s\"%s\n(see `rbo --help`)\n", args[0].c_str(),
                 args[0].size() > 5 && args[0].compare(args[0].size() - 5, 5, ".json") == 0
                     ? "; to run a problem file, write `rbo run FILE`"
                     : "");
    return kExitUsage;
  }
  InstallSignalHandlers();
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const std::string& a : rest)
    if (a == "--help" || a == "-h") return HelpFor(*c);
  return c->run(rest);
}

}  // namespace
}  // namespace rboapp

int main(int argc, char** argv) {
  rboapp::StartRanks(&argc, &argv);
  const int nExitCode = rboapp::Main(std::vector<std::string>(argv + 1, argv + argc));
  return rboapp::EndRanks(nExitCode);
}
