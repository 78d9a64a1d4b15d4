// Closed-form distribution functions of the four kinds of random variable,
// as the reliability methods need them: to double precision in both tails
// (StandardSpace.h).
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "rbo/reliability/StandardNormal.h"
#include "rbo/reliability/StandardSpace.h"

namespace rbo::reliability {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Weibull: x = location + scale * H^(1/shape) with H = -ln(1 - Phi(z)), the
// cumulative hazard; each side of the median computed where it is small.
double WeibullHazardOfNormal(double z) { return z < 0.0 ? -std::log1p(-NormalCdf(z)) : -std::log(NormalSurvival(z)); }

// Phi^-1(F) with F = 1 - exp(-t): from F where F is small, from 1 - F =
// exp(-t) where that is.
double NormalOfWeibullHazard(double t) {
  const double F = -std::expm1(-t);
  return F <= 0.5 ? NormalQuantile(F) : NormalQuantileOfSurvival(std::exp(-t));
}

// Phi^-1 of a probability given as lower and upper parts (lower + upper = 1),
// from whichever is smaller.
double NormalOfSplitProbability(double lower, double upper) {
  return lower <= 0.5 ? NormalQuantile(lower) : NormalQuantileOfSurvival(upper);
}

[[noreturn]] void UnknownType(const CRandVar& v) {
  throw std::invalid_argument("unknown distribution type " + std::to_string(v.GetType()));
}

}  // namespace

double MarginalCdf(const CRandVar& v, double x, bool upper) {
  const double p1 = v.GetParam1(), p2 = v.GetParam2(), p3 = v.GetParam3();
  switch (v.GetType()) {
    case CRandVar::kNormal:
      return upper ? NormalSurvival((x - p1) / p2) : NormalCdf((x - p1) / p2);
    case CRandVar::kUniform: {
      const double f = x <= p1 ? 0.0 : x >= p2 ? 1.0 : (x - p1) / (p2 - p1);
      const double s = x <= p1 ? 1.0 : x >= p2 ? 0.0 : (p2 - x) / (p2 - p1);
      return upper ? s : f;
    }
    case CRandVar::kLognormal: {
      if (x <= 0.0) return upper ? 1.0 : 0.0;
      const double z = (std::log(x) - p1) / p2;
      return upper ? NormalSurvival(z) : NormalCdf(z);
    }
    case CRandVar::kWeibull: {
      if (x <= p1) return upper ? 1.0 : 0.0;
      const double t = std::pow((x - p1) / p2, p3);
      return upper ? std::exp(-t) : -std::expm1(-t);
    }
    default:
      UnknownType(v);
  }
}

double MarginalFromNormal(const CRandVar& v, double z) {
  const double p1 = v.GetParam1(), p2 = v.GetParam2(), p3 = v.GetParam3();
  switch (v.GetType()) {
    case CRandVar::kNormal:
      return p1 + p2 * z;
    case CRandVar::kUniform:
      return z <= 0.0 ? p1 + (p2 - p1) * NormalCdf(z) : p2 - (p2 - p1) * NormalSurvival(z);
    case CRandVar::kLognormal:
      return std::exp(p1 + p2 * z);
    case CRandVar::kWeibull:
      return p1 + p2 * std::pow(WeibullHazardOfNormal(z), 1.0 / p3);
    default:
      UnknownType(v);
  }
}

double NormalFromMarginal(const CRandVar& v, double x) {
  const double p1 = v.GetParam1(), p2 = v.GetParam2(), p3 = v.GetParam3();
  switch (v.GetType()) {
    case CRandVar::kNormal:
      return (x - p1) / p2;
    case CRandVar::kUniform:
      if (x <= p1) return -kInf;
      if (x >= p2) return kInf;
      return NormalOfSplitProbability((x - p1) / (p2 - p1), (p2 - x) / (p2 - p1));
    case CRandVar::kLognormal:
      return x <= 0.0 ? -kInf : (std::log(x) - p1) / p2;
    case CRandVar::kWeibull:
      return x <= p1 ? -kInf : NormalOfWeibullHazard(std::pow((x - p1) / p2, p3));
    default:
      UnknownType(v);
  }
}

double MarginalMean(const CRandVar& v) {
  const double p1 = v.GetParam1(), p2 = v.GetParam2(), p3 = v.GetParam3();
  switch (v.GetType()) {
    case CRandVar::kNormal:
      return p1;
    case CRandVar::kUniform:
      return 0.5 * (p1 + p2);
    case CRandVar::kLognormal:
      return std::exp(p1 + 0.5 * p2 * p2);
    case CRandVar::kWeibull:
      return p1 + p2 * std::tgamma(1.0 + 1.0 / p3);
    default:
      UnknownType(v);
  }
}

double MarginalStdDev(const CRandVar& v) {
  const double p1 = v.GetParam1(), p2 = v.GetParam2(), p3 = v.GetParam3();
  switch (v.GetType()) {
    case CRandVar::kNormal:
      return p2;
    case CRandVar::kUniform:
      return (p2 - p1) / std::sqrt(12.0);
    case CRandVar::kLognormal:
      return std::exp(p1 + 0.5 * p2 * p2) * std::sqrt(std::expm1(p2 * p2));
    case CRandVar::kWeibull: {
      const double g1 = std::tgamma(1.0 + 1.0 / p3), g2 = std::tgamma(1.0 + 2.0 / p3);
      return p2 * std::sqrt(g2 - g1 * g1);
    }
    default:
      UnknownType(v);
  }
}

}  // namespace rbo::reliability
