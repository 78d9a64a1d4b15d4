// The analysis at one design point for the reliability methods (PointModel.h).
#include "PointModel.h"

#include <stdexcept>

#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/Result.h"

namespace rbo::problem {

namespace rel = rbo::reliability;

bool IsRandom(const Variable& v) {
  return v.kind == VariableKind::kRandomDesign || v.kind == VariableKind::kRandomParameter;
}

std::vector<Bound> BoundsOf(const Problem& p) {
  std::vector<Bound> bounds;
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& r = p.responses[k];
    if (!r.random) continue;
    if (r.hasLower) bounds.push_back({k, false, r.lower});
    if (r.hasUpper) bounds.push_back({k, true, r.upper});
  }
  return bounds;
}

std::vector<std::string> RandomNames(const Problem& p) {
  std::vector<std::string> names;
  for (const Variable& v : p.variables)
    if (IsRandom(v)) names.push_back(v.name);
  return names;
}

rel::StandardSpace StandardSpaceAt(const Problem& p, CDB& db, const std::valarray<double>& design, std::size_t j) {
  std::valarray<double> dv = DesignVariableVector(db, design);
  const std::valarray<CRandVar> rv = RandomVariablesAt(db, dv);
  try {
    return rel::StandardSpace(std::vector<CRandVar>(std::begin(rv), std::end(rv)), p.correlation);
  } catch (const std::invalid_argument& e) {
    throw EvaluationError("the random variables at design point " + std::to_string(j + 1) + " (" +
                          DescribeDesign(p, design) + ") cannot be mapped to the standard normal space: " + e.what());
  }
}

std::valarray<double> ModelInputs(const Problem& p, const std::valarray<double>& design,
                                  const std::vector<double>& xRandom) {
  std::valarray<double> in(p.variables.size());
  std::size_t r = 0;
  for (std::size_t i = 0; i < p.variables.size(); ++i) {
    const Variable& v = p.variables[i];
    in[i] = IsRandom(v) ? xRandom.at(r++) : v.designVariable >= 0 ? design[std::size_t(v.designVariable)] : v.value;
  }
  return in;
}

refhost::BatchModelFunction CountedModel(const Problem& p, const std::shared_ptr<std::atomic<long long>>& counter) {
  if (p.batchModel)
    return [batch = CountedBatchModel(p.batchModel, counter)](const CMatrix<double>& x, CMatrix<double>& y) {
      refhost::AnalyseBatch(batch, x, y);
    };
  if (ColumnDispatcher dispatch = CurrentColumnDispatcher())
    return [dispatch, counter](const CMatrix<double>& x, CMatrix<double>& y) {
      dispatch(ColumnKind::kModel, x, y, nullptr);
      counter->fetch_add(x.Cols(), std::memory_order_relaxed);
    };
  const refhost::AnalysisFunction point = [inner = PolicyModel(p), counter](const std::valarray<double>& x,
                                                                            std::valarray<double>& y) {
    inner(x, y);
    counter->fetch_add(1, std::memory_order_relaxed);
  };
  const refhost::BatchModelFunction chunks = CountedBulkModel(p.bulkModel, counter);
  return [point, chunks, bParallel = p.settings.parallel](const CMatrix<double>& x, CMatrix<double>& y) {
    refhost::AnalyseColumnsKeepingFailures(point, chunks, x, y, bParallel, 0, nullptr);
  };
}

std::vector<std::valarray<double>> AnalyseInputs(const Problem& p, const refhost::BatchModelFunction& model,
                                                 const std::vector<std::valarray<double>>& inputs) {
  CMatrix<double> in(int(p.variables.size()), int(inputs.size()));
  for (std::size_t k = 0; k < inputs.size(); ++k) in.ReplaceCol(int(k), inputs[k]);
  CMatrix<double> out(int(p.responses.size()), int(inputs.size()));
  model(in, out);
  std::vector<std::valarray<double>> y(inputs.size());
  for (std::size_t k = 0; k < inputs.size(); ++k) out.GetCol(int(k), y[k]);
  return y;
}

double LimitStateOf(const Problem& p, const Bound& b, const std::valarray<double>& y) {
  const double v = y[std::size_t(p.responses[b.response].ref.model)];
  return b.upper ? b.value - v : v - b.value;
}

CPointModel::CPointModel(const Problem& p, const std::valarray<double>& design, refhost::BatchModelFunction model)
    : m_p(p), m_model(std::move(model)), m_bounds(BoundsOf(p)), m_design(design) {}

std::vector<std::valarray<double>> CPointModel::Responses(const rel::Batch& x) const {
  std::vector<std::valarray<double>> inputs;
  inputs.reserve(x.size());
  for (const std::vector<double>& point : x) inputs.push_back(ModelInputs(m_p, m_design, point));
  return AnalyseInputs(m_p, m_model, inputs);
}

rel::Batch CPointModel::LimitStates(const rel::Batch& x) const {
  const std::vector<std::valarray<double>> y = Responses(x);
  rel::Batch g(x.size(), std::vector<double>(m_bounds.size()));
  for (std::size_t k = 0; k < x.size(); ++k)
    for (std::size_t b = 0; b < m_bounds.size(); ++b) g[k][b] = LimitStateOf(m_p, m_bounds[b], y[k]);
  return g;
}

}  // namespace rbo::problem
