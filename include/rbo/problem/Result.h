// rbo::problem::PointResult: one design point as the library judged it, the
// one result model of every evaluation (a run, a batch of a run until the
// statistics settle, every point an optimisation proposes, its optimum and
// the optimum's verification).
#pragma once

#include <optional>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/problem/Interval.h"
#include "rbo/problem/Problem.h"

namespace rbo::problem {

/// Statistics of one response at one design point.  A deterministic
/// response has only a value (in mean; sd and pof are 0).
struct ResponseResult {
  std::string name;               ///< as in the problem file
  bool random = false;            ///< statistics (mean, sd, POF) are computed for it
  bool bounded = false;           ///< it has a bound: its POF counts values beyond them
  double mean = 0.0;              ///< mean, or the value of a deterministic response
  double sd = 0.0;                ///< standard deviation
  double pof = 0.0;               ///< probability of failure: of a value outside the response's bounds
  std::optional<Interval> pof95;  ///< 95% Wilson score interval of a POF that is a fraction of samples
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
