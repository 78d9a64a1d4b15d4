// Small helpers shared by the tests: reference numerics and the text of an
// expected exception.
#pragma once

#include <cmath>
#include <cstring>
#include <functional>
#include <string>

namespace testsupport {

/// The standard normal distribution function, from the C library's erfc.
inline double Phi(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

/// The standard normal density.
inline double NormalPdf(double z) { return std::exp(-0.5 * z * z) / 2.5066282746310002; }

/// Composite Simpson rule over [a, b] with n (even) intervals.
inline double Simpson(const std::function<double(double)>& f, double a, double b, int n = 20000) {
  const double h = (b - a) / n;
  double s = f(a) + f(b);
  for (int i = 1; i < n; ++i) s += (i % 2 ? 4.0 : 2.0) * f(a + i * h);
  return s * h / 3.0;
}

/// The same double, bit for bit (0.0 and -0.0 differ, a NaN equals itself).
inline bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

/// The message of the E that f throws; "" when it throws nothing.
template <class E, class F>
std::string WhatOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

}  // namespace testsupport
