// The inverse distribution function written out step by step from its
// documented algorithm (widening by one standard deviation from the mean,
// at most 20 steps down or 19 up, then at most 201 bisection steps), with a
// count of the CDF evaluations it makes.  CRandVar::InverseCDF must return
// the same double for every input; the benchmarks use the count to report
// how many CDF evaluations a typical call costs, without instrumenting the
// library.
#pragma once

#include "rbo/RandVar.h"
#include "support/RandVarInternals.h"

namespace rbotest {

inline double ReferenceInverseCdf(CRandVar& v, double p, double dTolerance, int* pnCdfCalls) {
  using In = CRandVarInternals;
  int nCalls = 0;
  auto cdf = [&](double x) {
    ++nCalls;
    return v.CDF(x);
  };
  auto close = [&](double a, double b) { return In::Close(v, a, b, dTolerance); };
  auto finish = [&](double x) {
    if (pnCdfCalls != nullptr) *pnCdfCalls = nCalls;
    return x;
  };

  const double m = v.GetActualMean();
  const double s = v.GetActualStdDev();
  double xL = m;
  double fL = cdf(xL);
  if (close(p, fL)) return finish(xL);
  double xU = m + s;
  double fU = cdf(xU);
  if (close(p, fU)) return finish(xU);

  int n = 0;
  if (p < fL) {
    while (p < fL) {
      xU = xL;
      fU = fL;
      xL = xL - s;
      if (xL < In::LowLimit(v)) {
        xL = In::LowLimit(v);
        fL = 0.0;
        break;
      }
      n = n + 1;
      if (n > 20) return finish(xL);
      fL = cdf(xL);
    }
  } else if (p > fU) {
    while (p > fU) {
      xL = xU;
      fL = fU;
      xU = xU + s;
      if (xU > In::UpLimit(v)) {
        xU = In::UpLimit(v);
        fU = 1.0;
        break;
      }
      n = n + 1;
      if (n > 19) return finish(xU);
      fU = cdf(xU);
    }
  }

  for (n = 0;; n = n + 1) {
    if (close(xL, xU)) return finish((xL + xU) / 2.0);
    const double xM = (xL + xU) / 2.0;
    const double fM = cdf(xM);
    if (close(p, fM)) return finish(xM);
    if (p <= fM) {
      xU = xM;
      fU = fM;
    } else {
      xL = xM;
      fL = fM;
    }
    if (close(fL, fU)) return finish((xL + xU) / 2.0);
    if (n == 200) return finish((xL + xU) / 2.0);
  }
}

/// Most CDF evaluations one inverse may make: two at the start, 20 while
/// widening, 201 while bisecting.
constexpr int kMaxInverseCdfCalls = 2 + 20 + 201;

}  // namespace rbotest
