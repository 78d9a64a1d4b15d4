// Importance sampling of an event's probability with an equal-weight mixture
// of unit normal densities around given centres in standard space.
//
// A sample point u is drawn from q(u) = (1/K) sum_k phi_n(u - c_k); the
// estimate is the mean of w(u) I(u) with w = phi_n(u) / q(u) and I the
// indicator of the event.  The weight is formed in logs, so that centres far
// from the origin (reliability indices of 5 to 10) neither underflow nor
// overflow:
//
//   log w = -|u|^2 / 2 - log( (1/K) sum_k exp(-|u - c_k|^2 / 2) ).
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

// The c.o.v. is trusted only when it rests on this many batches and failed
// sample points: fewer values give an estimate of the variance that can be
// far too small.
constexpr int kMinBatches = 2;
constexpr long long kMinFailures = 10;

void CheckOptions(const ImportanceSamplingOptions& options) {
  if (!(options.targetCov > 0.0) || !std::isfinite(options.targetCov))
    throw std::invalid_argument("ImportanceSampling: the target c.o.v. must be positive and finite");
  if (options.budget < 1) throw std::invalid_argument("ImportanceSampling: the budget must be at least 1 analysis");
  if (options.batchSize < 1) throw std::invalid_argument("ImportanceSampling: the batch size must be at least 1");
}

double SquaredNorm(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x * x;
  return s;
}

double SquaredDistance(const std::vector<double>& a, const std::vector<double>& b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
  return s;
}

// The sampling density: K unit normals of equal weight.
class Mixture {
 public:
  Mixture(const std::vector<std::vector<double>>& centres, std::size_t dimension) : m_centres(centres) {
    if (m_centres.empty()) m_centres.assign(1, std::vector<double>(dimension, 0.0));
    for (const auto& c : m_centres) CheckCentre(c, dimension);
    m_logK = std::log(static_cast<double>(m_centres.size()));
  }

  Batch Draw(RandomStream& random, std::size_t count) const {
    Batch u(count);
    for (auto& point : u) {
      const std::size_t k = m_centres.size() > 1 ? random.Index(m_centres.size()) : 0;
      point = random.NormalVector(m_centres[k].size());
      for (std::size_t i = 0; i < point.size(); ++i) point[i] += m_centres[k][i];
    }
    return u;
  }

  // log phi_n(u) - log q(u), with the log-sum-exp taken about its largest
  // term.
  double LogWeight(const std::vector<double>& u) const {
    std::vector<double> exponents(m_centres.size());
    for (std::size_t k = 0; k < m_centres.size(); ++k) exponents[k] = -0.5 * SquaredDistance(u, m_centres[k]);
    const double top = *std::max_element(exponents.begin(), exponents.end());
    double sum = 0.0;
    for (double e : exponents) sum += std::exp(e - top);
    return -0.5 * SquaredNorm(u) - (top + std::log(sum) - m_logK);
  }

 private:
  static void CheckCentre(const std::vector<double>& c, std::size_t dimension) {
    if (c.size() != dimension)
      throw std::invalid_argument("ImportanceSampling: a centre has " + std::to_string(c.size()) + " coordinates for " +
                                  std::to_string(dimension) + " random variables");
    for (double x : c)
      if (!std::isfinite(x)) throw std::invalid_argument("ImportanceSampling: a centre is not finite");
  }

  std::vector<std::vector<double>> m_centres;
  double m_logK = 0.0;
};

std::string NoFailureMessage(long long analyses) {
  return "no sample point failed in " + std::to_string(analyses) + " analyses: the POF is below about 3/" +
         std::to_string(analyses) + " or the centres miss the failure region";
}

std::string BudgetMessage(const SimulationResult& r, double targetCov) {
  return "the budget of " + std::to_string(r.analyses) + " analyses ran out with a c.o.v. of " + std::to_string(r.cov) +
         " (target " + std::to_string(targetCov) + ", " + std::to_string(r.failures) + " failed sample points)";
}

// The linearised limit state of the control variate, and its probability.
struct Control {
  std::vector<double> alpha;
  double beta = 0.0;
  bool Active() const { return !alpha.empty(); }
  bool Fails(const std::vector<double>& u) const {
    double s = 0.0;
    for (std::size_t i = 0; i < u.size(); ++i) s += alpha[i] * u[i];
    return s >= beta;
  }
  double Probability() const { return Active() ? NormalCdf(-beta) : 0.0; }
};

// Running means, variances and covariance of the weighted indicators of the
// event (a) and of the control (b), updated one pair at a time.
class PairedMoments {
 public:
  void Add(double a, double b) {
    ++m_n;
    const double n = static_cast<double>(m_n);
    const double da = a - m_meanA, db = b - m_meanB;
    m_meanA += da / n;
    m_meanB += db / n;
    m_saa += da * (a - m_meanA);
    m_sbb += db * (b - m_meanB);
    m_sab += da * (b - m_meanB);
  }
  // The regression estimate mean(a) - c (mean(b) - pb) with the coefficient
  // c = cov(a, b) / var(b) that minimises its variance (c = 1 when the event
  // is its linearisation, 0 when the control says nothing), and that
  // variance.  Without a control (or one that never fails): mean(a).
  void Estimate(double pb, double* pMean, double* pVariance) const {
    const double n = static_cast<double>(m_n);
    const double c = m_sbb > 0.0 ? m_sab / m_sbb : 0.0;
    *pMean = m_meanA - c * (m_meanB - pb);
    const double residual = std::max(0.0, m_saa - c * m_sab);
    *pVariance = m_n > 1 ? residual / (n - 1.0) / n : std::numeric_limits<double>::infinity();
  }

 private:
  long long m_n = 0;
  double m_meanA = 0.0, m_meanB = 0.0, m_saa = 0.0, m_sbb = 0.0, m_sab = 0.0;
};

// Adds a batch's weighted indicators of the event and of the control;
// returns the number of failed points.
long long AddBatch(const Mixture& mixture, const Control& control, const Batch& u, const detail::EventValues& values,
                   PairedMoments& moments) {
  long long failures = 0;
  for (std::size_t k = 0; k < u.size(); ++k) {
    const bool failed = detail::Fails(values[k]);
    const bool controlFails = control.Active() && control.Fails(u[k]);
    failures += failed ? 1 : 0;
    const double w = failed || controlFails ? std::exp(mixture.LogWeight(u[k])) : 0.0;
    moments.Add(failed ? w : 0.0, controlFails ? w : 0.0);
  }
  return failures;
}

Control MakeControl(const ImportanceSamplingOptions& o, std::size_t dimension) {
  if (o.controlAlpha.empty()) return {};
  if (o.controlAlpha.size() != dimension || !std::isfinite(o.controlBeta))
    throw std::invalid_argument("ImportanceSampling: the control variate needs an alpha of " +
                                std::to_string(dimension) + " values and a finite beta");
  return {o.controlAlpha, o.controlBeta};
}

}  // namespace

SimulationResult ImportanceSampling(const StandardSpace& space, const LimitStateFunction& g, const Event& event,
                                    const std::vector<std::vector<double>>& centres,
                                    const ImportanceSamplingOptions& options) {
  CheckOptions(options);
  detail::CheckEventNotEmpty(event, "ImportanceSampling");
  const Mixture mixture(centres, space.Dimension());
  const Control control = MakeControl(options, space.Dimension());
  RandomStream random(options.seed);
  PairedMoments moments;
  SimulationResult result;
  int batches = 0;
  while (result.analyses < options.budget) {
    const auto remaining = static_cast<std::size_t>(options.budget - result.analyses);
    const Batch u = mixture.Draw(random, std::min(options.batchSize, remaining));
    const detail::EventValues values = detail::EvaluateEvent(space, g, event, u);
    result.analyses += static_cast<long long>(u.size());
    result.failures += AddBatch(mixture, control, u, values, moments);
    ++batches;
    double variance = 0.0;
    moments.Estimate(control.Probability(), &result.pof, &variance);
    result.cov = result.pof > 0.0 ? std::sqrt(variance) / result.pof : std::numeric_limits<double>::infinity();
    result.converged = batches >= kMinBatches && result.failures >= kMinFailures && result.cov <= options.targetCov;
    if (result.converged) return result;
  }
  result.message = result.failures == 0 ? NoFailureMessage(result.analyses) : BudgetMessage(result, options.targetCov);
  return result;
}

}  // namespace rbo::reliability
