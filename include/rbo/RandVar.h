// CRandVar: one uncertain input, a distribution of one of four kinds.
//
//   type  distribution        Param1          Param2          Param3
//   0     normal              mean mu         std. dev. sigma -
//   1     uniform             lower bound a   upper bound b   -
//   2     lognormal           lambda = E[ln X] eps = SD[ln X] -
//   3     Weibull (3-param.)  location gamma  scale eta       shape beta
//
// Param4 is stored and copied but no operation reads it.
//
// A plain value class (no virtual functions, no owned memory) so that
// std::valarray<CRandVar> can cross the library boundary.  Constructors with
// arguments, Copy and assignment validate the parameters (CheckParams) and
// throw CInvalidArgument or CInvalidType after writing an error report to the
// host log; the setters store without validating.  Every threshold is 1e-12.
//
// The distribution functions use the library's own error function (a
// Chebyshev fit with fractional error below 1.2e-7) and gamma function (a
// six-term Lanczos series), not the C library's, so results are the same on
// every platform.  1e30 stands for infinity.
#pragma once

#include "rbo/Export.h"

class RBO_API CRandVar {
 public:
  /// Distribution type codes.
  enum Type : int { kNormal = 0, kUniform = 1, kLognormal = 2, kWeibull = 3 };

  /// A normal variable with mean 0 and standard deviation 1e-12; not validated.
  CRandVar();
  CRandVar(int nType, double dParam1, double dParam2);
  CRandVar(int nType, double dParam1, double dParam2, double dParam3);
  CRandVar(int nType, double dParam1, double dParam2, double dParam3, double dParam4);
  CRandVar(const CRandVar& other);
  /// Copies and validates; the target keeps the copied fields even when the
  /// validation throws.
  void operator=(const CRandVar& other);
  ~CRandVar();

  /// Copies all five fields, then validates them.
  void Copy(const CRandVar& other);

  void SetType(int nType) { m_nType = nType; }
  void SetParam1(double d) { m_dParam1 = d; }
  void SetParam2(double d) { m_dParam2 = d; }
  void SetParam3(double d) { m_dParam3 = d; }
  void SetParam4(double d) { m_dParam4 = d; }
  int GetType() const { return m_nType; }
  double GetParam1() const { return m_dParam1; }
  double GetParam2() const { return m_dParam2; }
  double GetParam3() const { return m_dParam3; }
  double GetParam4() const { return m_dParam4; }

  // ---- distribution functions ----

  /// Density at x; 0 outside the support, at most 1e30.
  double PDF(double x);
  /// Probability of a value not above x, in [0, 1].  The normal CDF at its
  /// mean is 0.499999985 (the error-function fit).
  double CDF(double x);
  double GetActualMean();
  double GetActualStdDev();
  /// x with CDF(x) = p: widening by one standard deviation from the mean,
  /// then bisection until the ends agree to the relative tolerance (a
  /// negative tolerance selects 1e-12).  Never fails to return a point.
  double InverseCDF(double p, double dTolerance);
  /// The normal distribution with the same density and probability at x.
  /// A normal variable reports its own parameters.  Where the density at x
  /// is 0 (outside the support) no such normal exists; the variable's actual
  /// mean and standard deviation are reported instead.
  void NormalTailApprox(double x, double* pdMean, double* pdStdDev, double dTolerance);

  // ---- re-parameterisation from moments ----

  /// New parameters with this actual mean and the current actual standard deviation.
  void UpdateParamsFromActualMean(double dMean);
  /// New parameters with this actual mean and standard deviation (a Weibull
  /// variable gets location 0 and a fitted shape).
  void UpdateParamsFromActualMeanStdDev(double dMean, double dStdDev);

 private:
  friend struct CRandVarInternals;    // white-box tests of the private numerics
  friend struct CRandVarSearchStart;  // the inverse distribution's setup, shared by its batch form

  void CheckParams();
  void CheckMeanStdDev(double dMean, double dStdDev);
  double GetXLowLimit();
  double GetXUpLimit();
  double ErrorFunction(double x);
  double GammaFunction(double x);
  bool TwoNumbersAreClose(double a, double b, double dTolerance);
  double MuMinusGammaOverSigma(double dBeta);
  double BetaFromMeanStdDevGamma(double dMean, double dStdDev, double dGamma, double dTolerance);

  int m_nType;       ///< distribution type code
  double m_dParam1;  ///< first parameter
  double m_dParam2;  ///< second parameter
  double m_dParam3;  ///< third parameter
  double m_dParam4;  ///< fourth parameter (stored only)
};
