// Sample matrices around one design point: Monte Carlo draws from the
// host's generator and Latin hypercube draws from the host's design table,
// both mapped through the inverse distribution of each random variable.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "foundation/Guard.h"
#include "foundation/MethodCodes.h"
#include "foundation/ProcessState.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/Utility.h"
#include "sampling/ColumnInversion.h"
#include "sampling/SamplingInternals.h"

using rbo::ColumnBlock;
using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kUnitRandVarModules;
using rbo::SampledRow;

namespace {

constexpr int kLineInvalidSamplingMethod = 327;

// A map with more analysis inputs than the matrix has rows would draw into
// a row beyond the matrix column.
void CheckDrawnRowsFit(const std::vector<SampledRow>& rows, std::size_t nMeans) {
  if (rows.empty() || rows.back().nRow < nMeans) return;
  ErrorReport("Inconsistent random-variable map.\n")
      .Line("       The map draws analysis input %d; the sample matrix has %d rows\n", int(rows.back().nRow),
            int(nMeans))
      .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
}

// The rows that are drawn, in the order of the draws, after the checks of
// the map against the random variables and the mean vector.
std::vector<SampledRow> DrawnRows(const std::valarray<double>& means, const std::valarray<int>& inputRandVar,
                                  const std::valarray<CRandVar>& randVars) {
  std::vector<SampledRow> rows;
  rbo::CheckRandVarMap(inputRandVar, nullptr, inputRandVar.size(), "entries", randVars.size());
  rbo::ForEachAnalysisInput(inputRandVar, [&](std::size_t i, std::size_t k) {
    if (inputRandVar[i] >= 0) rows.push_back({k, std::size_t(inputRandVar[i])});
  });
  CheckDrawnRowsFit(rows, means.size());
  return rows;
}

// Steps shared by both schemes before anything is drawn: the matrix reset to
// zeros and the list of drawn rows in the order the draws are taken.  The
// list is built once per call so that the loop over samples allocates
// nothing and visits only the random rows.  Without samples nothing is
// drawn, so neither the map nor the mean vector is looked at; otherwise a
// mean vector of the wrong length fails as the column replacement does, and
// a map that would draw from a random variable beyond the array, or into a
// row beyond the matrix column, is refused before the first draw.
std::vector<SampledRow> PrepareSampling(int nSamples, int nRows, const std::valarray<double>& means,
                                        const std::valarray<int>& inputRandVar, const std::valarray<CRandVar>& randVars,
                                        CMatrix<double>& samples) {
  rbo::ResetToZeros(samples, nRows, nSamples);
  if (nSamples == 0) return {};
  // A mean vector of another length than the rows cannot fill a column:
  // fail as the first column replacement would, before any draw can write
  // past the end of a matrix column.
  if (means.size() != std::size_t(nRows)) samples.ReplaceCol(0, means);
  return DrawnRows(means, inputRandVar, randVars);
}

ColumnBlock WholeMatrix(CMatrix<double>& m) {
  return {m.Cols() > 0 ? m.ColData(0) : nullptr, std::size_t(m.Rows()), m.Cols()};
}

// Fills the sample columns: every column gets the mean vector and, in each
// drawn row, its probability, sample after sample in the order of the
// draws (probability(j, r) is the probability of sample j for random
// variable r); the drawn rows are mapped through their inverse
// distributions in place as the columns are drawn.  The matrix is the only
// copy of the samples.
template <class Probability>
void DrawSamples(const ColumnBlock& block, const std::vector<SampledRow>& rows, const std::valarray<double>& means,
                 std::valarray<CRandVar>& randVars, Probability&& probability) {
  rbo::DrawAndInvert(block, rows, randVars, [&](int j0, int j1) {
    for (int j = j0; j < j1; ++j) {
      double* pColumn = block.Col(j);
      std::copy(std::begin(means), std::end(means), pColumn);
      for (const SampledRow& row : rows) pColumn[row.nRow] = probability(j, row.nRandVar);
    }
  });
}

// Monte Carlo samples into a block: from one host generator started from
// the configured seed on every call, so that each design point sees the
// same stream (common random numbers).
void MonteCarloInto(const ColumnBlock& block, const std::vector<SampledRow>& rows, const std::valarray<double>& means,
                    std::valarray<CRandVar>& randVars) {
  if (block.nCols == 0) return;
  CRand generator(true);
  DrawSamples(block, rows, means, randVars, [&](int, std::size_t) { return generator.Random(); });
}

// True when the table of the design (m values per sample, random variable
// r at position r) has the layout of the block: every row drawn, row k from
// random variable k.
bool TableIsTheBlock(const ColumnBlock& block, const std::vector<SampledRow>& rows, std::size_t m) {
  if (block.nRows != m || rows.size() != m) return false;
  for (std::size_t k = 0; k < m; ++k)
    if (rows[k].nRow != k || rows[k].nRandVar != k) return false;
  return true;
}

// Latin hypercube samples into a block.  The table is indexed by random
// variable, not by group order: every variable keeps its own stratified
// coordinate, and repeated groups share it.  pStorage, when given, is the
// storage of a matrix that the block covers whole: when the table has the
// block's layout, the host fills that storage itself and the probabilities
// are inverted where they lie, so the samples never exist twice.
void LatinHyperCubeInto(const ColumnBlock& block, const std::vector<SampledRow>& rows,
                        const std::valarray<double>& means, std::valarray<CRandVar>& randVars,
                        std::valarray<double>* pStorage) {
  const std::size_t m = randVars.size(), nValues = m * std::size_t(block.nCols);
  if (pStorage && pStorage->size() == nValues && nValues > 0 && block.pData == &(*pStorage)[0] &&
      TableIsTheBlock(block, rows, m)) {
    *pStorage = 0.0;
    LatinHyperCubeDOE(int(m), block.nCols, *pStorage);
    if (pStorage->size() != nValues || block.pData != &(*pStorage)[0])
      throw std::out_of_range("LatinHyperCubeDOE: the design table changed its size");
    rbo::DrawAndInvert(block, rows, randVars, [](int, int) {});  // drawn by the host already
    return;
  }
  std::valarray<double> table(0.0, nValues);
  LatinHyperCubeDOE(int(m), block.nCols, table);
  DrawSamples(block, rows, means, randVars, [&](int j, std::size_t r) { return table[std::size_t(j) * m + r]; });
}

// The storage of a matrix, to be written in place: the matrix is not const,
// and its size stays (the callers check it).
std::valarray<double>* WritableStorage(CMatrix<double>& matrix) {
  return &const_cast<std::valarray<double>&>(matrix.Storage());
}

}  // namespace

void MatrixOfMonteCarloPoints(int nSamples, int nRows, std::valarray<double>& means, std::valarray<int>& inputRandVar,
                              std::valarray<CRandVar>& randVars, CMatrix<double>& samples) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    const std::vector<SampledRow> rows = PrepareSampling(nSamples, nRows, means, inputRandVar, randVars, samples);
    MonteCarloInto(WholeMatrix(samples), rows, means, randVars);
  });
}

void MatrixOfLatinHyperCubePoints(int nSamples, int nRows, std::valarray<double>& means,
                                  std::valarray<int>& inputRandVar, std::valarray<CRandVar>& randVars,
                                  CMatrix<double>& samples) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    const std::vector<SampledRow> rows = PrepareSampling(nSamples, nRows, means, inputRandVar, randVars, samples);
    if (nSamples > 0) LatinHyperCubeInto(WholeMatrix(samples), rows, means, randVars, WritableStorage(samples));
  });
}

void SetSamplingWorkers(int nWorkers) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    if (nWorkers < 0)
      ErrorReport("Invalid number of sampling workers.\n")
          .Line("       %d workers; 0 means one per core\n", nWorkers)
          .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
    rbo::TheProcessState().sampling.s_nWorkers = nWorkers;
  });
}

long long SampledValueCount() { return rbo::TheProcessState().sampling.s_nInvertedValues.load(); }

namespace rbo {

void BuildSampleMatrix(int nMethod, int nSamples, std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                       std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars,
                       CMatrix<double>& samples) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    std::valarray<double> means;
    MeanAnalysisInputs(designVars, inputRandVar, inputParamCode, randVars, means);
    const int n = CountAnalysisInputs(inputRandVar, inputParamCode);
    switch (nMethod) {
      case kMethodMonteCarlo:
        MatrixOfMonteCarloPoints(nSamples, n, means, inputRandVar, randVars, samples);
        break;
      case kMethodLatinHyperCube:
        MatrixOfLatinHyperCubePoints(nSamples, n, means, inputRandVar, randVars, samples);
        break;
      default:
        ErrorReport("Invalid sampling method specified for random variables.\n")
            .Throw<CInvalidType>(kUnitRandVarModules, kLineInvalidSamplingMethod);
    }
  });
}

void SampleIntoColumns(int nMethod, int nSamples, std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                       std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars, CMatrix<double>& target,
                       int nFirstCol) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    std::valarray<double> means;
    MeanAnalysisInputs(designVars, inputRandVar, inputParamCode, randVars, means);
    if (nMethod != kMethodMonteCarlo && nMethod != kMethodLatinHyperCube)
      ErrorReport("Invalid sampling method specified for random variables.\n")
          .Throw<CInvalidType>(kUnitRandVarModules, kLineInvalidSamplingMethod);
    if (nSamples <= 0) return;
    if (means.size() != std::size_t(target.Rows()) || nFirstCol < 0 || nSamples > target.Cols() - nFirstCol)
      throw std::out_of_range("CMatrix: the sample block does not fit the matrix");
    const std::vector<SampledRow> rows = DrawnRows(means, inputRandVar, randVars);
    const ColumnBlock block{target.ColData(nFirstCol), std::size_t(target.Rows()), nSamples};
    const bool bWhole = nFirstCol == 0 && nSamples == target.Cols();
    if (nMethod == kMethodMonteCarlo)
      MonteCarloInto(block, rows, means, randVars);
    else
      LatinHyperCubeInto(block, rows, means, randVars, bWhole ? WritableStorage(target) : nullptr);
  });
}

}  // namespace rbo
