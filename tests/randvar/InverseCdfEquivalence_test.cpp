// InverseCDF with predicted CDF values against the documented search
// (InverseCdfReference.h), bit for bit: random variables of every type with
// ordinary and extreme parameters, probabilities spread over (0, 1), in the
// far tails, at 0 and 1, within 1e-8 of 1/2 and outside [0, 1], and the
// default and other tolerances.  The long run (ten million cases) is
// registered on its own under the ctest label "long".
//
// Also here: the predicted search really is the one that runs (it calls CDF
// a few hundredths of a time per call where the plain search calls it about
// forty times), and it counts no more CDF calls than the plain search in
// the cases that fall back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "randvar/AnchorLanes.h"
#include "randvar/InverseCdfReference.h"
#include "randvar/InverseCdfSearch.h"
#include "randvar/RandVarCases.h"
#include "rbo/RandVar.h"
#include "support/Numbers.h"
#include "support/RandVarInternals.h"
#include "support/SearchVariable.h"

namespace {

/// Same double, bit for bit (a NaN equals only the same NaN).
using testsupport::SameBits;

/// Random variables, probabilities and tolerances, weighted towards the
/// places where the predicted search could go wrong.
class CCaseGenerator {
 public:
  explicit CCaseGenerator(std::uint64_t nSeed) : m_rng(nSeed) {}

  double Uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(m_rng); }
  double LogUniform(double a, double b) { return std::exp(Uniform(std::log(a), std::log(b))); }
  bool Chance(double p) { return Uniform(0.0, 1.0) < p; }
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_rng); }

  /// A location: 0, moderate, or of any magnitude, of either sign.
  double Location() {
    switch (Pick(4)) {
      case 0:
        return 0.0;
      case 1:
        return Uniform(-10.0, 10.0);
      case 2:
        return LogUniform(1e-12, 1e12);
      default:
        return -LogUniform(1e-12, 1e12);
    }
  }

  CRandVar Variable() {
    switch (Pick(4)) {
      case CRandVar::kNormal:
        return CRandVar(CRandVar::kNormal, Location(), LogUniform(1e-12, 1e8));
      case CRandVar::kUniform: {
        if (Chance(0.05)) {  // equal bounds: a point mass
          const double a = Location();
          return CRandVar(CRandVar::kUniform, a, a);
        }
        if (Chance(0.15))  // bounds of very different magnitude
          return CRandVar(CRandVar::kUniform, -LogUniform(1e-10, 1e-2), LogUniform(1e2, 1e10));
        const double a = Location();
        return CRandVar(CRandVar::kUniform, a, a + LogUniform(1e-9, 1e9) * (1.0 + std::fabs(a)));
      }
      case CRandVar::kLognormal:
        return CRandVar(CRandVar::kLognormal, LogUniform(1e-12, 20.0), LogUniform(1e-6, 5.0));
      default: {
        const double gamma = Chance(0.3) ? 0.0 : (Chance(0.5) ? -LogUniform(1e-6, 1e3) : Location());
        return CRandVar(CRandVar::kWeibull, gamma, LogUniform(1e-6, 1e6), LogUniform(0.1, 50.0));
      }
    }
  }

  double Probability() {
    static const double kSpecial[] = {0.0,     -0.0,     1.0,         1e-300,     5e-324, 1e-9,    1e-9 * (1 - 1e-15),
                                      0.99999, 0.5,      1.0 - 1e-16, -0.1,       1.5,    -1e-300, 1.0 + 2.3e-16,
                                      NAN,     INFINITY, 0.5 + 1e-5,  0.5 - 1e-5, 2.4e-4};
    const int k = Pick(20);
    if (k < 9) return Uniform(0.0, 1.0);
    if (k < 11) return LogUniform(1e-300, 1e-2);
    if (k < 13) return 1.0 - LogUniform(1e-16, 1e-2);
    if (k < 15) return 0.5 + Uniform(-1e-8, 1e-8);
    if (k < 16) return 0.5 + (Chance(0.5) ? 1.0 : -1.0) * LogUniform(1e-8, 1e-3);
    if (k < 18) return kSpecial[Pick(int(sizeof kSpecial / sizeof kSpecial[0]))];
    return Uniform(1e-9, 1e-4);
  }

  double Tolerance() {
    static const double kOthers[] = {1e-6, 1e-3, 0.0, 1e-10, 1e-13, 1e-15, 1e-12, 2e-11, 1e-16, -5.0};
    return Chance(0.7) ? -1.0 : kOthers[Pick(int(sizeof kOthers / sizeof kOthers[0]))];
  }

 private:
  std::mt19937_64 m_rng;  ///< the cases' random stream
};

std::string Describe(const CRandVar& v, double p, double tol) {
  std::ostringstream os;
  os.precision(17);
  os << "type " << v.GetType() << " (" << v.GetParam1() << ", " << v.GetParam2() << ", " << v.GetParam3() << ") p " << p
     << " tol " << tol;
  return os.str();
}

/// InverseCDF's search with a counting CDF: the same function the library
/// runs, instantiated here so that the library stays uninstrumented.
double CountedInverse(CRandVar& v, double p, double tol, long& nCalls) {
  auto cdf = [&](double x) {
    ++nCalls;
    return v.CDF(x);
  };
  return rbo::icdf::InverseCdfSearch(rbotest::SearchVariableOf(v), p, tol, cdf);
}

/// Compares nCases random cases and reports the first few differences.
void ExpectIdenticalOnRandomCases(std::uint64_t nSeed, long nCases) {
  CCaseGenerator gen(nSeed);
  long nDiffer = 0;
  for (long i = 0; i < nCases;) {
    CRandVar v = gen.Variable();
    // A few probabilities and tolerances per variable.
    for (int k = 0; k < 4 && i < nCases; ++k, ++i) {
      const double p = gen.Probability(), tol = gen.Tolerance();
      int nReferenceCalls = 0;
      const double expected = rbotest::ReferenceInverseCdf(v, p, tol, &nReferenceCalls);
      const double actual = v.InverseCDF(p, tol);
      if (!SameBits(actual, expected) && ++nDiffer <= 10)
        ADD_FAILURE() << Describe(v, p, tol) << ": " << actual << " instead of " << expected;
      // Every exact evaluation is at a point the documented search
      // evaluates, each at most once: never more CDF calls.
      if (i % 8 == 0) {
        long nCalls = 0;
        CountedInverse(v, p, rbo::ToleranceOrDefault(tol), nCalls);
        if (nCalls > nReferenceCalls && ++nDiffer <= 10)
          ADD_FAILURE() << Describe(v, p, tol) << ": " << nCalls << " CDF calls, documented " << nReferenceCalls;
      }
    }
  }
  EXPECT_EQ(nDiffer, 0);  // differences in result or in cost
}

TEST(InverseCdfEquivalence, RandomCasesMatchTheDocumentedSearch) { ExpectIdenticalOnRandomCases(20240611, 300000); }

// Ten million cases: ctest -L long (see tests/CMakeLists.txt).
TEST(InverseCdfEquivalence, DISABLED_TenMillionRandomCases) { ExpectIdenticalOnRandomCases(77, 10000000); }

// ---- places that the random cases reach rarely ----

struct CFixedCase {
  const char* pszName;   ///< what the case exercises
  int nType;             ///< distribution type
  double dP1, dP2, dP3;  ///< parameters
};

// Roots on a power of two or at zero (where the bisection's ends change
// binade or sign), at the normal fit's jump, at the Weibull floor and near
// the support's ends.
const CFixedCase kFixedCases[] = {
    {"UniformRootAtTwo", CRandVar::kUniform, 0.0, 4.0, 0.0},
    {"UniformRootAtZero", CRandVar::kUniform, -1.0, 1.0, 0.0},
    {"UniformTiny", CRandVar::kUniform, 1.0, 1.0 + 1e-12, 0.0},
    {"UniformHuge", CRandVar::kUniform, -1e300, 1e300, 0.0},
    {"NormalAtTwo", CRandVar::kNormal, 2.0, 1e-3, 0.0},
    {"NormalAtZero", CRandVar::kNormal, 0.0, 1.0, 0.0},
    {"NormalNegative", CRandVar::kNormal, -1024.0, 3.0, 0.0},
    {"NormalSmallSigma", CRandVar::kNormal, 1e6, 1e-12, 0.0},
    {"LognormalAtOne", CRandVar::kLognormal, 1e-12, 1e-6, 0.0},
    {"LognormalWide", CRandVar::kLognormal, 3.0, 4.0, 0.0},
    {"WeibullNegativeLocation", CRandVar::kWeibull, -3.0, 5.0, 3.5},
    {"WeibullSteep", CRandVar::kWeibull, 1.0, 1e-3, 50.0},
    {"WeibullFlat", CRandVar::kWeibull, 0.0, 1e6, 0.1},
    {"UniformPointMass", CRandVar::kUniform, 2.0, 2.0, 0.0},
};

/// The fixed cases above and the variables shared by the random-variable tests.
std::vector<CFixedCase> FixedCases() {
  std::vector<CFixedCase> cases(std::begin(kFixedCases), std::end(kFixedCases));
  for (const rbotest::DistCase& d : rbotest::Distributions())
    cases.push_back({d.pszName, d.nType, d.dP1, d.dP2, d.dP3});
  return cases;
}

class InverseCdfEquivalenceAt : public ::testing::TestWithParam<CFixedCase> {};

// The documented search's double for every probability and tolerance,
// including where it gives up; it never makes more than 2 + 20 + 201 CDF
// evaluations, even with a zero tolerance, where only the 201-step limit
// ends the bisection.
TEST_P(InverseCdfEquivalenceAt, EveryProbabilityAndTolerance) {
  const CFixedCase& c = GetParam();
  CRandVar v(c.nType, c.dP1, c.dP2, c.dP3);
  std::vector<double> ps = {0.0,         1.0, -0.1,       1.5,        NAN,        1e-300, 1e-9, 0.99999, 0.9999,
                            1.0 - 1e-16, 0.5, 0.5 + 1e-5, 0.5 - 1e-5, 1.0 - 1e-9, 1e-6,   1e-4, 0.999};
  for (int k = -20; k <= 20; ++k) ps.push_back(0.5 + k * 5e-10);  // within 1e-8 of 1/2
  for (int k = 1; k < 400; ++k) ps.push_back(k / 400.0);
  for (int k = 1; k <= 16; ++k) ps.push_back(std::ldexp(1.0, -k) * (1.0 + 1e-13));
  for (double tol : {-1.0, 1e-12, 1e-6, 1e-3, 0.0, 1e-15}) {
    for (double p : ps) {
      int nCalls = 0;
      const double expected = rbotest::ReferenceInverseCdf(v, p, tol, &nCalls);
      EXPECT_TRUE(SameBits(v.InverseCDF(p, tol), expected)) << Describe(v, p, tol);
      EXPECT_LE(nCalls, rbotest::kMaxInverseCdfCalls) << Describe(v, p, tol);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, InverseCdfEquivalenceAt, ::testing::ValuesIn(FixedCases()),
                         [](const ::testing::TestParamInfo<CFixedCase>& i) { return std::string(i.param.pszName); });

// ---- the predicted search is the one that runs ----

// With the default tolerance and p spread over (0, 1), the plain search
// calls CDF about forty times; the predicted one needs the exact value only
// where a prediction is too close to call: a few per hundred calls.  Both
// give the same double.  (0.25 per call bounds the rate with a wide margin;
// a predictor that declined would cost forty.)
TEST(InverseCdfEquivalence, PredictedSearchRarelyCallsCdf) {
  const CFixedCase kTypical[] = {{"normal", CRandVar::kNormal, 3.0, 0.5, 0.0},
                                 {"uniform", CRandVar::kUniform, -1.0, 4.0, 0.0},
                                 {"lognormal", CRandVar::kLognormal, 1.0, 0.5, 0.0},
                                 {"weibull", CRandVar::kWeibull, 2.0, 5.0, 3.5}};
  for (const CFixedCase& c : kTypical) {
    CRandVar v(c.nType, c.dP1, c.dP2, c.dP3);
    long nCalls = 0, nReferenceCalls = 0;
    constexpr int kPoints = 4000;
    for (int k = 0; k < kPoints; ++k) {
      const double p = (k + 0.5) / kPoints;
      int nRef = 0;
      const double expected = rbotest::ReferenceInverseCdf(v, p, -1.0, &nRef);
      nReferenceCalls += nRef;
      EXPECT_TRUE(SameBits(CountedInverse(v, p, 1e-12, nCalls), expected)) << c.pszName << " p " << p;
    }
    EXPECT_LT(double(nCalls) / kPoints, 0.25) << c.pszName;
    EXPECT_GT(double(nReferenceCalls) / kPoints, 30.0) << c.pszName;
  }
}

// Where no predictor applies (p = 0, a zero tolerance, a point mass) the
// plain search runs: the same CDF calls as the reference, not one more.
TEST(InverseCdfEquivalence, FallbackCallsCdfLikeTheDocumentedSearch) {
  CRandVar normal(CRandVar::kNormal, 3.0, 0.5), point(CRandVar::kUniform, 2.0, 2.0);
  const struct {
    CRandVar* pVar;
    double p, tol;
  } kCases[] = {{&normal, 0.0, -1.0}, {&normal, 0.3, 0.0}, {&normal, 0.5, -1.0}, {&point, 0.4, -1.0}};
  for (const auto& c : kCases) {
    long nCalls = 0;
    int nRef = 0;
    const double expected = rbotest::ReferenceInverseCdf(*c.pVar, c.p, c.tol, &nRef);
    EXPECT_TRUE(SameBits(CountedInverse(*c.pVar, c.p, rbo::ToleranceOrDefault(c.tol), nCalls), expected));
    EXPECT_EQ(nCalls, nRef) << "p " << c.p << " tol " << c.tol;
  }
}

}  // namespace

// ======================================================================
// The bounds the predicted search rests on (InverseCdfModels.h), checked
// against independent long double evaluations.

namespace {

using rbo::icdf::CCdfBounds;

/// The erfc fit in long double (64-bit mantissa) with the same double coefficients.
long double ErfcFitLong(long double u) {
  const long double t = 1.0L / (1.0L + u / 2.0L);
  long double q = rbo::kErfcFit[9];
  for (int k = 8; k >= 0; --k) q = rbo::kErfcFit[k] + t * q;
  return t * expl(-u * u + q);
}

/// Q'(t), Q''(t) and Q'''(t) in long double.
void QDerivativesLong(long double t, long double& d1, long double& d2, long double& d3) {
  d1 = d2 = d3 = 0.0L;
  for (int k = 9; k >= 1; --k) d1 = d1 * t + k * rbo::kErfcFit[k];
  for (int k = 9; k >= 2; --k) d2 = d2 * t + k * (k - 1) * rbo::kErfcFit[k];
  for (int k = 9; k >= 3; --k) d3 = d3 * t + k * (k - 1) * (k - 2) * rbo::kErfcFit[k];
}

/// L'(u), L''(u), L'''(u) of ln erfc_fit in long double (formulas of InverseCdfModels.h).
void LogDerivativesLong(long double u, long double& l1, long double& l2, long double& l3) {
  const long double t = 1.0L / (1.0L + u / 2.0L);
  long double q1, q2, q3;
  QDerivativesLong(t, q1, q2, q3);
  l1 = -t / 2 - 2 * u - q1 * t * t / 2;
  l2 = t * t / 4 - 2 + (q2 * t * t * t * t + 2 * q1 * t * t * t) / 4;
  l3 = -t * t * t / 4 - (t * t / 8) * (q3 * t * t * t * t + 6 * q2 * t * t * t + 6 * q1 * t * t);
}

// The relative rounding error of the computed fit stays within its proved
// bound rho(u) (which assumes exp within 2 ulp).  The long double reference
// errs by about 1e-18, a thousandth of the bound.
TEST(InverseCdfModels, ErfcFitRoundingWithinItsBound) {
  CCaseGenerator gen(5);
  double worst = 0.0;
  for (int i = 0; i < 200000; ++i) {
    const double u = i % 2 == 0 ? gen.Uniform(0.0, 26.0) : gen.LogUniform(1e-12, 26.0);
    const double rel = double(fabsl(rbo::ErfcFit(u) / ErfcFitLong(u) - 1.0L));
    const double bound = rbo::icdf::ErfcFitNoise(u);
    ASSERT_LE(rel, bound) << "u = " << u;
    worst = std::max(worst, rel / bound);
  }
  EXPECT_GT(worst, 0.0);  // the comparison saw rounding at all
}

// The computed derivatives are within their stated errors and bounds, the
// exact curvature and third derivative within theirs, and the fit decreases steeply
// enough (L' <= -1) for the far bounds: on a grid of step h, L' <= -1 - 64 h
// leaves L' <= -1 between the grid points (|L''| <= 64).
TEST(InverseCdfModels, ErfcFitDerivativesWithinTheirBounds) {
  constexpr double h = 1e-3;
  for (int i = 0; i <= 30000; ++i) {
    const double u = i * h;
    long double l1, l2, l3;
    LogDerivativesLong(u, l1, l2, l3);
    double s = 0.0, c = 0.0;
    rbo::icdf::ErfcFitLogDerivatives(u, rbo::ErfcFitT(u), s, c);
    ASSERT_LE(fabsl(s - l1), rbo::icdf::kLogSlopeError) << u;
    ASSERT_LE(fabsl(c - l2), rbo::icdf::kLogCurvatureError) << u;
    ASSERT_LE(std::fabs(s), rbo::icdf::LogSlopeBound(u)) << u;
    ASSERT_LE(std::fabs(c), rbo::icdf::kLogCurvatureBound) << u;
    ASSERT_LE(l1, -1.0L - 64.0L * h) << u;
    ASSERT_LE(fabsl(l2), 58.1L) << u;
    ASSERT_LE(fabsl(l3), rbo::icdf::kLogThirdBound) << u;
  }
}

// The wrong side of the fit's jump at 0 stays within kJumpInf..kJumpSup.
TEST(InverseCdfModels, JumpAtTheMeanWithinItsBounds) {
  for (double u = 1e-300; u < 1e-2; u *= 1.5) {
    EXPECT_LE(rbo::icdf::CdfFromErfc(false, rbo::ErfcFit(u)), rbo::icdf::kJumpSup) << u;
    EXPECT_GE(rbo::icdf::CdfFromErfc(true, rbo::ErfcFit(u)), rbo::icdf::kJumpInf) << u;
  }
  EXPECT_GE(rbo::icdf::CdfFromErfc(true, rbo::ErfcFit(0.0)), rbo::icdf::kJumpInf);
}

/// Error of a double result in units of the last place of the exact value.
double UlpError(double computed, long double exact) {
  const long double ulp = ldexpl(1.0L, ilogbl(exact) - 52);
  return double(fabsl(computed - exact) / ulp);
}

// The C library's exp, log, log1p and pow are within the 2 ulp assumed by
// the noise bounds, over the arguments the search gives them.
TEST(InverseCdfModels, LibraryFunctionsWithinTwoUlp) {
  CCaseGenerator gen(9);
  double worst = 0.0;
  for (int i = 0; i < 100000; ++i) {
    const double a = gen.Uniform(-700.0, 60.0), x = gen.LogUniform(1e-300, 1e300), q = gen.LogUniform(1e-300, 0.9);
    const double z = gen.LogUniform(1e-6, 1e3), beta = gen.LogUniform(0.05, 100.0);
    worst = std::max(worst, UlpError(std::exp(a), expl(a)));
    if (std::fabs(std::log(x)) > 0.0) worst = std::max(worst, UlpError(std::log(x), logl(x)));
    worst = std::max(worst, UlpError(std::log1p(-q), log1pl(-(long double)q)));
    const long double pw = powl(z, beta);
    if (pw > 1e-300L && pw < 1e300L) worst = std::max(worst, UlpError(std::pow(z, beta), pw));
  }
  EXPECT_LE(worst, 2.0);
}

// The largest relative error, in units of 2^-53, of a lanes function over
// the arguments xs against its long double counterpart; every error must lie
// within the bound.  exact returns 0 where the result must be 0 itself.
template <class Lanes, class Exact>
double WorstLanesError(std::vector<double> xs, Lanes lanes, Exact exact, double dBoundUnits) {
  using rbo::icdf::kLanes;
  while (xs.size() % kLanes != 0) xs.push_back(xs.back());
  double worst = 0.0;
  for (std::size_t i = 0; i < xs.size(); i += kLanes) {
    rbo::icdf::VLanes x;
    for (int j = 0; j < kLanes; ++j) x[j] = xs[i + std::size_t(j)];
    const rbo::icdf::VLanes y = lanes(x);
    for (int j = 0; j < kLanes; ++j) {
      const long double e = exact((long double)x[j]);
      const double rel = e == 0.0L ? (y[j] == 0.0 ? 0.0 : HUGE_VAL) : double(fabsl(y[j] / e - 1.0L)) / 0x1p-53;
      EXPECT_LE(rel, dBoundUnits) << "argument " << x[j];
      if (rel > dBoundUnits) return rel;
      worst = std::max(worst, rel);
    }
  }
  return worst;
}

// The lanes' exp, log and ln(1 - p) within their stated bounds: exp over
// its whole range, at the edges of the reduction (r = -/+ ln 2 / 2) and at
// exact powers of two; log over the whole range of normal doubles and near
// 1 and the halving point sqrt 2, the edges of the binades included;
// ln(1 - p) from 1e-9 to 1 - 2^-53, around 1/2 (where 1 - p becomes exact)
// and where 1 - p crosses sqrt(1/2).  Each comparison must see rounding.
TEST(InverseCdfModels, LanesElementaryFunctionsWithinTheirBounds) {
  using namespace rbo::icdf;
  CCaseGenerator gen(21);
  std::vector<double> xs = {-700.0, 700.0, 0.0, -0.0, 1e-300, -1e-300, 1.0, -1.0, std::log(2.0), -745.0 + 45.0};
  for (int k = -1000; k <= 1000; k += 7)
    for (double d : {-0.5, -0.4999999, 0.0, 0.4999999, 0.5}) xs.push_back((k + d) * 0.69314718055994531);
  for (int i = 0; i < 200000; ++i) xs.push_back(i % 2 == 0 ? gen.Uniform(-700.0, 700.0) : gen.Uniform(-40.0, 1.0));
  EXPECT_GT(WorstLanesError(
                xs, [](VLanes x) { return LanesExp(x); }, [](long double x) { return expl(x); }, kLanesExpErrorUnits),
            0.1);

  xs = {1.0,
        2.0,
        0.5,
        0x1p-1022,
        0x1.fffffffffffffp1023,
        1.4142135623730951,
        std::nextafter(1.4142135623730951, 2.0),
        std::nextafter(1.0, 0.0),
        std::nextafter(1.0, 2.0)};
  for (int i = 0; i < 200000; ++i) {
    const int kind = i % 3;
    xs.push_back(kind == 0   ? gen.LogUniform(0x1p-1020, 0x1p1020)
                 : kind == 1 ? gen.Uniform(0.5, 2.0)
                             : 1.4142135623730951 * (1.0 + gen.Uniform(-1e-9, 1e-9)));
  }
  EXPECT_GT(WorstLanesError(
                xs, [](VLanes x) { return LanesLog(x); }, [](long double x) { return logl(x); }, kLanesLogErrorUnits),
            0.1);

  xs = {1e-9, 0x1p-29, 0.5, std::nextafter(0.5, 0.0), std::nextafter(0.5, 1.0), 1.0 - 0x1p-53, 0.99999, 0.25};
  for (int i = 0; i < 200000; ++i) {
    const int kind = i % 3;
    xs.push_back(kind == 0   ? gen.LogUniform(1e-9, 0.5)
                 : kind == 1 ? gen.Uniform(0.0, 1.0 - 0x1p-53)
                             : (1.0 - 0.70710678118654752) * (1.0 + gen.Uniform(-1e-9, 1e-9)));
  }
  for (double& p : xs) p = std::max(p, 1e-9);
  EXPECT_GT(WorstLanesError(
                xs, [](VLanes p) { return LanesLogOneMinus(p); }, [](long double p) { return log1pl(-p); },
                kLanesLogOneMinusErrorUnits),
            0.1);
}

// A zone (xa, xb) placed for p holds: it decides the tests with its bounds
// A and B, and the computed CDF keeps them at and beyond its ends, near
// them and far out.
testing::AssertionResult ZoneHoldsItsBounds(CRandVar& v, double p, double xa, double xb, double A, double B,
                                            CCaseGenerator& gen) {
  if (!(xa < xb && rbo::icdf::ZoneBoundsDecide(p, 1e-12, A, B))) return testing::AssertionFailure() << "not decided";
  const double w = xb - xa;
  for (double x : {xa, std::nextafter(xa, -1e300), xa - gen.Uniform(0.0, 1e3) * w})
    if (!(v.CDF(x) <= A)) return testing::AssertionFailure() << "CDF above A below the zone at x = " << x;
  for (double x : {xb, std::nextafter(xb, 1e300), xb + gen.Uniform(0.0, 1e3) * w})
    if (!(v.CDF(x) >= B)) return testing::AssertionFailure() << "CDF below B above the zone at x = " << x;
  return testing::AssertionSuccess();
}

// A sure zone [xc, xd] holds: the computed CDF is close to p at its ends
// and inside it.
testing::AssertionResult SureZoneHolds(CRandVar& v, double p, double xc, double xd, double tol, CCaseGenerator& gen) {
  if (!(xc <= xd)) return testing::AssertionFailure() << "empty";
  for (double x : {xc, xd, gen.Uniform(xc, xd), gen.Uniform(xc, xd)})
    if (!rbo::NumbersAreClose(p, v.CDF(x), tol)) return testing::AssertionFailure() << "CDF not close at x = " << x;
  return testing::AssertionSuccess();
}

/// The lanes' output with the zones of lanes that have none cleared: those
/// are not read, and codes of other widths may leave other values there.
template <class Anchors>
Anchors WithoutUnplacedZones(Anchors a) {
  for (int j = 0; j < rbo::icdf::kAnchorBatch; ++j)
    if (a.bZone[j] == 0) a.xa[j] = a.xb[j] = a.A[j] = a.B[j] = 0.0;
  return a;
}

/// The lanes' anchors and zones for a normal or lognormal variable, from
/// every code this processor runs; each must equal the generic code's bit
/// for bit.
struct CLaneRun {
  rbo::icdf::ELaneCode eCode;
  rbo::icdf::CErfcAnchors anchors;
};

// The lanes anchor where the scalar predictor does, with the same slope and
// curvature, a fit value within the lanes' noise of the exact fit and bounds
// at least as wide as the scalar ones; every zone they place holds its
// one-sided bounds (checked on the computed CDF on both sides) and decides
// the tests; within nearly every lognormal zone lies a sure zone, where the
// computed CDF is close to p.  Each code gives the same doubles.
TEST(InverseCdfModels, LanesAnchorAndPlaceZonesLikeTheScalarPredictor) {
  using namespace rbo::icdf;
  CCaseGenerator gen(23);
  int nZones = 0, nLognormalZones = 0, nSureZones = 0;
  for (int i = 0; i < 500; ++i) {
    const bool bLognormal = i % 2 == 1;  // parameters of ln x (the first positive)
    const double mu = bLognormal ? gen.LogUniform(1e-6, 8.0) : i % 4 == 0 ? 0.0 : gen.Uniform(-100.0, 100.0);
    const double sigma = bLognormal ? gen.LogUniform(1e-3, 2.0) : gen.LogUniform(1e-3, 1e3);
    CRandVar v(bLognormal ? CRandVar::kLognormal : CRandVar::kNormal, mu, sigma);
    double p[kAnchorBatch];
    for (double& q : p) q = i % 3 == 0 ? gen.LogUniform(1e-9, 0.5) : gen.Uniform(1e-9, 0.99999);
    p[0] = 0.5 + gen.Uniform(-1e-5, 1e-5);  // where the fit jumps, and beyond the sampled range: no zone
    p[1] = i % 2 == 0 ? 0.999991 : 9e-10;
    const CLaneNormal normal{mu, sigma, 1e-12, bLognormal};
    std::vector<CLaneRun> runs;
    for (ELaneCode e : {ELaneCode::kGeneric, ELaneCode::kAvx2, ELaneCode::kAvx512}) {
      CLaneRun r{e, {}};
      if (ErfcAnchorsWith(e, p, &normal, r.anchors)) runs.push_back({e, WithoutUnplacedZones(r.anchors)});
    }
    ASSERT_FALSE(runs.empty());
    const CErfcAnchors& a = runs[0].anchors;
    for (const CLaneRun& r : runs) ASSERT_EQ(std::memcmp(&r.anchors, &a, sizeof a), 0) << int(r.eCode);
    for (int j = 0; j < kAnchorBatch; ++j) {
      const double u = CNormalFitPredictor::AnchorFor(p[j]);
      ASSERT_EQ(a.bValid[j] != 0, u > 0.0 && u <= 26.0) << p[j];
      if (a.bValid[j] == 0) continue;
      const TErfcAnchor<double> scalar = ErfcAnchorAt(u);
      ASSERT_TRUE(SameBits(a.u1[j], u) && SameBits(a.slope[j], scalar.slope) &&
                  SameBits(a.curvature[j], scalar.curvature))
          << p[j];
      const double rho = ErfcFitNoise(u) + 1.001 * AnchorExpExcess(VLanes{});
      ASSERT_LE(double(fabsl(a.e1[j] / ErfcFitLong(u) - 1.0L)), rho) << p[j];
      ASSERT_LE(a.lowFactor[j], scalar.lowFactor) << p[j];
      ASSERT_GE(a.highFactor[j], scalar.highFactor) << p[j];
      ASSERT_TRUE(ProbabilityCovered(p[j], true) || a.bZone[j] == 0) << p[j];
      if (a.bZone[j] == 0) continue;
      ++nZones;
      ASSERT_TRUE(ZoneHoldsItsBounds(v, p[j], a.xa[j], a.xb[j], a.A[j], a.B[j], gen)) << p[j];
      nLognormalZones += bLognormal;
      if (a.xc[j] > a.xd[j]) continue;
      ++nSureZones;
      ASSERT_TRUE(bLognormal);
      ASSERT_TRUE(SureZoneHolds(v, p[j], a.xc[j], a.xd[j], 1e-12, gen)) << p[j];
    }
  }
  EXPECT_GT(nZones, 3 * 500 * kAnchorBatch / 4);   // the lanes place nearly every zone
  EXPECT_GT(nSureZones, 2 * nLognormalZones / 3);  // not where the zone is wider than tol p (p < 2^-52 / tol)
}

// The lanes' Weibull anchors and zones: y0 lies within its bound of
// -ln(1 - p) and kappa bounds |beta ln z0 - ln y0| (long double), each code
// gives the same doubles, nearly every value is
// valid, the zones are those the scalar predictor places on the same
// anchor at the first width, and every zone holds its one-sided
// bounds (checked on the computed CDF on both sides) and decides the tests.
TEST(InverseCdfModels, LanesWeibullAnchorsAndZonesHoldTheirBounds) {
  using namespace rbo::icdf;
  CCaseGenerator gen(31);
  int nValid = 0, nZones = 0;
  for (int i = 0; i < 300; ++i) {
    const double gamma = i % 3 == 0 ? 0.0 : gen.Uniform(-10.0, 10.0), eta = gen.LogUniform(1e-2, 1e2);
    const double beta = gen.LogUniform(0.05, 50.0);
    CRandVar v(CRandVar::kWeibull, gamma, eta, beta);
    double p[kAnchorBatch];
    for (double& q : p) q = i % 3 == 0 ? gen.LogUniform(1e-9, 0.5) : gen.Uniform(1e-9, 0.99999);
    p[0] = i % 2 == 0 ? 0.999991 : 9e-10;  // beyond the sampled range: no zone
    const CLaneWeibull lane{gamma, eta, beta, 1e-12};
    std::vector<CWeibullAnchors> runs;
    for (ELaneCode e : {ELaneCode::kGeneric, ELaneCode::kAvx2, ELaneCode::kAvx512}) {
      CWeibullAnchors a{};
      if (WeibullAnchorsWith(e, p, lane, a)) runs.push_back(WithoutUnplacedZones(a));
    }
    ASSERT_FALSE(runs.empty());
    const CWeibullAnchors& a = runs[0];
    for (const CWeibullAnchors& r : runs) ASSERT_EQ(std::memcmp(&r, &a, sizeof a), 0);
    for (int j = 0; j < kAnchorBatch; ++j) {
      if (a.bValid[j] == 0) continue;
      ++nValid;
      const double y0 = a.y0[j];
      ASSERT_LE(double(fabsl(y0 / -log1pl(-(long double)p[j]) - 1.0L)), kLanesY0Error) << p[j];
      const long double dev = beta * logl((long double)a.z0[j]) - logl((long double)y0);
      ASSERT_LE(double(fabsl(dev)), a.kappa[j]) << "y0 = " << y0 << " beta = " << beta;
      // The scalar predictor on the same anchor: where one of its first two
      // zones (above the location) decides the tests, the lanes place the
      // first such.
      CWeibullPredictor pred(gamma, eta, beta);
      double root = 0.0, xPerP = 0.0, A = 0.0, B = 0.0;
      if (pred.PrepareAt(p[j], y0, kLanesY0Error, a.z0[j], a.kappa[j], root, xPerP)) {
        double dxScalar = 0.0;
        for (double k : {kZoneWidths[0], kZoneWidths[1]}) {
          const double dx = ZoneHalfWidth(p[j], 1e-12, xPerP, k);
          if (ProbabilityCovered(p[j], false) && root - dx < root && root + dx > root && root - dx >= gamma &&
              pred.BoundBelow(root - dx, A) && pred.BoundAbove(root + dx, B) && ZoneBoundsDecide(p[j], 1e-12, A, B)) {
            dxScalar = dx;
            break;
          }
        }
        ASSERT_EQ(a.bZone[j] != 0, dxScalar > 0.0) << p[j] << " beta = " << beta;
        if (a.bZone[j] != 0) {
          ASSERT_TRUE(SameBits(a.xa[j], root - dxScalar)) << p[j] << " beta = " << beta;
        }
      }
      if (a.bZone[j] == 0) continue;
      ++nZones;
      ASSERT_TRUE(ZoneHoldsItsBounds(v, p[j], a.xa[j], a.xb[j], a.A[j], a.B[j], gen)) << p[j] << " beta = " << beta;
    }
  }
  EXPECT_GT(nValid, 300 * kAnchorBatch * 9 / 10);
  EXPECT_GT(nZones, 300 * kAnchorBatch / 2) << nZones;  // the rest need the wider zones PlaceZone tries next
}

/// The predictor of a variable, set up for p (false when it declines).
template <class Predictor>
bool PredictorEncloses(Predictor& pred, CRandVar& v, double p, CCaseGenerator& gen, std::string& failure) {
  double root = 0.0, xPerP = 0.0;
  if (!pred.Prepare(p, root, xPerP)) return true;
  const double scale = 1e-12 * (p < 0.5 ? p : 1.0 - p) * xPerP;  // the zone's scale in x
  for (int k = 0; k < 200; ++k) {
    const double x = root + gen.Uniform(-1e3, 1e3) * scale;
    CCdfBounds b{0.0, 0.0};
    const double f = v.CDF(x);
    if (pred.Predict(x, b) && !(b.dLo <= f && f <= b.dHi)) {
      failure = "Predict at " + std::to_string(x);
      return false;
    }
    // At x, next to it, near the zone and far out on the bound's side (s = -1 below, +1 above).
    auto holds = [&](double s, double bound) {
      for (double y : {x, std::nextafter(x, s * 1e300), x + s * gen.Uniform(0.0, 1e4) * scale,
                       x + s * gen.Uniform(0.0, 1.0) * std::fabs(x)})
        if (s < 0.0 ? !(v.CDF(y) <= bound) : !(v.CDF(y) >= bound)) return false;
      return true;
    };
    double A = 0.0, B = 0.0;
    if (pred.BoundBelow(x, A) && !holds(-1.0, A)) failure = "BoundBelow at " + std::to_string(x);
    if (pred.BoundAbove(x, B) && !holds(1.0, B)) failure = "BoundAbove at " + std::to_string(x);
    if (!failure.empty()) return false;
  }
  return true;
}

// Every prediction contains the computed CDF, and the one-sided bounds hold
// beyond their points, near the zone and far from it.
TEST(InverseCdfModels, PredictionsContainTheComputedCdf) {
  CCaseGenerator gen(13);
  for (int i = 0; i < 3000; ++i) {
    CRandVar v = gen.Variable();
    const double p = i % 3 == 0 ? gen.LogUniform(1e-9, 1e-2) : gen.Uniform(1e-9, 0.99999);
    std::string failure;
    auto encloses = [&](auto pred) { return PredictorEncloses(pred, v, p, gen, failure); };
    const int nType = v.GetType();
    if ((nType == CRandVar::kNormal || nType == CRandVar::kLognormal) && std::fabs(p - 0.5) < 1e-5) continue;
    const bool bOk =
        nType == CRandVar::kUniform ? encloses(rbo::icdf::CUniformPredictor(v.GetParam1(), v.GetParam2()))
        : nType == CRandVar::kWeibull
            ? encloses(rbo::icdf::CWeibullPredictor(v.GetParam1(), v.GetParam2(), v.GetParam3()))
            : encloses(rbo::icdf::CNormalFitPredictor(nType == CRandVar::kLognormal, v.GetParam1(), v.GetParam2()));
    ASSERT_TRUE(bOk) << Describe(v, p, -1.0) << ": " << failure;
  }
}

}  // namespace
