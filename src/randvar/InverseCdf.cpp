// CRandVar::InverseCDF: the bracketing search (widening by one standard
// deviation from the mean, then bisection) with predicted decisions.
//
// What the search returns is fixed by its algorithm: the points it visits
// are doubles computed from m and s by repeated addition and halving, and
// which point comes next depends only on the outcomes of four kinds of
// tests on CDF values: p < F, p > F and p <= F, and the closeness tests
// "p close to F" and "FL close to FU".  Any procedure that computes the same
// points and the same outcomes returns the same double.
//
// The predicted search runs the algorithm step for step and keeps, for every
// CDF value it would have computed, either the value or an interval proved
// to contain it (InverseCdfModels.h).  A test whose outcome is the same for
// every value of the intervals involved is decided without the value; only
// when the intervals leave it open is CDF called at that very point, giving
// the very double the plain search computes there.  The tests are monotone
// in the CDF values (a correctly rounded quotient or difference is monotone
// in each operand), so their outcome on an interval follows from its ends.
//
// Two regions make most steps free.  Around a close estimate of the
// quantile the predictor brackets a short zone [xa, xb] with bounds
// CDF(x) <= A for x <= xa and CDF(x) >= B for x >= xb, where A and B are
// chosen so that every test with such values is decided (A below p and not
// close to it, B above p and not close to it, no value <= A close to one
// >= B).  Outside the zone a step costs a comparison of x with xa and xb;
// inside it, a prediction; CDF itself is called only where a prediction
// is too close to call, and only at a point the plain search evaluates, at
// most once: never more often than the plain search.  For a lognormal
// variable a sure zone [xc, xd] inside the zone, with CDF(x) >= C above xc
// and <= D below xd and every value in [C, D] close to p, saves the
// prediction (and its logarithm) at most first zone midpoints: any value
// there ends the search at that midpoint.  Where no predictor is
// set up (probabilities beyond [1e-9, 0.99999], within 1e-5 of 1/2 where
// the erfc fit jumps, tolerances outside [1e-15, 1e-10], a point-mass
// uniform, unusual parameters) the plain search runs.
//
// The floating-point requirements (one rounding per operation, in the
// order written: no contraction, no fast-math, no extended intermediates)
// are those of CDF itself; DistributionKernels.h checks what it can.

#include <memory>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "randvar/DistributionKernels.h"
#include "randvar/InverseCdfBatch.h"
#include "randvar/InverseCdfSearch.h"
#include "randvar/RandVarConstants.h"
#include "rbo/RandVar.h"

using rbo::Guarded;
using rbo::kUnitRandVar;

// Where every search of a variable starts: its type and parameters, the
// actual mean and standard deviation it widens from, and the limits of its
// support.
struct CRandVarSearchStart {
  int nType;
  double dParam1, dParam2, dParam3;
  double m = 0.0, s = 0.0;  ///< actual mean and standard deviation
  double dLowLimit = 0.0, dUpLimit = 0.0;

  // For a lognormal variable, and for a Weibull variable whose gamma function
  // cannot fail (beta > 0), the mean and standard deviation are formed here
  // from the same kernels without computing the mean (or g1) twice;
  // everything else goes through the guarded accessors so that failures are
  // reported alike.
  explicit CRandVarSearchStart(CRandVar& v)
      : nType(v.m_nType), dParam1(v.m_dParam1), dParam2(v.m_dParam2), dParam3(v.m_dParam3) {
    if (nType == CRandVar::kLognormal) {
      m = rbo::LognormalMean(dParam1, dParam2);
      s = rbo::LognormalStdDev(m, dParam2);
    } else if (nType == CRandVar::kWeibull && dParam3 > 0.0) {
      const double g1 = v.GammaFunction(1.0 + 1.0 / dParam3);
      m = rbo::WeibullMean(dParam1, dParam2, g1);
      s = rbo::WeibullStdDev(dParam2, g1, v.GammaFunction(1.0 + 2.0 / dParam3));
    } else {
      m = v.GetActualMean();
      s = v.GetActualStdDev();
    }
    dLowLimit = v.GetXLowLimit();
    dUpLimit = v.GetXUpLimit();
  }

  rbo::icdf::CSearchVariable Variable() const { return {nType, dParam1, dParam2, dParam3, m, s, dLowLimit, dUpLimit}; }
};

double CRandVar::InverseCDF(double p, double dTolerance) {
  return Guarded(kUnitRandVar, __LINE__, [&] {
    const CRandVarSearchStart start(*this);
    auto cdf = [this](double x) { return CDF(x); };
    return rbo::icdf::InverseCdfSearch(start.Variable(), p, rbo::ToleranceOrDefault(dTolerance), cdf);
  });
}

namespace rbo {

CInverseCdfRun::CInverseCdfRun(CRandVar& v) : m_pVar(&v) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    const CRandVarSearchStart start(v);
    m_nType = start.nType;
    m_dParam1 = start.dParam1;
    m_dParam2 = start.dParam2;
    m_dParam3 = start.dParam3;
    m_dMean = start.m;
    m_dStdDev = start.s;
    m_dLowLimit = start.dLowLimit;
    m_dUpLimit = start.dUpLimit;
    m_pGrids = std::make_unique<icdf::CBracketGrids>(ToleranceOrDefault(-1.0), start.m, start.s, start.dLowLimit,
                                                     start.dUpLimit);
  });
}

CInverseCdfRun::~CInverseCdfRun() = default;
CInverseCdfRun::CInverseCdfRun(CInverseCdfRun&&) noexcept = default;
CInverseCdfRun& CInverseCdfRun::operator=(CInverseCdfRun&&) noexcept = default;

void CInverseCdfRun::Invert(double* pValues, std::size_t n, std::size_t nStride) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    CRandVar& v = *m_pVar;
    auto cdf = [&v](double x) { return v.CDF(x); };
    const double tol = ToleranceOrDefault(-1.0);
    const icdf::CSearchVariable sv{m_nType, m_dParam1, m_dParam2,   m_dParam3,
                                   m_dMean, m_dStdDev, m_dLowLimit, m_dUpLimit};
    icdf::WithPredictor(
        sv, [&](const auto& pred) { icdf::InvertEach(sv, pred, pValues, n, nStride, tol, cdf, m_pGrids.get()); });
  });
}

void InverseCdfInPlace(CRandVar& v, double* pValues, std::size_t n, std::size_t nStride) {
  if (n > 0) CInverseCdfRun(v).Invert(pValues, n, nStride);
}

}  // namespace rbo
