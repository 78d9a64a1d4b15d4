// CRandVar's record and its two validations: the exact log report of every
// rejected parameter set (through every entry point that validates), the
// boundaries that are accepted, NaN and infinity rejection, and the record's state after
// a failed validation.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <valarray>
#include <vector>

#include "foundation/LogTrace.h"
#include "rbo/RandVar.h"
#include "support/RandVarInternals.h"

namespace {

using rbotest::ExpectedReport;
using rbotest::LogOfFailure;
using rbotest::MatchesReport;
using refhost::LogCapture;
using refhost::LogRecord;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr const char* kAllowedFinite = "       The allowed value should be finite\n";
constexpr const char* kUnit = "RandVar";
constexpr const char* kArgText = "Function/method object is invalid";
constexpr const char* kTypeText = "Object type is invalid";
constexpr const char* kTypeTitle = "Invalid distribution type of the random variable.\n";
constexpr const char* kAllowedPositive = "       The allowed value should be > 0\n";

// printf-formats one value as the log does, for lines whose value is not a
// literal of the test (NaN prints as the C library spells it).
std::string Fmt(const char* pszFormat, double d) {
  char buf[128];
  std::snprintf(buf, sizeof buf, pszFormat, d);
  return buf;
}
std::string Supplied(double d) { return Fmt("       The supplied value = %g\n", d); }

// Stores the fields without validating (a copy would validate them).
void Fill(CRandVar& v, int nType, double p1, double p2, double p3, double p4 = 0.0) {
  v.SetType(nType);
  v.SetParam1(p1);
  v.SetParam2(p2);
  v.SetParam3(p3);
  v.SetParam4(p4);
}

void ExpectFields(const CRandVar& v, int nType, double p1, double p2, double p3) {
  EXPECT_EQ(v.GetType(), nType);
  auto same = [](double a, double b) { return a == b || (a != a && b != b); };  // NaN matches NaN
  EXPECT_TRUE(same(v.GetParam1(), p1)) << v.GetParam1() << " vs " << p1;
  EXPECT_TRUE(same(v.GetParam2(), p2)) << v.GetParam2() << " vs " << p2;
  EXPECT_TRUE(same(v.GetParam3(), p3)) << v.GetParam3() << " vs " << p3;
}

// ---- rejected parameter sets, through every validating entry point ----

struct InvalidCase {
  const char* pszName;
  int nType;
  double p1, p2, p3;
  std::string title;
  std::vector<std::string> details;
  bool bTypeError;  ///< CInvalidType rather than CInvalidArgument
};
void PrintTo(const InvalidCase& c, std::ostream* os) { *os << c.pszName; }

// Builds a case; a type error has no detail lines.
InvalidCase Bad(const char* pszName, int nType, double p1, double p2, double p3, std::string title,
                std::vector<std::string> details) {
  return {pszName, nType, p1, p2, p3, std::move(title), std::move(details), false};
}

// A rejected case's log and the report it must match, crossing nGuardLevels
// guarded operations.
template <class Case>
class InvalidFixture : public ::testing::TestWithParam<Case> {
 protected:
  ExpectedReport Report(int nGuardLevels) const {
    const Case& c = this->GetParam();
    return {c.title, c.details, kUnit, c.bTypeError ? kTypeText : kArgText, nGuardLevels};
  }
  // Runs f, which must throw the case's exception class, and returns the log.
  std::vector<LogRecord> Fail(const std::function<void()>& f) const {
    return this->GetParam().bTypeError ? LogOfFailure<CInvalidType>(f) : LogOfFailure<CInvalidArgument>(f);
  }
};

std::vector<InvalidCase> InvalidCases() {
  const std::string normal = "Invalid value of the Standard Deviation (2nd parameter) for\n";
  const std::string mean = "Invalid value of the Mean (1st parameter) for\n";
  const std::string uniform = "Invalid specification of bounds for the Uniform distribution:\n";
  const std::string below = "       Upper bound (2nd parameter) is < Lower bound (1st parameter)\n";
  const std::string lambda = "Invalid value of the natural logarithm of the mean\n";
  const std::string lambdaLine = "       value (1st parameter, lambda) for the Lognormal distribution:\n";
  const std::string eps = "Invalid value of the natural logarithm of the standard\n";
  const std::string epsLine = "       deviation (2nd parameter, epsilon) for the Lognormal distribution:\n";
  const std::string gamma = "Invalid value of the Location Parameter (1st parameter, gamma) for\n";
  const std::string eta = "Invalid value of the Scale Parameter (2nd parameter, eta) for\n";
  const std::string beta = "Invalid value of the Shape Parameter or Slope (3rd parameter, beta) for\n";
  const std::string wl = "       the Weibull distribution:\n";
  const std::string nl = "       the Normal distribution:\n";
  const std::string bounds = "       The allowed bounds should be finite\n";
  const std::string pos = kAllowedPositive, fin = kAllowedFinite;
  return {
      Bad("NormalSigmaJustBelowThreshold", 0, 0.0, 9.9e-13, 0.0, normal,
          {nl, "       The supplied value = 9.9e-13\n", pos}),
      Bad("NormalSigmaNegative", 0, 5.0, -2.0, 0.0, normal, {nl, Supplied(-2.0), pos}),
      Bad("NormalSigmaNaN", 0, 5.0, kNaN, 0.0, normal, {nl, Supplied(kNaN), pos}),
      Bad("UniformUpperBelowLower", 1, 2.0, 1.0, 0.0, uniform, {below, "       (1 < 2)\n"}),
      Bad("UniformNaNUpper", 1, 0.0, kNaN, 0.0, uniform, {below, Fmt("       (%g < 0)\n", kNaN)}),
      Bad("UniformNaNLower", 1, kNaN, 1.0, 0.0, uniform, {below, Fmt("       (1 < %g)\n", kNaN)}),
      // lambda is tested before epsilon: with both invalid only lambda is reported
      Bad("LognormalLambdaZero", 2, 0.0, 0.0, 0.0, lambda, {lambdaLine, Supplied(0.0), pos}),
      Bad("LognormalLambdaNaN", 2, kNaN, 1.0, 0.0, lambda, {lambdaLine, Supplied(kNaN), pos}),
      Bad("LognormalEpsilonTiny", 2, 1.0, 1e-13, 0.0, eps, {epsLine, Supplied(1e-13), pos}),
      Bad("LognormalEpsilonNaN", 2, 1.0, kNaN, 0.0, eps, {epsLine, Supplied(kNaN), pos}),
      // eta is tested before beta
      Bad("WeibullEtaZero", 3, -1.0, 0.0, 0.0, eta, {wl, Supplied(0.0), pos}),
      Bad("WeibullEtaNaN", 3, 0.0, kNaN, 1.0, eta, {wl, Supplied(kNaN), pos}),
      Bad("WeibullBetaNegative", 3, 0.0, 1.0, -2.0, beta, {wl, Supplied(-2.0), pos}),
      Bad("WeibullBetaNaN", 3, 0.0, 1.0, kNaN, beta, {wl, Supplied(kNaN), pos}),
      // Parameters that no threshold tests are still required to be finite,
      // and an infinite scale or shape passes "> 0" but is refused as well.
      Bad("NormalMeanInfinite", 0, kInf, 1.0, 0.0, mean, {nl, Supplied(kInf), fin}),
      Bad("NormalMeanNaN", 0, kNaN, 1.0, 0.0, mean, {nl, Supplied(kNaN), fin}),
      Bad("NormalSigmaInfinite", 0, 0.0, kInf, 0.0, normal, {nl, Supplied(kInf), fin}),
      Bad("UniformLowerInfinite", 1, -kInf, 1.0, 0.0, uniform,
          {Fmt("       Lower bound (1st parameter) = %g\n", -kInf), "       Upper bound (2nd parameter) = 1\n",
           bounds}),
      Bad("UniformUpperInfinite", 1, 0.0, kInf, 0.0, uniform,
          {"       Lower bound (1st parameter) = 0\n", Fmt("       Upper bound (2nd parameter) = %g\n", kInf), bounds}),
      Bad("LognormalLambdaInfinite", 2, kInf, 1.0, 0.0, lambda, {lambdaLine, Supplied(kInf), fin}),
      Bad("LognormalEpsilonInfinite", 2, 1.0, kInf, 0.0, eps, {epsLine, Supplied(kInf), fin}),
      Bad("WeibullLocationNaN", 3, kNaN, 1.0, 1.0, gamma, {wl, Supplied(kNaN), fin}),
      Bad("WeibullEtaInfinite", 3, 0.0, kInf, 1.0, eta, {wl, Supplied(kInf), fin}),
      Bad("WeibullBetaInfinite", 3, 0.0, 1.0, kInf, beta, {wl, Supplied(kInf), fin}),
      {"TypeSeven", 7, 0.0, 1.0, 1.0, kTypeTitle, {}, true},
  };
}

class RandVarInvalid : public InvalidFixture<InvalidCase> {
 protected:
  void FillSource(CRandVar& v) const {
    const InvalidCase& c = GetParam();
    Fill(v, c.nType, c.p1, c.p2, c.p3, 4.5);
  }
};

TEST_P(RandVarInvalid, ConstructorsAndCheckParamsReportAndThrow) {
  const InvalidCase& c = GetParam();
  const auto records = Fail([&] { CRandVar v(c.nType, c.p1, c.p2, c.p3); });
  EXPECT_TRUE(MatchesReport(records, Report(2)));  // CheckParams, then the constructor
  // The three- and five-argument constructors validate the same way.
  if (c.p3 == 0.0) {
    EXPECT_TRUE(MatchesReport(Fail([&] { CRandVar v(c.nType, c.p1, c.p2); }), Report(2)));
  }
  EXPECT_TRUE(MatchesReport(Fail([&] { CRandVar v(c.nType, c.p1, c.p2, c.p3, 1.0); }), Report(2)));
  // CheckParams alone is one guarded level.
  CRandVar v;
  FillSource(v);
  EXPECT_TRUE(MatchesReport(Fail([&] { CRandVarInternals::CheckParams(v); }), Report(1)));
}

// Copy, the copy constructor, assignment and an array assignment all
// validate through Copy: the same report, the same source lines.  The
// target has already received the fields when the check fails.
TEST_P(RandVarInvalid, EveryCopyPathReportsTheSameTrace) {
  const InvalidCase& c = GetParam();
  CRandVar source;
  FillSource(source);

  CRandVar copied;
  const auto viaCopy = Fail([&] { copied.Copy(source); });
  EXPECT_TRUE(MatchesReport(viaCopy, Report(2)));
  ExpectFields(copied, c.nType, c.p1, c.p2, c.p3);
  EXPECT_EQ(copied.GetParam4(), 4.5);

  const auto viaCopyConstructor = Fail([&] { CRandVar v(source); });
  CRandVar assigned(CRandVar::kUniform, 0.0, 1.0);
  const auto viaAssignment = Fail([&] { assigned = source; });
  ExpectFields(assigned, c.nType, c.p1, c.p2, c.p3);
  std::valarray<CRandVar> from(1), to(1);  // same size: element-wise assignment
  FillSource(from[0]);
  const auto viaArray = Fail([&] { to = from; });

  auto lines = [](const std::vector<LogRecord>& r) {
    std::vector<int> v = rbotest::GuardLines(r);
    v.insert(v.begin(), rbotest::ThrowLine(r));
    return v;
  };
  EXPECT_EQ(lines(viaCopyConstructor), lines(viaCopy));
  EXPECT_EQ(lines(viaAssignment), lines(viaCopy));
  EXPECT_EQ(lines(viaArray), lines(viaCopy));
  EXPECT_TRUE(MatchesReport(viaArray, Report(2)));

  // The constructor throws from the same place and passes the same inner
  // guard, but its own guard is a different one.
  const auto viaConstructor = Fail([&] { CRandVar v(c.nType, c.p1, c.p2, c.p3); });
  const std::vector<int> ctor = lines(viaConstructor), copy = lines(viaCopy);
  ASSERT_EQ(ctor.size(), 3u);
  ASSERT_EQ(copy.size(), 3u);
  EXPECT_EQ(ctor[0], copy[0]);
  EXPECT_EQ(ctor[1], copy[1]);
  EXPECT_NE(ctor[2], copy[2]);
}

INSTANTIATE_TEST_SUITE_P(Cases, RandVarInvalid, ::testing::ValuesIn(InvalidCases()),
                         [](const ::testing::TestParamInfo<InvalidCase>& c) { return std::string(c.param.pszName); });

TEST(RandVarValid, BoundariesAreAcceptedSilentlyAndStoredAsGiven) {
  struct ValidCase {
    const char* pszName;
    int nType;
    double p1, p2, p3;
  };
  for (const ValidCase& c :
       {ValidCase{"NormalSmallestSigma", 0, -7.0, 1e-12, 0.0}, ValidCase{"NormalAnyMean", 0, -1e300, 1.0, 123.0},
        ValidCase{"UniformEqualBounds", 1, 2.0, 2.0, 0.0}, ValidCase{"UniformNegativeBounds", 1, -5.0, -4.0, 0.0},
        ValidCase{"LognormalSmallest", 2, 1e-12, 1e-12, 0.0}, ValidCase{"WeibullNegativeLocation", 3, -3.0, 2.0, 1.0},
        ValidCase{"WeibullSmallest", 3, 0.0, 1e-12, 1e-12}}) {
    SCOPED_TRACE(c.pszName);
    LogCapture capture;
    CRandVar v(c.nType, c.p1, c.p2, c.p3, -8.0);
    ExpectFields(v, c.nType, c.p1, c.p2, c.p3);
    EXPECT_EQ(v.GetParam4(), -8.0);
    CRandVar copy(v);
    ExpectFields(copy, c.nType, c.p1, c.p2, c.p3);
    EXPECT_EQ(copy.GetParam4(), -8.0);
    EXPECT_TRUE(capture.Records().empty()) << rbotest::Dump(capture.Records());
  }
}

// Arrays of records cross the library boundary: a plain value class, type
// code then four doubles, no table of virtual functions; assignment
// returns nothing.
static_assert(!std::is_polymorphic<CRandVar>::value, "CRandVar must stay a plain value class");
static_assert(std::is_standard_layout<CRandVar>::value, "CRandVar must stay a plain value class");
static_assert(sizeof(CRandVar) == 8 + 4 * sizeof(double), "type code (padded) and four parameters");
static_assert(std::is_same<decltype(std::declval<CRandVar&>() = std::declval<const CRandVar&>()), void>::value,
              "assignment returns nothing");

// Param4 is stored and copied but never read, so it is never validated.
TEST(RandVar, FourthParameterIsNotValidated) {
  CRandVar v(CRandVar::kNormal, 0.0, 1.0, 0.0, kNaN);
  EXPECT_NE(v.GetParam4(), v.GetParam4());
  CRandVar copy(v);
  EXPECT_NE(copy.GetParam4(), copy.GetParam4());
}

struct MeanSdCase {
  const char* pszName;
  int nType;
  double p1, p2, p3;
  double dMean, dStdDev;
  std::string title;
  std::vector<std::string> details;
  bool bTypeError;
};
void PrintTo(const MeanSdCase& c, std::ostream* os) { *os << c.pszName; }

MeanSdCase BadMoments(const char* pszName, int nType, double p1, double p2, double p3, double dMean, double dStdDev,
                      std::string title, std::vector<std::string> details) {
  return {pszName, nType, p1, p2, p3, dMean, dStdDev, std::move(title), std::move(details), false};
}

std::vector<MeanSdCase> MeanSdCases() {
  const std::string sd = "Invalid value of the Standard Deviation for\n";
  const std::string lnMean = "Invalid value of the Mean for the Log Normal distribution:\n";
  const std::string wMean = "Invalid value of the Mean for the Weibull distribution:\n";
  const std::string nl = "       the Normal distribution:\n", wl = "       the Weibull distribution:\n";
  const std::string wLoc = "       The value of the 1st parameter = 0\n";
  const std::string wAllowed = "       The allowed mean value should be > 0\n";
  const std::string above1 = "       The allowed value should be > 1\n";
  const std::string pos = kAllowedPositive, fin = kAllowedFinite;
  return {
      BadMoments("NormalSdZero", 0, 0.0, 1.0, 0.0, 3.0, 0.0, sd, {nl, "       The supplied value = 0\n", pos}),
      BadMoments("NormalSdNaN", 0, 0.0, 1.0, 0.0, 3.0, kNaN, sd, {nl, Supplied(kNaN), pos}),
      BadMoments("UniformSdNegative", 1, 0.0, 1.0, 0.0, 3.0, -1.0, sd,
                 {"       the Uniform distribution:\n", Supplied(-1.0), pos}),
      // the standard deviation is tested before the mean
      BadMoments("LognormalSdTiny", 2, 1.0, 1.0, 0.0, 0.5, 5e-13, sd,
                 {"       the Log Normal distribution:\n", Supplied(5e-13), pos}),
      BadMoments("LognormalMeanOne", 2, 1.0, 1.0, 0.0, 1.0, 1.0, lnMean, {Supplied(1.0), above1}),
      BadMoments("LognormalMeanNaN", 2, 1.0, 1.0, 0.0, kNaN, 1.0, lnMean, {Supplied(kNaN), above1}),
      BadMoments("WeibullSdZero", 3, 0.0, 2.0, 1.0, 3.0, 0.0, sd, {wl, Supplied(0.0), pos}),
      BadMoments("WeibullMeanBelowLocation", 3, 0.0, 2.0, 1.0, -1.0, 1.0, wMean, {Supplied(-1.0), wLoc, wAllowed}),
      BadMoments("WeibullMeanNaN", 3, 0.0, 2.0, 1.0, kNaN, 1.0, wMean, {Supplied(kNaN), wLoc, wAllowed}),
      // Non-finite moments: tested after the thresholds above.
      BadMoments("NormalMeanInfinite", 0, 0.0, 1.0, 0.0, kInf, 1.0,
                 "Invalid value of the Mean for the Normal distribution:\n", {Supplied(kInf), fin}),
      BadMoments("UniformMeanNaN", 1, 0.0, 1.0, 0.0, kNaN, 1.0,
                 "Invalid value of the Mean for the Uniform distribution:\n", {Supplied(kNaN), fin}),
      BadMoments("NormalSdInfinite", 0, 0.0, 1.0, 0.0, 3.0, kInf, sd, {nl, Supplied(kInf), fin}),
      BadMoments("LognormalMeanInfinite", 2, 1.0, 1.0, 0.0, kInf, 1.0, lnMean, {Supplied(kInf), fin}),
      BadMoments("WeibullSdInfinite", 3, 0.0, 2.0, 1.0, 3.0, kInf, sd, {wl, Supplied(kInf), fin}),
      BadMoments("WeibullMeanInfinite", 3, 0.0, 2.0, 1.0, kInf, 1.0, wMean, {Supplied(kInf), fin}),
      {"TypeSeven", 7, 0.0, 1.0, 1.0, 3.0, 1.0, kTypeTitle, {}, true},
  };
}

class RandVarMeanSdInvalid : public InvalidFixture<MeanSdCase> {};

// Through the re-parameterisation the exception crosses one more guard, and
// the parameters stay as they were.
TEST_P(RandVarMeanSdInvalid, CheckAndReparameterisationReport) {
  const MeanSdCase& c = GetParam();
  CRandVar v;
  Fill(v, c.nType, c.p1, c.p2, c.p3);
  EXPECT_TRUE(MatchesReport(Fail([&] { CRandVarInternals::CheckMeanStdDev(v, c.dMean, c.dStdDev); }), Report(1)));
  EXPECT_TRUE(MatchesReport(Fail([&] { v.UpdateParamsFromActualMeanStdDev(c.dMean, c.dStdDev); }), Report(2)));
  ExpectFields(v, c.nType, c.p1, c.p2, c.p3);
}

INSTANTIATE_TEST_SUITE_P(Cases, RandVarMeanSdInvalid, ::testing::ValuesIn(MeanSdCases()),
                         [](const ::testing::TestParamInfo<MeanSdCase>& c) { return std::string(c.param.pszName); });

TEST(RandVarMeanSd, ThresholdsOfTheMean) {
  CRandVar lognormal(CRandVar::kLognormal, 1.0, 1.0);
  EXPECT_THROW(CRandVarInternals::CheckMeanStdDev(lognormal, 1.0, 1.0), CInvalidArgument);
  EXPECT_NO_THROW(CRandVarInternals::CheckMeanStdDev(lognormal, 1.000001, 1.0));
  CRandVar weibull(CRandVar::kWeibull, 5.0, 2.0, 1.0);
  EXPECT_THROW(CRandVarInternals::CheckMeanStdDev(weibull, 5.0, 1.0), CInvalidArgument);
  EXPECT_NO_THROW(CRandVarInternals::CheckMeanStdDev(weibull, 5.001, 1.0));
  // The mean of normal and uniform variables is not restricted.
  CRandVar normal(CRandVar::kNormal, 0.0, 1.0), uniform(CRandVar::kUniform, 0.0, 1.0);
  EXPECT_NO_THROW(CRandVarInternals::CheckMeanStdDev(normal, -1e6, 1e-12));
  EXPECT_NO_THROW(CRandVarInternals::CheckMeanStdDev(uniform, -1e6, 1e-12));
}

// ---- the gamma function's argument check ----

TEST(RandVarGamma, RejectsArgumentsNotAboveZero) {
  CRandVar v;
  for (double x : {0.0, -1.0, kNaN}) {
    const auto records = LogOfFailure<CInvalidArgument>([&] { CRandVarInternals::Gamma(v, x); });
    EXPECT_TRUE(
        MatchesReport(records, {"Invalid argumnet for the Gamma function.\n",
                                {Fmt("       Argument supplied: %g\n", x), "       The argument should be > 0\n"},
                                kUnit,
                                kArgText,
                                1}))
        << "x = " << x;
  }
}

// A shape set negative behind the validation's back reaches the gamma
// function through the moments: the report and two guarded levels.
TEST(RandVarGamma, NegativeShapeFailsThroughTheMoments) {
  CRandVar v;
  Fill(v, CRandVar::kWeibull, 0.0, 1.0, -0.5);
  const ExpectedReport report{"Invalid argumnet for the Gamma function.\n",
                              {"       Argument supplied: -1\n", "       The argument should be > 0\n"},
                              kUnit,
                              kArgText,
                              2};
  EXPECT_TRUE(MatchesReport(LogOfFailure<CInvalidArgument>([&] { v.GetActualMean(); }), report));
  EXPECT_TRUE(MatchesReport(LogOfFailure<CInvalidArgument>([&] { v.GetActualStdDev(); }), report));
}

}  // namespace
