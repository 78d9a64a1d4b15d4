// The bisection steps on bit patterns against the same steps in floating
// point: the same ends, midpoint, step count and outcome, for brackets of
// one binade (the upper end on the next power of two included), widths of
// a power of two units (taken at once) and others (step by step), mirrored
// negative brackets, zones from one unit in the last place to a thousandth
// of the bracket, some reaching past its ends, several tolerances and step
// counts near the limit of 200.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "randvar/DistributionKernels.h"
#include "randvar/IntegerBisection.h"

namespace {

using rbo::icdf::CIntegerSteps;
using rbo::icdf::EIntegerEnd;

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Outcome {
  double xL, xU, xM;
  int n;
  bool bZone;
};

// The steps as the search takes them in floating point: a midpoint inside
// (xa, xb) stops them; one outside moves its end, and the step ends the
// search when it was the last or the ends have become close.
Outcome FloatingPointSteps(double xL, double xU, double xa, double xb, int n, double tol) {
  for (;;) {
    const double xM = (xL + xU) / 2.0;
    if (xM > xa && xM < xb) return {xL, xU, xM, n, true};
    (xM <= xa ? xL : xU) = xM;
    if (n == 200) return {xL, xU, (xL + xU) / 2.0, n, false};
    ++n;
    if (rbo::NumbersAreClose(xL, xU, tol)) return {xL, xU, (xL + xU) / 2.0, n, false};
  }
}

struct BracketCase {
  const char* pszName;
  double xL, xU;
  bool bBothOutcomes;  ///< zones are met as well as closeness (not below the tolerance, where the first step ends)
};

TEST(IntegerBisection, StepsEqualTheFloatingPointSteps) {
  const BracketCase cases[] = {
      {"to the next power of two", 1.0, 2.0, true},
      {"inside a binade", 1.25, 1.75, true},
      {"odd ends", 2.718281828459045, 3.141592653589793, true},
      {"mirrored", -2.0, -1.0, true},
      {"mirrored odd ends", -7.9, -4.3, true},
      {"tiny", 1e-300, 1.4e-300, false},
      {"huge", 1e300, 1.3e300, true},
      {"narrow", 1.0, 1.0 + 1e-9, true},
      {"power-of-two width", 3.0, 3.5, true},
      {"power-of-two width, deep", 1.25, 1.25 + 0x1p-30, true},
      {"power-of-two width, mirrored", -4.5, -4.0, true},
  };
  const double tolerances[] = {1e-12, 1e-15, 1e-10};
  std::mt19937_64 rng(41);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (const BracketCase& c : cases) {
    int nZones = 0, nEnded = 0;
    for (int trial = 0; trial < 3000; ++trial) {
      const double tol = tolerances[trial % 3];
      const int n0 = trial % 10 == 0 ? 170 + int(unit(rng) * 30) : int(unit(rng) * 20);
      const double dReach = trial % 7 == 0 ? 0.1 : 0.0;  // a zone may begin beyond an end
      const double xa = c.xL + (unit(rng) * (1.0 + 2.0 * dReach) - dReach) * (c.xU - c.xL);
      const double w = (c.xU - c.xL) * std::pow(10.0, -3.0 - 14.0 * unit(rng));
      const double xb = std::fmax(std::nextafter(xa, HUGE_VAL), xa + w);
      if (!(xa < xb)) continue;
      CIntegerSteps s{};
      ASSERT_TRUE(rbo::icdf::SetUpIntegerSteps(c.xL, c.xU, xa, xb, n0, tol, s)) << c.pszName;
      rbo::icdf::RunIntegerSteps(s);
      double xL = 0.0, xU = 0.0;
      rbo::icdf::IntegerEnds(s, xL, xU);
      const Outcome e = FloatingPointSteps(c.xL, c.xU, xa, xb, n0, tol);
      ASSERT_EQ(s.eEnd == EIntegerEnd::kZone, e.bZone) << c.pszName << " xa " << xa << " xb " << xb;
      EXPECT_TRUE(SameBits(xL, e.xL) && SameBits(xU, e.xU)) << c.pszName << " xa " << xa << " xb " << xb;
      EXPECT_EQ(s.n, e.n) << c.pszName << " xa " << xa;
      if (e.bZone) {
        const double xM = s.bNeg ? -rbo::icdf::DoubleOf(s.mid) : rbo::icdf::DoubleOf(s.mid);
        EXPECT_TRUE(SameBits(xM, e.xM)) << c.pszName << " xa " << xa;
      }
      (e.bZone ? nZones : nEnded) += 1;
    }
    // Both outcomes occur: zones narrower than the tolerance end by closeness.
    EXPECT_GT(nEnded, 100) << c.pszName;
    if (c.bBothOutcomes) {
      EXPECT_GT(nZones, 100) << c.pszName;
    }
  }
}

struct RefusedCase {
  const char* pszName;
  double xL, xU;
};

// Brackets where patterns are not the values up to a constant take the
// floating-point steps.
TEST(IntegerBisection, RefusesBracketsAcrossBinadesOrZero) {
  const RefusedCase cases[] = {
      {"across a power of two", 1.5, 2.5}, {"from zero", 0.0, 1.0},          {"across zero", -1.0, 1.0},
      {"subnormal", 1e-310, 2e-310},       {"to infinity", 1e308, HUGE_VAL},
  };
  for (const RefusedCase& c : cases) {
    CIntegerSteps s{};
    const double xa = c.xL / 2.0 + c.xU / 2.0;
    EXPECT_FALSE(rbo::icdf::SetUpIntegerSteps(c.xL, c.xU, xa, std::nextafter(xa, HUGE_VAL), 0, 1e-12, s)) << c.pszName;
  }
}

}  // namespace
