// The first-order probability of a series system: P(any_k alpha_k . u >=
// beta_k) for u standard normal, the union of K half-spaces.
//
// The sampling density is the mixture of the K half-spaces' own conditional
// distributions, plane k chosen with probability p_k / S (p_k = Phi(-beta_k),
// S = sum p_k).  Its density is phi(u) N(u) / S, N(u) the number of
// half-spaces that contain u, so the estimate is S mean(1 / N(u)): the
// weights lie in [1/K, 1], the variance is small whatever the reliability
// indices, and a point in one half-space only is exact.  One plane needs no
// sampling: Phi(-beta).
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "rbo/reliability/Simulation.h"
#include "rbo/reliability/StandardNormal.h"
#include "reliability/SimulationSupport.h"

namespace rbo::reliability {
namespace {

using detail::RandomStream;

constexpr double kTargetCov = 1.0e-3;
constexpr std::size_t kBatch = 10000;
constexpr long long kMaxSamples = 100000000;
constexpr double kUnitTolerance = 1.0e-6;

double Dot(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// Checks the planes and returns the normals scaled to unit length exactly.
std::vector<std::vector<double>> UnitNormals(const std::vector<std::vector<double>>& alphas,
                                             const std::vector<double>& betas) {
  if (alphas.empty()) throw std::invalid_argument("FirstOrderSeriesSystem: no limit state");
  if (alphas.size() != betas.size())
    throw std::invalid_argument("FirstOrderSeriesSystem: " + std::to_string(alphas.size()) + " directions for " +
                                std::to_string(betas.size()) + " reliability indices");
  std::vector<std::vector<double>> unit(alphas);
  for (std::size_t k = 0; k < unit.size(); ++k) {
    if (unit[k].empty() || unit[k].size() != unit.front().size())
      throw std::invalid_argument("FirstOrderSeriesSystem: the directions must have one common, non-zero length");
    const double norm = std::sqrt(Dot(unit[k], unit[k]));
    if (!(std::fabs(norm - 1.0) <= kUnitTolerance))
      throw std::invalid_argument("FirstOrderSeriesSystem: direction " + std::to_string(k) + " is not a unit vector");
    for (double& a : unit[k]) a /= norm;
    if (std::isnan(betas[k])) throw std::invalid_argument("FirstOrderSeriesSystem: a reliability index is NaN");
  }
  return unit;
}

// The estimator's state: the planes, their probabilities and the running
// moments of 1 / N(u).
class UnionSampler {
 public:
  UnionSampler(std::vector<std::vector<double>> alphas, const std::vector<double>& betas)
      : m_alphas(std::move(alphas)), m_betas(betas), m_p(betas.size()) {
    for (std::size_t k = 0; k < m_p.size(); ++k) m_p[k] = NormalSurvival(betas[k]);
    for (double p : m_p) m_sum += p;
  }

  double SumOfProbabilities() const { return m_sum; }

  void AddBatch(RandomStream& random, std::size_t count) {
    for (std::size_t s = 0; s < count; ++s) {
      const std::size_t k = ChoosePlane(random.Uniform());
      const std::vector<double> u = DrawInHalfSpace(k, random);
      Add(1.0 / static_cast<double>(Containing(u, k)));
    }
  }

  long long Samples() const { return m_n; }
  double Estimate() const { return std::min(1.0, m_sum * m_mean); }
  double Cov() const {
    if (m_n < 2) return std::numeric_limits<double>::infinity();
    return std::sqrt(m_m2 / static_cast<double>(m_n - 1) / static_cast<double>(m_n)) / m_mean;
  }

 private:
  std::size_t ChoosePlane(double uniform) const {
    double cumulative = 0.0;
    const double target = uniform * m_sum;
    for (std::size_t k = 0; k < m_p.size(); ++k) {
      cumulative += m_p[k];
      if (target < cumulative && m_p[k] > 0.0) return k;
    }
    std::size_t last = m_p.size() - 1;
    while (m_p[last] == 0.0) --last;
    return last;
  }

  // u ~ N(0, I) given alpha_k . u >= beta_k: the component along alpha_k
  // from the normal tail beyond beta_k, the rest unconditioned.
  std::vector<double> DrawInHalfSpace(std::size_t k, RandomStream& random) const {
    const double t = NormalQuantileOfSurvival(random.Uniform() * m_p[k]);
    std::vector<double> u = random.NormalVector(m_alphas[k].size());
    const double shift = t - Dot(m_alphas[k], u);
    for (std::size_t i = 0; i < u.size(); ++i) u[i] += shift * m_alphas[k][i];
    return u;
  }

  // N(u); plane k counts whatever the rounding of its dot product.
  std::size_t Containing(const std::vector<double>& u, std::size_t k) const {
    std::size_t n = 1;
    for (std::size_t j = 0; j < m_alphas.size(); ++j)
      if (j != k && Dot(m_alphas[j], u) >= m_betas[j]) ++n;
    return n;
  }

  void Add(double x) {
    ++m_n;
    const double delta = x - m_mean;
    m_mean += delta / static_cast<double>(m_n);
    m_m2 += delta * (x - m_mean);
  }

  std::vector<std::vector<double>> m_alphas;
  std::vector<double> m_betas;
  std::vector<double> m_p;
  double m_sum = 0.0;
  long long m_n = 0;
  double m_mean = 0.0;
  double m_m2 = 0.0;
};

SimulationResult Exact(double pof) {
  SimulationResult result;
  result.pof = pof;
  result.cov = 0.0;
  result.converged = true;
  return result;
}

}  // namespace

SimulationResult FirstOrderSeriesSystem(const std::vector<std::vector<double>>& alphas,
                                        const std::vector<double>& betas, std::uint64_t seed) {
  UnionSampler sampler(UnitNormals(alphas, betas), betas);
  if (betas.size() == 1) return Exact(NormalSurvival(betas.front()));
  if (sampler.SumOfProbabilities() == 0.0) return Exact(0.0);
  RandomStream random(seed);
  SimulationResult result;
  do {
    sampler.AddBatch(random, kBatch);
    result.cov = sampler.Cov();
    result.converged = result.cov < kTargetCov;
  } while (!result.converged && sampler.Samples() < kMaxSamples);
  result.pof = sampler.Estimate();
  if (!result.converged)
    result.message = "the c.o.v. " + std::to_string(result.cov) + " is above 1e-3 after " +
                     std::to_string(sampler.Samples()) + " samples";
  return result;
}

}  // namespace rbo::reliability
