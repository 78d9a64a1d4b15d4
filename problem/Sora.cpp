// Sequential optimisation and reliability assessment, and its refinement by
// importance sampling (Sora.h).
#include "rbo/problem/Sora.h"

#include <nlopt.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <stdexcept>

#include "PointModel.h"
#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/reliability/Reliability.h"

namespace rbo::problem {
namespace {

namespace rel = rbo::reliability;
using Vector = std::vector<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// The inverse search has settled when a step moves u by less than this
/// times beta_t: the shift it gives is then good to about 1e-4 standard
/// deviations, far below what moves the optimum.
constexpr double kInverseTol = 1e-4;

// ---------------------------------------------------------------- the problem's terms

/// A quantity a term or constraint reads: a design variable, or a response
/// at the means of the random variables.
struct Quantity {
  int designVariable = -1;
  int response = -1;
};

struct Term {
  Quantity q;
  double coef;
  bool square;
};

/// A constraint other than a probability: subject <= bound (side > 0) or >=.
struct PlainConstraint {
  std::string subject;
  Quantity q;
  int side;
  double bound, scale;
};

/// The problem as SORA reads it, or the reason it cannot.
struct SoraModel {
  std::vector<SoraConstraint> probabilities;
  std::vector<PlainConstraint> plain;
  std::vector<Term> objective;
  bool needsMeans = false;  ///< a term or plain constraint reads a response
  std::string refusal;
};

int ResponseIndex(const Problem& p, const std::string& name) {
  for (std::size_t k = 0; k < p.responses.size(); ++k)
    if (p.responses[k].name == name) return int(k);
  return -1;
}

// A subject read at the means: a design variable, "r" or "r.mean".
bool Resolve(const Problem& p, const std::string& subject, Quantity* pq) {
  for (std::size_t i = 0; i < p.designVariables.size(); ++i)
    if (p.designVariables[i].name == subject) return pq->designVariable = int(i), true;
  const std::string name = EndsWith(subject, ".mean") ? subject.substr(0, subject.size() - 5) : subject;
  pq->response = ResponseIndex(p, name);
  return pq->response >= 0;
}

// The index of the response's bound among BoundsOf(p).
std::size_t BoundIndex(const Problem& p, std::size_t response) {
  const std::vector<Bound> bounds = BoundsOf(p);
  for (std::size_t b = 0; b < bounds.size(); ++b)
    if (bounds[b].response == response) return b;
  return bounds.size();
}

std::string ReadProbability(const Problem& p, const Constraint& c, SoraModel* m) {
  const int k = ResponseIndex(p, c.subject.substr(0, c.subject.size() - 4));
  if (c.side <= 0) return "a lower bound on " + c.subject + " is not a reliability constraint";
  if (k < 0) return c.subject + " names no response";
  const Response& r = p.responses[std::size_t(k)];
  if (!r.random || r.hasLower == r.hasUpper)
    return c.subject + ": the response needs exactly one bound (give a response per bound)";
  if (!(c.bound > 0.0 && c.bound < 0.5)) return c.subject + " must be bounded by a POF in (0, 0.5)";
  SoraConstraint s;
  s.subject = c.subject;
  s.response = std::size_t(k);
  s.bound = BoundIndex(p, std::size_t(k));
  s.target = c.bound;
  s.betaTarget = -rel::NormalQuantile(c.bound);
  m->probabilities.push_back(s);
  return "";
}

// A constraint on a random response's mean that also has a probability
// constraint is implied by it (the inverse point lies beyond the mean).
bool ImpliedByProbability(const SoraModel& m, const Quantity& q) {
  return std::any_of(m.probabilities.begin(), m.probabilities.end(),
                     [&](const SoraConstraint& s) { return int(s.response) == q.response; });
}

SoraModel ReadModel(const Problem& p) {
  SoraModel m;
  for (const Constraint& c : p.constraints)
    if (EndsWith(c.subject, ".pof") && (m.refusal = ReadProbability(p, c, &m)) != "") return m;
  for (const Constraint& c : p.constraints) {
    if (EndsWith(c.subject, ".pof")) continue;
    Quantity q;
    if (!Resolve(p, c.subject, &q)) return m.refusal = "a constraint on " + c.subject + " is not supported by sora", m;
    if (q.response >= 0 && p.responses[std::size_t(q.response)].random && ImpliedByProbability(m, q)) continue;
    m.plain.push_back({c.subject, q, c.side, c.bound, c.scale});
    m.needsMeans = m.needsMeans || q.response >= 0;
  }
  for (const ObjectiveTerm& t : p.objective) {
    Quantity q;
    if (!Resolve(p, t.subject, &q)) return m.refusal = "an objective term on " + t.subject + " is not supported", m;
    m.objective.push_back({q, t.coef, t.square});
    m.needsMeans = m.needsMeans || q.response >= 0;
  }
  if (m.probabilities.empty()) m.refusal = "sora needs a constraint r.pof <= p on a random response";
  return m;
}

double ValueOf(const Quantity& q, const std::valarray<double>& d, const std::valarray<double>& yMeans,
               const Problem& p) {
  if (q.designVariable >= 0) return d[std::size_t(q.designVariable)];
  return yMeans[std::size_t(p.responses[std::size_t(q.response)].ref.model)];
}

// ---------------------------------------------------------------- the state of the cycles

/// Where each probability constraint is evaluated in the deterministic
/// step: per random variable, the shift from the mean (random design
/// variables) or the value itself (random parameters).
struct Shifts {
  std::vector<Vector> shift;  ///< per constraint, per random variable: mean - inverse point
  std::vector<Vector> value;  ///< per constraint, per random variable: the inverse point
  std::vector<Vector> u;      ///< per constraint: the inverse point in standard space (the next search's start)
};

class CSora {
 public:
  CSora(const Problem& p, const SoraOptions& o, const SoraProgress& progress,
        std::shared_ptr<std::atomic<long long>> counter)
      : m_p(p),
        m_o(o),
        m_progress(progress),
        m_counter(std::move(counter)),
        m_model(ReadModel(p)),
        m_db(p.builder.Build()),
        m_bounds(BoundsOf(p)) {
    m_analysis = CountedModel(p, m_counter);
    for (std::size_t i = 0; i < p.designVariables.size(); ++i) {
      const double v = p.designVariables[i].value;
      m_scale.push_back(v != 0.0 ? std::fabs(v) : 1.0);
    }
  }

  SoraResult Run();

 private:
  // ---- evaluation ----
  std::vector<double> MeansAt(const std::valarray<double>& d) const;
  std::vector<double> PointOf(std::size_t i, const std::valarray<double>& d) const;
  struct Values {
    double f = 0.0;
    Vector c;  ///< probability constraints (-g / scale), then the plain ones
  };
  std::vector<Values> EvaluateDesigns(const std::vector<std::valarray<double>>& designs);
  double ObjectiveAt(const std::valarray<double>& d);
  // ---- the deterministic step ----
  std::valarray<double> Deterministic(const std::valarray<double>& start, double xtol, long long* pAnalyses);
  // ---- the inverse searches ----
  struct Inverse {
    Vector u, x;
    double g = kNaN;
    double gradNorm = kNaN;  ///< |grad g| in standard space at u
    bool converged = false;
  };
  Inverse InverseSearch(const rel::StandardSpace& space, const rel::LimitStateFunction& g, std::size_t bound,
                        double betaTarget, Vector u);
  double Assess(const std::valarray<double>& d, bool bAll);
  // ---- the steps of Run ----
  bool Cycles(std::valarray<double>& d, bool bRefinement);
  void ReportAtOptimum(const std::valarray<double>& d);
  bool Refine(std::valarray<double>& d, double cov);
  void Verify(const std::valarray<double>& d);
  void Finish(const std::valarray<double>& d);
  void SetScales(const std::valarray<double>& d);

  long long Count() const { return m_counter->load(); }

  const Problem& m_p;
  SoraOptions m_o;
  SoraProgress m_progress;
  std::shared_ptr<std::atomic<long long>> m_counter;
  SoraModel m_model;
  std::unique_ptr<CDB> m_db;
  std::vector<Bound> m_bounds;
  refhost::BatchModelFunction m_analysis;
  Vector m_scale;     ///< per design variable
  Vector m_gScale;    ///< per probability constraint: |g| at the start's means
  Vector m_gradNorm;  ///< per probability constraint: |grad g| at its inverse point
  Shifts m_shifts;
  SoraResult m_r;
};

std::vector<double> CSora::MeansAt(const std::valarray<double>& d) const {
  std::vector<double> means;
  for (const Variable& v : m_p.variables)
    if (IsRandom(v)) means.push_back(v.designVariable >= 0 ? d[std::size_t(v.designVariable)] : v.value);
  return means;
}

// Where probability constraint i is evaluated at design d.
std::vector<double> CSora::PointOf(std::size_t i, const std::valarray<double>& d) const {
  std::vector<double> x = MeansAt(d);
  std::size_t r = 0;
  for (const Variable& v : m_p.variables) {
    if (!IsRandom(v)) continue;
    x[r] = v.designVariable >= 0 ? x[r] - m_shifts.shift[i][r] : m_shifts.value[i][r];
    ++r;
  }
  return x;
}

// Objective and constraints of every design, all analyses in one batch.
std::vector<CSora::Values> CSora::EvaluateDesigns(const std::vector<std::valarray<double>>& designs) {
  const std::size_t m = m_model.probabilities.size(), per = m + (m_model.needsMeans ? 1 : 0);
  std::vector<std::valarray<double>> inputs;
  for (const std::valarray<double>& d : designs) {
    for (std::size_t i = 0; i < m; ++i) inputs.push_back(ModelInputs(m_p, d, PointOf(i, d)));
    if (m_model.needsMeans) inputs.push_back(ModelInputs(m_p, d, MeansAt(d)));
  }
  const std::vector<std::valarray<double>> y = AnalyseInputs(m_p, m_analysis, inputs);
  std::vector<Values> out;
  for (std::size_t k = 0; k < designs.size(); ++k) {
    const std::valarray<double>& d = designs[k];
    const std::valarray<double> yMeans = m_model.needsMeans ? y[k * per + m] : std::valarray<double>();
    Values v;
    for (const Term& t : m_model.objective) {
      const double q = ValueOf(t.q, d, yMeans, m_p);
      v.f += t.coef * (t.square ? q * q : q);
    }
    v.f *= double(m_p.sense);
    for (std::size_t i = 0; i < m; ++i)
      v.c.push_back(-LimitStateOf(m_p, m_bounds[m_model.probabilities[i].bound], y[k * per + i]) / m_gScale[i]);
    for (const PlainConstraint& c : m_model.plain) {
      const double q = ValueOf(c.q, d, yMeans, m_p);
      v.c.push_back((c.side > 0 ? q - c.bound : c.bound - q) / c.scale);
    }
    out.push_back(v);
  }
  return out;
}

// The objective at d; an analysis at the means only when a term reads a
// response (counted with the deterministic steps).
double CSora::ObjectiveAt(const std::valarray<double>& d) {
  const long long before = Count();
  std::valarray<double> yMeans;
  if (m_model.needsMeans) yMeans = AnalyseInputs(m_p, m_analysis, {ModelInputs(m_p, d, MeansAt(d))})[0];
  double f = 0.0;
  for (const Term& t : m_model.objective) {
    const double q = ValueOf(t.q, d, yMeans, m_p);
    f += t.coef * (t.square ? q * q : q);
  }
  m_r.deterministicAnalyses += Count() - before;
  return f;
}

// ---------------------------------------------------------------- deterministic step

/// Values and forward-difference gradients at one design, for NLopt's
/// callbacks (which ask for the objective and each constraint separately).
struct Stencil {
  std::vector<double> z;  ///< the scaled design they belong to
  double f = 0.0;
  Vector gradF;
  Vector c;
  std::vector<Vector> gradC;
};

struct DeterministicContext {
  CSora* self;
  std::function<const Stencil&(const std::vector<double>& z)> at;
  std::size_t index;  ///< the constraint of this callback
};

double ObjectiveCallback(unsigned n, const double* z, double* grad, void* data) {
  auto* ctx = static_cast<DeterministicContext*>(data);
  const Stencil& s = ctx->at(std::vector<double>(z, z + n));
  if (grad) std::copy(s.gradF.begin(), s.gradF.end(), grad);
  return s.f;
}

double ConstraintCallback(unsigned n, const double* z, double* grad, void* data) {
  auto* ctx = static_cast<DeterministicContext*>(data);
  const Stencil& s = ctx->at(std::vector<double>(z, z + n));
  if (grad) std::copy(s.gradC[ctx->index].begin(), s.gradC[ctx->index].end(), grad);
  return s.c[ctx->index];
}

double ScaledBound(double b, double scale) {
  if (b >= kNoBound) return HUGE_VAL;
  if (b <= -kNoBound) return -HUGE_VAL;
  return b / scale;
}

std::valarray<double> CSora::Deterministic(const std::valarray<double>& start, double xtol, long long* pAnalyses) {
  const long long before = Count();
  const std::size_t n = start.size();
  auto design = [&](const std::vector<double>& z) {
    std::valarray<double> d(n);
    for (std::size_t l = 0; l < n; ++l) d[l] = z[l] * m_scale[l];
    return d;
  };
  Stencil cache;
  double fScale = 0.0;
  double bestF = HUGE_VAL;
  std::vector<double> best, last;
  auto at = [&](const std::vector<double>& z) -> const Stencil& {
    if (z == cache.z) return cache;
    last = z;
    std::vector<std::valarray<double>> designs{design(z)};
    Vector h(n);
    for (std::size_t l = 0; l < n; ++l) {
      std::vector<double> zs = z;
      h[l] = m_o.fdStep * std::max(std::fabs(z[l]), 1.0);
      zs[l] += h[l];
      designs.push_back(design(zs));
    }
    std::vector<Values> v = EvaluateDesigns(designs);
    // The objective in units of its size at the start, like the constraints
    // (in units of beta): SLSQP's steps are then balanced.
    if (fScale == 0.0) fScale = std::max(std::fabs(v[0].f), 1e-12);
    for (Values& value : v) value.f /= fScale;
    cache = Stencil{z, v[0].f, Vector(n), v[0].c, std::vector<Vector>(v[0].c.size(), Vector(n))};
    for (std::size_t l = 0; l < n; ++l) {
      cache.gradF[l] = (v[l + 1].f - v[0].f) / h[l];
      for (std::size_t k = 0; k < v[0].c.size(); ++k) cache.gradC[k][l] = (v[l + 1].c[k] - v[0].c[k]) / h[l];
    }
    const double worst = v[0].c.empty() ? 0.0 : *std::max_element(v[0].c.begin(), v[0].c.end());
    if (worst <= 1e-7 && v[0].f < bestF) bestF = v[0].f, best = z;
    return cache;
  };
  std::vector<double> lower(n), upper(n), z0(n);
  for (std::size_t l = 0; l < n; ++l) {
    lower[l] = ScaledBound(m_p.designVariables[l].lower, m_scale[l]);
    upper[l] = ScaledBound(m_p.designVariables[l].upper, m_scale[l]);
    z0[l] = std::clamp(start[l] / m_scale[l], lower[l], upper[l]);
  }
  DeterministicContext objective{this, at, 0};
  const std::size_t nc = m_model.probabilities.size() + m_model.plain.size();
  std::vector<DeterministicContext> contexts;
  for (std::size_t k = 0; k < nc; ++k) contexts.push_back({this, at, k});
  // Returns false when the optimiser failed outright.
  auto solve = [&](nlopt::algorithm algorithm, std::vector<double>& z) {
    nlopt::opt opt(algorithm, unsigned(n));
    opt.set_lower_bounds(lower);
    opt.set_upper_bounds(upper);
    opt.set_min_objective(ObjectiveCallback, &objective);
    for (std::size_t k = 0; k < nc; ++k) opt.add_inequality_constraint(ConstraintCallback, &contexts[k], 1e-9);
    opt.set_xtol_rel(xtol);
    opt.set_ftol_rel(1e-12);
    opt.set_maxeval(m_o.maxEvaluations);
    double f = 0.0;
    try {
      opt.optimize(z, f);
    } catch (const nlopt::roundoff_limited&) {
      // The last point stands: SLSQP stops there when the rounding of the
      // finite differences limits further progress.
    } catch (const std::runtime_error&) {
      return false;
    }
    return true;
  };
  std::vector<double> z = z0;
  // SLSQP fails on some starts outside the constraints with many of them
  // active at once; the method of moving asymptotes takes over then.
  bool bFailed = !solve(nlopt::LD_SLSQP, z);
  if (bFailed) {
    z = z0;
    last.clear();
    bFailed = !solve(nlopt::LD_MMA, z);
  }
  *pAnalyses += Count() - before;
  // NLopt answers with the best point that met the constraints to its
  // tolerance, which may be one far from the optimum when the iterates
  // approached the constraints from outside; the cycles need the last
  // iterate instead (the next cycle starts there, and the last cycle's is
  // feasible to its tolerance).  An optimiser that failed outright: its best
  // feasible point.
  if (bFailed && !best.empty()) return design(best);
  return design(last.empty() ? z : last);
}

// ---------------------------------------------------------------- inverse searches

// The point of the sphere |u| = beta_t where the limit state is least:
// steepest-descent steps u = -beta_t grad / |grad| (advanced mean value),
// replaced by the mean of the last three directions when they oscillate
// (a concave limit state: the conjugate mean value step).
CSora::Inverse CSora::InverseSearch(const rel::StandardSpace& space, const rel::LimitStateFunction& g,
                                    std::size_t bound, double betaTarget, Vector u) {
  const std::size_t n = space.Dimension();
  constexpr double kStep = 1e-5;
  std::vector<Vector> normals;
  Inverse result;
  for (int it = 0; it < 100; ++it) {
    rel::Batch x{space.ToPhysical(u)};
    for (std::size_t j = 0; j < n; ++j) {
      Vector s = u;
      s[j] += kStep;
      x.push_back(space.ToPhysical(s));
    }
    const rel::Batch v = g(x);
    Vector grad(n);
    double norm = 0.0;
    for (std::size_t j = 0; j < n; ++j) grad[j] = (v[j + 1][bound] - v[0][bound]) / kStep, norm += grad[j] * grad[j];
    norm = std::sqrt(norm);
    result.u = u, result.x = x[0], result.g = v[0][bound], result.gradNorm = norm;
    if (!(norm > 0.0) || !std::isfinite(norm)) return result;
    Vector dir(n);
    for (std::size_t j = 0; j < n; ++j) dir[j] = -grad[j] / norm;
    normals.push_back(dir);
    const std::size_t k = normals.size();
    if (k >= 3) {
      double zeta = 0.0;
      for (std::size_t j = 0; j < n; ++j)
        zeta += (normals[k - 1][j] - normals[k - 2][j]) * (normals[k - 2][j] - normals[k - 3][j]);
      if (zeta <= 0.0) {
        double s = 0.0;
        for (std::size_t j = 0; j < n; ++j)
          dir[j] = normals[k - 1][j] + normals[k - 2][j] + normals[k - 3][j], s += dir[j] * dir[j];
        for (double& dj : dir) dj /= std::sqrt(s);
      }
    }
    double change = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      const double next = betaTarget * dir[j];
      change = std::max(change, std::fabs(next - u[j]));
      u[j] = next;
    }
    if (it > 0 && change <= kInverseTol * std::max(1.0, betaTarget)) {
      result.converged = true;
      return result;
    }
  }
  return result;
}

/// A constraint whose limit state at its inverse point exceeds this (scaled)
/// is far from binding: the cycles keep its shift instead of searching again
/// until the design settles, when every constraint is searched once more.
constexpr double kFarFromBinding = 0.25;

/// Within this of its target index a constraint counts as near binding.
constexpr double kNearBinding = 0.3;

/// The c.o.v. of the refinement's first, coarse estimates.
constexpr double kCoarseCov = 0.05;

// The inverse searches at design d (bAll false: only the constraints near
// binding): new shifts, and the least scaled limit state at the inverse
// points (< 0: a constraint not yet met).
double CSora::Assess(const std::valarray<double>& d, bool bAll) {
  const long long before = Count();
  const DesignLimitStates at(m_p, *m_db, d, 0, m_analysis);
  const rel::StandardSpace& space = at.space;
  const rel::LimitStateFunction& g = at.g;
  const std::vector<double> means = MeansAt(d);
  double worst = HUGE_VAL;
  for (std::size_t i = 0; i < m_model.probabilities.size(); ++i) {
    SoraConstraint& c = m_model.probabilities[i];
    if (!bAll && c.gAtInverse / m_gScale[i] > kFarFromBinding) {
      worst = std::min(worst, c.gAtInverse / m_gScale[i]);
      continue;
    }
    const Inverse inv = InverseSearch(space, g, c.bound, c.betaTarget, m_shifts.u[i]);
    c.gAtInverse = inv.g;
    m_gradNorm[i] = inv.gradNorm;
    m_shifts.u[i] = inv.u;
    m_shifts.value[i] = inv.x;
    for (std::size_t r = 0; r < means.size(); ++r) m_shifts.shift[i][r] = means[r] - inv.x[r];
    worst = std::min(worst, inv.g / m_gScale[i]);
  }
  m_r.inverseAnalyses += Count() - before;
  return worst;
}

// ---------------------------------------------------------------- the cycles

bool CSora::Cycles(std::valarray<double>& d, bool bRefinement) {
  // A deterministic step need not be more precise than the shifts it works
  // with: its tolerance follows the last cycle's change of the design.
  double xtol = bRefinement ? m_o.tol * 1e-2 : 1e-3;
  for (int cycle = 0; cycle < m_o.maxCycles; ++cycle) {
    const std::valarray<double> next = Deterministic(d, xtol, &m_r.deterministicAnalyses);
    double change = 0.0;
    for (std::size_t l = 0; l < d.size(); ++l) change = std::max(change, std::fabs(next[l] - d[l]) / m_scale[l]);
    xtol = std::clamp(1e-2 * change, m_o.tol * 1e-2, 1e-3);
    double worst = Assess(next, false);
    if (change <= m_o.tol && worst >= -m_o.tol) worst = Assess(next, true);  // settled: check every constraint
    d = next;
    SoraCycle rec;
    rec.cycle = int(m_r.history.size()) + 1;
    rec.refinement = bRefinement;
    rec.design = d;
    rec.objective = ObjectiveAt(d);
    rec.worst = worst;
    rec.analyses = Count();
    m_r.history.push_back(rec);
    if (m_progress) m_progress(rec);
    if (change <= m_o.tol && worst >= -m_o.tol) return true;
  }
  return false;
}

void CSora::ReportAtOptimum(const std::valarray<double>& d) {
  const long long before = Count();
  const DesignLimitStates at(m_p, *m_db, d, 0, m_analysis);
  const rel::StandardSpace& space = at.space;
  const rel::LimitStateFunction& g = at.g;
  const std::vector<std::string> names = RandomNames(m_p);
  for (std::size_t i = 0; i < m_model.probabilities.size(); ++i) {
    SoraConstraint& c = m_model.probabilities[i];
    c.active = c.gAtInverse / m_gScale[i] <= 1e-3;
    c.designPoint.clear();
    if (c.active) {
      // On the limit state and least on its sphere: the inverse point is the
      // design point, at the index beta_t (corrected to first order for
      // the small g left there).
      c.beta = c.betaTarget + c.gAtInverse / m_gradNorm[i];
      c.pof = rel::NormalCdf(-c.beta);
      for (std::size_t r = 0; r < names.size(); ++r) c.designPoint.push_back({names[r], m_shifts.value[i][r]});
      continue;
    }
    rel::FormOptions o;
    o.start = m_shifts.u[i];
    const rel::DesignPoint dp = rel::Form(space, g, c.bound, o).Best();
    c.beta = dp.beta;
    c.pof = dp.pof;
    for (std::size_t r = 0; r < names.size() && r < dp.x.size(); ++r) c.designPoint.push_back({names[r], dp.x[r]});
  }
  m_r.inverseAnalyses += Count() - before;
}

// ---------------------------------------------------------------- refinement

// Importance sampling of every active constraint at d, at c.o.v. `cov`;
// true when every sampled POF meets its target within its c.o.v.; else the
// target indices of those that miss are corrected.
bool CSora::Refine(std::valarray<double>& d, double cov) {
  const long long before = Count();
  const DesignLimitStates at(m_p, *m_db, d, 0, m_analysis);
  const rel::StandardSpace& space = at.space;
  const rel::LimitStateFunction& g = at.g;
  bool bMet = true;
  for (std::size_t i = 0; i < m_model.probabilities.size(); ++i) {
    SoraConstraint& c = m_model.probabilities[i];
    // A constraint whose target an earlier round moved, and which no longer
    // binds close to it, may have been moved too far: it is sampled again.
    const bool bMoved = c.betaTarget != -rel::NormalQuantile(c.target);
    if (!c.active && !(bMoved && c.beta - c.betaTarget < kNearBinding)) continue;
    rel::ImportanceSamplingOptions o;
    o.targetCov = cov;
    o.budget = m_o.refineBudget;
    o.seed = m_p.settings.seed;
    // The limit state's first-order form at its design point is the control
    // variate: only where the two differ does the sample carry variance.
    const double norm =
        std::sqrt(std::inner_product(m_shifts.u[i].begin(), m_shifts.u[i].end(), m_shifts.u[i].begin(), 0.0));
    if (norm > 0.0 && std::isfinite(c.beta)) {
      for (double ui : m_shifts.u[i]) o.controlAlpha.push_back(ui / norm);
      o.controlBeta = norm;
    }
    const rel::SimulationResult s = rel::ImportanceSampling(space, g, {c.bound}, {m_shifts.u[i]}, o);
    c.sampledPof = s.pof;
    c.sampledCov = s.cov;
    if (!(s.pof > 0.0) || std::isnan(c.beta)) continue;
    const double gap = std::fabs(s.pof / c.target - 1.0);
    if (gap <= std::max(s.cov, cov)) continue;
    bMet = false;
    // The first-order index errs by beta - beta_sampled here: ask the
    // first order for that much more (or less).
    c.betaTarget += -rel::NormalQuantile(c.target) - rel::GeneralisedBeta(s.pof);
  }
  m_r.samplingAnalyses += Count() - before;
  return bMet;
}

// Crude Monte Carlo of every probability constraint at the optimum, from a
// stream of its own: an independent check of whatever the cycles assumed.
void CSora::Verify(const std::valarray<double>& d) {
  const long long before = Count();
  const DesignLimitStates at(m_p, *m_db, d, 0, m_analysis);
  const rel::StandardSpace& space = at.space;
  const rel::LimitStateFunction& g = at.g;
  for (SoraConstraint& c : m_model.probabilities) {
    rel::ImportanceSamplingOptions o;
    o.targetCov = 1e-12;  // every sample is drawn
    o.budget = m_o.verifySamples;
    o.batchSize = std::size_t(std::min<long long>(m_o.verifySamples, 10000));
    o.seed = m_p.settings.seed + 0x5bd1e995u;
    const rel::SimulationResult s = rel::ImportanceSampling(space, g, {c.bound}, {}, o);
    c.verifiedPof = s.pof;
    c.verifiedCov = s.cov;
  }
  m_r.verifyAnalyses += Count() - before;
}

void CSora::Finish(const std::valarray<double>& d) {
  m_r.design = d;
  m_r.objective = ObjectiveAt(d);
  const long long before = Count();
  bool bFeasible = true;
  for (const SoraConstraint& c : m_model.probabilities) {
    const double pof = c.sampledPof.value_or(c.pof);
    bFeasible = bFeasible && pof <= c.target * (1.0 + std::max(c.sampledCov.value_or(0.0), 1e-3));
  }
  const std::vector<Values> v = EvaluateDesigns({d});
  m_r.deterministicAnalyses += Count() - before;
  for (std::size_t k = 0; k < m_model.plain.size(); ++k) {
    const double violation = v[0].c[m_model.probabilities.size() + k];
    m_r.otherSubjects.push_back(m_model.plain[k].subject);
    m_r.otherViolations.push_back(violation);
    bFeasible = bFeasible && violation <= 1e-6;
  }
  m_r.feasible = bFeasible;
  m_r.constraints = m_model.probabilities;
  m_r.analyses = Count();
}

// Each limit state is measured in units of its gradient in standard space
// at the means of the start (its first-order standard deviation), so that
// every scaled limit state reads as a reliability index: the constraints of
// the deterministic steps are alike in size, and a tolerance on them is a
// tolerance on beta.  One batch of n + 1 analyses for all of them.
void CSora::SetScales(const std::valarray<double>& d) {
  const long long before = Count();
  const DesignLimitStates at(m_p, *m_db, d, 0, m_analysis);
  const rel::StandardSpace& space = at.space;
  const std::size_t n = space.Dimension();
  constexpr double kStep = 1e-5;
  rel::Batch x{space.ToPhysical(Vector(n, 0.0))};
  for (std::size_t j = 0; j < n; ++j) {
    Vector u(n, 0.0);
    u[j] = kStep;
    x.push_back(space.ToPhysical(u));
  }
  const rel::Batch g = at.g(x);
  m_gScale.assign(m_model.probabilities.size(), 1.0);
  for (std::size_t i = 0; i < m_model.probabilities.size(); ++i) {
    const std::size_t b = m_model.probabilities[i].bound;
    double norm = 0.0;
    for (std::size_t j = 0; j < n; ++j) norm += std::pow((g[j + 1][b] - g[0][b]) / kStep, 2);
    norm = std::sqrt(norm);
    m_gScale[i] = norm > 0.0 && std::isfinite(norm) ? norm : std::max(std::fabs(g[0][b]), 1.0);
  }
  m_r.inverseAnalyses += Count() - before;
}

SoraResult CSora::Run() {
  const auto start = std::chrono::steady_clock::now();
  const std::size_t m = m_model.probabilities.size(), nr = RandomNames(m_p).size();
  std::valarray<double> d = m_p.InitialPoint();
  m_shifts = {std::vector<Vector>(m, Vector(nr, 0.0)), std::vector<Vector>(m, MeansAt(d)),
              std::vector<Vector>(m, Vector(nr, 0.0))};
  m_gradNorm.assign(m, kNaN);
  SetScales(d);
  m_r.converged = Cycles(d, false);
  m_r.stopReason = m_r.converged
                       ? "converged: the design and the shifts settled"
                       : "not converged: the design still moved after " + std::to_string(m_o.maxCycles) + " cycles";
  ReportAtOptimum(d);
  if (m_o.refine && m_r.converged) {
    m_r.refined = true;
    // A coarse estimate finds the first-order error cheaply; the estimates
    // that decide are made at the c.o.v. asked for.
    double cov = std::max(m_o.refineCov, kCoarseCov);
    bool bMet = false;
    for (int round = 0; round < m_o.maxRefinements; ++round) {
      const bool bRoundMet = Refine(d, cov);
      if (bRoundMet && cov <= m_o.refineCov) {
        bMet = true;
        break;
      }
      const bool bCorrected = !bRoundMet;
      cov = m_o.refineCov;
      if (bCorrected && !Cycles(d, true)) break;
      if (bCorrected) ReportAtOptimum(d);
    }
    m_r.converged = bMet;
    m_r.stopReason = bMet ? "converged: every sampled POF meets its target within its c.o.v."
                          : "not converged: a sampled POF still misses its target after the refinements";
  }
  if (m_o.verifySamples > 0) Verify(d);
  Finish(d);
  m_r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return m_r;
}

}  // namespace

std::string SoraRefusal(const Problem& p) { return ReadModel(p).refusal; }

SoraResult OptimizeSora(const Problem& p, const SoraOptions& options, const SoraProgress& progress,
                        const std::shared_ptr<std::atomic<long long>>& pCounter) {
  const std::string refusal = SoraRefusal(p);
  if (const std::string skip = OptimizeSkipRefusal(p); !skip.empty()) throw std::invalid_argument(skip);
  if (!refusal.empty()) throw std::invalid_argument(refusal);
  if (p.designVariables.empty()) throw std::invalid_argument("sora needs a design variable to move");
  refhost::SetWorkerCount(p.settings.workers);
  CSora sora(p, options, progress, pCounter ? pCounter : std::make_shared<std::atomic<long long>>(0));
  return sora.Run();
}

}  // namespace rbo::problem
