// Sample matrices: layout, draw order, the mean analysis inputs, failures,
// and the statistics of Monte Carlo and Latin hypercube samples of every
// distribution against closed forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <valarray>
#include <vector>

#include "foundation/LogTrace.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/host/Utility.h"
#include "sampling/SamplingInternals.h"
#include "support/Numbers.h"

namespace {

using VI = std::valarray<int>;
using VD = std::valarray<double>;
using Sampler = void (*)(int, int, VD&, VI&, std::valarray<CRandVar>&, CMatrix<double>&);

constexpr const char* kUnit = "RandVarModules";
// InverseCDF of a uniform(0, 1) variable bisects until the probability
// matches to a relative 1e-12, so the sampled value equals the probability
// drawn to far better than this.
constexpr double kUniformInverseTol = 1e-9;

std::valarray<CRandVar> Vars(std::initializer_list<CRandVar> list) {
  return std::valarray<CRandVar>(list.begin(), list.size());
}

using testsupport::Phi;
using testsupport::WhatOf;

// Groups in entry order: variable 1, a deterministic entry, variable 0 (two
// entries), variable 1 again (not adjacent to its first group).
struct OrderProblem {
  VD means{0.5, 7.0, 0.5, 0.5};
  VI r{1, -1, 0, 0, 1};
  std::valarray<CRandVar> v = Vars({CRandVar(CRandVar::kUniform, 0.0, 1.0), CRandVar(CRandVar::kUniform, 0.0, 1.0)});
  CMatrix<double> s;
  static constexpr int kSamples = 20;
};

TEST(SampleMatrices, MonteCarloDrawsSampleBySampleInGroupOrder) {
  OrderProblem p;
  MatrixOfMonteCarloPoints(OrderProblem::kSamples, 4, p.means, p.r, p.v, p.s);
  CRand stream(true);  // the same configured seed: the stream the library drew from
  for (int j = 0; j < OrderProblem::kSamples; ++j) {
    EXPECT_NEAR(p.s(0, j), stream.Random(), kUniformInverseTol) << j;
    EXPECT_EQ(p.s(1, j), 7.0);
    EXPECT_NEAR(p.s(2, j), stream.Random(), kUniformInverseTol) << j;
    EXPECT_NEAR(p.s(3, j), stream.Random(), kUniformInverseTol) << j;  // a second, independent draw
  }
}

TEST(SampleMatrices, LatinHyperCubeIndexesTheTableByRandomVariable) {
  OrderProblem p;
  MatrixOfLatinHyperCubePoints(OrderProblem::kSamples, 4, p.means, p.r, p.v, p.s);
  VD table;
  LatinHyperCubeDOE(2, OrderProblem::kSamples, table);
  for (int j = 0; j < OrderProblem::kSamples; ++j) {
    const double u0 = table[std::size_t(j) * 2], u1 = table[std::size_t(j) * 2 + 1];
    EXPECT_NEAR(p.s(0, j), u1, kUniformInverseTol) << j;
    EXPECT_EQ(p.s(1, j), 7.0);
    EXPECT_NEAR(p.s(2, j), u0, kUniformInverseTol) << j;
    EXPECT_EQ(p.s(3, j), p.s(0, j));  // both groups of variable 1 share its coordinate
  }
}

// Every row drawn from its own variable, in order: the design table has
// the matrix's layout (the library then has the host fill the matrix
// itself).  The values are the documented ones, the table's probabilities
// through each variable's InverseCDF, bit for bit.
TEST(SampleMatrices, LatinHyperCubeWithEveryRowDrawnEqualsTheTableInverted) {
  struct Case {
    const char* pszName;
    VI r;
  };
  const Case cases[] = {{"rows in variable order", VI{0, 1, 2}}, {"rows in another order", VI{2, 0, 1}}};
  for (const Case& c : cases) {
    auto v = Vars({CRandVar(CRandVar::kNormal, 3.0, 0.5), CRandVar(CRandVar::kLognormal, 0.2, 0.3),
                   CRandVar(CRandVar::kWeibull, 1.0, 2.0, 1.5)});
    VD means{3.0, 1.3, 2.8};
    VI r = c.r;
    constexpr int kSamples = 500;
    CMatrix<double> s(1, 1, 9.0);
    MatrixOfLatinHyperCubePoints(kSamples, 3, means, r, v, s);
    VD table;
    LatinHyperCubeDOE(3, kSamples, table);
    ASSERT_EQ(s.Rows(), 3);
    ASSERT_EQ(s.Cols(), kSamples);
    int nDiffer = 0;
    for (int j = 0; j < kSamples; ++j)
      for (int k = 0; k < 3; ++k) {
        const std::size_t nVar = std::size_t(r[std::size_t(k)]);
        const double expected = v[nVar].InverseCDF(table[std::size_t(j) * 3 + nVar], -1.0);
        if (s(k, j) != expected && ++nDiffer < 5) ADD_FAILURE() << c.pszName << " (" << k << ", " << j << ")";
      }
    EXPECT_EQ(nDiffer, 0) << c.pszName;
  }
}

TEST(SampleMatrices, MeanAnalysisInputsOneValuePerGroup) {
  VD x{10.0, 99.0, 99.0, 20.0, 99.0, 99.0};
  VI r{-1, 0, 0, -1, 1, 1}, c{0, -1, -2, 0, 0, 1};
  auto v = Vars({CRandVar(CRandVar::kUniform, 1.0, 3.0), CRandVar(CRandVar::kNormal, 5.0, 1.0)});
  VD out(1.0, 9);
  rbo::MeanAnalysisInputs(x, r, c, v, out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], 10.0);
  EXPECT_EQ(out[1], 2.0);
  EXPECT_EQ(out[2], 20.0);
  EXPECT_EQ(out[3], 5.0);

  // A group without its mean entry would write past the counted inputs.
  VI noMean{-1, 0, 0, -1, 1, 1}, codes{0, 1, -2, 0, 0, 1};
  EXPECT_THROW(rbo::MeanAnalysisInputs(x, noMean, codes, v, out), CInvalidArgument);
}

TEST(SampleMatrices, InvalidSamplingMethodLeavesTheMatrixUntouched) {
  VD x{10.0};
  VI r{-1}, c{0};
  auto v = Vars({});
  CMatrix<double> s(2, 2, 7.0);
  const auto log = rbotest::LogOfFailure<CInvalidType>([&] { rbo::BuildSampleMatrix(2, 8, x, r, c, v, s); });
  EXPECT_TRUE(rbotest::MatchesReport(
      log, {"Invalid sampling method specified for random variables.\n", {}, kUnit, "Object type is invalid", 1}));
  EXPECT_EQ(rbotest::ThrowLine(log), 327);
  EXPECT_EQ(s.Rows(), 2);
  EXPECT_EQ(s(1, 1), 7.0);
}

TEST(SampleMatrices, MatrixErrorsPassThroughTheGuard) {
  VD means{1.0, 2.0};
  VI r{-1, -1};
  auto v = Vars({});
  CMatrix<double> s(1, 1, 5.0);
  refhost::LogCapture capture;
  EXPECT_EQ(WhatOf<std::out_of_range>([&] { MatrixOfMonteCarloPoints(3, -1, means, r, v, s); }),
            "CMatrix: invalid number of rows");
  ASSERT_EQ(capture.Records().size(), 1u) << rbotest::Dump(capture.Records());
  EXPECT_EQ(capture.Records()[0].call, "LException");
  EXPECT_EQ(capture.Records()[0].file, kUnit);

  // A random-variable index beyond the array is refused, not read out of bounds.
  VI beyond{0};
  EXPECT_THROW(MatrixOfMonteCarloPoints(3, 2, means, beyond, v, s), CInvalidArgument);
}

// The mean vector and the map only matter for what is drawn and copied:
// without samples nothing is, and a mean vector of another length than the
// rows fails at the first column with the matrix's own error, logged once by
// the sampler's guard, after the reset to zeros.
TEST(SampleMatrices, MeanVectorOfAnotherLengthFailsOnlyWhenSamplesAreDrawn) {
  auto v = Vars({CRandVar(CRandVar::kUniform, 0.0, 1.0)});
  for (Sampler sample : {&MatrixOfMonteCarloPoints, &MatrixOfLatinHyperCubePoints}) {
    VD shortMeans{0.5}, longMeans{0.5, 1.0, 2.0};
    VI r{0, -1, 3};  // variable 3 does not exist: only a draw would reach it
    CMatrix<double> s(4, 4, 9.0);
    refhost::LogCapture capture;
    sample(0, 2, shortMeans, r, v, s);
    EXPECT_EQ(s.Rows(), 2);
    EXPECT_EQ(s.Cols(), 0);
    EXPECT_TRUE(capture.Records().empty()) << rbotest::Dump(capture.Records());

    VI inRange{0, -1};
    EXPECT_EQ(WhatOf<std::out_of_range>([&] { sample(3, 2, longMeans, inRange, v, s); }),
              "CMatrix::ReplaceCol invalid array size");
    ASSERT_EQ(capture.Records().size(), 1u) << rbotest::Dump(capture.Records());
    EXPECT_EQ(capture.Records()[0].call, "LException");
    EXPECT_EQ(capture.Records()[0].file, kUnit);
    EXPECT_EQ(capture.Records()[0].text, "CMatrix::ReplaceCol invalid array size");
    ASSERT_EQ(s.Rows(), 2);
    ASSERT_EQ(s.Cols(), 3);
    EXPECT_EQ(s.Storage().max(), 0.0);
    EXPECT_EQ(s.Storage().min(), 0.0);

    // A short mean vector fails the same way, even where a draw would land
    // beyond its end.
    VI drawnLast{-1, 0};
    EXPECT_EQ(WhatOf<std::out_of_range>([&] { sample(2, 2, shortMeans, drawnLast, v, s); }),
              "CMatrix::ReplaceCol invalid array size");

    // Without random entries (or variables) every sample is the mean vector.
    VD means{3.0, 4.0};
    VI none{-1, -1};
    auto noVars = Vars({});
    sample(5, 2, means, none, noVars, s);
    ASSERT_EQ(s.Cols(), 5);
    for (int j = 0; j < 5; ++j) EXPECT_TRUE(s(0, j) == 3.0 && s(1, j) == 4.0) << j;
  }
}

// Only drawn rows need room in the work column: a deterministic entry beyond
// it is not part of the sample, while a drawn row beyond it is refused
// instead of being written past the work column.
TEST(SampleMatrices, OnlyDrawnRowsMustFitTheMeanVector) {
  auto v = Vars({CRandVar(CRandVar::kUniform, 0.0, 1.0)});
  for (Sampler sample : {&MatrixOfMonteCarloPoints, &MatrixOfLatinHyperCubePoints}) {
    VD means{0.5};
    VI trailingDeterministic{0, -1};
    CMatrix<double> s;
    sample(4, 1, means, trailingDeterministic, v, s);
    ASSERT_EQ(s.Cols(), 4);
    for (int j = 0; j < 4; ++j) EXPECT_TRUE(s(0, j) > 0.0 && s(0, j) < 1.0) << j;

    VI drawnBeyond{-1, 0};
    const auto log = rbotest::LogOfFailure<CInvalidArgument>([&] { sample(4, 1, means, drawnBeyond, v, s); });
    EXPECT_TRUE(rbotest::MatchesReport(log, {"Inconsistent random-variable map.\n",
                                             {"       The map draws analysis input 1; the sample matrix has 1 rows\n"},
                                             kUnit,
                                             "Function/method object is invalid",
                                             1}));
    EXPECT_EQ(s.Cols(), 4);
    EXPECT_EQ(s.Storage().max(), 0.0);
  }
}

// ---- statistics against closed forms ----

struct Distribution {
  const char* name;
  CRandVar var;
  double dMean, dStdDev;
  std::function<double(double)> cdf;
};

std::vector<Distribution> Distributions() {
  const double eps = 0.25, lambda = 1.0;
  const double lnMean = std::exp(lambda + eps * eps / 2.0);
  const double g1 = std::tgamma(1.0 + 1.0 / 1.5), g2 = std::tgamma(1.0 + 2.0 / 1.5);
  return {
      {"normal", CRandVar(CRandVar::kNormal, 2.0, 0.5), 2.0, 0.5, [](double x) { return Phi((x - 2.0) / 0.5); }},
      {"uniform", CRandVar(CRandVar::kUniform, -1.0, 3.0), 1.0, 4.0 / std::sqrt(12.0),
       [](double x) { return std::clamp((x + 1.0) / 4.0, 0.0, 1.0); }},
      {"lognormal", CRandVar(CRandVar::kLognormal, lambda, eps), lnMean, lnMean * std::sqrt(std::exp(eps * eps) - 1.0),
       [=](double x) { return x > 0.0 ? Phi((std::log(x) - lambda) / eps) : 0.0; }},
      {"weibull", CRandVar(CRandVar::kWeibull, 1.0, 2.0, 1.5), 1.0 + 2.0 * g1, 2.0 * std::sqrt(g2 - g1 * g1),
       [](double x) { return x > 1.0 ? 1.0 - std::exp(-std::pow((x - 1.0) / 2.0, 1.5)) : 0.0; }},
  };
}

struct StatisticsCase {
  std::size_t nDistribution;
  bool bLatinHyperCube;
};
void PrintTo(const StatisticsCase& c, std::ostream* os) {
  *os << "distribution " << c.nDistribution << (c.bLatinHyperCube ? ", Latin hypercube" : ", Monte Carlo");
}

class SampleStatistics : public ::testing::TestWithParam<StatisticsCase> {};

TEST_P(SampleStatistics, ReproduceMeanStdDevAndDistribution) {
  constexpr int kN = 10000;
  const double dN = kN, rootN = std::sqrt(dN);
  Distribution d = Distributions()[GetParam().nDistribution];
  SCOPED_TRACE(d.name);
  VD means{d.dMean};
  VI r{0};
  auto v = Vars({d.var});
  CMatrix<double> s;
  (GetParam().bLatinHyperCube ? MatrixOfLatinHyperCubePoints : MatrixOfMonteCarloPoints)(kN, 1, means, r, v, s);
  ASSERT_EQ(s.Cols(), kN);

  std::vector<double> x(s.ColData(0), s.ColData(0) + kN);
  double sum = 0.0, sumSq = 0.0;
  for (double xi : x) sum += xi;
  const double mean = sum / dN;
  for (double xi : x) sumSq += (xi - mean) * (xi - mean);
  const double sd = std::sqrt(sumSq / (dN - 1.0));

  // Kolmogorov-Smirnov distance between the sample and the exact distribution.
  std::sort(x.begin(), x.end());
  double ks = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double F = d.cdf(x[i]);
    ks = std::max({ks, F - double(i) / dN, double(i + 1) / dN - F});
  }

  if (!GetParam().bLatinHyperCube) {
    // Five standard errors: sigma/sqrt(n) for the mean, and at most
    // sigma*sqrt((kurtosis-1)/(4n)) <= sigma/sqrt(n) for the standard
    // deviation (every kurtosis here is below 5: at most 4.4, the Weibull's).
    EXPECT_NEAR(mean, d.dMean, 5.0 * d.dStdDev / rootN);
    EXPECT_NEAR(sd, d.dStdDev, 5.0 * d.dStdDev / rootN);
    // Asymptotic critical value of the KS distance at significance 0.001.
    EXPECT_LT(ks, 1.95 / rootN);
  } else {
    // One value per stratum of probability 1/n: the empirical distribution
    // cannot stray further than 1/n, plus the error-function fit behind the
    // library's CDF (below 2e-7).  Stratification also makes the moments far
    // more precise than Monte Carlo's: their errors fall like 1/n (one
    // variable, monotone transform); the bounds are a tenth of Monte Carlo's
    // standard error and still several times the 1/n scale.
    EXPECT_LT(ks, 1.0 / dN + 1e-6);
    EXPECT_NEAR(mean, d.dMean, 0.1 * d.dStdDev / rootN);
    EXPECT_NEAR(sd, d.dStdDev, 0.1 * d.dStdDev / rootN);
  }
}

std::vector<StatisticsCase> AllStatisticsCases() {
  std::vector<StatisticsCase> cases;
  for (std::size_t k = 0; k < 4; ++k)
    for (bool lhs : {false, true}) cases.push_back({k, lhs});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryDistribution, SampleStatistics, ::testing::ValuesIn(AllStatisticsCases()),
                         [](const ::testing::TestParamInfo<StatisticsCase>& param) {
                           return std::string(Distributions()[param.param.nDistribution].name) +
                                  (param.param.bLatinHyperCube ? "_LatinHyperCube" : "_MonteCarlo");
                         });

}  // namespace
