// The analysis at one design point as the reliability methods need it: the
// random variables' standard normal space there, and the model on batches
// of values of the random variables, with the limit states of the bounds of
// the random responses.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <valarray>
#include <vector>

#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Problem.h"
#include "rbo/reliability/Reliability.h"

namespace rbo::problem {

bool IsRandom(const Variable& v);

/// One limit state: a bound of a random response.  g = value - lower, or
/// upper - value: failure at g <= 0.
struct Bound {
  std::size_t response;  ///< index into Problem::responses
  bool upper;            ///< the upper bound (else the lower)
  double value;          ///< the bound
};

/// The bounds of the random responses, lower before upper, in response order.
std::vector<Bound> BoundsOf(const Problem& p);

/// The names of the random variables, in StandardSpace order.
std::vector<std::string> RandomNames(const Problem& p);

/// The random variables at design point `design` (the j-th, for messages)
/// in their standard normal space, with the problem's correlation.  Throws
/// EvaluationError when they cannot be mapped (a correlation the
/// distributions cannot have).
rbo::reliability::StandardSpace StandardSpaceAt(const Problem& p, CDB& db, const std::valarray<double>& design,
                                                std::size_t j);

/// The model's inputs (Problem::variables order) at a design with these
/// values of the random variables (RandomNames order).
std::valarray<double> ModelInputs(const Problem& p, const std::valarray<double>& design,
                                  const std::vector<double>& xRandom);

/// The problem's model on batches of points (one column per point),
/// counting its analyses in *counter: the batch model in chunks when the
/// problem has one, else the model on every column (on the workers under
/// --parallel).
refhost::BatchModelFunction CountedModel(const Problem& p, const std::shared_ptr<std::atomic<long long>>& counter);

/// Runs the model on every input vector as one batch; element k holds the
/// responses of inputs[k].
std::vector<std::valarray<double>> AnalyseInputs(const Problem& p, const refhost::BatchModelFunction& model,
                                                 const std::vector<std::valarray<double>>& inputs);

/// The limit state of a bound from the model's responses.
double LimitStateOf(const Problem& p, const Bound& b, const std::valarray<double>& y);

/// The analysis at one design point: the deterministic inputs fixed there,
/// the random ones from each point of a batch.
class CPointModel {
 public:
  CPointModel(const Problem& p, const std::valarray<double>& design, refhost::BatchModelFunction model);

  /// Every response at every point of the batch: row k is point k.
  std::vector<std::valarray<double>> Responses(const rbo::reliability::Batch& x) const;
  /// The limit states (BoundsOf order) at every point of the batch.
  rbo::reliability::Batch LimitStates(const rbo::reliability::Batch& x) const;

 private:
  const Problem& m_p;
  refhost::BatchModelFunction m_model;  ///< model variables -> model responses, counted
  std::vector<Bound> m_bounds;          ///< the limit states
  std::valarray<double> m_design;       ///< the design point
};

/// What every reliability method needs at one design: the random
/// variables' standard space there, the model, and its limit states as one
/// function of batches (the j-th design point, for messages).
struct DesignLimitStates {
  DesignLimitStates(const Problem& p, CDB& db, const std::valarray<double>& design, std::size_t j,
                    refhost::BatchModelFunction analysis)
      : space(StandardSpaceAt(p, db, design, j)),
        model(p, design, std::move(analysis)),
        g([this](const rbo::reliability::Batch& x) { return model.LimitStates(x); }) {}
  DesignLimitStates(const DesignLimitStates&) = delete;
  DesignLimitStates& operator=(const DesignLimitStates&) = delete;

  const rbo::reliability::StandardSpace space;
  const CPointModel model;
  const rbo::reliability::LimitStateFunction g;  ///< model.LimitStates
};

/// s ends with suffix (a subject's ".sd", ".pof", ".mean").
inline bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace rbo::problem
