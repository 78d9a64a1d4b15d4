// The constraint-violation test on a random response's mean bounds and the
// joint/any flags of one sample point, shared by every method that folds
// sample values.
#pragma once

#include "rbo/RandRespModules.h"

namespace rbo {

/// (bound - value) / scale for a lower bound, strictly above the tolerance.
inline bool LowerBoundViolated(const CRandResp& r, double dValue, double dTol) {
  return (r.GetLowBoundMean() - dValue) / r.GetScaleLowBoundMean() > dTol;
}

/// (value - bound) / scale for an upper bound, strictly above the tolerance.
inline bool UpperBoundViolated(const CRandResp& r, double dValue, double dTol) {
  return (dValue - r.GetUpBoundMean()) / r.GetScaleUpBoundMean() > dTol;
}

/// Flags of one sample point.  A: some bound of some random response is
/// violated.  J, the joint flag: every tested bound that holds sets it to -1;
/// a violated bound sets it back to +1 only while it is not negative, or when
/// the bound belongs to the first random response.
struct SampleFlags {
  int m_nJoint = 0;     ///< J: 0 untested, +1 joint violation, -1 a bound held
  bool m_bAny = false;  ///< A: any bound violated

  /// Applies one tested bound of a response (bFirstResponse: the first one).
  void Test(bool bViolated, bool bFirstResponse) {
    if (!bViolated) {
      m_nJoint = -1;
      return;
    }
    m_bAny = true;
    if (bFirstResponse || m_nJoint >= 0) m_nJoint = 1;
  }
};

}  // namespace rbo
