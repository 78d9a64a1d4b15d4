// Loading random-variable parameters from a design-variable vector, the
// finite-difference neighbour in one mean, the constant classification and
// scattering analysis inputs back.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <valarray>
#include <vector>

#include "foundation/LogTrace.h"
#include "rbo/RandVarModules.h"

namespace {

using VI = std::valarray<int>;
using VD = std::valarray<double>;
using rbotest::LogOfFailure;
using rbotest::MatchesReport;

constexpr const char* kUnit = "RandVarModules";
// SetRandomParamsForPoint applies moments through a re-parameterisation
// whose Weibull shape is found by bisection to a relative 1e-12; the
// resulting moments agree with the requested ones far inside this bound.
constexpr double kMomentTol = 1e-8;

std::valarray<CRandVar> Vars(std::initializer_list<CRandVar> list) {
  return std::valarray<CRandVar>(list.begin(), list.size());
}

// The report of a rejected map or entry number: one guarded level.
rbotest::ExpectedReport MapReport(std::vector<std::string> details,
                                  const std::string& title = "Inconsistent random-variable map.\n") {
  return {title, std::move(details), kUnit, "Function/method object is invalid", 1};
}

void ExpectMoments(CRandVar v, double dMean, double dStdDev) {
  EXPECT_NEAR(v.GetActualMean(), dMean, kMomentTol * std::fabs(dMean));
  EXPECT_NEAR(v.GetActualStdDev(), dStdDev, kMomentTol * dStdDev);
}

// Two normal variables that start as N(1, 2) and N(0, 1); the expected
// (Param1, Param2) of both after loading one vector.
struct LoadCase {
  const char* name;
  VD x;
  VI r, c;
  double expected[2][2];
};

TEST(SetRandomParamsForPoint, PairsSinglesAndRawParametersInEntryOrder) {
  const LoadCase cases[] = {
      {"no random entry", {1.0, 2.0}, {-1, -1}, {0, 0}, {{1.0, 2.0}, {0.0, 1.0}}},
      {"pair, deviation first", {0.3, 5.0}, {0, 0}, {-2, -1}, {{5.0, 0.3}, {0.0, 1.0}}},
      {"lone mean, then a pair of another variable",
       {7.0, 3.0, 0.5},
       {0, 1, 1},
       {-1, -1, -2},
       {{7.0, 2.0}, {3.0, 0.5}}},
      {"pair as the last two entries", {9.0, 4.0, 0.25}, {-1, 1, 1}, {0, -1, -2}, {{1.0, 2.0}, {4.0, 0.25}}},
      {"lone deviation as the last entry", {9.0, 0.75}, {-1, 0}, {0, -2}, {{1.0, 0.75}, {0.0, 1.0}}},
      {"raw Param2 after the pair overwrites it", {5.0, 0.3, 0.9}, {0, 0, 0}, {-1, -2, 1}, {{5.0, 0.9}, {0.0, 1.0}}},
      {"raw Param2 before the pair is re-derived", {0.9, 5.0, 0.3}, {0, 0, 0}, {1, -1, -2}, {{5.0, 0.3}, {0.0, 1.0}}},
  };
  for (LoadCase k : cases) {
    SCOPED_TRACE(k.name);
    auto v = Vars({CRandVar(CRandVar::kNormal, 1.0, 2.0), CRandVar(CRandVar::kNormal, 0.0, 1.0)});
    SetRandomParamsForPoint(k.x, k.r, k.c, v);
    for (std::size_t r = 0; r < 2; ++r) {
      EXPECT_EQ(v[r].GetParam1(), k.expected[r][0]) << r;
      EXPECT_EQ(v[r].GetParam2(), k.expected[r][1]) << r;
    }
  }
}

// A lone moment entry moves its moment and keeps the other one, for every type.
TEST(SetRandomParamsForPoint, LoneMomentKeepsTheOtherMoment) {
  const CRandVar cases[] = {CRandVar(CRandVar::kNormal, 1.0, 2.0), CRandVar(CRandVar::kUniform, 0.0, 2.0),
                            CRandVar(CRandVar::kLognormal, 1.0, 0.3), CRandVar(CRandVar::kWeibull, 0.0, 2.0, 1.5)};
  for (const CRandVar& original : cases) {
    SCOPED_TRACE(original.GetType());
    CRandVar before = original;
    const double m0 = before.GetActualMean(), s0 = before.GetActualStdDev();
    for (const bool bMean : {true, false}) {
      auto v = Vars({original});
      VD x{bMean ? m0 * 1.5 : s0 * 0.5};
      VI r{0}, c{bMean ? -1 : -2};
      SetRandomParamsForPoint(x, r, c, v);
      ExpectMoments(v[0], bMean ? m0 * 1.5 : m0, bMean ? s0 : s0 * 0.5);
    }
  }
}

TEST(SetRandomParamsForPoint, InvalidCodeIsReportedWithTheBranchLine) {
  struct Case {
    VI codes;
    int nLine;
  };
  for (const Case& k : {Case{{7}, 670}, Case{{7, -1}, 646}, Case{{-1, -2, 7}, 670}}) {
    VD x(1.0, k.codes.size());
    VI r(0, k.codes.size()), c = k.codes;
    auto v = Vars({CRandVar(CRandVar::kNormal, 0.0, 1.0)});
    const auto log = LogOfFailure<CInvalidType>([&] { SetRandomParamsForPoint(x, r, c, v); });
    EXPECT_TRUE(MatchesReport(
        log, {"Invalid parameter index of the random variable.\n", {}, kUnit, "Object type is invalid", 1}));
    EXPECT_EQ(rbotest::ThrowLine(log), k.nLine);
  }
}

TEST(SetRandomParamsForPoint, RandVarFailurePassesAndEarlierEntriesStayWritten) {
  // The lognormal mean 0.5 is rejected (must exceed 1); variable 0 was already loaded.
  VD x{5.0, 0.3, 0.5, 0.1};
  VI r{0, 0, 1, 1}, c{-1, -2, -1, -2};
  auto v = Vars({CRandVar(CRandVar::kNormal, 0.0, 1.0), CRandVar(CRandVar::kLognormal, 1.0, 0.1)});
  refhost::LogCapture capture;
  EXPECT_THROW(SetRandomParamsForPoint(x, r, c, v), CInvalidArgument);
  EXPECT_EQ(v[0].GetParam1(), 5.0);
  ASSERT_FALSE(capture.Records().empty());
  EXPECT_EQ(capture.Records().back().call, "LException");
  EXPECT_EQ(capture.Records().back().file, kUnit);
}

// A map that would be read out of bounds is refused before anything
// changes; arrays longer than the index array are read only as far as it
// reaches.
TEST(SetRandomParamsForPoint, InconsistentMapIsRefusedAndLongerArraysAreReadOnlyAsFarAsTheMap) {
  struct Case {
    VD x;
    VI r, c;
    const char* detail;
  };
  for (Case k : {Case{{5.0, 0.3}, {0, 1}, {-1, -2}, "       Entry 1 refers to random variable 1; there are 1\n"},
                 Case{{5.0}, {0, 0}, {-1, -2}, "       1 design values for 2 entries\n"},
                 Case{{5.0, 0.3}, {0, 0}, {-1}, "       1 parameter codes for 2 entries\n"}}) {
    SCOPED_TRACE(k.detail);
    auto v = Vars({CRandVar(CRandVar::kNormal, 0.0, 1.0)});
    const auto log = LogOfFailure<CInvalidArgument>([&] { SetRandomParamsForPoint(k.x, k.r, k.c, v); });
    EXPECT_TRUE(MatchesReport(log, MapReport({k.detail})));
    EXPECT_EQ(v[0].GetParam1(), 0.0);
  }
  VD x{5.0, 0.3, 99.0};
  VI r{0, 0}, c{-1, -2, 7};  // the extra code would be invalid if it were read
  auto v = Vars({CRandVar(CRandVar::kNormal, 0.0, 1.0)});
  SetRandomParamsForPoint(x, r, c, v);
  EXPECT_EQ(v[0].GetParam1(), 5.0);
  EXPECT_EQ(v[0].GetParam2(), 0.3);
}

struct FDCase {
  CRandVar var;
  int nCode;  // code of the mean entry
  double dStep;
  double dExpected;  // raise of the entry
};

TEST(FDRandMeanIntoFDRandEntry, StepConvertedThroughTheMeanDerivative) {
  // Lognormal with actual mean exp(lambda + eps^2/2) = 4: lambda = ln 4 - eps^2/2.
  const double eps = 0.2, lambda = std::log(4.0) - eps * eps / 2.0;
  const FDCase cases[] = {
      {CRandVar(CRandVar::kUniform, 1.0, 3.0), 0, 0.1, 0.2},
      {CRandVar(CRandVar::kLognormal, lambda, eps), 0, 0.1, 0.025},
      {CRandVar(CRandVar::kNormal, 1.0, 3.0), 0, 0.1, 0.1},
      {CRandVar(CRandVar::kWeibull, 1.0, 3.0, 2.0), 0, 0.1, 0.1},
      {CRandVar(CRandVar::kUniform, 1.0, 3.0), -1, 0.1, 0.1},
  };
  for (const FDCase& k : cases) {
    SCOPED_TRACE(k.var.GetType());
    VD x{8.0, 2.0, 6.0};
    VI r{-1, 0, 0}, c{0, k.nCode, 1};
    auto v = Vars({k.var});
    VD out;
    FDRandMeanIntoFDRandEntry(x, r, c, v, k.dStep, 0, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], 8.0);
    EXPECT_NEAR(out[1] - 2.0, k.dExpected, 1e-12);
    EXPECT_EQ(out[2], 6.0);
  }
}

TEST(FDRandMeanIntoFDRandEntry, KthMeanEntryUsesTheKthVariableAndMayStepInPlace) {
  VD x{8.0, 2.0, 6.0, 1.0};
  VI r{-1, 0, -1, 1}, c{0, -1, 0, 0};
  auto v = Vars({CRandVar(CRandVar::kNormal, 2.0, 1.0), CRandVar(CRandVar::kUniform, 0.0, 2.0)});
  FDRandMeanIntoFDRandEntry(x, r, c, v, 0.1, 1, x);  // output is the input itself
  EXPECT_EQ(x[0], 8.0);
  EXPECT_EQ(x[2], 6.0);
  EXPECT_NEAR(x[3], 1.2, 1e-15);
  EXPECT_EQ(v[1].GetParam1(), 0.0);  // the random variables are not modified

  // With fewer mean entries than k, entry k itself (here deterministic) moves.
  VD y{8.0, 2.0, 6.0}, out;
  VI r1{-1, 0, -1}, c1{0, -1, 0};
  auto w = Vars({CRandVar(), CRandVar(), CRandVar()});  // entry 2 holds Param1 of a normal variable
  FDRandMeanIntoFDRandEntry(y, r1, c1, w, 0.5, 2, out);
  EXPECT_EQ(out[2], 6.5);
}

TEST(FDRandMeanIntoFDRandEntry, FailuresLeaveTheOutputUntouched) {
  VD x{2.0, 3.0};
  VI r{0, -1}, c{0, 0};
  auto v = Vars({CRandVar(CRandVar::kNormal, 2.0, 1.0)});
  VD out{42.0};
  auto failure = [&](int k, auto exception) {
    return LogOfFailure<decltype(exception)>([&] { FDRandMeanIntoFDRandEntry(x, r, c, v, 0.1, k, out); });
  };
  v[0].SetType(7);
  auto log = failure(0, CInvalidType(nullptr, 0));
  EXPECT_TRUE(MatchesReport(log, {"Invalid distribution type\n", {}, kUnit, "Object type is invalid", 1}));
  EXPECT_EQ(rbotest::ThrowLine(log), 1609);

  // k beyond the vector: refused rather than written out of bounds.
  v[0].SetType(CRandVar::kNormal);
  const std::string title = "Invalid mean entry number for the finite-difference step.\n";
  for (int k : {2, -1})
    EXPECT_TRUE(MatchesReport(failure(k, CInvalidArgument(nullptr, 0)),
                              MapReport({"       The supplied value = " + std::to_string(k) + "\n",
                                         "       The allowed value should be >= 0 and < 2\n"},
                                        title)));
  // Entry 1 exists (one mean entry only), but no random variable 1 to convert the step.
  EXPECT_TRUE(MatchesReport(
      failure(1, CInvalidArgument(nullptr, 0)),
      MapReport({"       The supplied value = 1\n", "       The random-variable array holds 1 variables\n"}, title)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], 42.0);
}

struct ConstantResult {
  int nCount = -1;
  std::valarray<bool> isConstant;
  VI meanPosition;
};

ConstantResult Classify(VI r, VI c, VI types, VI hostTypes) {
  ConstantResult out;
  out.isConstant.resize(5, true);  // wrong size and contents: must be reset
  CheckConstantRandomDVs(r, c, types, hostTypes, &out.nCount, out.isConstant, out.meanPosition);
  return out;
}

TEST(CheckConstantRandomDVs, ClassifiesByHostTypeCodes) {
  constexpr int C = 23, D = 20;  // constant and ordinary host type codes
  struct Case {
    const char* name;
    VI r, c, types, host;
    bool bConstant0;
  };
  const Case cases[] = {
      {"normal mean entry", {0, 0}, {-1, -2}, {0}, {D, D}, true},
      {"uniform, constant mean and bound", {0, 0}, {0, 1}, {1}, {C, C}, true},
      {"uniform, ordinary mean", {0, 0}, {0, 1}, {1}, {D, C}, false},
      {"Weibull, constant scale keeps the flag", {0, 0, 0}, {0, 1, 2}, {3}, {C, C, C}, true},
      {"Weibull, ordinary scale clears the flag", {0, 0, 0}, {0, 1, 2}, {3}, {C, D, C}, false},
      {"flag carried from the previous variable", {1, 0, 0}, {0, 1, 0}, {1, 1}, {C, C, D}, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const ConstantResult res = Classify(k.r, k.c, k.types, k.host);
    EXPECT_EQ(bool(res.isConstant[0]), k.bConstant0);
    int nSet = 0;
    for (bool b : res.isConstant) nSet += b ? 1 : 0;
    EXPECT_EQ(res.nCount, nSet);
  }
}

// The results are sized by the variables, whatever they held, and -1 marks
// a variable without entries.
TEST(CheckConstantRandomDVs, MeanPositionsInTheAnalysisInputs) {
  // d, (0: mean, sd), d, (2: P1, P2); variable 1 has no entries.
  const ConstantResult res = Classify({-1, 0, 0, -1, 2, 2}, {0, -1, -2, 0, 0, 1}, {1, 0, 1}, {20, 20, 20, 20, 20, 20});
  EXPECT_EQ(std::vector<int>(std::begin(res.meanPosition), std::end(res.meanPosition)), (std::vector<int>{1, -1, 3}));
  const ConstantResult empty = Classify({}, {}, {0, 1, 3}, {});
  EXPECT_EQ(empty.nCount, 0);
  EXPECT_EQ(std::vector<int>(std::begin(empty.meanPosition), std::end(empty.meanPosition)),
            (std::vector<int>{-1, -1, -1}));
  ASSERT_EQ(empty.isConstant.size(), 3u);
  EXPECT_FALSE(empty.isConstant.max());
}

TEST(PartialOrvoDVsArrayFromAnalysisInps, EachGroupReceivesOneInput) {
  VD inputs{1.0, 2.0, 3.0, 4.0};
  VI r{-1, 0, 0, -1, 1};
  VD x{0.0, 0.0, 9.0, 0.0, 0.0};
  PartialOrvoDVsArrayFromAnalysisInps(inputs, r, x);
  const double expected[] = {1.0, 2.0, 9.0, 3.0, 4.0};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(x[i], expected[i]) << i;

  VD tooFew{1.0, 2.0, 3.0};
  EXPECT_THROW(PartialOrvoDVsArrayFromAnalysisInps(tooFew, r, x), CInvalidArgument);
}

}  // namespace
