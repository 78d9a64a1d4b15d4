// What the simulation methods share: a reproducible stream of uniform and
// standard normal numbers, and the evaluation of an event's limit states on
// a batch of standard-space points.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "rbo/reliability/LimitState.h"
#include "rbo/reliability/StandardSpace.h"

namespace rbo::reliability::detail {

/// Random numbers that are the same on every platform: the 64-bit Mersenne
/// twister (its output is fixed by the standard), uniforms built from its
/// top 53 bits, normals by the inverse distribution function.  The standard
/// library's distributions are not used: their algorithms differ between
/// implementations.
class RandomStream {
 public:
  explicit RandomStream(std::uint64_t seed) : m_engine(seed) {}
  /// Uniform in the open interval (0, 1): (k + 1/2) / 2^53 for a 53-bit k.
  double Uniform();
  /// A standard normal number.
  double Normal();
  /// An index in [0, n), each with probability 1/n (n > 0).
  std::size_t Index(std::size_t n);
  /// n independent standard normal numbers.
  std::vector<double> NormalVector(std::size_t n);

 private:
  std::mt19937_64 m_engine;
};

/// The values of the event's limit states at a batch of points:
/// values[k][e] is limit state event[e] at point k.
using EventValues = std::vector<std::vector<double>>;

/// Maps the standard-space points u to physical space, evaluates g on them
/// in one call and keeps the event's limit states.  Throws
/// std::invalid_argument when g returns the wrong number of rows or rows of
/// different lengths, or when an event index is not below the number of
/// limit states; std::runtime_error for a NaN value of an event's limit
/// state (counting it as safe or failed would bias the estimate).
EventValues EvaluateEvent(const StandardSpace& space, const LimitStateFunction& g, const Event& event, const Batch& u);

/// Throws std::invalid_argument for an empty event.
void CheckEventNotEmpty(const Event& event, const char* method);

/// Whether any of the values is at most 0 (the point fails the event).
bool Fails(const std::vector<double>& eventValues);

}  // namespace rbo::reliability::detail
