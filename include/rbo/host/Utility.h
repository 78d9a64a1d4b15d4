// The host's utility library: random numbers, the Latin hypercube design,
// the QR least-squares solver, debug dumps and timers.
#pragma once

#include <cstdio>
#include <memory>
#include <valarray>

#include "rbo/Export.h"
#include "rbo/foundation/Matrix.h"

/// Uniform random numbers strictly inside (0, 1).
class RBO_HOST_API CRand {
 public:
  /// bFixedSeed: start from the configured seed (the same stream on every
  /// construction); otherwise seed from the operating system's entropy.
  explicit CRand(bool bFixedSeed);
  ~CRand();
  CRand(const CRand&) = delete;
  CRand& operator=(const CRand&) = delete;

  /// The next number, never 0 and never 1.
  double Random();

 private:
  struct State;
  std::unique_ptr<State> m_pState;  ///< generator state
};

/// Fills table (m * nSamples values, sample after sample: value of sample j
/// and coordinate r at j * m + r) with a Latin hypercube design in (0, 1).
RBO_HOST_API void LatinHyperCubeDOE(int m, int nSamples, std::valarray<double>& table);

/// Weighted linear least squares A * K = Y by a rank-revealing QR.
///
/// Reference host: minimises sum over p of w_p (A_p K_c - Y_p,c)^2 for every
/// column c of Y, by a column-pivoting Householder QR of diag(sqrt(w)) A
/// with its columns scaled to unit norm (so the rank test does not depend
/// on the variables' units).  A pivot counts when it exceeds 1e-12 times the
/// largest one; the rank is full when every column has a counted pivot.
class RBO_HOST_API CQR {
 public:
  /// Solves on construction; K receives the coefficients (terms x right-hand sides).
  /// K is resized to A.Cols() x Y.Cols() if its shape differs.  Without
  /// full rank K holds a basic solution (coefficients of the dependent
  /// columns 0).  Zero weights drop their rows.  Throws
  /// std::invalid_argument when A, Y and weights disagree in their number
  /// of rows, or a weight is negative or any value is not finite.
  CQR(CMatrix<double>& A, std::valarray<double>& weights, CMatrix<double>& Y, CMatrix<double>& K);
  virtual ~CQR();
  CQR(const CQR&) = delete;
  CQR& operator=(const CQR&) = delete;

  /// True when the model matrix has full column rank.
  bool IsFullRank();

 private:
  bool m_bFullRank;  ///< rank test of the factorisation
};

class RBO_HOST_API CDebugUtil {
 public:
  /// Writes title and the matrix to stream, one row per line.
  /// Reference host: the title on its own line (a newline is added unless
  /// it ends in one), then each row with its values separated by one space
  /// in %.17g (exact round trip); the stream is flushed.  A null stream
  /// writes nothing.  The last two arguments are accepted and ignored.
  static void DumpDoubleMatrix(const char* pszTitle, std::FILE* stream, CMatrix<double>& matrix, int nArg4, int nArg5);
};

/// A timer that accumulates elapsed wall time.
class RBO_HOST_API CLogTime {
 public:
  /// The current time in seconds, from a monotonic clock (steady_clock;
  /// only differences are meaningful).
  static double MyTimeMark();

  double m_dStartMark = 0.0;    ///< time at the start of the measured section
  double m_dAccumulated = 0.0;  ///< total measured time, seconds
};

/// Timer of the object-store reads.
RBO_HOST_API extern CLogTime dbReadTime;
