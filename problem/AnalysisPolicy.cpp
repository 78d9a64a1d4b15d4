// The failure policy of the analyses and the seam through which their
// columns can be analysed in other processes (AnalysisPolicy.h).
#include "rbo/problem/AnalysisPolicy.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Reliability.h"

namespace rbo::problem {
namespace {

std::mutex s_dispatcherMutex;   // guards s_dispatcher
ColumnDispatcher s_dispatcher;  // set by SetColumnDispatcher

bool AllFinite(const std::valarray<double>& y) {
  for (double v : y)
    if (!std::isfinite(v)) return false;
  return true;
}

std::string Attempts(int n) { return std::to_string(n) + (n == 1 ? " attempt" : " attempts"); }

// The model in the model-variable layout, checking the sizes as
// ProblemBuilder::Analysis does for the analysis-point layout.
refhost::AnalysisFunction ModelColumns(refhost::ModelFunction model, std::size_t nVars, std::size_t nResps) {
  return [model = std::move(model), nVars, nResps](const std::valarray<double>& x, std::valarray<double>& y) {
    if (x.size() != nVars || y.size() != nResps)
      throw std::invalid_argument("model called with " + std::to_string(x.size()) + " inputs and " +
                                  std::to_string(y.size()) + " outputs; the problem has " + std::to_string(nVars) +
                                  " model variables and " + std::to_string(nResps) + " model responses");
    model(x, y);
  };
}

// The bulk model in the layout of kind: the analysis-point layout, or the
// model-variable layout with the sizes checked.
refhost::BatchAnalysisFunction BulkColumns(const Problem& p, ColumnKind kind) {
  if (!p.bulkModel) return nullptr;
  if (kind == ColumnKind::kAnalysis) return p.builder.BatchAnalysis(p.bulkModel);
  const int nVars = int(p.variables.size()), nResps = int(p.responses.size());
  return [model = p.bulkModel, nVars, nResps](const CMatrix<double>& x, CMatrix<double>& y) {
    if (x.Rows() != nVars || y.Rows() != nResps)
      throw std::invalid_argument("bulk model called with " + std::to_string(x.Rows()) + " inputs and " +
                                  std::to_string(y.Rows()) + " outputs");
    model(x, y);
  };
}

}  // namespace

int ParseFailureAction(const std::string& text) {
  if (text == "stop") return int(FailureAction::kStop);
  if (text == "retry") return int(FailureAction::kRetry);
  if (text == "skip") return int(FailureAction::kSkip);
  return -1;
}

const char* FailureActionName(FailureAction action) {
  switch (action) {
    case FailureAction::kRetry:
      return "retry";
    case FailureAction::kSkip:
      return "skip";
    case FailureAction::kStop:
      break;
  }
  return "stop";
}

std::string DescribeFailurePolicy(const FailurePolicy& f) {
  std::string text = std::string("on failure: ") + FailureActionName(f.action);
  if (f.retries > 0) text += " after " + Attempts(f.retries + 1);
  if (f.action == FailureAction::kSkip) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ", at most %g%% of a design point's analyses", 100.0 * f.maxSkippedFraction);
    text += buf;
  }
  return text;
}

std::string SkipRefusal(const Problem& p) {
  const Settings& s = p.settings;
  if (s.onFailure.action != FailureAction::kSkip) return "";
  if ((s.method == 0 || s.method == 1) && p.builder.IsRandom() && !p.batchModel) return "";
  return "the failure policy skip leaves failed analyses out of a sample, which only the sampling methods 0 "
         "(montecarlo) and 1 (lhs) of `rbo run` on a problem with random variables can do; method " +
         std::string(MethodName(s.method)) +
         " needs every analysis it asks for.  Use the policy retry (or stop) with this method";
}

std::string OptimizeSkipRefusal(const Problem& p) {
  if (p.settings.onFailure.action != FailureAction::kSkip) return "";
  return "the failure policy skip works with `rbo run` (methods 0 and 1): an optimiser compares designs, and "
         "statistics over different subsets of their samples would not compare.  Use the policy retry (or stop) "
         "to optimise";
}

refhost::ModelFunction RetryingModel(refhost::ModelFunction model, int retries) {
  if (retries <= 0) return model;
  return [model = std::move(model), retries](const std::valarray<double>& x, std::valarray<double>& y) {
    const std::size_t nOut = y.size();
    for (int attempt = 0;; ++attempt) {
      // Every attempt starts as the first: an output it does not write is nan.
      if (y.size() != nOut) y.resize(nOut);
      y = std::numeric_limits<double>::quiet_NaN();
      try {
        model(x, y);
      } catch (const std::exception& e) {
        if (attempt == retries) throw std::runtime_error(Attempts(attempt + 1) + " failed; the last: " + e.what());
        continue;
      }
      // A non-finite output on the last attempt is reported by the runner.
      if (attempt == retries || AllFinite(y)) return;
    }
  };
}

refhost::ModelFunction PolicyModel(const Problem& p) {
  const FailurePolicy& f = p.settings.onFailure;
  return f.action == FailureAction::kStop ? p.model : RetryingModel(p.model, f.retries);
}

void AnalyseHere(const Problem& p, ColumnKind kind, const CMatrix<double>& inputs, CMatrix<double>& outputs,
                 int nFirstColumn, std::vector<std::string>* pFailures) {
  if (!p.model) throw std::runtime_error("the problem has no model to analyse");
  refhost::ModelFunction model = PolicyModel(p);
  const refhost::AnalysisFunction f = kind == ColumnKind::kAnalysis
                                          ? p.builder.Analysis(std::move(model))
                                          : ModelColumns(std::move(model), p.variables.size(), p.responses.size());
  refhost::AnalyseColumnsKeepingFailures(f, BulkColumns(p, kind), inputs, outputs, p.settings.parallel, nFirstColumn,
                                         pFailures);
}

void SetColumnDispatcher(ColumnDispatcher d) {
  std::lock_guard<std::mutex> lock(s_dispatcherMutex);
  s_dispatcher = std::move(d);
}

ColumnDispatcher CurrentColumnDispatcher() {
  std::lock_guard<std::mutex> lock(s_dispatcherMutex);
  return s_dispatcher;
}

void AnalyseColumnsOf(const Problem& p, ColumnKind kind, const CMatrix<double>& inputs, CMatrix<double>& outputs,
                      std::vector<std::string>* pFailures) {
  if (const ColumnDispatcher d = CurrentColumnDispatcher()) return d(kind, inputs, outputs, pFailures);
  AnalyseHere(p, kind, inputs, outputs, 0, pFailures);
}

}  // namespace rbo::problem
