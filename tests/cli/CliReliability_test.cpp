// `rbo run` with the reliability methods: the results in the console, JSON
// and CSV against closed forms, incomplete results and their exit code, and
// the refusal of correlated inputs by the sampling methods.
#include "CliHarness.h"

namespace {

using namespace clitest;

class ReliabilityCommand : public CliTest {};

TEST_F(ReliabilityCommand, FormReportsIndexDesignPointAndImportanceEverywhere) {
  const std::string problem = Examples() + "/reliability/correlated-linear.json";
  const CliResult a = Run({"run", problem, "--out", "r.json"});
  ASSERT_EQ(a.exitCode, 0) << a.err;
  ASSERT_EQ(Run({"run", problem, "--out", "r.csv"}).exitCode, 0);
  const double beta = 5.0 / std::sqrt(3.25);  // sd of R - S: sqrt(1.5^2 + 2^2 - 2 0.5 1.5 2)
  const json j = ReadJson("r.json");
  EXPECT_EQ(j["method_name"], "form");
  const json& pt = j["points"][0];
  const json& g = pt["responses"]["g"];
  EXPECT_NEAR(g["beta"].get<double>(), beta, 1e-6);
  EXPECT_NEAR(g["pof"].get<double>(), Phi(-beta), 1e-6 * Phi(-beta));
  EXPECT_TRUE(g["sd"].is_null());
  // The design point lies on g = 0 and the importance factors sum to 1.
  EXPECT_NEAR(g["design_point"]["R"].get<double>() - g["design_point"]["S"].get<double>(), 0.0, 1e-6);
  EXPECT_NEAR(g["importance"]["R"].get<double>() + g["importance"]["S"].get<double>(), 1.0, 1e-9);
  EXPECT_EQ(pt["analyses"], j["analyses"]);
  EXPECT_LE(pt["analyses"].get<int>(), 13);
  EXPECT_EQ(TableRow(a.out, "   beta"), (std::vector<std::string>{Short(g["beta"].get<double>())}));
  EXPECT_NE(a.out.find("importance factors of g"), std::string::npos) << a.out;
  const auto csv = ParseCsv(ReadText(dir / "r.csv"));
  // The bound of g is a constraint on its mean too (hence "constraint").
  const std::vector<std::string> header = {
      "point",   "constraint",       "g.mean",           "g.sd",           "g.pof",          "g.beta",
      "g.cov",   "g.design_point.R", "g.design_point.S", "g.importance.R", "g.importance.S", "any",
      "any_cov", "analyses"};
  EXPECT_EQ(csv[0], header);
  ASSERT_EQ(csv[1].size(), header.size());
  EXPECT_EQ(std::stod(csv[1][5]), g["beta"].get<double>());
  EXPECT_EQ(csv[1][6], "");  // FORM has no c.o.v.
}

TEST_F(ReliabilityCommand, AnUnfinishedSearchOrBudgetExitsFiveAndSaysWhy) {
  const std::string problem = Write("p.json", R"({
    "random_variables": [{"name": "X", "distribution": "normal", "mean": 0, "sd": 1}],
    "responses": [{"name": "g", "lower": 0}],
    "analysis": {"expressions": {"g": "1 + X^2"}}})");
  const CliResult r = Run({"run", problem, "--method", "form", "--out", "r.json"});
  EXPECT_EQ(r.exitCode, 5) << r.err;
  EXPECT_NE(r.out.find("INCOMPLETE"), std::string::npos) << r.out;
  EXPECT_EQ(TableRow(r.out, "   POF"), (std::vector<std::string>{"not", "found"})) << r.out;
  const json g = ReadJson("r.json")["points"][0]["responses"]["g"];
  EXPECT_TRUE(g["pof"].is_null());
  EXPECT_NE(g["note"].get<std::string>().find("did not converge"), std::string::npos);
  // Importance sampling with too small a budget for its target.
  const CliResult b =
      Run({"run", Examples() + "/reliability/cubic.json", "--target-cov", "0.001", "--max-analyses", "500", "--quiet"});
  EXPECT_EQ(b.exitCode, 5) << b.err;
  EXPECT_NE(b.out.find("INCOMPLETE"), std::string::npos) << b.out;
}

// The batches of a search and of the samples go to the workers together;
// the results do not depend on how many there are.
TEST_F(ReliabilityCommand, ParallelGivesTheSameNumbers) {
  const std::string problem = Examples() + "/reliability/four-branch.json";
  for (const char* method : {"sorm", "is"}) {
    ASSERT_EQ(Run({"run", problem, "--method", method, "--out", "serial.json"}).exitCode, 0) << method;
    ASSERT_EQ(Run({"run", problem, "--method", method, "--parallel", "3", "--out", "parallel.json"}).exitCode, 0)
        << method;
    EXPECT_EQ(ReadText(dir / "serial.json"), ReadText(dir / "parallel.json")) << method;
  }
}

TEST_F(ReliabilityCommand, SamplingMethodsRefuseCorrelatedInputs) {
  const std::string problem = Examples() + "/reliability/correlated-linear.json";
  const CliResult r = Run({"run", problem, "--method", "lhs"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("treats the random variables as independent"), std::string::npos) << r.err;
  const std::string lhs =
      Write("lhs.json", std::string(ReadText(problem))
                            .replace(ReadText(problem).find("\"method\": \"form\""), 16, "\"method\": \"lhs\""));
  const CliResult c = Run({"check", lhs});
  EXPECT_EQ(c.exitCode, 3);
  EXPECT_NE(c.out.find("/method: method 1 (lhs) treats"), std::string::npos) << c.out;
  EXPECT_EQ(Run({"optimize", problem}).exitCode, 2);
}

}  // namespace
