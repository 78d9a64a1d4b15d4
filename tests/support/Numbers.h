// Small numeric helpers shared by the tests.
#pragma once

#include <cmath>
#include <cstring>

namespace testsupport {

/// The standard normal distribution function, from the C library's erfc.
inline double Phi(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

/// The same double, bit for bit (0.0 and -0.0 differ, a NaN equals itself).
inline bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace testsupport
