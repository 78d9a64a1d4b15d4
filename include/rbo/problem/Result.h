// rbo::problem::PointResult: one design point as the library judged it, the
// one result model of every evaluation (a run, a batch of a run until the
// statistics settle, every point an optimisation proposes, its optimum and
// the optimum's verification).
#pragma once

#include <limits>
#include <optional>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/problem/Interval.h"
#include "rbo/problem/Problem.h"

namespace rbo::problem {

/// A value per random variable, by name.
struct NamedValue {
  std::string name;
  double value = 0.0;
};

/// What a reliability method (FORM, SORM, importance sampling, subset
/// simulation) found for one bounded random response.
struct ReliabilityDetail {
  /// Reliability index: -Phi^-1(pof) (for one bound under FORM, the distance
  /// of the design point from the origin of standard space).  NaN without a POF.
  double beta = std::numeric_limits<double>::quiet_NaN();
  std::optional<double> cov;  ///< coefficient of variation of a simulated POF
  /// The design point of the bound that dominates the POF, in physical
  /// values of the random variables; empty when the method finds none.
  std::vector<NamedValue> designPoint;
  std::vector<NamedValue> importance;  ///< importance factors at that design point (sum to 1)
  std::optional<double> formPof;       ///< SORM: the FORM POF it corrects
  std::optional<double> breitung;      ///< SORM: Breitung's POF
  std::optional<double> tvedt;         ///< SORM: Tvedt's POF (the one reported as pof)
  std::optional<double> hohenbichler;  ///< SORM: Hohenbichler and Rackwitz's POF
  long long analyses = 0;              ///< analyses spent on this response
  /// Why the POF is missing (a search that did not converge) or less
  /// precise than asked (a simulation that ran out of analyses); "" when
  /// neither.
  std::string note;
  bool complete = true;  ///< false when the POF is missing or missed its target c.o.v.
};

/// Statistics of one response at one design point.  A deterministic
/// response has only a value (in mean; sd and pof are 0).  Under the
/// reliability methods the mean is the response at the means of the random
/// variables and sd is not computed (NaN).
struct ResponseResult {
  std::string name;                              ///< as in the problem file
  bool random = false;                           ///< statistics (mean, sd, POF) are computed for it
  bool bounded = false;                          ///< it has a bound: its POF counts values beyond them
  double mean = 0.0;                             ///< mean, or the value of a deterministic response
  double sd = 0.0;                               ///< standard deviation
  double pof = 0.0;                              ///< probability of failure: of a value outside the response's bounds
  std::optional<Interval> pof95;                 ///< 95% Wilson score interval of a POF that is a fraction of samples
  std::optional<ReliabilityDetail> reliability;  ///< the reliability methods' findings (bounded random responses)
};

/// One evaluated design point.
struct PointResult {
  std::valarray<double> design;  ///< the independent design variables, in Problem::designVariables order
  double objective = 0.0;        ///< objective value
  double constraint = 0.0;       ///< largest scaled constraint violation (<= 0: feasible)
  std::vector<double>
      constraints;  ///< scaled violation of each constraint, in Problem::constraints order (may be empty)
  std::vector<ResponseResult> responses;  ///< per response, in Problem::responses order
  double any = 0.0;                       ///< fraction of samples violating any bound
  double joint = 0.0;                     ///< fraction of samples with the joint-violation flag
  std::optional<double> anyCov;           ///< reliability methods: c.o.v. of the any-violation probability
  long long analyses = 0;                 ///< analyses spent on this design point
  long long skipped = 0;                  ///< analyses that failed and were left out (failure policy skip)
  /// False when a reliability method could not give every POF (a search that
  /// did not converge) or missed its target c.o.v.; the notes of the
  /// responses say why.
  bool complete = true;
};

/// Reads a point's statistics from its host response vector (a column of
/// the design-point response matrix, or the statistics vector of the
/// incremental update).  samples > 0: the POFs are fractions of that many
/// samples and get their 95% interval.
PointResult ExtractPoint(const Problem& problem, const std::valarray<double>& design,
                         const std::valarray<double>& entries, double samples);

/// Sets the 95% interval of every random response's POF as a fraction of
/// samples (none when samples <= 0).
void SetPofIntervals(PointResult& point, double samples);

/// Throws EvaluationError naming the statistic, the response and the design
/// point when a statistic, the objective or a constraint value of the point
/// is not a finite number (an overflow in the analysis' sums).  where:
/// "design point 2", "a design point the optimiser proposed".
void CheckFinite(const Problem& problem, const PointResult& point, const std::string& where);

/// "R = 10, S = 5"
std::string DescribeDesign(const Problem& problem, const std::valarray<double>& design);

/// True when the problem has a random response.
bool HasRandomResponse(const Problem& problem);

}  // namespace rbo::problem
