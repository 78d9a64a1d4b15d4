// RBO method 2: first-order propagation of the input uncertainty through a
// polynomial approximation of every random response.  The mean of a
// response is its analysed value at the means, its standard deviation
// sqrt(sum_i (sigma_i * dy/dx_i)^2), its probabilities of failure those of a
// normal distribution with these moments; the joint and any probabilities
// combine the responses' probabilities as if they were independent.
#include <cmath>
#include <memory>

#include "foundation/Guard.h"
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

// Regression data of the first variant: kept for the life of the library.
// Each object is created on the first call; its owner frees it when the
// library is unloaded.
std::unique_ptr<CMatrix<double>> s_approxX;  ///< one row per design point: the random variables' actual means
std::unique_ptr<CMatrix<double>> s_approxY;  ///< one row per design point: the mean entries' analysed values
int s_nApproxRandResps = 0;                  ///< number of mean entries, counted while 0

// State of the restart variant, owned the same way.
std::unique_ptr<CMatrix<double>> s_restartX;  ///< regression inputs since the last clearing
std::unique_ptr<CMatrix<double>> s_restartY;  ///< regression targets since the last clearing
std::unique_ptr<CMatrix<double>> s_restartK;  ///< coefficients of the last fit
std::unique_ptr<CMatrix<int>> s_restartE;     ///< exponent table of the last fit
std::unique_ptr<CMatrix<double>> s_restartZ;  ///< stored analysed response columns for the host's restart
int s_nRestartCalls = 0;                      ///< calls since the library was loaded
int s_nRestartRandResps = 0;                  ///< number of mean entries, counted while 0

template <class T>
void CreateOnce(std::unique_ptr<CMatrix<T>>& pMatrix) {
  if (pMatrix == nullptr) pMatrix = std::make_unique<CMatrix<T>>();
}

/// What the first-order statistics of one design point need.
struct FirstOrderInputs {
  RegressionInputs regression;           ///< database, maps and random variables
  std::valarray<CRandResp>* pRandResps;  ///< the process-wide random responses
  CMatrix<double>* pDesignPoints;        ///< one analysis-input column per design point
  CMatrix<double>* pAnalysisOutputs;     ///< one analysis-response column per design point
  CMatrix<double>* pDesignResponses;     ///< output columns
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

  double prodPf = 0.0, prodSafe = 0.0, sumPf = 0.0, maxPf = 0.0;
  bool bFirst = true;
  int c = 0;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    if (numbers[k] < 0 || roles[k] != kRoleMean) continue;
    CRandResp& q = randResps[std::size_t(numbers[k] - 1)];
    double s2 = 0.0;
    for (int i = 0; i < N; ++i) {
      const double sigma = randVars[std::size_t(i)].GetActualStdDev();
      s2 = sigma * sigma * G(c, i) * G(c, i) + s2;
    }
    double s = s2 > 0.0 ? std::sqrt(s2) : s2;
    if (!(s >= kTiny)) s = kTiny;
    q.SetMean(r[k]);
    q.SetStdDev(s);
    CRandVar normal(CRandVar::kNormal, r[k], s);
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
    const double pf = q.GetPOF();
    if (bFirst) {
      prodPf = pf;
      prodSafe = 1.0 - pf;
      bFirst = false;
    } else {
      prodPf = pf * prodPf;
      prodSafe = (1.0 - pf) * prodSafe;
    }
    sumPf = pf + sumPf;
    if (pf > maxPf) maxPf = pf;
    ++c;
  }

  // Independence: joint = product, any = complement of the product of the
  // complements, kept within [max, sum] of the individual probabilities.
  double any = 1.0 - prodSafe;
  if (prodPf < 0.0)
    prodPf = 0.0;
  else if (prodPf > 1.0)
    prodPf = 1.0;
  if (any < maxPf) any = maxPf;
  if (any > sumPf) any = sumPf;

  for (std::size_t k = 0; k < numbers.size(); ++k) {
    const int num = numbers[k];
    if (num < 0) continue;
    switch (roles[k]) {
      case kRoleMean:
        r[k] = randResps[std::size_t(num - 1)].GetMean();
        break;
      case kRoleStdDev:
        r[k] = randResps[std::size_t(num - 1)].GetStdDev();
        break;
      case kRolePOF:
        r[k] = randResps[std::size_t(num - 1)].GetPOF();
        break;
      case kRoleAnyFraction:
        r[k] = any;
        break;
      case kRoleJointFraction:
        r[k] = prodPf;
        break;
      default:
        break;
    }
  }
  in.pDesignResponses->ReplaceCol(j, r);
}

// 0, 1, ..., M-1: every mean entry is differentiated.
std::vector<int> ResponseList(int M) {
  std::vector<int> list(static_cast<std::size_t>(M));
  for (int c = 0; c < M; ++c) list[std::size_t(c)] = c;
  return list;
}

}  // namespace

void ResetApproximationState() {
  for (CMatrix<double>* p :
       {s_approxX.get(), s_approxY.get(), s_restartX.get(), s_restartY.get(), s_restartK.get(), s_restartZ.get()})
    if (p != nullptr) *p = CMatrix<double>();
  if (s_restartE != nullptr) *s_restartE = CMatrix<int>();
  s_nApproxRandResps = s_nRestartRandResps = s_nRestartCalls = 0;
}

void AdjustRespsByApprox(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                         std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                         std::valarray<int>& entryNumbers, std::valarray<int>& roles, std::valarray<CRandVar>& randVars,
                         std::valarray<CRandResp>& randResps, CMatrix<double>& designResponses) {
  Guarded(kUnitRandRespModules, kLineGuardApprox, [&] {
    CreateOnce(s_approxX);
    CreateOnce(s_approxY);
    const int D = designPoints.Cols();
    const int N = int(pDB->m_nRandVars);
    if (s_nApproxRandResps == 0) s_nApproxRandResps = CountMeanEntries(entryNumbers, roles);
    const int M = s_nApproxRandResps;
    std::vector<int> responseList = ResponseList(M);
    CMatrix<double> G(M, N);

    const RegressionInputs regression{pDB, &inputRandVar, &inputParamCode, &entryNumbers, &roles, &randVars};
    AppendRegressionRows(regression, designPoints, analysisOutputs, *s_approxX, *s_approxY);

    CMatrix<int> E;
    CMatrix<double> A, K;
    if (FitResponseSurface({3, 2, 1, 0}, N, *s_approxX, *s_approxY, E, A, K) != FitOutcome::kFitted) return;

    const FirstOrderInputs in{regression, &randResps, &designPoints, &analysisOutputs, &designResponses};
    for (int j = 0; j < D; ++j) FirstOrderStatistics(in, j, *s_approxX, K, E, responseList, G);
  });
}

void AdjustRespsByApproxRestart(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                                std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                                std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                                std::valarray<CRandVar>& randVars, std::valarray<CRandResp>& randResps,
                                CMatrix<double>& designResponses) {
  Guarded(kUnitRandRespModules, kLineGuardApproxRestart, [&] {
    CreateOnce(s_restartX);
    CreateOnce(s_restartY);
    CreateOnce(s_restartK);
    CreateOnce(s_restartZ);
    CreateOnce(s_restartE);
    ++s_nRestartCalls;

    const int D = designPoints.Cols();
    const int N = int(pDB->m_nRandVars);
    const bool bFitCall = CDB::m_nGradsCalc == 0 || CDB::m_nGradsCalc == -1;
    if (s_nRestartRandResps == 0) s_nRestartRandResps = CountMeanEntries(entryNumbers, roles);
    const int M = s_nRestartRandResps;
    std::vector<int> responseList = ResponseList(M);
    CMatrix<double> G(M, N);

    // Clear the regression data on every call that is not a fit call and on
    // fit calls of the gradient-correction method; keep the stored columns
    // while a restart is pending.
    if (!bFitCall || pDB->GetOptMethod() == kMethodGradientCorrection) {
      *s_restartX = CMatrix<double>();
      *s_restartY = CMatrix<double>();
      if (!CDB::m_bIsRestartForDGOMeanValue && pDB->GetOptMethod() != kMethodGradientCorrection)
        *s_restartZ = CMatrix<double>();
    }

    // The stored columns stand in for the analysed responses.
    if (CDB::m_bIsRestartForDGOMeanValue) {
      const int nNeeded = bFitCall ? D + 1 : 1;
      if (s_restartZ->Cols() < nNeeded)
        ErrorReport("Stored responses for the restart are missing.\n")
            .Line("       Stored columns = %d\n", s_restartZ->Cols())
            .Line("       Columns needed = %d\n", nNeeded)
            .Throw<CInvalidArgument>(kUnitRandRespModules, __LINE__);
      std::valarray<double> z;
      if (bFitCall) {
        for (int j = 0; j < D; ++j) {
          s_restartZ->GetCol(j + 1, z);
          analysisOutputs.ReplaceCol(j, z);
        }
        CDB::m_bIsRestartForDGOMeanValue = false;
      } else {
        s_restartZ->GetCol(0, z);
        analysisOutputs.ReplaceCol(0, z);
      }
    }

    const RegressionInputs regression{pDB, &inputRandVar, &inputParamCode, &entryNumbers, &roles, &randVars};
    std::valarray<double> x, y, r(0.0, entryNumbers.size());
    for (int j = 0; j < D; ++j) {
      designPoints.GetCol(j, x);
      analysisOutputs.GetCol(j, y);
      if (!bFitCall || (s_nRestartCalls <= 2 && pDB->GetOptMethod() != kMethodGradientCorrection))
        s_restartZ->AppendCol(y);
      AppendRegressionRow(regression, x, y, r, *s_restartX, *s_restartY);
    }

    if (bFitCall) {
      CMatrix<double> A;
      const FitOutcome outcome = FitResponseSurface({0}, N, *s_restartX, *s_restartY, *s_restartE, A, *s_restartK);
      if (outcome == FitOutcome::kRankDeficient) *s_restartK = CMatrix<double>(s_restartK->Rows(), M);
      if (outcome != FitOutcome::kFitted) return;
    }

    // Warm-up: the optimiser's first two calls are answered with zeros; the
    // second raises the host's restart flag.
    if (s_nRestartCalls <= 2 && pDB->GetKorrMethod() != kMethodGradientCorrection) {
      const std::valarray<double> zeros(0.0, entryNumbers.size());
      for (int j = 0; j < D; ++j) designResponses.ReplaceCol(j, zeros);
      if (s_nRestartCalls == 2) CDB::m_bIsRestartForDGOMeanValue = true;
      return;
    }

    const FirstOrderInputs in{regression, &randResps, &designPoints, &analysisOutputs, &designResponses};
    for (int j = 0; j < D; ++j) FirstOrderStatistics(in, j, *s_restartX, *s_restartK, *s_restartE, responseList, G);
  });
}

}  // namespace rbo
