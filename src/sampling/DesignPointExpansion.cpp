// Expansion of design points into the analysis points that the host's
// analysis receives: a block of sample points per design point for the
// sampling methods, one point at the random variables' means for the
// approximation methods, the design points themselves without randomness.
#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>

#include "foundation/Guard.h"
#include "foundation/MethodCodes.h"
#include "foundation/ProcessState.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/DB.h"
#include "rbo/host/DBUtils.h"
#include "sampling/SamplingInternals.h"

using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kMethodApproximation;
using rbo::kMethodLatinHyperCube;
using rbo::kMethodMonteCarlo;
using rbo::kMethodSurfaceLatinHyperCube;
using rbo::kMethodSurfaceMonteCarlo;
using rbo::kUnitRandVarModules;

namespace {

constexpr int kLineInvalidMethod = 1453;

// Captures the random-variable array and the analysis-level response count
// from the database (the first call that takes the random path).
void CaptureExpansionState(rbo::ExpansionState& state, CDB& db) {
  const std::size_t m = db.m_nRandVars;
  if (db.m_vDistTypeOfRandVar.size() < m)
    ErrorReport("Inconsistent random-variable map.\n")
        .Line("       %d distribution types for %d random variables\n", int(db.m_vDistTypeOfRandVar.size()), int(m))
        .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
  if (db.m_vRespRole.size() < db.m_vEntryRandRespNumber.size())
    ErrorReport("Inconsistent random-response map.\n")
        .Line("       %d role codes for %d response entries\n", int(db.m_vRespRole.size()),
              int(db.m_vEntryRandRespNumber.size()))
        .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);

  std::valarray<CRandVar>& randVars = state.s_randVars;
  randVars.resize(m);  // default records: normal, mean 0, standard deviation 1e-12
  for (std::size_t r = 0; r < m; ++r) {
    randVars[r].SetType(db.m_vDistTypeOfRandVar[r]);
    if (randVars[r].GetType() == CRandVar::kWeibull) randVars[r].SetParam1(0.0);
  }
  state.s_nAnalysisResps = rbo::CountAnalysisInputs(db.m_vEntryRandRespNumber, db.m_vRespRole);
  state.s_bFirstCall = false;
}

// The map's codes are read before any design point is loaded; the values of
// each point are checked against the map when it is loaded.
void CheckMapCodes(std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode) {
  rbo::CheckRandVarMap(inputRandVar, &inputParamCode, inputRandVar.size(), "entries", rbo::kAnyRandVarCount);
}

// Columns of the expanded matrix; a count beyond the matrix's int range is
// refused as the matrix refuses a negative one.
int ExpandedColumns(int nDesignPoints, int nSamples) {
  const long long nCols = static_cast<long long>(nDesignPoints) * nSamples;
  if (nCols > INT_MAX) throw std::out_of_range(std::string("CMatrix: invalid number of columns"));
  return int(nCols);
}

}  // namespace

namespace rbo {

void ExpandBySampling(int nMethod, int nSamples, CMatrix<double>& designPoints, std::valarray<int>& inputRandVar,
                      std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars,
                      CMatrix<double>& analysisPoints) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    CheckMapCodes(inputRandVar, inputParamCode);
    const int n = CountAnalysisInputs(inputRandVar, inputParamCode);
    const int nDesignPoints = designPoints.Cols();
    ResetToZeros(analysisPoints, n, ExpandedColumns(nDesignPoints, nSamples));
    std::valarray<double> designVars;
    for (int j = 0; j < nDesignPoints; ++j) {
      designPoints.GetCol(j, designVars);
      SetRandomParamsForPoint(designVars, inputRandVar, inputParamCode, randVars);
      // Drawn straight into columns j * nSamples .. j * nSamples + nSamples - 1:
      // the analysis points are the only copy of the samples.
      SampleIntoColumns(nMethod, nSamples, designVars, inputRandVar, inputParamCode, randVars, analysisPoints,
                        j * nSamples);
    }
  });
}

void ExpandAtMeans(CMatrix<double>& designPoints, std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                   std::valarray<CRandVar>& randVars, CMatrix<double>& analysisPoints) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    CheckMapCodes(inputRandVar, inputParamCode);
    const int n = CountAnalysisInputs(inputRandVar, inputParamCode);
    const int nDesignPoints = designPoints.Cols();
    ResetToZeros(analysisPoints, n, nDesignPoints);
    std::valarray<double> designVars, means;
    for (int j = 0; j < nDesignPoints; ++j) {
      designPoints.GetCol(j, designVars);
      SetRandomParamsForPoint(designVars, inputRandVar, inputParamCode, randVars);
      MeanAnalysisInputs(designVars, inputRandVar, inputParamCode, randVars, means);
      analysisPoints.ReplaceCol(j, means);
    }
  });
}

}  // namespace rbo

void AdjustDVsMatrices(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& designResponses,
                       CMatrix<double>& analysisPoints, CMatrix<double>& analysisOutputs, bool bKeepOutputs) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    rbo::RequireDatabase(pDB, kUnitRandVarModules, __LINE__);
    CDB& db = *pDB;
    // The host's per-batch flags: cleared on every call, whatever the path.
    db.m_vbDesignPointFlags.resize(std::size_t(designPoints.Cols()), false);

    const long long nRandVars = static_cast<unsigned>(db.m_nRandVars);
    const long long nRandResps = static_cast<long long>(static_cast<unsigned>(db.m_nRandRespsPlus1)) - 1;
    if (nRandVars < 1 || nRandResps < 1) {
      analysisPoints = designPoints;
      if (!bKeepOutputs) analysisOutputs = designResponses;
      return;
    }

    rbo::ExpansionState& state = rbo::TheProcessState().expansion;
    if (state.s_bFirstCall) CaptureExpansionState(state, db);
    int nMethod = 0, nSamples = 0;
    GetRBOMethodNSamplePoints(&nMethod, &nSamples);
    switch (nMethod) {
      case kMethodMonteCarlo:
      case kMethodLatinHyperCube:
        rbo::ExpandBySampling(nMethod, nSamples, designPoints, db.m_vInputRandVar, db.m_vInputParamCode,
                              state.s_randVars, analysisPoints);
        break;
      case kMethodApproximation:
      case kMethodSurfaceMonteCarlo:
      case kMethodSurfaceLatinHyperCube:
        rbo::ExpandAtMeans(designPoints, db.m_vInputRandVar, db.m_vInputParamCode, state.s_randVars, analysisPoints);
        break;
      default:
        ErrorReport("Invalid method specified for RBO.\n").Throw<CInvalidKey>(kUnitRandVarModules, kLineInvalidMethod);
    }
    if (!bKeepOutputs) rbo::ResetToZeros(analysisOutputs, state.s_nAnalysisResps, analysisPoints.Cols());
  });
}
