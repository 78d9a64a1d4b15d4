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
class RBO_HOST_API CQR {
 public:
  /// Solves on construction; K receives the coefficients (terms x right-hand sides).
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
  static void DumpDoubleMatrix(const char* pszTitle, std::FILE* stream, CMatrix<double>& matrix, int nArg4,
                               int nArg5);
};

/// A timer that accumulates elapsed wall time.
class RBO_HOST_API CLogTime {
 public:
  /// The current time in seconds.
  static double MyTimeMark();

  double m_dStartMark = 0.0;    ///< time at the start of the measured section
  double m_dAccumulated = 0.0;  ///< total measured time, seconds
};

/// Timer of the object-store reads.
RBO_HOST_API extern CLogTime dbReadTime;
