// `rbo run --until-converged`: every batch draws new samples (seed + batch
// number), the running statistics equal the pooled statistics of the
// batches run one by one, the intervals are Wilson's, and the stopping rule.
#include "cli/CliHarness.h"

namespace clitest {
namespace {

const std::string kProblem = LinearProblem(R"({"expressions": {"g": "R - S"}})", R"("method": "montecarlo",)");

struct Stats {
  double mean, sd, pof;
};

Stats StatsOf(const json& g) { return {g["mean"].get<double>(), g["sd"].get<double>(), g["pof"].get<double>()}; }

class UntilConverged : public CliTest {};

TEST_F(UntilConverged, EveryBatchAddsNewSamples) {
  const std::string problem = Write("p.json", kProblem);
  const CliResult r = Run({"run", problem, "--until-converged", "--samples", "1000", "--tol", "0.0001", "--max-samples",
                           "3000", "--out", "c.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json c = ReadJson("c.json")["points"][0];
  ASSERT_EQ(c["batches"].size(), 3u);
  EXPECT_FALSE(c["converged"].get<bool>());
  EXPECT_NE(c["reason"].get<std::string>().find("budget"), std::string::npos);
  EXPECT_NE(r.out.find("NOT converged"), std::string::npos) << r.out;

  // Batch k is the sample of a plain run with seed 11 + k (k from 0).
  std::vector<Stats> single;
  for (int k = 0; k < 3; ++k) {
    const std::string out = "s" + std::to_string(k) + ".json";
    ASSERT_EQ(Run({"run", problem, "--samples", "1000", "--seed", std::to_string(11 + k), "--out", out}).exitCode, 0);
    single.push_back(StatsOf(ReadJson(out)["points"][0]["responses"]["g"]));
  }
  ASSERT_NE(single[0].mean, single[1].mean);  // the streams differ
  // Pooled statistics of the first k + 1 batches (equal sizes): the mean of
  // the means and of the fractions; the population variance from the
  // batches' second moments.
  for (int k = 0; k < 3; ++k) {
    double mean = 0.0, second = 0.0, pof = 0.0;
    for (int i = 0; i <= k; ++i) {
      const Stats& s = single[std::size_t(i)];
      mean += s.mean / (k + 1);
      second += (s.sd * s.sd + s.mean * s.mean) / (k + 1);
      pof += s.pof / (k + 1);
    }
    const json& b = c["batches"][std::size_t(k)];
    EXPECT_EQ(b["samples"].get<int>(), 1000 * (k + 1));
    const Stats running = StatsOf(b["responses"]["g"]);
    // Running sums and the batch sums round differently: 1e-12 relative.
    EXPECT_NEAR(running.mean, mean, 1e-12 * std::fabs(mean)) << "batch " << k + 1;
    EXPECT_NEAR(running.sd, std::sqrt(second - mean * mean), 1e-9) << "batch " << k + 1;
    EXPECT_NEAR(running.pof, pof, 1e-15) << "batch " << k + 1;
    // The 95% Wilson score interval of the POF.
    const double n = 1000.0 * (k + 1), z = 1.959963984540054, z2 = z * z;
    const double centre = (pof + z2 / (2 * n)) / (1 + z2 / n);
    const double half = z / (1 + z2 / n) * std::sqrt(pof * (1 - pof) / n + z2 / (4 * n * n));
    EXPECT_NEAR(b["responses"]["g"]["pof_95"][0].get<double>(), centre - half, 1e-12);
    EXPECT_NEAR(b["responses"]["g"]["pof_95"][1].get<double>(), centre + half, 1e-12);
  }
}

TEST_F(UntilConverged, StopsWhenEveryIntervalIsTightEnoughSerialOrParallel) {
  // POF about 0.0228 from 4000 samples: the 95% interval is about +-21%;
  // +-50% is reached in the first batch, +-1% not within 12,000 samples.
  const std::string problem = Write("p.json", kProblem);
  const CliResult loose =
      Run({"run", problem, "--until-converged", "--samples", "4000", "--tol", "0.5", "--out", "a.json"});
  ASSERT_EQ(loose.exitCode, 0) << loose.err;
  const json a = ReadJson("a.json")["points"][0];
  EXPECT_TRUE(a["converged"].get<bool>());
  EXPECT_EQ(a["batches"].size(), 1u);
  EXPECT_NE(loose.out.find("converged: every 95% interval is within 0.5"), std::string::npos) << loose.out;

  // The tight run, serial and on two workers: identical statistics.
  const std::vector<std::string> args = {"run",   problem, "--until-converged", "--samples", "4000",
                                         "--tol", "0.01",  "--max-samples",     "12000"};
  std::vector<std::string> serial = args, parallel = args;
  serial.insert(serial.end(), {"--out", "b.csv"});
  parallel.insert(parallel.end(), {"--parallel", "2", "--out", "p.csv"});
  const CliResult tight = Run(serial);
  ASSERT_EQ(tight.exitCode, 0) << tight.err;
  ASSERT_EQ(Run(parallel).exitCode, 0);
  const std::string text = ReadText(dir / "b.csv");
  EXPECT_EQ(text, ReadText(dir / "p.csv"));
  const auto csv = ParseCsv(text);
  ASSERT_EQ(csv.size(), 4u);  // header and three batches
  const std::vector<std::string> header = {"point", "R",           "batch",        "samples", "g.mean", "g.sd",
                                           "g.pof", "g.pof_low95", "g.pof_high95", "any",     "joint"};
  EXPECT_EQ(csv[0], header);
  EXPECT_EQ(csv[3][3], "12000");
}

}  // namespace
}  // namespace clitest
