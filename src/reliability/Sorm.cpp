// Second-order corrections at a design point (Form.h): the main curvatures
// of the limit-state surface from a central-difference Hessian in rotated
// standard space, and the probability formulas of Breitung, Tvedt and
// Hohenbichler-Rackwitz.
//
// The rotation R has the unit vector alpha (towards failure) as its last
// row, so that v = R u measures v_n along alpha.  Near the design point
// (v_n = beta) the surface g = 0 is, to second order,
//
//   v_n = beta + 1/2 sum_ij kappa_ij v_i v_j,   kappa = H / |grad g|  (i, j < n),
//
// with H the Hessian of g in v: a positive main curvature bends the surface
// towards the failure side, which shrinks the failure set below the
// half-space of FORM.  When the origin fails (beta < 0) the formulas are
// applied to the mirrored problem -g (beta -> -beta, kappa -> -kappa) and
// the POF is 1 minus its result.
#include <cmath>
#include <complex>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rbo/reliability/Form.h"
#include "rbo/reliability/StandardNormal.h"
#include "reliability/DenseAlgebra.h"
#include "reliability/LimitStateProbe.h"

namespace rbo::reliability {
namespace {

using dense::Matrix;
using dense::Vector;

std::string Number(double v) {
  std::ostringstream s;
  s.precision(6);
  s << v;
  return s.str();
}

void CheckInputs(const StandardSpace& space, const DesignPoint& dp, const SormOptions& options) {
  if (!(options.fdStep > 0.0 && std::isfinite(options.fdStep)))
    throw std::invalid_argument("SORM: the finite-difference step must be positive");
  const std::size_t n = space.Dimension();
  if (dp.converged && (dp.u.size() != n || dp.alpha.size() != n))
    throw std::invalid_argument("SORM: the design point has " + std::to_string(dp.u.size()) +
                                " coordinates; the space has " + std::to_string(n) + " variables");
}

/// Stencil of the central-difference Hessian in the rotated coordinates
/// (rows of basis): the design point, u* +- h r_i for every axis, and
/// u* +- h (r_i + r_j) for each pair of the n - 1 tangential axes.
Batch HessianStencil(const Vector& u, const Matrix& basis, double h) {
  const std::size_t n = u.size();
  Batch points{u};
  for (std::size_t i = 0; i < n; ++i) {
    const Vector r = dense::Row(basis, n, i);
    points.push_back(dense::AddScaled(u, h, r));
    points.push_back(dense::AddScaled(u, -h, r));
  }
  for (std::size_t i = 0; i + 1 < n; ++i)
    for (std::size_t j = i + 1; j + 1 < n; ++j) {
      const Vector r = dense::AddScaled(dense::Row(basis, n, i), 1.0, dense::Row(basis, n, j));
      points.push_back(dense::AddScaled(u, h, r));
      points.push_back(dense::AddScaled(u, -h, r));
    }
  return points;
}

/// kappa = H / |grad g| on the tangential axes, from the stencil's values:
/// H_ii = (g+i + g-i - 2 g0) / h^2 and, with the diagonal pair points,
/// H_ij = (g+ij + g-ij - g+i - g-i - g+j - g-j + 2 g0) / (2 h^2); the
/// gradient by central differences on every axis.
Matrix CurvatureMatrix(const std::vector<double>& v, std::size_t n, double h) {
  const double g0 = v[0];
  auto plus = [&](std::size_t i) { return v[1 + 2 * i]; };
  auto minus = [&](std::size_t i) { return v[2 + 2 * i]; };
  double grad2 = 0.0;
  for (std::size_t i = 0; i < n; ++i) grad2 += std::pow((plus(i) - minus(i)) / (2.0 * h), 2);
  const double gradNorm = std::sqrt(grad2);
  const std::size_t m = n - 1;
  Matrix k(m * m);
  std::size_t next = 1 + 2 * n;
  for (std::size_t i = 0; i < m; ++i) {
    k[i * m + i] = (plus(i) + minus(i) - 2.0 * g0) / (h * h) / gradNorm;
    for (std::size_t j = i + 1; j < m; ++j, next += 2) {
      const double hij = (v[next] + v[next + 1] - plus(i) - minus(i) - plus(j) - minus(j) + 2.0 * g0) / (2.0 * h * h);
      k[i * m + j] = k[j * m + i] = hij / gradNorm;
    }
  }
  return k;
}

/// prod (1 + s kappa_i)^-1/2; NaN when a factor is not positive.
double CurvatureFactor(double s, const Vector& kappa) {
  double f = 1.0;
  for (double k : kappa) {
    const double a = 1.0 + s * k;
    if (!(a > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    f /= std::sqrt(a);
  }
  return f;
}

/// Re prod (1 + (b + i) kappa_j)^-1/2, each factor's principal root.
double ComplexCurvatureFactor(double b, const Vector& kappa) {
  std::complex<double> f = 1.0;
  for (double k : kappa) f /= std::sqrt(std::complex<double>(1.0 + b * k, k));
  return f.real();
}

struct Probabilities {
  double breitung, tvedt, hohenbichler;
  std::string message;
};

/// The three formulas for beta >= 0.
Probabilities Formulas(double b, const Vector& kappa) {
  const double tail = NormalSurvival(b), pdf = NormalPdf(b);
  const double psi = tail > 0.0 ? pdf / tail : b;  // inverse Mills ratio (asymptote b where it underflows)
  const double fb = CurvatureFactor(b, kappa), fb1 = CurvatureFactor(b + 1.0, kappa);
  const double q = b * tail - pdf;
  Probabilities p;
  p.breitung = tail * fb;
  p.hohenbichler = tail * CurvatureFactor(psi, kappa);
  p.tvedt =
      std::isnan(fb1) ? fb1 : p.breitung + q * (fb - fb1) + (b + 1.0) * q * (fb - ComplexCurvatureFactor(b, kappa));
  if (std::isnan(fb))
    p.message =
        "1 + beta * kappa is not positive for a curvature: the surface bends around the origin more tightly "
        "than the sphere of radius beta, so the design point is not a nearest point and the second-order "
        "formulas do not apply";
  else if (std::isnan(p.tvedt))
    p.message = "1 + (beta + 1) * kappa is not positive for a curvature: Tvedt's formula does not apply";
  else if (std::isnan(p.hohenbichler))
    p.message = "1 + psi * kappa is not positive for a curvature (psi = " + Number(psi) +
                "): the Hohenbichler-Rackwitz formula does not apply";
  return p;
}

void SetProbabilities(double beta, const Vector& kappa, SormResult* pResult) {
  const bool mirrored = beta < 0.0;
  Vector k = kappa;
  if (mirrored)
    for (double& v : k) v = -v;
  Probabilities p = Formulas(std::fabs(beta), k);
  if (mirrored) {
    p.breitung = 1.0 - p.breitung;
    p.tvedt = 1.0 - p.tvedt;
    p.hohenbichler = 1.0 - p.hohenbichler;
  }
  pResult->breitung = p.breitung;
  pResult->tvedt = p.tvedt;
  pResult->hohenbichler = p.hohenbichler;
  pResult->valid = p.message.empty();
  pResult->message = p.message;
}

bool AllFinite(const std::vector<double>& v) {
  for (double d : v)
    if (!std::isfinite(d)) return false;
  return true;
}

}  // namespace

SormResult Sorm(const StandardSpace& space, const LimitStateFunction& g, const DesignPoint& designPoint,
                const SormOptions& options) {
  CheckInputs(space, designPoint, options);
  SormResult result;
  if (!designPoint.converged) {
    result.message = "the design point did not converge; the second-order corrections need a converged one";
    return result;
  }
  const std::size_t n = space.Dimension();
  Vector kappa;
  if (n > 1) {
    detail::LimitStateProbe probe(space, g, designPoint.limitState);
    const Matrix basis = dense::BasisEndingWith(designPoint.alpha);
    const std::vector<double> values = probe.Values(HessianStencil(designPoint.u, basis, options.fdStep));
    result.analyses = probe.Analyses();
    if (!AllFinite(values)) {
      result.message = "the limit state is not a finite number next to the design point: no curvatures";
      return result;
    }
    kappa = dense::SymmetricEigenvalues(CurvatureMatrix(values, n, options.fdStep), n - 1);
    if (!AllFinite(kappa)) {
      result.message = "the gradient of the limit state vanishes at the design point: no curvatures";
      return result;
    }
  }
  result.curvatures = kappa;
  SetProbabilities(designPoint.beta, kappa, &result);
  return result;
}

double GeneralisedBeta(double pof) { return -NormalQuantile(pof); }

}  // namespace rbo::reliability
