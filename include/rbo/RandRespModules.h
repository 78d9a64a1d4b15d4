// Random responses and the RBO methods: the response record, the spreading
// of analysis responses over the host's response entries, and the analysis
// driver that runs a batch of design points under uncertainty.
//
// RBO method codes (reported by the host's GetRBOMethodNSamplePoints):
//   0  Monte Carlo sample points, folded by sample statistics
//   1  Latin hypercube sample points, folded by sample statistics
//   2  one analysis at the means, first-order propagation through a response surface
//   3  one analysis at the means, Monte Carlo sampling of a response surface
//   4  one analysis at the means, Latin hypercube sampling of a response surface
//
// Response roles (CDB::m_vRespRole) of an entry that belongs to a random
// response: -1 mean, -2 standard deviation, -3 probability of failure,
// -4 fraction of sample points violating any bound, -5 fraction with the
// joint-violation flag.
#pragma once

#include <string>
#include <valarray>

#include "rbo/Export.h"
#include "rbo/foundation/Matrix.h"

class CDB;

/// Statistics of one random response and the bounds on its mean.  While a
/// method accumulates samples, Mean, StdDev and the POF fields hold running
/// sums; the record itself enforces nothing.
class RBO_API CRandResp {
 public:
  CRandResp();
  explicit CRandResp(double dMean);
  CRandResp(double dMean, double dStdDev);
  /// Sets POF, not POF_Low or POF_Up.
  CRandResp(double dMean, double dStdDev, double dPOF);
  CRandResp(const CRandResp& other);
  void operator=(const CRandResp& other);
  ~CRandResp();
  /// Copies all thirteen fields.
  void Copy(const CRandResp& other);

  double GetMean() const { return m_dMean; }
  void SetMean(double d) { m_dMean = d; }
  double GetStdDev() const { return m_dStdDev; }
  void SetStdDev(double d) { m_dStdDev = d; }
  double GetPOF_Low() const { return m_dPOF_Low; }
  void SetPOF_Low(double d) { m_dPOF_Low = d; }
  double GetPOF_Up() const { return m_dPOF_Up; }
  void SetPOF_Up(double d) { m_dPOF_Up = d; }
  double GetPOF() const { return m_dPOF; }
  void SetPOF(double d) { m_dPOF = d; }
  int GetRespTypeAsSubject() const { return m_nRespTypeAsSubject; }
  void SetRespTypeAsSubject(int n) { m_nRespTypeAsSubject = n; }
  int GetMeanOrderIndex() const { return m_nMeanOrderIndex; }
  void SetMeanOrderIndex(int n) { m_nMeanOrderIndex = n; }
  bool GetMeanHasLowBound() const { return m_bMeanHasLowBound; }
  void SetMeanHasLowBound(bool b) { m_bMeanHasLowBound = b; }
  double GetLowBoundMean() const { return m_dLowBoundMean; }
  void SetLowBoundMean(double d) { m_dLowBoundMean = d; }
  double GetScaleLowBoundMean() const { return m_dScaleLowBoundMean; }
  void SetScaleLowBoundMean(double d) { m_dScaleLowBoundMean = d; }
  bool GetMeanHasUpBound() const { return m_bMeanHasUpBound; }
  void SetMeanHasUpBound(bool b) { m_bMeanHasUpBound = b; }
  double GetUpBoundMean() const { return m_dUpBoundMean; }
  void SetUpBoundMean(double d) { m_dUpBoundMean = d; }
  double GetScaleUpBoundMean() const { return m_dScaleUpBoundMean; }
  void SetScaleUpBoundMean(double d) { m_dScaleUpBoundMean = d; }

 private:
  double m_dMean;               ///< mean of the response
  double m_dStdDev;             ///< standard deviation of the response
  double m_dPOF_Low;            ///< probability of violating the lower bound on the mean
  double m_dPOF_Up;             ///< probability of violating the upper bound on the mean
  double m_dPOF;                ///< probability of violating either bound
  int m_nRespTypeAsSubject;     ///< host type code of the response
  int m_nMeanOrderIndex;        ///< host index of the response within its type
  bool m_bMeanHasLowBound;      ///< a lower bound applies to the mean
  double m_dLowBoundMean;       ///< the lower bound
  double m_dScaleLowBoundMean;  ///< divides a lower-bound violation
  bool m_bMeanHasUpBound;       ///< an upper bound applies to the mean
  double m_dUpBoundMean;        ///< the upper bound
  double m_dScaleUpBoundMean;   ///< divides an upper-bound violation
};

/// Spreads one analysis response vector over the host's response entries:
/// entry 0 becomes 0.0; every later entry that is not random, or starts a new
/// random response, takes the next analysis value; the other entries of a
/// random response repeat its value.  entries must already have one element
/// per element of entryNumbers.
RBO_API void RespsArrayAnalysisIntoOrvoIni(std::valarray<double>& analysisResps, std::valarray<int>& entryNumbers,
                                           std::valarray<double>& entries);

/// The host's full response vector at one analysis point: the analysis values
/// spread as above, then linked and synthetic responses recomputed by the
/// host at the design variables `inputs`.  entries is resized.
RBO_API void RespsArrayAnalysisIntoOrvo(CDB* pDB, std::valarray<double>& inputs, std::valarray<double>& analysisResps,
                                        std::valarray<int>& entryNumbers, std::valarray<double>& entries);

/// Evaluates a batch of design points under uncertainty: builds their
/// design-variable vectors, expands them into analysis points, runs the
/// host's analysis (in parallel when nParallel is 1), folds the results into
/// one response column per design point, and evaluates constraint and
/// objective values.  Outputs: objective (11) and constraint (12) value per
/// design point, the design-point matrix (13) and response matrix (14).
///
/// The constraint and objective of every design point are evaluated with the
/// design variables of the LAST design point of the batch: after the
/// expansion the database's design-variable groups still hold the last
/// point, and only the responses are loaded per point.  Each point's
/// responses (column p of the response matrix) are its own.  A host that
/// needs constraint and objective values that depend on each point's own
/// design variables evaluates one design point per call.
RBO_API void AnalysisVerif(CDB* pDB, CMatrix<double>& indDVs, std::valarray<double>& adjustA,
                           std::valarray<double>& adjustB, int nParallel, int nAnalysisFlag, int nParArg,
                           int nSerialArg, std::string& parName1, std::string& parName2,
                           std::valarray<double>& objective, std::valarray<double>& constraint,
                           CMatrix<double>& designPoints, CMatrix<double>& designResponses, bool bParFlag);

/// Folds the analysis responses of a batch into one host response column per
/// design point by the host's RBO method.  nSamplePointsOverride >= 1
/// replaces the host's number of sample points.
RBO_API void AdjustRespsMatrices(CDB* pDB, CMatrix<double>& analysisPoints, CMatrix<double>& designPoints,
                                 CMatrix<double>& analysisOutputs, CMatrix<double>& designResponses,
                                 int nSamplePointsOverride);

/// The library's version (RBO_VERSION_MAJOR, _MINOR, _PATCH of <rbo/Version.h>).
RBO_API void GetRBOVersion(int* pnMajor, int* pnMinor, int* pnPatch);

/// Folds one batch of analysed sample points into running statistics of the
/// random responses (RBO methods 0 and 1, incremental):
///   bFirstBatch        restart every statistic before folding;
///   nSamplesBefore     samples folded by earlier calls;
///   designVars         the design-variable vector of the design point;
///   batch              analysis responses, one column per sample point;
///   out                the host response vector of each sample (one column
///                      each), or in finishing mode the statistics vector;
///   bFinish            write the statistics instead of folding.
/// A sample that violates the host's pass/fail constraints is folded with
/// substitute values from the design points in the host's object store.
/// Returns true when the last sample left every mean and standard deviation
/// unchanged within 1e-12 (relative): the statistics have converged.
RBO_API bool UpdateSamplePointRandResps(CDB* pDB, bool bFirstBatch, int nSamplesBefore,
                                        std::valarray<double>& designVars, CMatrix<double>& batch,
                                        std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                                        CMatrix<double>& out, bool bFinish);

/// Running update of a mean and a population standard deviation with the
/// N-th value y (N counted from 1).  Writes both, then returns true when
/// neither moved by more than the relative tolerance.
RBO_API bool CheckMeanStdDev(double dMean, double dStdDev, double y, int N, double dTolerance, double* pdNewMean,
                             double* pdNewStdDev);
