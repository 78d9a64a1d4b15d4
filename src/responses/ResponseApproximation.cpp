// RBO method 2: first-order propagation of the input uncertainty through a
// polynomial approximation of every random response.  The mean of a
// response is its analysed value at the means, its standard deviation
// sqrt(sum_i (sigma_i * dy/dx_i)^2), its probabilities of failure those of a
// normal distribution with these moments; the joint and any probabilities
// combine the responses' probabilities as if they were independent.
#include <cmath>

#include "foundation/Guard.h"
#include "foundation/ProcessState.h"
#include "foundation/SourceUnits.h"
#include "randvar/RandVarConstants.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/DB.h"
#include "rbo/host/DBUtils.h"
#include "responses/RecordStatistics.h"
#include "responses/ResponseSurface.h"
#include "responses/ResponseTables.h"

namespace rbo {
namespace {

constexpr int kLineGuardApprox = 1655;
constexpr int kLineGuardApproxRestart = 4852;
// The optimiser's gradient-correction method (GetOptMethod, GetKorrMethod).
constexpr int kMethodGradientCorrection = 2;

/// What the first-order statistics of one design point need.
struct FirstOrderInputs {
  RegressionInputs regression;           ///< database, maps and random variables
  std::valarray<CRandResp>* pRandResps;  ///< the process-wide random responses
  CMatrix<double>* pDesignPoints;        ///< one analysis-input column per design point
  CMatrix<double>* pAnalysisOutputs;     ///< one analysis-response column per design point
  CMatrix<double>* pDesignResponses;     ///< output columns
};

// The first-order moments of a mean entry whose analysed value at the
// means is `value`, with gradient row c of G: mean = value, standard
// deviation sqrt(sum_i (sigma_i * G(c, i))^2) (at least kTiny), and the
// probabilities of violating its bounds under a normal distribution with
// these moments, all into q.
void FirstOrderMoments(CRandResp& q, double value, CMatrix<double>& G, int c, std::valarray<CRandVar>& randVars,
                       int N) {
  double s2 = 0.0;
  for (int i = 0; i < N; ++i) {
    const double sigma = randVars[std::size_t(i)].GetActualStdDev();
    s2 = sigma * sigma * G(c, i) * G(c, i) + s2;
  }
  double s = s2 > 0.0 ? std::sqrt(s2) : s2;
  if (!(s >= kTiny)) s = kTiny;
  q.SetMean(value);
  q.SetStdDev(s);
  CRandVar normal(CRandVar::kNormal, value, s);
  if (q.GetMeanHasLowBound()) {
    const double p = normal.CDF(q.GetLowBoundMean());
    q.SetPOF_Low(p);
    q.SetPOF(p);
  }
  if (q.GetMeanHasUpBound()) {
    const double p = normal.CDF(q.GetUpBoundMean());
    q.SetPOF_Up(1.0 - p);
    q.SetPOF(q.GetPOF() + (1.0 - p));
  }
}

// The system probabilities of the mean entries' probabilities of failure,
// taken as independent: the joint one is their product, the any one the
// complement of the product of the complements, kept within [max, sum] of
// the individual probabilities.
class IndependentFailures {
 public:
  void Add(double pf) {
    if (m_bFirst) {
      m_prodPf = pf;
      m_prodSafe = 1.0 - pf;
      m_bFirst = false;
    } else {
      m_prodPf = pf * m_prodPf;
      m_prodSafe = (1.0 - pf) * m_prodSafe;
    }
    m_sumPf = pf + m_sumPf;
    if (pf > m_maxPf) m_maxPf = pf;
  }
  double Joint() const {
    if (m_prodPf < 0.0) return 0.0;
    if (m_prodPf > 1.0) return 1.0;
    return m_prodPf;
  }
  double Any() const {
    double any = 1.0 - m_prodSafe;
    if (any < m_maxPf) any = m_maxPf;
    if (any > m_sumPf) any = m_sumPf;
    return any;
  }

 private:
  double m_prodPf = 0.0, m_prodSafe = 0.0, m_sumPf = 0.0, m_maxPf = 0.0;
  bool m_bFirst = true;
};

// The first-order statistics of design point j from the fit (X, K, E): the
// gradient at the point's means (row P - D + j of X), the moments and
// probabilities of every mean entry, written into column j.
void FirstOrderStatistics(const FirstOrderInputs& in, int j, CMatrix<double>& X, CMatrix<double>& K, CMatrix<int>& E,
                          std::vector<int>& responseList, CMatrix<double>& G) {
  CDB* pDB = in.regression.pDB;
  std::valarray<CRandVar>& randVars = *in.regression.pRandVars;
  std::valarray<CRandResp>& randResps = *in.pRandResps;
  const std::valarray<int>& numbers = *in.regression.pEntryNumbers;
  const std::valarray<int>& roles = *in.regression.pRoles;
  const int D = in.pDesignPoints->Cols();
  const int N = int(pDB->m_nRandVars);

  std::valarray<double> m;
  X.GetRow(X.Rows() - D + j, m);
  G = CMatrix<double>(G.Rows(), G.Cols());
  EvalApproxGrad(m, responseList, K, E, G);

  std::valarray<double> x, y, r(0.0, numbers.size());
  in.pDesignPoints->GetCol(j, x);
  SetRandomParamsForPoint(x, *in.regression.pInputRandVar, *in.regression.pInputParamCode, randVars);
  ResetStatistics(randResps);
  in.pAnalysisOutputs->GetCol(j, y);
  RespsArrayAnalysisIntoOrvo(pDB, x, y, *in.regression.pEntryNumbers, r);

  IndependentFailures failures;
  int c = 0;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    if (numbers[k] < 0 || roles[k] != kRoleMean) continue;
    CRandResp& q = randResps[std::size_t(numbers[k] - 1)];
    FirstOrderMoments(q, r[k], G, c, randVars, N);
    failures.Add(q.GetPOF());
    ++c;
  }

  WriteRoleEntries(numbers, roles, randResps, failures.Any(), failures.Joint(), MeanEntries::kWrite, r);
  in.pDesignResponses->ReplaceCol(j, r);
}

// 0, 1, ..., M-1: every mean entry is differentiated.
std::vector<int> ResponseList(int M) {
  std::vector<int> list(static_cast<std::size_t>(M));
  for (int c = 0; c < M; ++c) list[std::size_t(c)] = c;
  return list;
}

// Clears the regression data on every call that is not a fit call and on
// fit calls of the gradient-correction method; keeps the stored columns
// while a restart is pending.
void ClearRestartData(ApproximationRestartState& st, CDB* pDB, bool bFitCall) {
  if (!bFitCall || pDB->GetOptMethod() == kMethodGradientCorrection) {
    *st.s_restartX = CMatrix<double>();
    *st.s_restartY = CMatrix<double>();
    if (!CDB::m_bIsRestartForDGOMeanValue && pDB->GetOptMethod() != kMethodGradientCorrection)
      *st.s_restartZ = CMatrix<double>();
  }
}

// While a restart is pending, the stored columns stand in for the analysed
// responses: columns 1 to D on a fit call (which ends the restart), column 0
// otherwise.
void SubstituteStoredColumns(ApproximationRestartState& st, bool bFitCall, int D, CMatrix<double>& analysisOutputs) {
  if (!CDB::m_bIsRestartForDGOMeanValue) return;
  const int nNeeded = bFitCall ? D + 1 : 1;
  if (st.s_restartZ->Cols() < nNeeded)
    ErrorReport("Stored responses for the restart are missing.\n")
        .Line("       Stored columns = %d\n", st.s_restartZ->Cols())
        .Line("       Columns needed = %d\n", nNeeded)
        .Throw<CInvalidArgument>(kUnitRandRespModules, __LINE__);
  std::valarray<double> z;
  if (bFitCall) {
    for (int j = 0; j < D; ++j) {
      st.s_restartZ->GetCol(j + 1, z);
      analysisOutputs.ReplaceCol(j, z);
    }
    CDB::m_bIsRestartForDGOMeanValue = false;
  } else {
    st.s_restartZ->GetCol(0, z);
    analysisOutputs.ReplaceCol(0, z);
  }
}

// Appends every design point's regression row, and stores its analysed
// response column for a later restart on the calls that keep them.
void AppendRestartRows(ApproximationRestartState& st, const RegressionInputs& regression, bool bFitCall,
                       CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs) {
  CDB* pDB = regression.pDB;
  std::valarray<double> x, y, r(0.0, regression.pEntryNumbers->size());
  for (int j = 0; j < designPoints.Cols(); ++j) {
    designPoints.GetCol(j, x);
    analysisOutputs.GetCol(j, y);
    if (!bFitCall || (st.s_nRestartCalls <= 2 && pDB->GetOptMethod() != kMethodGradientCorrection))
      st.s_restartZ->AppendCol(y);
    AppendRegressionRow(regression, x, y, r, *st.s_restartX, *st.s_restartY);
  }
}

// The linear fit of a fit call into s_restartE and s_restartK; false when it
// failed (reported), after which the call returns.  A rank-deficient fit
// leaves zero coefficients for the calls in between.
bool FitRestartSurface(ApproximationRestartState& st, int N, int M) {
  CMatrix<double> A;
  const FitOutcome outcome =
      FitResponseSurface({0}, N, *st.s_restartX, *st.s_restartY, *st.s_restartE, A, *st.s_restartK);
  if (outcome == FitOutcome::kRankDeficient) *st.s_restartK = CMatrix<double>(st.s_restartK->Rows(), M);
  return outcome == FitOutcome::kFitted;
}

// Warm-up: the optimiser's first two calls are answered with zeros; the
// second raises the host's restart flag.  True when this call was answered
// (columns 0 to D-1 of designResponses).
bool AnswerWarmUp(const ApproximationRestartState& st, CDB* pDB, int D, std::size_t nEntries,
                  CMatrix<double>& designResponses) {
  if (!(st.s_nRestartCalls <= 2 && pDB->GetKorrMethod() != kMethodGradientCorrection)) return false;
  const std::valarray<double> zeros(0.0, nEntries);
  for (int j = 0; j < D; ++j) designResponses.ReplaceCol(j, zeros);
  if (st.s_nRestartCalls == 2) CDB::m_bIsRestartForDGOMeanValue = true;
  return true;
}

}  // namespace

void AdjustRespsByApprox(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                         std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                         std::valarray<int>& entryNumbers, std::valarray<int>& roles, std::valarray<CRandVar>& randVars,
                         std::valarray<CRandResp>& randResps, CMatrix<double>& designResponses) {
  Guarded(kUnitRandRespModules, kLineGuardApprox, [&] {
    RegressionDataSet& st = TheProcessState().approximation;
    st.CreateOnce();
    const int D = designPoints.Cols();
    const int N = int(pDB->m_nRandVars);
    if (st.s_nMeanEntries == 0) st.s_nMeanEntries = CountMeanEntries(entryNumbers, roles);
    const int M = st.s_nMeanEntries;
    std::vector<int> responseList = ResponseList(M);
    CMatrix<double> G(M, N);

    const RegressionInputs regression{pDB, &inputRandVar, &inputParamCode, &entryNumbers, &roles, &randVars};
    CMatrix<int> E;
    CMatrix<double> A, K;
    if (!ExtendAndFit(regression, designPoints, analysisOutputs, N, st, E, A, K)) return;

    const FirstOrderInputs in{regression, &randResps, &designPoints, &analysisOutputs, &designResponses};
    for (int j = 0; j < D; ++j) FirstOrderStatistics(in, j, *st.s_regressionX, K, E, responseList, G);
  });
}

void AdjustRespsByApproxRestart(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                                std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                                std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                                std::valarray<CRandVar>& randVars, std::valarray<CRandResp>& randResps,
                                CMatrix<double>& designResponses) {
  Guarded(kUnitRandRespModules, kLineGuardApproxRestart, [&] {
    ApproximationRestartState& st = TheProcessState().approximationRestart;
    st.CreateOnce();
    ++st.s_nRestartCalls;

    const int D = designPoints.Cols();
    const int N = int(pDB->m_nRandVars);
    const bool bFitCall = CDB::m_nGradsCalc == 0 || CDB::m_nGradsCalc == -1;
    if (st.s_nRestartRandResps == 0) st.s_nRestartRandResps = CountMeanEntries(entryNumbers, roles);
    const int M = st.s_nRestartRandResps;
    std::vector<int> responseList = ResponseList(M);
    CMatrix<double> G(M, N);

    ClearRestartData(st, pDB, bFitCall);
    SubstituteStoredColumns(st, bFitCall, D, analysisOutputs);
    const RegressionInputs regression{pDB, &inputRandVar, &inputParamCode, &entryNumbers, &roles, &randVars};
    AppendRestartRows(st, regression, bFitCall, designPoints, analysisOutputs);
    if (bFitCall && !FitRestartSurface(st, N, M)) return;
    if (AnswerWarmUp(st, pDB, D, entryNumbers.size(), designResponses)) return;

    const FirstOrderInputs in{regression, &randResps, &designPoints, &analysisOutputs, &designResponses};
    for (int j = 0; j < D; ++j)
      FirstOrderStatistics(in, j, *st.s_restartX, *st.s_restartK, *st.s_restartE, responseList, G);
  });
}

}  // namespace rbo
