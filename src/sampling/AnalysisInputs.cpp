// The analysis-input vector of a design point: its size, its values at the
// random variables' means, and the checks that keep every walk over a
// random-variable map inside its arrays.
#include <algorithm>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "sampling/SamplingInternals.h"

namespace rbo {

namespace {

constexpr const char* kInconsistentMap = "Inconsistent random-variable map.\n";

}  // namespace

// The host hands the map over as independent arrays; one shorter than the
// index array would make every function of this unit read or write outside
// it, so it is refused before anything is changed.  Longer arrays are fine:
// only their first n elements are read.
void CheckRandVarMap(const std::valarray<int>& inputRandVar, const std::valarray<int>* pCodes, std::size_t nValues,
                     const char* pszValues, std::size_t nRandVars) {
  const std::size_t n = inputRandVar.size();
  if (pCodes != nullptr && pCodes->size() < n)
    ErrorReport(kInconsistentMap)
        .Line("       %d parameter codes for %d entries\n", int(pCodes->size()), int(n))
        .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
  if (nValues < n)
    ErrorReport(kInconsistentMap)
        .Line("       %d %s for %d entries\n", int(nValues), pszValues, int(n))
        .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
  if (nRandVars == kAnyRandVarCount) return;
  for (std::size_t i = 0; i < n; ++i)
    if (inputRandVar[i] >= 0 && std::size_t(inputRandVar[i]) >= nRandVars)
      ErrorReport(kInconsistentMap)
          .Line("       Entry %d refers to random variable %d; there are %d\n", int(i), inputRandVar[i], int(nRandVars))
          .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
}

// A group without its mean entry opens an analysis input that the count of
// mean entries did not provide for.
void CheckAnalysisInputRoom(const std::valarray<int>& inputRandVar, std::size_t nAvailable) {
  const std::size_t nOpened = ForEachAnalysisInput(inputRandVar, [](std::size_t, std::size_t) {});
  if (nOpened > nAvailable)
    ErrorReport(kInconsistentMap)
        .Line("       The map opens %d analysis inputs; the vector holds %d\n", int(nOpened), int(nAvailable))
        .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
}

int CountAnalysisInputs(const std::valarray<int>& inputRandVar, const std::valarray<int>& inputParamCode) {
  int n = 0;
  for (std::size_t i = 0; i < inputRandVar.size(); ++i)
    if (inputRandVar[i] < 0 || inputParamCode[i] == 0 || inputParamCode[i] == -1) ++n;
  return n;
}

void MeanAnalysisInputs(std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                        std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars,
                        std::valarray<double>& out) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    CheckRandVarMap(inputRandVar, &inputParamCode, designVars.size(), "design values", randVars.size());
    const std::size_t n = std::size_t(CountAnalysisInputs(inputRandVar, inputParamCode));
    CheckAnalysisInputRoom(inputRandVar, n);
    if (out.size() != n) out.resize(n);
    out = 0.0;
    ForEachAnalysisInput(inputRandVar, [&](std::size_t i, std::size_t k) {
      const int r = inputRandVar[i];
      out[k] = r < 0 ? designVars[i] : randVars[std::size_t(r)].GetActualMean();
    });
  });
}

void ResetToZeros(CMatrix<double>& m, int nRows, int nCols) {
  if (m.Rows() == nRows && m.Cols() == nCols) {
    if (double* p = m.ColData(0)) std::fill(p, p + std::size_t(nRows) * std::size_t(nCols), 0.0);
    return;
  }
  m = CMatrix<double>(nRows, nCols);
}

}  // namespace rbo
