// The reference host's weighted least-squares solver: a column-pivoting
// (rank-revealing) Householder QR of the weighted, column-equilibrated model
// matrix.
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include <Eigen/Dense>

#include "FitFailures.h"
#include "rbo/host/Utility.h"

namespace {

// A pivot of R counts as nonzero when |R(k, k)| > kRankThreshold * |R(0, 0)|.
// The columns are equilibrated first, so this is a bound on the condition
// number (about 1e12) that does not depend on the variables' units.
constexpr double kRankThreshold = 1e-12;

std::invalid_argument Rejected(const std::string& what) { return std::invalid_argument("CQR: " + what); }

void RequireFinite(const CMatrix<double>& M, const char* pszName) {
  for (int j = 0; j < M.Cols(); ++j)
    for (int i = 0; i < M.Rows(); ++i)
      if (!std::isfinite(M(i, j)))
        throw Rejected(std::string("the ") + pszName + " holds a value that is not finite at (" + std::to_string(i) +
                       ", " + std::to_string(j) + ")");
}

}  // namespace

CQR::CQR(CMatrix<double>& A, std::valarray<double>& weights, CMatrix<double>& Y, CMatrix<double>& K)
    : m_bFullRank(false) {
  const int nRows = A.Rows();
  const int nTerms = A.Cols();
  const int nRhs = Y.Cols();
  if (Y.Rows() != nRows)
    throw Rejected("the model matrix has " + std::to_string(nRows) + " rows, the right-hand sides " +
                   std::to_string(Y.Rows()));
  if (weights.size() != std::size_t(nRows))
    throw Rejected("there are " + std::to_string(weights.size()) + " weights for " + std::to_string(nRows) + " rows");
  for (std::size_t p = 0; p < weights.size(); ++p)
    if (!std::isfinite(weights[p]) || weights[p] < 0.0)
      throw Rejected("weight " + std::to_string(p) + " is negative or not finite");
  RequireFinite(A, "model matrix");
  RequireFinite(Y, "right-hand sides");

  if (K.Rows() != nTerms || K.Cols() != nRhs) K = CMatrix<double>(nTerms, nRhs);
  if (nTerms == 0) {  // nothing to determine
    m_bFullRank = true;
    return;
  }
  if (nRows == 0) {  // terms but no equations: nothing is determined
    for (int j = 0; j < nRhs; ++j)
      for (int t = 0; t < nTerms; ++t) K(t, j) = 0.0;
    refhost::detail::CountFitFailure();
    return;
  }

  // Rows scaled by sqrt(w): min sum_p w_p (A_p k - y_p)^2 = min |W A k - W y|^2.
  Eigen::MatrixXd WA(nRows, nTerms);
  Eigen::MatrixXd WY(nRows, nRhs);
  for (int p = 0; p < nRows; ++p) {
    const double s = std::sqrt(weights[std::size_t(p)]);
    for (int t = 0; t < nTerms; ++t) WA(p, t) = s * A(p, t);
    for (int j = 0; j < nRhs; ++j) WY(p, j) = s * Y(p, j);
  }
  // Unit-norm columns: the monomials of unscaled variables differ by many
  // orders of magnitude, which would otherwise dominate the pivot ratios.
  Eigen::VectorXd colScale(nTerms);
  for (int t = 0; t < nTerms; ++t) {
    const double norm = WA.col(t).norm();
    colScale(t) = norm > 0.0 ? 1.0 / norm : 1.0;
    WA.col(t) *= colScale(t);
  }

  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(WA);
  qr.setThreshold(kRankThreshold);
  const Eigen::Index rank = qr.rank();
  m_bFullRank = rank == nTerms;
  if (!m_bFullRank) refhost::detail::CountFitFailure();

  // Basic solution: the first `rank` pivoted unknowns from R11 z = (Q^T W y)
  // restricted to them, the others zero.  For full rank this is the
  // least-squares solution; otherwise it is still defined, not blown up by
  // round-off pivots.
  Eigen::MatrixXd qty = WY;
  qty.applyOnTheLeft(qr.householderQ().adjoint());
  Eigen::MatrixXd z = Eigen::MatrixXd::Zero(nTerms, nRhs);
  z.topRows(rank) = qr.matrixQR().topLeftCorner(rank, rank).triangularView<Eigen::Upper>().solve(qty.topRows(rank));
  const Eigen::MatrixXd solution = qr.colsPermutation() * z;
  for (int j = 0; j < nRhs; ++j)
    for (int t = 0; t < nTerms; ++t) K(t, j) = colScale(t) * solution(t, j);
}

CQR::~CQR() = default;

bool CQR::IsFullRank() { return m_bFullRank; }
