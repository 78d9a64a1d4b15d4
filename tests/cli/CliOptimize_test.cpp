// `rbo optimize` through the real executable: the closed-form optimum of the
// linear example, the history file, and a bad option.
#include <cstdio>

#include "cli/CliHarness.h"

namespace clitest {
namespace {

class OptimizeCommand : public CliTest {};

// minimise muR subject to P(R - S < 0) <= Phi(-3): muR* = 5 + 3 * 2.5 = 12.5,
// which first order (exact for this linear limit state) reaches; every
// proposed design point is printed.
TEST_F(OptimizeCommand, ReachesTheClosedFormOptimumAndWritesItsHistory) {
  const CliResult r = Run({"optimize", Examples() + "/linear.json", "--method", "fo", "--out", "h.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ExpectMentions(r.out, {"Feasible optimum", "    1  objective", "P(g)="});
  const json j = ReadJson("h.json");
  ASSERT_TRUE(j.contains("optimum")) << j.dump();
  EXPECT_NEAR(j["optimum"]["x"]["R"].get<double>(), 12.5, 12.5e-3);
  EXPECT_FALSE(j["history"].empty());
}

// Latin hypercube with 4,000 samples and SLSQP: from the start (w, t) =
// (3, 4), where the beam is far on the safe side (POF 0, index about 6.6),
// the optimiser proposes only infeasible points and the start remains the
// best.  No constraint is active there and the area still falls: that is
// not an optimum, and must not be reported as one.
TEST_F(OptimizeCommand, StartPointIsNeverReportedAsAnOptimum) {
  const CliResult r = Run({"optimize", Examples() + "/optimize/cantilever.json", "--method", "lhs", "--samples", "4000",
                           "--optimizer", "slsqp", "--out", "h.json", "--quiet"});
  EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
  ExpectMentions(r.out, {"NO optimum", "never left its start point"}, {"Feasible optimum", "converged"});
  const json j = ReadJson("h.json");
  EXPECT_TRUE(j["no_optimum"].is_string());
  EXPECT_EQ(j["optimum"]["x"]["w"].get<double>(), 3.0);
  EXPECT_EQ(j["optimum"]["x"]["t"].get<double>(), 4.0);
  // The zero POF comes with its interval: 0 failures in 4,000 samples.
  const double z2 = 1.959963984540054 * 1.959963984540054;
  EXPECT_EQ(j["optimum"]["responses"][0]["pof"].get<double>(), 0.0);
  EXPECT_NEAR(j["optimum"]["responses"][0]["pof_95"][1].get<double>(), z2 / (4000 + z2), 1e-15);
}

// The words after each violation must be true for its sign; first order
// draws no samples and must not claim any.
TEST_F(OptimizeCommand, ViolationWordsMatchTheirSign) {
  const CliResult r = Run({"optimize", Examples() + "/linear.json", "--method", "fo", "--verify-samples", "20000",
                           "--out", "h.json", "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("first order at each design point, no samples"), std::string::npos) << r.out;
  EXPECT_TRUE(ReadJson("h.json")["samples"].is_null());
  EXPECT_FALSE(ReadJson("h.json")["optimum"]["responses"][0].contains("pof_95"));
  std::istringstream lines(r.out);
  int checked = 0;
  for (std::string line; std::getline(lines, line);) {
    double v = 0.0;
    if (std::sscanf(line.c_str(), "  violation %lf", &v) != 1) continue;
    ++checked;
    const bool bHolds = line.find("every constraint holds") != std::string::npos ||
                        line.find("hold to that tolerance") != std::string::npos;
    EXPECT_EQ(bHolds, v <= 1e-6) << line;
    EXPECT_EQ(line.find("<= 0") != std::string::npos, v <= 0.0) << line;
  }
  EXPECT_EQ(checked, 2) << r.out;  // the optimum and its verification
}

TEST_F(OptimizeCommand, NonFiniteStatisticIsAnError) {
  const std::string problem = Write("p.json", R"({
    "design_variables": [{"name": "b", "value": 1, "lower": 0.5, "upper": 2}],
    "random_variables": [{"name": "X", "distribution": "uniform", "params": [0.5, 1.5]}],
    "responses": [{"name": "g", "upper": 1e300}],
    "constraints": [{"subject": "g.pof", "upper": 0.1}],
    "objective": {"minimize": {"b": 1}},
    "samples": 200,
    "analysis": {"expressions": {"g": "1e308 * X / b"}}
  })");
  const CliResult r = Run({"optimize", problem, "--quiet"});
  EXPECT_EQ(r.exitCode, 1) << r.out;
  ExpectMentions(r.err, {"response g", "b = 1"});
  ExpectMentions(r.out, {}, {"optimum"});
}

}  // namespace
}  // namespace clitest

namespace {

using namespace clitest;

class SoraCommand : public CliTest {};

// The linear example's first-order optimum is exact: muR = 5 + 2.5 beta_t.
TEST_F(SoraCommand, WritesTheOptimumConstraintsAndStagesAsJsonAndCsv) {
  const std::string problem = Examples() + "/linear.json";
  const CliResult r = Run({"optimize", problem, "--method", "sora", "--verify-samples", "200000", "--out", "s.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(Run({"optimize", problem, "--method", "sora", "--out", "s.csv", "--quiet"}).exitCode, 0);
  const json j = ReadJson("s.json");
  const double betaT = 2.9999769899;  // -Phi^-1(0.00135)
  EXPECT_NEAR(j["optimum"]["x"]["R"].get<double>(), 5.0 + 2.5 * betaT, 1e-5);
  const json& c = j["constraints"][0];
  EXPECT_EQ(c["subject"], "g.pof");
  EXPECT_NEAR(c["beta"].get<double>(), betaT, 1e-6);
  EXPECT_TRUE(c["active"].get<bool>());
  // An independent Monte Carlo sample at the optimum: within 4 standard errors.
  EXPECT_NEAR(c["verified_pof"].get<double>(), 0.00135, 4.0 * std::sqrt(0.00135 / 200000));
  const json& a = j["analyses"];
  EXPECT_EQ(a["total"].get<long long>(), a["deterministic"].get<long long>() + a["inverse"].get<long long>() +
                                             a["sampling"].get<long long>() + a["verification"].get<long long>());
  const auto csv = ParseCsv(ReadText(dir / "s.csv"));
  EXPECT_EQ(csv[0],
            (std::vector<std::string>{"cycle", "refinement", "R", "objective", "least_limit_state", "analyses"}));
  EXPECT_EQ(csv.size(), j["history"].size() + 1);
  EXPECT_NE(r.out.find("Feasible optimum"), std::string::npos) << r.out;
}

TEST_F(SoraCommand, RefusesWhatItCannotOptimiseAndRefineWithoutIt) {
  const std::string problem = Write("p.json", R"({
    "random_variables": [{"name": "X", "distribution": "normal", "mean": 3, "sd": 1, "design": true}],
    "responses": [{"name": "g", "lower": 0}],
    "constraints": [{"subject": "g.sd", "upper": 2}],
    "objective": {"minimize": {"X": 1}},
    "analysis": {"expressions": {"g": "X"}}})");
  const CliResult r = Run({"optimize", problem, "--method", "sora"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("g.sd"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"optimize", Examples() + "/linear.json", "--method", "fo", "--refine"}).exitCode, 2);
  EXPECT_EQ(Run({"run", Examples() + "/linear.json", "--method", "sora"}).exitCode, 2);
}

}  // namespace
