// The reliability methods at each design point (Reliability.h).
#include "rbo/problem/Reliability.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "PointModel.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Evaluate.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Sora.h"
#include "rbo/reliability/Reliability.h"

namespace rbo::problem {
namespace {

namespace rel = rbo::reliability;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string BoundName(const Problem& p, const Bound& b) {
  return (b.upper ? "the upper bound of " : "the lower bound of ") + p.responses[b.response].name;
}

std::vector<NamedValue> Named(const std::vector<std::string>& names, const std::vector<double>& v) {
  std::vector<NamedValue> out;
  for (std::size_t i = 0; i < names.size() && i < v.size(); ++i) out.push_back({names[i], v[i]});
  return out;
}

// The design points of one design point's limit states, searched once and
// shared by the response that owns each bound and the series system.
struct Searches {
  std::vector<rel::FormResult> form;  ///< per limit state
  long long analyses = 0;
};

Searches SearchDesignPoints(const Problem& p, const rel::StandardSpace& space, const rel::LimitStateFunction& g,
                            std::size_t nBounds) {
  rel::FormOptions options;
  options.starts = p.settings.reliability.starts;
  options.seed = p.settings.seed;
  Searches s;
  for (std::size_t b = 0; b < nBounds; ++b) {
    s.form.push_back(rel::Form(space, g, b, options));
    s.analyses += s.form.back().analyses;
  }
  return s;
}

// ---------------------------------------------------------------- per response

/// What one response needs: its limit states, and the searches when the
/// method makes them.
struct ResponseJob {
  const Problem& p;
  const rel::StandardSpace& space;
  const rel::LimitStateFunction& g;
  const std::vector<Bound>& bounds;
  const Searches* searches;  ///< null for subset simulation
  std::vector<std::string> names;
  rel::Event event;  ///< the response's limit states
};

void SetDesignPoint(const ResponseJob& job, ReliabilityDetail* pDetail) {
  // The bound with the larger first-order POF dominates.
  const rel::DesignPoint* best = nullptr;
  for (std::size_t b : job.event) {
    const rel::DesignPoint& d = job.searches->form[b].Best();
    if (d.converged && (!best || d.pof > best->pof)) best = &d;
  }
  if (!best) return;
  pDetail->designPoint = Named(job.names, best->x);
  pDetail->importance = Named(job.names, best->importance);
}

// The first failed search of the response's bounds, "" when all converged.
std::string FailedSearch(const ResponseJob& job) {
  for (std::size_t b : job.event) {
    const rel::DesignPoint& d = job.searches->form[b].Best();
    if (!d.converged)
      return "the design-point search for " + BoundName(job.p, job.bounds[b]) + " did not converge: " + d.message;
  }
  return "";
}

double FormPof(const ResponseJob& job) {
  double pof = 0.0;  // the bounds' failure sets are disjoint
  for (std::size_t b : job.event) pof += job.searches->form[b].Best().pof;
  return pof;
}

void Incomplete(ReliabilityDetail* pDetail, std::string note) {
  pDetail->complete = false;
  pDetail->note = std::move(note);
}

double ByForm(const ResponseJob& job, ReliabilityDetail* pDetail) {
  SetDesignPoint(job, pDetail);
  const std::string failed = FailedSearch(job);
  if (!failed.empty()) return Incomplete(pDetail, failed), kNaN;
  return FormPof(job);
}

double BySorm(const ResponseJob& job, ReliabilityDetail* pDetail) {
  const double formPof = ByForm(job, pDetail);
  if (!pDetail->complete) return kNaN;
  double breitung = 0.0, tvedt = 0.0, hr = 0.0;
  for (std::size_t b : job.event) {
    const rel::SormResult s = rel::Sorm(job.space, job.g, job.searches->form[b].Best());
    pDetail->analyses += s.analyses;
    if (!s.valid)
      return Incomplete(pDetail,
                        "the curvature correction for " + BoundName(job.p, job.bounds[b]) + " failed: " + s.message),
             kNaN;
    breitung += s.breitung, tvedt += s.tvedt, hr += s.hohenbichler;
  }
  pDetail->formPof = formPof;
  pDetail->breitung = breitung;
  pDetail->tvedt = tvedt;
  pDetail->hohenbichler = hr;
  return tvedt;
}

// Every converged design point of the event's limit states (all starts).
std::vector<std::vector<double>> Centres(const Searches& s, const rel::Event& event) {
  std::vector<std::vector<double>> centres;
  for (std::size_t b : event)
    for (const rel::DesignPoint& d : s.form[b].designPoints)
      if (d.converged) centres.push_back(d.u);
  return centres;
}

double Simulated(const rel::SimulationResult& r, ReliabilityDetail* pDetail) {
  pDetail->analyses += r.analyses;
  pDetail->cov = r.cov;
  if (!r.converged) Incomplete(pDetail, r.message);
  return r.pof;
}

rel::ImportanceSamplingOptions IsOptions(const Problem& p) {
  rel::ImportanceSamplingOptions o;
  o.targetCov = p.settings.reliability.targetCov > 0.0 ? p.settings.reliability.targetCov : kDefaultIsCov;
  o.budget = p.settings.reliability.maxAnalyses;
  o.seed = p.settings.seed;
  return o;
}

rel::SubsetOptions SubsetOptions(const Problem& p) {
  rel::SubsetOptions o;
  o.samplesPerLevel = std::size_t(p.settings.reliability.samplesPerLevel);
  o.budget = p.settings.reliability.maxAnalyses;
  o.targetCov = p.settings.reliability.targetCov;
  o.seed = p.settings.seed;
  return o;
}

// One bound with one design point: its linearisation is the control variate
// (only the samples on which the limit state and its linearisation disagree
// carry variance).
void SetControl(const ResponseJob& job, const std::vector<std::vector<double>>& centres,
                rel::ImportanceSamplingOptions* pOptions) {
  if (job.event.size() != 1 || centres.size() != 1) return;
  const rel::DesignPoint& d = job.searches->form[job.event[0]].Best();
  if (!d.converged || d.alpha.empty()) return;
  pOptions->controlAlpha = d.alpha;
  pOptions->controlBeta = d.beta;
}

double ByImportanceSampling(const ResponseJob& job, ReliabilityDetail* pDetail) {
  SetDesignPoint(job, pDetail);
  const auto centres = Centres(*job.searches, job.event);
  rel::ImportanceSamplingOptions options = IsOptions(job.p);
  SetControl(job, centres, &options);
  const double pof = Simulated(rel::ImportanceSampling(job.space, job.g, job.event, centres, options), pDetail);
  if (centres.empty() && pDetail->note.empty())
    pDetail->note = "no design-point search converged; the samples are centred at the means";
  return pof;
}

double BySubset(const ResponseJob& job, ReliabilityDetail* pDetail) {
  return Simulated(rel::SubsetSimulation(job.space, job.g, job.event, SubsetOptions(job.p)), pDetail);
}

ReliabilityDetail AnalyseResponse(const ResponseJob& job, double* pPof) {
  ReliabilityDetail detail;
  switch (job.p.settings.method) {
    case kMethodForm:
      *pPof = ByForm(job, &detail);
      break;
    case kMethodSorm:
      *pPof = BySorm(job, &detail);
      break;
    case kMethodIs:
      *pPof = ByImportanceSampling(job, &detail);
      break;
    default:
      *pPof = BySubset(job, &detail);
      break;
  }
  detail.beta = std::isnan(*pPof) ? kNaN : rel::GeneralisedBeta(*pPof);
  if (job.searches)
    for (std::size_t b : job.event) detail.analyses += job.searches->form[b].analyses;
  return detail;
}

// ---------------------------------------------------------------- series system

/// P(any bound violated): the first-order system for FORM and SORM, the same
/// simulation as the responses' for the others.
struct SystemResult {
  double pof = kNaN;
  std::optional<double> cov;
  long long analyses = 0;
  std::string note;
};

SystemResult SeriesSystem(const ResponseJob& all) {
  SystemResult s;
  const int m = all.p.settings.method;
  if (m == kMethodForm || m == kMethodSorm) {
    if (!FailedSearch(all).empty()) return s;
    std::vector<std::vector<double>> alphas;
    std::vector<double> betas;
    for (std::size_t b : all.event) {
      alphas.push_back(all.searches->form[b].Best().alpha);
      betas.push_back(all.searches->form[b].Best().beta);
    }
    const rel::SimulationResult r = rel::FirstOrderSeriesSystem(alphas, betas, all.p.settings.seed);
    s.pof = r.pof, s.cov = r.cov;
    return s;
  }
  const rel::SimulationResult r =
      m == kMethodIs
          ? rel::ImportanceSampling(all.space, all.g, all.event, Centres(*all.searches, all.event), IsOptions(all.p))
          : rel::SubsetSimulation(all.space, all.g, all.event, SubsetOptions(all.p));
  s.pof = r.pof, s.cov = r.cov, s.analyses = r.analyses;
  if (!r.converged) s.note = "the probability that any bound is violated: " + r.message;
  return s;
}

// ---------------------------------------------------------------- one design point

// The responses at the means of the random variables: the values of the
// deterministic responses, and the reported mean of the random ones.
void SetValuesAtMeans(const Problem& p, const CPointModel& model, const rel::StandardSpace& space, PointResult* pr) {
  std::vector<double> means;
  for (const CRandVar& v : space.Variables()) means.push_back(rel::MarginalMean(v));
  const std::valarray<double> y = model.Responses({means})[0];
  for (const Response& resp : p.responses) {
    ResponseResult s;
    s.name = resp.name;
    s.random = resp.random;
    s.bounded = resp.hasLower || resp.hasUpper;
    s.mean = y[std::size_t(resp.ref.model)];
    s.sd = resp.random ? kNaN : 0.0;
    pr->responses.push_back(s);
  }
}

// The objective and constraint value from the statistics, as the host
// evaluates them for the other methods.
void SetObjectiveAndConstraint(const Problem& p, CDB& db, PointResult* pr) {
  CMatrix<double> entries(int(db.m_vRespIndexOfEntry.size()), 1);
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& resp = p.responses[k];
    entries(resp.ref.value.index, 0) = pr->responses[k].mean;
    if (resp.random) entries(resp.ref.pof.index, 0) = pr->responses[k].bounded ? pr->responses[k].pof : 0.0;
  }
  if (HasRandomResponse(p)) entries(refhost::ProblemBuilder::AnyFractionRef().index, 0) = pr->any;
  CMatrix<double> indDVs(int(pr->design.size()), 1);
  indDVs.ReplaceCol(0, pr->design);
  std::valarray<double> objective, constraint;
  RecomputeObjectiveAndConstraint(db, indDVs, entries, objective, constraint);
  pr->objective = objective[0];
  pr->constraint = constraint[0];
}

PointResult EvaluateAt(const Problem& p, CDB& db, std::size_t j, const refhost::BatchModelFunction& counted,
                       const std::shared_ptr<std::atomic<long long>>& pCounter) {
  const long long before = pCounter->load();
  PointResult pr;
  pr.design = p.designPoints[j];
  const DesignLimitStates at(p, db, pr.design, j, counted);
  const rel::StandardSpace& space = at.space;
  const rel::LimitStateFunction& g = at.g;
  SetValuesAtMeans(p, at.model, space, &pr);

  const std::vector<Bound> bounds = BoundsOf(p);
  const bool bSearch = p.settings.method != kMethodSubset;
  const Searches searches = bSearch ? SearchDesignPoints(p, space, g, bounds.size()) : Searches();
  ResponseJob all{p, space, g, bounds, bSearch ? &searches : nullptr, RandomNames(p), {}};
  std::size_t nBounded = 0, last = 0;
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    ResponseJob job = all;
    job.event.clear();
    for (std::size_t b = 0; b < bounds.size(); ++b)
      if (bounds[b].response == k) job.event.push_back(b);
    if (job.event.empty()) continue;
    ResponseResult& s = pr.responses[k];
    s.reliability = AnalyseResponse(job, &s.pof);
    pr.complete = pr.complete && s.reliability->complete;
    all.event.insert(all.event.end(), job.event.begin(), job.event.end());
    ++nBounded, last = k;
  }
  if (nBounded == 1) {
    pr.any = pr.responses[last].pof;
    pr.anyCov = pr.responses[last].reliability->cov;
  } else if (nBounded > 1) {
    const SystemResult sys = SeriesSystem(all);
    pr.any = sys.pof, pr.anyCov = sys.cov;
    pr.complete = pr.complete && sys.note.empty() && !std::isnan(sys.pof);
  }
  pr.joint = kNaN;
  SetObjectiveAndConstraint(p, db, &pr);
  pr.analyses = pCounter->load() - before;
  return pr;
}

}  // namespace

std::string MethodRefusal(const Problem& p) {
  const int m = p.settings.method;
  if (m == kMethodSora) return SoraRefusal(p);
  if (!IsReliabilityMethod(m)) {
    if (p.correlation.empty()) return "";
    return std::string("method ") + std::to_string(m) + " (" + MethodName(m) +
           ") treats the random variables as independent, and this problem correlates them; use a reliability "
           "method (form, sorm, is, subset), or remove \"correlation\"";
  }
  auto refuse = [&](const std::string& subject, const char* what) {
    return std::string(what) + " uses " + subject + ", which method " + MethodName(m) +
           " does not compute; use montecarlo or lhs for it";
  };
  for (const Constraint& c : p.constraints)
    if (EndsWith(c.subject, ".sd") || c.subject == "joint") return refuse(c.subject, "a constraint");
  for (const ObjectiveTerm& t : p.objective)
    if (EndsWith(t.subject, ".sd") || t.subject == "joint") return refuse(t.subject, "the objective");
  return "";
}

std::vector<PointResult> EvaluateReliability(const Problem& p,
                                             const std::shared_ptr<std::atomic<long long>>& pCounter) {
  if (!IsReliabilityMethod(p.settings.method))
    throw std::invalid_argument("EvaluateReliability: method " + std::to_string(p.settings.method) +
                                " is not a reliability method");
  const std::string refusal = MethodRefusal(p);
  if (!refusal.empty()) throw std::invalid_argument(refusal);
  // The analyses run through the host's runner with the model itself: the
  // library's sampling methods are not involved.
  refhost::SetWorkerCount(p.settings.workers);
  const auto counter = pCounter ? pCounter : std::make_shared<std::atomic<long long>>(0);
  const refhost::BatchModelFunction counted = CountedModel(p, counter);
  std::unique_ptr<CDB> db = p.builder.Build();
  std::vector<PointResult> points;
  for (std::size_t j = 0; j < p.designPoints.size(); ++j) points.push_back(EvaluateAt(p, *db, j, counted, counter));
  return points;
}

}  // namespace rbo::problem
