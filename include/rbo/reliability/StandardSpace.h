// rbo::reliability::StandardSpace: the isoprobabilistic transform between
// the physical space of a problem's random variables and the standard
// normal space in which the reliability methods work.
//
//   x_i = F_i^-1(Phi(z_i)),   z = L u,   L L^T = R0
//
// F_i is the distribution function of random variable i (any of the four
// kinds of CRandVar, evaluated in closed form to double precision), u is a
// vector of independent standard normal variables, and R0 is the correlation
// matrix of the normal variables z (the Nataf model).  R0 is found from the
// correlation matrix R of the physical variables: for every pair, rho0 is
// the root of
//
//   rho_ij = E[ (x_i - mu_i)(x_j - mu_j) ] / (sd_i sd_j)   with z ~ N(0, [[1, rho0], [rho0, 1]])
//
// computed by Gauss-Hermite quadrature.  Without correlations R0 = I and
// each u_i maps to x_i alone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rbo/Export.h"
#include "rbo/RandVar.h"

namespace rbo::reliability {

/// A correlation matrix that cannot be used, with the entry at fault.
/// row/column are 0-based, -1 when the fault is the whole matrix (not
/// positive definite, wrong size).
struct CorrelationProblem {
  int row = -1;
  int column = -1;
  std::string message;  ///< one sentence, e.g. "correlation 1.2 of variables 1 and 3 is outside [-1, 1]"
};

/// Checks a correlation matrix of n variables (row-major n x n, the
/// physical variables' correlations): square of size n, finite, symmetric
/// (to 1e-12), entries in [-1, 1], unit diagonal, positive definite.
/// Returns the problems found (empty when usable).  Does not check that the
/// Nataf transform exists (StandardSpace does).
RBO_API std::vector<CorrelationProblem> CheckCorrelation(const std::vector<double>& correlation, std::size_t n);

class RBO_API StandardSpace {
 public:
  /// Independent variables.  Throws std::invalid_argument for a variable
  /// whose parameters CRandVar would refuse.
  explicit StandardSpace(const std::vector<CRandVar>& variables);
  /// Correlated variables: correlation is the physical variables' n x n
  /// correlation matrix, row-major (empty: independent).  Throws
  /// std::invalid_argument naming the entry for a matrix CheckCorrelation
  /// refuses, for a correlation the pair of distributions cannot have (no
  /// Nataf root), and when the corrected matrix R0 is not positive definite.
  StandardSpace(const std::vector<CRandVar>& variables, const std::vector<double>& correlation);
  StandardSpace(const StandardSpace& other);
  StandardSpace& operator=(const StandardSpace& other);
  StandardSpace(StandardSpace&&) noexcept;
  StandardSpace& operator=(StandardSpace&&) noexcept;
  ~StandardSpace();

  std::size_t Dimension() const;
  bool Correlated() const;
  const std::vector<CRandVar>& Variables() const;
  /// R0: the normal variables' correlation, row-major n x n.
  std::vector<double> NormalCorrelation() const;

  /// x = T(u).  u and x have Dimension() entries.
  std::vector<double> ToPhysical(const std::vector<double>& u) const;
  /// u = T^-1(x).  A value outside the support maps to +-infinity.
  std::vector<double> ToStandard(const std::vector<double>& x) const;
  /// Physical values of a batch of standard points.
  std::vector<std::vector<double>> ToPhysical(const std::vector<std::vector<double>>& u) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

/// Distribution function of a CRandVar in closed form, to double precision
/// (not the CRandVar's own CDF, which serves sampling).  upper: 1 - F(x)
/// instead, without cancellation.
RBO_API double MarginalCdf(const CRandVar& v, double x, bool upper = false);
/// x with F(x) = Phi(z), computed from z so that both tails keep their
/// precision (uses Phi(-z) for z > 0).
RBO_API double MarginalFromNormal(const CRandVar& v, double z);
/// z = Phi^-1(F(x)), the inverse of MarginalFromNormal.
RBO_API double NormalFromMarginal(const CRandVar& v, double x);
/// Mean and standard deviation of a CRandVar in closed form.
RBO_API double MarginalMean(const CRandVar& v);
RBO_API double MarginalStdDev(const CRandVar& v);

}  // namespace rbo::reliability
