// Evaluation of one limit state on batches of standard-space points.
#include "reliability/LimitStateProbe.h"

#include <stdexcept>
#include <string>

namespace rbo::reliability::detail {

LimitStateProbe::LimitStateProbe(const StandardSpace& space, const LimitStateFunction& g, std::size_t limitState)
    : m_space(space), m_g(g), m_limitState(limitState) {}

std::vector<double> LimitStateProbe::Values(const Batch& u) {
  if (u.empty()) return {};
  const Batch x = m_space.ToPhysical(u);
  m_analyses += static_cast<long long>(u.size());
  const Batch rows = m_g(x);
  if (rows.size() != u.size())
    throw std::invalid_argument("the limit-state function returned " + std::to_string(rows.size()) + " rows for " +
                                std::to_string(u.size()) + " points");
  std::vector<double> values(rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (rows[k].size() <= m_limitState)
      throw std::invalid_argument("limit state " + std::to_string(m_limitState) +
                                  " does not exist: the function returned " + std::to_string(rows[k].size()) +
                                  " limit states");
    values[k] = rows[k][m_limitState];
  }
  return values;
}

double LimitStateProbe::Value(const std::vector<double>& u) { return Values(Batch{u}).front(); }

}  // namespace rbo::reliability::detail
