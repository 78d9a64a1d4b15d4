// Translation between the host's design-variable vector and the library's
// random variables: loading parameters for a point, the finite-difference
// neighbour in one mean, the constant classification, and scattering
// analysis inputs back into a design-variable vector.
#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandVarModules.h"
#include "sampling/SamplingInternals.h"

using rbo::CheckAnalysisInputRoom;
using rbo::CheckRandVarMap;
using rbo::ErrorReport;
using rbo::Guarded;
using rbo::kAnyRandVarCount;
using rbo::kUnitRandVarModules;

namespace {

// Source lines reported with the throws of this file.
constexpr int kLineInvalidPairCode = 646;
constexpr int kLineInvalidSingleCode = 670;
constexpr int kLineInvalidFDType = 1609;

// Parameter codes of the map besides 0..3 (Param1..Param4).
constexpr int kCodeActualMean = -1;
constexpr int kCodeActualStdDev = -2;

// Host type code of an entry that holds a constant (design-variable group 3).
constexpr int kHostTypeConstant = 23;

bool IsMoment(int nCode) { return nCode == kCodeActualMean || nCode == kCodeActualStdDev; }

bool IsMeanEntry(const std::valarray<int>& inputRandVar, const std::valarray<int>& inputParamCode, std::size_t i) {
  return inputRandVar[i] >= 0 && (inputParamCode[i] == 0 || inputParamCode[i] == kCodeActualMean);
}

// Stores a raw parameter (code 0..3) without validation: later entries of the
// same variable may still change it.  Returns false for any other code.
bool SetRawParam(CRandVar& v, int nCode, double dValue) {
  switch (nCode) {
    case 0:
      v.SetParam1(dValue);
      return true;
    case 1:
      v.SetParam2(dValue);
      return true;
    case 2:
      v.SetParam3(dValue);
      return true;
    case 3:
      v.SetParam4(dValue);
      return true;
    default:
      return false;
  }
}

[[noreturn]] void FailInvalidParamCode(int nLine) {
  ErrorReport("Invalid parameter index of the random variable.\n").Throw<CInvalidType>(kUnitRandVarModules, nLine);
}

// k must name an entry of the map (and, where the step is converted through
// the variable's type, a random variable): writing outside the output
// vector would corrupt the caller's memory, so it is refused with a report.
[[noreturn]] void FailMeanEntryNumber(int k, const char* pszDetail, int nLimit) {
  ErrorReport("Invalid mean entry number for the finite-difference step.\n")
      .Line("       The supplied value = %d\n", k)
      .Line(pszDetail, nLimit)
      .Throw<CInvalidArgument>(kUnitRandVarModules, __LINE__);
}

}  // namespace

void SetRandomParamsForPoint(std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                             std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    CheckRandVarMap(inputRandVar, &inputParamCode, designVars.size(), "design values", randVars.size());
    const std::size_t n = inputRandVar.size();
    bool bPartnerUsed = false;  // the previous moment entry took this one as its partner
    for (std::size_t i = 0; i < n; ++i) {
      const int r = inputRandVar[i];
      if (r < 0) continue;
      CRandVar& v = randVars[std::size_t(r)];
      const int nCode = inputParamCode[i];
      if (SetRawParam(v, nCode, designVars[i])) continue;
      if (bPartnerUsed) {
        bPartnerUsed = false;
        continue;
      }
      if (i + 1 < n && inputRandVar[i + 1] == r && IsMoment(inputParamCode[i + 1])) {
        // A pair: both moments in one re-parameterisation; whatever the
        // partner's code, it is taken as the other moment.
        if (nCode == kCodeActualMean)
          v.UpdateParamsFromActualMeanStdDev(designVars[i], designVars[i + 1]);
        else if (nCode == kCodeActualStdDev)
          v.UpdateParamsFromActualMeanStdDev(designVars[i + 1], designVars[i]);
        else
          FailInvalidParamCode(kLineInvalidPairCode);
        bPartnerUsed = true;
      } else if (nCode == kCodeActualMean) {
        v.UpdateParamsFromActualMeanStdDev(designVars[i], v.GetActualStdDev());
      } else if (nCode == kCodeActualStdDev) {
        v.UpdateParamsFromActualMeanStdDev(v.GetActualMean(), designVars[i]);
      } else {
        FailInvalidParamCode(kLineInvalidSingleCode);
      }
    }
  });
}

void FDRandMeanIntoFDRandEntry(std::valarray<double>& designVars, std::valarray<int>& inputRandVar,
                               std::valarray<int>& inputParamCode, std::valarray<CRandVar>& randVars, double dStep,
                               int k, std::valarray<double>& out) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    CheckRandVarMap(inputRandVar, &inputParamCode, designVars.size(), "design values", kAnyRandVarCount);
    const std::size_t n = inputRandVar.size();

    // The entry of the k-th mean entry; entry k itself when there are fewer.
    long long nTarget = k;
    for (std::size_t i = 0, nMeans = 0; i < n; ++i) {
      if (!IsMeanEntry(inputRandVar, inputParamCode, i)) continue;
      if (k >= 0 && nMeans == std::size_t(k)) {
        nTarget = static_cast<long long>(i);
        break;
      }
      ++nMeans;
    }
    if (nTarget < 0 || std::size_t(nTarget) >= n)
      FailMeanEntryNumber(k, "       The allowed value should be >= 0 and < %d\n", int(n));
    const std::size_t target = std::size_t(nTarget);

    // A Param1 entry moves by the step in the mean divided by d(mean)/d(Param1).
    double dDivisor = 1.0;
    if (inputParamCode[target] != kCodeActualMean) {
      if (std::size_t(k) >= randVars.size())
        FailMeanEntryNumber(k, "       The random-variable array holds %d variables\n", int(randVars.size()));
      CRandVar& v = randVars[std::size_t(k)];
      switch (v.GetType()) {
        case CRandVar::kNormal:
          dDivisor = 1.0;
          break;
        case CRandVar::kUniform:
          dDivisor = 0.5;
          break;
        case CRandVar::kLognormal:
          dDivisor = v.GetActualMean();
          break;
        case CRandVar::kWeibull:
          dDivisor = 1.0;
          break;
        default:
          ErrorReport("Invalid distribution type\n").Throw<CInvalidType>(kUnitRandVarModules, kLineInvalidFDType);
      }
    }

    if (&out != &designVars) {
      if (out.size() != designVars.size()) out.resize(designVars.size());
      out = designVars;
    }
    out[target] += dStep / dDivisor;
  });
}

void CheckConstantRandomDVs(std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                            std::valarray<int>& distTypes, std::valarray<int>& dvTypeOfInput, int* pnConstant,
                            std::valarray<bool>& isConstant, std::valarray<int>& meanPosition) {
  Guarded(kUnitRandVarModules, __LINE__, [&] {
    CheckRandVarMap(inputRandVar, &inputParamCode, dvTypeOfInput.size(), "host type codes", distTypes.size());
    const std::size_t m = distTypes.size();
    const std::size_t n = inputRandVar.size();
    if (isConstant.size() != m) isConstant.resize(m);
    isConstant = false;
    if (meanPosition.size() != m) meanPosition.resize(m);
    meanPosition = -1;

    // The flag carries over from one random variable to the next: only a
    // mean entry sets it anew.
    bool bMeanConstant = false;  // the last mean entry seen holds a constant
    for (std::size_t i = 0; i < n; ++i) {
      const int r = inputRandVar[i];
      if (r < 0) continue;
      const int p = inputParamCode[i];
      const int t = distTypes[std::size_t(r)];
      const bool bConstantEntry = dvTypeOfInput[i] == kHostTypeConstant;
      if (t == CRandVar::kNormal && (p == 1 || p == kCodeActualStdDev)) continue;
      if (p == 0 || p == kCodeActualMean) {
        bMeanConstant = bConstantEntry;
        if (t == CRandVar::kNormal) isConstant[std::size_t(r)] = true;
      } else if (bMeanConstant) {
        if (t == CRandVar::kWeibull && p == 1) {
          if (!bConstantEntry) bMeanConstant = false;
        } else if (bConstantEntry) {
          isConstant[std::size_t(r)] = true;
        }
      }
    }

    // No caller that passes a null count wants it; it is simply not written.
    if (pnConstant != nullptr) {
      int nConstant = 0;
      for (std::size_t r = 0; r < m; ++r)
        if (isConstant[r]) ++nConstant;
      *pnConstant = nConstant;
    }

    int nPosition = 0;  // analysis-input position of entry i
    for (std::size_t i = 0; i < n; ++i) {
      if (inputRandVar[i] < 0) {
        ++nPosition;
      } else if (IsMeanEntry(inputRandVar, inputParamCode, i)) {
        meanPosition[std::size_t(inputRandVar[i])] = nPosition++;
      }
    }
  });
}

void PartialOrvoDVsArrayFromAnalysisInps(std::valarray<double>& analysisInputs, std::valarray<int>& inputRandVar,
                                         std::valarray<double>& designVars) {
  CheckRandVarMap(inputRandVar, nullptr, designVars.size(), "design values", kAnyRandVarCount);
  CheckAnalysisInputRoom(inputRandVar, analysisInputs.size());
  rbo::ForEachAnalysisInput(inputRandVar, [&](std::size_t i, std::size_t k) { designVars[i] = analysisInputs[k]; });
}
