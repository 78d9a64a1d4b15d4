// Incremental folding of sample points: running statistics, convergence,
// pass/fail substitution from the object store, and the store failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <utility>
#include <vector>

#include "rbo/RBO.h"
#include "responses/ResponseTables.h"
#include "support/Problems.h"

namespace {

constexpr int kKey = 42;

// The first value sets the mean, an equal second one converges; three
// values fold to their population mean and deviation.
TEST(CheckMeanStdDev, RunningFormEqualsBatchForm) {
  double m = -1.0, s = -1.0;
  EXPECT_FALSE(CheckMeanStdDev(0.0, 0.0, 5.0, 1, 1e-12, &m, &s));
  EXPECT_EQ(m, 5.0);
  EXPECT_EQ(s, 0.0);
  EXPECT_TRUE(CheckMeanStdDev(m, s, 5.0, 2, 1e-12, &m, &s));
  EXPECT_EQ(m, 5.0);
  EXPECT_EQ(s, 0.0);
  const double values[] = {1.0, 2.0, 3.0};
  for (int n = 1; n <= 3; ++n) CheckMeanStdDev(m, s, values[n - 1], n, 1e-12, &m, &s);
  EXPECT_DOUBLE_EQ(m, 2.0);
  EXPECT_DOUBLE_EQ(s, std::sqrt(2.0 / 3.0));
}

TEST(CheckMeanStdDev, ClosenessNearZeroIsAbsolute) {
  double m = 0.0, s = 0.0;
  // Folding 0 into a mean of 1e-13 (N = 1e6): the new mean ~1e-13 is below
  // the tolerance, so "close" compares absolutely and holds.
  EXPECT_TRUE(CheckMeanStdDev(1e-13, 0.0, 0.0, 1000000, 1e-12, &m, &s));
  // Relative: 2 moved to 2 + 1e-9 is not within 1e-12.
  EXPECT_FALSE(CheckMeanStdDev(2.0, 0.0, 2.0 + 2e-9 * 2, 2, 1e-12, &m, &s));
}

// One random parameter x ~ N(0, 1), a random response g with the given
// bounds, a deterministic response h, and (optionally) a pass/fail response
// p that is violated above 0.
class SamplePointUpdate : public ::testing::Test {
 protected:
  refhost::ProblemBuilder b;
  refhost::ResponseRef g, h, pf;
  std::unique_ptr<CDB> db;
  std::valarray<double> designVars;
  CMatrix<double> out;

  void SetUp() override {
    testsupport::ResetLibraryState();
    refhost::OpenStore(":memory:");
    refhost::SetRBOMethod(0, 100);
    b.AddRandomParameter("x", CRandVar::kNormal, 0.0, 1.0);
    g = b.AddRandomResponse("g");
    h = b.AddResponse("h");
    pf = b.AddResponse("p");
  }
  void TearDown() override { refhost::OpenStore(":memory:"); }

  // Builds the database and stores the pass/fail marks (p is marked).
  void Build() {
    b.AddConstraint(pf.value, 1, 0.0);
    db = b.Build();
    db->m_nStoreKey = kKey;
    std::vector<int> marks(db->m_vRespIndexOfEntry.size(), 0);
    marks[std::size_t(pf.value.index)] = 1;
    refhost::PutPassFailMarks(kKey, marks);
    designVars.resize(2, 0.0);
  }
  // Folds samples (g, h, p) as one batch.
  bool Fold(bool bFirst, int nBefore, const std::vector<std::vector<double>>& samples) {
    CMatrix<double> batch(3, int(samples.size()));
    for (std::size_t s = 0; s < samples.size(); ++s)
      for (int r = 0; r < 3; ++r) batch(r, int(s)) = samples[s][std::size_t(r)];
    return UpdateSamplePointRandResps(db.get(), bFirst, nBefore, designVars, batch, db->m_vEntryRandRespNumber,
                                      db->m_vRespRole, out, false);
  }
  std::valarray<double> Finish() {
    CMatrix<double> stats, empty;
    EXPECT_TRUE(UpdateSamplePointRandResps(db.get(), false, 0, designVars, empty, db->m_vEntryRandRespNumber,
                                           db->m_vRespRole, stats, true));
    std::valarray<double> v;
    stats.GetCol(0, v);
    return v;
  }
  // Stores design point k with response values (g, h, p).
  void StorePoint(int k, double gv, double hv, double pv) {
    std::vector<double> group0(db->m_vRespIndexOfEntry.size(), 0.0);
    for (int e = g.value.index; e <= g.pof.index; ++e) group0[std::size_t(e)] = gv;
    group0[std::size_t(h.value.index)] = hv;
    group0[std::size_t(pf.value.index)] = pv;
    refhost::PutDesignPoint(kKey, k, group0, {}, {});
  }
};

TEST_F(SamplePointUpdate, BatchByBatchEqualsTheBatchStatistics) {
  b.AddConstraint(g.value, -1, 0.5);
  Build();
  const std::vector<std::vector<double>> samples = {
      {1.0, 10, -1}, {0.2, 20, -1}, {3.0, 30, -1}, {-0.4, 40, -1}, {0.9, 50, -1}};
  Fold(true, 0, {samples[0], samples[1]});
  Fold(false, 2, {samples[2]});
  Fold(false, 3, {samples[3], samples[4]});
  const std::valarray<double> stats = Finish();

  // The same samples through the batch folding of the sample statistics.
  std::valarray<CRandResp> records(1);
  rbo::ConstrBoundsIntoRandResps(db->m_vEntryRandRespNumber, db->m_vRespRole, db->m_vRespIndexOfEntry,
                                 db->m_vRespTypeOfEntry, db->m_vConBound, db->m_vConScale, db->m_vConSide,
                                 db->m_vConSubjectIndex, db->m_vConSubjectType, records);
  CMatrix<double> designPoints(2, 1), analysisPoints(1, 5), outputs(3, 5), batchStats;
  designPoints(1, 0) = 1.0;
  for (int s = 0; s < 5; ++s)
    for (int r = 0; r < 3; ++r) outputs(r, s) = samples[std::size_t(s)][std::size_t(r)];
  rbo::RandRespsFromSamples(db.get(), 5, db->m_vInputRandVar, db->m_vEntryRandRespNumber, db->m_vRespRole, designPoints,
                            analysisPoints, outputs, records, batchStats);
  for (int e : {g.value.index, g.stdDev.index, g.pof.index, h.value.index, 0, b.JointFractionRef().index})
    EXPECT_NEAR(stats[std::size_t(e)], batchStats(e, 0), 1e-14) << "entry " << e;
  EXPECT_DOUBLE_EQ(stats[std::size_t(g.pof.index)], 0.4);
}

// The POF after a violating and then a passing sample, for an upper bound,
// a lower bound with an upper one, and (entry 0, the "any" fraction) for a
// lower bound alone.
TEST_F(SamplePointUpdate, PofCountsTheViolatingSamples) {
  struct Case {
    std::vector<std::pair<int, double>> bounds;  ///< side and bound of g
    double violating, passing;
    bool bAnyFraction;  ///< read entry 0 instead of g's POF
  };
  const Case cases[] = {
      {{{1, 2.0}}, 3.0, 1.0, false}, {{{-1, 0.0}, {1, 10.0}}, -1.0, 5.0, false}, {{{-1, 0.0}}, -1.0, 1.0, true}};
  for (const Case& c : cases) {
    b = refhost::ProblemBuilder();
    SetUp();
    for (const auto& [side, bound] : c.bounds) b.AddConstraint(g.value, side, bound);
    Build();
    const std::size_t entry = c.bAnyFraction ? 0 : std::size_t(g.pof.index);
    Fold(true, 0, {{c.violating, 0, -1}});
    EXPECT_EQ(Finish()[entry], 1.0) << c.violating;
    Fold(false, 1, {{c.passing, 0, -1}});
    EXPECT_EQ(Finish()[entry], 0.5) << c.passing;
  }
}

TEST_F(SamplePointUpdate, ConvergenceResultOfTheLastSample) {
  Build();
  EXPECT_FALSE(Fold(true, 0, {{2.0, 0, -1}}));
  EXPECT_TRUE(Fold(false, 1, {{2.0, 0, -1}, {2.0, 0, -1}}));
  EXPECT_FALSE(Fold(false, 3, {{2.0, 0, -1}, {7.0, 0, -1}}));
}

TEST_F(SamplePointUpdate, OtherMethodsChangeNothing) {
  Build();
  Fold(true, 0, {{1.0, 0, -1}});
  refhost::SetRBOMethod(2, 100);
  out = CMatrix<double>(2, 2, 3.0);
  EXPECT_TRUE(Fold(false, 1, {{100.0, 0, -1}}));
  EXPECT_EQ(out(0, 0), 3.0);
  refhost::SetRBOMethod(0, 100);
  EXPECT_EQ(Finish()[std::size_t(g.value.index)], 1.0);
}

TEST_F(SamplePointUpdate, FinishingWritesZeroForARoleWithoutStatistic) {
  Build();
  db->m_vRespRole[std::size_t(g.stdDev.index)] = 0;  // a random entry with role 0
  Fold(true, 0, {{1.0, 0, -1}, {2.0, 0, -1}});
  EXPECT_EQ(Finish()[std::size_t(g.stdDev.index)], 0.0);
}

TEST_F(SamplePointUpdate, ViolatingSampleTakesSubstitutesFromPassingStoredPoints) {
  Build();
  StorePoint(0, 4.0, 100.0, -1.0);  // passes
  StorePoint(1, 8.0, 200.0, -1.0);  // passes
  StorePoint(2, 99.0, 999.0, 1.0);  // violates the pass/fail constraint: ignored
  EXPECT_FALSE(Fold(true, 0, {{1000.0, 5.0, 2.0}}));
  const std::valarray<double> stats = Finish();
  EXPECT_DOUBLE_EQ(stats[std::size_t(g.value.index)], 6.0);  // (4 + 8) / 2, not the sample's 1000
  EXPECT_DOUBLE_EQ(stats[std::size_t(h.value.index)], 150.0);
  EXPECT_EQ(stats[std::size_t(pf.value.index)], 2.0);  // a pass/fail entry keeps the sample's value
  // A later violating batch reuses the substitutes of the first batch.
  Fold(false, 1, {{1000.0, 5.0, 3.0}});
  EXPECT_DOUBLE_EQ(Finish()[std::size_t(g.value.index)], 6.0);
}

TEST_F(SamplePointUpdate, ViolatingSampleAfterTheFirstBatchUsesTheRunningValues) {
  Build();
  Fold(true, 0, {{2.0, 10.0, -1.0}, {4.0, 30.0, -1.0}});
  Fold(false, 2, {{1000.0, 1000.0, 5.0}});  // violates; no new substitutes outside the first batch
  const std::valarray<double> stats = Finish();
  // No substitutes were ever made: the deterministic entry keeps its running
  // mean, the random response is folded with its own running mean (3), so
  // its mean stays and its deviation shrinks: 2 (1 + 0) / 3.
  EXPECT_DOUBLE_EQ(stats[std::size_t(h.value.index)], 20.0);
  EXPECT_DOUBLE_EQ(stats[std::size_t(g.value.index)], 3.0);
  EXPECT_DOUBLE_EQ(stats[std::size_t(g.stdDev.index)], std::sqrt(2.0 / 3.0));
}

TEST_F(SamplePointUpdate, InitialPointViolatedIsACheckPassFail) {
  Build();
  StorePoint(0, 1.0, 1.0, -1.0);
  refhost::LogCapture log;
  EXPECT_THROW(Fold(true, 0, {{1.0, 0.0, 3.0}}), CCheckPassFail);
  const auto& r = log.Records();
  ASSERT_GE(r.size(), 3u);
  EXPECT_EQ(r[0].text, "The initial point violated the pass/fail constraints.\n");
  EXPECT_EQ(r[1].call, "LNewException");
  EXPECT_EQ(r[1].line, 3696);
  EXPECT_EQ(r[1].text, "CheckPassFail");
  // The lock was released while unwinding: another thread can write.
  auto writer = std::async(std::launch::async, [] { refhost::PutPassFailMarks(7, {0}); });
  EXPECT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(SamplePointUpdate, NoPassingStoredPointIsACheckPassFail) {
  Build();
  StorePoint(0, 1.0, 1.0, 1.0);
  StorePoint(1, 1.0, 1.0, 2.0);
  refhost::LogCapture log;
  EXPECT_THROW(Fold(true, 0, {{1.0, 0.0, 3.0}}), CCheckPassFail);
  ASSERT_GE(log.Records().size(), 2u);
  EXPECT_EQ(log.Records()[0].text, "No stored design point satisfies the pass/fail constraints.\n");
  EXPECT_EQ(log.Records()[1].text, "       Stored design points = 2\n");
}

// A key without response definitions, a count that claims points none of
// which are stored, and no store at all: each fails at its own line.
TEST_F(SamplePointUpdate, StoreFailures) {
  Build();
  refhost::LogCapture log;
  db->m_nStoreKey = kKey + 1;
  EXPECT_THROW(Fold(true, 0, {{1.0, 0.0, -1.0}}), CGetObject);
  EXPECT_EQ(log.Records()[0].line, 3568);
  db->m_nStoreKey = kKey;
  refhost::PutResultCount(kKey, 2);
  log.Clear();
  EXPECT_THROW(Fold(true, 0, {{1.0, 0.0, 5.0}}), CGetObject);
  EXPECT_EQ(log.Records()[0].line, 3711);
  EXPECT_THROW(refhost::OpenStore("/nonexistent-directory/store.db"), std::runtime_error);
  log.Clear();
  EXPECT_THROW(Fold(true, 0, {{1.0, 0.0, -1.0}}), CNullPtr);
  EXPECT_EQ(log.Records()[0].line, 3559);
}

// A first batch whose map names a random response beyond the records is
// refused before anything is written: the records are not filled (they
// would be written past their end) and the statistics stay unstarted.
TEST_F(SamplePointUpdate, FirstBatchWithANumberBeyondTheRecordsIsRefusedBeforeWriting) {
  Build();
  for (int e = g.value.index; e <= g.pof.index; ++e) db->m_vEntryRandRespNumber[std::size_t(e)] = 7;
  refhost::LogCapture log;
  EXPECT_THROW(Fold(true, 0, {{1.0, 0.0, -1.0}}), CInvalidArgument);
  ASSERT_GE(log.Records().size(), 4u);
  EXPECT_EQ(log.Records()[0].text, "Invalid random-response number of a response entry.\n");
  EXPECT_EQ(log.Records()[3].call, "LNewException");
  for (int e = g.value.index; e <= g.pof.index; ++e) db->m_vEntryRandRespNumber[std::size_t(e)] = 1;
  EXPECT_THROW(Fold(false, 1, {{1.0, 0.0, -1.0}}), CInvalidArgument);  // still not started
}

// Only what a call reads must match the started statistics: a role array
// longer than the map and a count of random responses that no entry names
// do not stop the folding; a statistic naming a record beyond them does.
TEST_F(SamplePointUpdate, StartedCheckLooksOnlyAtTheEntriesRead) {
  b.AddConstraint(g.value, 1, 2.0);
  Build();
  Fold(true, 0, {{3.0, 0, -1}});
  std::valarray<int> longerRoles(0, db->m_vRespRole.size() + 1);
  longerRoles[std::slice(0, db->m_vRespRole.size(), 1)] = db->m_vRespRole;
  db->m_nRandRespsPlus1 = 3;  // a second random response, named by no entry
  CMatrix<double> batch(3, 1);
  batch(0, 0) = 1.0;
  UpdateSamplePointRandResps(db.get(), false, 1, designVars, batch, db->m_vEntryRandRespNumber, longerRoles, out,
                             false);
  EXPECT_EQ(Finish()[std::size_t(g.pof.index)], 0.5);

  db->m_vEntryRandRespNumber[std::size_t(g.stdDev.index)] = 2;  // a statistic of a record never started
  CMatrix<double> stats, empty;
  refhost::LogCapture log;
  EXPECT_THROW(UpdateSamplePointRandResps(db.get(), false, 0, designVars, empty, db->m_vEntryRandRespNumber,
                                          db->m_vRespRole, stats, true),
               CInvalidArgument);
  ASSERT_FALSE(log.Records().empty());
  EXPECT_EQ(log.Records()[0].text, "Invalid random-response number of a response entry.\n");
}

TEST_F(SamplePointUpdate, BatchBeforeAnyFirstBatchIsRejected) {
  Build();
  refhost::LogCapture log;
  EXPECT_THROW(Fold(false, 0, {{1.0, 0.0, -1.0}}), CInvalidArgument);
  EXPECT_EQ(log.Records()[0].text, "Sample-point statistics have not been started for this problem.\n");
}

}  // namespace
