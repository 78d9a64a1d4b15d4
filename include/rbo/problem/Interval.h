// The 95% Wilson score interval of a probability estimated as a fraction of
// samples.  Header-only: the results of runs and of optimisations carry it.
#pragma once

#include <algorithm>
#include <cmath>

namespace rbo::problem {

/// A closed interval [low, high].
struct Interval {
  double low;   ///< lower end
  double high;  ///< upper end
};

/// The 95% Wilson score interval of a probability estimated as the fraction
/// p of n samples.  Unlike the normal approximation it stays inside [0, 1]
/// and is not empty at p = 0: 0 failures in n samples give [0, about 3.8/n].
inline Interval WilsonInterval(double p, double n) {
  constexpr double z = 1.959963984540054;  // the 97.5% point of the standard normal
  if (!(n > 0.0)) return {0.0, 1.0};
  const double z2n = z * z / n;
  const double centre = (p + z2n / 2.0) / (1.0 + z2n);
  const double half = z / (1.0 + z2n) * std::sqrt(p * (1.0 - p) / n + z2n / (4.0 * n));
  // At p = 0 (p = 1) the lower (upper) end is 0 (1) exactly; the formula
  // leaves a rounding residue there.
  return {p <= 0.0 ? 0.0 : std::max(0.0, centre - half), p >= 1.0 ? 1.0 : std::min(1.0, centre + half)};
}

/// True for the RBO methods whose probabilities are fractions of samples
/// (0, 1, and 3 and 4, which sample a response surface); method 2
/// propagates to first order and draws none.
inline bool IsSampledMethod(int method) { return method == 0 || method == 1 || method == 3 || method == 4; }

}  // namespace rbo::problem
