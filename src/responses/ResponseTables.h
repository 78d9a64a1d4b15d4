// Internal interface of the response methods.
#pragma once

#include <valarray>

#include "rbo/RandRespModules.h"
#include "rbo/RandVar.h"

class CDB;

namespace rbo {

/// Role codes of a response entry that belongs to a random response.
enum ResponseRole : int {
  kRoleMean = -1,           ///< the response's mean
  kRoleStdDev = -2,         ///< its standard deviation
  kRolePOF = -3,            ///< its probability of failure
  kRoleAnyFraction = -4,    ///< fraction of samples violating any bound of any response
  kRoleJointFraction = -5,  ///< fraction of samples with the joint-violation flag
};

/// Which random entries of a response map read their record.
enum class RecordReaders {
  kEveryRandomEntry,  ///< every entry with a number >= 0 and a role other than -4 or -5
  kStatisticRoles,    ///< only the entries with role -1, -2 or -3 (writing out statistics)
};

/// Rejects a response map whose random-response numbers do not name a
/// record: every entry that reads its record (see RecordReaders) must carry a
/// number from 1 to nRecords, and a role.  (The tables are filled once per
/// process; a later problem with more random responses would otherwise be
/// read past their end.)  Throws CInvalidArgument after a report.
void CheckRandRespNumbers(const std::valarray<int>& entryNumbers, const std::valarray<int>& roles, std::size_t nRecords,
                          int nLine, RecordReaders readers = RecordReaders::kEveryRandomEntry);

/// Fills the types, order indices and bounds of the random-response records
/// from the host's response entries and constraint definitions.
void ConstrBoundsIntoRandResps(std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                               std::valarray<int>& respIndexOfEntry, std::valarray<int>& respTypeOfEntry,
                               std::valarray<double>& conBound, std::valarray<double>& conScale,
                               std::valarray<int>& conSide, std::valarray<int>& conSubjectIndex,
                               std::valarray<int>& conSubjectType, std::valarray<CRandResp>& records);

/// Sample statistics (methods 0 and 1): one response column per design point.
void RandRespsFromSamples(CDB* pDB, int nSamples, std::valarray<int>& inputRandVar, std::valarray<int>& entryNumbers,
                          std::valarray<int>& roles, CMatrix<double>& designPoints, CMatrix<double>& analysisPoints,
                          CMatrix<double>& analysisOutputs, std::valarray<CRandResp>& records,
                          CMatrix<double>& designResponses);

/// The design-variable and response vectors of each group: the work
/// storage of RespsArrayAnalysisIntoOrvo.
struct ResponseGroupVectors {
  std::valarray<double> dv0, dv1, dv2, dv3, resp0, resp1, resp2;
};

/// RespsArrayAnalysisIntoOrvo with the caller's work storage.
void RespsIntoOrvoWith(CDB* pDB, ResponseGroupVectors& groups, std::valarray<double>& inputs,
                       std::valarray<double>& analysisResps, std::valarray<int>& entryNumbers,
                       std::valarray<double>& entries);

/// Adds one sample point into the records' running sums and the joint/any
/// counters; leaves the sample's full response vector in entries.  groups
/// is work storage for the response vector.
void AddSampleIntoRandResps(CDB* pDB, ResponseGroupVectors& groups, std::valarray<double>& designVariables,
                            std::valarray<double>& analysisResps, std::valarray<int>& entryNumbers,
                            std::valarray<int>& roles, std::valarray<CRandResp>& records, double* pdJointCount,
                            double* pdAnyCount, std::valarray<double>& entries);

}  // namespace rbo
