// The optimiser's pieces: the promotion of random
// means, the constraint forms, the history files, the checks of options,
// and reproducibility.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DesignSpace.h"
#include "problem/OptimizeProblems.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Optimize.h"
#include "support/Problems.h"

namespace {

using optimizetest::CProblemMaker;
using optimizetest::LinearReliability;
using optimizetest::Phi;
using rbo::reliability::NormalQuantile;

class Promotion : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::ResetLibraryState(); }
  void TearDown() override { refhost::SetRBOMethod(0, 100); }
};

std::valarray<double> DesignVector(CDB& db) {
  std::valarray<double> out;
  SetXVector(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vDVIndexOfInput, db.m_vDVTypeOfInput,
             out);
  return out;
}

TEST_F(Promotion, MovesFixedMeansToIndependentVariablesKeepingTheVector) {
  rbo::problem::Problem p;
  CProblemMaker m(p);
  m.Design("a", 1.0, 0.0, 2.0);
  m.Random("R", 10.0, 1.5, 0.0, 20.0);
  p.builder.AddConstant("c", 7.0);
  m.Parameter("S", 5.0, 2.0);
  m.Parameter("T", 3.0, 0.5, CRandVar::kLognormal);
  m.LimitState("g");
  std::unique_ptr<CDB> db = p.builder.Build();
  const std::valarray<double> before = DesignVector(*db);
  ASSERT_EQ(db->m_nIndDVs, 2u);
  ASSERT_EQ(db->m_nGroup3DVs, 6u);  // R's sd, c, S's mean and sd, T's mean and sd

  const std::vector<int> promoted = rbo::problem::optimize::PromoteRandomMeans(*db);

  ASSERT_EQ(promoted.size(), 2u);
  EXPECT_EQ(db->m_nIndDVs, 4u);
  EXPECT_EQ(db->m_nGroup3DVs, 4u);
  EXPECT_EQ(db->m_vIndDVs[2], 5.0);
  EXPECT_EQ(db->m_vIndDVs[3], 3.0);
  for (int e : promoted) {
    EXPECT_EQ(db->m_vDVTypeOfInput[std::size_t(e)], kTypeIndDV);
    EXPECT_EQ(db->m_vInputParamCode[std::size_t(e)], -1);
  }
  // The design-variable vector is the same entry by entry: only where its
  // values are kept has changed.
  const std::valarray<double> after = DesignVector(*db);
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t e = 0; e < before.size(); ++e) EXPECT_EQ(after[e], before[e]) << e;
  // A second promotion finds nothing left to move.
  EXPECT_TRUE(rbo::problem::optimize::PromoteRandomMeans(*db).empty());
}

// The library sees the same analysis inputs either way: the statistics of
// one design point are bit for bit those of the unpromoted layout.
TEST_F(Promotion, LeavesTheStatisticsUnchanged) {
  LinearReliability lin;
  rbo::problem::Problem p;
  lin.Make(p);
  refhost::SetRBOMethod(1, 500);
  refhost::SetSeed(3);
  refhost::SetAnalysis(p.builder.Analysis(p.model));
  std::unique_ptr<CDB> plain = p.builder.Build();
  const rbo::problem::BatchResult a =
      rbo::problem::EvaluateDesignPoints(*plain, p.builder.DesignMatrix({{12.0}}), false);

  testsupport::ResetLibraryState();
  std::unique_ptr<CDB> promotedDb = p.builder.Build();
  rbo::problem::optimize::PromoteRandomMeans(*promotedDb);
  CMatrix<double> points(2, 1);
  points(0, 0) = 12.0;
  points(1, 0) = lin.muS;
  const rbo::problem::BatchResult b = rbo::problem::EvaluateDesignPoints(*promotedDb, points, false);
  ASSERT_EQ(a.designResponses.Rows(), b.designResponses.Rows());
  for (int r = 0; r < a.designResponses.Rows(); ++r) EXPECT_EQ(a.designResponses(r, 0), b.designResponses(r, 0)) << r;
}

// g >= 0 defines failure; g.pof <= Phi(-3) bounds it; g.sd <= 500 is a
// plain constraint with a large bound.
struct FormsFixture {
  rbo::problem::Problem p;
  std::unique_ptr<CDB> db;
  FormsFixture() {
    LinearReliability lin;
    lin.beta = 3.0;
    lin.Make(p);
    CProblemMaker m(p);
    m.Constrain("g.sd", p.responses[0].ref.stdDev, 1, 500.0);
    db = p.builder.Build();
  }
};

/// A design point's evaluation with the constraints' scaled violations and
/// g's statistics.
rbo::problem::PointResult Point(const std::vector<double>& violations, double mean, double sd, double pof) {
  rbo::problem::PointResult e;
  e.constraints = violations;
  rbo::problem::ResponseResult g;
  g.name = "g";
  g.random = true;
  g.bounded = true;
  g.mean = mean;
  g.sd = sd;
  g.pof = pof;
  e.responses.push_back(g);
  return e;
}

TEST(ConstraintForms, ProbabilityBoundBecomesAReliabilityIndex) {
  FormsFixture f;
  const rbo::problem::optimize::CConstraintForms forms(*f.db, f.p, 2, 1);
  ASSERT_EQ(forms.Count(), 3u);
  EXPECT_FALSE(forms.IsProbability(0));
  EXPECT_TRUE(forms.IsProbability(1));
  EXPECT_FALSE(forms.IsProbability(2));
  // g's mean 2 (violation -2), POF Phi(-2.5), sd 510 (violation 10).
  const double pof = Phi(-2.5);
  const std::vector<double> v = forms.Values({2.0, pof, 510.0}, Point({-2.0, pof - Phi(-3.0), 10.0}, 2.0, 510.0, pof));
  EXPECT_DOUBLE_EQ(v[0], -2.0);
  EXPECT_NEAR(v[1], 0.5, 1e-12);  // index 2.5 against 3: half a unit short
  EXPECT_DOUBLE_EQ(v[2], 10.0 / 500.0);
  // A certain failure stays finite, so the optimiser can climb out of it.
  const std::vector<double> lost = forms.Values({-1.0, 1.0, 0.0}, Point({1.0, 1.0, -500.0}, -1.0, 0.0, 1.0));
  EXPECT_TRUE(std::isfinite(lost[1]));
  EXPECT_GT(lost[1], 5.0);
}

TEST(ConstraintForms, SampledProbabilityHasAOneSampleMargin) {
  FormsFixture f;
  const int N = 10000;
  const rbo::problem::optimize::CConstraintForms forms(*f.db, f.p, 1, N);
  const double bound = Phi(-3.0), margin = NormalQuantile(bound + 1.0 / N) - NormalQuantile(bound);
  // Exactly at the bound (13.5 samples, resolved): the optimiser is asked
  // for one sample more ...
  const std::vector<double> atBound = forms.Values({3.0, bound, 1.0}, Point({-3.0, 0.0, -499.0}, 3.0, 1.0, bound));
  EXPECT_NEAR(atBound[1], margin, 1e-12);
  // ... but the point counts as feasible.
  EXPECT_LE(forms.Worst(atBound), 0.0);
  EXPECT_TRUE(forms.Warnings().empty());
  // 1,000 samples expect 1.3 failures at this bound: too few, and said so.
  const rbo::problem::optimize::CConstraintForms coarse(*f.db, f.p, 1, 1000);
  ASSERT_EQ(coarse.Warnings().size(), 1u);
  EXPECT_NE(coarse.Warnings()[0].find("g.pof"), std::string::npos);
}

// Far on the safe side the sample sees no failure; the index then follows
// g's second-moment index (mean - 0) / sd, blended out over ten samples,
// but no further than the sample allows: with k failing samples the
// probability is not above (k + 1) / N.
TEST(ConstraintForms, UnresolvedProbabilityFollowsTheSecondMomentIndex) {
  FormsFixture f;
  const int N = 10000;
  const rbo::problem::optimize::CConstraintForms forms(*f.db, f.p, 1, N);
  const double boundIndex = -3.0, margin = NormalQuantile(Phi(-3.0) + 1.0 / N) - NormalQuantile(Phi(-3.0));
  auto index = [&](double mean, double sd, double pof) {
    return forms.Values({mean, pof, sd}, Point({-mean, pof - Phi(-3.0), sd - 500.0}, mean, sd, pof))[1];
  };
  // No failing sample: -(10 / 2) against the bound's -3.
  EXPECT_NEAR(index(10.0, 2.0, 0.0), -5.0 - boundIndex + margin, 1e-12);
  // Five failing samples: half and half.
  const double p5 = 5.0 / N;
  EXPECT_NEAR(index(10.0, 2.0, p5), 0.5 * NormalQuantile(p5) - 0.5 * 5.0 - boundIndex + margin, 1e-12);
  // Ten or more: the estimate alone, whatever the moments say.
  const double p10 = 10.0 / N;
  EXPECT_NEAR(index(10.0, 2.0, p10), NormalQuantile(p10) - boundIndex + margin, 1e-12);
  // Moments that promise more failures than the sample shows (index 3:
  // 13.5 expected, none seen) do not make the constraint active.
  EXPECT_NEAR(index(3.0, 1.0, 0.0), NormalQuantile(1.0 / N) - boundIndex + margin, 1e-12);
  // Far failed (all samples fail): the same from the other side.
  EXPECT_NEAR(index(-10.0, 2.0, 1.0), 5.0 - boundIndex + margin, 1e-12);
  EXPECT_NEAR(index(-3.0, 1.0, 1.0), NormalQuantile(1.0 - 1.0 / N) - boundIndex + margin, 1e-12);
}

class OptimizeRun : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::ResetLibraryState(); }
  void TearDown() override { refhost::SetRBOMethod(0, 100); }
  static rbo::problem::OptimizeResult Run(rbo::problem::Problem& p, int method, int samples, bool parallel,
                                          const rbo::problem::ProgressFunction& progress = {}) {
    p.settings.method = method;
    p.settings.samples = samples;
    p.settings.seed = 11;
    p.settings.parallel = parallel;
    p.settings.workers = 2;
    return rbo::problem::Optimize(p, rbo::problem::OptimizeOptions(), progress);
  }
};

TEST_F(OptimizeRun, ParallelRunRetracesTheSerialRun) {
  LinearReliability lin;
  rbo::problem::Problem serial, parallel;
  lin.Make(serial);
  lin.Make(parallel);
  const rbo::problem::OptimizeResult a = Run(serial, 1, 5000, false);
  testsupport::ResetLibraryState();
  const rbo::problem::OptimizeResult b = Run(parallel, 1, 5000, true);
  ASSERT_EQ(a.history.size(), b.history.size());
  for (std::size_t k = 0; k < a.history.size(); ++k) {
    EXPECT_EQ(std::vector<double>(std::begin(a.history[k].point.design), std::end(a.history[k].point.design)),
              std::vector<double>(std::begin(b.history[k].point.design), std::end(b.history[k].point.design)))
        << k;
    EXPECT_EQ(a.history[k].point.responses[0].pof, b.history[k].point.responses[0].pof) << k;
  }
  EXPECT_EQ(a.analyses, b.analyses);
}

// Without constraints the optimiser minimises the objective alone:
// (muR - 3)^2 = muR^2 - 6 muR + 9, its terms on a design variable
// differentiated exactly.
TEST_F(OptimizeRun, UnconstrainedObjective) {
  rbo::problem::Problem p;
  CProblemMaker m(p);
  m.Random("R", 8.0, 1.0, -10.0, 10.0);
  const refhost::ResponseRef g = p.builder.AddRandomResponse("g");
  p.responses.push_back({"g", true, g, false, 0.0, false, 0.0, 1.0});
  m.Objective("R^2", CProblemMaker::DesignVariable(0), 1.0, true);
  m.Objective("R", CProblemMaker::DesignVariable(0), -6.0);
  p.model = [](const std::valarray<double>& x, std::valarray<double>& y) { y[0] = x[0]; };
  const rbo::problem::OptimizeResult r = Run(p, 2, 1, false);
  EXPECT_TRUE(r.feasible);
  EXPECT_NEAR(r.optimum.design[0], 3.0, 1e-4);
  EXPECT_NEAR(r.optimum.objective, -9.0, 1e-8);
}

TEST_F(OptimizeRun, HistoryFilesHoldEveryProposedPoint) {
  LinearReliability lin;
  rbo::problem::Problem p;
  lin.Make(p);
  std::vector<int> seen;
  const rbo::problem::OptimizeResult r =
      Run(p, 2, 1, false, [&](const rbo::problem::IterationReport& it) { seen.push_back(it.iteration); });
  ASSERT_EQ(seen.size(), r.history.size());
  for (std::size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(seen[k], int(k) + 1);

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("rbo_optimize_history_" + std::to_string(long(::getpid())));
  std::filesystem::create_directories(dir);
  const std::string json = (dir / "h.json").string(), csv = (dir / "h.csv").string();
  rbo::problem::WriteHistory(r, json);
  rbo::problem::WriteHistory(r, csv);

  std::ifstream jf(json);
  const nlohmann::json doc = nlohmann::json::parse(jf);
  ASSERT_EQ(doc["history"].size(), r.history.size());
  EXPECT_EQ(doc["optimum"]["x"]["R"].get<double>(), r.optimum.design[0]);
  EXPECT_EQ(doc["history"][0]["responses"][0]["pof"].get<double>(), r.history[0].point.responses[0].pof);
  EXPECT_EQ(doc["method"].get<int>(), 2);
  EXPECT_FALSE(doc.contains("verification"));

  std::ifstream cf(csv);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(cf, line);) {
    std::vector<std::string> fields;
    std::stringstream ls(line);
    for (std::string field; std::getline(ls, field, ',');) fields.push_back(field);
    rows.push_back(fields);
  }
  ASSERT_EQ(rows.size(), r.history.size() + 1);
  for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size());
  EXPECT_EQ(rows[0][4], "objective");
  EXPECT_EQ(std::stod(rows.back()[4]), r.history.back().point.objective);  // %.17g round-trips

  // A failed write leaves neither the target nor a temporary file.
  EXPECT_THROW(rbo::problem::WriteHistory(r, (dir / "h.txt").string()), std::invalid_argument);
  std::filesystem::create_directory(dir / "taken.json");
  EXPECT_THROW(rbo::problem::WriteHistory(r, (dir / "taken.json").string()), std::runtime_error);
  EXPECT_THROW(rbo::problem::WriteHistory(r, (dir / "missing" / "h.json").string()), std::runtime_error);
  // h.json, h.csv and the directory taken.json
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 3);
  std::filesystem::remove_all(dir);
}

using Options = rbo::problem::OptimizeOptions;
using Settings = rbo::problem::Settings;

struct BadSetting {
  const char* name;
  void (*apply)(Options&, Settings&);
  const char* says;  ///< part of the message
};
std::ostream& operator<<(std::ostream& os, const BadSetting& b) { return os << b.name; }

class RejectedSettings : public OptimizeRun, public ::testing::WithParamInterface<BadSetting> {};

TEST_P(RejectedSettings, AreRejectedBeforeAnyAnalysis) {
  LinearReliability lin;
  rbo::problem::Problem p;
  lin.Make(p);
  optimizetest::AnalysisCounter counter;
  p.model = counter.Wrap(p.model);
  rbo::problem::OptimizeOptions o;
  p.settings.method = 2;
  GetParam().apply(o, p.settings);
  const std::string what = testsupport::WhatOf<std::invalid_argument>([&] { rbo::problem::Optimize(p, o, {}); });
  EXPECT_NE(what.find(GetParam().says), std::string::npos) << what;
  EXPECT_EQ(counter.count->load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectedSettings,
    ::testing::Values(
        BadSetting{"UnknownOptimizer", [](Options& o, Settings&) { o.optimizer = "bfgs"; }, "auto, slsqp, mma, cobyla"},
        BadSetting{"NoEvaluations", [](Options& o, Settings&) { o.maxEvals = 0; }, "--max-evals"},
        BadSetting{"NegativeTolerance", [](Options& o, Settings&) { o.tol = -1e-6; }, "--tol"},
        BadSetting{"NegativeVerification", [](Options& o, Settings&) { o.verifySamples = -1; }, "--verify-samples"},
        BadSetting{"ZeroStep", [](Options& o, Settings&) { o.fdStep = 0.0; }, "step"},
        BadSetting{"Method5", [](Options&, Settings& s) { s.method = 5; }, "0 to 4"}),
    [](const ::testing::TestParamInfo<BadSetting>& param) { return std::string(param.param.name); });

// Methods 3 and 4 fit one surface over the random means across every
// point evaluated: a deterministic variable that the optimiser moves would
// be invisible to it.
TEST_F(OptimizeRun, SurfaceSamplingRefusesAMovingDeterministicVariable) {
  rbo::problem::Problem p;
  optimizetest::LinearWithDeterministic().Make(p);
  p.settings.method = 4;
  const std::string what = testsupport::WhatOf<std::invalid_argument>(
      [&] { rbo::problem::Optimize(p, rbo::problem::OptimizeOptions(), {}); });
  EXPECT_NE(what.find("deterministic design variable t"), std::string::npos) << what;
}

}  // namespace
