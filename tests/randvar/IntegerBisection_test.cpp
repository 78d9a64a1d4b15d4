// The bisection steps on bit patterns against the same steps in floating
// point: the same ends, midpoint, step count and outcome, for brackets of
// one binade (the upper end on the next power of two included), widths of
// an odd number times a power of two units (those steps taken at once, the
// rest step by step) and odd widths (step by step), mirrored
// negative brackets, zones from one unit in the last place to a thousandth
// of the bracket, some reaching past its ends, several tolerances and step
// counts near the limit of 200; and the steps along the exact path against
// the walk.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "randvar/DistributionKernels.h"
#include "randvar/IntegerBisection.h"
#include "support/Numbers.h"

namespace {

using rbo::icdf::CIntegerSteps;
using rbo::icdf::EIntegerEnd;

using testsupport::SameBits;

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
      {"three times a power of two", 10.0, 13.0, true},
      {"five times a power of two, mirrored", -12.5, -10.0, true},
      {"odd multiple of a short power of two", 1.0, 1.75 + 0x1.8p-40, true},
      {"odd multiple of four units", 1.0, 1.0 + 0x1.ffffffp-30, true},
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

// The steps along the exact path against the walk, on widths of every
// parity and zones from one unit to 2^30 units, some placed within a few
// dozen units of a point the exact path visits (where the rounded walk may
// turn the other way): whenever the path answers, it gives the walk's
// ends, step count, midpoint and outcome; it answers for nearly all zones
// placed at random.
TEST(IntegerBisection, PathStepsEqualTheWalk) {
  std::mt19937_64 rng(43);
  int nAnswered = 0, nRandom = 0, nRandomAnswered = 0, nNearAnswered = 0;
  for (int trial = 0; trial < 200000; ++trial) {
    CIntegerSteps s{};
    const int nWidthBits = 20 + int(rng() % 31);
    const std::uint64_t w = (rng() >> (64 - nWidthBits)) | (std::uint64_t(1) << (nWidthBits - 1));
    s.lo = s.lo0 = (std::uint64_t(1000 + rng() % 40) << 52) + (rng() >> 13);
    s.hi = s.hi0 = s.lo + w;
    const std::uint64_t nZone = std::uint64_t(1) << (rng() % 31);
    if (nZone + 2 >= w) continue;
    const bool bNear = trial % 4 == 0;
    std::uint64_t za = s.lo + rng() % (w - nZone - 1);
    if (bNear) {  // next to the exact path's point j w / 2^k
      const int k = 1 + int(rng() % 24);
      const std::uint64_t j = (rng() % (std::uint64_t(1) << k)) | 1;
      const std::uint64_t nLow = w & ((std::uint64_t(1) << k) - 1);  // floor(w j / 2^k) without overflow
      za = s.lo + (w >> k) * j + (nLow * j >> k) + rng() % 81 - 40;
      if (std::int64_t(za) < std::int64_t(s.lo) || za + nZone + 1 > s.hi) continue;
      if (trial % 8 == 0) za -= nZone;  // the zone's upper end there
      if (std::int64_t(za) < std::int64_t(s.lo)) continue;
    }
    s.za = za;
    s.zFirst = za + 1;
    s.nZoneCount = nZone;
    s.n = int(rng() % 20);
    const int nQuiet = 1 + int(rng() % std::uint64_t(nWidthBits - 2));
    CIntegerSteps walked = s;
    const bool bWalkZone = rbo::icdf::WalkQuietSteps(walked, nQuiet);
    bool bZone = false;
    nRandom += !bNear;
    if (!rbo::icdf::PathQuietSteps(s, nQuiet, bZone)) continue;
    ++nAnswered;
    (bNear ? nNearAnswered : nRandomAnswered) += 1;
    ASSERT_EQ(bZone, bWalkZone) << "trial " << trial;
    ASSERT_EQ(s.lo, walked.lo) << "trial " << trial;
    ASSERT_EQ(s.hi, walked.hi) << "trial " << trial;
    ASSERT_EQ(s.n, walked.n) << "trial " << trial;
    if (bZone) {
      ASSERT_EQ(s.mid, walked.mid) << "trial " << trial;
    }
  }
  EXPECT_GT(nRandomAnswered, nRandom * 9 / 10) << nRandomAnswered << " of " << nRandom;
  EXPECT_GT(nNearAnswered, 10000) << nNearAnswered;  // near zones too, where the margin allows
  EXPECT_GT(nAnswered, 150000) << nAnswered;
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
