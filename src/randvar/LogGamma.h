// ln Gamma(x) for x > 0 by the six-term Lanczos series (Numerical Recipes,
// gammln), without the cap that CRandVar's gamma function applies.
#pragma once

#include <cmath>

namespace rbo {

inline double LogGamma(double x) {
  // The series forms inf - inf at x = +inf; ln Gamma(+inf) is +inf.
  if (x == HUGE_VAL) return HUGE_VAL;
  static constexpr double kCoefficients[6] = {76.18009172947146,  -86.50532032941677,   24.01409824083091,
                                              -1.231739572450155, 0.001208650973866179, -5.395239384953e-06};
  double tmp = x + 5.5;
  tmp = tmp - (x + 0.5) * std::log(tmp);
  double ser = 1.000000000190015;
  double y = x;
  for (double c : kCoefficients) {
    y = y + 1.0;
    ser = ser + c / y;
  }
  return -tmp + std::log(2.5066282746310005 * ser / x);
}

}  // namespace rbo
