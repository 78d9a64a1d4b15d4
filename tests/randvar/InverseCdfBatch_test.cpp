// The inverse distribution of many probabilities at once (InverseCdfInPlace)
// against the step-by-step copy of the documented search, bit for bit:
// short runs (value by value) and long runs (where the bracket grids take
// the first bisection steps), edge-case probabilities, and strides.  The
// grid itself is checked against the bisection steps it replaces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "randvar/BisectionGrid.h"
#include "randvar/InverseCdfBatch.h"
#include "randvar/InverseCdfReference.h"
#include "randvar/RandVarCases.h"
#include "rbo/RandVar.h"
#include "rbo/foundation/OrvoErr.h"
#include "support/Numbers.h"

namespace {

using testsupport::SameBits;

// Probabilities where a search takes unusual paths: the ends of (0, 1), a
// denormal, the point where the error-function fit jumps, the limits of
// the predicted search, and values outside [0, 1].
const double kEdgeProbabilities[] = {
    0.0,     1.0,         5e-324, 1e-310, 0.5,     0.5 + 1e-12, 0.5 - 1e-9, 0.5 + 1e-5, 1e-9,  1e-9 * (1 - 1e-15),
    0.99999, 1.0 - 1e-16, 1e-300, 2.4e-4, 0.02425, -0.25,       1.5,        0.3,        0.999, 1e-6};

// Inverts ps with the given stride (other slots hold a marker that must
// stay), returns the inverted values.
std::vector<double> InvertStrided(CRandVar& v, const std::vector<double>& ps, std::size_t nStride) {
  std::vector<double> buffer(ps.size() * nStride, -7.0);
  for (std::size_t i = 0; i < ps.size(); ++i) buffer[i * nStride] = ps[i];
  rbo::InverseCdfInPlace(v, buffer.data(), ps.size(), nStride);
  std::vector<double> out(ps.size());
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    if (i % nStride == 0)
      out[i / nStride] = buffer[i];
    else
      EXPECT_EQ(buffer[i], -7.0) << "slot " << i << " between the strided values was written";
  }
  return out;
}

void ExpectSameAsReference(CRandVar& v, const std::vector<double>& ps, const std::vector<double>& xs,
                           const char* pszCase) {
  int nDiffer = 0;
  for (std::size_t i = 0; i < ps.size(); ++i) {
    const double expected = rbotest::ReferenceInverseCdf(v, ps[i], -1.0, nullptr);
    if (!SameBits(xs[i], expected) && ++nDiffer <= 5)
      ADD_FAILURE() << pszCase << " p " << ps[i] << ": " << xs[i] << " instead of " << expected;
  }
  EXPECT_EQ(nDiffer, 0) << pszCase;
}

TEST(InverseCdfBatch, EdgeProbabilitiesEqualTheDocumentedSearch) {
  const std::vector<double> ps(std::begin(kEdgeProbabilities), std::end(kEdgeProbabilities));
  for (const rbotest::DistCase& c : rbotest::Distributions()) {
    CRandVar v = c.Make();
    for (std::size_t nStride : {1, 3}) ExpectSameAsReference(v, ps, InvertStrided(v, ps, nStride), c.pszName);
  }
}

// Long runs build the grids of the brackets they visit often; the edge
// cases are mixed in so that they meet built grids too.
TEST(InverseCdfBatch, LongRunsEqualTheDocumentedSearch) {
  constexpr std::size_t kValues = 12000;
  std::mt19937_64 rng(17);
  for (const rbotest::DistCase& c : rbotest::Distributions()) {
    CRandVar v = c.Make();
    std::vector<double> ps(kValues);
    for (std::size_t i = 0; i < kValues; ++i) {
      // Draws as the host's generator forms them: (k + 0.5) / 2^52.
      ps[i] = (double(rng() >> 12) + 0.5) * 0x1p-52;
      if (i % 97 == 0) ps[i] = kEdgeProbabilities[(i / 97) % std::size(kEdgeProbabilities)];
    }
    ExpectSameAsReference(v, ps, InvertStrided(v, ps, 2), c.pszName);
  }
}

// Long runs of random variables of every type with parameters over many
// magnitudes: ten million values, each against the documented search.  A
// few minutes; registered as InverseCdfBatchLong under the ctest label
// "long" (tests/CMakeLists.txt).
TEST(InverseCdfBatch, DISABLED_LongRunsOfRandomVariables) {
  std::mt19937_64 rng(2718);
  auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  auto logUniform = [&](double a, double b) { return std::exp(uniform(std::log(a), std::log(b))); };
  auto signedMagnitude = [&](double a, double b) { return (uniform(0.0, 1.0) < 0.5 ? -1.0 : 1.0) * logUniform(a, b); };
  constexpr int kVariables = 400, kValues = 25000;
  long nDiffer = 0;
  for (int k = 0; k < kVariables; ++k) {
    CRandVar v;
    switch (k % 4) {
      case 0:
        v = CRandVar(CRandVar::kNormal, uniform(0.0, 1.0) < 0.3 ? 0.0 : signedMagnitude(1e-6, 1e6),
                     logUniform(1e-6, 1e6));
        break;
      case 1: {
        const double a = signedMagnitude(1e-6, 1e6);
        v = CRandVar(CRandVar::kUniform, a, a + logUniform(1e-6, 1e6) * (1.0 + std::fabs(a)));
        break;
      }
      case 2:
        v = CRandVar(CRandVar::kLognormal, logUniform(1e-3, 10.0), logUniform(1e-3, 3.0));
        break;
      default:
        v = CRandVar(CRandVar::kWeibull, uniform(0.0, 1.0) < 0.4 ? 0.0 : signedMagnitude(1e-3, 1e3),
                     logUniform(1e-3, 1e3), logUniform(0.2, 20.0));
    }
    std::vector<double> ps(kValues);
    for (int i = 0; i < kValues; ++i) {
      ps[std::size_t(i)] = (double(rng() >> 12) + 0.5) * 0x1p-52;
      if (i % 50 == 0) ps[std::size_t(i)] = logUniform(1e-12, 1e-3);
      if (i % 50 == 1) ps[std::size_t(i)] = 1.0 - logUniform(1e-12, 1e-3);
      if (i % 211 == 2) ps[std::size_t(i)] = kEdgeProbabilities[std::size_t(i) % std::size(kEdgeProbabilities)];
    }
    std::vector<double> xs(ps);
    rbo::InverseCdfInPlace(v, xs.data(), xs.size(), 1);
    for (int i = 0; i < kValues; ++i) {
      const double expected = rbotest::ReferenceInverseCdf(v, ps[std::size_t(i)], -1.0, nullptr);
      if (!SameBits(xs[std::size_t(i)], expected) && ++nDiffer <= 10)
        ADD_FAILURE() << "type " << v.GetType() << " (" << v.GetParam1() << ", " << v.GetParam2() << ", "
                      << v.GetParam3() << ") p " << ps[std::size_t(i)] << ": " << xs[std::size_t(i)] << " instead of "
                      << expected;
    }
  }
  EXPECT_EQ(nDiffer, 0);
}

TEST(InverseCdfBatch, NoValuesNoWork) {
  CRandVar v(CRandVar::kNormal, 0.0, 1.0);
  rbo::InverseCdfInPlace(v, nullptr, 0, 1);  // must not touch the pointer
  CRandVar invalid;
  invalid.SetType(9);
  double p = 0.5;
  rbo::InverseCdfInPlace(invalid, &p, 0, 1);  // nothing to invert: no failure either
  EXPECT_EQ(p, 0.5);
  EXPECT_THROW(rbo::InverseCdfInPlace(invalid, &p, 1, 1), CInvalidType);
}

// ---------------------------------------------------------------- the grid

// The bisection steps the grid replaces, taken one by one: a midpoint at or
// below xa moves the lower end, any other the upper end; false when a
// midpoint falls inside (xa, xb).
bool StepDown(double& xL, double& xU, double xa, double xb, int nSteps, bool& bMovedL, bool& bMovedU) {
  bMovedL = bMovedU = false;
  for (int k = 0; k < nSteps; ++k) {
    const double xM = (xL + xU) / 2.0;
    if (xM > xa && xM < xb) return false;
    if (xM <= xa) {
      xL = xM;
      bMovedL = true;
    } else {
      xU = xM;
      bMovedU = true;
    }
  }
  return true;
}

struct GridCase {
  const char* pszName;
  double xL, xU;  ///< bracket
};

TEST(BisectionGrid, DescendEqualsTheSteps) {
  const GridCase cases[] = {
      {"one binade", 1.0, 2.0}, {"across binades", 0.5, 1.5},
      {"from zero", 0.0, 1.0},  {"across zero", -0.4, 0.6},
      {"negative", -3.0, -2.0}, {"large", 1e12, 1.25e12},
      {"small", 1e-5, 3e-5},    {"odd ends", 2.718281828, 3.14159265358979},
  };
  std::mt19937_64 rng(5);
  for (const GridCase& c : cases) {
    rbo::icdf::CBisectionGrid grid;
    ASSERT_TRUE(grid.Build(c.xL, c.xU, 1e-12)) << c.pszName;
    int nJumps = 0;
    for (int trial = 0; trial < 4000; ++trial) {
      const double t = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
      const double xa = c.xL + t * (c.xU - c.xL);
      // Zones from a few units in the last place up to a thousandth of the bracket.
      const double w = (c.xU - c.xL) * std::pow(10.0, -3.0 - 12.0 * std::uniform_real_distribution<double>()(rng));
      const double xb = std::fmax(std::nextafter(xa, HUGE_VAL), xa + w);
      double sL = c.xL, sU = c.xU, gL = 0.0, gU = 0.0;
      bool sMovedL = false, sMovedU = false, gMovedL = false, gMovedU = false;
      const bool bStepped = StepDown(sL, sU, xa, xb, rbo::icdf::CBisectionGrid::kLevels, sMovedL, sMovedU);
      const bool bJumped = grid.Descend(xa, xb, gL, gU, gMovedL, gMovedU);
      if (!bStepped) {
        EXPECT_FALSE(bJumped) << c.pszName << ": the grid skipped a midpoint inside the zone, xa " << xa;
        continue;
      }
      if (!bJumped) {
        EXPECT_GT(xb, c.xU) << c.pszName << ": the grid declined a zone it holds, xa " << xa;
        continue;
      }
      ++nJumps;
      EXPECT_TRUE(SameBits(gL, sL) && SameBits(gU, sU)) << c.pszName << " xa " << xa;
      EXPECT_EQ(gMovedL, sMovedL) << c.pszName << " xa " << xa;
      EXPECT_EQ(gMovedU, sMovedU) << c.pszName << " xa " << xa;
    }
    EXPECT_GT(nJumps, 3000) << c.pszName;
  }
}

// A bracket whose ends become close within the grid's levels must not get
// a grid: the steps it would replace end the search.
TEST(BisectionGrid, RefusesBracketsThatBecomeClose) {
  rbo::icdf::CBisectionGrid grid;
  EXPECT_FALSE(grid.Build(1.0, 1.0 + 1e-10, 1e-12));  // 2^-12 of 1e-10 is below the tolerance
  EXPECT_TRUE(grid.Build(1.0, 1.0 + 1e-6, 1e-12));
  EXPECT_FALSE(grid.Build(0.0, 1e-12, 1e-12));  // absolute closeness near 0
}

}  // namespace
