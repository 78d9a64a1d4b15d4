// `rbo optimize` through the real executable: the closed-form optimum of the
// linear example, the history file, and a bad option.
#include "cli/CliHarness.h"

namespace clitest {
namespace {

class OptimizeCommand : public CliTest {};

// minimise muR subject to P(R - S < 0) <= Phi(-3): muR* = 5 + 3 * 2.5 = 12.5,
// which first order (exact for this linear limit state) reaches.
TEST_F(OptimizeCommand, ReachesTheClosedFormOptimumAndWritesItsHistory) {
  const CliResult r = Run({"optimize", Examples() + "/linear.json", "--method", "fo", "--out", "h.json", "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Feasible optimum"), std::string::npos) << r.out;
  const json j = ReadJson("h.json");
  ASSERT_TRUE(j.contains("optimum")) << j.dump();
  const double muR = j["optimum"]["x"]["R"].get<double>();
  EXPECT_NEAR(muR, 12.5, 12.5e-3);
  EXPECT_FALSE(j["history"].empty());
}

TEST_F(OptimizeCommand, PrintsEveryProposedDesignPoint) {
  const CliResult r = Run({"optimize", Examples() + "/linear.json", "--method", "fo"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("    1  objective"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("P(g)="), std::string::npos) << r.out;
}

TEST_F(OptimizeCommand, UnknownOptimizerIsABadCommandLine) {
  const CliResult r = Run({"optimize", Examples() + "/linear.json", "--optimizer", "newton"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("--optimizer must be auto, slsqp, mma or cobyla"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "h.json"));
}

}  // namespace
}  // namespace clitest
