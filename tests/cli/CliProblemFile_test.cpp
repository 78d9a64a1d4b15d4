// Problem-file mistakes: `rbo check` and `rbo run` report each with its
// location and a sentence on how to fix it, exit with 3 and run nothing.
// Also the command line itself: help, version, usage errors.
#include <cstdio>

#include "cli/CliHarness.h"
#include "rbo/RBO.h"

namespace clitest {
namespace {

// A valid problem touching every section; each case below breaks one thing.
const std::string kBase = R"({
  "design_variables": [{"name": "b", "value": 2, "lower": 1, "upper": 4}],
  "constants": [{"name": "L", "value": 3}],
  "random_variables": [
    {"name": "R", "distribution": "normal", "mean": 10, "sd": 1.5, "design": true, "lower": 5, "upper": 20},
    {"name": "S", "distribution": "normal", "mean": 5, "sd": 2}
  ],
  "responses": [{"name": "g", "lower": 0}, {"name": "h", "random": false}],
  "constraints": [{"subject": "g.pof", "upper": 0.01}],
  "objective": {"minimize": {"R": 1, "b": 2}},
  "method": "lhs", "samples": 100, "seed": 3,
  "design_points": [{"R": 11}],
  "analysis": {"expressions": {"g": "R - S + 0 * b", "h": "b * L"}}
}
)";

std::string Replace(const std::string& from, const std::string& to) {
  std::string text = kBase;
  const auto pos = text.find(from);
  if (pos == std::string::npos) {
    ADD_FAILURE() << "the base problem has no \"" << from << "\"";
    return text;
  }
  return text.replace(pos, from.size(), to);
}

struct BadFile {
  const char* name;      ///< test name
  std::string text;      ///< the file
  std::string location;  ///< where the mistake is reported
  std::string fragment;  ///< part of the message
  std::string report;    ///< part of the library's report ("" when the library is not involved)
};

std::ostream& operator<<(std::ostream& os, const BadFile& c) { return os << c.name; }

// The line of the first occurrence of token in text, 1-based.
std::string LineOf(const std::string& text, const std::string& token) {
  const auto pos = text.find(token);
  return std::to_string(std::count(text.begin(), text.begin() + std::ptrdiff_t(pos), '\n') + 1);
}

const std::string kMissingComma = Replace(R"("seed": 3,)", R"("seed": 3)");
const std::string kProgram = R"({"expressions": {"g": "R - S + 0 * b", "h": "b * L"}})";
const std::string kNameOf101 = std::string(101, 'n');

const BadFile kBadFiles[] = {
    {"SyntaxError", kMissingComma, "line " + LineOf(kMissingComma, "\"design_points\"") + ", column", "not valid JSON",
     ""},
    {"NegativeSd", Replace(R"("mean": 5, "sd": 2)", R"("mean": 5, "sd": -2)"), "/random_variables/1/sd",
     "the library rejects a normal variable with mean 5 and sd -2", "Invalid value of the Standard Deviation"},
    {"LognormalMean", Replace(R"("distribution": "normal", "mean": 5)", R"("distribution": "lognormal", "mean": -1)"),
     "/random_variables/1/mean", "the library rejects a lognormal variable", "The supplied value = -1"},
    {"LognormalMeanBelowOne",
     Replace(R"("distribution": "normal", "mean": 5, "sd": 2)",
             R"("distribution": "lognormal", "mean": 0.5, "sd": 0.1)"),
     "/random_variables/1/mean", "change its units", "The allowed value should be > 1"},
    {"LognormalParamsBelowOne",
     Replace(R"("distribution": "normal", "mean": 5, "sd": 2)",
             R"("distribution": "lognormal", "params": [-0.5, 0.2])"),
     "/random_variables/1/params/0", "make ln X a normal variable", "lambda"},
    {"NumberBeyondDouble", Replace(R"("mean": 5, "sd": 2)", R"("mean": 5, "sd": 1e400)"), "/random_variables/1/sd",
     "the number 1e400 is beyond the range", ""},
    {"NumberBeyondDoubleInAList", Replace(R"([{"R": 11}])", R"([[-1.5e999]])"), "/design_points/0/0",
     "the number -1.5e999 is beyond the range", ""},
    {"UniformBoundsReversed",
     Replace(R"("distribution": "normal", "mean": 5, "sd": 2)", R"("distribution": "uniform", "params": [7, 3])"),
     "/random_variables/1/params", "the library rejects these uniform parameters", "Invalid specification of bounds"},
    {"WeibullLocation",
     Replace(R"("distribution": "normal", "mean": 5, "sd": 2)", R"("distribution": "weibull", "params": [1, 5, 2])"),
     "/random_variables/1/params/0", "Weibull variables have location 0", ""},
    {"DesignBoundWhereTheLibraryRejects",
     Replace(R"("distribution": "normal", "mean": 10, "sd": 1.5, "design": true, "lower": 5)",
             R"("distribution": "lognormal", "mean": 10, "sd": 1.5, "design": true, "lower": 0.5)"),
     "/random_variables/0/lower", "Narrow the bounds", "The supplied value = 0.5"},
    {"UnknownDistribution",
     Replace(R"("distribution": "normal", "mean": 5)", R"("distribution": "normall", "mean": 5)"),
     "/random_variables/1/distribution", "Did you mean \"normal\"?", ""},
    {"MisspeltField", Replace(R"("mean": 5, "sd": 2)", R"("mean": 5, "sdev": 2)"), "/random_variables/1/sdev",
     "is not a known field here. Did you mean \"sd\"?", ""},
    {"NumberInQuotes", Replace(R"("mean": 5, "sd": 2)", R"("mean": 5, "sd": "2")"), "/random_variables/1/sd",
     "write it without quotes", ""},
    {"BoundsOnARandomParameter", Replace(R"("mean": 5, "sd": 2)", R"("mean": 5, "sd": 2, "lower": 0)"),
     "/random_variables/1", "only the mean of a design variable has bounds", ""},
    {"DuplicateName", Replace(R"({"name": "h", "random": false})", R"({"name": "b", "random": false})"),
     "/responses/1/name", "already the name of /design_variables/0", ""},
    {"NoRandomResponse", Replace(R"({"name": "g", "lower": 0})", R"({"name": "g", "lower": 0, "random": false})"),
     "/responses", "at least one response must be random", ""},
    {"BoundsSwapped", Replace(R"("lower": 1, "upper": 4)", R"("lower": 5, "upper": 4)"), "/design_variables/0",
     "swap them", ""},
    {"ValueOutsideBounds", Replace(R"("value": 2)", R"("value": 9)"), "/design_variables/0/value",
     "outside its bounds [1, 4]", ""},
    {"UnknownSubject", Replace(R"("subject": "g.pof")", R"("subject": "q.pof")"), "/constraints/0/subject",
     "\"q\" is not a design variable or a response", ""},
    {"BoundOnARandomMean", Replace(R"("subject": "g.pof")", R"("subject": "g.mean")"), "/constraints/0/subject",
     "in its entry under /responses", ""},
    {"StatisticOfADeterministicResponse", Replace(R"("subject": "g.pof")", R"("subject": "h.sd")"),
     "/constraints/0/subject", "h is not random", ""},
    {"ConstantInTheObjective", Replace(R"("b": 2})", R"("L": 2})"), "/objective/minimize/L", "cannot be a subject", ""},
    {"UnknownNameInExpression", Replace(R"("b * L")", R"("b * Q")"), "/analysis/expressions/h", "uses 'Q'", ""},
    {"ExpressionSyntax", Replace(R"("b * L")", R"("b * (L")"), "/analysis/expressions/h", "cannot be read", ""},
    // '=' would set L for every later response of the point.
    {"Assignment", Replace(R"("b * L")", R"("L = 100")"), "/analysis/expressions/h", "assigns a value to 'L' with '='",
     ""},
    {"AssignmentInsideAFunction", Replace(R"("b * L")", R"x("b * sin(b = 2)")x"), "/analysis/expressions/h",
     "assigns a value to 'b'", ""},
    {"AssignmentInABranchNotTaken", Replace(R"("R - S + 0 * b")", R"x("b > 1e9 ? (R = 0) : R - S")x"),
     "/analysis/expressions/g", "assigns a value to 'R'", ""},
    {"NameTooLongForExpressions",
     Replace(R"({"name": "L", "value": 3})",
             R"({"name": "L", "value": 3}, {"name": ")" + kNameOf101 + R"(", "value": 1})"),
     "/constants/1/name", "has 101 characters; a name has at most 100", ""},
    {"MissingExpression", Replace(R"(, "h": "b * L")", ""), "/analysis/expressions",
     "no expression for the response \"h\"", ""},
    {"UnknownMethod", Replace(R"("method": "lhs")", R"("method": "latin")"), "/method", "use 0 to 4", ""},
    {"NoSamples", Replace(R"("samples": 100)", R"("samples": 0)"), "/samples", "it must be from 1 to 100000000", ""},
    {"FractionalSamples", Replace(R"("samples": 100)", R"("samples": 2.5)"), "/samples", "whole number", ""},
    {"SamplesBeyondTheLimit", Replace(R"("samples": 100)", R"("samples": 1e20)"), "/samples",
     "it must be from 1 to 100000000", ""},
    // 2^32 + 1: as a 32-bit integer it would be method 1.
    {"MethodBeyondInt", Replace(R"("method": "lhs")", R"("method": 4294967297)"), "/method", "use 0 to 4", ""},
    {"FractionalMethod", Replace(R"("method": "lhs")", R"("method": 1.5)"), "/method", "use 0 to 4", ""},
    {"DistributionCodeBeyondInt",
     Replace(R"("distribution": "normal", "mean": 5)", R"("distribution": 4294967296, "mean": 5)"),
     "/random_variables/1/distribution", "0 to 3", ""},
    {"SeedBeyondRange", Replace(R"("seed": 3)", R"("seed": 18446744073709551615)"), "/seed",
     "it must be from 0 to 9223372036854775807", ""},
    {"NegativeSeed", Replace(R"("seed": 3)", R"("seed": -1)"), "/seed", "from 0 to 9223372036854775807", ""},
    {"FractionalSeed", Replace(R"("seed": 3)", R"("seed": 2.5)"), "/seed", "must be a whole number", ""},
    {"UnknownDesignVariableInPoint", Replace(R"([{"R": 11}])", R"([{"Q": 11}])"), "/design_points/0/Q",
     "is not a design variable", ""},
    {"ShortDesignPoint", Replace(R"([{"R": 11}])", R"([[11]])"), "/design_points/0", "give one per design variable",
     ""},
    // Far too long to be a typo of a field: no suggestion is sought.
    {"VeryLongUnknownField", Replace(R"("seed": 3)", "\"seed\": 3, \"" + std::string(30000, 's') + "\": 1"),
     "/" + std::string(30000, 's'), "is not a known field here. The fields allowed are", ""},
    {"MisspeltSection", Replace(R"("constraints":)", R"("constraint":)"), "/constraint",
     "Did you mean \"constraints\"?", ""},
    {"NoAnalysis",
     Replace(R"(,
  "analysis": {"expressions": {"g": "R - S + 0 * b", "h": "b * L"}})",
             ""),
     "/", "has no \"analysis\"", ""},
    {"ProgramNotFound", Replace(kProgram, R"({"program": {"command": ["no-such-analysis-program-xyz"]}})"),
     "/analysis/program/command/0", "was not found on PATH", ""},
    {"EmptyCommand", Replace(kProgram, R"({"program": {"command": []}})"), "/analysis/program/command",
     "is empty; give the program and its arguments", ""},
    {"NegativeTimeout", Replace(kProgram, R"({"program": {"command": ["sh", "-c", "true"], "timeout": -1}})"),
     "/analysis/program/timeout", "give the seconds one analysis may take", ""},
    {"RandomResponseWithoutRandomVariables", R"({"design_variables": [{"name": "b", "value": 1}],
      "responses": [{"name": "g", "random": true}], "analysis": {"expressions": {"g": "b"}}})",
     "/responses/0/random", "the problem has no random variable", ""},
};

class BadProblemFile : public CliTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadProblemFile, CheckAndRunReportTheLocationAndHowToFixIt) {
  const BadFile& c = GetParam();
  const std::string path = Write("bad.json", c.text);
  // A syntax error is located by line and column (the column of the end of
  // the token where the parser stopped), the rest by JSON path.
  const bool bLine = c.location.rfind("line ", 0) == 0;
  const std::string expected = bLine ? c.location : c.location + ": ";

  const CliResult check = Run({"check", path});
  EXPECT_EQ(check.exitCode, 3) << check.out;
  const auto at = check.out.find(expected);
  ASSERT_NE(at, std::string::npos) << check.out;
  const std::string line = check.out.substr(at, check.out.find('\n', at) - at);
  EXPECT_NE(line.find(c.fragment), std::string::npos) << line;
  if (!c.report.empty()) {
    // The library's own report, without its exception trace.
    ExpectMentions(check.out, {"| ", c.report}, {"LNewException"});
  }

  const CliResult run = Run({"run", path, "--out", "r.json"});
  EXPECT_EQ(run.exitCode, 3);
  ExpectMentions(run.err, {expected});
  EXPECT_EQ(run.out, "");                                            // nothing ran
  EXPECT_EQ(FilesExcept({"bad.json"}), std::vector<std::string>{});  // no output file
}

INSTANTIATE_TEST_SUITE_P(Cases, BadProblemFile, ::testing::ValuesIn(kBadFiles),
                         [](const ::testing::TestParamInfo<BadFile>& p) { return std::string(p.param.name); });

// Every mistake is reported at once; a name too long for the expressions is
// reported only where it is defined, not again where an expression uses it.
TEST_F(CliTest, CheckCountsEachMistakeOnce) {
  std::string many = Replace(R"("mean": 5, "sd": 2)", R"("mean": 5, "sd": -2)");
  many.replace(many.find(R"("samples": 100)"), 14, R"("samples": 0)");
  many.replace(many.find(R"("b * L")"), 7, R"("b * Q")");
  std::string longName = Replace(R"("name": "L")", "\"name\": \"" + kNameOf101 + "\"");
  longName.replace(longName.find("b * L"), 5, "b * " + kNameOf101);
  const struct {
    std::string text;
    std::vector<std::string> countAndLocations;
  } cases[] = {{many, {"3 problems", "/random_variables/1/sd: ", "/samples: ", "/analysis/expressions/h: "}},
               {longName, {"1 problem:", "/constants/0/name: "}}};
  for (const auto& c : cases) {
    const CliResult r = Run({"check", Write("bad.json", c.text)});
    EXPECT_EQ(r.exitCode, 3);
    ExpectMentions(r.out, c.countAndLocations);
  }
}

// Inputs that once broke the reader (an exception that escaped it, a crash),
// found by the fuzzer: each must give a clean result or located diagnostics.
TEST_F(CliTest, FuzzRegressionsAreReadCleanly) {
  const fs::path folder = fs::path(Examples()).parent_path() / "fuzz" / "regressions";
  std::size_t nFiles = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    ++nFiles;
    const CliResult r = Run({"check", entry.path().string()});
    const bool bClean = r.exitCode == 0 && r.out.find(": OK: ") != std::string::npos;
    const bool bDiagnosed = r.exitCode == 3 && r.out.find(entry.path().string() + ": ") != std::string::npos;
    EXPECT_TRUE(bClean || bDiagnosed) << entry.path() << ": exit " << r.exitCode << "\n" << r.out << r.err;
    EXPECT_EQ(r.out.find("the reader failed"), std::string::npos) << entry.path() << "\n" << r.out;
  }
  EXPECT_GT(nFiles, 0u) << folder;
}

// The examples, the base problem, and comparisons (which are not assignments).
TEST_F(CliTest, CheckAcceptsValidProblems) {
  std::vector<std::string> paths = {
      Write("base.json", kBase),
      Write("cmp.json", Replace(R"("b * L")", R"x("(b <= L) + (b == L) + (b != L) + (b >= L)")x"))};
  for (const char* name : {"linear.json", "nonlinear.json", "program.json"}) paths.push_back(Examples() + "/" + name);
  for (const std::string& path : paths) {
    const CliResult r = Run({"check", path});
    EXPECT_EQ(r.exitCode, 0) << path << "\n" << r.out;
    ExpectMentions(r.out, {": OK: "});
  }
}

// ---------------------------------------------------------------- command line

struct Usage {
  const char* name;               ///< test name
  std::vector<std::string> args;  ///< the command line after "rbo"
  int exitCode;                   ///< expected exit code
  bool bStdout;                   ///< the fragment is on stdout (else stderr)
  std::string fragment;           ///< part of the output
};

std::ostream& operator<<(std::ostream& os, const Usage& u) { return os << u.name; }

const Usage kUsages[] = {
    {"Bare", {}, 0, true, "usage: rbo COMMAND"},
    {"Help", {"--help"}, 0, true, "Examples"},
    {"HelpRun", {"help", "run"}, 0, true, "usage: rbo run [options] [PROBLEM.json]"},
    {"RunDashHelp", {"run", "--help"}, 0, true, "usage: rbo run"},
    {"UnknownCommand", {"nope"}, 2, false, "there is no command \"nope\""},
    {"FileAsCommand", {"linear.json"}, 2, false, "write `rbo run FILE`"},
    {"MisspeltOption", {"run", "--sampels", "5"}, 2, false, "unknown option --sampels; did you mean --samples?"},
    {"BadNumber", {"run", "--samples", "abc"}, 2, false, "--samples wants a whole number"},
    {"MissingValue", {"run", "--samples"}, 2, false, "--samples needs a value"},
    {"BadMethod", {"run", "--method", "7"}, 2, false, "--method wants 0..4"},
    {"BadOutName", {"run", "--out", "r.txt"}, 2, false, "ending in .json or .csv"},
    {"TwoFiles", {"run", "a.json", "b.json"}, 2, false, "one problem file"},
    {"MissingFile", {"run", "missing.json"}, 3, false, "cannot open the problem file missing.json"},
    {"CheckWithoutFile", {"check"}, 2, false, "give the problem file"},
    {"ConvergedNeedsSampling", {"run", "--until-converged", "--method", "2"}, 2, false, "works with methods 0"},
    {"UnknownOptimizer",
     {"optimize", "--optimizer", "newton"},
     2,
     false,
     "--optimizer must be auto, slsqp, mma or cobyla"},
    {"OutputFolderMissing", {"run", "--out", "no/such/folder/r.json"}, 1, false, "cannot create the output file"},
};

class CommandLine : public CliTest, public ::testing::WithParamInterface<Usage> {};

TEST_P(CommandLine, ExitCodeAndMessage) {
  const Usage& u = GetParam();
  const CliResult r = Run(u.args);
  EXPECT_EQ(r.exitCode, u.exitCode) << r.out << r.err;
  ExpectMentions(u.bStdout ? r.out : r.err, {u.fragment});
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLine, ::testing::ValuesIn(kUsages),
                         [](const ::testing::TestParamInfo<Usage>& p) { return std::string(p.param.name); });

TEST_F(CliTest, VersionIsTheLibrarysAndNamesTheHost) {
  int major = -1, minor = -1, patch = -1;
  GetRBOVersion(&major, &minor, &patch);
  char version[64];
  std::snprintf(version, sizeof version, "RBO %d.%d.%d", major, minor, patch);
  const CliResult r = Run({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  ExpectMentions(r.out, {version, "reference host"});
}

}  // namespace
}  // namespace clitest
