// The analysis as muparser expressions of the model variables.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "rbo/host/ProblemBuilder.h"

namespace rbo::problem {

/// A model function that computes response k as expressions[k], an
/// expression over the model variables (by name) and the responses before
/// k (by name), in that order.  Safe to call on several threads: each thread
/// parses its own copy once.  The expressions must have passed
/// CheckExpression.
refhost::ModelFunction ExpressionModel(const std::vector<std::string>& variableNames,
                                       const std::vector<std::string>& responseNames,
                                       const std::vector<std::string>& expressions);

/// The model of ExpressionModel on many points at once (the same parsers,
/// point after point, found once per call): column j of x holds the model
/// variables of point j, column j of y (resized to responses x points)
/// receives the very doubles that ExpressionModel gives point j.  It does not report failures: a value
/// that is not finite stays in y (the responses after it are computed from
/// it), and an evaluation error throws without naming the point; the caller
/// analyses such points with ExpressionModel, which reports them.  Safe to
/// call on several threads, as ExpressionModel.
refhost::BatchModelFunction ExpressionBulkModel(const std::vector<std::string>& variableNames,
                                                const std::vector<std::string>& responseNames,
                                                const std::vector<std::string>& expressions);

/// Both forms over one parsed set of expressions, so that each thread
/// parses the expressions once for both.
struct ExpressionModels {
  refhost::ModelFunction point;       ///< ExpressionModel
  refhost::BatchModelFunction batch;  ///< ExpressionBulkModel
};
ExpressionModels MakeExpressionModels(const std::vector<std::string>& variableNames,
                                      const std::vector<std::string>& responseNames,
                                      const std::vector<std::string>& expressions);

/// "" when the expression parses, uses only the given names and assigns to
/// none of them ('=' would change a variable for every later response);
/// otherwise a sentence saying what is wrong (the parser's message, the
/// unknown name, or the assignment).
std::string CheckExpression(const std::string& expression, const std::vector<std::string>& names);

/// "" when the expressions can use name as a variable; otherwise what stops
/// them (too long, or the parser's message).
std::string CheckExpressionName(const std::string& name);

/// The longest name the expressions accept.
std::size_t MaxExpressionNameLength();

/// True when name is a function or constant of the expression language
/// (sin, exp, _pi, ...), which a variable must not shadow.
bool IsExpressionBuiltin(const std::string& name);

}  // namespace rbo::problem
