// White-box access to CRandVar's private numerics for the tests.
#pragma once

#include "rbo/RandVar.h"

struct CRandVarInternals {
  static double Erf(CRandVar& v, double x) { return v.ErrorFunction(x); }
  static double Gamma(CRandVar& v, double x) { return v.GammaFunction(x); }
  static bool Close(CRandVar& v, double a, double b, double tol) { return v.TwoNumbersAreClose(a, b, tol); }
  static double LowLimit(CRandVar& v) { return v.GetXLowLimit(); }
  static double UpLimit(CRandVar& v) { return v.GetXUpLimit(); }
  static void CheckParams(CRandVar& v) { v.CheckParams(); }
  static void CheckMeanStdDev(CRandVar& v, double m, double s) { v.CheckMeanStdDev(m, s); }
  static double M(CRandVar& v, double beta) { return v.MuMinusGammaOverSigma(beta); }
  static double Beta(CRandVar& v, double m, double s, double g, double tol) {
    return v.BetaFromMeanStdDevGamma(m, s, g, tol);
  }
};
