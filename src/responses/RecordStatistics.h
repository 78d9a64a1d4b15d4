// Running sums of sample values in the random-response records, shared by
// the sample statistics and the sampling of response surfaces.  While
// samples are folded, Mean holds the sum of the values, StdDev the sum of
// their squares and the POF fields counts of violations.
#pragma once

#include <cmath>
#include <valarray>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandRespModules.h"
#include "responses/ResponseTables.h"
#include "responses/Violation.h"

namespace rbo {

/// Statistics over no sample at all would be 0/0: a number of sample points
/// below 1 is refused instead of writing NaN into the host's responses.
inline void RejectNoSamples(int nSamples, int nLine) {
  if (nSamples < 1)
    ErrorReport("Invalid number of sample points for RBO.\n")
        .Line("       The supplied value = %d\n", nSamples)
        .Line("       The allowed value should be > 0\n")
        .Throw<CInvalidArgument>(kUnitRandRespModules, nLine);
}

/// Sets Mean, StdDev, POF_Low, POF_Up and POF of every record to 0 (bounds,
/// scales, flags, type and order index stay).
inline void ResetStatistics(std::valarray<CRandResp>& records) {
  for (CRandResp& r : records) {
    r.SetMean(0.0);
    r.SetStdDev(0.0);
    r.SetPOF_Low(0.0);
    r.SetPOF_Up(0.0);
    r.SetPOF(0.0);
  }
}

/// Adds one sample value v of a random response into its record, tests its
/// bounds against tol and updates the sample's flags.
inline void AccumulateSample(CRandResp& r, double v, double dTol, bool bFirstResponse, SampleFlags& flags) {
  r.SetMean(r.GetMean() + v);
  r.SetStdDev(r.GetStdDev() + v * v);
  if (r.GetMeanHasLowBound()) {
    const bool bViolated = LowerBoundViolated(r, v, dTol);
    if (bViolated) {
      r.SetPOF_Low(r.GetPOF_Low() + 1.0);
      r.SetPOF(r.GetPOF() + 1.0);
    }
    flags.Test(bViolated, bFirstResponse);
  }
  if (r.GetMeanHasUpBound()) {
    const bool bViolated = UpperBoundViolated(r, v, dTol);
    if (bViolated) {
      r.SetPOF_Up(r.GetPOF_Up() + 1.0);
      r.SetPOF(r.GetPOF() + 1.0);
    }
    flags.Test(bViolated, bFirstResponse);
  }
}

/// Turns the sums over n samples into statistics: the mean, the population
/// standard deviation (0 where rounding makes the variance negative) and the
/// violation fractions (a bound that is not set keeps its field untouched).
inline void FinishStatistics(std::valarray<CRandResp>& records, double n) {
  for (CRandResp& r : records) {
    const double mean = r.GetMean() / n;
    const double variance = r.GetStdDev() / n - mean * mean;
    r.SetMean(mean);
    r.SetStdDev(variance < 0.0 ? 0.0 : std::sqrt(variance));
    if (r.GetMeanHasLowBound()) r.SetPOF_Low(r.GetPOF_Low() / n);
    if (r.GetMeanHasUpBound()) r.SetPOF_Up(r.GetPOF_Up() / n);
    r.SetPOF(r.GetPOF() / n);
  }
}

/// Whether WriteRoleEntries writes the mean entries too.
enum class MeanEntries { kWrite, kKeep };

/// Writes the statistics into the random entries of the host response
/// vector r by their roles: the record's mean (unless kKeep), standard
/// deviation or POF, or the any and joint fractions.  Entries that are not
/// random, and roles that name no statistic, keep their values.
inline void WriteRoleEntries(const std::valarray<int>& numbers, const std::valarray<int>& roles,
                             const std::valarray<CRandResp>& records, double any, double joint, MeanEntries means,
                             std::valarray<double>& r) {
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    const int num = numbers[k];
    if (num < 0) continue;
    // Only the statistic roles read a record: an any or joint entry may
    // carry any number.
    const auto record = [&]() -> const CRandResp& { return records[std::size_t(num - 1)]; };
    switch (roles[k]) {
      case kRoleMean:
        if (means == MeanEntries::kWrite) r[k] = record().GetMean();
        break;
      case kRoleStdDev:
        r[k] = record().GetStdDev();
        break;
      case kRolePOF:
        r[k] = record().GetPOF();
        break;
      case kRoleAnyFraction:
        r[k] = any;
        break;
      case kRoleJointFraction:
        r[k] = joint;
        break;
      default:
        break;
    }
  }
}

}  // namespace rbo
