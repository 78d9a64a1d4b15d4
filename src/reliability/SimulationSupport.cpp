// Random numbers and batch evaluation shared by the simulation methods.
#include "reliability/SimulationSupport.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "rbo/reliability/StandardNormal.h"

namespace rbo::reliability::detail {

double RandomStream::Uniform() {
  constexpr double kTwoToMinus53 = 1.0 / 9007199254740992.0;
  const std::uint64_t bits = m_engine() >> 11;
  return (static_cast<double>(bits) + 0.5) * kTwoToMinus53;
}

double RandomStream::Normal() { return NormalQuantile(Uniform()); }

std::size_t RandomStream::Index(std::size_t n) {
  const auto k = static_cast<std::size_t>(Uniform() * static_cast<double>(n));
  return k < n ? k : n - 1;
}

std::vector<double> RandomStream::NormalVector(std::size_t n) {
  std::vector<double> z(n);
  for (double& v : z) v = Normal();
  return z;
}

namespace {

void CheckShape(const Batch& values, std::size_t points) {
  if (values.size() != points)
    throw std::invalid_argument("the limit-state function returned " + std::to_string(values.size()) + " rows for " +
                                std::to_string(points) + " points");
  for (const auto& row : values)
    if (row.size() != values.front().size())
      throw std::invalid_argument("the limit-state function returned rows of different lengths");
}

void CheckEventIndices(const Event& event, std::size_t limitStates) {
  for (std::size_t j : event)
    if (j >= limitStates)
      throw std::invalid_argument("event limit state " + std::to_string(j) + " does not exist: the function returns " +
                                  std::to_string(limitStates) + " limit states");
}

std::vector<double> SelectEvent(const std::vector<double>& row, const Event& event, std::size_t point) {
  std::vector<double> selected(event.size());
  for (std::size_t e = 0; e < event.size(); ++e) {
    selected[e] = row[event[e]];
    if (std::isnan(selected[e]))
      throw std::runtime_error("limit state " + std::to_string(event[e]) + " is NaN at sample point " +
                               std::to_string(point) + " of the batch");
  }
  return selected;
}

}  // namespace

EventValues EvaluateEvent(const StandardSpace& space, const LimitStateFunction& g, const Event& event, const Batch& u) {
  if (u.empty()) return {};
  const Batch values = g(space.ToPhysical(u));
  CheckShape(values, u.size());
  CheckEventIndices(event, values.front().size());
  EventValues selected(values.size());
  for (std::size_t k = 0; k < values.size(); ++k) selected[k] = SelectEvent(values[k], event, k);
  return selected;
}

void CheckEventNotEmpty(const Event& event, const char* method) {
  if (event.empty()) throw std::invalid_argument(std::string(method) + ": the event names no limit state");
}

bool Fails(const std::vector<double>& eventValues) {
  for (double v : eventValues)
    if (v <= 0.0) return true;
  return false;
}

}  // namespace rbo::reliability::detail
