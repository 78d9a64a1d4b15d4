// rboapp::WriteHistory: the result of an optimisation as JSON or CSV.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "Optimize.h"

namespace rboapp {
namespace {

using nlohmann::json;

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/// Numbers in full precision; JSON has no infinity or NaN, so those become
/// null.
json Number(double d) { return std::isfinite(d) ? json(d) : json(nullptr); }

json ToJson(const DesignEvaluation& e, const std::vector<std::string>& names) {
  json x = json::object();
  for (std::size_t i = 0; i < e.x.size() && i < names.size(); ++i) x[names[i]] = Number(e.x[i]);
  json responses = json::array();
  for (const ResponseStatistics& r : e.responses)
    responses.push_back({{"name", r.name}, {"mean", Number(r.mean)}, {"sd", Number(r.stdDev)}, {"pof", Number(r.pof)}});
  json constraints = json::array();
  for (double c : e.constraints) constraints.push_back(Number(c));
  return {{"x", x},
          {"objective", Number(e.objective)},
          {"max_violation", Number(e.maxViolation)},
          {"constraints", constraints},
          {"responses", responses},
          {"any_fraction", Number(e.anyFraction)},
          {"joint_fraction", Number(e.jointFraction)}};
}

std::string JsonText(const OptimizeResult& r) {
  json history = json::array();
  for (const IterationReport& it : r.history) {
    json h = ToJson(it.point, r.designVariables);
    h["iteration"] = it.iteration;
    h["feasible"] = it.feasible;
    h["analyses"] = it.analyses;
    h["seconds"] = Number(it.seconds);
    history.push_back(h);
  }
  json doc = {{"optimizer", r.optimizer},
              {"tol", Number(r.tol)},
              {"method", r.method},
              {"samples", r.samples},
              {"seed", r.seed},
              {"design_variables", r.designVariables},
              {"constraints", r.constraintNames},
              {"optimum", ToJson(r.optimum, r.designVariables)},
              {"feasible", r.feasible},
              {"stop_reason", r.stopReason},
              {"restarts", r.restarts},
              {"warnings", r.warnings},
              {"evaluations", r.evaluations},
              {"batches", r.batches},
              {"analyses", r.analyses},
              {"seconds", Number(r.seconds)},
              {"history", history}};
  if (r.verified)
    doc["verification"] = {{"method", r.verification.method},
                           {"samples", r.verification.samples},
                           {"seed", r.verification.seed},
                           {"analyses", r.verification.analyses},
                           {"point", ToJson(r.verification.point, r.designVariables)}};
  return doc.dump(2) + "\n";
}

/// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string Field(const std::string& s) {
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

std::string Num(double d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

std::string CsvText(const OptimizeResult& r) {
  std::ostringstream out;
  out << "iteration,analyses,seconds,feasible,objective,max_violation";
  for (const std::string& name : r.designVariables) out << ',' << Field(name);
  for (const std::string& name : r.constraintNames) out << ',' << Field(name);
  const std::vector<ResponseStatistics> none;
  const std::vector<ResponseStatistics>& first = r.history.empty() ? none : r.history.front().point.responses;
  for (const ResponseStatistics& s : first)
    out << ',' << Field(s.name + ".mean") << ',' << Field(s.name + ".sd") << ',' << Field(s.name + ".pof");
  if (!first.empty()) out << ",any,joint";
  out << '\n';
  for (const IterationReport& it : r.history) {
    const DesignEvaluation& e = it.point;
    out << it.iteration << ',' << it.analyses << ',' << Num(it.seconds) << ',' << (it.feasible ? 1 : 0) << ','
        << Num(e.objective) << ',' << Num(e.maxViolation);
    for (double x : e.x) out << ',' << Num(x);
    for (double c : e.constraints) out << ',' << Num(c);
    for (const ResponseStatistics& s : e.responses) out << ',' << Num(s.mean) << ',' << Num(s.stdDev) << ',' << Num(s.pof);
    if (!e.responses.empty()) out << ',' << Num(e.anyFraction) << ',' << Num(e.jointFraction);
    out << '\n';
  }
  return out.str();
}

}  // namespace

void WriteHistory(const OptimizeResult& result, const std::string& path) {
  std::string text;
  if (EndsWith(path, ".json"))
    text = JsonText(result);
  else if (EndsWith(path, ".csv"))
    text = CsvText(result);
  else
    throw std::invalid_argument("the history file " + path + " must end in .json or .csv");

  // Beside the target, so that the rename stays on one file system.
  const std::string temp = path + ".tmp" + std::to_string(long(::getpid()));
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path + ": cannot create " + temp);
    f << text;
    f.flush();
    if (!f) {
      f.close();
      std::remove(temp.c_str());
      throw std::runtime_error("cannot write " + path);
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::remove(temp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + ec.message());
  }
}

}  // namespace rboapp
