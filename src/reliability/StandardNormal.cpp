// The standard normal distribution to double precision (StandardNormal.h).
#include "rbo/reliability/StandardNormal.h"

#include <cmath>
#include <limits>

namespace rbo::reliability {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSqrt2 = 1.41421356237309504880;
constexpr double kSqrt2Pi = 2.50662827463100050242;

// A rational approximation of Phi^-1 (relative error 1.15e-9), good enough
// to start the refinement below.  Tail points are evaluated from the side
// where they are small: lower = true gives the quantile of p, else of 1 - q.
double RationalQuantile(double p) {
  static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                             1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                             6.680131188771972e+01, -1.328068155288572e+01};
  static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                             -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                             3.754408661907416e+00};
  constexpr double pLow = 0.02425;
  if (p < pLow) {
    const double q = std::sqrt(-2.0 * std::log(p));
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  }
  const double q = p - 0.5, r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
}

// One Halley step on Phi(x) = p for x <= 0 brings the approximation to full
// precision.  Beyond |x| ~ 37 the density underflows and the approximation
// stands.
double RefineLowerQuantile(double x, double p) {
  if (std::fabs(x) >= 37.0) return x;
  const double e = NormalCdf(x) - p;
  const double u = e * kSqrt2Pi * std::exp(0.5 * x * x);
  return x - u / (1.0 + 0.5 * x * u);
}

// The quantile of a probability p <= 0.5: the lower half, where p keeps
// its full relative precision.
double LowerQuantile(double p) { return RefineLowerQuantile(RationalQuantile(p), p); }

}  // namespace

double NormalPdf(double u) { return std::exp(-0.5 * u * u) / kSqrt2Pi; }

double NormalCdf(double u) { return 0.5 * std::erfc(-u / kSqrt2); }

double NormalSurvival(double u) { return 0.5 * std::erfc(u / kSqrt2); }

double NormalQuantile(double p) {
  if (std::isnan(p) || p < 0.0 || p > 1.0) return std::numeric_limits<double>::quiet_NaN();
  if (p == 0.0) return -kInf;
  if (p == 1.0) return kInf;
  // Above one half, 1 - p is exact in floating point (Sterbenz).
  return p <= 0.5 ? LowerQuantile(p) : -LowerQuantile(1.0 - p);
}

double NormalQuantileOfSurvival(double q) {
  if (std::isnan(q) || q < 0.0 || q > 1.0) return std::numeric_limits<double>::quiet_NaN();
  if (q == 0.0) return kInf;
  if (q == 1.0) return -kInf;
  return q <= 0.5 ? -LowerQuantile(q) : LowerQuantile(1.0 - q);
}

}  // namespace rbo::reliability
