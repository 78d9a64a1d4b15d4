// The result of `rbo optimize --method sora` as JSON and CSV (Sora.h).
#include <cmath>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "rbo/problem/Sora.h"

namespace rbo::problem {
namespace {

using nlohmann::json;

json Number(double d) { return std::isfinite(d) ? json(d) : json(nullptr); }

json DesignJson(const Problem& p, const std::valarray<double>& d) {
  json x = json::object();
  for (std::size_t i = 0; i < p.designVariables.size() && i < d.size(); ++i) x[p.designVariables[i].name] = d[i];
  return x;
}

json ConstraintJson(const SoraConstraint& c) {
  json point = json::object();
  for (const NamedValue& v : c.designPoint) point[v.name] = Number(v.value);
  json j = {{"subject", c.subject},
            {"target", c.target},
            {"beta_target", Number(c.betaTarget)},
            {"beta", Number(c.beta)},
            {"pof", Number(c.pof)},
            {"design_point", point},
            {"active", c.active},
            {"g_at_inverse_point", Number(c.gAtInverse)}};
  if (c.sampledPof) j["sampled_pof"] = Number(*c.sampledPof);
  if (c.sampledCov) j["sampled_cov"] = Number(*c.sampledCov);
  if (c.verifiedPof) j["verified_pof"] = Number(*c.verifiedPof);
  if (c.verifiedCov) j["verified_cov"] = Number(*c.verifiedCov);
  return j;
}

std::string Full(double v) {
  if (!std::isfinite(v)) return "";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

std::string SoraJson(const Problem& p, const SoraResult& r) {
  json constraints = json::array();
  for (const SoraConstraint& c : r.constraints) constraints.push_back(ConstraintJson(c));
  json others = json::array();
  for (std::size_t k = 0; k < r.otherSubjects.size(); ++k)
    others.push_back({{"subject", r.otherSubjects[k]}, {"violation", Number(r.otherViolations[k])}});
  json history = json::array();
  for (const SoraCycle& c : r.history)
    history.push_back({{"cycle", c.cycle},
                       {"refinement", c.refinement},
                       {"x", DesignJson(p, c.design)},
                       {"objective", Number(c.objective)},
                       {"least_limit_state", Number(c.worst)},
                       {"analyses", c.analyses}});
  json out = {{"title", p.title},
              {"problem", p.path.empty() ? "(embedded example)" : p.path},
              {"method", "sora"},
              {"refined", r.refined},
              {"seed", p.settings.seed},
              {"converged", r.converged},
              {"feasible", r.feasible},
              {"stop_reason", r.stopReason},
              {"optimum", {{"x", DesignJson(p, r.design)}, {"objective", Number(r.objective)}}},
              {"constraints", constraints},
              {"other_constraints", others},
              {"analyses",
               {{"deterministic", r.deterministicAnalyses},
                {"inverse", r.inverseAnalyses},
                {"sampling", r.samplingAnalyses},
                {"verification", r.verifyAnalyses},
                {"total", r.analyses}}},
              {"seconds", r.seconds},
              {"history", history}};
  return out.dump(2) + "\n";
}

std::string SoraCsv(const Problem& p, const SoraResult& r) {
  std::string text = "cycle,refinement";
  for (const DesignVariable& d : p.designVariables) text += "," + d.name;
  text += ",objective,least_limit_state,analyses\n";
  for (const SoraCycle& c : r.history) {
    text += std::to_string(c.cycle) + "," + (c.refinement ? "1" : "0");
    for (double v : c.design) text += "," + Full(v);
    text += "," + Full(c.objective) + "," + Full(c.worst) + "," + std::to_string(c.analyses) + "\n";
  }
  return text;
}

}  // namespace rbo::problem
