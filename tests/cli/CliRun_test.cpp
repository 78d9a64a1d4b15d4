// `rbo run` on the examples: exit codes, the table, JSON and CSV, against
// closed-form answers; reproducibility; the surface methods; errors of the
// library shown with its own report.
#include <algorithm>
#include <cstdio>

#include "cli/CliHarness.h"

namespace clitest {
namespace {

// A probability estimated from n samples has standard error
// sqrt(p (1 - p) / n); a mean sigma / sqrt(n); a standard deviation about
// sigma / sqrt(2 n).  Four standard errors: a correct estimate fails about
// once in 16,000 seeds, and the seeds are fixed.  (Latin hypercube sampling
// only narrows these.)
double ProbabilityTolerance(double p, double n) { return 4.0 * std::sqrt(p * (1.0 - p) / n); }

class RunCommand : public CliTest {};

// The JSON against the closed form; the CSV and the table carry its values.
TEST_F(RunCommand, LinearExampleMatchesTheExactProbabilityOfFailure) {
  const std::string problem = Examples() + "/linear.json";
  const CliResult a = Run({"run", problem, "--samples", "3000", "--out", "r.json"});
  const CliResult b = Run({"run", problem, "--samples", "3000", "--out", "r.csv"});
  ASSERT_EQ(a.exitCode, 0) << a.err;
  ASSERT_EQ(b.exitCode, 0) << b.err;
  EXPECT_EQ(a.out, b.out);
  const json j = ReadJson("r.json");
  ASSERT_EQ(j["points"].size(), 2u);
  const double n = j["samples"].get<double>();
  const double muR[] = {10.0, 12.5}, sdG = 2.5;  // sqrt(1.5^2 + 2^2)
  const auto csv = ParseCsv(ReadText(dir / "r.csv"));
  ASSERT_EQ(csv.size(), 3u);
  const std::vector<std::string> header = {"point", "R",           "objective",    "constraint", "g.mean", "g.sd",
                                           "g.pof", "g.pof_low95", "g.pof_high95", "any",        "joint",  "analyses"};
  EXPECT_EQ(csv[0], header);
  const auto meanRow = TableRow(a.out, "g  mean"), pofRow = TableRow(a.out, "   POF");
  ASSERT_EQ(meanRow.size(), 2u) << a.out;
  ASSERT_EQ(pofRow.size(), 2u) << a.out;
  EXPECT_EQ(TableRow(a.out, "R (mean)"), (std::vector<std::string>{"10", "12.5"}));
  for (std::size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE("point " + std::to_string(k + 1));
    const json& pt = j["points"][k];
    const json& g = pt["responses"]["g"];
    const double mean = muR[k] - 5.0, pof = Phi(-mean / sdG);
    EXPECT_EQ(pt["design"]["R"].get<double>(), muR[k]);
    EXPECT_NEAR(g["pof"].get<double>(), pof, ProbabilityTolerance(pof, n));
    EXPECT_NEAR(g["mean"].get<double>(), mean, 4.0 * sdG / std::sqrt(n));
    EXPECT_NEAR(g["sd"].get<double>(), sdG, 4.0 * sdG / std::sqrt(2.0 * n));
    // Each point's objective is its own R (minimise R), not the last point's.
    EXPECT_EQ(pt["objective"].get<double>(), muR[k]);
    // The constraint value: the larger scaled violation of g >= 0 (on its
    // mean) and POF <= 0.00135 (scale 0.00135).
    const double expected = std::max(0.0 - g["mean"].get<double>(), (g["pof"].get<double>() - 0.00135) / 0.00135);
    EXPECT_DOUBLE_EQ(pt["constraint"].get<double>(), expected);
    // One response with one bound: a sample violates "any" bound, and sets
    // the joint flag, exactly when g fails.
    EXPECT_EQ(pt["any_fraction"].get<double>(), g["pof"].get<double>());
    EXPECT_EQ(pt["joint_fraction"].get<double>(), g["pof"].get<double>());
    // The CSV: 17 digits, exact; the table: six significant digits.
    const std::vector<double> values = {
        pt["design"]["R"].get<double>(),   pt["objective"].get<double>(), pt["constraint"].get<double>(),
        g["mean"].get<double>(),           g["sd"].get<double>(),         g["pof"].get<double>(),
        g["pof_95"][0].get<double>(),      g["pof_95"][1].get<double>(),  pt["any_fraction"].get<double>(),
        pt["joint_fraction"].get<double>()};
    ASSERT_EQ(csv[k + 1].size(), header.size());
    EXPECT_EQ(csv[k + 1].back(), std::to_string(pt["analyses"].get<long long>()));
    EXPECT_EQ(pt["analyses"].get<double>(), n);
    EXPECT_EQ(csv[k + 1][0], std::to_string(k + 1));
    for (std::size_t c = 0; c < values.size(); ++c) EXPECT_EQ(std::stod(csv[k + 1][c + 1]), values[c]) << header[c + 1];
    EXPECT_EQ(meanRow[k], Short(g["mean"].get<double>()));
    EXPECT_EQ(pofRow[k], Short(g["pof"].get<double>()));
  }
}

TEST_F(RunCommand, WithoutAFileRunsTheEmbeddedLinearExample) {
  const CliResult embedded = Run({"run"});
  const CliResult file = Run({"run", Examples() + "/linear.json"});
  ASSERT_EQ(embedded.exitCode, 0) << embedded.err;
  ASSERT_EQ(file.exitCode, 0) << file.err;
  EXPECT_EQ(embedded.out, file.out);
  ExpectMentions(embedded.err, {"embedded example"});
  ExpectMentions(file.err, {}, {"embedded example"});
}

// The seed fixes the results, and a parallel run gives the serial run's.
TEST_F(RunCommand, TheSeedFixesTheResultsSerialOrParallel) {
  const std::string problem = Write("p.json", LinearProblem(R"({"expressions": {"g": "R - S"}})",
                                                            R"("design_points": [{"R": 9}, {"R": 11}, {"R": 13}],)"));
  const CliResult serial = Run({"run", problem, "--seed", "5", "--out", "a.json"});
  const CliResult parallel = Run({"run", problem, "--seed", "5", "--parallel", "2", "--out", "b.json"});
  ASSERT_EQ(serial.exitCode, 0) << serial.err;
  ASSERT_EQ(parallel.exitCode, 0) << parallel.err;
  ASSERT_EQ(Run({"run", problem, "--seed", "6", "--out", "c.json"}).exitCode, 0);
  const json a = ReadJson("a.json"), b = ReadJson("b.json"), c = ReadJson("c.json");
  EXPECT_EQ(a["points"], b["points"]);
  EXPECT_EQ(serial.out, parallel.out);
  EXPECT_NE(a["points"][0]["responses"]["g"]["mean"], c["points"][0]["responses"]["g"]["mean"]);
  EXPECT_EQ(c["seed"].get<int>(), 6);
}

// Y, Z, M lognormal: ln(Y Z / M) and ln(M / Z) are normal, so both
// probabilities of failure are exact (see the comment of the example).
TEST_F(RunCommand, NonlinearExampleMatchesTheLognormalClosedForms) {
  const CliResult r = Run({"run", Examples() + "/nonlinear.json", "--out", "r.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json j = ReadJson("r.json");
  auto logMoments = [](double m, double s, double* pl, double* pe2) {
    *pe2 = std::log(1.0 + (s / m) * (s / m));
    *pl = std::log(m) - *pe2 / 2.0;
  };
  double lY, eY, lZ, eZ, lM, eM;
  logMoments(40, 5, &lY, &eY);
  logMoments(40, 2, &lZ, &eZ);
  logMoments(1000, 200, &lM, &eM);
  const double pofG = Phi(-(lY + lZ - lM) / std::sqrt(eY + eZ + eM));
  const double pofStress = Phi(-(std::log(35.0) - lM + lZ) / std::sqrt(eM + eZ));
  const double n = j["samples"].get<double>();
  const json& pt = j["points"][0];
  const double g = pt["responses"]["g"]["pof"].get<double>(), s = pt["responses"]["stress"]["pof"].get<double>();
  EXPECT_NEAR(g, pofG, ProbabilityTolerance(pofG, n));
  EXPECT_NEAR(s, pofStress, ProbabilityTolerance(pofStress, n));
  EXPECT_NEAR(pt["responses"]["stress"]["mean"].get<double>(), 1000.0 / 40.0 * std::exp(eZ),
              4.0 * pt["responses"]["stress"]["sd"].get<double>() / std::sqrt(n));  // E[M] E[1/Z]
  // On the sample itself: "any" is the union of the two failures, and the
  // joint flag (g first, with one bound each) their intersection.
  const double any = pt["any_fraction"].get<double>(), joint = pt["joint_fraction"].get<double>();
  EXPECT_GE(any, std::max(g, s));
  EXPECT_LE(any, g + s);
  EXPECT_NEAR(joint, g + s - any, 1e-12);
}

TEST_F(RunCommand, DeterministicResponseIsItsValueAndBoundsMakeConstraints) {
  const std::string problem = Write("p.json", R"({
    "design_variables": [{"name": "b", "value": 2}],
    "constants": [{"name": "L", "value": 3}],
    "random_variables": [{"name": "X", "distribution": "uniform", "params": [0, 1]}],
    "responses": [{"name": "g", "upper": 0.9}, {"name": "h", "random": false, "upper": 5}],
    "design_points": [[2], [1]],
    "method": 0, "samples": 4000,
    "analysis": {"expressions": {"g": "X", "h": "b * L"}}
  })");
  const CliResult r = Run({"run", problem, "--out", "r.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const json j = ReadJson("r.json");
  // h = b L does not vary over the samples; its bound h <= 5 is a constraint.
  EXPECT_EQ(j["points"][0]["responses"]["h"]["value"].get<double>(), 6.0);
  EXPECT_EQ(j["points"][1]["responses"]["h"]["value"].get<double>(), 3.0);
  const json& g = j["points"][0]["responses"]["g"];
  // X uniform on [0, 1]: P(X > 0.9) = 0.1, mean 1/2, sd 1/sqrt(12).
  EXPECT_NEAR(g["pof"].get<double>(), 0.1, ProbabilityTolerance(0.1, 4000));
  EXPECT_NEAR(g["mean"].get<double>(), 0.5, 4.0 * std::sqrt(1.0 / 12.0 / 4000));
  EXPECT_DOUBLE_EQ(j["points"][0]["constraint"].get<double>(), std::max(6.0 - 5.0, g["mean"].get<double>() - 0.9));
}

// A design point where the library rejects a random variable: its own report
// (title and detail lines) is shown, not the exception trace; the output
// file is not written.
TEST_F(RunCommand, LibraryRejectionShowsTheLibrarysReport) {
  const std::string problem = Write("p.json", R"({
    "random_variables": [{"name": "Z", "distribution": "lognormal", "mean": 40, "sd": 2, "design": true}],
    "responses": [{"name": "g", "lower": 0}],
    "design_points": [{"Z": -3}],
    "analysis": {"expressions": {"g": "Z"}}
  })");
  const CliResult r = Run({"run", problem, "--out", "r.json", "--log", "lib.log"});
  EXPECT_EQ(r.exitCode, 1);
  ExpectMentions(r.err, {"rbo run: error:", "the library's report:", "Invalid value"}, {"LNewException", "LException"});
  ExpectMentions(ReadText(dir / "lib.log"), {"Invalid value"});
  EXPECT_EQ(FilesExcept({"p.json", "lib.log"}), std::vector<std::string>{});  // no output file, no temporary
}

// The 95% Wilson score interval's ends are the two probabilities pi at which
// the observed fraction lies 1.96 standard errors away:
// (p - pi)^2 n = z^2 pi (1 - pi).  Checked on that defining equation.
void ExpectWilsonEnds(double p, double n, double low, double high) {
  const double z = 1.959963984540054;
  for (double end : {low, high}) {
    if (end > 0.0 && end < 1.0) {
      EXPECT_NEAR((p - end) * (p - end) * n, z * z * end * (1.0 - end), 1e-9 * z * z * end) << "end " << end;
    }
  }
  EXPECT_LE(low, p);
  EXPECT_GE(high, p);
}

// A design far on the safe side: P(g < 0) = Phi(-(30 - 5) / 2.5) = Phi(-10),
// so no sample fails and the POF reads 0.  The interval says how small that
// is known to be: [0, z^2 / (n + z^2)] for 0 failures in n samples.
TEST_F(RunCommand, SampledPofComesWithItsIntervalEverywhere) {
  const std::string problem = Write(
      "p.json", LinearProblem(R"({"expressions": {"g": "R - S"}})", R"("design_points": [{"R": 30}, {"R": 10}],)"));
  struct Case {
    const char* method;
    bool bSampled;
  };
  const Case cases[] = {{"lhs", true}, {"montecarlo", true}, {"surface-lhs", true}, {"fo", false}};
  const double z2 = 1.959963984540054 * 1.959963984540054;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const CliResult r = Run({"run", problem, "--method", c.method, "--out", "r.json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(Run({"run", problem, "--method", c.method, "--out", "r.csv"}).exitCode, 0);
    const json j = ReadJson("r.json");
    const auto header = ParseCsv(ReadText(dir / "r.csv"))[0];
    const auto row = TableRow(r.out, "   POF 95%");
    // The CSV carries the JSON's interval (checked on the linear example).
    EXPECT_EQ(std::find(header.begin(), header.end(), "g.pof_low95") != header.end(), c.bSampled);
    EXPECT_EQ(j["points"][0]["responses"]["g"].contains("pof_95"), c.bSampled);
    if (!c.bSampled) {
      EXPECT_TRUE(row.empty()) << r.out;
      continue;
    }
    const double n = 2000.0;
    for (std::size_t k = 0; k < 2; ++k) {
      const json& g = j["points"][k]["responses"]["g"];
      const double pof = g["pof"].get<double>(), lo = g["pof_95"][0].get<double>(), hi = g["pof_95"][1].get<double>();
      if (k == 0) {
        EXPECT_EQ(pof, 0.0);
        EXPECT_EQ(lo, 0.0);
        EXPECT_NEAR(hi, z2 / (n + z2), 1e-15);
      }
      ExpectWilsonEnds(pof, n, lo, hi);
    }
    ASSERT_EQ(row.size(), 4u) << r.out;  // "[lo," "hi]" per point
    EXPECT_EQ(row[0] + " " + row[1], "[0, " + Short(z2 / (n + z2)) + "]");
    ExpectMentions(r.out, {"a POF of 0 means below about"});
  }
}

// The joint fraction: sampling counts the samples at which the bounded
// responses fail together, and a response without bounds takes no part;
// first order must present the same quantity.  With one bounded response
// it is that response's POF (exact here: Phi(-2)), whatever the unbounded
// response h does.  For this linear limit state the surface is exact: first
// order gives the mean and sd of g exactly and the POF up to the library's
// error-function fit (fractional error below 1.2e-7); sampling the exact
// surface gives the POF within sampling error.
TEST_F(RunCommand, JointFractionAndPofAgreeAcrossMethods) {
  const std::string problem = Write("p.json", R"({
    "random_variables": [
      {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5},
      {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}
    ],
    "responses": [{"name": "g", "lower": 0}, {"name": "h"}],
    "samples": 20000,
    "analysis": {"expressions": {"g": "R - S", "h": "R + S"}}
  })");
  const double exact = Phi(-2.0);
  for (const std::string method : {"lhs", "montecarlo", "surface-mc", "surface-lhs", "fo"}) {
    SCOPED_TRACE(method);
    ASSERT_EQ(Run({"run", problem, "--method", method, "--out", "r.json"}).exitCode, 0);
    const json pt = ReadJson("r.json")["points"][0];
    const json& g = pt["responses"]["g"];
    const double pof = g["pof"].get<double>();
    EXPECT_EQ(pt["joint_fraction"].get<double>(), pof);
    EXPECT_EQ(pt["any_fraction"].get<double>(), pof);
    EXPECT_NEAR(pof, exact, method == "fo" ? 1e-6 * exact : ProbabilityTolerance(exact, 20000));
    if (method == "fo") {
      EXPECT_NEAR(g["mean"].get<double>(), 5.0, 1e-9);
      EXPECT_NEAR(g["sd"].get<double>(), 2.5, 1e-9);
    }
  }
}

// A problem without objective and constraints (h has no bounds): no rows,
// keys or columns for them.
TEST_F(RunCommand, NoObjectiveOrConstraintRowsWhenTheProblemHasNone) {
  const std::string problem = Write("p.json", R"({
    "random_variables": [{"name": "X", "distribution": "uniform", "params": [0, 1]}],
    "responses": [{"name": "h"}],
    "samples": 500,
    "analysis": {"expressions": {"h": "2 * X"}}
  })");
  const CliResult r = Run({"run", problem, "--out", "r.json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(Run({"run", problem, "--out", "r.csv"}).exitCode, 0);
  EXPECT_TRUE(TableRow(r.out, "objective").empty()) << r.out;
  EXPECT_TRUE(TableRow(r.out, "constraint").empty()) << r.out;
  const json pt = ReadJson("r.json")["points"][0];
  EXPECT_FALSE(pt.contains("objective"));
  EXPECT_FALSE(pt.contains("constraint"));
  EXPECT_NEAR(pt["responses"]["h"]["mean"].get<double>(), 1.0, 4.0 * std::sqrt(4.0 / 12.0 / 500));
  const auto csv = ParseCsv(ReadText(dir / "r.csv"));
  // h has no bounds: its POF and interval cells stay empty.
  EXPECT_EQ(csv[0], (std::vector<std::string>{"point", "h.mean", "h.sd", "h.pof", "h.pof_low95", "h.pof_high95", "any",
                                              "joint", "analyses"}));
  EXPECT_EQ(csv[1][3] + csv[1][4] + csv[1][5], "");
}

// g = 1e308 X overflows the sums of the statistics: an error naming the
// response and the point, never a table of inf or NaN.
TEST_F(RunCommand, NonFiniteStatisticIsAnError) {
  const std::string problem = Write("p.json", R"({
    "random_variables": [{"name": "X", "distribution": "uniform", "params": [0.5, 1.5]}],
    "responses": [{"name": "g", "lower": 0}],
    "samples": 200,
    "analysis": {"expressions": {"g": "1e308 * X"}}
  })");
  for (const char* mode : {"", "--until-converged"}) {
    std::vector<std::string> args = {"run", problem, "--out", "r.json"};
    if (*mode) args.push_back(mode);
    const CliResult r = Run(args);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    ExpectMentions(r.err, {"response g", "design point 1"});
    ExpectMentions(r.out, {}, {"inf"});
    EXPECT_FALSE(fs::exists(dir / "r.json"));
  }
}

// Every command appends a separator line (date, command line, version) and
// a line naming the run to the --log file; a log or output that cannot be
// written is reported with the system's reason, before anything runs.
TEST_F(RunCommand, LogFileGetsASeparatorPerRun) {
  const std::string problem = Write("p.json", LinearProblem(R"({"expressions": {"g": "R - S"}})"));
  ASSERT_EQ(Run({"run", problem, "--log", "run.log", "--samples", "100"}).exitCode, 0);
  ASSERT_EQ(Run({"run", problem, "--log", "run.log", "--samples", "200"}).exitCode, 0);
  const std::string log = ReadText(dir / "run.log");
  std::vector<std::string> separators;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("==== ", 0) == 0) separators.push_back(line);
  ASSERT_EQ(separators.size(), 2u) << log;
  ExpectMentions(separators[0], {"rbo run " + problem + " --log run.log --samples 100"});
  ExpectMentions(separators[1], {"--samples 200"});
  ExpectMentions(log, {"rbo run: " + problem, "200 samples per design point"});
}

TEST_F(RunCommand, UnwritableLogOrOutputIsReportedBeforeTheRun) {
  const std::string problem = Write("p.json", LinearProblem(R"({"expressions": {"g": "R - S"}})"));
  fs::create_directory(dir / "folder.json");
  Write("file", "");
  ASSERT_EQ(mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> options;
    const char* message;
  };
  const Case cases[] = {
      {{"--log", "/dev/full"}, "cannot write the log file /dev/full: No space left on device"},
      {{"--log", "missing/run.log"}, "missing/run.log': No such file or directory"},
      {{"--out", "folder.json"}, "cannot write the output file folder.json: it is a folder"},
      {{"--out", "fifo.json"}, "cannot write the output file fifo.json: it is not a regular file"},
      {{"--out", "/proc/r.json"}, "cannot create the output file /proc/r.json"},
      {{"--out", "file/r.json"}, "cannot create the output file file/r.json: Not a directory"},
  };
  for (const char* command : {"run", "optimize"})
    for (const Case& c : cases) {
      std::vector<std::string> args = {command, problem, "--method", "fo"};
      args.insert(args.end(), c.options.begin(), c.options.end());
      const CliResult r = Run(args);
      EXPECT_EQ(r.exitCode, 1) << command << " " << c.options[1];
      ExpectMentions(r.err, {c.message});
      EXPECT_EQ(r.out, "") << command << " " << c.options[1];  // nothing ran
    }
  EXPECT_TRUE(fs::is_directory(dir / "folder.json"));
}

// The memory a run needs is estimated before anything is allocated.  A
// sampling run whose design points do not fit at once goes design point by
// design point, in batches that fit, and says so; only a run where not even
// one sample fits is refused.
TEST_F(RunCommand, RunTooLargeForTheMemoryGoesInBatches) {
  std::string points = "\"design_points\": [";
  for (int k = 0; k < 20; ++k) points += std::string(k ? ", " : "") + "{\"R\": " + std::to_string(10 + k) + "}";
  const std::string problem = Write("p.json", LinearProblem(R"({"expressions": {"g": "R - S"}})", points + "],"));
  // 20 points x 2000 samples x 3 values x 8 bytes x 2 copies = 1.92 MB; one
  // point's 2000 samples (96 kB) fit in 100 kB: one batch per point.
  const CliResult whole = Run({"run", problem}, {"RBO_MEMORY_LIMIT=2M"});
  EXPECT_EQ(whole.exitCode, 0) << whole.err;
  ExpectMentions(whole.out, {}, {"batches:"});
  const CliResult perPoint = Run({"run", problem}, {"RBO_MEMORY_LIMIT=100K"});
  EXPECT_EQ(perPoint.exitCode, 0) << perPoint.err;
  ExpectMentions(perPoint.out, {"in 1 batch of 2,000 samples"});
  // 48 bytes per sample: 20 kB holds 426 samples, so 2000 go in 5 batches of 400.
  const CliResult batches = Run({"run", problem}, {"RBO_MEMORY_LIMIT=20K"});
  EXPECT_EQ(batches.exitCode, 0) << batches.err;
  ExpectMentions(batches.out, {"in 5 batches of 400 samples", "RBO_MEMORY_LIMIT"});
  for (const char* limit : {"16", "lots"}) {  // not even one sample fits; not a number
    const CliResult r = Run({"run", problem}, {std::string("RBO_MEMORY_LIMIT=") + limit});
    EXPECT_EQ(r.exitCode, 1) << limit;
    ExpectMentions(r.err, {*limit == '1' ? "RBO_MEMORY_LIMIT" : "RBO_MEMORY_LIMIT wants a number of bytes"});
    EXPECT_EQ(r.out, "") << limit;
  }
}

}  // namespace
}  // namespace clitest
