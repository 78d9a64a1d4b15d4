// Small dense linear algebra for the reliability methods: vectors as
// std::vector<double>, square matrices row-major in one std::vector<double>
// (entry (i, j) of an n x n matrix at i * n + j).  Sizes are the number of
// random variables, so plain loops are enough.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace rbo::reliability::dense {

using Vector = std::vector<double>;
/// Row-major n x n.
using Matrix = std::vector<double>;

inline double Dot(const Vector& a, const Vector& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

inline double Norm(const Vector& a) { return std::sqrt(Dot(a, a)); }

/// a + t b
inline Vector AddScaled(const Vector& a, double t, const Vector& b) {
  Vector r(a);
  for (std::size_t i = 0; i < r.size(); ++i) r[i] += t * b[i];
  return r;
}

inline Vector Scaled(double t, const Vector& a) { return AddScaled(Vector(a.size(), 0.0), t, a); }

inline double Distance(const Vector& a, const Vector& b) { return Norm(AddScaled(a, -1.0, b)); }

inline Matrix Identity(std::size_t n) {
  Matrix m(n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) m[i * n + i] = 1.0;
  return m;
}

/// Lower Cholesky factor L (L L^T = a) of a symmetric n x n matrix; false
/// when a pivot is not above `minPivot` (not positive definite).
inline bool CholeskyLower(const Matrix& a, std::size_t n, Matrix* pL, double minPivot = 1e-12) {
  Matrix& l = *pL;
  l.assign(n * n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= l[j * n + k] * l[j * n + k];
    if (!(d > minPivot)) return false;
    l[j * n + j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= l[i * n + k] * l[j * n + k];
      l[i * n + j] = s / l[j * n + j];
    }
  }
  return true;
}

/// Solves L^T w = b for a lower-triangular L (back substitution), that is
/// w^T = b^T L^-1.
inline Vector SolveLowerTransposed(const Matrix& l, const Vector& b) {
  const std::size_t n = b.size();
  Vector w(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = b[i];
    for (std::size_t k = i + 1; k < n; ++k) s -= l[k * n + i] * w[k];
    w[i] = s / l[i * n + i];
  }
  return w;
}

/// Solves L w = b for a lower-triangular L (forward substitution).
inline Vector SolveLower(const Matrix& l, const Vector& b) {
  const std::size_t n = b.size();
  Vector w(n);
  for (std::size_t i = 0; i < n; ++i) {
    double s = b[i];
    for (std::size_t k = 0; k < i; ++k) s -= l[i * n + k] * w[k];
    w[i] = s / l[i * n + i];
  }
  return w;
}

/// Solves A x = b given the Cholesky factor L of A.
inline Vector SolveCholesky(const Matrix& l, const Vector& b) { return SolveLowerTransposed(l, SolveLower(l, b)); }

/// m v for an n x n matrix m.
inline Vector Multiply(const Matrix& m, const Vector& v) {
  const std::size_t n = v.size();
  Vector r(n, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) r[i] += m[i * n + j] * v[j];
  return r;
}

namespace detail {

inline double OffDiagonalNorm(const Matrix& a, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j)
      if (i != j) s += a[i * n + j] * a[i * n + j];
  return std::sqrt(s);
}

// One Jacobi rotation in the plane (p, q) that zeroes a(p, q).
inline void JacobiRotate(Matrix& a, std::size_t n, std::size_t p, std::size_t q) {
  const double apq = a[p * n + q];
  if (apq == 0.0) return;
  const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
  const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
  const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
  for (std::size_t k = 0; k < n; ++k) {  // columns p and q
    const double akp = a[k * n + p], akq = a[k * n + q];
    a[k * n + p] = c * akp - s * akq;
    a[k * n + q] = s * akp + c * akq;
  }
  for (std::size_t k = 0; k < n; ++k) {  // rows p and q
    const double apk = a[p * n + k], aqk = a[q * n + k];
    a[p * n + k] = c * apk - s * aqk;
    a[q * n + k] = s * apk + c * aqk;
  }
}

}  // namespace detail

/// Eigenvalues of a symmetric n x n matrix, ascending (cyclic Jacobi
/// rotations until the off-diagonal part is negligible against the whole).
inline Vector SymmetricEigenvalues(Matrix a, std::size_t n) {
  double scale = 0.0;
  for (double v : a) scale = std::max(scale, std::fabs(v));
  for (int sweep = 0; sweep < 100 && detail::OffDiagonalNorm(a, n) > 1e-15 * scale; ++sweep)
    for (std::size_t p = 0; p + 1 < n; ++p)
      for (std::size_t q = p + 1; q < n; ++q) detail::JacobiRotate(a, n, p, q);
  Vector eigenvalues(n);
  for (std::size_t i = 0; i < n; ++i) eigenvalues[i] = a[i * n + i];
  std::sort(eigenvalues.begin(), eigenvalues.end());
  return eigenvalues;
}

/// An orthonormal basis whose last vector is last / |last| (rows of the
/// returned n x n matrix R, so that v = R u has v_n = u . last / |last|).
/// The other rows come from Gram-Schmidt on the unit vectors, leaving out
/// the one most nearly parallel to `last`.  `last` must not be zero.
inline Matrix BasisEndingWith(const Vector& last) {
  const std::size_t n = last.size();
  std::vector<Vector> rows{Scaled(1.0 / Norm(last), last)};
  std::size_t skip = 0;
  for (std::size_t i = 1; i < n; ++i)
    if (std::fabs(last[i]) > std::fabs(last[skip])) skip = i;
  for (std::size_t i = 0; i < n; ++i) {
    if (i == skip) continue;
    Vector e(n, 0.0);
    e[i] = 1.0;
    for (int pass = 0; pass < 2; ++pass)  // twice: orthogonal to working precision
      for (const Vector& r : rows) e = AddScaled(e, -Dot(e, r), r);
    rows.push_back(Scaled(1.0 / Norm(e), e));
  }
  Matrix basis(n * n);
  for (std::size_t k = 0; k < n; ++k)  // rows[0] (the given direction) goes last
    std::copy(rows[(k + 1) % n].begin(), rows[(k + 1) % n].end(), basis.begin() + std::ptrdiff_t(k * n));
  return basis;
}

/// Row k of an n x n matrix.
inline Vector Row(const Matrix& m, std::size_t n, std::size_t k) {
  return Vector(m.begin() + std::ptrdiff_t(k * n), m.begin() + std::ptrdiff_t((k + 1) * n));
}

}  // namespace rbo::reliability::dense
