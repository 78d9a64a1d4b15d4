// RBO methods 3 and 4: sampling of a polynomial response surface.  Every
// design point is analysed once, at the means; the surface fitted over all
// design points evaluated so far is sampled by Monte Carlo (3) or Latin
// hypercube (4) to give each random response's mean, standard deviation and
// probabilities of violating its bounds.
#include "foundation/Guard.h"
#include "foundation/MethodCodes.h"
#include "foundation/ProcessState.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/DB.h"
#include "responses/RecordStatistics.h"
#include "responses/ResponseSurface.h"
#include "responses/ResponseTables.h"

namespace rbo {
namespace {

constexpr int kLineGuardSampling = 2597;
constexpr int kLineInvalidSamplingMethod = 2382;

// The random-variable index of each random analysis input, in input order,
// skipping an input that repeats the index just before it.
std::valarray<int> RandomVariableOrder(const std::valarray<int>& inputRandVar, int N) {
  std::valarray<int> order(0, std::size_t(N));
  std::size_t n = 0;
  for (std::size_t i = 0; i < inputRandVar.size() && n < order.size(); ++i) {
    if (inputRandVar[i] < 0) continue;
    if (i > 0 && inputRandVar[i] == inputRandVar[i - 1]) continue;
    order[n++] = inputRandVar[i];
  }
  return order;
}

// The random-response number of every mean entry, in entry order.
std::valarray<int> MeanEntryNumbers(const std::valarray<int>& entryNumbers, const std::valarray<int>& roles, int M) {
  std::valarray<int> numbers(0, std::size_t(M));
  std::size_t c = 0;
  for (std::size_t k = 0; k < entryNumbers.size() && c < numbers.size(); ++k)
    if (entryNumbers[k] >= 0 && roles[k] == kRoleMean) numbers[c++] = entryNumbers[k];
  return numbers;
}

// S = nSamples samples of the random variables around their means m: Monte
// Carlo (method 3) or Latin hypercube (method 4).
void DrawSurfaceSamples(int nMethod, int nSamples, int N, std::valarray<double>& m, std::valarray<int>& order,
                        std::valarray<CRandVar>& randVars, CMatrix<double>& S) {
  if (nMethod == kMethodSurfaceMonteCarlo)
    MatrixOfMonteCarloPoints(nSamples, N, m, order, randVars, S);
  else if (nMethod == kMethodSurfaceLatinHyperCube)
    MatrixOfLatinHyperCubePoints(nSamples, N, m, order, randVars, S);
  else
    ErrorReport("Invalid sampling method specified for random variables.\n")
        .Throw<CInvalidType>(kUnitRandRespModules, kLineInvalidSamplingMethod);
}

// Folds the surface's value at every sample (column of S) into the records
// of the mean entries (meanNumbers: their random-response numbers), and
// counts the samples with the joint flag and those violating any bound.
// u and yHat are working vectors of N and M elements.
void FoldSurfaceSamples(CompiledPolynomial& surface, CMatrix<double>& S, int nSamples,
                        const std::valarray<int>& meanNumbers, double tol, std::valarray<CRandResp>& randResps,
                        std::valarray<double>& u, std::valarray<double>& yHat, double& jointCount, double& anyCount) {
  const int M = int(meanNumbers.size());
  for (int s = 0; s < nSamples; ++s) {
    S.GetCol(s, u);
    surface.Eval(u, yHat);
    SampleFlags flags;
    for (int c = 0; c < M; ++c)
      AccumulateSample(randResps[std::size_t(meanNumbers[std::size_t(c)] - 1)], yHat[std::size_t(c)], tol, c == 0,
                       flags);
    if (flags.m_nJoint == 1) jointCount += 1.0;
    if (flags.m_bAny) anyCount += 1.0;
  }
}

}  // namespace

void AdjustRespsBySampling(CDB* pDB, int nMethod, int nSamples, CMatrix<double>& designPoints,
                           CMatrix<double>& analysisOutputs, std::valarray<int>& inputRandVar,
                           std::valarray<int>& inputParamCode, std::valarray<int>& entryNumbers,
                           std::valarray<int>& roles, std::valarray<CRandVar>& randVars,
                           std::valarray<CRandResp>& randResps, CMatrix<double>& designResponses) {
  Guarded(kUnitRandRespModules, kLineGuardSampling, [&] {
    RejectNoSamples(nSamples, __LINE__);
    RegressionDataSet& st = TheProcessState().surfaceSampling;
    st.CreateOnce();
    const int D = designPoints.Cols();
    const int N = int(pDB->m_nRandVars);
    const double tol = pDB->m_pParams->m_dConstrTol;
    std::valarray<double> x(0.0, std::size_t(designPoints.Rows()));
    std::valarray<double> y(0.0, std::size_t(analysisOutputs.Rows()));
    std::valarray<double> r(0.0, entryNumbers.size());
    if (st.s_nMeanEntries == 0) st.s_nMeanEntries = CountMeanEntries(entryNumbers, roles);
    const int M = st.s_nMeanEntries;
    std::valarray<int> order = RandomVariableOrder(inputRandVar, N);
    const std::valarray<int> meanNumbers = MeanEntryNumbers(entryNumbers, roles, M);

    const RegressionInputs regression{pDB, &inputRandVar, &inputParamCode, &entryNumbers, &roles, &randVars};
    CMatrix<int> E;
    CMatrix<double> A, K;
    if (!ExtendAndFit(regression, designPoints, analysisOutputs, N, st, E, A, K)) return;

    const int P = st.s_regressionX->Rows();
    const double n = double(nSamples);
    std::valarray<double> m, u(0.0, std::size_t(N)), yHat(0.0, std::size_t(M));
    CMatrix<double> S;  // reused for every design point
    CompiledPolynomial surface(K, E, N);
    for (int j = 0; j < D; ++j) {
      // The design point's random variables, and its analysed responses
      // spread over the host's entries.
      st.s_regressionX->GetRow(P - D + j, m);
      designPoints.GetCol(j, x);
      SetRandomParamsForPoint(x, inputRandVar, inputParamCode, randVars);
      ResetStatistics(randResps);
      r = 0.0;
      y = 0.0;
      analysisOutputs.GetCol(j, y);
      RespsArrayAnalysisIntoOrvo(pDB, x, y, entryNumbers, r);

      DrawSurfaceSamples(nMethod, nSamples, N, m, order, randVars, S);
      double jointCount = 0.0, anyCount = 0.0;
      FoldSurfaceSamples(surface, S, nSamples, meanNumbers, tol, randResps, u, yHat, jointCount, anyCount);
      FinishStatistics(randResps, n);
      // A mean entry keeps the analysed value at the design point.
      WriteRoleEntries(entryNumbers, roles, randResps, anyCount / n, jointCount / n, MeanEntries::kKeep, r);
      designResponses.ReplaceCol(j, r);
    }
  });
}

}  // namespace rbo
