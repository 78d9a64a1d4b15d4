// The reference host's generator and Latin hypercube design.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <valarray>
#include <vector>

#include "rbo/host/DBUtils.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/host/Utility.h"

namespace {

constexpr std::uint64_t kDefaultSeed = 5489u;

class HostRandom : public ::testing::Test {
 protected:
  void TearDown() override {
    refhost::SetSeed(kDefaultSeed);
    refhost::SetRBOMethod(0, 100);
  }
};

std::vector<double> Draw(CRand& generator, std::size_t n) {
  std::vector<double> values(n);
  for (double& v : values) v = generator.Random();
  return values;
}

TEST_F(HostRandom, FixedSeedRepeatsItsStreamAndEntropySeedDoesNot) {
  CRand a(true), b(true);
  const std::vector<double> fixed = Draw(a, 1000);
  EXPECT_EQ(fixed, Draw(b, 1000));

  refhost::SetSeed(12345u);
  CRand c(true);
  const std::vector<double> other = Draw(c, 1000);
  EXPECT_NE(other, fixed);
  refhost::SetSeed(12345u);
  CRand d(true);
  EXPECT_EQ(Draw(d, 1000), other);

  CRand e(false), f(false);
  const std::vector<double> free1 = Draw(e, 1000);
  EXPECT_NE(free1, Draw(f, 1000));
  EXPECT_NE(free1, other);
}

TEST_F(HostRandom, UniformStrictlyInsideTheUnitInterval) {
  constexpr std::size_t kN = 100000;
  CRand generator(true);
  std::vector<double> u = Draw(generator, kN);
  for (double v : u) ASSERT_TRUE(v > 0.0 && v < 1.0) << v;
  // Kolmogorov-Smirnov distance to the uniform distribution, below the
  // asymptotic critical value at significance 0.001.
  std::sort(u.begin(), u.end());
  double ks = 0.0;
  for (std::size_t i = 0; i < kN; ++i) ks = std::max({ks, u[i] - double(i) / kN, double(i + 1) / kN - u[i]});
  EXPECT_LT(ks, 1.95 / std::sqrt(double(kN)));
}

TEST_F(HostRandom, LatinHyperCubeHasOneValuePerStratumInEveryCoordinate) {
  for (int n : {1, 7, 1000}) {
    constexpr int kM = 3;
    std::valarray<double> table(5.0, 2);  // wrong size: resized
    LatinHyperCubeDOE(kM, n, table);
    ASSERT_EQ(table.size(), std::size_t(kM * n));
    for (int r = 0; r < kM; ++r) {
      // Coordinate r of sample j sits at j * m + r.
      std::vector<int> strata;
      for (int j = 0; j < n; ++j) {
        const double v = table[std::size_t(j * kM + r)];
        ASSERT_TRUE(v > 0.0 && v < 1.0) << v;
        strata.push_back(int(std::floor(v * n)));
      }
      std::sort(strata.begin(), strata.end());
      for (int k = 0; k < n; ++k) ASSERT_EQ(strata[std::size_t(k)], k) << "n " << n << " coordinate " << r;
    }
  }
}

TEST_F(HostRandom, LatinHyperCubeIsReproducibleAndItsCoordinatesIndependent) {
  constexpr int kN = 2000;
  std::valarray<double> t1, t2;
  LatinHyperCubeDOE(2, kN, t1);
  LatinHyperCubeDOE(2, kN, t2);
  EXPECT_TRUE((t1 == t2).min());

  // A stream of its own: not CRand's numbers for the same seed.
  CRand generator(true);
  EXPECT_NE(t1[0], generator.Random());

  // Independent permutations: the sample correlation of the two coordinates
  // has standard error 1/sqrt(n); four of them bound it.
  double sxy = 0.0, sxx = 0.0, syy = 0.0;
  for (int j = 0; j < kN; ++j) {
    const double x = t1[std::size_t(2 * j)] - 0.5, y = t1[std::size_t(2 * j + 1)] - 0.5;
    sxy += x * y;
    sxx += x * x;
    syy += y * y;
  }
  EXPECT_LT(std::fabs(sxy / std::sqrt(sxx * syy)), 4.0 / std::sqrt(double(kN)));

  refhost::SetSeed(99u);
  LatinHyperCubeDOE(2, kN, t2);
  EXPECT_FALSE((t1 == t2).min());

  LatinHyperCubeDOE(0, kN, t2);
  EXPECT_EQ(t2.size(), 0u);
  LatinHyperCubeDOE(2, -1, t2);
  EXPECT_EQ(t2.size(), 0u);
}

}  // namespace
