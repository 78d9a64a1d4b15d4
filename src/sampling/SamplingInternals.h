// Internal helpers of the sampling and design-point expansion unit: the
// walk over a random-variable map that opens analysis inputs, the map
// checks, and the building blocks of AdjustDVsMatrices.  Not exported.
#pragma once

#include <cstddef>
#include <limits>
#include <valarray>
#include <vector>

#include "rbo/RandVar.h"
#include "rbo/foundation/Matrix.h"

namespace rbo {

/// Passed as nRandVars where a map is not checked against a random-variable array.
inline constexpr std::size_t kAnyRandVarCount = std::numeric_limits<std::size_t>::max();

/// True when entry i opens an analysis input: a deterministic entry, or the
/// first entry of a random-variable group (the first entry of the map, or one
/// whose random variable differs from that of the entry before it).
inline bool OpensAnalysisInput(const std::valarray<int>& inputRandVar, std::size_t i) {
  return inputRandVar[i] < 0 || i == 0 || inputRandVar[i] != inputRandVar[i - 1];
}

/// Calls onInput(i, k) for every entry i that opens analysis input k, in
/// entry order; returns the number of analysis inputs opened.
template <class OnInput>
std::size_t ForEachAnalysisInput(const std::valarray<int>& inputRandVar, OnInput&& onInput) {
  std::size_t k = 0;
  for (std::size_t i = 0; i < inputRandVar.size(); ++i)
    if (OpensAnalysisInput(inputRandVar, i)) onInput(i, k++);
  return k;
}

/// An entry of the map that opens an analysis input, and that input.
struct OpenedInput {
  std::size_t nEntry;
  std::size_t nInput;
};

/// The entries that open analysis inputs, in entry order: the design
/// values that PartialOrvoDVsArrayFromAnalysisInps writes, for a caller
/// that copies many samples through one checked map.
inline std::vector<OpenedInput> OpenedAnalysisInputs(const std::valarray<int>& inputRandVar) {
  std::vector<OpenedInput> opened;
  ForEachAnalysisInput(inputRandVar, [&](std::size_t i, std::size_t k) { opened.push_back({i, k}); });
  return opened;
}

/// Rejects a map that would be read out of bounds: fewer parameter codes
/// (when pCodes is given) than entries of the index array, fewer values
/// (nValues, named pszValues in the report) than entries, or a random-variable
/// index not below nRandVars.  Throws CInvalidArgument after the report
/// "Inconsistent random-variable map.\n".
void CheckRandVarMap(const std::valarray<int>& inputRandVar, const std::valarray<int>* pCodes, std::size_t nValues,
                     const char* pszValues, std::size_t nRandVars);

/// Rejects (as CheckRandVarMap) a map that opens more analysis inputs than
/// the nAvailable elements of the vector that holds them.
void CheckAnalysisInputRoom(const std::valarray<int>& inputRandVar, std::size_t nAvailable);

/// Number of entries whose index is negative or whose code is 0 or -1: the
/// analysis-input count of a design-variable map, or the analysis-level
/// response count of a response map.  codes must be at least as long as
/// the index array.
int CountAnalysisInputs(const std::valarray<int>& inputRandVar, const std::valarray<int>& inputParamCode);

/// out = the analysis-input vector at the random variables' actual means:
/// the design value of every deterministic entry, the actual mean of the
/// random variable of every group.  out is resized to CountAnalysisInputs.
void MeanAnalysisInputs(std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                        std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars,
                        std::valarray<double>& out);

/// samples = the sample matrix around designVars' mean analysis inputs:
/// method 0 Monte Carlo, method 1 Latin hypercube.  Another method throws
/// CInvalidType ("Invalid sampling method specified for random variables.\n")
/// and leaves samples untouched.
void BuildSampleMatrix(int nMethod, int nSamples, std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                       std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars, CMatrix<double>& samples);

/// Columns nFirstCol .. nFirstCol + nSamples - 1 of target = the sample
/// matrix BuildSampleMatrix gives, drawn into place (target has one row
/// per analysis input); the rest of target is left alone.  A block that
/// does not fit throws std::out_of_range.
void SampleIntoColumns(int nMethod, int nSamples, std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                       std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars, CMatrix<double>& target,
                       int nFirstCol);

/// analysisPoints = for each design point j a block of nSamples sample
/// columns starting at column j * nSamples (methods 0 and 1).
void ExpandBySampling(int nMethod, int nSamples, CMatrix<double>& designPoints, std::valarray<int>& inputRandVar,
                      std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars,
                      CMatrix<double>& analysisPoints);

/// analysisPoints = one column per design point: its mean analysis inputs
/// (methods 2, 3 and 4).
void ExpandAtMeans(CMatrix<double>& designPoints, std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                   std::valarray<CRandVar>& randVars, CMatrix<double>& analysisPoints);

/// m = an nRows x nCols matrix of zeros; the storage is reused when the size
/// already matches.  Negative sizes throw std::out_of_range, m unchanged.
void ResetToZeros(CMatrix<double>& m, int nRows, int nCols);

}  // namespace rbo
