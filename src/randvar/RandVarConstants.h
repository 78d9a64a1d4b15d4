// Numeric constants shared by the random-variable sources.
#pragma once

#include <cmath>

namespace rbo {
/// The library's infinity.
inline constexpr double kBig = 1e30;
/// Smallest accepted positive parameter and the default tolerance.
inline constexpr double kTiny = 1e-12;
/// ln(1e30): the double that std::log(kBig) gives (a test checks it), as a
/// constant so that no static initialisation order can see it unset.
inline constexpr double kLnBig = 69.07755278982137;
/// A negative tolerance selects the default.
inline double ToleranceOrDefault(double dTolerance) { return dTolerance < 0.0 ? kTiny : dTolerance; }
}  // namespace rbo
