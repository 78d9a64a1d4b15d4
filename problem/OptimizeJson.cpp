// rbo::problem::WriteHistory: the result of an optimisation as JSON or CSV.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "rbo/problem/Interval.h"
#include "rbo/problem/Optimize.h"

namespace rbo::problem {
namespace {

using nlohmann::json;

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/// Numbers in full precision; JSON has no infinity or NaN, so those become
/// null.
json Number(double d) { return std::isfinite(d) ? json(d) : json(nullptr); }

/// A design point; a sampled POF gets its 95% Wilson score interval.  Only
/// the random responses are listed: the optimiser judges their statistics.
json ToJson(const PointResult& e, const std::vector<std::string>& names) {
  json x = json::object();
  for (std::size_t i = 0; i < e.design.size() && i < names.size(); ++i) x[names[i]] = Number(e.design[i]);
  json responses = json::array();
  for (const ResponseResult& r : e.responses) {
    if (!r.random) continue;
    json j = {{"name", r.name}, {"mean", Number(r.mean)}, {"sd", Number(r.sd)}, {"pof", Number(r.pof)}};
    if (r.pof95) j["pof_95"] = {Number(r.pof95->low), Number(r.pof95->high)};
    responses.push_back(j);
  }
  json constraints = json::array();
  for (double c : e.constraints) constraints.push_back(Number(c));
  return {{"x", x},
          {"objective", Number(e.objective)},
          {"max_violation", Number(e.constraint)},
          {"constraints", constraints},
          {"responses", responses},
          {"any_fraction", Number(e.any)},
          {"joint_fraction", Number(e.joint)}};
}

/// The sample size behind the optimiser's POFs, 0 for method 2.
int SampleSize(const OptimizeResult& r) { return IsSampledMethod(r.method) ? r.samples : 0; }

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
              {"samples", IsSampledMethod(r.method) ? json(r.samples) : json(nullptr)},
              {"seed", r.seed},
              {"design_variables", r.designVariables},
              {"constraints", r.constraintNames},
              {"optimum", ToJson(r.optimum, r.designVariables)},
              {"feasible", r.feasible},
              {"no_optimum", r.noOptimum.empty() ? json(nullptr) : json(r.noOptimum)},
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
  // The random responses, as the first point has them (every point has the same).
  std::vector<std::string> random;
  if (!r.history.empty())
    for (const ResponseResult& s : r.history.front().point.responses)
      if (s.random) random.push_back(s.name);
  const int samples = SampleSize(r);
  for (const std::string& name : random) {
    out << ',' << Field(name + ".mean") << ',' << Field(name + ".sd") << ',' << Field(name + ".pof");
    if (samples > 0) out << ',' << Field(name + ".pof_low95") << ',' << Field(name + ".pof_high95");
  }
  if (!random.empty()) out << ",any,joint";
  out << '\n';
  for (const IterationReport& it : r.history) {
    const PointResult& e = it.point;
    out << it.iteration << ',' << it.analyses << ',' << Num(it.seconds) << ',' << (it.feasible ? 1 : 0) << ','
        << Num(e.objective) << ',' << Num(e.constraint);
    for (double x : e.design) out << ',' << Num(x);
    for (double c : e.constraints) out << ',' << Num(c);
    for (const ResponseResult& s : e.responses) {
      if (!s.random) continue;
      out << ',' << Num(s.mean) << ',' << Num(s.sd) << ',' << Num(s.pof);
      if (samples > 0) {
        const Interval ci = s.pof95.value_or(WilsonInterval(s.pof, double(samples)));
        out << ',' << Num(ci.low) << ',' << Num(ci.high);
      }
    }
    if (!random.empty()) out << ',' << Num(e.any) << ',' << Num(e.joint);
    out << '\n';
  }
  return out.str();
}

}  // namespace

std::string HistoryText(const OptimizeResult& result, const std::string& path) {
  if (EndsWith(path, ".json")) return JsonText(result);
  if (EndsWith(path, ".csv")) return CsvText(result);
  throw std::invalid_argument("the history file " + path + " must end in .json or .csv");
}

void WriteHistory(const OptimizeResult& result, const std::string& path) {
  const std::string text = HistoryText(result, path);

  // Beside the target, so that the rename stays on one file system.
  const std::string temp = path + ".tmp" + std::to_string(long(::getpid()));
  {
    errno = 0;
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path + ": cannot create " + temp + ": " + std::strerror(errno));
    f << text;
    f.close();
    if (!f) {
      const int error = errno != 0 ? errno : EIO;
      std::remove(temp.c_str());
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::remove(temp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + ec.message());
  }
}

}  // namespace rbo::problem
