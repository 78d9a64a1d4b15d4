// The inverse distribution of many probabilities of one variable at once.
#pragma once

#include <cstddef>
#include <memory>

#include "rbo/RandVar.h"

namespace rbo {

namespace icdf {
class CBracketGrids;
}

/// One variable's inverse distribution over many values and calls:
/// Invert(values, n, stride) sets values[i * stride] =
/// v.InverseCDF(values[i * stride], -1.0) for i < n, the same doubles.  The
/// setup (mean, standard deviation, limits) is done once, at construction;
/// the grids of the brackets the searches start from (BisectionGrid.h) are
/// kept from call to call.  The variable must outlive the object and keep
/// its parameters.  Failures are those of InverseCDF: an invalid variable
/// fails at construction.  One object serves one thread at a time.
class CInverseCdfRun {
 public:
  explicit CInverseCdfRun(CRandVar& v);
  ~CInverseCdfRun();
  CInverseCdfRun(CInverseCdfRun&&) noexcept;
  CInverseCdfRun& operator=(CInverseCdfRun&&) noexcept;
  CInverseCdfRun(const CInverseCdfRun&) = delete;
  CInverseCdfRun& operator=(const CInverseCdfRun&) = delete;

  void Invert(double* pValues, std::size_t n, std::size_t nStride);

 private:
  CRandVar* m_pVar;  ///< the variable (its CDF decides what the predictions leave open)
  int m_nType;
  double m_dParam1, m_dParam2, m_dParam3;
  double m_dMean, m_dStdDev;  ///< actual mean and standard deviation: where the search starts
  double m_dLowLimit, m_dUpLimit;
  std::unique_ptr<icdf::CBracketGrids> m_pGrids;  ///< grids of the brackets seen so far
};

/// CInverseCdfRun(v).Invert(pValues, n, nStride), for a single run of
/// values; nothing happens (and nothing fails) when n is 0.
void InverseCdfInPlace(CRandVar& v, double* pValues, std::size_t n, std::size_t nStride);

}  // namespace rbo
