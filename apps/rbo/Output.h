// Results of `rbo run` as aligned console tables.  The JSON and CSV files
// come from the problem layer (rbo/problem/ResultText.h).
#pragma once

#include <string>
#include <vector>

#include "rbo/problem/Problem.h"
#include "rbo/problem/Result.h"
#include "rbo/problem/Run.h"

namespace rboapp {

using rbo::problem::BatchRecord;
using rbo::problem::PointResult;
using rbo::problem::Problem;
using rbo::problem::ReliabilityDetail;
using rbo::problem::ResponseResult;

/// The results of `rbo run`: one column per design point.  A sampled POF
/// (methods 0, 1, 3, 4) comes with its 95% Wilson score interval; the
/// objective and the constraint value only when the problem has them.
std::string RunTable(const Problem& problem, const std::vector<PointResult>& points);

/// The importance factors of every response a reliability method gave them,
/// per design point: a small bar table with the design point ("" when none).
std::string ImportanceTables(const std::vector<PointResult>& points);

/// Why a POF is missing or imprecise, one line per response ("" when all
/// are complete).
std::string ReliabilityNotes(const std::vector<PointResult>& points);

/// Table header and one row per batch of `rbo run --until-converged`,
/// printed as the batches come.
std::string BatchHeader(const Problem& problem);
std::string BatchRow(const Problem& problem, const BatchRecord& batch);

}  // namespace rboapp
