// The analysis driver: a batch of design points through expansion, analysis,
// folding of the responses, constraint and objective evaluation.
#include <string>

#include "foundation/Guard.h"
#include "foundation/ProcessState.h"
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

// The distribution types are read for every random variable: too few of
// them would be read past their end.
void CheckDistributionTypes(const CDB& db, int nRandVars) {
  if (db.m_vDistTypeOfRandVar.size() >= std::size_t(nRandVars)) return;
  rbo::ErrorReport("Inconsistent random-variable map.\n")
      .Line("       %d distribution types for %d random variables\n", int(db.m_vDistTypeOfRandVar.size()), nRandVars)
      .Throw<CInvalidArgument>(rbo::kUnitRandRespModules, __LINE__);
}

// Fills the tables from the database (the first call that passes the early
// exit): the random variables' types, the random responses' types and
// bounds, and the constant random design variables.
void FillTables(rbo::ResponseTablesState& tables, CDB& db, int nRandVars, int nRandResps) {
  CheckDistributionTypes(db, nRandVars);
  std::valarray<CRandVar>& randVars = *tables.s_randVars;
  randVars.resize(std::size_t(nRandVars));
  for (int i = 0; i < nRandVars; ++i) {
    randVars[std::size_t(i)].SetType(db.m_vDistTypeOfRandVar[std::size_t(i)]);
    if (db.m_vDistTypeOfRandVar[std::size_t(i)] == CRandVar::kWeibull) randVars[std::size_t(i)].SetParam1(0.0);
  }
  tables.s_randResps->resize(std::size_t(nRandResps));
  rbo::CheckRandRespNumbers(db.m_vEntryRandRespNumber, db.m_vRespRole, tables.s_randResps->size(), __LINE__);
  rbo::ConstrBoundsIntoRandResps(db.m_vEntryRandRespNumber, db.m_vRespRole, db.m_vRespIndexOfEntry,
                                 db.m_vRespTypeOfEntry, db.m_vConBound, db.m_vConScale, db.m_vConSide,
                                 db.m_vConSubjectIndex, db.m_vConSubjectType, *tables.s_randResps);
  CheckConstantRandomDVs(db.m_vInputRandVar, db.m_vInputParamCode, db.m_vDistTypeOfRandVar, db.m_vDVTypeOfInput,
                         &tables.s_nConstRandDVs, *tables.s_constRandDVFlags, *tables.s_constRandDVIndices);
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

// Folds the analysis responses by the host's RBO method, into the tables'
// records and designResponses.
void FoldByMethod(CDB* pDB, rbo::ResponseTablesState& tables, int nMethod, int nSamplePoints,
                  CMatrix<double>& analysisPoints, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                  CMatrix<double>& designResponses) {
  CDB& db = *pDB;
  switch (nMethod) {
    case 0:
    case 1:
      rbo::RandRespsFromSamples(pDB, nSamplePoints, db.m_vInputRandVar, db.m_vEntryRandRespNumber, db.m_vRespRole,
                                designPoints, analysisPoints, analysisOutputs, *tables.s_randResps, designResponses);
      break;
    case 2:
      if (int(db.m_optimizerKind) != 0)
        rbo::AdjustRespsByApprox(pDB, designPoints, analysisOutputs, db.m_vInputRandVar, db.m_vInputParamCode,
                                 db.m_vEntryRandRespNumber, db.m_vRespRole, *tables.s_randVars, *tables.s_randResps,
                                 designResponses);
      else
        rbo::AdjustRespsByApproxRestart(pDB, designPoints, analysisOutputs, db.m_vInputRandVar, db.m_vInputParamCode,
                                        db.m_vEntryRandRespNumber, db.m_vRespRole, *tables.s_randVars,
                                        *tables.s_randResps, designResponses);
      break;
    case 3:
    case 4:
      rbo::AdjustRespsBySampling(pDB, nMethod, nSamplePoints, designPoints, analysisOutputs, db.m_vInputRandVar,
                                 db.m_vInputParamCode, db.m_vEntryRandRespNumber, db.m_vRespRole, *tables.s_randVars,
                                 *tables.s_randResps, designResponses);
      break;
    default:
      rbo::ErrorReport("Invalid method specified for RBO.\n")
          .Throw<CInvalidKey>(rbo::kUnitRandRespModules, kLineInvalidMethod);
  }
}

// The analysis program's files and command, as the host's task names them.
struct AnalysisTask {
  std::string inName, outName, exe, cmd;
};

AnalysisTask ReadAnalysisTask(const CDB& db) {
  return {db.m_task.GetIn(), db.m_task.GetOut(), db.m_task.GetExe(), db.m_task.GetExeCmd()};
}

// Column p of designPoints = the full design-variable vector of design point
// p (column p of indDVs), with its linked and synthetic design variables.
void AssembleDesignPoints(CDB& db, CMatrix<double>& indDVs, CMatrix<double>& designPoints) {
  std::valarray<double> workDVs(0.0, std::size_t(designPoints.Rows()));
  for (int p = 0; p < indDVs.Cols(); ++p) {
    indDVs.GetCol(p, db.m_vIndDVs);
    EvalDesignVariables(db);
    workDVs = 0.0;
    SetXVector(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vGroup3DVs, db.m_vDVIndexOfInput, db.m_vDVTypeOfInput,
               workDVs);
    designPoints.ReplaceCol(p, workDVs);
  }
}

// The host's analysis of every analysis point: on its worker pool, or serially.
void RunAnalysis(AnalysisTask& task, bool bParallel, bool bFlag, int nParArg, int nSerialArg, bool bParFlag,
                 std::string& parName1, std::string& parName2, CMatrix<double>& analysisPoints,
                 CMatrix<double>& analysisOutputs) {
  std::string empty;
  if (bParallel)
    AnalysePar(analysisPoints, analysisOutputs, parName1, parName2, task.inName, task.outName, task.exe, task.cmd,
               nParArg, bParFlag, empty, 0);
  else
    Analysis(analysisPoints, analysisOutputs, task.inName, task.outName, task.exe, task.cmd, bFlag, nSerialArg, -1);
}

// Per design point p < P: the constraint and objective values from its
// folded responses (column p of designResponses), and the column rewritten
// as the host's nResps-entry response vector with the linked and synthetic
// responses it recomputes.
void EvaluateDesignPoints(CDB& db, int P, int nResps, CMatrix<double>& designResponses,
                          std::valarray<double>& objective, std::valarray<double>& constraint) {
  std::valarray<double> workResps(0.0, std::size_t(nResps));
  for (int p = 0; p < P; ++p) {
    ExtractIndResp(p, designResponses, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry, db.m_vIndResps);
    EvalResponses(db);
    constraint[std::size_t(p)] = EvalConstr(
        db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vIndResps, db.m_vLinkResps, db.m_vSynthResps, db.m_vConBound,
        db.m_vConScale, db.m_vConSide, db.m_vConTarget, db.m_vConSubjectIndex, db.m_vConSubjectType);
    objective[std::size_t(p)] = EvalObj(db.m_vIndDVs, db.m_vLinkDVs, db.m_vSynthDVs, db.m_vIndResps, db.m_vLinkResps,
                                        db.m_vSynthResps, db.m_vObjSubjectIndex, db.m_vObjSubjectType, db.m_vObjFunc,
                                        db.m_vObjCoef, db.m_vObjSense, db.m_vObjScale, db.m_vObjOffset);
    workResps = 0.0;
    SetRVector(db.m_vIndResps, db.m_vLinkResps, db.m_vSynthResps, db.m_vRespIndexOfEntry, db.m_vRespTypeOfEntry,
               workResps);
    designResponses.ReplaceCol(p, workResps);
  }
}

}  // namespace

void AdjustRespsMatrices(CDB* pDB, CMatrix<double>& analysisPoints, CMatrix<double>& designPoints,
                         CMatrix<double>& analysisOutputs, CMatrix<double>& designResponses,
                         int nSamplePointsOverride) {
  rbo::Guarded(rbo::kUnitRandRespModules, kLineGuardAdjustResps, [&] {
    rbo::RequireDatabase(pDB, rbo::kUnitRandRespModules, __LINE__);
    rbo::ResponseTablesState& tables = rbo::TheProcessState().responseTables;
    tables.CreateOnce();

    CDB& db = *pDB;
    const int nRandVars = int(db.m_nRandVars);
    const int nRandResps = int(db.m_nRandRespsPlus1) - 1;
    if (nRandVars < 1 || nRandResps < 1) {
      designResponses = analysisOutputs;
      return;
    }
    if (tables.s_bFirstRespsCall) {
      FillTables(tables, db, nRandVars, nRandResps);
      tables.s_bFirstRespsCall = false;
    }

    rbo::CheckRandRespNumbers(db.m_vEntryRandRespNumber, db.m_vRespRole, tables.s_randResps->size(), __LINE__);
    int nMethod = 0, nSamplePoints = 0;
    GetRBOMethodNSamplePoints(&nMethod, &nSamplePoints);
    if (nSamplePointsOverride >= 1) nSamplePoints = nSamplePointsOverride;
    FoldByMethod(pDB, tables, nMethod, nSamplePoints, analysisPoints, designPoints, analysisOutputs, designResponses);
  });
}

void AnalysisVerif(CDB* pDB, CMatrix<double>& indDVs, std::valarray<double>& adjustA, std::valarray<double>& adjustB,
                   int nParallel, int nAnalysisFlag, int nParArg, int nSerialArg, std::string& parName1,
                   std::string& parName2, std::valarray<double>& objective, std::valarray<double>& constraint,
                   CMatrix<double>& designPoints, CMatrix<double>& designResponses, bool bParFlag) {
  rbo::Guarded(rbo::kUnitRandRespModules, kLineGuardAnalysisVerif, [&] {
    rbo::RequireDatabase(pDB, rbo::kUnitRandRespModules, __LINE__);
    CDB& db = *pDB;
    AnalysisTask task = ReadAnalysisTask(db);

    const int P = indDVs.Cols();
    const int nDVs = int(db.m_nIndDVs + db.m_nLinkDVs + db.m_nSynthDVs + db.m_nGroup3DVs);
    const int nResps = int(db.m_nIndResps + db.m_nLinkResps + db.m_nSynthResps);
    designPoints = CMatrix<double>(nDVs, P);
    designResponses = CMatrix<double>(nResps, P);
    objective.resize(std::size_t(P), 0.0);
    constraint.resize(std::size_t(P), 0.0);
    AssembleDesignPoints(db, indDVs, designPoints);

    CMatrix<double> analysisPoints, analysisOutputs;
    AdjustDVsMatrices(pDB, designPoints, designResponses, analysisPoints, analysisOutputs, false);
    RunAnalysis(task, nParallel == 1, nAnalysisFlag == 1, nParArg, nSerialArg, bParFlag, parName1, parName2,
                analysisPoints, analysisOutputs);
    AdjustRespsMatrices(pDB, analysisPoints, designPoints, analysisOutputs, designResponses, -1);
    AdjustConstrBoundsResps(pDB, adjustA, adjustB);
    EvaluateDesignPoints(db, P, nResps, designResponses, objective, constraint);
  });
}

void GetRBOVersion(int* pnMajor, int* pnMinor, int* pnPatch) {
  *pnMajor = RBO_VERSION_MAJOR;
  *pnMinor = RBO_VERSION_MINOR;
  *pnPatch = RBO_VERSION_PATCH;
}
