// Failure policies of `rbo run`: skip folds the statistics over the analyses
// that succeeded (checked against the truncated normal), retry reruns a
// failed point, and the limit on skipped analyses stops the run.
#include "cli/CliHarness.h"

namespace clitest {
namespace {

// g = R - S, R ~ N(10, 1.5), S ~ N(5, 2); the analysis fails (nan from the
// square root) wherever S > cut.
std::string SkipProblem(double cut, int samples, const std::string& policy) {
  return R"({"random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
  "responses": [{"name": "g", "lower": 0}],
  "method": "montecarlo", "samples": )" +
         std::to_string(samples) + R"(, "seed": 3, "on_failure": )" + policy +
         R"x(, "analysis": {"expressions": {"g": "R - S + 0 * sqrt()x" + std::to_string(cut) + R"x( - S)"}}})x";
}

// A program that fails every other call in its working folder.
const char* kFlakyProgram = R"(#!/bin/sh
if [ ! -f seen ]; then touch seen; exit 3; fi
rm -f seen
exec awk -F'=' '{ gsub(/[ \t]/, "", $1); v[$1] = $2 + 0 } END { printf "g = %.17g\n", v["R"] - v["S"] > "outputs.txt" }' inputs.txt
)";

std::string ProgramProblem(const std::string& program) {
  return R"({"random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}],
  "responses": [{"name": "g", "lower": 0}],
  "method": "lhs", "samples": 30, "seed": 2,
  "analysis": {"program": {"command": [")" +
         program + R"("]}}})";
}

using FailurePolicyRun = CliTest;

// Leaving out S > c conditions the sample on S <= c: E[g | S <= c] =
// 10 - (5 - 2 phi(a) / Phi(a)), a = (c - 5) / 2, and the skipped count is
// binomial with p = 1 - Phi(a).  Tolerances: 5 standard errors.
TEST_F(FailurePolicyRun, SkipGivesTheStatisticsConditionalOnSuccess) {
  struct Case {
    double cut;
    int samples;
  };
  const Case cases[] = {{8.0, 20000}, {7.0, 20000}, {9.0, 10000}};
  for (const Case& c : cases) {
    SCOPED_TRACE("cut " + std::to_string(c.cut));
    Write("p.json", SkipProblem(c.cut, c.samples, R"({"policy": "skip", "max_skipped_fraction": 0.5})"));
    const CliResult r = Run({"run", "p.json", "--quiet", "--out", "r.json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json j = json::parse(ReadText(dir / "r.json"));
    const double a = (c.cut - 5.0) / 2.0, pFail = 1.0 - Phi(a);
    const double phi = std::exp(-0.5 * a * a) / std::sqrt(2.0 * M_PI);
    const double conditionalMean = 10.0 - (5.0 - 2.0 * phi / Phi(a));
    const double skipped = j["points"][0]["skipped"].get<double>();
    const double n = c.samples;
    EXPECT_NEAR(skipped, n * pFail, 5.0 * std::sqrt(n * pFail * (1.0 - pFail)));
    const double mean = j["points"][0]["responses"]["g"]["mean"].get<double>();
    EXPECT_NEAR(mean, conditionalMean, 5.0 * 2.5 / std::sqrt(n - skipped));
    EXPECT_EQ(j["on_failure"]["policy"], "skip");
    EXPECT_EQ(j["points"][0]["analyses"].get<double>(), n);
  }
}

TEST_F(FailurePolicyRun, TooManySkippedStopsTheRun) {
  Write("p.json", SkipProblem(8.0, 2000, R"({"policy": "skip"})"));
  const CliResult r = Run({"run", "p.json", "--quiet"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("max_skipped_fraction"), std::string::npos) << r.err;
  // The command line raises the limit (about 6.7% fail).
  EXPECT_EQ(Run({"run", "p.json", "--quiet", "--max-skipped", "0.2"}).exitCode, 0);
}

TEST_F(FailurePolicyRun, SkipIsRefusedWhereEveryAnalysisCounts) {
  Write("p.json", SkipProblem(8.0, 100, R"({"policy": "skip"})"));
  for (const char* method : {"fo", "form", "is"}) {
    const CliResult r = Run({"run", "p.json", "--quiet", "--method", method});
    EXPECT_EQ(r.exitCode, 2) << method;
    EXPECT_NE(r.err.find("skip"), std::string::npos) << r.err;
  }
}

// A program failing every other call: stop fails, retry gives exactly the
// numbers of the program that never fails.
TEST_F(FailurePolicyRun, RetryRecoversTransientFailures) {
  Write("flaky.sh", kFlakyProgram, true);
  Write("flaky.json", ProgramProblem((dir / "flaky.sh").string()));
  Write("steady.json", ProgramProblem(Examples() + "/programs/limit_state.sh"));
  EXPECT_NE(Run({"run", "flaky.json", "--quiet"}).exitCode, 0);
  ASSERT_EQ(Run({"run", "steady.json", "--quiet", "--out", "steady.json.out.json"}).exitCode, 0);
  const CliResult r =
      Run({"run", "flaky.json", "--quiet", "--on-failure", "retry", "--retries", "1", "--out", "r.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json steady = json::parse(ReadText(dir / "steady.json.out.json"));
  const json retried = json::parse(ReadText(dir / "r.json"));
  EXPECT_EQ(retried["points"], steady["points"]);
  // No retry left: every second call of a folder fails for good.
  EXPECT_NE(Run({"run", "flaky.json", "--quiet", "--on-failure", "retry", "--retries", "0"}).exitCode, 0);
}

}  // namespace
}  // namespace clitest
