// Numeric constants shared by the random-variable sources.
#pragma once

#include <cmath>

namespace rbo {
/// The library's infinity.
inline constexpr double kBig = 1e30;
/// Smallest accepted positive parameter and the default tolerance.
inline constexpr double kTiny = 1e-12;
/// ln(1e30), computed as the natural logarithm of kBig.
inline const double kLnBig = std::log(kBig);
/// A negative tolerance selects the default.
inline double ToleranceOrDefault(double dTolerance) { return dTolerance < 0.0 ? kTiny : dTolerance; }
}  // namespace rbo
