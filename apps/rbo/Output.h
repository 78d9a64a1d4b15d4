// Results of `rbo run` as an aligned table, JSON and CSV.
#pragma once

#include <string>
#include <valarray>
#include <vector>

#include "Interval.h"
#include "Problem.h"
#include "rbo/foundation/Matrix.h"

namespace rboapp {

/// Statistics of one response at one design point.  A deterministic
/// response has only a value (in mean; sd and pof are 0).
struct ResponseStats {
  double mean = 0.0;  ///< mean, or the value of a deterministic response
  double sd = 0.0;    ///< standard deviation
  double pof = 0.0;   ///< probability of failure: of a value outside the response's bounds
};

/// One evaluated design point.
struct PointResult {
  std::valarray<double> design;          ///< the independent design variables
  double objective = 0.0;                ///< objective value
  double constraint = 0.0;               ///< largest scaled constraint violation (<= 0: feasible)
  std::vector<ResponseStats> responses;  ///< per response, in Problem::responses order
  double any = 0.0;                      ///< fraction of samples violating any bound
  double joint = 0.0;                    ///< fraction of samples with the joint-violation flag
};

/// Reads a point's statistics from its host response vector (a column of
/// the design-point response matrix, or the statistics vector of the
/// incremental update).
PointResult ExtractPoint(const Problem& problem, const std::valarray<double>& design,
                         const std::valarray<double>& entries);

/// "method 1 (Latin hypercube sampling), 20,000 samples per design point, seed 1"
std::string DescribeSettings(const Settings& s);

/// The results of `rbo run`: one column per design point.  A sampled POF
/// (methods 0, 1, 3, 4) comes with its 95% Wilson score interval; the
/// objective and the constraint value only when the problem has them.
std::string RunTable(const Problem& problem, const std::vector<PointResult>& points);
std::string RunJson(const Problem& problem, const std::vector<PointResult>& points);
std::string RunCsv(const Problem& problem, const std::vector<PointResult>& points);

/// The running statistics after one batch of `rbo run --until-converged`.
struct BatchRecord {
  int batch = 0;                      ///< 1-based batch number
  long long samples = 0;              ///< samples folded so far
  PointResult stats;                  ///< running statistics
  std::vector<Interval> pofInterval;  ///< per response: 95% interval of its POF (random responses)
};

/// The batches of one design point.
struct ConvergenceRecord {
  std::valarray<double> design;      ///< the design point
  std::vector<BatchRecord> batches;  ///< in order
  bool converged = false;            ///< stopped because the statistics settled
  std::string reason;                ///< why it stopped, one sentence
};

/// Table header and one row per batch, printed as the batches come.
std::string BatchHeader(const Problem& problem);
std::string BatchRow(const Problem& problem, const BatchRecord& batch);
std::string ConvergenceJson(const Problem& problem, const std::vector<ConvergenceRecord>& points, double tol,
                            long long budget);
std::string ConvergenceCsv(const Problem& problem, const std::vector<ConvergenceRecord>& points);

/// Throws std::runtime_error naming the statistic, the response and the
/// design point when a statistic, the objective or the constraint value of
/// the point is not a finite number (an overflow in the analysis' sums).
void CheckFinite(const Problem& problem, const PointResult& point, const std::string& where);

/// "R = 10, S = 5"
std::string DescribeDesign(const Problem& problem, const std::valarray<double>& design);

}  // namespace rboapp
