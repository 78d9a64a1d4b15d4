// One limit state seen from standard space: batches of standard-space
// points mapped to physical space, evaluated by the limit-state function in
// one call, and counted.  The gradient-based methods (FORM, SORM) use it.
#pragma once

#include <cstddef>
#include <vector>

#include "rbo/reliability/LimitState.h"
#include "rbo/reliability/StandardSpace.h"

namespace rbo::reliability::detail {

class LimitStateProbe {
 public:
  /// Keeps references: space and g must outlive the probe.
  LimitStateProbe(const StandardSpace& space, const LimitStateFunction& g, std::size_t limitState);

  /// Values of the limit state at the standard-space points u, from one
  /// call of g (no call for an empty batch).  Values that are not finite are
  /// returned as they are.  Throws std::invalid_argument when g returns the
  /// wrong number of rows or a row without the limit state.
  std::vector<double> Values(const Batch& u);
  /// The value at one point (a batch of one).
  double Value(const std::vector<double>& u);

  /// Points evaluated so far (one analysis each).
  long long Analyses() const { return m_analyses; }
  const StandardSpace& Space() const { return m_space; }
  std::size_t Dimension() const { return m_space.Dimension(); }

 private:
  const StandardSpace& m_space;
  const LimitStateFunction& m_g;
  std::size_t m_limitState;
  long long m_analyses = 0;
};

}  // namespace rbo::reliability::detail
