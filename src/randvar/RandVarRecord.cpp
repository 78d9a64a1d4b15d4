// CRandVar: construction, copying and the two validations.
#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "randvar/RandVarConstants.h"
#include "rbo/RandVar.h"

using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kTiny;
using rbo::kUnitRandVar;

namespace {

// The guards below compare with >= so that a NaN parameter fails them.
constexpr const char* kSupplied = "       The supplied value = %g\n";
constexpr const char* kAllowedPositive = "       The allowed value should be > 0\n";

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
      case kNormal:
        if (!(m_dParam2 >= kTiny))
          FailNotPositive("Invalid value of the Standard Deviation (2nd parameter) for\n",
                          "       the Normal distribution:\n", m_dParam2, __LINE__);
        return;
      case kUniform:
        if (!(m_dParam2 >= m_dParam1))
          ErrorReport("Invalid specification of bounds for the Uniform distribution:\n")
              .Line("       Upper bound (2nd parameter) is < Lower bound (1st parameter)\n")
              .Line("       (%g < %g)\n", m_dParam2, m_dParam1)
              .Throw<CInvalidArgument>(kUnitRandVar, __LINE__);
        return;
      case kLognormal:
        if (!(m_dParam1 >= kTiny))
          FailNotPositive("Invalid value of the natural logarithm of the mean\n",
                          "       value (1st parameter, lambda) for the Lognormal distribution:\n", m_dParam1,
                          __LINE__);
        if (!(m_dParam2 >= kTiny))
          FailNotPositive("Invalid value of the natural logarithm of the standard\n",
                          "       deviation (2nd parameter, epsilon) for the Lognormal distribution:\n",
                          m_dParam2, __LINE__);
        return;
      case kWeibull:
        if (!(m_dParam2 >= kTiny))
          FailNotPositive("Invalid value of the Scale Parameter (2nd parameter, eta) for\n",
                          "       the Weibull distribution:\n", m_dParam2, __LINE__);
        if (!(m_dParam3 >= kTiny))
          FailNotPositive("Invalid value of the Shape Parameter or Slope (3rd parameter, beta) for\n",
                          "       the Weibull distribution:\n", m_dParam3, __LINE__);
        return;
      default:
        FailInvalidType(__LINE__);
    }
  });
}

void CRandVar::CheckMeanStdDev(double dMean, double dStdDev) {
  Guarded(kUnitRandVar, __LINE__, [&] {
    static constexpr const char* kStdDevTitle = "Invalid value of the Standard Deviation for\n";
    switch (m_nType) {
      case kNormal:
        if (!(dStdDev >= kTiny))
          FailNotPositive(kStdDevTitle, "       the Normal distribution:\n", dStdDev, __LINE__);
        return;
      case kUniform:
        if (!(dStdDev >= kTiny))
          FailNotPositive(kStdDevTitle, "       the Uniform distribution:\n", dStdDev, __LINE__);
        return;
      case kLognormal:
        if (!(dStdDev >= kTiny))
          FailNotPositive(kStdDevTitle, "       the Log Normal distribution:\n", dStdDev, __LINE__);
        if (!(dMean >= 1.0 + kTiny))
          ErrorReport("Invalid value of the Mean for the Log Normal distribution:\n")
              .Line(kSupplied, dMean)
              .Line("       The allowed value should be > 1\n")
              .Throw<CInvalidArgument>(kUnitRandVar, __LINE__);
        return;
      case kWeibull:
        if (!(dStdDev >= kTiny))
          FailNotPositive(kStdDevTitle, "       the Weibull distribution:\n", dStdDev, __LINE__);
        if (!(m_dParam1 + kTiny <= dMean))
          ErrorReport("Invalid value of the Mean for the Weibull distribution:\n")
              .Line(kSupplied, dMean)
              .Line("       The value of the 1st parameter = %g\n", m_dParam1)
              .Line("       The allowed mean value should be > %g\n", m_dParam1)
              .Throw<CInvalidArgument>(kUnitRandVar, __LINE__);
        return;
      default:
        FailInvalidType(__LINE__);
    }
  });
}
