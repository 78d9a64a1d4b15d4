// The random-response record, its bounds from the host's constraints, and
// the spreading of analysis responses over the host's response entries.
#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "rbo/host/DB.h"
#include "rbo/host/DBUtils.h"
#include "responses/ResponseTables.h"

namespace {
constexpr int kLineGuardRespsIntoOrvo = 613;

// v resized to n zeros, or zeroed in place (not at all when empty: most
// groups of a problem are, and this runs several times per sample).
void ZeroFill(std::valarray<double>& v, std::size_t n) {
  if (v.size() != n)
    v.resize(n, 0.0);
  else if (n != 0)
    v = 0.0;
}
}  // namespace

CRandResp::CRandResp() : CRandResp(0.0, 0.0, 0.0) {}
CRandResp::CRandResp(double dMean) : CRandResp(dMean, 0.0, 0.0) {}
CRandResp::CRandResp(double dMean, double dStdDev) : CRandResp(dMean, dStdDev, 0.0) {}
CRandResp::CRandResp(double dMean, double dStdDev, double dPOF)
    : m_dMean(dMean),
      m_dStdDev(dStdDev),
      m_dPOF_Low(0.0),
      m_dPOF_Up(0.0),
      m_dPOF(dPOF),
      m_nRespTypeAsSubject(kTypeIndResp),
      m_nMeanOrderIndex(-1),
      m_bMeanHasLowBound(false),
      m_dLowBoundMean(-1.0e30),
      m_dScaleLowBoundMean(1.0),
      m_bMeanHasUpBound(false),
      m_dUpBoundMean(1.0e30),
      m_dScaleUpBoundMean(1.0) {}
CRandResp::CRandResp(const CRandResp& other) { Copy(other); }
void CRandResp::operator=(const CRandResp& other) { Copy(other); }
CRandResp::~CRandResp() = default;

void CRandResp::Copy(const CRandResp& other) {
  m_dMean = other.m_dMean;
  m_dStdDev = other.m_dStdDev;
  m_dPOF_Low = other.m_dPOF_Low;
  m_dPOF_Up = other.m_dPOF_Up;
  m_dPOF = other.m_dPOF;
  m_nRespTypeAsSubject = other.m_nRespTypeAsSubject;
  m_nMeanOrderIndex = other.m_nMeanOrderIndex;
  m_bMeanHasLowBound = other.m_bMeanHasLowBound;
  m_dLowBoundMean = other.m_dLowBoundMean;
  m_dScaleLowBoundMean = other.m_dScaleLowBoundMean;
  m_bMeanHasUpBound = other.m_bMeanHasUpBound;
  m_dUpBoundMean = other.m_dUpBoundMean;
  m_dScaleUpBoundMean = other.m_dScaleUpBoundMean;
}

namespace rbo {

namespace {

// Entry i (random, with a role) reads the record of its random response.
bool ReadsRecord(int nRole, RecordReaders readers) {
  if (readers == RecordReaders::kStatisticRoles) return nRole == kRoleMean || nRole == kRoleStdDev || nRole == kRolePOF;
  return nRole != kRoleAnyFraction && nRole != kRoleJointFraction;
}

}  // namespace

void CheckRandRespNumbers(const std::valarray<int>& entryNumbers, const std::valarray<int>& roles, std::size_t nRecords,
                          int nLine, RecordReaders readers) {
  for (std::size_t i = 0; i < entryNumbers.size(); ++i) {
    const int k = entryNumbers[i];
    if (k < 0 || (i < roles.size() && !ReadsRecord(roles[i], readers))) continue;
    if (k >= 1 && std::size_t(k) <= nRecords && i < roles.size()) continue;
    ErrorReport("Invalid random-response number of a response entry.\n")
        .Line("       Entry %d carries random-response number %d\n", int(i), k)
        .Line("       The allowed numbers are 1 to %d\n", int(nRecords))
        .Throw<CInvalidArgument>(kUnitRandRespModules, nLine);
  }
}

void ConstrBoundsIntoRandResps(std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                               std::valarray<int>& respIndexOfEntry, std::valarray<int>& respTypeOfEntry,
                               std::valarray<double>& conBound, std::valarray<double>& conScale,
                               std::valarray<int>& conSide, std::valarray<int>& conSubjectIndex,
                               std::valarray<int>& conSubjectType, std::valarray<CRandResp>& records) {
  for (std::size_t i = 0; i < entryNumbers.size(); ++i) {
    const int k = entryNumbers[i];
    if (k < 0 || roles[i] == rbo::kRoleAnyFraction || roles[i] == rbo::kRoleJointFraction) continue;
    CRandResp& r = records[std::size_t(k - 1)];
    r.SetRespTypeAsSubject(respTypeOfEntry[i]);
    if (roles[i] != rbo::kRoleMean) continue;
    r.SetMeanOrderIndex(respIndexOfEntry[i]);
    int nMatches = 0;
    for (std::size_t c = 0; c < conSubjectType.size() && nMatches < 2; ++c) {
      const int type = conSubjectType[c];
      // Design-variable types never name a response.
      if (type == kTypeIndDV || type == kTypeLinkDV || type == kTypeSynthDV) continue;
      if (type != respTypeOfEntry[i] || conSubjectIndex[c] != respIndexOfEntry[i]) continue;
      ++nMatches;
      if (conSide[c] > 0) {
        r.SetMeanHasUpBound(true);
        r.SetUpBoundMean(conBound[c]);
        r.SetScaleUpBoundMean(conScale[c]);
      } else {
        r.SetMeanHasLowBound(true);
        r.SetLowBoundMean(conBound[c]);
        r.SetScaleLowBoundMean(conScale[c]);
      }
    }
  }
}

}  // namespace rbo

void RespsArrayAnalysisIntoOrvoIni(std::valarray<double>& analysisResps, std::valarray<int>& entryNumbers,
                                   std::valarray<double>& entries) {
  if (entries.size() == 0) return;
  entries[0] = 0.0;
  long j = -1;
  for (std::size_t i = 1; i < entryNumbers.size(); ++i) {
    if (entryNumbers[i] < 0 || entryNumbers[i] != entryNumbers[i - 1]) ++j;
    entries[i] = analysisResps[std::size_t(j)];
  }
}

void rbo::RespsIntoOrvoWith(CDB* pDB, ResponseGroupVectors& groups, std::valarray<double>& inputs,
                            std::valarray<double>& analysisResps, std::valarray<int>& entryNumbers,
                            std::valarray<double>& entries) {
  rbo::Guarded(rbo::kUnitRandRespModules, kLineGuardRespsIntoOrvo, [&] {
    rbo::RequireDatabase(pDB, rbo::kUnitRandRespModules, __LINE__);
    CDB& db = *pDB;
    ZeroFill(entries, entryNumbers.size());
    auto& [dv0, dv1, dv2, dv3, resp0, resp1, resp2] = groups;
    ZeroFill(dv0, db.m_nIndDVs);
    ZeroFill(dv1, db.m_nLinkDVs);
    ZeroFill(dv2, db.m_nSynthDVs);
    ZeroFill(dv3, db.m_nGroup3DVs);
    ZeroFill(resp0, db.m_nIndResps);
    ZeroFill(resp1, db.m_nLinkResps);
    ZeroFill(resp2, db.m_nSynthResps);
    RespsArrayAnalysisIntoOrvoIni(analysisResps, entryNumbers, entries);
    ExtractAllTypeDV(inputs, db.m_vDVIndexOfInput, db.m_vDVTypeOfInput, dv0, dv3, dv1, dv2);
    ExtractAllTypeResp(entries, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry, resp0, resp1, resp2);
    EvalLinks(dv0, dv1, dv2, dv3, resp0, db.m_vRespLinkFunc, db.m_vvRespLinkArgIndex, db.m_vvRespLinkArgType,
              db.m_vLinkFuncCode, db.m_vvLinkCoef, resp1);
    EvalSynth(dv0, dv1, dv2, dv3, resp0, resp1, db.m_vRespSynthFunc, db.m_vvRespSynthArgIndex, db.m_vvRespSynthArgType,
              db.m_vvRespSynthArgSlot, db.m_vSynthFuncCode, db.m_vSynthExpr, resp2);
    SetRVector(resp0, resp1, resp2, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry, entries);
  });
}

void RespsArrayAnalysisIntoOrvo(CDB* pDB, std::valarray<double>& inputs, std::valarray<double>& analysisResps,
                                std::valarray<int>& entryNumbers, std::valarray<double>& entries) {
  // The group vectors are zero-filled for every call.  They are called once
  // per sample point, so their storage is kept between calls instead of
  // being allocated seven times per sample, in one thread-local record; the
  // sample statistics pass their own record and skip even that lookup.
  thread_local rbo::ResponseGroupVectors groups;
  rbo::RespsIntoOrvoWith(pDB, groups, inputs, analysisResps, entryNumbers, entries);
}
