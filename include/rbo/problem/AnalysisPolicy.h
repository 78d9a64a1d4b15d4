// How the problem's analyses run: the failure policy (stop, retry, skip)
// and where the columns of an analysis matrix are analysed (in this
// process, or handed to a dispatcher that spreads them over other
// processes).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rbo/foundation/Matrix.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Problem.h"

namespace rbo::problem {

/// Extra attempts of a failed analysis under "retry" when none are given.
constexpr int kDefaultRetries = 2;
/// Most extra attempts a failure policy may ask for.
constexpr int kMaxRetries = 100;

/// "stop", "retry" or "skip" as a FailureAction code; -1 for anything else.
int ParseFailureAction(const std::string& text);

/// "stop", "retry" or "skip".
const char* FailureActionName(FailureAction action);

/// One line for the settings: "on failure: retry 2 times", ...
std::string DescribeFailurePolicy(const FailurePolicy& policy);

/// Why this problem's method cannot skip failed analyses, or "" when it can
/// (or the policy does not skip).  Skipping leaves points out of a sample,
/// which only the sampling methods 0 and 1 (montecarlo, lhs) of `rbo run`
/// can do: their statistics are folded from the sample that succeeded.
std::string SkipRefusal(const Problem& p);

/// The refusal of the optimisers: an optimiser compares designs, and
/// statistics over different subsets of a sample would not compare.  ""
/// unless the policy skips.
std::string OptimizeSkipRefusal(const Problem& p);

/// The model analysed again, up to `retries` more times, when it throws or
/// leaves an output that is not finite; the last failure is passed on with
/// the number of attempts.
refhost::ModelFunction RetryingModel(refhost::ModelFunction model, int retries);

/// The problem's model with its failure policy's retries.
refhost::ModelFunction PolicyModel(const Problem& p);

/// What a column of an analysis matrix holds.
enum class ColumnKind : int {
  kAnalysis = 0,  ///< an analysis point of the library's analysis-point matrix (ProblemBuilder::Analysis layout)
  kModel = 1,     ///< the model variables (Problem::variables order); outputs: the model responses
};

/// Analyses the columns of inputs into the same columns of outputs (rows:
/// the outputs' rows) in this process, with the policy's retries, on
/// Settings::workers threads when Settings::parallel.  Column 0 is analysis
/// point nFirstColumn in messages.  pFailures as for
/// refhost::AnalyseColumnsKeepingFailures (null: the first failure throws).
void AnalyseHere(const Problem& p, ColumnKind kind, const CMatrix<double>& inputs, CMatrix<double>& outputs,
                 int nFirstColumn, std::vector<std::string>* pFailures);

/// Analyses columns elsewhere, with the contract of AnalyseHere (nFirstColumn 0).
using ColumnDispatcher = std::function<void(ColumnKind kind, const CMatrix<double>& inputs, CMatrix<double>& outputs,
                                            std::vector<std::string>* pFailures)>;

/// Makes every analysis of the problem layer go through d (an empty
/// function: back to this process).  The programs that spread analyses
/// over processes set it for the length of a command.
void SetColumnDispatcher(ColumnDispatcher d);

/// Through the dispatcher when one is set, else AnalyseHere.
void AnalyseColumnsOf(const Problem& p, ColumnKind kind, const CMatrix<double>& inputs, CMatrix<double>& outputs,
                      std::vector<std::string>* pFailures);

/// The dispatcher set, or an empty function.
ColumnDispatcher CurrentColumnDispatcher();

}  // namespace rbo::problem
