// Helpers of the FORM and SORM tests: limit states written as plain
// functions, an analysis counter, and the independent references (Simpson
// quadrature, and the nearest point of a 2-D limit state found by a polar
// search: the root along every ray from the origin, minimised over the
// angle).
#pragma once

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "rbo/RandVar.h"
#include "rbo/reliability/LimitState.h"
#include "support/Numbers.h"

namespace rbotest {

using Point = std::vector<double>;
using ScalarFunction = std::function<double(const Point&)>;

constexpr double kPi = 3.14159265358979323846;

using testsupport::Phi;
inline double Pdf(double z) { return testsupport::NormalPdf(z); }

/// What a limit-state function was asked for.
struct CallLog {
  long long points = 0;
  std::vector<std::size_t> batchSizes;
};

/// A single limit state from a scalar function of the physical values,
/// logging every call.
inline rbo::reliability::LimitStateFunction Single(ScalarFunction f, CallLog* pLog = nullptr) {
  return [f, pLog](const rbo::reliability::Batch& x) {
    if (pLog) {
      pLog->points += static_cast<long long>(x.size());
      pLog->batchSizes.push_back(x.size());
    }
    rbo::reliability::Batch values;
    for (const Point& p : x) values.push_back({f(p)});
    return values;
  };
}

/// Physical value of a normal or lognormal variable at the standard normal
/// value u (closed forms, independent of the library's transform).
inline double PhysicalOf(const CRandVar& v, double u) {
  return v.GetType() == CRandVar::kLognormal ? std::exp(v.GetParam1() + v.GetParam2() * u)
                                             : v.GetParam1() + v.GetParam2() * u;
}

using testsupport::Simpson;

/// Smallest r in (0, rMax] with f(r) = 0 (sign change against f(0)), by a
/// scan in steps of 0.01 and bisection; infinity when there is none.
inline double FirstRoot(const std::function<double(double)>& f, double rMax = 15.0) {
  const double f0 = f(0.0);
  double lo = 0.0;
  for (double hi = 0.01; hi <= rMax; lo = hi, hi += 0.01) {
    if ((f(hi) > 0.0) == (f0 > 0.0)) continue;
    for (int k = 0; k < 80; ++k) {
      const double mid = 0.5 * (lo + hi);
      ((f(mid) > 0.0) == (f0 > 0.0) ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
  }
  return std::numeric_limits<double>::infinity();
}

/// Distance from the origin to the nearest point of gU(u) = 0 in the plane:
/// the root along each ray, minimised over the angle (a scan of 1440
/// angles, then golden-section search around the best).
inline double NearestDistance2D(const ScalarFunction& gU) {
  auto radius = [&](double theta) {
    return FirstRoot([&](double r) { return gU({r * std::cos(theta), r * std::sin(theta)}); });
  };
  const int steps = 1440;
  const double dTheta = 2.0 * kPi / steps;
  double best = 0.0, bestR = std::numeric_limits<double>::infinity();
  for (int k = 0; k < steps; ++k) {
    const double r = radius(k * dTheta);
    if (r < bestR) {
      bestR = r;
      best = k * dTheta;
    }
  }
  double a = best - dTheta, b = best + dTheta;
  const double golden = 0.5 * (std::sqrt(5.0) - 1.0);
  for (int k = 0; k < 80; ++k) {
    const double c = b - golden * (b - a), d = a + golden * (b - a);
    if (radius(c) < radius(d))
      b = d;
    else
      a = c;
  }
  return radius(0.5 * (a + b));
}

}  // namespace rbotest
