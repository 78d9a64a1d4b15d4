// Sample matrices around one design point: Monte Carlo draws from the
// host's generator and Latin hypercube draws from the host's design table,
// both mapped through the inverse distribution of each random variable.
#include <vector>

#include "foundation/Guard.h"
#include "foundation/MethodCodes.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/Utility.h"
#include "sampling/SamplingInternals.h"

using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kUnitRandVarModules;

namespace {

constexpr int kLineInvalidSamplingMethod = 327;

// InverseCDF's default tolerance.
constexpr double kDefaultTolerance = -1.0;

// One row of the sample matrix that is drawn: analysis input nRow belongs to
// the group of random variable nRandVar.
struct SampledRow {
  std::size_t nRow;      ///< analysis-input position
  std::size_t nRandVar;  ///< random variable of the group
};

// A map with more analysis inputs than the matrix has rows would draw into
// a row beyond the work column.
void CheckDrawnRowsFit(const std::vector<SampledRow>& rows, std::size_t nMeans) {
  if (rows.empty() || rows.back().nRow < nMeans) return;
  ErrorReport("Inconsistent random-variable map.\n")
      .Line("       The map draws analysis input %d; the sample matrix has %d rows\n", int(rows.back().nRow),
            int(nMeans))
      .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
}

// Steps shared by both schemes before anything is drawn: the matrix reset to
// zeros and the list of drawn rows in the order the draws are taken.  The
// list is built once per call so that the loop over samples allocates
// nothing and visits only the random rows.  Without samples nothing is
// drawn, so neither the map nor the mean vector is looked at; otherwise a
// mean vector of the wrong length fails as the column replacement does, and
// a map that would draw from a random variable beyond the array, or into a
// row beyond the work column, is refused before the first draw.
std::vector<SampledRow> PrepareSampling(int nSamples, int nRows, const std::valarray<double>& means,
                                        const std::valarray<int>& inputRandVar, const std::valarray<CRandVar>& randVars,
                                        CMatrix<double>& samples) {
  rbo::ResetToZeros(samples, nRows, nSamples);
  std::vector<SampledRow> rows;
  if (nSamples == 0) return rows;
  // A mean vector of another length than the rows cannot fill a column:
  // fail as the first column replacement would, before any draw can write
  // past the end of the work column.
  if (means.size() != std::size_t(nRows)) samples.ReplaceCol(0, means);
  rbo::CheckRandVarMap(inputRandVar, nullptr, inputRandVar.size(), "entries", randVars.size());
  rbo::ForEachAnalysisInput(inputRandVar, [&](std::size_t i, std::size_t k) {
    if (inputRandVar[i] >= 0) rows.push_back({k, std::size_t(inputRandVar[i])});
  });
  CheckDrawnRowsFit(rows, means.size());
  return rows;
}

// Fills the sample columns: the work column keeps the mean of every
// deterministic row and receives the drawn rows of each sample in turn.
// probability(j, r) is the probability of sample j for random variable r.
// ReplaceCol copies in place and, for a mean vector of the wrong length,
// fails at the first column as the caller's contract says.
template <class Probability>
void DrawSamples(int nSamples, const std::vector<SampledRow>& rows, std::valarray<double>& work,
                 std::valarray<CRandVar>& randVars, CMatrix<double>& samples, Probability&& probability) {
  for (int j = 0; j < nSamples; ++j) {
    for (const SampledRow& row : rows)
      work[row.nRow] = randVars[row.nRandVar].InverseCDF(probability(j, row.nRandVar), kDefaultTolerance);
    samples.ReplaceCol(j, work);
  }
}

}  // namespace

void MatrixOfMonteCarloPoints(int nSamples, int nRows, std::valarray<double>& means, std::valarray<int>& inputRandVar,
                              std::valarray<CRandVar>& randVars, CMatrix<double>& samples) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    const std::vector<SampledRow> rows = PrepareSampling(nSamples, nRows, means, inputRandVar, randVars, samples);
    std::valarray<double> work(means);
    // Started from the configured seed on every call: each design point sees
    // the same stream (common random numbers).
    CRand generator(true);
    DrawSamples(nSamples, rows, work, randVars, samples, [&](int, std::size_t) { return generator.Random(); });
  });
}

void MatrixOfLatinHyperCubePoints(int nSamples, int nRows, std::valarray<double>& means,
                                  std::valarray<int>& inputRandVar, std::valarray<CRandVar>& randVars,
                                  CMatrix<double>& samples) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    const std::vector<SampledRow> rows = PrepareSampling(nSamples, nRows, means, inputRandVar, randVars, samples);
    std::valarray<double> work(means);
    const std::size_t m = randVars.size();
    std::valarray<double> table(0.0, m * std::size_t(nSamples));
    LatinHyperCubeDOE(int(m), nSamples, table);
    // Indexed by random variable, not by group order: every variable keeps
    // its own stratified coordinate, and repeated groups share it.
    DrawSamples(nSamples, rows, work, randVars, samples,
                [&](int j, std::size_t r) { return table[std::size_t(j) * m + r]; });
  });
}

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

}  // namespace rbo
