// The analysis driver: a batch of design points through expansion, analysis,
// folding of the responses, constraint and objective evaluation.
#include <cstdlib>

#include "foundation/Guard.h"
#include "foundation/SourceUnits.h"
#include "rbo/RandVarModules.h"
#include "rbo/Version.h"
#include "rbo/host/DB.h"
#include "rbo/host/DBUtils.h"
#include "responses/ResponseSurface.h"
#include "responses/ResponseTables.h"

namespace {

constexpr int kLineGuardAnalysisVerif = 1944;
constexpr int kLineGuardAdjustResps = 3056;
constexpr int kLineInvalidMethod = 3051;

// Tables of AdjustRespsMatrices, filled from the database on the first call
// that has random variables and random responses, and kept for the life of
// the library.  Each array is created on the first call, and its clean-up
// registered then; clean-ups run at unload in reverse order.
std::valarray<bool>* s_constRandDVFlags = nullptr;   ///< constant flags of CheckConstantRandomDVs
std::valarray<int>* s_constRandDVIndices = nullptr;  ///< mean positions of CheckConstantRandomDVs
std::valarray<CRandVar>* s_randVars = nullptr;       ///< one per random variable of the database
std::valarray<CRandResp>* s_randResps = nullptr;     ///< one per random response of the database
int s_nConstRandDVs = 0;                             ///< count result of CheckConstantRandomDVs
bool s_bFirstRespsCall = true;                       ///< the next call that passes the early exit fills the tables

template <class T>
void CreateOnce(std::valarray<T>*& pArray, void (*pCleanUp)()) {
  if (pArray != nullptr) return;
  pArray = new std::valarray<T>();
  std::atexit(pCleanUp);
}
// Each clean-up releases the elements and then the array itself, so that
// nothing of the tables outlives the library.
template <class T>
void Release(std::valarray<T>*& pArray) {
  pArray->resize(0);
  delete pArray;
  pArray = nullptr;
}
void CleanUpFlags() { Release(s_constRandDVFlags); }
void CleanUpIndices() { Release(s_constRandDVIndices); }
void CleanUpRandVars() { Release(s_randVars); }
void CleanUpRandResps() { Release(s_randResps); }

// The distribution types are read for every random variable: too few of
// them would be read past their end.
void CheckDistributionTypes(const CDB& db, int nRandVars) {
  if (db.m_vDistTypeOfRandVar.size() >= std::size_t(nRandVars)) return;
  rbo::ErrorReport("Inconsistent random-variable map.\n")
      .Line("       %d distribution types for %d random variables\n", int(db.m_vDistTypeOfRandVar.size()), nRandVars)
      .Throw<CInvalidArgument>(rbo::kUnitRandRespModules, __LINE__);
}

void FillTables(CDB& db, int nRandVars, int nRandResps) {
  CheckDistributionTypes(db, nRandVars);
  std::valarray<CRandVar>& randVars = *s_randVars;
  randVars.resize(std::size_t(nRandVars));
  for (int i = 0; i < nRandVars; ++i) {
    randVars[std::size_t(i)].SetType(db.m_vDistTypeOfRandVar[std::size_t(i)]);
    if (db.m_vDistTypeOfRandVar[std::size_t(i)] == CRandVar::kWeibull) randVars[std::size_t(i)].SetParam1(0.0);
  }
  s_randResps->resize(std::size_t(nRandResps));
  rbo::CheckRandRespNumbers(db.m_vEntryRandRespNumber, db.m_vRespRole, s_randResps->size(), __LINE__);
  rbo::ConstrBoundsIntoRandResps(db.m_vEntryRandRespNumber, db.m_vRespRole, db.m_vRespIndexOfEntry,
                                 db.m_vRespTypeOfEntry, db.m_vConBound, db.m_vConScale, db.m_vConSide,
                                 db.m_vConSubjectIndex, db.m_vConSubjectType, *s_randResps);
  CheckConstantRandomDVs(db.m_vInputRandVar, db.m_vInputParamCode, db.m_vDistTypeOfRandVar, db.m_vDVTypeOfInput,
                         &s_nConstRandDVs, *s_constRandDVFlags, *s_constRandDVIndices);
}

// Linked and synthetic design variables of the point whose independent
// values the database holds.
void EvalDesignVariables(CDB& db) {
  EvalLinks(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vIndResps, db.m_vDVLinkFunc,
            db.m_vvDVLinkArgIndex, db.m_vvDVLinkArgType, db.m_vLinkFuncCode, db.m_vvLinkCoef, db.m_vLinkDVs);
  EvalSynth(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vIndResps, db.m_vLinkResps,
            db.m_vDVSynthFunc, db.m_vvDVSynthArgIndex, db.m_vvDVSynthArgType, db.m_vvDVSynthArgSlot,
            db.m_vSynthFuncCode, db.m_vSynthExpr, db.m_vSynthDVs);
}

// Linked and synthetic responses from the independent responses the database holds.
void EvalResponses(CDB& db) {
  EvalLinks(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vIndResps, db.m_vRespLinkFunc,
            db.m_vvRespLinkArgIndex, db.m_vvRespLinkArgType, db.m_vLinkFuncCode, db.m_vvLinkCoef, db.m_vLinkResps);
  EvalSynth(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vIndResps, db.m_vLinkResps,
            db.m_vRespSynthFunc, db.m_vvRespSynthArgIndex, db.m_vvRespSynthArgType, db.m_vvRespSynthArgSlot,
            db.m_vSynthFuncCode, db.m_vSynthExpr, db.m_vSynthResps);
}

}  // namespace

namespace rbo {
void ResetResponseTables() {
  s_bFirstRespsCall = true;
  s_nConstRandDVs = 0;
}
}  // namespace rbo

void AdjustRespsMatrices(CDB* pDB, CMatrix<double>& analysisPoints, CMatrix<double>& designPoints,
                         CMatrix<double>& analysisOutputs, CMatrix<double>& designResponses,
                         int nSamplePointsOverride) {
  rbo::Guarded(rbo::kUnitRandRespModules, kLineGuardAdjustResps, [&] {
    rbo::RequireDatabase(pDB, rbo::kUnitRandRespModules, __LINE__);
    CreateOnce(s_constRandDVFlags, CleanUpFlags);
    CreateOnce(s_constRandDVIndices, CleanUpIndices);
    CreateOnce(s_randVars, CleanUpRandVars);
    CreateOnce(s_randResps, CleanUpRandResps);

    CDB& db = *pDB;
    const int nRandVars = int(db.m_nRandVars);
    const int nRandResps = int(db.m_nRandRespsPlus1) - 1;
    if (nRandVars < 1 || nRandResps < 1) {
      designResponses = analysisOutputs;
      return;
    }
    if (s_bFirstRespsCall) {
      FillTables(db, nRandVars, nRandResps);
      s_bFirstRespsCall = false;
    }

    rbo::CheckRandRespNumbers(db.m_vEntryRandRespNumber, db.m_vRespRole, s_randResps->size(), __LINE__);
    int nMethod = 0, nSamplePoints = 0;
    GetRBOMethodNSamplePoints(&nMethod, &nSamplePoints);
    if (nSamplePointsOverride >= 1) nSamplePoints = nSamplePointsOverride;

    switch (nMethod) {
      case 0:
      case 1:
        rbo::RandRespsFromSamples(pDB, nSamplePoints, db.m_vInputRandVar, db.m_vEntryRandRespNumber, db.m_vRespRole,
                                  designPoints, analysisPoints, analysisOutputs, *s_randResps, designResponses);
        break;
      case 2:
        if (int(db.m_optimizerKind) != 0)
          rbo::AdjustRespsByApprox(pDB, designPoints, analysisOutputs, db.m_vInputRandVar, db.m_vInputParamCode,
                                   db.m_vEntryRandRespNumber, db.m_vRespRole, *s_randVars, *s_randResps,
                                   designResponses);
        else
          rbo::AdjustRespsByApproxRestart(pDB, designPoints, analysisOutputs, db.m_vInputRandVar, db.m_vInputParamCode,
                                          db.m_vEntryRandRespNumber, db.m_vRespRole, *s_randVars, *s_randResps,
                                          designResponses);
        break;
      case 3:
      case 4:
        rbo::AdjustRespsBySampling(pDB, nMethod, nSamplePoints, designPoints, analysisOutputs, db.m_vInputRandVar,
                                   db.m_vInputParamCode, db.m_vEntryRandRespNumber, db.m_vRespRole, *s_randVars,
                                   *s_randResps, designResponses);
        break;
      default:
        rbo::ErrorReport("Invalid method specified for RBO.\n")
            .Throw<CInvalidKey>(rbo::kUnitRandRespModules, kLineInvalidMethod);
    }
  });
}

void AnalysisVerif(CDB* pDB, CMatrix<double>& indDVs, std::valarray<double>& adjustA, std::valarray<double>& adjustB,
                   int nParallel, int nAnalysisFlag, int nParArg, int nSerialArg, std::string& parName1,
                   std::string& parName2, std::valarray<double>& objective, std::valarray<double>& constraint,
                   CMatrix<double>& designPoints, CMatrix<double>& designResponses, bool bParFlag) {
  rbo::Guarded(rbo::kUnitRandRespModules, kLineGuardAnalysisVerif, [&] {
    rbo::RequireDatabase(pDB, rbo::kUnitRandRespModules, __LINE__);
    CDB& db = *pDB;
    std::string inName = db.m_task.GetIn();
    std::string outName = db.m_task.GetOut();
    std::string exe = db.m_task.GetExe();
    std::string cmd = db.m_task.GetExeCmd();
    std::string empty;
    const bool bParallel = nParallel == 1;
    const bool bFlag = nAnalysisFlag == 1;

    const int P = indDVs.Cols();
    const int nDVs = int(db.m_nIndDVs + db.m_nLinkDVs + db.m_nSynthDVs + db.m_nGroup3DVs);
    const int nResps = int(db.m_nIndResps + db.m_nLinkResps + db.m_nSynthResps);
    designPoints = CMatrix<double>(nDVs, P);
    designResponses = CMatrix<double>(nResps, P);
    objective.resize(std::size_t(P), 0.0);
    constraint.resize(std::size_t(P), 0.0);
    std::valarray<double> workResps(0.0, std::size_t(nResps));
    std::valarray<double> workDVs(0.0, std::size_t(nDVs));

    for (int p = 0; p < P; ++p) {
      indDVs.GetCol(p, db.m_vIndDVs);
      EvalDesignVariables(db);
      workDVs = 0.0;
      SetXVector(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vDVIndexOfInput,
                 db.m_vDVTypeOfInput, workDVs);
      designPoints.ReplaceCol(p, workDVs);
    }

    CMatrix<double> analysisPoints, analysisOutputs;
    AdjustDVsMatrices(pDB, designPoints, designResponses, analysisPoints, analysisOutputs, false);

    if (bParallel)
      AnalysePar(analysisPoints, analysisOutputs, parName1, parName2, inName, outName, exe, cmd, nParArg, bParFlag,
                 empty, 0);
    else
      Analysis(analysisPoints, analysisOutputs, inName, outName, exe, cmd, bFlag, nSerialArg, -1);

    AdjustRespsMatrices(pDB, analysisPoints, designPoints, analysisOutputs, designResponses, -1);
    AdjustConstrBoundsResps(pDB, adjustA, adjustB);

    for (int p = 0; p < P; ++p) {
      ExtractIndResp(p, designResponses, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry, db.m_vIndResps);
      EvalResponses(db);
      constraint[std::size_t(p)] = EvalConstr(
          db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vIndResps, db.m_vLinkResps, db.m_vSynthResps,
          db.m_vConBound, db.m_vConScale, db.m_vConSide, db.m_vConTarget, db.m_vConSubjectIndex, db.m_vConSubjectType);
      objective[std::size_t(p)] = EvalObj(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vIndResps, db.m_vLinkResps,
                                          db.m_vSynthResps, db.m_vObjSubjectIndex, db.m_vObjSubjectType, db.m_vObjFunc,
                                          db.m_vObjCoef, db.m_vObjSense, db.m_vObjScale, db.m_vObjOffset);
      workResps = 0.0;
      SetRVector(db.m_vIndResps, db.m_vLinkResps, db.m_vSynthResps, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry,
                 workResps);
      designResponses.ReplaceCol(p, workResps);
    }
  });
}

void GetRBOVersion(int* pnMajor, int* pnMinor, int* pnPatch) {
  *pnMajor = RBO_VERSION_MAJOR;
  *pnMinor = RBO_VERSION_MINOR;
  *pnPatch = RBO_VERSION_PATCH;
}
