// rbo::problem::Optimize: NLopt on top of the library's judgement of design
// points (see Optimize.h).
#include "rbo/problem/Optimize.h"

#include <nlopt.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "DesignSpace.h"
#include "rbo/RBO.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Reliability.h"

namespace rbo::problem {
namespace {

using optimize::BatchOutcome;
using optimize::CBatchRunner;
using optimize::CConstraintForms;
using optimize::CDesignSpace;

/// A constraint in the optimiser's form holds within this.
constexpr double kFeasibilityTol = 1e-6;
/// Tolerance NLopt applies to each constraint.
constexpr double kNloptConstraintTol = 1e-8;
/// Design points kept for NLopt's repeated calls at one point (the
/// objective and the constraints come separately).
constexpr std::size_t kCacheSize = 8;
/// Fresh starts of the optimiser from its best point (see Optimize).
constexpr int kMaxRestarts = 3;
/// Proposed points over which the best design must improve by more than
/// the tolerance (see COptimizationRun::CheckStall).
constexpr std::size_t kStallWindow = 10;
/// Sampling methods: a finite-difference step moves the random responses'
/// means by at least this many of their standard deviations ...
constexpr double kCalibratedShift = 0.1;
/// ... and far enough that this many samples cross a probability bound
/// (a difference of k crossings is known to about 1 / sqrt(k)) ...
constexpr double kCrossingSamples = 30.0;
/// ... but not beyond one standard deviation, within this factor of the
/// first step either way.
constexpr double kMaxCalibratedShift = 1.0;
constexpr double kCalibrationRange = 10.0;
/// A constraint whose optimiser form is above -this counts as active at a
/// candidate optimum: smooth statistics, and sampled ones (whose forms are
/// reliability indices known to a few hundredths only).
constexpr double kActiveTol = 1e-3;
constexpr double kSampledActiveTol = 0.1;

/// One design point with what the optimiser needs of it.
struct Sample {
  double objective = 0.0;           ///< EvalObj value
  std::vector<double> constraints;  ///< optimiser forms
  std::vector<double> means;        ///< mean of each random response
};

/// A design point the optimiser proposed, with its finite-difference steps.
struct CacheEntry {
  std::vector<double> u;       ///< the optimiser's variables (moving entries / scale)
  std::valarray<double> full;  ///< every entry of the point
  Sample centre;               ///< values at the point
  std::vector<bool> hasStep;   ///< per moving entry: its step is evaluated
  std::vector<double> delta;   ///< per moving entry: the change of the entry
  std::vector<Sample> step;    ///< per moving entry: values at the stepped point
  std::size_t history = 0;     ///< index of the point in the history
};

/// The optimiser "auto" stands for: SLSQP where the statistics are smooth
/// functions of the design (method 2, or nothing random); MMA where they
/// come from samples.  A sampled probability is a staircase, its
/// finite-difference gradient an estimate; SLSQP's line search trusts the
/// gradient and can stall at an infeasible point, while MMA accepts a step
/// only where its conservative model holds at the new point.
std::string ResolveOptimizer(const std::string& name, bool bSampling) {
  if (name != "auto") return name;
  return bSampling ? "mma" : "slsqp";
}

/// The tolerance 0 stands for: 1e-6, or 1e-4 where the statistics come from
/// samples, which place the design no finer.
double ResolveTolerance(double tol, bool bSampling) {
  if (tol > 0.0) return tol;
  return bSampling ? 1e-4 : 1e-6;
}

nlopt::algorithm Algorithm(const std::string& name) {
  if (name == "slsqp") return nlopt::LD_SLSQP;
  if (name == "mma") return nlopt::LD_MMA;
  if (name == "cobyla") return nlopt::LN_COBYLA;
  std::string known;
  for (const std::string& n : OptimizerNames()) known += (known.empty() ? "" : ", ") + n;
  if (name == "auto") return nlopt::LD_SLSQP;  // resolved later
  throw std::invalid_argument("unknown optimizer \"" + name + "\"; choose one of " + known);
}

std::string StopReason(nlopt::result r) {
  switch (r) {
    case nlopt::SUCCESS:
      return "converged";
    case nlopt::STOPVAL_REACHED:
      return "converged: the objective reached its stop value";
    case nlopt::FTOL_REACHED:
      return "converged: the objective changed less than the tolerance";
    case nlopt::XTOL_REACHED:
      return "converged: the design variables changed less than the tolerance";
    case nlopt::MAXEVAL_REACHED:
      return "stopped: the maximum number of evaluations was reached";
    case nlopt::MAXTIME_REACHED:
      return "stopped: the time limit was reached";
    default:
      return "stopped (NLopt result " + std::to_string(int(r)) + ")";
  }
}

/// The objective's terms on one design variable, differentiated exactly:
/// a difference over a step long enough for a sampled probability would
/// put its truncation error into a square term.
class CDesignVariableTerms {
 public:
  /// factor: the objective's sense / scale, as EvalObj applies them.
  CDesignVariableTerms(const Problem& problem, const std::vector<int>& moving, double factor) : m_dFactor(factor) {
    m_vTerms.resize(moving.size());
    for (const ObjectiveTerm& t : problem.objective)
      if (t.ref.type == kTypeIndDV)
        for (std::size_t j = 0; j < moving.size(); ++j)
          if (moving[j] == t.ref.index) m_vTerms[j].push_back({t.coef, t.square});
  }
  /// The terms' contribution to the objective at value x of moving entry j.
  double Value(std::size_t j, double x) const {
    double v = 0.0;
    for (const Term& t : m_vTerms[j]) v += t.coef * (t.square ? x * x : x);
    return m_dFactor * v;
  }
  /// Its derivative.
  double Derivative(std::size_t j, double x) const {
    double d = 0.0;
    for (const Term& t : m_vTerms[j]) d += t.square ? 2.0 * t.coef * x : t.coef;
    return m_dFactor * d;
  }

 private:
  struct Term {
    double coef;  ///< coefficient
    bool square;  ///< of the square
  };
  std::vector<std::vector<Term>> m_vTerms;  ///< per moving entry
  double m_dFactor;                         ///< sense / scale
};

class COptimizationRun {
 public:
  COptimizationRun(CDesignSpace& space, CBatchRunner& runner, const CConstraintForms& forms,
                   const CDesignVariableTerms& terms, const ProgressFunction& progress)
      : m_space(space),
        m_runner(runner),
        m_forms(forms),
        m_terms(terms),
        m_progress(progress),
        m_start(std::chrono::steady_clock::now()) {}

  /// The optimiser's variables of a point: its moving entries / scale.
  std::vector<double> ToVariables(const std::valarray<double>& full) const {
    const std::vector<int>& moving = m_space.Moving();
    std::vector<double> u(moving.size());
    for (std::size_t j = 0; j < moving.size(); ++j) u[j] = full[std::size_t(moving[j])] / m_space.Scale(moving[j]);
    return u;
  }

  /// The cache entry of the point with the optimiser's variables u,
  /// evaluated (with its finite-difference steps when bGradient).  Points
  /// are recognised by u itself, so that a point the optimiser proposes
  /// twice is judged once.
  CacheEntry& Evaluate(const std::vector<double>& u, bool bGradient) {
    CacheEntry* pEntry = Find(u);
    if (pEntry == nullptr) pEntry = &EvaluateCentre(u, bGradient);
    if (bGradient) EvaluateMissingSteps(*pEntry);
    return *pEntry;
  }

  double Objective(unsigned n, const double* u, double* grad) {
    CacheEntry& e = Evaluate(std::vector<double>(u, u + n), grad != nullptr);
    if (grad != nullptr)
      for (unsigned j = 0; j < n; ++j) {
        const int i = m_space.Moving()[j];
        // The difference of the terms on responses, the exact derivative of
        // the terms on this variable.
        const double x = e.full[std::size_t(i)];
        const double own = m_terms.Value(j, x + e.delta[j]) - m_terms.Value(j, x);
        const double d = (e.step[j].objective - e.centre.objective - own) / e.delta[j] + m_terms.Derivative(j, x);
        grad[j] = d * m_space.Scale(i) / m_dObjectiveScale;
      }
    return e.centre.objective / m_dObjectiveScale;
  }

  void Constraints(unsigned m, double* result, unsigned n, const double* u, double* grad) {
    CacheEntry& e = Evaluate(std::vector<double>(u, u + n), grad != nullptr);
    for (unsigned c = 0; c < m; ++c) {
      result[c] = e.centre.constraints[c];
      if (grad == nullptr) continue;
      for (unsigned j = 0; j < n; ++j) {
        const int i = m_space.Moving()[j];
        grad[c * n + j] = (e.step[j].constraints[c] - e.centre.constraints[c]) / e.delta[j] * m_space.Scale(i);
      }
    }
  }

  static double ObjectiveThunk(unsigned n, const double* u, double* grad, void* data) {
    auto* self = static_cast<COptimizationRun*>(data);
    try {
      return self->Objective(n, u, grad);
    } catch (...) {
      self->Stop(std::current_exception());
      return HUGE_VAL;
    }
  }

  static void ConstraintThunk(unsigned m, double* result, unsigned n, const double* u, double* grad, void* data) {
    auto* self = static_cast<COptimizationRun*>(data);
    try {
      self->Constraints(m, result, n, u, grad);
    } catch (...) {
      self->Stop(std::current_exception());
      for (unsigned c = 0; c < m; ++c) result[c] = HUGE_VAL;
    }
  }

  /// Sampling methods: a probability estimated from a fixed sample is a
  /// staircase in the design variables, and a difference over a step sees
  /// only the samples that cross a bound within it.  The first gradient is
  /// taken with the default steps; then every moving variable's step is
  /// resized so that it moves the random responses' means by dShift of
  /// their standard deviations (the most sensitive response counts).  Then
  /// every variable's difference rests on a comparable number of samples,
  /// and the gradient's direction is not set by the chance of which step
  /// caught more of them.  The gradient at the first point is taken again.
  void CalibrateSteps(const std::vector<double>& u0, double dShift) {
    CacheEntry& e = Evaluate(u0, true);
    const PointResult& centre = m_history[e.history].point;
    const std::vector<int>& moving = m_space.Moving();
    for (std::size_t j = 0; j < moving.size(); ++j) {
      double shift = 0.0;  // largest mean shift per unit of the variable, in standard deviations
      for (std::size_t k = 0; k < centre.responses.size(); ++k) {
        const double sd = centre.responses[k].sd;
        if (sd > 0.0) shift = std::max(shift, std::fabs(e.step[j].means[k] - e.centre.means[k]) / sd);
      }
      const double h0 = std::fabs(e.delta[j]);
      if (!(shift > 0.0)) continue;  // no random response depends on it
      shift /= h0;
      const double h = std::min(std::max(dShift / shift, h0 / kCalibrationRange), h0 * kCalibrationRange);
      m_space.SetStepSize(moving[j], h);
    }
    e.hasStep.assign(moving.size(), false);
    Evaluate(u0, true);
  }

  void SetOptimizer(nlopt::opt* pOpt) { m_pOpt = pOpt; }
  /// Proposed points are not reported (checks after the optimiser ended).
  void SetQuiet(bool bQuiet) { m_bQuiet = bQuiet; }
  /// The largest optimiser-form constraint (without margin) of proposed point k.
  double WorstOf(std::size_t k) const { return m_worst[k]; }
  void SetObjectiveScale(double d) { m_dObjectiveScale = d; }
  void SetTolerance(double d) { m_dTol = d; }
  /// The best design stopped improving (see CheckStall).
  bool Stalled() const { return m_bStalled; }
  /// Rethrows what a callback caught.
  void RethrowIfFailed() const {
    if (m_error) std::rethrow_exception(m_error);
  }

  /// The best point: the feasible one with the least objective, else the
  /// one with the least violation.
  std::size_t Best() const {
    std::size_t best = 0;
    for (std::size_t k = 1; k < m_history.size(); ++k) {
      const IterationReport& a = m_history[k];
      const IterationReport& b = m_history[best];
      if (a.feasible != b.feasible
              ? a.feasible
              : (a.feasible ? a.point.objective * m_dSense < b.point.objective * m_dSense : m_worst[k] < m_worst[best]))
        best = k;
    }
    return best;
  }
  void SetSense(int sense) { m_dSense = double(sense); }

  const std::vector<IterationReport>& History() const { return m_history; }
  /// Every entry of proposed point k, and its optimiser's variables.
  const std::valarray<double>& FullOf(std::size_t k) const { return m_full[k]; }
  const std::vector<double>& ProposedVariables(std::size_t k) const { return m_u[k]; }
  double Seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count(); }

 private:
  void Stop(std::exception_ptr error) {
    if (!m_error) m_error = error;
    if (m_pOpt != nullptr) m_pOpt->force_stop();
  }

  CacheEntry* Find(const std::vector<double>& u) {
    for (CacheEntry& e : m_cache)
      if (e.u == u) return &e;
    return nullptr;
  }

  Sample SampleOf(const BatchOutcome& b, std::size_t p) const {
    Sample s;
    s.objective = b.evalObj[p];
    s.constraints = m_forms.Values(b.subjectValues[p], b.points[p]);
    for (const ResponseResult& r : b.points[p].responses) s.means.push_back(r.mean);
    if (!std::isfinite(s.objective))
      throw std::runtime_error("the objective is not a finite number at design point " + Describe(b.points[p].design));
    for (double c : s.constraints)
      if (std::isnan(c))
        throw std::runtime_error("a constraint is not a number at design point " + Describe(b.points[p].design));
    return s;
  }

  static std::string Describe(const std::valarray<double>& x) {
    std::string s = "(";
    for (std::size_t i = 0; i < x.size(); ++i) s += (i ? ", " : "") + std::to_string(x[i]);
    return s + ")";
  }

  /// The points of one evaluation around centre: the centre, then a step
  /// in every regression entry.  tags receives the entry of each step.
  std::vector<std::valarray<double>> Around(const std::valarray<double>& centre, std::vector<int>& tags,
                                            std::vector<double>& deltas) const {
    std::vector<std::valarray<double>> points{centre};
    for (int r : m_space.RegressionSteps()) {
      double d = 0.0;
      points.push_back(m_space.Step(centre, r, &d));
      tags.push_back(r);
      deltas.push_back(d);
    }
    return points;
  }

  void Record(CacheEntry& e, int entry, double delta, Sample s) {
    const std::vector<int>& moving = m_space.Moving();
    const auto it = std::lower_bound(moving.begin(), moving.end(), entry);
    if (it == moving.end() || *it != entry) return;  // a regression step of a fixed mean
    const std::size_t j = std::size_t(it - moving.begin());
    e.hasStep[j] = true;
    e.delta[j] = delta;
    e.step[j] = std::move(s);
  }

  CacheEntry& EvaluateCentre(const std::vector<double>& u, bool bGradient) {
    std::valarray<double> full(m_space.Initial());
    const std::vector<int>& moving = m_space.Moving();
    for (std::size_t j = 0; j < moving.size(); ++j) full[std::size_t(moving[j])] = u[j] * m_space.Scale(moving[j]);
    std::vector<int> tags;
    std::vector<double> deltas;
    std::vector<std::valarray<double>> points = Around(full, tags, deltas);
    // Steps that fit into the same batch join it, so that a parallel run
    // analyses them together.
    if (bGradient)
      for (int i : moving)
        if (!std::binary_search(m_space.RegressionSteps().begin(), m_space.RegressionSteps().end(), i) &&
            !m_space.StepsNeedOwnBatch(i)) {
          double d = 0.0;
          points.push_back(m_space.Step(full, i, &d));
          tags.push_back(i);
          deltas.push_back(d);
        }
    const BatchOutcome b = m_runner.Run(points);

    if (m_cache.size() >= kCacheSize) m_cache.pop_front();
    m_cache.emplace_back();
    CacheEntry& e = m_cache.back();
    const std::size_t nMoving = moving.size();
    e.u = u;
    e.full = full;
    e.centre = SampleOf(b, 0);
    e.hasStep.assign(nMoving, false);
    e.delta.assign(nMoving, 0.0);
    e.step.assign(nMoving, Sample());
    for (std::size_t t = 0; t < tags.size(); ++t) Record(e, tags[t], deltas[t], SampleOf(b, t + 1));

    IterationReport report;
    report.iteration = int(m_history.size()) + 1;
    report.point = b.points[0];
    const double worst = m_forms.Worst(e.centre.constraints);
    report.feasible = !(worst > kFeasibilityTol);
    report.analyses = m_runner.Analyses();
    report.seconds = Seconds();
    e.history = m_history.size();
    m_history.push_back(report);
    m_worst.push_back(worst);
    m_full.push_back(full);
    m_u.push_back(u);
    if (m_progress && !m_bQuiet) m_progress(m_history.back());
    CheckStall();
    return e;
  }

  /// Sampling methods: stops the optimiser once neither the best feasible
  /// design has improved by more than the tolerance nor the least violation
  /// of an infeasible one has shrunk, over the last kStallWindow proposed
  /// points.  On the staircase of a sampled probability an optimiser can go
  /// on proposing ever smaller moves that the sample cannot tell apart, and
  /// its own tests on the last step never fire.  (Smooth statistics are
  /// left to the optimiser's own tests.)
  void CheckStall() {
    if (!m_space.IsSampling()) return;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const IterationReport& last = m_history.back();
    const double f = last.feasible ? last.point.objective * m_dSense : kInf;
    const double v = last.feasible ? kInf : m_worst.back();
    m_bestTrace.push_back(m_bestTrace.empty() ? f : std::min(m_bestTrace.back(), f));
    m_violationTrace.push_back(m_violationTrace.empty() ? v : std::min(m_violationTrace.back(), v));
    const std::size_t k = m_bestTrace.size() - 1;
    if (k < kStallWindow) return;
    const double now = m_bestTrace[k], before = m_bestTrace[k - kStallWindow];
    const double vNow = m_violationTrace[k], vBefore = m_violationTrace[k - kStallWindow];
    const bool bObjectiveStalled =
        std::isfinite(now) && std::isfinite(before) && before - now <= m_dTol * std::max(std::fabs(now), 1e-12);
    const bool bViolationStalled = vNow == vBefore || (std::isfinite(vBefore) && vBefore - vNow <= m_dTol * vNow);
    if (bObjectiveStalled && bViolationStalled) {
      m_bStalled = true;
      if (m_pOpt != nullptr) m_pOpt->force_stop();
    }
  }

  void EvaluateMissingSteps(CacheEntry& e) {
    const std::vector<int>& moving = m_space.Moving();
    std::vector<std::valarray<double>> shared;
    std::vector<int> sharedTags;
    std::vector<double> sharedDeltas;
    for (std::size_t j = 0; j < moving.size(); ++j) {
      if (e.hasStep[j]) continue;
      const int i = moving[j];
      double d = 0.0;
      std::valarray<double> stepped = m_space.Step(e.full, i, &d);
      if (m_space.StepsNeedOwnBatch(i)) {
        // Method 2 fits each batch on its own: the stepped point needs its
        // own regression steps around it.
        std::vector<int> tags;
        std::vector<double> deltas;
        const BatchOutcome b = m_runner.Run(Around(stepped, tags, deltas));
        Record(e, i, d, SampleOf(b, 0));
      } else {
        shared.push_back(stepped);
        sharedTags.push_back(i);
        sharedDeltas.push_back(d);
      }
    }
    if (shared.empty()) return;
    const BatchOutcome b = m_runner.Run(shared);
    for (std::size_t t = 0; t < shared.size(); ++t) Record(e, sharedTags[t], sharedDeltas[t], SampleOf(b, t));
  }

  CDesignSpace& m_space;                          ///< design variables and steps
  CBatchRunner& m_runner;                         ///< the library's judgement
  const CConstraintForms& m_forms;                ///< constraint forms
  const CDesignVariableTerms& m_terms;            ///< objective terms on design variables
  const ProgressFunction& m_progress;             ///< per proposed point
  std::chrono::steady_clock::time_point m_start;  ///< start of the run
  nlopt::opt* m_pOpt = nullptr;                   ///< the optimiser, stopped on a failure
  std::exception_ptr m_error;                     ///< what a callback caught
  double m_dObjectiveScale = 1.0;                 ///< divides the objective
  double m_dSense = 1.0;                          ///< +1 minimise, -1 maximise (reported objective)
  double m_dTol = 1e-6;                           ///< relative tolerance of the stall test
  bool m_bStalled = false;                        ///< the best design stopped improving
  bool m_bQuiet = false;                          ///< proposed points are not reported
  std::vector<double> m_bestTrace;                ///< best feasible minimised objective after each proposed point
  std::vector<double> m_violationTrace;           ///< least violation of an infeasible point after each proposed point
  std::deque<CacheEntry> m_cache;                 ///< recent points (a deque: entries stay where they are)
  std::vector<IterationReport> m_history;         ///< every proposed point
  std::vector<double> m_worst;                    ///< largest optimiser-form constraint per proposed point
  std::vector<std::valarray<double>> m_full;      ///< every entry of each proposed point
  std::vector<std::vector<double>> m_u;           ///< the optimiser's variables of each proposed point
};

/// Why the best point found is no optimum, or "" when it may be one.  A
/// candidate optimum has an active constraint, or no direction within the
/// bounds in which the objective falls.  Where no constraint is active and
/// the objective still falls, the optimiser stopped for another reason: a
/// flat sampled gradient, a failed line search, a step it could not take.
/// Evaluates the gradient at the point (usually cached) for this.
std::string NotAnOptimum(COptimizationRun& run, const CDesignSpace& space, std::size_t best, bool bNeverMoved,
                         std::size_t nConstraints) {
  const IterationReport& point = run.History()[best];
  const std::vector<double> u = run.ProposedVariables(best);
  const std::size_t n = u.size();
  const std::string where = bNeverMoved ? "the design never left its start point" : "the optimiser stopped at a point";
  if (!point.feasible) return bNeverMoved ? where + ", which violates a constraint" : "";
  const double activeTol = space.IsSampling() ? kSampledActiveTol : kActiveTol;
  if (nConstraints > 0 && run.WorstOf(best) > -activeTol) return "";
  run.SetQuiet(true);
  std::vector<double> grad(n, 0.0), cgrad(n * nConstraints, 0.0), c(nConstraints, 0.0);
  run.Objective(unsigned(n), u.data(), grad.data());
  if (nConstraints > 0) run.Constraints(unsigned(nConstraints), c.data(), unsigned(n), u.data(), cgrad.data());
  run.SetQuiet(false);
  std::string falling;
  for (std::size_t j = 0; j < n; ++j) {
    const int i = space.Moving()[j];
    const double x = u[j] * space.Scale(i);
    const bool bDown = grad[j] > 1e-9 && x > space.Lower(i);
    const bool bUp = grad[j] < -1e-9 && x < space.Upper(i);
    if (bDown || bUp) falling += (falling.empty() ? "" : ", ") + space.Name(i) + (bDown ? " down" : " up");
  }
  if (falling.empty()) return "";
  const bool bFlat = nConstraints > 0 && std::all_of(cgrad.begin(), cgrad.end(), [](double g) { return g == 0.0; });
  return where + " where no constraint is active and the objective still falls (moving " + falling + ")" +
         (bFlat ? "; the sampled constraint gradients are flat there (no sample crosses a bound within a step)" : "") +
         ": that is not an optimum";
}

void CheckOptions(const OptimizeOptions& o, const Settings& s) {
  Algorithm(o.optimizer);
  if (o.maxEvals < 1) throw std::invalid_argument("--max-evals must be at least 1");
  if (!(o.tol >= 0.0)) throw std::invalid_argument("--tol must be a positive number (or 0 for the default)");
  if (o.verifySamples < 0) throw std::invalid_argument("--verify-samples must not be negative");
  if (!(o.fdStep > 0.0) || !(o.fdStep < 1.0))
    throw std::invalid_argument("the finite-difference step must lie in (0, 1)");
  if (!(o.fdSampleStep >= 0.0) || !(o.fdSampleRelStep >= 0.0))
    throw std::invalid_argument("the sampling finite-difference steps must not be negative");
  if (IsReliabilityMethod(s.method))
    throw std::invalid_argument(std::string("rbo optimize does not take method ") + MethodName(s.method) +
                                " yet; use `rbo run --method " + MethodName(s.method) +
                                "` to assess a design, and method 0 to 4 to optimise");
  if (s.method < 0 || s.method > 4) throw std::invalid_argument("the RBO method must be 0 to 4");
  if (s.samples < 1) throw std::invalid_argument("the number of samples must be at least 1");
}

/// What an optimisation is about to do, from the problem and the options.
struct Plan {
  bool bRandom = false;    ///< the library takes its random path
  bool bSampling = false;  ///< the statistics come from samples
  std::string optimizer;   ///< "auto" resolved
  double tol = 0.0;        ///< 0 resolved
  nlopt::algorithm algorithm = nlopt::LD_SLSQP;
  bool bGradient = true;  ///< the optimiser wants gradients (finite differences)
};

Plan MakePlan(const CDB& db, const Settings& s, const OptimizeOptions& options) {
  Plan plan;
  plan.bRandom = db.m_nRandVars > 0 && db.m_nRandRespsPlus1 > 1;
  plan.bSampling = plan.bRandom && s.method != 2;
  plan.optimizer = ResolveOptimizer(options.optimizer, plan.bSampling);
  plan.tol = ResolveTolerance(options.tol, plan.bSampling);
  plan.algorithm = Algorithm(plan.optimizer);
  plan.bGradient = plan.optimizer != "cobyla";
  return plan;
}

/// Method 2 is driven through its per-batch variant: every AnalysisVerif
/// call clears the regression data, fits a linear surface to the batch's
/// own design points (the design point and a step in every random mean)
/// and propagates through it.  That is first-order propagation with
/// forward-difference gradients at each design point.  The variant that
/// keeps every point ever evaluated fits one global polynomial, up to
/// cubic, over the whole path of the optimiser; it goes rank-deficient as
/// soon as a random mean takes fewer values than the order needs, and
/// weights far-away points like near ones.  Also configures the host for
/// the problem's method, samples, seed, workers and analysis.
void ConfigureForOptimizer(CDB& db, const Problem& problem) {
  db.m_optimizerKind = 0;
  db.m_nMethodSelect = 1;
  db.m_optMethod0A = db.m_optMethod0B = 2;
  CDB::m_nGradsCalc = 0;                     // every call fits
  CDB::m_bIsRestartForDGOMeanValue = false;  // no stored columns stand in
  CDB::s_nKorrMethod = 2;                    // statistics from the first call on
  ConfigureHost(problem, nullptr);
}

/// The settings and names of the result, before anything runs.
OptimizeResult DescribeRun(const Problem& problem, const Plan& plan, const CConstraintForms& forms) {
  const Settings& s = problem.settings;
  OptimizeResult result;
  result.optimizer = plan.optimizer;
  result.tol = plan.tol;
  result.method = s.method;
  result.samples = s.samples;
  result.seed = s.seed;
  for (const DesignVariable& v : problem.designVariables) result.designVariables.push_back(v.name);
  for (const Constraint& c : problem.constraints) {
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", c.bound);
    result.constraintNames.push_back(c.subject + (c.side > 0 ? " <= " : " >= ") + bound);
  }
  result.warnings = forms.Warnings();
  return result;
}

/// The optimiser's box: its variables at the start and their bounds, and
/// COBYLA's first simplex.
struct Box {
  std::vector<double> u0;            ///< the start point
  std::vector<double> lower, upper;  ///< bounds
  std::vector<double> initialStep;   ///< COBYLA's first steps
};

Box OptimizerBox(const CDesignSpace& space, const COptimizationRun& run) {
  const std::vector<int>& moving = space.Moving();
  const std::size_t n = moving.size();
  Box box;
  box.u0 = run.ToVariables(space.Initial());
  box.lower.resize(n);
  box.upper.resize(n);
  box.initialStep.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const int i = moving[j];
    const double scale = space.Scale(i);
    box.lower[j] = space.Lower(i) / scale;
    box.upper[j] = space.Upper(i) / scale;
    // COBYLA's first simplex: a tenth of the variable, within half its range.
    box.initialStep[j] = std::min(0.1 * std::max(std::fabs(box.u0[j]), 1.0), 0.5 * (box.upper[j] - box.lower[j]));
  }
  return box;
}

/// The first point, with its steps when the optimiser wants gradients: its
/// objective sets the scale the optimiser sees (about 1 at the start).
/// Sampling methods calibrate the finite-difference steps there first.
void EvaluateStart(COptimizationRun& run, const CDesignSpace& space, const CConstraintForms& forms,
                   const Problem& problem, const Plan& plan, const std::vector<double>& u0) {
  const Settings& s = problem.settings;
  const bool bSteps = plan.bGradient && !u0.empty();
  const double f0 = run.Evaluate(u0, bSteps).centre.objective;
  if (bSteps && space.IsSampling()) {
    // The shift that carries kCrossingSamples across the tightest
    // probability bound b: N phi(z_b) samples lie within one standard
    // deviation's shift there.
    double shift = kCalibratedShift;
    for (std::size_t c = 0; c < problem.constraints.size(); ++c)
      if (forms.IsProbability(c)) {
        const double z = optimize::NormalQuantile(problem.constraints[c].bound);
        const double density = std::exp(-0.5 * z * z) / std::sqrt(2.0 * M_PI);
        shift = std::max(shift, kCrossingSamples / (double(s.samples) * density));
      }
    run.CalibrateSteps(u0, std::min(shift, kMaxCalibratedShift));
  }
  run.SetObjectiveScale(std::fabs(f0) > 1e-12 ? std::fabs(f0) : 1.0);
}

/// One round of the optimiser from u, with the evaluations left.  Returns
/// whether it failed (NLopt's own failure or rounding), with *pUsed the
/// evaluations it took and result.stopReason why it stopped.
bool OptimizerRound(COptimizationRun& run, const CConstraintForms& forms, const Plan& plan, const Box& box,
                    const std::vector<double>& u, int evaluationsLeft, int* pUsed, OptimizeResult& result) {
  nlopt::opt opt(plan.algorithm, unsigned(u.size()));
  run.SetOptimizer(&opt);
  opt.set_lower_bounds(box.lower);
  opt.set_upper_bounds(box.upper);
  opt.set_min_objective(&COptimizationRun::ObjectiveThunk, &run);
  if (forms.Count() > 0)
    opt.add_inequality_mconstraint(&COptimizationRun::ConstraintThunk, &run,
                                   std::vector<double>(forms.Count(), kNloptConstraintTol));
  opt.set_xtol_rel(plan.tol);
  opt.set_ftol_rel(plan.tol);
  opt.set_maxeval(evaluationsLeft);
  if (!plan.bGradient) opt.set_initial_step(box.initialStep);
  std::vector<double> x = u;
  double fOpt = 0.0;
  bool bFailed = false;
  try {
    result.stopReason = StopReason(opt.optimize(x, fOpt));
  } catch (const nlopt::roundoff_limited&) {
    result.stopReason = "stopped: limited by rounding (no further progress possible)";
    bFailed = true;
  } catch (const nlopt::forced_stop&) {
    run.RethrowIfFailed();
    result.stopReason = run.Stalled() ? "converged: the design improved less than the tolerance over the last " +
                                            std::to_string(kStallWindow) + " points"
                                      : "stopped";
  } catch (const std::invalid_argument& e) {
    run.RethrowIfFailed();
    throw std::invalid_argument(std::string("the optimizer rejected the problem: ") + e.what());
  } catch (const std::runtime_error& e) {
    run.RethrowIfFailed();
    // NLopt's own failure (SLSQP's line search, for one): the best
    // point found so far is still the answer.
    result.stopReason = std::string("stopped: the optimizer failed (") + e.what() + ")";
    bFailed = true;
  }
  run.RethrowIfFailed();
  run.SetOptimizer(nullptr);
  *pUsed = opt.get_numevals();
  return bFailed;
}

/// A quasi-Newton model built from finite differences can go wrong (a
/// step to a bound, a declared convergence at an infeasible point) while
/// a better point lies behind.  Then the optimiser starts again from the
/// best point, with a fresh model, as long as that keeps improving the
/// best point and the evaluations last.
void RunOptimizer(COptimizationRun& run, const CConstraintForms& forms, const Plan& plan, const Box& box, int maxEvals,
                  OptimizeResult& result) {
  std::vector<double> u = box.u0;
  int used = 0;
  for (int round = 0;; ++round) {
    const std::size_t bestBefore = run.Best();
    int usedNow = 0;
    const bool bFailed = OptimizerRound(run, forms, plan, box, u, maxEvals - used, &usedNow, result);
    used += usedNow;
    // Where the optimiser last looked: its final point is the best one it
    // saw, not necessarily where its model led it.
    const std::size_t best = run.Best();
    const bool bEndedAtBest = !bFailed && run.History().size() - 1 == best;
    if (bEndedAtBest || run.Stalled() || best == bestBefore || round >= kMaxRestarts || used >= maxEvals) break;
    u = run.ProposedVariables(best);
    ++result.restarts;
  }
  run.RethrowIfFailed();
}

/// Says in result.noOptimum why the best point is no optimum (NotAnOptimum),
/// and keeps a stop that looks like convergence from reading as one then.
void JudgeOptimum(COptimizationRun& run, const CDesignSpace& space, const CConstraintForms& forms,
                  const std::string& optimizer, std::size_t best, OptimizeResult& result) {
  const std::valarray<double>& start = space.Initial();
  const std::valarray<double>& found = run.FullOf(best);
  bool bNeverMoved = true;
  for (int i : space.Moving()) bNeverMoved = bNeverMoved && found[std::size_t(i)] == start[std::size_t(i)];
  result.noOptimum = NotAnOptimum(run, space, best, bNeverMoved, forms.Count());
  if (result.noOptimum.empty()) return;
  if (result.stopReason.rfind("converged", 0) == 0) result.stopReason = "stopped" + result.stopReason.substr(9);
  result.noOptimum += ". Try another optimizer (" + std::string(optimizer == "cobyla" ? "mma" : "cobyla") + ")" +
                      (space.IsSampling() ? ", more samples, or --method fo to find the neighbourhood first" : "");
}

/// Sampling of the analysis itself, with an independent stream: the
/// optimiser has adapted the design to the sample it saw (common random
/// numbers), so only fresh samples show the design's own probability.
/// The response-surface methods are checked by Latin hypercube sampling.
Verification Verify(CDB& db, const Problem& problem, const CDesignSpace& space, const std::valarray<double>& full,
                    int samples) {
  const Settings& s = problem.settings;
  Verification v;
  v.method = s.method == 0 ? 0 : 1;
  v.samples = samples;
  v.seed = s.seed + 1;
  refhost::SetRBOMethod(v.method, v.samples);
  refhost::SetSeed(v.seed);
  CBatchRunner verifier(db, problem, v.method, v.samples, s.parallel, space.ProblemSize());
  v.point = verifier.Run({full}).points[0];
  v.analyses = verifier.Analyses();
  refhost::SetRBOMethod(s.method, s.samples);
  refhost::SetSeed(s.seed);
  return v;
}

}  // namespace

const std::vector<std::string>& OptimizerNames() {
  static const std::vector<std::string> names{"auto", "slsqp", "mma", "cobyla"};
  return names;
}

OptimizeResult Optimize(const Problem& problem, const OptimizeOptions& options, const ProgressFunction& progress) {
  const Settings& s = problem.settings;
  CheckOptions(options, s);
  if (const std::string skip = OptimizeSkipRefusal(problem); !skip.empty()) throw std::invalid_argument(skip);
  if (const std::string refusal = MethodRefusal(problem); !refusal.empty()) throw std::invalid_argument(refusal);
  std::unique_ptr<CDB> db = problem.builder.Build();
  const Plan plan = MakePlan(*db, s, options);
  ConfigureForOptimizer(*db, problem);

  CDesignSpace space(*db, problem, s.method, options);
  const CConstraintForms forms(*db, problem, s.method, s.samples);
  CBatchRunner runner(*db, problem, s.method, s.samples, s.parallel, space.ProblemSize());
  const double objectiveFactor = (db->m_vObjSense.size() != 0 ? double(db->m_vObjSense[0]) : 1.0) /
                                 (db->m_vObjScale.size() != 0 ? db->m_vObjScale[0] : 1.0);
  const CDesignVariableTerms terms(problem, space.Moving(), objectiveFactor);
  COptimizationRun run(space, runner, forms, terms, progress);
  run.SetSense(problem.sense);
  run.SetTolerance(plan.tol);

  OptimizeResult result = DescribeRun(problem, plan, forms);
  const Box box = OptimizerBox(space, run);
  const std::vector<std::valarray<double>> seeds = space.SeedPoints(s.seed);
  if (!seeds.empty()) runner.Run(seeds);
  EvaluateStart(run, space, forms, problem, plan, box.u0);
  if (space.Moving().empty())
    result.stopReason = "nothing to optimise: every design variable is fixed";
  else
    RunOptimizer(run, forms, plan, box, options.maxEvals, result);

  const std::size_t best = run.Best();
  if (!space.Moving().empty()) JudgeOptimum(run, space, forms, plan.optimizer, best, result);
  result.history = run.History();
  result.optimum = result.history[best].point;
  result.feasible = result.history[best].feasible;
  result.evaluations = int(result.history.size());
  result.batches = runner.Batches();
  result.analyses = runner.Analyses();
  result.seconds = run.Seconds();
  if (options.verifySamples > 0 && plan.bRandom) {
    result.verification = Verify(*db, problem, space, run.FullOf(best), options.verifySamples);
    result.verified = true;
  }
  return result;
}

}  // namespace rbo::problem
