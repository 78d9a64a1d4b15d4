// Importance sampling, subset simulation and the first-order series system
// against closed forms (Phi(-beta) of linear limit states in normal
// variables, unions of independent events) and one-dimensional quadratures
// written here.  Every estimate must lie within three of its own reported
// c.o.v.s of the reference, so the c.o.v. is checked as well as the
// estimate; fixed seeds make the runs deterministic.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "rbo/reliability/Simulation.h"
#include "support/Numbers.h"

namespace {

using namespace rbo::reliability;

using testsupport::Phi;
using testsupport::Simpson;
double Pdf(double z) { return testsupport::NormalPdf(z); }

// A limit-state function from the limit states of one point.
using Point = std::vector<double>;
template <class F>
LimitStateFunction EachPoint(F f) {
  return [f](const Batch& x) {
    Batch out;
    for (const Point& p : x) out.push_back(f(p));
    return out;
  };
}

void ExpectConsistent(const SimulationResult& r, double exact, const std::string& what) {
  EXPECT_TRUE(r.converged) << what << ": " << r.message;
  EXPECT_LE(std::fabs(r.pof / exact - 1.0), 3.0 * r.cov) << what << ": pof " << r.pof << " exact " << exact;
}

// g = beta |a.sigma| + sum a_i sigma_i u_i for x_i ~ N(10 + i, 1 + i/10),
// written in x; its POF is Phi(-beta) and its design point beta alpha,
// alpha = -(a_i sigma_i) / |a sigma|.
struct LinearCase {
  StandardSpace space;
  LimitStateFunction g;
  std::vector<double> designPoint;
};

ImportanceSamplingOptions IsOpts(double cov, long long budget, std::size_t batch, std::uint64_t seed) {
  ImportanceSamplingOptions o;
  o.targetCov = cov, o.budget = budget, o.batchSize = batch, o.seed = seed;
  return o;
}

LinearCase Linear(std::size_t n, double beta) {
  std::vector<CRandVar> vars;
  std::vector<double> a(n), mu(n), sd(n);
  double norm = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    mu[i] = 10.0 + double(i), sd[i] = 1.0 + 0.1 * double(i), a[i] = (i % 2 ? -1.0 : 1.0) * (1.0 + 0.5 * double(i));
    vars.emplace_back(CRandVar::kNormal, mu[i], sd[i]);
    norm += a[i] * a[i] * sd[i] * sd[i];
  }
  norm = std::sqrt(norm);
  double b0 = beta * norm;
  for (std::size_t i = 0; i < n; ++i) b0 -= a[i] * mu[i];
  std::vector<double> design(n);
  for (std::size_t i = 0; i < n; ++i) design[i] = -beta * a[i] * sd[i] / norm;
  auto g = [a, b0](const Point& p) { return Point{std::inner_product(p.begin(), p.end(), a.begin(), b0)}; };
  return {StandardSpace(vars), EachPoint(g), design};
}

TEST(ImportanceSampling, LinearLimitStatesFromOneInAHundredToOneInTenMillion) {
  const struct {
    std::size_t n;
    double beta;
  } cases[] = {{2, 2.3263}, {4, 3.0902}, {6, 3.7190}, {10, 4.2649}, {10, 4.7534}, {10, 5.1993}};
  for (const auto& c : cases) {
    const LinearCase lc = Linear(c.n, c.beta);
    const SimulationResult r = ImportanceSampling(lc.space, lc.g, {0}, {lc.designPoint}, IsOpts(0.1, 3000, 250, 1));
    ExpectConsistent(r, Phi(-c.beta), "beta " + std::to_string(c.beta));
    EXPECT_LE(r.cov, 0.1);
    EXPECT_LE(r.analyses, 3000);
  }
}

// g = R - S, R lognormal (lambda, eps), S normal (mu, sd).  Reference:
// P = int phi(z) Phi((ln(mu + sd z) - lambda) / eps) dz.  The design point
// (u1 for R, u2 for S) lies on u = k (-eps R, sd) with R = mu + k sd^2; k
// solves (ln(mu + k sd^2) - lambda) / eps + k eps (mu + k sd^2) = 0.
TEST(ImportanceSampling, LognormalResistanceAgainstNormalLoad) {
  const struct { double lambda, eps, mu, sd; } cases[] = {{1.6, 0.1, 2.5, 0.5}, {1.8, 0.1, 2.5, 0.5}};
  for (const auto& c : cases) {
    const StandardSpace space(
        {CRandVar(CRandVar::kLognormal, c.lambda, c.eps), CRandVar(CRandVar::kNormal, c.mu, c.sd)});
    const LimitStateFunction g = EachPoint([](const Point& p) { return Point{p[0] - p[1]}; });
    const double exact = Simpson([&](double z) { return Pdf(z) * Phi((std::log(c.mu + c.sd * z) - c.lambda) / c.eps); },
                                 std::max(-12.0, -c.mu / c.sd + 1e-9), 12.0);
    auto h = [&](double k) {
      return (std::log(c.mu + k * c.sd * c.sd) - c.lambda) / c.eps + k * c.eps * (c.mu + k * c.sd * c.sd);
    };
    double lo = 0.0, hi = 100.0;
    for (int i = 0; i < 200; ++i) (h(0.5 * (lo + hi)) > 0.0 ? hi : lo) = 0.5 * (lo + hi);
    const double k = 0.5 * (lo + hi), r = c.mu + k * c.sd * c.sd;
    const std::vector<double> centre = {-k * c.eps * r, k * c.sd};
    const SimulationResult res = ImportanceSampling(space, g, {0}, {centre}, IsOpts(0.1, 3000, 250, 1));
    ExpectConsistent(res, exact, "lambda " + std::to_string(c.lambda));
    EXPECT_LE(res.analyses, 3000);
    // The linearisation at the design point as a control variate: the same
    // unbiased estimate, several times as precise for the same 2,000 samples.
    ImportanceSamplingOptions o = IsOpts(1e-9, 2000, 250, 1);
    const SimulationResult plain = ImportanceSampling(space, g, {0}, {centre}, o);
    const double beta = std::hypot(centre[0], centre[1]);
    o.controlAlpha = {centre[0] / beta, centre[1] / beta};
    o.controlBeta = beta;
    const SimulationResult controlled = ImportanceSampling(space, g, {0}, {centre}, o);
    EXPECT_NEAR(controlled.pof, exact, 3.0 * controlled.cov * exact);
    EXPECT_LT(controlled.cov, 0.5 * plain.cov) << plain.cov;
  }
}

// A limit state linear in standard space equals its control: the estimate
// is the control's exact probability, with no variance.
TEST(ImportanceSampling, AnExactControlLeavesNoVariance) {
  const LinearCase lc = Linear(4, 3.5);
  ImportanceSamplingOptions o = IsOpts(0.01, 3000, 250, 1);
  const double beta =
      std::sqrt(std::inner_product(lc.designPoint.begin(), lc.designPoint.end(), lc.designPoint.begin(), 0.0));
  for (double x : lc.designPoint) o.controlAlpha.push_back(x / beta);
  o.controlBeta = beta;
  const SimulationResult r = ImportanceSampling(lc.space, lc.g, {0}, {lc.designPoint}, o);
  EXPECT_NEAR(r.pof, Phi(-3.5), 1e-12);
  EXPECT_EQ(r.analyses, 500);  // two batches: the least the c.o.v. may rest on
}

// Two standard normals; limit states b - x1 and b + x1: the event |x1| >= b
// has probability 2 Phi(-b) and needs both centres.
LimitStateFunction TwoSided(double b, double scale0 = 1.0, double scale1 = 1.0) {
  return EachPoint([=](const Point& p) { return Point{scale0 * (b - p[0]), scale1 * (b + p[0])}; });
}
StandardSpace TwoNormals() {
  return StandardSpace({CRandVar(CRandVar::kNormal, 0.0, 1.0), CRandVar(CRandVar::kNormal, 0.0, 1.0)});
}

TEST(ImportanceSampling, TwoCentresCoverATwoSidedEvent) {
  const SimulationResult r =
      ImportanceSampling(TwoNormals(), TwoSided(4.0), {0, 1}, {{4.0, 0.0}, {-4.0, 0.0}}, IsOpts(0.05, 3000, 250, 1));
  ExpectConsistent(r, 2.0 * Phi(-4.0), "two-sided");
}

TEST(ImportanceSampling, WithoutCentresIsCrudeMonteCarlo) {
  const SimulationResult r = ImportanceSampling(TwoNormals(), TwoSided(1.5), {0}, {}, IsOpts(0.05, 20000, 500, 1));
  ExpectConsistent(r, Phi(-1.5), "crude");
  // sqrt((1 - p) / (p N)) is the c.o.v. of a crude estimate.
  EXPECT_NEAR(r.cov, std::sqrt((1.0 - Phi(-1.5)) / (Phi(-1.5) * double(r.analyses))), 0.1 * r.cov);
}

TEST(ImportanceSampling, StopsAtTheBudgetInBatchesAndSaysWhy) {
  std::vector<std::size_t> calls;
  auto counting = [&](const Batch& x) {
    calls.push_back(x.size());
    return TwoSided(3.0)(x);
  };
  SimulationResult r = ImportanceSampling(TwoNormals(), counting, {0}, {}, IsOpts(0.01, 1000, 300, 1));
  EXPECT_EQ(calls, (std::vector<std::size_t>{300, 300, 300, 100}));
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.analyses, 1000);
  EXPECT_NE(r.message.find("budget"), std::string::npos) << r.message;

  // However loose the target, the c.o.v. must rest on two batches and ten
  // failed points.
  r = ImportanceSampling(TwoNormals(), TwoSided(1.5), {0}, {}, IsOpts(10.0, 100000, 50, 1));
  EXPECT_TRUE(r.converged);
  EXPECT_GE(r.analyses, 100);
  EXPECT_GE(r.failures, 10);

  r = ImportanceSampling(TwoNormals(), TwoSided(20.0), {0}, {}, IsOpts(0.1, 1000, 250, 1));
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.failures, 0);
  EXPECT_NE(r.message.find("no sample point failed in 1000 analyses"), std::string::npos) << r.message;
}

TEST(ImportanceSampling, TheSeedFixesTheResult) {
  const LinearCase lc = Linear(3, 3.0);
  auto run = [&](std::uint64_t seed) {
    return ImportanceSampling(lc.space, lc.g, {0}, {lc.designPoint}, IsOpts(0.1, 3000, 250, seed)).pof;
  };
  EXPECT_EQ(run(5), run(5));
  EXPECT_NE(run(5), run(6));
}

TEST(SubsetSimulation, LinearLimitStateNearOneInTenMillionInTenVariables) {
  const LinearCase lc = Linear(10, 5.1993);
  const SimulationResult r = SubsetSimulation(lc.space, lc.g, {0}, {6000, 0.1, 20, 50000, 1.0, 1});
  const double exact = Phi(-5.1993);
  ExpectConsistent(r, exact, "linear 1e-7");
  EXPECT_LE(std::fabs(r.pof / exact - 1.0), 0.30) << r.pof;
  EXPECT_LE(r.analyses, 50000);
}

// The four-branch series system, g = min of four branches in two standard
// normals.  In v1 = (x1 + x2)/sqrt2, v2 = (x1 - x2)/sqrt2 the safe set is
// |v2| < 7/2, |v1| < 3 + v2^2/5, so
// P = 2 Phi(-7/2) + int_{-7/2}^{7/2} phi(v) 2 Phi(-(3 + v^2/5)) dv.
TEST(SubsetSimulation, FourBranchSeriesSystem) {
  const LimitStateFunction g = EachPoint([](const Point& p) {
    const double d = p[0] - p[1], s = (p[0] + p[1]) / std::sqrt(2.0), k = 7.0 / std::sqrt(2.0);
    return Point{3.0 + 0.1 * d * d - s, 3.0 + 0.1 * d * d + s, d + k, -d + k};
  });
  const double exact =
      2.0 * Phi(-3.5) + Simpson([](double v) { return Pdf(v) * 2.0 * Phi(-(3.0 + 0.2 * v * v)); }, -3.5, 3.5);
  const SimulationResult r = SubsetSimulation(TwoNormals(), g, {0, 1, 2, 3}, {10000, 0.1, 20, 50000, 1.0, 1});
  ExpectConsistent(r, exact, "four-branch");
  EXPECT_LE(std::fabs(r.pof / exact - 1.0), 0.25) << r.pof;
  EXPECT_LE(r.analyses, 50000);

  // The reported c.o.v. against the scatter of 40 runs: the root mean
  // square of their relative errors has a standard error of about 11 %; a
  // c.o.v. without the chains' correlation would be about half of it.
  double squares = 0.0, covs = 0.0;
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    const SimulationResult s = SubsetSimulation(TwoNormals(), g, {0, 1, 2, 3}, {2000, 0.1, 20, 50000, 1.0, seed});
    squares += (s.pof / exact - 1.0) * (s.pof / exact - 1.0) / 40.0;
    covs += s.cov / 40.0;
  }
  EXPECT_GT(std::sqrt(squares) / covs, 0.7);
  EXPECT_LT(std::sqrt(squares) / covs, 1.4);
}

// Limit states in units a million apart: scaled, both failure regions are
// reached (unscaled, the levels would follow only the small one).
TEST(SubsetSimulation, ScalesLimitStatesOfDifferentUnits) {
  const SimulationResult r =
      SubsetSimulation(TwoNormals(), TwoSided(4.0, 1000.0, 0.001), {0, 1}, {10000, 0.1, 20, 50000, 1.0, 1});
  ExpectConsistent(r, 2.0 * Phi(-4.0), "two-sided");
}

TEST(SubsetSimulation, ChainsAdvanceTogetherAndStopsShortOfTheFailureRegion) {
  const LinearCase lc = Linear(4, 5.0);
  std::vector<std::size_t> calls;
  auto counting = [&](const Batch& x) {
    calls.push_back(x.size());
    return lc.g(x);
  };
  SimulationResult r = SubsetSimulation(lc.space, counting, {0}, {1000, 0.1, 3, 50000, 1.0, 1});
  EXPECT_FALSE(r.converged);
  EXPECT_TRUE(std::isnan(r.pof));
  EXPECT_EQ(r.levels, 3);
  EXPECT_NE(r.message.find("not reached"), std::string::npos) << r.message;
  // The first level in one call, then 9 steps of at most 100 chains per level.
  ASSERT_EQ(calls.size(), 1u + 2u * 9u);
  EXPECT_EQ(calls[0], 1000u);
  for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LE(calls[i], 100u);

  r = SubsetSimulation(lc.space, lc.g, {0}, {1000, 0.1, 20, 3000, 1.0, 1});
  EXPECT_FALSE(r.converged);
  EXPECT_LE(r.analyses, 3000);
  EXPECT_NE(r.message.find("budget"), std::string::npos) << r.message;
}

TEST(FirstOrderSeriesSystem, ClosedFormUnions) {
  const double p2 = Phi(-2.0), p3 = Phi(-3.0), p25 = Phi(-2.5);
  const double rho = 0.6, c = std::sqrt(1.0 - rho * rho);
  // P(A and B) for unit normals at angle acos(rho), both at beta 3.
  const double both = Simpson([&](double t) { return Pdf(t) * Phi((rho * t - 3.0) / c); }, 3.0, 14.0);
  const struct {
    std::vector<std::vector<double>> alphas;
    std::vector<double> betas;
    double exact;
  } cases[] = {
      {{{0.6, 0.8}}, {3.0}, p3},
      {{{1.0, 0.0}, {0.0, 1.0}}, {2.0, 3.0}, 1.0 - (1.0 - p2) * (1.0 - p3)},
      {{{0.6, 0.8}, {0.6, 0.8}}, {2.0, 2.0}, p2},
      {{{1.0, 0.0}, {-1.0, 0.0}}, {2.0, 2.0}, 2.0 * p2},
      {{{1.0, 0.0, 0.0, 0.0}, {0.0, 1.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 1.0}},
       {2.0, 2.5, 3.0},
       1.0 - (1.0 - p2) * (1.0 - p25) * (1.0 - p3)},
      {{{1.0, 0.0}, {rho, c}}, {3.0, 3.0}, 2.0 * p3 - both},
  };
  for (const auto& k : cases) {
    const SimulationResult r = FirstOrderSeriesSystem(k.alphas, k.betas, 1);
    EXPECT_TRUE(r.converged);
    EXPECT_LT(r.cov, 1e-3);
    EXPECT_NEAR(r.pof, k.exact, 3.0 * r.cov * k.exact + 1e-14 * k.exact) << k.betas.size() << " planes";
  }
}

TEST(SimulationOptions, OutOfRangeIsRefused) {
  const LinearCase lc = Linear(2, 2.0);
  const double nan = std::nan("");
  for (const ImportanceSamplingOptions& o :
       {IsOpts(0.0, 1000, 100, 1), IsOpts(nan, 1000, 100, 1), IsOpts(0.1, 0, 100, 1), IsOpts(0.1, 1000, 0, 1)})
    EXPECT_THROW(ImportanceSampling(lc.space, lc.g, {0}, {}, o), std::invalid_argument) << o.targetCov;
  // N, p0, levels, budget, spread: p0 out of (0, 0.5], N p0 below 1 or
  // leaving no sample beside the seeds, no level, a budget below N, no spread.
  for (const SubsetOptions& o :
       {SubsetOptions{1000, 0.0, 20, 50000, 1.0, 1}, SubsetOptions{1000, 0.6, 20, 50000, 1.0, 1},
        SubsetOptions{4, 0.1, 20, 50000, 1.0, 1}, SubsetOptions{1, 0.5, 20, 50000, 1.0, 1},
        SubsetOptions{1000, 0.1, 0, 50000, 1.0, 1}, SubsetOptions{1000, 0.1, 20, 999, 1.0, 1},
        SubsetOptions{1000, 0.1, 20, 50000, 0.0, 1}})
    EXPECT_THROW(SubsetSimulation(lc.space, lc.g, {0}, o), std::invalid_argument) << o.samplesPerLevel;
  // Events (empty, beyond the one limit state) and centres of the wrong size.
  EXPECT_THROW(ImportanceSampling(lc.space, lc.g, {}, {}), std::invalid_argument);
  EXPECT_THROW(ImportanceSampling(lc.space, lc.g, {1}, {}), std::invalid_argument);
  EXPECT_THROW(ImportanceSampling(lc.space, lc.g, {0}, {{1.0, 2.0, 3.0}}), std::invalid_argument);
  EXPECT_THROW(SubsetSimulation(lc.space, lc.g, {2}), std::invalid_argument);
  // Planes: none, sizes that differ, a direction that is not a unit vector,
  // a NaN index.
  EXPECT_THROW(FirstOrderSeriesSystem({}, {}), std::invalid_argument);
  EXPECT_THROW(FirstOrderSeriesSystem({{1.0, 0.0}}, {1.0, 2.0}), std::invalid_argument);
  EXPECT_THROW(FirstOrderSeriesSystem({{1.0, 0.0}, {1.0}}, {1.0, 1.0}), std::invalid_argument);
  EXPECT_THROW(FirstOrderSeriesSystem({{1.0, 1.0}}, {1.0}), std::invalid_argument);
  EXPECT_THROW(FirstOrderSeriesSystem({{1.0, 0.0}}, {nan}), std::invalid_argument);
}

TEST(SimulationOptions, ANanLimitStateStopsTheRun) {
  auto nan = [](const Batch& x) { return Batch(x.size(), std::vector<double>{std::nan("")}); };
  EXPECT_THROW(ImportanceSampling(TwoNormals(), nan, {0}, {}), std::runtime_error);
  EXPECT_THROW(SubsetSimulation(TwoNormals(), nan, {0}), std::runtime_error);
}

}  // namespace
