// The host's design database.
//
// A CDB reaches every entry point of the library as CDB*.  The library reads
// its members and writes only the value arrays that the analysis driver
// names as outputs and the design-point flags.  Every member is public: a
// host (or a test) fills them directly; the reference host's ProblemBuilder
// fills a consistent set.
//
// Type codes of the reference host:
//   design-variable groups 0 (independent), 1 (linked), 2 (synthetic), 3: 20, 21, 22, 23
//   response groups 0 (independent), 1 (linked), 2 (synthetic):          24, 25, 26
#pragma once

#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/Export.h"
#include "rbo/foundation/OrvoErr.h"
#include "rbo/host/ValueTypes.h"

/// Type codes of the design-variable and response groups.
enum HostTypeCode : int {
  kTypeIndDV = 20,
  kTypeLinkDV = 21,
  kTypeSynthDV = 22,
  kTypeGroup3DV = 23,
  kTypeIndResp = 24,
  kTypeLinkResp = 25,
  kTypeSynthResp = 26,
};

/// The host's parameter block.
struct RBO_HOST_API CParams {
  double m_dConstrTol = 0.0;  ///< a scaled violation above this counts as a violation
};

/// The analysis task: files and program of an external analysis.
class RBO_HOST_API CTask {
 public:
  std::string GetIn() const;      ///< file the analysis inputs are written to
  std::string GetOut() const;     ///< file the analysis outputs are read from
  std::string GetExe() const;     ///< analysis executable
  std::string GetExeCmd() const;  ///< command line of the executable

  std::string m_strIn;      ///< input file name
  std::string m_strOut;     ///< output file name
  std::string m_strExe;     ///< executable
  std::string m_strExeCmd;  ///< command
};

class RBO_HOST_API CDB {
 public:
  CDB();
  ~CDB();
  CDB(const CDB&) = delete;
  CDB& operator=(const CDB&) = delete;

  /// The optimiser's method setting for the current optimiser kind: kinds 0
  /// and 1 choose their A or B setting by m_nMethodSelect; kinds 2 to 4 have
  /// none (a value that is never 2).  Any other kind throws CInvalidType.
  int GetOptMethod() const {
    static constexpr int kSourceLine = 108;
    switch (int(m_optimizerKind)) {
      case 0:
        return m_nMethodSelect > 0u ? int(m_optMethod0A) : int(m_optMethod0B);
      case 1:
        return m_nMethodSelect > 0u ? int(m_optMethod1A) : int(m_optMethod1B);
      case 2:
      case 3:
      case 4:
        return -1;
      default:
        throw CInvalidType("DB", kSourceLine);
    }
  }

  /// The optimiser's correction method (2 selects the gradient-correction cycle).
  int GetKorrMethod() const;

  // ---- parameters ----
  CParams* m_pParams;  ///< parameter block, owned by the database

  // ---- design variables: values per group ----
  std::valarray<double> m_vIndDVs;     ///< group 0, independent
  std::valarray<double> m_vLinkDVs;    ///< group 1, linked
  std::valarray<double> m_vSynthDVs;   ///< group 2, synthetic
  std::valarray<double> m_vGroup3DVs;  ///< group 3
  vbUINT32 m_nIndDVs;                  ///< size of group 0
  vbUINT32 m_nLinkDVs;                 ///< size of group 1
  vbUINT32 m_nSynthDVs;                ///< size of group 2
  vbUINT32 m_nGroup3DVs;               ///< size of group 3

  // ---- design-variable vector: per entry ----
  std::valarray<int> m_vDVIndexOfInput;  ///< index within its group
  std::valarray<int> m_vDVTypeOfInput;   ///< type code of its group (20..23)
  std::valarray<int> m_vInputRandVar;    ///< random-variable index, negative: deterministic
  std::valarray<int> m_vInputParamCode;  ///< 0..3 Param1..Param4, -1 actual mean, -2 actual std. dev.

  // ---- design-variable links: per linked quantity ----
  std::valarray<int> m_vDVLinkFunc;                  ///< index into the shared link functions
  std::vector<std::vector<int>> m_vvDVLinkArgIndex;  ///< arguments: index within their group
  std::vector<std::vector<int>> m_vvDVLinkArgType;   ///< arguments: type code of their group

  // ---- design-variable synthetics: per synthetic quantity ----
  std::valarray<int> m_vDVSynthFunc;                  ///< index into the shared synthetic functions
  std::vector<std::vector<int>> m_vvDVSynthArgIndex;  ///< arguments: index within their group
  std::vector<std::vector<int>> m_vvDVSynthArgType;   ///< arguments: type code of their group
  std::vector<std::vector<int>> m_vvDVSynthArgSlot;   ///< arguments: variable x<slot> of the expression

  // ---- random variables ----
  vbUINT32 m_nRandVars;                     ///< number of random variables
  std::valarray<int> m_vDistTypeOfRandVar;  ///< distribution type per random variable (0..3)

  // ---- responses: values per group ----
  std::valarray<double> m_vIndResps;    ///< group 0, independent
  std::valarray<double> m_vLinkResps;   ///< group 1, linked
  std::valarray<double> m_vSynthResps;  ///< group 2, synthetic
  vbUINT32 m_nIndResps;                 ///< size of group 0
  vbUINT32 m_nLinkResps;                ///< size of group 1
  vbUINT32 m_nSynthResps;               ///< size of group 2

  // ---- response vector: per entry ----
  std::valarray<int> m_vRespIndexOfEntry;     ///< index within its group
  std::valarray<int> m_vRespTypeOfEntry;      ///< type code of its group (24..26)
  std::valarray<int> m_vEntryRandRespNumber;  ///< 1-based random-response number, negative: not random
  std::valarray<int> m_vRespRole;             ///< -1 mean, -2 std. dev., -3 POF, -4 any, -5 joint fraction
  vbUINT32 m_nRandRespsPlus1;                 ///< number of random responses plus one

  // ---- response links and synthetics (as for design variables) ----
  std::valarray<int> m_vRespLinkFunc;                   ///< index into the shared link functions
  std::vector<std::vector<int>> m_vvRespLinkArgIndex;   ///< arguments: index within their group
  std::vector<std::vector<int>> m_vvRespLinkArgType;    ///< arguments: type code of their group
  std::valarray<int> m_vRespSynthFunc;                  ///< index into the shared synthetic functions
  std::vector<std::vector<int>> m_vvRespSynthArgIndex;  ///< arguments: index within their group
  std::vector<std::vector<int>> m_vvRespSynthArgType;   ///< arguments: type code of their group
  std::vector<std::vector<int>> m_vvRespSynthArgSlot;   ///< arguments: variable x<slot> of the expression

  // ---- shared link and synthetic functions ----
  std::vector<int> m_vLinkFuncCode;               ///< per link function: 0 linear combination
  std::vector<std::vector<double>> m_vvLinkCoef;  ///< per link function: c0 + c1*a1 + c2*a2 + ...
  std::vector<int> m_vSynthFuncCode;              ///< per synthetic function: 0 expression
  std::vector<std::string> m_vSynthExpr;          ///< per synthetic function: expression in x0, x1, ...

  // ---- objective: per term ----
  std::valarray<int> m_vObjSubjectIndex;  ///< index of the quantity within its group
  std::valarray<int> m_vObjSubjectType;   ///< type code of the quantity (20..26)
  std::valarray<int> m_vObjFunc;          ///< 0 the value, 1 its square
  std::valarray<double> m_vObjCoef;       ///< coefficient of the term
  std::valarray<int> m_vObjSense;         ///< per objective: 1 minimise, -1 maximise (element 0 used)
  std::valarray<double> m_vObjScale;      ///< per objective: divides the sum (element 0 used)
  std::valarray<double> m_vObjOffset;     ///< per objective: added to the sum (element 0 used)

  // ---- constraints: per constraint ----
  std::valarray<double> m_vConBound;      ///< the bound
  std::valarray<double> m_vConScale;      ///< scale dividing a violation
  std::valarray<double> m_vConTarget;     ///< nominal value of the constrained quantity (reporting only)
  std::valarray<int> m_vConSide;          ///< > 0 upper bound, otherwise lower bound
  std::valarray<int> m_vConSubjectIndex;  ///< index of the constrained quantity within its group
  std::valarray<int> m_vConSubjectType;   ///< type code of the constrained quantity

  // ---- analysis and optimiser ----
  CTask m_task;              ///< the analysis task
  vbINT32 m_optimizerKind;   ///< 0..4; chooses the variant of the approximation method
  vbUINT32 m_nMethodSelect;  ///< > 0 selects the A settings of kinds 0 and 1
  vbINT32 m_optMethod0A;     ///< method setting A of optimiser kind 0
  vbINT32 m_optMethod0B;     ///< method setting B of optimiser kind 0
  vbINT32 m_optMethod1A;     ///< method setting A of optimiser kind 1
  vbINT32 m_optMethod1B;     ///< method setting B of optimiser kind 1

  // ---- per batch ----
  std::valarray<bool> m_vbDesignPointFlags;  ///< one flag per design point, cleared by the expansion
  vbINT32 m_nStoreKey;                       ///< key of this problem's records in the object store

  // ---- optimiser cycle (shared by every database of the process) ----
  static int m_nGradsCalc;                  ///< 0 or -1 on calls that refit the approximation
  static bool m_bIsRestartForDGOMeanValue;  ///< restart with the stored analysed responses
  static int s_nKorrMethod;                 ///< value GetKorrMethod() reports

 private:
  std::unique_ptr<CParams> m_params;  ///< storage behind m_pParams
};
