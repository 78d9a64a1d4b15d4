// Sample statistics of the random responses (RBO methods 0 and 1): the
// analysed sample points of each design point are folded into the mean,
// population standard deviation and probabilities of violating the bounds
// on the mean, and into the any and joint violation fractions.
#include <cmath>
#include <vector>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandVarModules.h"
#include "rbo/host/DB.h"
#include "responses/RecordStatistics.h"
#include "responses/ResponseTables.h"
#include "sampling/SamplingInternals.h"

namespace rbo {
namespace {

constexpr int kLineGuardFromSamples = 3391;
constexpr int kLineGuardAddSample = 842;

}  // namespace

void AddSampleIntoRandResps(CDB* pDB, ResponseGroupVectors& groups, std::valarray<double>& designVariables,
                            std::valarray<double>& analysisResps, std::valarray<int>& entryNumbers,
                            std::valarray<int>& roles, std::valarray<CRandResp>& records, double* pdJointCount,
                            double* pdAnyCount, std::valarray<double>& entries) {
  Guarded(kUnitRandRespModules, kLineGuardAddSample, [&] {
    RespsIntoOrvoWith(pDB, groups, designVariables, analysisResps, entryNumbers, entries);
    const double tol = pDB->m_pParams->m_dConstrTol;
    SampleFlags flags;
    for (std::size_t i = 0; i < entryNumbers.size(); ++i) {
      const int k = entryNumbers[i];
      if (k < 0 || roles[i] == kRoleAnyFraction || roles[i] == kRoleJointFraction) continue;
      if (i > 0 && k == entryNumbers[i - 1]) continue;
      AccumulateSample(records[std::size_t(k - 1)], entries[i], tol, k == 1, flags);
    }
    if (flags.m_nJoint > 0) *pdJointCount += 1.0;
    if (flags.m_bAny) *pdAnyCount += 1.0;
  });
}

void RandRespsFromSamples(CDB* pDB, int nSamples, std::valarray<int>& inputRandVar, std::valarray<int>& entryNumbers,
                          std::valarray<int>& roles, CMatrix<double>& designPoints, CMatrix<double>& analysisPoints,
                          CMatrix<double>& analysisOutputs, std::valarray<CRandResp>& records,
                          CMatrix<double>& designResponses) {
  Guarded(kUnitRandRespModules, kLineGuardFromSamples, [&] {
    RejectNoSamples(nSamples, __LINE__);

    const int P = designPoints.Cols();
    const int E = int(pDB->m_vRespIndexOfEntry.size());
    if (designResponses.Rows() != E || designResponses.Cols() != P) designResponses = CMatrix<double>(E, P);

    // Work vectors, sized once and reused for every sample.
    std::valarray<double> designColumn, sampleDVs, analysisInputs, analysisResps, entries;
    ResponseGroupVectors groups;
    std::vector<OpenedInput> opened;
    std::valarray<double> sums(0.0, std::size_t(E));
    const double n = double(nSamples);

    for (int p = 0; p < P; ++p) {
      designPoints.GetCol(p, designColumn);
      ResetStatistics(records);
      double jointCount = 0.0, anyCount = 0.0;
      sums = 0.0;
      for (int s = 0; s < nSamples; ++s) {
        const int c = p * nSamples + s;
        if (sampleDVs.size() != designColumn.size()) sampleDVs.resize(designColumn.size());
        sampleDVs = designColumn;
        analysisPoints.GetCol(c, analysisInputs);
        // The map and both lengths stay the same from sample to sample: the
        // first sample checks them (and fails where a check fails), and the
        // entries that take an analysis input are listed once.
        if (c == 0) {
          PartialOrvoDVsArrayFromAnalysisInps(analysisInputs, inputRandVar, sampleDVs);
          opened = OpenedAnalysisInputs(inputRandVar);
        } else {
          for (const OpenedInput& o : opened) sampleDVs[o.nEntry] = analysisInputs[o.nInput];
        }
        analysisOutputs.GetCol(c, analysisResps);
        AddSampleIntoRandResps(pDB, groups, sampleDVs, analysisResps, entryNumbers, roles, records, &jointCount,
                               &anyCount, entries);
        for (int i = 0; i < E; ++i) sums[std::size_t(i)] += entries[std::size_t(i)];
      }
      FinishStatistics(records, n);

      // Deterministic entries get the mean over the samples; random entries
      // their statistic (an entry of another role keeps the value of the
      // last sample point).
      for (std::size_t i = 0; i < std::size_t(E); ++i)
        if (entryNumbers[i] < 0) entries[i] = sums[i] / n;
      WriteRoleEntries(entryNumbers, roles, records, anyCount / n, jointCount / n, MeanEntries::kWrite, entries);
      designResponses.ReplaceCol(p, entries);
    }
  });
}

}  // namespace rbo
