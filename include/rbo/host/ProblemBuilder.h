// refhost::ProblemBuilder: describe a problem by its variables, responses,
// constraints and objective, and get a consistent CDB instead of filling
// forty arrays by hand.
//
// Layout of the database it builds:
//
// Design-variable vector, one entry per definition, in the order of the
// Add... calls:
//   design variable           (20, i)                 deterministic
//   constant                  (23, j)                 deterministic
//   random design variable    (20, i) code -1, then (23, j) code -2: its mean
//                             is an independent design variable (the
//                             optimiser moves it), its standard deviation a
//                             constant
//   random parameter          (23, j) code -1, (23, j+1) code -2: mean and
//                             standard deviation are constants
// The analysis sees one "model variable" per definition, in the same order:
// the value of a deterministic entry, or the sampled value (or the mean) of
// a random variable.  This is exactly the library's analysis-input vector.
//
// Response vector, all entries in response group 0 (type 24, index = entry):
//   entry 0                   the fraction of samples violating any bound
//                             (random-response number 0, role -4).  It takes
//                             no analysis value and is not counted among the
//                             analysis-level responses, so the analysis
//                             response matrix has exactly one row per value
//                             the analysis computes.
//   deterministic response    one entry (number -1)
//   random response number k  three entries: mean (k, -1), standard
//                             deviation (k, -2), probability of failure (k, -3)
//   joint fraction            right after the first random response's three
//                             entries (number 1, role -5)
// The analysis computes one "model response" per Add...Response call, in
// call order: exactly the analysis-level response vector.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/Export.h"
#include "rbo/foundation/Matrix.h"
#include "rbo/host/DB.h"
#include "rbo/host/ReferenceHost.h"

namespace refhost {

/// A quantity of the database: its type code (20..26) and index in its group.
struct QuantityRef {
  int type;   ///< type code
  int index;  ///< index within the group
};

/// Entries of one response.
struct ResponseRef {
  int model;           ///< position among the model responses
  QuantityRef value;   ///< the value entry (the mean entry of a random response)
  QuantityRef stdDev;  ///< standard-deviation entry (random responses; else == value)
  QuantityRef pof;     ///< probability-of-failure entry (random responses; else == value)
};

/// The analysis as a function of the model variables, giving the model responses.
using ModelFunction = std::function<void(const std::valarray<double>& x, std::valarray<double>& y)>;

/// The analysis of many points at once: column j of x holds the model
/// variables of point j; y arrives sized model responses x points, filled
/// with NaN, and receives point j's model responses in column j.
using BatchModelFunction = std::function<void(const CMatrix<double>& x, CMatrix<double>& y)>;

class RBO_HOST_API ProblemBuilder {
 public:
  // ---- design variables; each returns the position among the model variables ----
  int AddDesignVariable(const std::string& name, double value);
  int AddConstant(const std::string& name, double value);
  /// A random variable whose mean is a design variable and whose standard deviation is fixed.
  int AddRandomDesignVariable(const std::string& name, int distribution, double mean, double stdDev);
  /// A random variable with fixed mean and standard deviation.
  int AddRandomParameter(const std::string& name, int distribution, double mean, double stdDev);

  // ---- responses ----
  ResponseRef AddResponse(const std::string& name);
  ResponseRef AddRandomResponse(const std::string& name);
  /// Entry of the fraction of samples violating any bound (always entry 0).
  static QuantityRef AnyFractionRef() { return {kTypeIndResp, 0}; }
  /// Entry of the joint-violation fraction; valid once a random response exists.
  QuantityRef JointFractionRef() const { return {kTypeIndResp, m_nJointEntry}; }

  // ---- constraints and objective ----
  /// subject <= bound (side > 0) or subject >= bound (side <= 0); violations are divided by scale.
  void AddConstraint(QuantityRef subject, int side, double bound, double scale = 1.0);
  /// objective += coef * subject (func 0) or coef * subject^2 (func 1).
  void AddObjectiveTerm(QuantityRef subject, double coef, int func = 0);
  /// +1 minimise (default), -1 maximise.
  void SetObjectiveSense(int sense);
  void SetConstraintTolerance(double tol);

  // ---- results ----
  std::unique_ptr<CDB> Build() const;
  /// The design variables' values as one design point (a column of the
  /// independent-variable matrix that AnalysisVerif takes).
  std::valarray<double> InitialPoint() const;
  /// Independent design-variable matrix with one column per point.
  CMatrix<double> DesignMatrix(const std::vector<std::valarray<double>>& points) const;
  /// Adapts a model function to the host's analysis: on the random path the
  /// analysis-input and analysis-response vectors are the model vectors; on
  /// the deterministic path (no random variable or no random response) it
  /// maps the full design-variable vector and fills the full response vector.
  AnalysisFunction Analysis(ModelFunction f) const;
  /// The same for a batch model function: the host's batch analysis
  /// (SetBatchAnalysis) in the layout Analysis describes, one column per point.
  BatchAnalysisFunction BatchAnalysis(BatchModelFunction f) const;

  int ModelVariableCount() const { return int(m_vVariables.size()); }
  int ModelResponseCount() const { return int(m_vResponses.size()); }
  int DesignVariableCount() const { return m_nIndDVs; }
  const std::vector<std::string>& ModelVariableNames() const { return m_vVariableNames; }
  const std::vector<std::string>& ModelResponseNames() const { return m_vResponseNames; }
  /// True when AnalysisVerif will take the random path for this problem.
  bool IsRandom() const;

 private:
  // The steps of Build(), one group of the database's members each.
  /// Design-variable groups 0 and 3, the design-variable map and the random variables.
  void FillDesignVariables(CDB& db) const;
  /// Response entries, their random-response numbers and roles.
  void FillResponses(CDB& db) const;
  /// Constraint definitions.
  void FillConstraints(CDB& db) const;
  /// Objective terms, sense, scale and offset.
  void FillObjective(CDB& db) const;

  enum class VarKind { kDesign, kConstant, kRandomDesign, kRandomParameter };
  struct Variable {
    VarKind kind;      ///< how the variable enters the design-variable vector
    int distribution;  ///< distribution type of a random variable
    double value;      ///< value, or mean of a random variable
    double stdDev;     ///< standard deviation of a random variable
    int dvIndex;       ///< index in group 0 (design / random design variables)
    int constIndex;    ///< first index in group 3
    int randVar;       ///< random-variable index, -1 when deterministic
  };
  struct Response {
    bool bRandom;  ///< a random response
    int entry;     ///< first entry in the response vector
    int number;    ///< random-response number (random responses)
  };
  struct Constraint {
    QuantityRef subject;  ///< constrained quantity
    int side;             ///< > 0 upper bound
    double bound;         ///< the bound
    double scale;         ///< divides a violation
  };
  struct ObjectiveTerm {
    QuantityRef subject;  ///< the quantity
    double coef;          ///< its coefficient
    int func;             ///< 0 value, 1 square
  };

  std::vector<Variable> m_vVariables;         ///< model variables in order
  std::vector<std::string> m_vVariableNames;  ///< their names
  std::vector<Response> m_vResponses;         ///< model responses in order
  std::vector<std::string> m_vResponseNames;  ///< their names
  std::vector<Constraint> m_vConstraints;     ///< constraints in order
  std::vector<ObjectiveTerm> m_vObjective;    ///< objective terms
  int m_nIndDVs = 0;                          ///< size of design-variable group 0
  int m_nConstants = 0;                       ///< size of design-variable group 3
  int m_nRandVars = 0;                        ///< number of random variables
  int m_nRandResps = 0;                       ///< number of random responses
  int m_nSense = 1;                           ///< objective sense
  int m_nEntries = 1;                         ///< response entries so far (entry 0 is the any fraction)
  int m_nJointEntry = -1;                     ///< entry of the joint fraction, -1 before the first random response
  double m_dConstrTol = 0.0;                  ///< constraint tolerance
};

}  // namespace refhost
