// Inverting the drawn values of a block of sample columns on several
// threads while the calling thread still draws them.  Not exported.
#pragma once

#include <cstddef>
#include <functional>
#include <valarray>
#include <vector>

#include "rbo/RandVar.h"

namespace rbo {

/// Consecutive columns of nRows values each in column-major storage: a whole
/// sample matrix, or one design point's block of the analysis points.
struct ColumnBlock {
  double* pData;  ///< first value of the first column
  std::size_t nRows;
  int nCols;
  double* Col(int j) const { return pData + std::size_t(j) * nRows; }
};

/// One row of the sample matrix that is drawn: analysis input nRow belongs to
/// the group of random variable nRandVar.
struct SampledRow {
  std::size_t nRow;      ///< analysis-input position
  std::size_t nRandVar;  ///< random variable of the group
};

/// Fills columns [j0, j1) of the block with their probabilities, in order.
using DrawColumns = std::function<void(int j0, int j1)>;

/// Draws every column with draw (on the calling thread, in column order)
/// and maps the drawn rows through their inverse distributions in place.
/// The first column is drawn and inverted first, on the calling thread, so
/// that a variable that cannot be inverted fails as a serial run fails.
/// The other columns go in chunks to the sampling workers as soon as they
/// are drawn; the calling thread joins them when it has drawn the last
/// column.  Every value depends only on its own probability, so neither
/// the chunks nor the threads change the result.  Of several failing
/// chunks, the failure of the first is passed on.
void DrawAndInvert(const ColumnBlock& block, const std::vector<SampledRow>& rows, std::valarray<CRandVar>& randVars,
                   const DrawColumns& draw);

}  // namespace rbo
