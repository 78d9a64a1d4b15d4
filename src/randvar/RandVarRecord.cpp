// CRandVar: construction, copying and the two validations.
#include <cmath>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "randvar/RandVarConstants.h"
#include "rbo/RandVar.h"

using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kTiny;
using rbo::kUnitRandVar;

namespace {

// The guards below compare with >= so that a NaN parameter fails them; an
// infinite value, and a NaN where no bound is tested, fails the finiteness
// tests that follow them.
constexpr const char* kSupplied = "       The supplied value = %g\n";
constexpr const char* kAllowedPositive = "       The allowed value should be > 0\n";
constexpr const char* kAllowedFinite = "       The allowed value should be finite\n";
constexpr const char* kNormalLine = "       the Normal distribution:\n";
constexpr const char* kWeibullLine = "       the Weibull distribution:\n";
constexpr const char* kStdDevTitle = "Invalid value of the Standard Deviation for\n";

[[noreturn]] void FailInvalidType(int nLine) {
  ErrorReport("Invalid distribution type of the random variable.\n").Throw<CInvalidType>(kUnitRandVar, nLine);
}

// "<title>" / "       <distribution line>" / supplied value / allowed value.
[[noreturn]] void FailNotPositive(const char* pszTitle, const char* pszDetail, double dValue, int nLine) {
  ErrorReport(pszTitle)
      .Line(pszDetail)
      .Line(kSupplied, dValue)
      .Line(kAllowedPositive)
      .Throw<CInvalidArgument>(kUnitRandVar, nLine);
}

// "<title>" / "       <distribution line>" / supplied value / finite.
void RequireFinite(double dValue, const char* pszTitle, const char* pszDetail, int nLine) {
  if (std::isfinite(dValue)) return;
  ErrorReport(pszTitle)
      .Line(pszDetail)
      .Line(kSupplied, dValue)
      .Line(kAllowedFinite)
      .Throw<CInvalidArgument>(kUnitRandVar, nLine);
}

// A wanted mean: "<title>" / supplied value / finite.
void RequireFiniteMean(double dMean, const char* pszTitle, int nLine) {
  if (std::isfinite(dMean)) return;
  ErrorReport(pszTitle).Line(kSupplied, dMean).Line(kAllowedFinite).Throw<CInvalidArgument>(kUnitRandVar, nLine);
}

void RequireFiniteBounds(double dLower, double dUpper, int nLine) {
  if (std::isfinite(dLower) && std::isfinite(dUpper)) return;
  ErrorReport("Invalid specification of bounds for the Uniform distribution:\n")
      .Line("       Lower bound (1st parameter) = %g\n", dLower)
      .Line("       Upper bound (2nd parameter) = %g\n", dUpper)
      .Line("       The allowed bounds should be finite\n")
      .Throw<CInvalidArgument>(kUnitRandVar, nLine);
}

}  // namespace

CRandVar::CRandVar() : m_nType(kNormal), m_dParam1(0.0), m_dParam2(kTiny), m_dParam3(0.0), m_dParam4(0.0) {}

CRandVar::CRandVar(int nType, double dParam1, double dParam2) : CRandVar(nType, dParam1, dParam2, 0.0, 0.0) {}

CRandVar::CRandVar(int nType, double dParam1, double dParam2, double dParam3)
    : CRandVar(nType, dParam1, dParam2, dParam3, 0.0) {}

CRandVar::CRandVar(int nType, double dParam1, double dParam2, double dParam3, double dParam4)
    : m_nType(nType), m_dParam1(dParam1), m_dParam2(dParam2), m_dParam3(dParam3), m_dParam4(dParam4) {
  Guarded(kUnitRandVar, __LINE__, [&] { CheckParams(); });
}

CRandVar::CRandVar(const CRandVar& other) : CRandVar() { Copy(other); }

void CRandVar::operator=(const CRandVar& other) { Copy(other); }

CRandVar::~CRandVar() = default;

void CRandVar::Copy(const CRandVar& other) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    m_nType = other.m_nType;
    m_dParam1 = other.m_dParam1;
    m_dParam2 = other.m_dParam2;
    m_dParam3 = other.m_dParam3;
    m_dParam4 = other.m_dParam4;
    CheckParams();
  });
}

void CRandVar::CheckParams() {
  Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal: {
        static constexpr const char* kSigmaTitle = "Invalid value of the Standard Deviation (2nd parameter) for\n";
        if (!(m_dParam2 >= kTiny)) FailNotPositive(kSigmaTitle, kNormalLine, m_dParam2, __LINE__);
        RequireFinite(m_dParam1, "Invalid value of the Mean (1st parameter) for\n", kNormalLine, __LINE__);
        RequireFinite(m_dParam2, kSigmaTitle, kNormalLine, __LINE__);
        return;
      }
      case kUniform:
        if (!(m_dParam2 >= m_dParam1))
          ErrorReport("Invalid specification of bounds for the Uniform distribution:\n")
              .Line("       Upper bound (2nd parameter) is < Lower bound (1st parameter)\n")
              .Line("       (%g < %g)\n", m_dParam2, m_dParam1)
              .Throw<CInvalidArgument>(kUnitRandVar, __LINE__);
        RequireFiniteBounds(m_dParam1, m_dParam2, __LINE__);
        return;
      case kLognormal: {
        static constexpr const char* kLambdaTitle = "Invalid value of the natural logarithm of the mean\n";
        static constexpr const char* kLambdaLine =
            "       value (1st parameter, lambda) for the Lognormal distribution:\n";
        static constexpr const char* kEpsilonTitle = "Invalid value of the natural logarithm of the standard\n";
        static constexpr const char* kEpsilonLine =
            "       deviation (2nd parameter, epsilon) for the Lognormal distribution:\n";
        if (!(m_dParam1 >= kTiny)) FailNotPositive(kLambdaTitle, kLambdaLine, m_dParam1, __LINE__);
        if (!(m_dParam2 >= kTiny)) FailNotPositive(kEpsilonTitle, kEpsilonLine, m_dParam2, __LINE__);
        RequireFinite(m_dParam1, kLambdaTitle, kLambdaLine, __LINE__);
        RequireFinite(m_dParam2, kEpsilonTitle, kEpsilonLine, __LINE__);
        return;
      }
      case kWeibull: {
        static constexpr const char* kEtaTitle = "Invalid value of the Scale Parameter (2nd parameter, eta) for\n";
        static constexpr const char* kBetaTitle =
            "Invalid value of the Shape Parameter or Slope (3rd parameter, beta) for\n";
        if (!(m_dParam2 >= kTiny)) FailNotPositive(kEtaTitle, kWeibullLine, m_dParam2, __LINE__);
        if (!(m_dParam3 >= kTiny)) FailNotPositive(kBetaTitle, kWeibullLine, m_dParam3, __LINE__);
        RequireFinite(m_dParam1, "Invalid value of the Location Parameter (1st parameter, gamma) for\n", kWeibullLine,
                      __LINE__);
        RequireFinite(m_dParam2, kEtaTitle, kWeibullLine, __LINE__);
        RequireFinite(m_dParam3, kBetaTitle, kWeibullLine, __LINE__);
        return;
      }
      default:
        FailInvalidType(__LINE__);
    }
  });
}

void CRandVar::CheckMeanStdDev(double dMean, double dStdDev) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    switch (m_nType) {
      case kNormal:
        if (!(dStdDev >= kTiny)) FailNotPositive(kStdDevTitle, kNormalLine, dStdDev, __LINE__);
        RequireFinite(dStdDev, kStdDevTitle, kNormalLine, __LINE__);
        RequireFiniteMean(dMean, "Invalid value of the Mean for the Normal distribution:\n", __LINE__);
        return;
      case kUniform: {
        static constexpr const char* kUniformLine = "       the Uniform distribution:\n";
        if (!(dStdDev >= kTiny)) FailNotPositive(kStdDevTitle, kUniformLine, dStdDev, __LINE__);
        RequireFinite(dStdDev, kStdDevTitle, kUniformLine, __LINE__);
        RequireFiniteMean(dMean, "Invalid value of the Mean for the Uniform distribution:\n", __LINE__);
        return;
      }
      case kLognormal: {
        static constexpr const char* kLogNormalLine = "       the Log Normal distribution:\n";
        static constexpr const char* kMeanTitle = "Invalid value of the Mean for the Log Normal distribution:\n";
        if (!(dStdDev >= kTiny)) FailNotPositive(kStdDevTitle, kLogNormalLine, dStdDev, __LINE__);
        if (!(dMean >= 1.0 + kTiny))
          ErrorReport(kMeanTitle)
              .Line(kSupplied, dMean)
              .Line("       The allowed value should be > 1\n")
              .Throw<CInvalidArgument>(kUnitRandVar, __LINE__);
        RequireFinite(dStdDev, kStdDevTitle, kLogNormalLine, __LINE__);
        RequireFiniteMean(dMean, kMeanTitle, __LINE__);
        return;
      }
      case kWeibull: {
        static constexpr const char* kMeanTitle = "Invalid value of the Mean for the Weibull distribution:\n";
        if (!(dStdDev >= kTiny)) FailNotPositive(kStdDevTitle, kWeibullLine, dStdDev, __LINE__);
        if (!(m_dParam1 + kTiny <= dMean))
          ErrorReport(kMeanTitle)
              .Line(kSupplied, dMean)
              .Line("       The value of the 1st parameter = %g\n", m_dParam1)
              .Line("       The allowed mean value should be > %g\n", m_dParam1)
              .Throw<CInvalidArgument>(kUnitRandVar, __LINE__);
        RequireFinite(dStdDev, kStdDevTitle, kWeibullLine, __LINE__);
        RequireFiniteMean(dMean, kMeanTitle, __LINE__);
        return;
      }
      default:
        FailInvalidType(__LINE__);
    }
  });
}
