// Jacobi eigenvalues against the closed form of the second-difference
// matrix (the rotated basis and the Cholesky factor are exercised by the
// SORM curvature off the axes and the correlated FORM importance factors).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "reliability/DenseAlgebra.h"

namespace {

using namespace rbo::reliability::dense;

constexpr double kPi = 3.14159265358979323846;

// tridiag(-1, 2, -1) of size n has eigenvalues 2 - 2 cos(k pi / (n + 1)),
// k = 1..n; so has R A R^T for an orthonormal R, which has no zero entries.
TEST(DenseAlgebra, JacobiEigenvaluesOfSecondDifferences) {
  for (std::size_t n : {1u, 2u, 3u, 6u, 9u}) {
    SCOPED_TRACE(n);
    Matrix a(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      a[i * n + i] = 2.0;
      if (i + 1 < n) a[i * n + i + 1] = a[(i + 1) * n + i] = -1.0;
    }
    Vector direction(n);
    for (std::size_t i = 0; i < n; ++i) direction[i] = std::cos(1.0 + double(i));
    const Matrix r = BasisEndingWith(direction);
    Matrix rotated(n * n, 0.0);  // R A R^T
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < n; ++k)
          for (std::size_t l = 0; l < n; ++l) rotated[i * n + j] += r[i * n + k] * a[k * n + l] * r[j * n + l];
    for (const Matrix& m : {a, rotated}) {
      const Vector e = SymmetricEigenvalues(m, n);
      for (std::size_t k = 0; k < n; ++k)
        EXPECT_NEAR(e[k], 2.0 - 2.0 * std::cos(double(k + 1) * kPi / double(n + 1)), 1e-12);
    }
  }
}

}  // namespace
