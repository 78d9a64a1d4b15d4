// The design-point search of FORM (Form.h): the improved HL-RF iteration of
// Zhang and Der Kiureghian, with forward-difference gradients in standard
// space and a merit-function line search, from one or several starts.
//
// Each iterate u carries g(u) and its gradient, from one batch of n + 1
// points (u and its n forward perturbations).  The step solves the
// quadratic model of "minimise |u|^2 / 2 subject to g(u) = 0":
//
//   d = -W^-1 (u + lambda grad),   lambda = (g - grad . W^-1 u) / (grad . W^-1 grad),
//
// where W estimates the Hessian of the Lagrangian |u|^2 / 2 + lambda g.  The
// search starts with W = I, for which d is the HL-RF direction
//
//   d = ((grad . u - g) / |grad|^2) grad - u
//
// (the foot of the perpendicular from the origin onto the linearised limit
// state), and updates W by damped BFGS from the gradients it computes
// anyway: on a linear limit state W stays I; on a curved one W learns the
// curvature, which removes the zig-zag of HL-RF across a strongly curved
// surface without any further analysis (x1^3 + x2^3 - 18 of the textbooks:
// 9 iterations instead of 31).
//
// The step length is checked with the merit function
//
//   m(u) = |u|^2 / 2 + c |g(u)|,   c = 2 max(|lambda|, |u| / |grad|),
//
// by Armijo's rule: the directional derivative of m along d is
// -d^T W d + lambda g - c |g|, negative whenever c > |lambda|.  Rejected
// steps are shortened by safeguarded quadratic interpolation of m.
//
// The first trial step (1, or twice the step accepted last when that was
// shorter) is evaluated speculatively together with its stencil: in the
// usual case it is accepted and the stencil is the gradient of the next
// iterate, so an iteration costs n + 1 analyses.  A rejected trial costs one
// analysis per shorter step and n for the gradient at the accepted point.
#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rbo/reliability/Form.h"
#include "rbo/reliability/StandardNormal.h"
#include "reliability/DenseAlgebra.h"
#include "reliability/LimitStateProbe.h"
#include "reliability/SimulationSupport.h"

namespace rbo::reliability {
namespace {

using dense::Vector;
using detail::LimitStateProbe;

constexpr double kArmijo = 1e-4;                   // fraction of the predicted decrease a step must achieve
constexpr int kMaxBacktracks = 30;                 // shorter steps tried before the line search gives up
constexpr double kPenaltyFactor = 2;               // c is this multiple of its lower bounds
constexpr double kAbsoluteValueTolerance = 1e-12;  // on |g| when g at the start is 0

std::string Number(double v) {
  std::ostringstream s;
  s.precision(6);
  s << v;
  return s.str();
}

bool Positive(double v) { return v > 0.0 && std::isfinite(v); }

void CheckOptions(const FormOptions& o) {
  if (!Positive(o.fdStep)) throw std::invalid_argument("FORM: the finite-difference step must be positive");
  if (!Positive(o.valueTolerance)) throw std::invalid_argument("FORM: the value tolerance must be positive");
  if (!Positive(o.directionTolerance)) throw std::invalid_argument("FORM: the direction tolerance must be positive");
  if (o.maxIterations < 1) throw std::invalid_argument("FORM: at least one iteration is needed");
  if (o.starts < 1) throw std::invalid_argument("FORM: at least one start is needed");
  if (o.starts > 1 && !Positive(o.startRadius))
    throw std::invalid_argument("FORM: the radius of the start points must be positive");
}

/// A point of the search with the limit state and its gradient there.
struct Iterate {
  Vector u;
  double g = 0.0;
  Vector gradient;
};

/// The n forward perturbations of u, preceded by u itself when withCentre.
Batch Stencil(const Vector& u, double h, bool withCentre) {
  Batch points;
  if (withCentre) points.push_back(u);
  for (std::size_t i = 0; i < u.size(); ++i) {
    points.push_back(u);
    points.back()[i] += h;
  }
  return points;
}

Vector ForwardDifferences(double g, const std::vector<double>& perturbed, double h) {
  Vector gradient(perturbed.size());
  for (std::size_t i = 0; i < perturbed.size(); ++i) gradient[i] = (perturbed[i] - g) / h;
  return gradient;
}

/// u, g(u) and the gradient from one batch of n + 1 points.
Iterate Evaluate(LimitStateProbe& probe, const Vector& u, double h) {
  std::vector<double> values = probe.Values(Stencil(u, h, true));
  const double g = values.front();
  values.erase(values.begin());
  return {u, g, ForwardDifferences(g, values, h)};
}

/// The gradient at a point whose value is known: a batch of n points.
Iterate CompleteGradient(LimitStateProbe& probe, const Vector& u, double g, double h) {
  return {u, g, ForwardDifferences(g, probe.Values(Stencil(u, h, false)), h)};
}

/// Cosine of the angle between u and the gradient, in absolute value.
double AbsoluteCosine(const Iterate& it) {
  return std::fabs(dense::Dot(it.gradient, it.u)) / (dense::Norm(it.gradient) * dense::Norm(it.u));
}

bool AllFinite(const Vector& v) {
  return std::all_of(v.begin(), v.end(), [](double d) { return std::isfinite(d); });
}

/// One search from one start.
class Search {
 public:
  Search(LimitStateProbe& probe, const FormOptions& options) : m_probe(probe), m_o(options) {}

  DesignPoint Run(const Vector& start, std::size_t limitState);

 private:
  std::string Trouble(const Iterate& it) const;
  bool Converged(const Iterate& it) const;
  struct Direction {
    Vector d;
    double lambda;
  };
  Direction ModelStep() const;
  void UpdateModel(const Iterate& before, double lambda);
  bool Step(std::string* pMessage);
  bool Accepts(double merit, double t) const;
  double ShorterStep(double t, double meritAtT) const;
  DesignPoint Report(std::size_t limitState, int iterations, const std::string& message) const;

  LimitStateProbe& m_probe;
  const FormOptions& m_o;
  Iterate m_cur;
  double m_g0 = 0.0;
  // The line search of the current step.
  double m_merit0 = 0.0, m_slope = 0.0;
  dense::Matrix m_w;        // quasi-Newton Hessian of the Lagrangian (I: plain HL-RF)
  double m_lastStep = 1.0;  // the step accepted last; the next one tries twice as long (at most 1)
};

DesignPoint Search::Run(const Vector& start, std::size_t limitState) {
  const long long before = m_probe.Analyses();
  m_cur = Evaluate(m_probe, start, m_o.fdStep);
  m_w = dense::Identity(start.size());
  m_g0 = m_cur.g;
  std::string message;
  int iterations = 0;
  for (;; ++iterations) {
    message = Trouble(m_cur);
    if (!message.empty() || Converged(m_cur)) break;
    if (iterations == m_o.maxIterations) {
      message = "the search did not converge in " + std::to_string(iterations) +
                " iterations (|g| = " + Number(std::fabs(m_cur.g)) +
                ", 1 - cos(u, grad g) = " + Number(1.0 - AbsoluteCosine(m_cur)) + ")";
      break;
    }
    if (!Step(&message)) break;
  }
  DesignPoint dp = Report(limitState, iterations, message);
  dp.analyses = m_probe.Analyses() - before;
  return dp;
}

// Why the search cannot go on from this iterate ("" when it can).
std::string Search::Trouble(const Iterate& it) const {
  if (!std::isfinite(it.g)) return "the limit state is not a finite number (" + Number(it.g) + ") at a search point";
  if (!AllFinite(it.gradient))
    return "the limit state is not a finite number next to a search point: its gradient cannot be computed";
  if (dense::Norm(it.gradient) == 0.0)
    return "the gradient of the limit state is zero at a search point: the search has no direction to follow";
  return "";
}

bool Search::Converged(const Iterate& it) const {
  const double valueBound = m_g0 == 0.0 ? kAbsoluteValueTolerance : m_o.valueTolerance * std::fabs(m_g0);
  if (!(std::fabs(it.g) <= valueBound)) return false;
  if (dense::Norm(it.u) == 0.0) return true;  // the origin on the limit state: beta = 0
  return 1.0 - AbsoluteCosine(it) <= m_o.directionTolerance;
}

// The minimum of the quadratic through m(0), m'(0) and m(t), kept within
// [t/10, t/2] (safeguarded interpolation; t/10 when m(t) is not finite).
double Search::ShorterStep(double t, double meritAtT) const {
  const double curvature = (meritAtT - m_merit0 - m_slope * t) / (t * t);
  const double minimum = curvature > 0.0 ? -m_slope / (2.0 * curvature) : 0.5 * t;
  return std::isfinite(minimum) ? std::clamp(minimum, 0.1 * t, 0.5 * t) : 0.1 * t;
}

bool Search::Accepts(double merit, double t) const {
  // Strictly lower as well: far along a steep direction the predicted
  // decrease can vanish in rounding, and a step that does not change the
  // merit would be accepted for ever.
  return merit <= m_merit0 + kArmijo * t * m_slope && merit < m_merit0;
}

// The step of the quadratic model: minimise d^T W d / 2 + u . d subject to
// g + grad . d = 0, whose solution is d = -W^-1 (u + lambda grad) with
// lambda = (g - grad . W^-1 u) / (grad . W^-1 grad).  With W = I this is
// the HL-RF direction.
Search::Direction Search::ModelStep() const {
  const Iterate& cur = m_cur;
  dense::Matrix l;
  if (!dense::CholeskyLower(m_w, cur.u.size(), &l, 0.0)) l = dense::Identity(cur.u.size());
  const Vector a = dense::SolveCholesky(l, cur.u), b = dense::SolveCholesky(l, cur.gradient);
  const double lambda = (cur.g - dense::Dot(cur.gradient, a)) / dense::Dot(cur.gradient, b);
  return {dense::Scaled(-1.0, dense::AddScaled(a, lambda, b)), lambda};
}

// Damped BFGS update of W, the Hessian of the Lagrangian |u|^2/2 + lambda g,
// from the step s and the change of its gradient y = s + lambda (grad' -
// grad).  Powell's damping keeps W positive definite where y . s is small.
void Search::UpdateModel(const Iterate& before, double lambda) {
  const std::size_t n = before.u.size();
  const Vector s = dense::AddScaled(m_cur.u, -1.0, before.u);
  Vector y = dense::AddScaled(s, lambda, dense::AddScaled(m_cur.gradient, -1.0, before.gradient));
  const Vector ws = dense::Multiply(m_w, s);
  const double sws = dense::Dot(s, ws);
  double sy = dense::Dot(s, y);
  if (!(sws > 0.0) || !std::isfinite(sy)) return;
  if (sy < 0.2 * sws) {
    const double theta = 0.8 * sws / (sws - sy);
    y = dense::AddScaled(dense::Scaled(theta, y), 1.0 - theta, ws);
    sy = dense::Dot(s, y);
  }
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) m_w[i * n + j] += y[i] * y[j] / sy - ws[i] * ws[j] / sws;
}

// One iteration: the model step, then the longest accepted step on it.
bool Search::Step(std::string* pMessage) {
  const Iterate before = m_cur;
  const Direction dir = ModelStep();
  const Vector& d = dir.d;
  const double c =
      kPenaltyFactor * std::max(std::fabs(dir.lambda), dense::Norm(before.u) / dense::Norm(before.gradient));
  auto merit = [c](const Vector& u, double g) {
    return std::isfinite(g) ? 0.5 * dense::Dot(u, u) + c * std::fabs(g) : std::numeric_limits<double>::infinity();
  };
  m_merit0 = merit(before.u, before.g);
  m_slope = dense::Dot(before.u, d) - c * std::fabs(before.g);

  double t = std::min(1.0, 2.0 * m_lastStep);
  Iterate trial = Evaluate(m_probe, dense::AddScaled(before.u, t, d), m_o.fdStep);  // speculative: with its stencil
  double trialMerit = merit(trial.u, trial.g);
  bool accepted = Accepts(trialMerit, t);
  if (accepted) m_cur = std::move(trial);
  for (int k = 0; !accepted && k < kMaxBacktracks; ++k) {
    t = ShorterStep(t, trialMerit);
    const Vector u = dense::AddScaled(before.u, t, d);
    const double g = m_probe.Value(u);
    trialMerit = merit(u, g);
    accepted = Accepts(trialMerit, t);
    if (accepted) m_cur = CompleteGradient(m_probe, u, g, m_o.fdStep);
  }
  if (!accepted) {
    *pMessage =
        "the line search could not decrease the merit function |u|^2/2 + c|g| along the search direction: the "
        "limit state may not reach zero, or may not be smooth near the search point";
    return false;
  }
  m_lastStep = t;
  if (AllFinite(m_cur.gradient)) UpdateModel(before, dir.lambda);
  return true;
}

DesignPoint Search::Report(std::size_t limitState, int iterations, const std::string& message) const {
  DesignPoint dp;
  dp.limitState = limitState;
  dp.converged = message.empty();
  dp.message = message;
  dp.u = m_cur.u;
  dp.x = m_probe.Space().ToPhysical(m_cur.u);
  dp.gradient = m_cur.gradient;
  dp.gAtStart = m_g0;
  dp.gAtEnd = m_cur.g;
  dp.iterations = iterations;
  const double gradNorm = dense::Norm(m_cur.gradient);
  if (Positive(gradNorm)) dp.alpha = dense::Scaled(-1.0 / gradNorm, m_cur.gradient);
  return dp;
}

/// Importance factors from alpha: the squared components of alpha^T L^-1
/// (L the Cholesky factor of the normal correlation, so that L^-1 = du/dz'
/// with z' the equivalent-normal variables at the design point),
/// normalised to sum 1.  Independent variables: alpha_i^2.
Vector ImportanceFactors(const StandardSpace& space, const Vector& alpha) {
  if (alpha.empty()) return {};
  Vector w = alpha;
  dense::Matrix l;
  if (space.Correlated() && dense::CholeskyLower(space.NormalCorrelation(), alpha.size(), &l, 0.0))
    w = dense::SolveLowerTransposed(l, alpha);
  const double sum = dense::Dot(w, w);
  for (double& v : w) v = v * v / sum;
  return w;
}

/// The origin (or the given start), then starts - 1 points drawn on the
/// sphere of the start radius.
std::vector<Vector> StartPoints(std::size_t n, const FormOptions& o) {
  if (!o.start.empty() && o.start.size() != n)
    throw std::invalid_argument("FORM: the start has " + std::to_string(o.start.size()) + " values for " +
                                std::to_string(n) + " variables");
  std::vector<Vector> starts{o.start.empty() ? Vector(n, 0.0) : o.start};
  detail::RandomStream random(o.seed);
  while (starts.size() < static_cast<std::size_t>(o.starts)) {
    const Vector z = random.NormalVector(n);
    const double r = dense::Norm(z);
    if (r > 0.0) starts.push_back(dense::Scaled(o.startRadius / r, z));
  }
  return starts;
}

/// beta and pof of a converged design point; beta is negative when the
/// origin fails, that is when u points away from failure (alpha . u < 0).
void SetReliability(DesignPoint& dp, const StandardSpace& space) {
  dp.importance = ImportanceFactors(space, dp.alpha);
  if (!dp.converged) return;
  const bool bOriginFails = !dp.alpha.empty() && dense::Dot(dp.alpha, dp.u) < 0.0;
  dp.beta = (bOriginFails ? -1.0 : 1.0) * dense::Norm(dp.u);
  dp.pof = NormalCdf(-dp.beta);
}

/// Two searches found the same design point when their points are closer
/// than 1e-3 relative, or than what the direction criterion leaves open: it
/// bounds the angle between u and the normal by sqrt(2 tolerance), which
/// places u on the surface only to about |u| times that angle.
bool SamePoint(const DesignPoint& a, const DesignPoint& b, double directionTolerance) {
  const double relative = std::max(1e-3, 4.0 * std::sqrt(2.0 * directionTolerance));
  const double scale = std::max({1.0, dense::Norm(a.u), dense::Norm(b.u)});
  return dense::Distance(a.u, b.u) <= relative * scale;
}

/// The distinct converged design points, nearest first; the failed search
/// that ended closest to the limit state when none converged.
std::vector<DesignPoint> Distinct(std::vector<DesignPoint> found, double directionTolerance) {
  std::vector<DesignPoint> kept;
  std::stable_sort(found.begin(), found.end(),
                   [](const DesignPoint& a, const DesignPoint& b) { return dense::Norm(a.u) < dense::Norm(b.u); });
  for (DesignPoint& dp : found)
    if (dp.converged && std::none_of(kept.begin(), kept.end(),
                                     [&](const DesignPoint& k) { return SamePoint(k, dp, directionTolerance); }))
      kept.push_back(std::move(dp));
  if (!kept.empty()) return kept;
  auto closest = std::min_element(found.begin(), found.end(), [](const DesignPoint& a, const DesignPoint& b) {
    const double ga = std::isfinite(a.gAtEnd) ? std::fabs(a.gAtEnd) : std::numeric_limits<double>::infinity();
    const double gb = std::isfinite(b.gAtEnd) ? std::fabs(b.gAtEnd) : std::numeric_limits<double>::infinity();
    return ga < gb;
  });
  return {*closest};
}

}  // namespace

FormResult Form(const StandardSpace& space, const LimitStateFunction& g, std::size_t limitState,
                const FormOptions& options) {
  CheckOptions(options);
  if (space.Dimension() == 0) throw std::invalid_argument("FORM: the space has no random variables");
  LimitStateProbe probe(space, g, limitState);
  std::vector<DesignPoint> found;
  for (const Vector& start : StartPoints(space.Dimension(), options))
    found.push_back(Search(probe, options).Run(start, limitState));
  for (DesignPoint& dp : found) SetReliability(dp, space);
  FormResult result;
  result.designPoints = Distinct(std::move(found), options.directionTolerance);
  result.analyses = probe.Analyses();
  return result;
}

}  // namespace rbo::reliability
