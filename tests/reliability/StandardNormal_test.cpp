// The standard normal quantile against the C library's erfc and published
// tables.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "rbo/reliability/StandardNormal.h"
#include "support/Numbers.h"

namespace {

using namespace rbo::reliability;

using testsupport::Phi;

// Phi(NormalQuantile(p)) = p to rounding across the whole range.  The round
// trip is conditioned by z^2: one rounding of z moves p by about z^2
// roundings, so 8 (1 + z^2) of them are allowed.
TEST(NormalQuantile, InvertsTheDistributionFunctionInBothTails) {
  const double eps = std::numeric_limits<double>::epsilon();
  for (double e = -295.0; e <= -0.4; e += 0.37) {
    const double p = std::pow(10.0, e);
    const double z = NormalQuantile(p);
    EXPECT_NEAR(Phi(z), p, 8.0 * eps * (1.0 + z * z) * p) << p;
    // The survival form keeps the precision that 1 - p would lose.
    const double zs = NormalQuantileOfSurvival(p);
    EXPECT_NEAR(Phi(-zs), p, 8.0 * eps * (1.0 + zs * zs) * p) << p;
    EXPECT_NEAR(NormalSurvival(zs), p, 8.0 * eps * (1.0 + zs * zs) * p) << p;
  }
}

TEST(NormalQuantile, MatchesPublishedTablesAndEdges) {
  for (auto [p, z] : {std::pair{0.5, 0.0}, std::pair{0.975, 1.959963984540054}, std::pair{0.95, 1.6448536269514729},
                      std::pair{0.001, -3.090232306167813}, std::pair{0.0013498980316300946, -3.0},
                      std::pair{1e-10, -6.361340902404056}, std::pair{0.99, 2.3263478740408408}}) {
    EXPECT_NEAR(NormalQuantile(p), z, 1e-13 * std::max(1.0, std::fabs(z))) << p;
    EXPECT_NEAR(NormalQuantileOfSurvival(p), -z, 1e-13 * std::max(1.0, std::fabs(z))) << p;
  }
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(NormalQuantile(0.0), -inf);
  EXPECT_EQ(NormalQuantile(1.0), inf);
  EXPECT_EQ(NormalQuantileOfSurvival(0.0), inf);
  for (double bad : {std::nan(""), -0.1, 1.5}) {
    EXPECT_TRUE(std::isnan(NormalQuantile(bad))) << bad;
    EXPECT_TRUE(std::isnan(NormalQuantileOfSurvival(bad))) << bad;
  }
  EXPECT_NEAR(NormalPdf(1.0), 0.24197072451914337, 1e-16);
}

}  // namespace
