// Internal interface of the response-surface methods (RBO methods 2, 3, 4)
// and the pieces they share: the mean entries, the regression rows, the
// polynomial fit and its evaluation.
#pragma once

#include <valarray>
#include <vector>

#include "foundation/ProcessState.h"
#include "rbo/RandRespModules.h"
#include "rbo/RandVar.h"

class CDB;

namespace rbo {

/// Method 2 with regression data kept for the life of the library.
void AdjustRespsByApprox(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                         std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                         std::valarray<int>& entryNumbers, std::valarray<int>& roles, std::valarray<CRandVar>& randVars,
                         std::valarray<CRandResp>& randResps, CMatrix<double>& designResponses);

/// Method 2 following the host optimiser's restart cycle.
void AdjustRespsByApproxRestart(CDB* pDB, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                                std::valarray<int>& inputRandVar, std::valarray<int>& inputParamCode,
                                std::valarray<int>& entryNumbers, std::valarray<int>& roles,
                                std::valarray<CRandVar>& randVars, std::valarray<CRandResp>& randResps,
                                CMatrix<double>& designResponses);

/// Methods 3 (Monte Carlo) and 4 (Latin hypercube) on a response surface.
void AdjustRespsBySampling(CDB* pDB, int nMethod, int nSamples, CMatrix<double>& designPoints,
                           CMatrix<double>& analysisOutputs, std::valarray<int>& inputRandVar,
                           std::valarray<int>& inputParamCode, std::valarray<int>& entryNumbers,
                           std::valarray<int>& roles, std::valarray<CRandVar>& randVars,
                           std::valarray<CRandResp>& randResps, CMatrix<double>& designResponses);

/// y[c] = sum_t K(t, c) * prod_i pow(u[i], E(i, t)) for every output c
/// (y's length fixes the number of outputs).  Each term is formed from
/// K(t, c) multiplied by the variables' powers in index order.
void EvalApproxPolynomial(std::valarray<double>& u, CMatrix<double>& K, CMatrix<int>& E, std::valarray<double>& y);

/// The polynomial of (K, E) prepared for many evaluations: the variables
/// with a nonzero exponent in each term are listed once, so that an
/// evaluation forms each power once and multiplies only by the factors that
/// are not 1.  Bit for bit the same as EvalApproxPolynomial (multiplying by
/// 1.0 is exact, and the remaining factors keep their index order).
class CompiledPolynomial {
 public:
  CompiledPolynomial(const CMatrix<double>& K, const CMatrix<int>& E, int nVars);
  /// y[c] for every output c < y.size(); u has one value per variable.
  void Eval(const std::valarray<double>& u, std::valarray<double>& y);

 private:
  struct Factor {
    int nVar;  ///< variable index
    int nExp;  ///< its exponent (>= 1)
  };
  const CMatrix<double>& m_K;         ///< coefficients, terms x outputs
  std::vector<Factor> m_vFactors;     ///< nonzero-exponent factors of every term, term after term
  std::vector<std::size_t> m_vStart;  ///< first factor of term t; m_vStart[T] = number of factors
  std::vector<double> m_vPowers;      ///< the factors' powers at the current point
};

/// Number of mean entries: random entries (number >= 0) with role -1.
int CountMeanEntries(const std::valarray<int>& entryNumbers, const std::valarray<int>& roles);

/// Working vectors and regression data of one response-surface call.
struct RegressionInputs {
  CDB* pDB;                             ///< the host database
  std::valarray<int>* pInputRandVar;    ///< random-variable index per analysis input
  std::valarray<int>* pInputParamCode;  ///< parameter code per analysis input
  std::valarray<int>* pEntryNumbers;    ///< random-response number per response entry
  std::valarray<int>* pRoles;           ///< role per response entry
  std::valarray<CRandVar>* pRandVars;   ///< the process-wide random variables
};

/// Loads design point x into the random variables, spreads its analysis
/// responses y into the host response vector r, and appends the regression
/// row: the variables' actual means to X, the mean entries' values to Y.
void AppendRegressionRow(const RegressionInputs& in, std::valarray<double>& x, std::valarray<double>& y,
                         std::valarray<double>& r, CMatrix<double>& X, CMatrix<double>& Y);

/// AppendRegressionRow for every design point j: column j of designPoints
/// and of analysisOutputs.
void AppendRegressionRows(const RegressionInputs& in, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                          CMatrix<double>& X, CMatrix<double>& Y);

/// Outcome of a fit.  A failed fit has been reported in the log and is not
/// an exception: the caller returns leaving its outputs as they were.
enum class FitOutcome { kFitted, kNoModel, kRankDeficient };

/// Fits the polynomial surface Y ~ X with the first order code of `orders`
/// that the host's model builder accepts: E and A receive the model, K
/// (terms x columns of Y) the coefficients.  Dumps A, Y and K when the log
/// level is above 1.
FitOutcome FitResponseSurface(const std::vector<int>& orders, int nRandVars, CMatrix<double>& X, CMatrix<double>& Y,
                              CMatrix<int>& E, CMatrix<double>& A, CMatrix<double>& K);

/// Adds the batch's design points to a method's regression data and fits the
/// surface (orders 3, 2, 1, 0) through all of it.  False when the fit
/// failed (reported in the log).
bool ExtendAndFit(const RegressionInputs& in, CMatrix<double>& designPoints, CMatrix<double>& analysisOutputs,
                  int nRandVars, RegressionDataSet& data, CMatrix<int>& E, CMatrix<double>& A, CMatrix<double>& K);

}  // namespace rbo
