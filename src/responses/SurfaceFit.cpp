// Pieces shared by the response-surface methods: mean entries, regression
// rows, the polynomial fit and its evaluation.
#include <cmath>

#include "foundation/Guard.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/DB.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/Log.h"
#include "rbo/host/Utility.h"
#include "responses/ResponseSurface.h"
#include "responses/ResponseTables.h"

namespace rbo {

int CountMeanEntries(const std::valarray<int>& entryNumbers, const std::valarray<int>& roles) {
  int n = 0;
  for (std::size_t i = 0; i < entryNumbers.size(); ++i)
    if (entryNumbers[i] >= 0 && roles[i] == kRoleMean) ++n;
  return n;
}

void AppendRegressionRow(const RegressionInputs& in, std::valarray<double>& x, std::valarray<double>& y,
                         std::valarray<double>& r, CMatrix<double>& X, CMatrix<double>& Y) {
  std::valarray<CRandVar>& randVars = *in.pRandVars;
  SetRandomParamsForPoint(x, *in.pInputRandVar, *in.pInputParamCode, randVars);
  const std::size_t N = std::size_t(int(in.pDB->m_nRandVars));
  std::valarray<double> m(0.0, N);
  for (std::size_t i = 0; i < N; ++i) m[i] = randVars[i].GetActualMean();
  RespsArrayAnalysisIntoOrvo(in.pDB, x, y, *in.pEntryNumbers, r);
  const std::valarray<int>& numbers = *in.pEntryNumbers;
  const std::valarray<int>& roles = *in.pRoles;
  std::valarray<double> v(0.0, std::size_t(CountMeanEntries(numbers, roles)));
  std::size_t c = 0;
  for (std::size_t k = 0; k < numbers.size(); ++k)
    if (numbers[k] >= 0 && roles[k] == kRoleMean) v[c++] = r[k];
  X.AppendRow(m);
  Y.AppendRow(v);
}

void AppendRegressionRows(const RegressionInputs& in, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                          CMatrix<double>& X, CMatrix<double>& Y) {
  std::valarray<double> x, y, r(0.0, in.pEntryNumbers->size());
  for (int j = 0; j < designPoints.Cols(); ++j) {
    designPoints.GetCol(j, x);
    analysisOutputs.GetCol(j, y);
    AppendRegressionRow(in, x, y, r, X, Y);
  }
}

FitOutcome FitResponseSurface(const std::vector<int>& orders, int nRandVars, CMatrix<double>& X,
                              CMatrix<double>& Y, CMatrix<int>& E, CMatrix<double>& A, CMatrix<double>& K) {
  static constexpr const char* kCannotFit = "Could not construct approximations for random responses.\n";
  const int P = X.Rows();
  std::valarray<double> w(1.0, std::size_t(P));
  int T = 0;
  for (int order : orders) {
    T = CreateCheckApproxModelMatrix(order, nRandVars, P, 0, true, X, w, E, A);
    if (T > 0) break;
  }
  if (T <= 0) {
    LError(kCannotFit);
    return FitOutcome::kNoModel;
  }
  K = CMatrix<double>(T, Y.Cols());
  CQR qr(A, w, Y, K);
  if (!qr.IsFullRank()) {
    LError(kCannotFit);
    LPrint("       Rank of the resultant matrix is not full.\n");
    return FitOutcome::kRankDeficient;
  }
  if (logFile.m_nLogLevel > 1) {
    CDebugUtil::DumpDoubleMatrix("X For random:", fVLog, A, 0, 0);
    CDebugUtil::DumpDoubleMatrix("Y For random:", fVLog, Y, 0, 0);
    CDebugUtil::DumpDoubleMatrix("Coeffs for random:", fVLog, K, 0, 0);
  }
  return FitOutcome::kFitted;
}

void EvalApproxPolynomial(std::valarray<double>& u, CMatrix<double>& K, CMatrix<int>& E, std::valarray<double>& y) {
  const int T = K.Rows();
  const int nVars = int(u.size());
  const std::size_t nOut = y.size();
  y = 0.0;
  // The powers of one term are the same for every output; form them once.
  // Powers 0 and 1 need no pow (x^0 = 1 multiplies exactly, x^1 = x), so
  // only higher powers call it.
  thread_local std::valarray<double> powers;
  if (powers.size() != std::size_t(nVars)) powers.resize(std::size_t(nVars));
  for (int t = 0; t < T; ++t) {
    const int* pExp = E.ColData(t);
    for (int i = 0; i < nVars; ++i) {
      const int e = pExp[i];
      powers[std::size_t(i)] = e == 0 ? 1.0 : (e == 1 ? u[std::size_t(i)] : std::pow(u[std::size_t(i)], double(e)));
    }
    for (std::size_t c = 0; c < nOut; ++c) {
      double term = K(t, int(c));
      for (int i = 0; i < nVars; ++i)
        if (pExp[i] != 0) term *= powers[std::size_t(i)];
      y[c] += term;
    }
  }
}

}  // namespace rbo
