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

FitOutcome FitResponseSurface(const std::vector<int>& orders, int nRandVars, CMatrix<double>& X, CMatrix<double>& Y,
                              CMatrix<int>& E, CMatrix<double>& A, CMatrix<double>& K) {
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

CompiledPolynomial::CompiledPolynomial(const CMatrix<double>& K, const CMatrix<int>& E, int nVars) : m_K(K) {
  const int T = K.Rows();
  m_vStart.reserve(std::size_t(T) + 1);
  for (int t = 0; t < T; ++t) {
    m_vStart.push_back(m_vFactors.size());
    const int* pExp = E.ColData(t);
    for (int i = 0; i < nVars; ++i)
      if (pExp[i] != 0) m_vFactors.push_back({i, pExp[i]});
  }
  m_vStart.push_back(m_vFactors.size());
  m_vPowers.resize(m_vFactors.size());
}

void CompiledPolynomial::Eval(const std::valarray<double>& u, std::valarray<double>& y) {
  // x^1 = x needs no pow; higher powers keep it.
  for (std::size_t f = 0; f < m_vFactors.size(); ++f) {
    const Factor& factor = m_vFactors[f];
    const double x = u[std::size_t(factor.nVar)];
    m_vPowers[f] = factor.nExp == 1 ? x : std::pow(x, double(factor.nExp));
  }
  y = 0.0;
  const int T = m_K.Rows();
  for (int t = 0; t < T; ++t) {
    const std::size_t begin = m_vStart[std::size_t(t)], end = m_vStart[std::size_t(t) + 1];
    for (std::size_t c = 0; c < y.size(); ++c) {
      double term = m_K(t, int(c));
      for (std::size_t f = begin; f < end; ++f) term *= m_vPowers[f];
      y[c] += term;
    }
  }
}

void EvalApproxPolynomial(std::valarray<double>& u, CMatrix<double>& K, CMatrix<int>& E, std::valarray<double>& y) {
  CompiledPolynomial(K, E, int(u.size())).Eval(u, y);
}

bool ExtendAndFit(const RegressionInputs& in, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                  int nRandVars, RegressionDataSet& data, CMatrix<int>& E, CMatrix<double>& A, CMatrix<double>& K) {
  AppendRegressionRows(in, designPoints, analysisOutputs, *data.s_regressionX, *data.s_regressionY);
  return FitResponseSurface({3, 2, 1, 0}, nRandVars, *data.s_regressionX, *data.s_regressionY, E, A, K) ==
         FitOutcome::kFitted;
}

}  // namespace rbo
