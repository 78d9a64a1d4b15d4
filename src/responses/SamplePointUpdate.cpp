// Incremental folding of analysed sample points into running statistics,
// batch by batch, with a convergence test and substitute values for samples
// that violate the host's pass/fail constraints.
#include <cmath>

#include "foundation/Guard.h"
#include "foundation/ProcessState.h"
#include "foundation/SourceUnits.h"
#include "rbo/host/DB.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/ObjectStore.h"
#include "rbo/host/Utility.h"
#include "responses/RecordStatistics.h"
#include "responses/ResponseTables.h"
#include "responses/Violation.h"

namespace rbo {
namespace {

constexpr int kLineNoStore = 3559;
constexpr int kLineNoResponseRecord = 3568;
constexpr int kLineNoResultRecord = 3688;
constexpr int kLineInitialPointViolated = 3696;
constexpr int kLineNoStoredPoint = 3711;
constexpr int kPassFailMark = 1;
constexpr double kConvergenceTolerance = 1.0e-12;

// Reads a record of the store, timing the read on the host's read timer.
bool TimedGetObject(vbPersistent& record) {
  dbReadTime.m_dStartMark = CLogTime::MyTimeMark();
  const bool bRead = record.GetObject();
  dbReadTime.m_dAccumulated += CLogTime::MyTimeMark() - dbReadTime.m_dStartMark;
  return bRead;
}

// |a| <= tol: |b| <= tol; otherwise |1 - b/a| <= tol (equality included).
bool ValuesClose(double a, double b, double dTol) {
  if (std::fabs(a) <= dTol) return std::fabs(b) <= dTol;
  return std::fabs(1.0 - b / a) <= dTol;
}

// The largest scaled violation of the (at most two) constraints on each
// pass/fail entry; violated when one exceeds the tolerance.
void PassFailViolated(CDB* pDB, const std::valarray<int>& marks, const std::valarray<double>& vector, bool& bViolated) {
  bViolated = false;
  const CDB& db = *pDB;
  const double tol = db.m_pParams->m_dConstrTol;
  for (std::size_t i = 0; i < vector.size() && i < marks.size(); ++i) {
    if (marks[i] != kPassFailMark) continue;
    double g = -1.0;
    int nFound = 0;
    for (std::size_t c = 0; c < db.m_vConSubjectType.size() && nFound < 2; ++c) {
      if (db.m_vConSubjectType[c] != kTypeIndResp || db.m_vConSubjectIndex[c] != int(i)) continue;
      ++nFound;
      const double v = (vector[i] - db.m_vConBound[c]) * double(db.m_vConSide[c]) / db.m_vConScale[c];
      if (v > g) g = v;
    }
    if (g > tol) {
      bViolated = true;
      return;
    }
  }
}

// Folds value y as the N-th sample of random response k into its record.
// Returns the convergence result of the mean and standard deviation.
bool UpdateRecord(CRandResp& r, int k, double y, int N, double dTol, SampleFlags& flags) {
  double mean = 0.0, stdDev = 0.0;
  const bool bConverged = CheckMeanStdDev(r.GetMean(), r.GetStdDev(), y, N, kConvergenceTolerance, &mean, &stdDev);
  r.SetMean(mean);
  r.SetStdDev(stdDev);
  const double n = double(N);
  double lowHit = 0.0, upHit = 0.0;
  if (r.GetMeanHasLowBound()) {
    const bool bHit = LowerBoundViolated(r, y, dTol);
    lowHit = bHit ? 1.0 : 0.0;
    r.SetPOF_Low(((n - 1.0) * r.GetPOF_Low() + lowHit) / n);
    flags.Test(bHit, k == 1);
  }
  if (r.GetMeanHasUpBound()) {
    const bool bHit = UpperBoundViolated(r, y, dTol);
    upHit = bHit ? 1.0 : 0.0;
    r.SetPOF_Up(((n - 1.0) * r.GetPOF_Up() + upHit) / n);
    flags.Test(bHit, k == 1);
  }
  if (r.GetMeanHasLowBound() || r.GetMeanHasUpBound()) r.SetPOF(((n - 1.0) * r.GetPOF() + lowHit + upHit) / n);
  return bConverged;
}

// Random entries that carry their response's value: not the fractions, and
// not a continuation of the entry before.
bool IsFoldedRandomEntry(const std::valarray<int>& numbers, const std::valarray<int>& roles, std::size_t i) {
  if (numbers[i] < 0 || roles[i] == kRoleAnyFraction || roles[i] == kRoleJointFraction) return false;
  return !(i > 0 && numbers[i] == numbers[i - 1]);
}

// Substitute values: the mean, over the stored design points that pass the
// pass/fail constraints, of every entry that is not itself pass/fail.
void ComputeSubstitutes(SamplePointState& st, CDB* pDB, POD* pPod, const std::valarray<int>& marks) {
  CDB& db = *pDB;
  CResult result(pPod);
  result.m_nKey = int(db.m_nStoreKey);
  if (!TimedGetObject(result)) throw CGetObject(kUnitRandRespModules, kLineNoResultRecord);
  const int M = result.m_nDesignPoints;
  if (M == 1)
    ErrorReport("The initial point violated the pass/fail constraints.\n")
        .Throw<CCheckPassFail>(kUnitRandRespModules, kLineInitialPointViolated);

  const std::size_t E = st.s_sampleEntryMeans.size();
  auto isSubstituted = [&](std::size_t i) { return i >= 1 && !(i < marks.size() && marks[i] == kPassFailMark); };
  std::valarray<double> vector(0.0, E);
  int nPassing = 0;
  for (int k = 0; k < M; ++k) {
    CDPoint point(pPod);
    point.m_nKey = int(db.m_nStoreKey);
    point.m_nIndex = k;
    if (!TimedGetObject(point)) throw CGetObject(kUnitRandRespModules, kLineNoStoredPoint);
    auto copyGroup = [](const std::vector<vbFLOAT64>& from, std::valarray<double>& to) {
      to.resize(from.size());
      for (std::size_t i = 0; i < from.size(); ++i) to[i] = from[i];
    };
    copyGroup(point.m_vIndResps, db.m_vIndResps);
    copyGroup(point.m_vLinkResps, db.m_vLinkResps);
    copyGroup(point.m_vSynthResps, db.m_vSynthResps);
    SetRVector(db.m_vIndResps, db.m_vLinkResps, db.m_vSynthResps, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry,
               vector);
    bool bViolated = false;
    PassFailViolated(pDB, marks, vector, bViolated);
    if (bViolated) continue;
    for (std::size_t i = 0; i < E; ++i)
      if (isSubstituted(i)) st.s_sampleEntryMeans[i] += vector[i];
    ++nPassing;
  }
  // Without a single passing design point there is nothing to stand in for
  // the violating sample: stop with a clear report rather than divide by 0.
  if (nPassing == 0)
    ErrorReport("No stored design point satisfies the pass/fail constraints.\n")
        .Line("       Stored design points = %d\n", M)
        .Throw<CCheckPassFail>(kUnitRandRespModules, __LINE__);
  for (std::size_t i = 0; i < E; ++i)
    if (isSubstituted(i)) st.s_sampleEntryMeans[i] /= double(nPassing);
  st.s_bHaveSubstitutes = true;
}

[[noreturn]] void FailNotStarted(int nLine) {
  ErrorReport("Sample-point statistics have not been started for this problem.\n")
      .Line("       The first batch must be folded with the first-batch flag set.\n")
      .Throw<CInvalidArgument>(kUnitRandRespModules, nLine);
}

// The running statistics must cover every entry this call reads: the
// record of each random entry that reads one, and the running mean (or
// substitute) of each entry that reads s_sampleEntryMeans.  Entries beyond
// the ones read do not matter, so a map that only grew at its end, or a
// changed count of random responses that no entry names, still folds.
void RequireStarted(const SamplePointState& st, const std::valarray<int>& entryNumbers, const std::valarray<int>& roles,
                    bool bFinish) {
  if (!st.s_bStarted) FailNotStarted(__LINE__);
  CheckRandRespNumbers(entryNumbers, roles, st.s_sampleRandResps.size(), __LINE__,
                       bFinish ? RecordReaders::kStatisticRoles : RecordReaders::kEveryRandomEntry);
  for (std::size_t i = st.s_sampleEntryMeans.size(); i < entryNumbers.size(); ++i) {
    const bool bReadsEntryMean = entryNumbers[i] < 0 || (!bFinish && IsFoldedRandomEntry(entryNumbers, roles, i));
    if (bReadsEntryMean) FailNotStarted(__LINE__);
  }
}

// Restarts the running statistics for a first batch.  The response map is
// checked before anything is written: a number beyond the records would
// otherwise be written past their end.
void StartStatistics(SamplePointState& st, CDB& db, std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                     int nRandResps) {
  CheckRandRespNumbers(entryNumbers, roles, std::size_t(nRandResps), __LINE__);
  st.s_sampleRandResps.resize(std::size_t(nRandResps));
  ConstrBoundsIntoRandResps(entryNumbers, roles, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry, db.m_vConBound,
                            db.m_vConScale, db.m_vConSide, db.m_vConSubjectIndex, db.m_vConSubjectType,
                            st.s_sampleRandResps);
  ResetStatistics(st.s_sampleRandResps);
  st.s_sampleJointFraction = st.s_sampleAnyFraction = 0.0;
  st.s_sampleEntryMeans.resize(entryNumbers.size(), 0.0);
  st.s_sampleEntryMeans = 0.0;
  st.s_bStarted = true;
  st.s_bHaveSubstitutes = false;
}

// The pass/fail marks of the response entries, from the store's response
// definitions.
std::valarray<int> ReadPassFailMarks(const CDB& db, POD* pPod) {
  CDResp definitions(pPod);
  definitions.m_nKey = int(db.m_nStoreKey);
  if (!TimedGetObject(definitions)) throw CGetObject(kUnitRandRespModules, kLineNoResponseRecord);
  std::valarray<int> marks(0, definitions.m_vPassFail.size());
  for (std::size_t i = 0; i < marks.size(); ++i) marks[i] = definitions.m_vPassFail[i];
  return marks;
}

// Only the sampling methods (0 and 1) of a problem with random variables
// and random responses fold sample points; other calls do nothing.
bool FoldsSamplePoints(const CDB& db) {
  const int nRandResps = int(db.m_nRandRespsPlus1) - 1;
  if (int(db.m_nRandVars) < 1 || nRandResps < 1) return false;
  int nMethod = 0, nSamplePoints = 0;
  GetRBOMethodNSamplePoints(&nMethod, &nSamplePoints);
  return nMethod == 0 || nMethod == 1;
}

// Finishing mode: out = the statistics as one host response vector (one
// column): a deterministic entry its running mean (or substitute), a random
// entry the statistic its role asks for.
void WriteStatistics(const SamplePointState& st, const std::valarray<int>& entryNumbers,
                     const std::valarray<int>& roles, CMatrix<double>& out) {
  const std::size_t E = entryNumbers.size();
  std::valarray<double> work(0.0, E);
  for (std::size_t i = 0; i < E; ++i) {
    const int k = entryNumbers[i];
    if (k < 0) {
      work[i] = st.s_sampleEntryMeans[i];
      continue;
    }
    switch (roles[i]) {
      case kRoleMean:
        work[i] = st.s_sampleRandResps[std::size_t(k - 1)].GetMean();
        break;
      case kRoleStdDev:
        work[i] = st.s_sampleRandResps[std::size_t(k - 1)].GetStdDev();
        break;
      case kRolePOF:
        work[i] = st.s_sampleRandResps[std::size_t(k - 1)].GetPOF();
        break;
      case kRoleAnyFraction:
        work[i] = st.s_sampleAnyFraction;
        break;
      case kRoleJointFraction:
        work[i] = st.s_sampleJointFraction;
        break;
      default:
        work[i] = 0.0;
        break;
    }
  }
  if (out.Rows() != int(E) || out.Cols() != 1) out = CMatrix<double>(int(E), 1);
  out.ReplaceCol(0, work);
}

// What folding one batch needs besides the running statistics.
struct BatchInputs {
  CDB* pDB;                           ///< the host database
  POD* pPod;                          ///< the store, for substitute values
  const std::valarray<int>* pMarks;   ///< pass/fail mark per entry
  std::valarray<int>* pEntryNumbers;  ///< random-response number per entry
  std::valarray<int>* pRoles;         ///< role per entry
  double dTol;                        ///< the host's constraint tolerance
  bool bFirstBatch;                   ///< this batch restarted the statistics
};

// A sample that passes the pass/fail constraints, the N-th: its values are
// folded into the running means of the deterministic entries and into the
// records of the random responses.  False when a mean or standard deviation
// moved beyond the convergence tolerance.
bool FoldPassingSample(SamplePointState& st, const BatchInputs& in, const std::valarray<double>& work, int N,
                       SampleFlags& flags) {
  const std::valarray<int>& entryNumbers = *in.pEntryNumbers;
  const std::valarray<int>& roles = *in.pRoles;
  const double n = double(N);
  bool bConverged = true;
  for (std::size_t i = 0; i < entryNumbers.size(); ++i) {
    if (entryNumbers[i] < 0) {
      st.s_sampleEntryMeans[i] = ((n - 1.0) * st.s_sampleEntryMeans[i] + work[i]) / n;
    } else if (IsFoldedRandomEntry(entryNumbers, roles, i)) {
      const int k = entryNumbers[i];
      if (!UpdateRecord(st.s_sampleRandResps[std::size_t(k - 1)], k, work[i], N, in.dTol, flags)) bConverged = false;
    }
  }
  return bConverged;
}

// A sample that violates the pass/fail constraints, the N-th: the random
// responses fold substitute values instead of its own (computed from the
// store on the first batch); a pass/fail entry keeps the sample's value.
// False when any random response was folded.
bool FoldViolatingSample(SamplePointState& st, const BatchInputs& in, const std::valarray<double>& work, int N,
                         SampleFlags& flags) {
  const std::valarray<int>& entryNumbers = *in.pEntryNumbers;
  const std::valarray<int>& roles = *in.pRoles;
  const std::valarray<int>& marks = *in.pMarks;
  if (in.bFirstBatch) ComputeSubstitutes(st, in.pDB, in.pPod, marks);
  bool bConverged = true;
  for (std::size_t i = 0; i < entryNumbers.size(); ++i) {
    if (entryNumbers[i] < 0) {
      if (i < marks.size() && marks[i] == kPassFailMark) st.s_sampleEntryMeans[i] = work[i];
    } else if (IsFoldedRandomEntry(entryNumbers, roles, i)) {
      // Without substitutes from the store (a violation outside the first
      // batch, none before), the response's own running mean stands in: the
      // sample then leaves the mean where it is.
      const int k = entryNumbers[i];
      CRandResp& r = st.s_sampleRandResps[std::size_t(k - 1)];
      const double y = st.s_bHaveSubstitutes ? st.s_sampleEntryMeans[i] : r.GetMean();
      UpdateRecord(r, k, y, N, in.dTol, flags);
      bConverged = false;
    }
  }
  return bConverged;
}

// Folds every sample of the batch (column j is sample nSamplesBefore + j + 1)
// into the running statistics; out receives each sample's full response
// vector.  Returns the convergence result of the last sample (true for an
// empty batch).
bool FoldBatch(SamplePointState& st, const BatchInputs& in, int nSamplesBefore, std::valarray<double>& designVars,
               CMatrix<double>& batch, CMatrix<double>& out) {
  const std::size_t E = in.pEntryNumbers->size();
  const int nCols = batch.Cols();
  if (out.Rows() != int(E) || out.Cols() != nCols) out = CMatrix<double>(int(E), nCols);
  std::valarray<double> column, work(0.0, E);
  bool bResult = true;
  for (int j = 0; j < nCols; ++j) {
    const int N = nSamplesBefore + j + 1;
    const double n = double(N);
    SampleFlags flags;
    batch.GetCol(j, column);
    RespsArrayAnalysisIntoOrvo(in.pDB, designVars, column, *in.pEntryNumbers, work);
    out.ReplaceCol(j, work);
    bool bViolated = false;
    PassFailViolated(in.pDB, *in.pMarks, work, bViolated);
    bResult = bViolated ? FoldViolatingSample(st, in, work, N, flags) : FoldPassingSample(st, in, work, N, flags);
    st.s_sampleJointFraction = ((n - 1.0) * st.s_sampleJointFraction + (flags.m_nJoint > 0 ? 1.0 : 0.0)) / n;
    st.s_sampleAnyFraction = ((n - 1.0) * st.s_sampleAnyFraction + (flags.m_bAny ? 1.0 : 0.0)) / n;
  }
  return bResult;
}

}  // namespace

}  // namespace rbo

bool CheckMeanStdDev(double dMean, double dStdDev, double y, int N, double dTolerance, double* pdNewMean,
                     double* pdNewStdDev) {
  return rbo::Guarded(rbo::kUnitRandRespModules, __LINE__, [&] {
    const double n = double(N);
    const double mean = ((n - 1.0) * dMean + y) / n;
    const double variance = (n - 1.0) * (dStdDev * dStdDev + (dMean - y) * (dMean - y) / n) / n;
    const double stdDev = variance < 0.0 ? 0.0 : std::sqrt(variance);
    *pdNewMean = mean;
    *pdNewStdDev = stdDev;
    return rbo::ValuesClose(mean, dMean, dTolerance) && rbo::ValuesClose(stdDev, dStdDev, dTolerance);
  });
}

bool UpdateSamplePointRandResps(CDB* pDB, bool bFirstBatch, int nSamplesBefore, std::valarray<double>& designVars,
                                CMatrix<double>& batch, std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                                CMatrix<double>& out, bool bFinish) {
  using namespace rbo;
  return Guarded(kUnitRandRespModules, __LINE__, [&] {
    RequireDatabase(pDB, kUnitRandRespModules, __LINE__);
    CDB& db = *pDB;
    SamplePointState& st = TheProcessState().samplePoints;

    POD* pPod = GetPOD();
    if (pPod == nullptr) throw CNullPtr(kUnitRandRespModules, kLineNoStore);
    CLock lock(pPod, 0);
    const std::valarray<int> marks = ReadPassFailMarks(db, pPod);
    if (!FoldsSamplePoints(db)) {
      lock.UnLock();
      return true;
    }

    if (bFinish) {
      RequireStarted(st, entryNumbers, roles, true);
      WriteStatistics(st, entryNumbers, roles, out);
      lock.UnLock();
      return true;
    }

    if (bFirstBatch) StartStatistics(st, db, entryNumbers, roles, int(db.m_nRandRespsPlus1) - 1);
    RequireStarted(st, entryNumbers, roles, false);
    const BatchInputs in{pDB, pPod, &marks, &entryNumbers, &roles, db.m_pParams->m_dConstrTol, bFirstBatch};
    const bool bResult = FoldBatch(st, in, nSamplesBefore, designVars, batch, out);
    lock.UnLock();
    return bResult;
  });
}
