// The results of the layer as JSON and CSV text: the documents that
// `rbo run --out` and `rbo optimize --out` write, and that other faces of the
// layer give in the same structure.
#pragma once

#include <string>
#include <vector>

#include "rbo/problem/Problem.h"
#include "rbo/problem/Result.h"
#include "rbo/problem/Run.h"

namespace rbo::problem {

/// The design points of EvaluatePoints: the settings, then per point its
/// design, objective, constraint value and per response its statistics (a
/// sampled POF with its 95% interval "pof_95").
std::string RunJson(const Problem& problem, const std::vector<PointResult>& points);
/// The same, one CSV row per design point.
std::string RunCsv(const Problem& problem, const std::vector<PointResult>& points);

/// The batches of RunUntilConverged per design point.
std::string ConvergenceJson(const Problem& problem, const std::vector<ConvergenceRecord>& points, double tol,
                            long long budget);
/// The same, one CSV row per batch.
std::string ConvergenceCsv(const Problem& problem, const std::vector<ConvergenceRecord>& points);

/// "method 1 (Latin hypercube sampling), 20,000 samples per design point, seed 1"
std::string DescribeSettings(const Settings& s);
/// "method is (importance sampling at the design points), target c.o.v. 0.05, ..."
std::string DescribeReliabilitySettings(const Settings& s);

/// "12,345"
std::string Thousands(long long n);

}  // namespace rbo::problem
