// Subset simulation (Au and Beck 2001): the probability of a rare event as
// a product of conditional probabilities of nested intermediate events
// {Y <= b_1} > {Y <= b_2} > ... > {Y <= 0}, each about p0, sampled by Markov
// chains (the modified Metropolis algorithm) that start from the best points
// of the level before.
//
// The level function is Y(u) = min_j g_j(u) / s_j over the event's limit
// states, s_j the standard deviation of g_j at the first level (1 when it is
// 0 or not finite): Y <= 0 exactly when the event occurs, and limit states
// of different units share the intermediate thresholds fairly.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "rbo/reliability/Simulation.h"
#include "reliability/SimulationSupport.h"

namespace rbo::reliability {
namespace {

using detail::EventValues;
using detail::RandomStream;

/// A sample of a level: its standard-space point and level-function value.
struct State {
  std::vector<double> u;
  double y = 0.0;
};
/// A level's samples, chain by chain (the first level: N chains of one).
using Population = std::vector<std::vector<State>>;

/// What the whole run needs besides the population.
struct Context {
  const StandardSpace& space;
  const LimitStateFunction& g;
  const Event& event;
  const SubsetOptions& options;
  std::size_t seedsPerLevel = 0;  ///< N p0, rounded: the number of chains
  std::vector<double> scales;     ///< s_j of the event's limit states
};

/// N p0, rounded: the seeds of a level, one chain each.
std::size_t SeedCount(const SubsetOptions& o) {
  return static_cast<std::size_t>(std::floor(static_cast<double>(o.samplesPerLevel) * o.levelProbability + 0.5));
}

void CheckOptions(const SubsetOptions& o) {
  if (!(o.levelProbability > 0.0 && o.levelProbability <= 0.5))
    throw std::invalid_argument("SubsetSimulation: the level probability must be in (0, 0.5]");
  const std::size_t seeds = SeedCount(o);
  if (seeds < 1 || seeds >= o.samplesPerLevel)
    throw std::invalid_argument(
        "SubsetSimulation: samples per level times the level probability must be at least 1 and leave a sample that "
        "is not a seed");
  if (o.maxLevels < 1) throw std::invalid_argument("SubsetSimulation: at least one level is needed");
  if (o.budget < static_cast<long long>(o.samplesPerLevel))
    throw std::invalid_argument("SubsetSimulation: the budget does not cover the first level");
  if (!(o.proposalSpread > 0.0) || !std::isfinite(o.proposalSpread))
    throw std::invalid_argument("SubsetSimulation: the proposal spread must be positive and finite");
  if (!(o.targetCov >= 0.0 && o.targetCov < 1.0))
    throw std::invalid_argument("SubsetSimulation: the target c.o.v. must be in [0, 1) (0: one run)");
}

std::vector<double> Scales(const EventValues& values) {
  const std::size_t m = values.front().size();
  const auto n = static_cast<double>(values.size());
  std::vector<double> scales(m, 1.0);
  for (std::size_t j = 0; j < m; ++j) {
    double mean = 0.0, squares = 0.0;
    for (const auto& row : values) mean += row[j] / n;
    for (const auto& row : values) squares += (row[j] - mean) * (row[j] - mean);
    const double sd = values.size() > 1 ? std::sqrt(squares / (n - 1.0)) : 0.0;
    if (sd > 0.0 && std::isfinite(sd)) scales[j] = sd;
  }
  return scales;
}

double LevelValue(const std::vector<double>& values, const std::vector<double>& scales) {
  double y = values[0] / scales[0];
  for (std::size_t j = 1; j < values.size(); ++j) y = std::min(y, values[j] / scales[j]);
  return y;
}

Population FirstLevel(Context& c, RandomStream& random, SimulationResult& result) {
  Batch u(c.options.samplesPerLevel);
  for (auto& point : u) point = random.NormalVector(c.space.Dimension());
  const EventValues values = detail::EvaluateEvent(c.space, c.g, c.event, u);
  result.analyses += static_cast<long long>(u.size());
  c.scales = Scales(values);
  Population population(u.size());
  for (std::size_t k = 0; k < u.size(); ++k) population[k] = {{std::move(u[k]), LevelValue(values[k], c.scales)}};
  return population;
}

std::vector<const State*> Flatten(const Population& population) {
  std::vector<const State*> states;
  for (const auto& chain : population)
    for (const auto& s : chain) states.push_back(&s);
  return states;
}

/// The states in increasing order of Y; ties keep their order, so the seeds
/// do not depend on the sorting algorithm.
std::vector<const State*> SortedByLevelValue(const Population& population) {
  std::vector<const State*> states = Flatten(population);
  std::stable_sort(states.begin(), states.end(), [](const State* a, const State* b) { return a->y < b->y; });
  return states;
}

/// The squared c.o.v. of a level's conditional probability P = P(Y <= b):
/// (1 - P) / (P N) (1 + gamma), gamma from the correlation of the indicators
/// along the chains (Au and Beck, eq. 27-29), written for chains of unequal
/// length: gamma = 2 sum_k (pairs at lag k / N) rho(k).
double LevelCovSquared(const Population& population, double threshold, double probability) {
  if (probability >= 1.0) return 0.0;
  const auto n = static_cast<double>(Flatten(population).size());
  const double r0 = probability * (1.0 - probability);
  std::size_t longest = 0;
  for (const auto& chain : population) longest = std::max(longest, chain.size());
  double gamma = 0.0;
  for (std::size_t lag = 1; lag < longest; ++lag) {
    double pairs = 0.0, both = 0.0;
    for (const auto& chain : population)
      for (std::size_t l = 0; l + lag < chain.size(); ++l) {
        pairs += 1.0;
        both += (chain[l].y <= threshold && chain[l + lag].y <= threshold) ? 1.0 : 0.0;
      }
    gamma += 2.0 * (pairs / n) * (both / pairs - probability * probability) / r0;
  }
  return (1.0 - probability) / (probability * n) * (1.0 + gamma);
}

/// The modified Metropolis candidate: each coordinate moves by a normal step
/// and is kept with probability min(1, phi(new) / phi(old)).
std::vector<double> Propose(const std::vector<double>& u, double spread, RandomStream& random) {
  std::vector<double> candidate(u);
  for (std::size_t i = 0; i < u.size(); ++i) {
    const double xi = u[i] + spread * random.Normal();
    const double ratio = std::exp(-0.5 * (xi * xi - u[i] * u[i]));
    if (random.Uniform() < ratio) candidate[i] = xi;
  }
  return candidate;
}

/// Advances every chain that is still shorter than its length by one step;
/// the moved candidates are evaluated in one call.
void AdvanceChains(const Context& c, Population& chains, const std::vector<std::size_t>& lengths, double threshold,
                   RandomStream& random, SimulationResult& result) {
  std::vector<std::size_t> moved;
  Batch candidates;
  for (std::size_t k = 0; k < chains.size(); ++k) {
    if (chains[k].size() >= lengths[k]) continue;
    std::vector<double> candidate = Propose(chains[k].back().u, c.options.proposalSpread, random);
    if (candidate == chains[k].back().u) {
      chains[k].push_back(chains[k].back());  // nothing moved: the chain repeats its state
      continue;
    }
    moved.push_back(k);
    candidates.push_back(std::move(candidate));
  }
  const EventValues values = detail::EvaluateEvent(c.space, c.g, c.event, candidates);
  result.analyses += static_cast<long long>(candidates.size());
  for (std::size_t m = 0; m < moved.size(); ++m) {
    auto& chain = chains[moved[m]];
    const double y = LevelValue(values[m], c.scales);
    chain.push_back(y <= threshold ? State{std::move(candidates[m]), y} : chain.back());
  }
}

/// The next level: one chain from each seed, N samples in all.
Population NextLevel(const Context& c, const std::vector<const State*>& sorted, double threshold, RandomStream& random,
                     SimulationResult& result) {
  const std::size_t nChains = c.seedsPerLevel, n = c.options.samplesPerLevel;
  std::vector<std::size_t> lengths(nChains, n / nChains);
  for (std::size_t k = 0; k < n % nChains; ++k) ++lengths[k];
  Population chains(nChains);
  for (std::size_t k = 0; k < nChains; ++k) chains[k].push_back(*sorted[k]);
  for (std::size_t step = 1; step < lengths.front(); ++step)
    AdvanceChains(c, chains, lengths, threshold, random, result);
  return chains;
}

/// The intermediate threshold between the last seed and the next sample
/// (the seed's own value when the next one is infinite).
double Threshold(const std::vector<const State*>& sorted, std::size_t seeds) {
  const double mid = 0.5 * (sorted[seeds - 1]->y + sorted[seeds]->y);
  return std::isfinite(mid) ? mid : sorted[seeds - 1]->y;
}

std::string NotReachedMessage(const SimulationResult& r, double threshold, const char* reason) {
  return "the failure region was not reached: after " + std::to_string(r.levels) +
         " levels the intermediate threshold is still " + std::to_string(threshold) + " (scaled limit-state units); " +
         reason;
}

/// The last level, when at least N p0 of its samples fail: the estimate is
/// the product of the conditional probabilities times the failed fraction.
bool FinishIfFailed(const Context& c, const Population& population, const std::vector<const State*>& sorted,
                    double product, double covSquared, SimulationResult& result) {
  const auto failed =
      static_cast<std::size_t>(std::count_if(sorted.begin(), sorted.end(), [](const State* s) { return s->y <= 0.0; }));
  result.failures = static_cast<long long>(failed);
  if (failed < c.seedsPerLevel) return false;
  const double last = static_cast<double>(failed) / static_cast<double>(sorted.size());
  result.pof = product * last;
  result.cov = std::sqrt(covSquared + LevelCovSquared(population, 0.0, last));
  result.converged = true;
  return true;
}

}  // namespace

// One run of subset simulation from options.seed.
SimulationResult SingleRun(const StandardSpace& space, const LimitStateFunction& g, const Event& event,
                           const SubsetOptions& options) {
  Context c{space, g, event, options, SeedCount(options), {}};
  RandomStream random(options.seed);
  SimulationResult result;
  Population population = FirstLevel(c, random, result);
  double product = 1.0, covSquared = 0.0;
  for (result.levels = 1;; ++result.levels) {
    const std::vector<const State*> sorted = SortedByLevelValue(population);
    if (FinishIfFailed(c, population, sorted, product, covSquared, result)) return result;
    const double threshold = Threshold(sorted, c.seedsPerLevel);
    const double conditional = static_cast<double>(c.seedsPerLevel) / static_cast<double>(options.samplesPerLevel);
    product *= conditional;
    covSquared += LevelCovSquared(population, threshold, conditional);
    if (result.levels >= options.maxLevels) {
      result.message = NotReachedMessage(result, threshold, "the level limit is reached");
      return result;
    }
    if (result.analyses + static_cast<long long>(options.samplesPerLevel - c.seedsPerLevel) > options.budget) {
      result.message = NotReachedMessage(result, threshold, "the budget allows no further level");
      return result;
    }
    population = NextLevel(c, sorted, threshold, random, result);
  }
}

namespace {

// The mean of independent runs: its variance is the sum of the runs'
// variances over K^2.
void CombineRuns(const std::vector<SimulationResult>& runs, SimulationResult* pResult) {
  double sum = 0.0, variance = 0.0;
  for (const SimulationResult& r : runs) {
    sum += r.pof;
    variance += r.pof * r.cov * r.pof * r.cov;
  }
  const double k = static_cast<double>(runs.size());
  pResult->pof = sum / k;
  pResult->cov = pResult->pof > 0.0 ? std::sqrt(variance) / k / pResult->pof : std::numeric_limits<double>::infinity();
  pResult->levels = runs.back().levels;
  pResult->failures = 0;
  for (const SimulationResult& r : runs) pResult->failures += r.failures;
}

}  // namespace

SimulationResult SubsetSimulation(const StandardSpace& space, const LimitStateFunction& g, const Event& event,
                                  const SubsetOptions& options) {
  CheckOptions(options);
  detail::CheckEventNotEmpty(event, "SubsetSimulation");
  if (options.targetCov <= 0.0) return SingleRun(space, g, event, options);
  // Independent runs (seeds seed, seed + 1, ...) until their mean is as
  // precise as asked, or the next run would not fit in the budget.
  std::vector<SimulationResult> runs;
  SimulationResult result;
  for (std::uint64_t k = 0;; ++k) {
    SubsetOptions o = options;
    o.seed = options.seed + k;
    o.budget = options.budget - result.analyses;
    if (o.budget < static_cast<long long>(o.samplesPerLevel)) break;
    SimulationResult run = SingleRun(space, g, event, o);
    result.analyses += run.analyses;
    if (!run.converged && runs.empty()) return run;  // not even one run reached the failure region
    if (!run.converged) break;                       // the budget ran out within this run: the finished runs stand
    runs.push_back(run);
    CombineRuns(runs, &result);
    if (result.cov <= options.targetCov) {
      result.converged = true;
      return result;
    }
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "the c.o.v. is %.3g after %zu runs and %lld analyses, above the target %.3g; allow more analyses",
                result.cov, runs.size(), result.analyses, options.targetCov);
  result.message = text;
  return result;
}

}  // namespace rbo::reliability
