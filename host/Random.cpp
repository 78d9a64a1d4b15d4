// The reference host's random numbers: the uniform generator CRand and the
// Latin hypercube design LatinHyperCubeDOE.
//
// Both draw from a 64-bit Mersenne Twister.  CRand(true) and every
// LatinHyperCubeDOE call start from the configured seed (refhost::SetSeed),
// so every design point sees the same numbers and runs are reproducible;
// the two use different streams of that seed.  CRand(false) is seeded from
// the operating system's entropy.  Permutations and integers are drawn by
// this file's own arithmetic, not the standard distributions, whose output
// differs between standard libraries: a seed gives the same numbers with
// every compiler.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "rbo/host/ReferenceHost.h"
#include "rbo/host/Utility.h"

namespace {

/// Seed used until refhost::SetSeed is called: std::mt19937_64's own default.
constexpr std::uint64_t kDefaultSeed = 5489u;
/// Mixed into the seed of the Latin hypercube stream so that it differs from
/// CRand's stream of the same seed.
constexpr std::uint32_t kLatinHyperCubeStream = 0x4c485344u;

std::atomic<std::uint64_t> g_seed{kDefaultSeed};  ///< the configured seed

/// A probability strictly inside (0, 1): (k + 0.5) / 2^52 from the top 52
/// bits k.  k + 0.5 needs at most 53 significant bits, so the value is exact;
/// it ranges from 2^-53 to 1 - 2^-53 and is never 0 or 1.  (With 53 bits the
/// largest k + 0.5 would round up to 2^53, giving exactly 1.)
double OpenUnit(std::mt19937_64& engine) {
  const std::uint64_t k = engine() >> 12;
  return (double(k) + 0.5) * 0x1p-52;
}

/// An unbiased integer in [0, bound): draws below 2^64 mod bound are
/// rejected so that every residue is equally likely.
std::uint64_t UniformBelow(std::mt19937_64& engine, std::uint64_t bound) {
  const std::uint64_t threshold = (0u - bound) % bound;
  for (;;) {
    const std::uint64_t x = engine();
    if (x >= threshold) return x % bound;
  }
}

/// The point at fraction u of stratum p of n: (p + u) / n, nudged back into
/// the stratum where rounding put it on a neighbour, so that floor(v * n)
/// is p and v lies strictly inside (0, 1).
double StratifiedValue(std::size_t p, double u, std::size_t n) {
  const double dN = double(n), dP = double(p);
  double v = (dP + u) / dN;
  while (v * dN >= dP + 1.0) v = std::nextafter(v, 0.0);
  while (v * dN < dP) v = std::nextafter(v, 1.0);
  return v;
}

}  // namespace

namespace refhost {

void SetSeed(std::uint64_t seed) { g_seed.store(seed); }

}  // namespace refhost

struct CRand::State {
  std::mt19937_64 engine;  ///< the generator
};

CRand::CRand(bool bFixedSeed) : m_pState(new State()) {
  if (bFixedSeed) {
    m_pState->engine.seed(g_seed.load());
  } else {
    std::random_device device;
    std::seed_seq seq{device(), device(), device(), device(), device(), device(), device(), device()};
    m_pState->engine.seed(seq);
  }
}

CRand::~CRand() = default;

double CRand::Random() { return OpenUnit(m_pState->engine); }

void LatinHyperCubeDOE(int m, int nSamples, std::valarray<double>& table) {
  if (m <= 0 || nSamples <= 0) {
    table.resize(0);
    return;
  }
  const std::size_t nVars = std::size_t(m), n = std::size_t(nSamples);
  if (table.size() != nVars * n) table.resize(nVars * n);

  const std::uint64_t seed = g_seed.load();
  std::seed_seq seq{std::uint32_t(seed), std::uint32_t(seed >> 32), kLatinHyperCubeStream};
  std::mt19937_64 engine(seq);

  // Each coordinate: an independent random order of the n strata (Fisher-
  // Yates), and a uniform point inside each.
  std::vector<std::size_t> strata(n);
  for (std::size_t r = 0; r < nVars; ++r) {
    std::iota(strata.begin(), strata.end(), std::size_t(0));
    for (std::size_t i = n - 1; i > 0; --i) std::swap(strata[i], strata[UniformBelow(engine, i + 1)]);
    for (std::size_t j = 0; j < n; ++j) table[j * nVars + r] = StratifiedValue(strata[j], OpenUnit(engine), n);
  }
}
