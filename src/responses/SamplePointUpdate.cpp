// Incremental folding of analysed sample points into running statistics,
// batch by batch, with a convergence test and substitute values for samples
// that violate the host's pass/fail constraints.
#include <cmath>

#include "foundation/Guard.h"
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

// Running statistics, kept between calls and restarted by a first batch.
std::valarray<CRandResp> s_sampleRandResps;  ///< running statistics (not sums) per random response
std::valarray<double> s_sampleEntryMeans;    ///< per entry: running mean, or substitute value
double s_sampleJointFraction = 0.0;          ///< running fraction of samples with the joint flag
double s_sampleAnyFraction = 0.0;            ///< running fraction of samples violating any bound
bool s_bStarted = false;                     ///< a first batch has been folded
bool s_bHaveSubstitutes = false;             ///< substitute values were computed since the first batch

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
void ComputeSubstitutes(CDB* pDB, POD* pPod, const std::valarray<int>& marks) {
  CDB& db = *pDB;
  CResult result(pPod);
  result.m_nKey = int(db.m_nStoreKey);
  if (!TimedGetObject(result)) throw CGetObject(kUnitRandRespModules, kLineNoResultRecord);
  const int M = result.m_nDesignPoints;
  if (M == 1)
    ErrorReport("The initial point violated the pass/fail constraints.\n")
        .Throw<CCheckPassFail>(kUnitRandRespModules, kLineInitialPointViolated);

  const std::size_t E = s_sampleEntryMeans.size();
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
      if (isSubstituted(i)) s_sampleEntryMeans[i] += vector[i];
    ++nPassing;
  }
  // Without a single passing design point there is nothing to stand in for
  // the violating sample: stop with a clear report rather than divide by 0.
  if (nPassing == 0)
    ErrorReport("No stored design point satisfies the pass/fail constraints.\n")
        .Line("       Stored design points = %d\n", M)
        .Throw<CCheckPassFail>(kUnitRandRespModules, __LINE__);
  for (std::size_t i = 0; i < E; ++i)
    if (isSubstituted(i)) s_sampleEntryMeans[i] /= double(nPassing);
  s_bHaveSubstitutes = true;
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
void RequireStarted(const std::valarray<int>& entryNumbers, const std::valarray<int>& roles, bool bFinish) {
  if (!s_bStarted) FailNotStarted(__LINE__);
  CheckRandRespNumbers(entryNumbers, roles, s_sampleRandResps.size(), __LINE__,
                       bFinish ? RecordReaders::kStatisticRoles : RecordReaders::kEveryRandomEntry);
  for (std::size_t i = s_sampleEntryMeans.size(); i < entryNumbers.size(); ++i) {
    const bool bReadsEntryMean = entryNumbers[i] < 0 || (!bFinish && IsFoldedRandomEntry(entryNumbers, roles, i));
    if (bReadsEntryMean) FailNotStarted(__LINE__);
  }
}

// Restarts the running statistics for a first batch.  The response map is
// checked before anything is written: a number beyond the records would
// otherwise be written past their end.
void StartStatistics(CDB& db, std::valarray<int>& entryNumbers, std::valarray<int>& roles, int nRandResps) {
  CheckRandRespNumbers(entryNumbers, roles, std::size_t(nRandResps), __LINE__);
  s_sampleRandResps.resize(std::size_t(nRandResps));
  ConstrBoundsIntoRandResps(entryNumbers, roles, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry, db.m_vConBound,
                            db.m_vConScale, db.m_vConSide, db.m_vConSubjectIndex, db.m_vConSubjectType,
                            s_sampleRandResps);
  ResetStatistics(s_sampleRandResps);
  s_sampleJointFraction = s_sampleAnyFraction = 0.0;
  s_sampleEntryMeans.resize(entryNumbers.size(), 0.0);
  s_sampleEntryMeans = 0.0;
  s_bStarted = true;
  s_bHaveSubstitutes = false;
}

}  // namespace

void ResetSamplePointState() {
  s_sampleRandResps.resize(0);
  s_sampleEntryMeans.resize(0);
  s_sampleJointFraction = s_sampleAnyFraction = 0.0;
  s_bStarted = false;
  s_bHaveSubstitutes = false;
}

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
    const std::size_t E = entryNumbers.size();
    std::valarray<double> work(0.0, E);

    POD* pPod = GetPOD();
    if (pPod == nullptr) throw CNullPtr(kUnitRandRespModules, kLineNoStore);
    CLock lock(pPod, 0);

    CDResp definitions(pPod);
    definitions.m_nKey = int(db.m_nStoreKey);
    if (!TimedGetObject(definitions)) throw CGetObject(kUnitRandRespModules, kLineNoResponseRecord);
    std::valarray<int> marks(0, definitions.m_vPassFail.size());
    for (std::size_t i = 0; i < marks.size(); ++i) marks[i] = definitions.m_vPassFail[i];

    const int nRandResps = int(db.m_nRandRespsPlus1) - 1;
    int nMethod = 0, nSamplePoints = 0;
    if (int(db.m_nRandVars) < 1 || nRandResps < 1) {
      lock.UnLock();
      return true;
    }
    GetRBOMethodNSamplePoints(&nMethod, &nSamplePoints);
    if (nMethod != 0 && nMethod != 1) {
      lock.UnLock();
      return true;
    }

    if (bFinish) {
      RequireStarted(entryNumbers, roles, true);
      for (std::size_t i = 0; i < E; ++i) {
        const int k = entryNumbers[i];
        if (k < 0) {
          work[i] = s_sampleEntryMeans[i];
          continue;
        }
        switch (roles[i]) {
          case kRoleMean:
            work[i] = s_sampleRandResps[std::size_t(k - 1)].GetMean();
            break;
          case kRoleStdDev:
            work[i] = s_sampleRandResps[std::size_t(k - 1)].GetStdDev();
            break;
          case kRolePOF:
            work[i] = s_sampleRandResps[std::size_t(k - 1)].GetPOF();
            break;
          case kRoleAnyFraction:
            work[i] = s_sampleAnyFraction;
            break;
          case kRoleJointFraction:
            work[i] = s_sampleJointFraction;
            break;
          default:
            work[i] = 0.0;
            break;
        }
      }
      if (out.Rows() != int(E) || out.Cols() != 1) out = CMatrix<double>(int(E), 1);
      out.ReplaceCol(0, work);
      lock.UnLock();
      return true;
    }

    if (bFirstBatch) StartStatistics(db, entryNumbers, roles, nRandResps);
    RequireStarted(entryNumbers, roles, false);

    const int nCols = batch.Cols();
    if (out.Rows() != int(E) || out.Cols() != nCols) out = CMatrix<double>(int(E), nCols);
    const double tol = db.m_pParams->m_dConstrTol;
    std::valarray<double> column;
    bool bResult = true;
    for (int j = 0; j < nCols; ++j) {
      const int N = nSamplesBefore + j + 1;
      const double n = double(N);
      bResult = true;
      SampleFlags flags;
      batch.GetCol(j, column);
      RespsArrayAnalysisIntoOrvo(pDB, designVars, column, entryNumbers, work);
      out.ReplaceCol(j, work);
      bool bViolated = false;
      PassFailViolated(pDB, marks, work, bViolated);
      if (!bViolated) {
        for (std::size_t i = 0; i < E; ++i) {
          if (entryNumbers[i] < 0) {
            s_sampleEntryMeans[i] = ((n - 1.0) * s_sampleEntryMeans[i] + work[i]) / n;
          } else if (IsFoldedRandomEntry(entryNumbers, roles, i)) {
            const int k = entryNumbers[i];
            if (!UpdateRecord(s_sampleRandResps[std::size_t(k - 1)], k, work[i], N, tol, flags)) bResult = false;
          }
        }
      } else {
        if (bFirstBatch) ComputeSubstitutes(pDB, pPod, marks);
        for (std::size_t i = 0; i < E; ++i) {
          if (entryNumbers[i] < 0) {
            if (i < marks.size() && marks[i] == kPassFailMark) s_sampleEntryMeans[i] = work[i];
          } else if (IsFoldedRandomEntry(entryNumbers, roles, i)) {
            // Without substitutes from the store (a violation outside the
            // first batch, none before), the response's own running mean
            // stands in: the sample then leaves the mean where it is.
            const int k = entryNumbers[i];
            CRandResp& r = s_sampleRandResps[std::size_t(k - 1)];
            const double y = s_bHaveSubstitutes ? s_sampleEntryMeans[i] : r.GetMean();
            UpdateRecord(r, k, y, N, tol, flags);
            bResult = false;
          }
        }
      }
      s_sampleJointFraction = ((n - 1.0) * s_sampleJointFraction + (flags.m_nJoint > 0 ? 1.0 : 0.0)) / n;
      s_sampleAnyFraction = ((n - 1.0) * s_sampleAnyFraction + (flags.m_bAny ? 1.0 : 0.0)) / n;
    }
    lock.UnLock();
    return bResult;
  });
}
