// The results as JSON and CSV text (ResultText.h).
#include "rbo/problem/ResultText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "rbo/problem/AnalysisPolicy.h"
#include "rbo/problem/Interval.h"
#include "rbo/problem/ProblemFile.h"
#include "rbo/problem/Reliability.h"

namespace rbo::problem {
namespace {

using json = nlohmann::json;

const char* const kMethodDescriptions[] = {
    "Monte Carlo sampling",
    "Latin hypercube sampling",
    "first-order propagation through a response surface",
    "Monte Carlo sampling of a response surface",
    "Latin hypercube sampling of a response surface",
    "first-order reliability method",
    "second-order reliability method",
    "importance sampling at the design points",
    "subset simulation",
    "sequential optimisation and reliability assessment",
};

// A number, or null when it is not one (a POF a search could not find).
json Value(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

json NamedJson(const std::vector<NamedValue>& values) {
  json out = json::object();
  for (const NamedValue& v : values) out[v.name] = v.value;
  return out;
}

void AddReliability(const ReliabilityDetail& d, json& j) {
  j["beta"] = Value(d.beta);
  if (d.cov) j["cov"] = Value(*d.cov);
  if (!d.designPoint.empty()) j["design_point"] = NamedJson(d.designPoint);
  if (!d.importance.empty()) j["importance"] = NamedJson(d.importance);
  if (d.tvedt)
    j["sorm"] = {{"form", Value(d.formPof.value_or(NAN))},
                 {"breitung", Value(d.breitung.value_or(NAN))},
                 {"tvedt", Value(*d.tvedt)},
                 {"hohenbichler", Value(d.hohenbichler.value_or(NAN))}};
  j["analyses"] = d.analyses;
  if (!d.note.empty()) j["note"] = d.note;
}

std::string Full(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// The POFs are fractions of samples (methods 0, 1, 3, 4 with something random).
// The failure policy skip: the points count their skipped analyses.
bool Skips(const Problem& p) { return p.settings.onFailure.action == FailureAction::kSkip; }

bool Sampled(const Problem& p) { return IsSampledMethod(p.settings.method) && HasRandomResponse(p); }

json DesignJson(const Problem& p, const std::valarray<double>& x) {
  json d = json::object();
  for (std::size_t i = 0; i < p.designVariables.size(); ++i) d[p.designVariables[i].name] = x[i];
  return d;
}

json ResponsesJson(const PointResult& r) {
  json out = json::object();
  for (const ResponseResult& s : r.responses) {
    if (!s.random) {
      out[s.name] = {{"value", s.mean}};
      continue;
    }
    json j = {{"mean", s.mean}, {"sd", Value(s.sd)}};
    j["pof"] = s.bounded ? Value(s.pof) : json(nullptr);
    if (s.pof95 && s.bounded) j["pof_95"] = {s.pof95->low, s.pof95->high};
    if (s.reliability) AddReliability(*s.reliability, j);
    out[s.name] = j;
  }
  return out;
}

json SettingsJson(const Problem& p) {
  const Settings& s = p.settings;
  const bool bReliability = IsReliabilityMethod(s.method);
  json out = {{"title", p.title},
              {"problem", p.path.empty() ? "(embedded example)" : p.path},
              {"method", s.method},
              {"method_name", MethodName(s.method)},
              {"samples", s.method == 2 || bReliability ? json(nullptr) : json(s.samples)},
              {"seed", s.seed}};
  if (s.onFailure.action != FailureAction::kStop) {
    out["on_failure"] = {{"policy", FailureActionName(s.onFailure.action)}, {"retries", s.onFailure.retries}};
    if (s.onFailure.action == FailureAction::kSkip) {
      out["on_failure"]["max_skipped_fraction"] = s.onFailure.maxSkippedFraction;
      out["on_failure"]["statistics"] = "conditional on the analyses that succeeded";
    }
  }
  if (bReliability)
    out["reliability"] = {
        {"target_cov",
         s.reliability.targetCov > 0.0 || s.method != kMethodIs ? s.reliability.targetCov : kDefaultIsCov},
        {"max_analyses", s.reliability.maxAnalyses},
        {"starts", s.reliability.starts},
        {"samples_per_level", s.reliability.samplesPerLevel}};
  return out;
}

// The columns of a reliability method's findings for response r.
void ReliabilityColumns(const Problem& p, const Response& r, std::vector<std::string>& cols) {
  cols.push_back(r.name + ".beta");
  cols.push_back(r.name + ".cov");
  for (const Variable& v : p.variables)
    if (v.kind == VariableKind::kRandomDesign || v.kind == VariableKind::kRandomParameter)
      cols.push_back(r.name + ".design_point." + v.name);
  for (const Variable& v : p.variables)
    if (v.kind == VariableKind::kRandomDesign || v.kind == VariableKind::kRandomParameter)
      cols.push_back(r.name + ".importance." + v.name);
}

std::size_t RandomVariableCount(const Problem& p) {
  return std::size_t(std::count_if(p.variables.begin(), p.variables.end(), [](const Variable& v) {
    return v.kind == VariableKind::kRandomDesign || v.kind == VariableKind::kRandomParameter;
  }));
}

std::string Cell(double v) { return std::isfinite(v) ? Full(v) : ""; }

void ReliabilityCells(const Problem& p, const ResponseResult& s, std::vector<std::string>& cells) {
  const std::size_t n = RandomVariableCount(p);
  const ReliabilityDetail d = s.reliability.value_or(ReliabilityDetail());
  cells.push_back(Cell(d.beta));
  cells.push_back(d.cov ? Cell(*d.cov) : "");
  for (std::size_t i = 0; i < n; ++i) cells.push_back(i < d.designPoint.size() ? Full(d.designPoint[i].value) : "");
  for (std::size_t i = 0; i < n; ++i) cells.push_back(i < d.importance.size() ? Full(d.importance[i].value) : "");
}

// CSV columns after the design variables: per response its statistics.
std::vector<std::string> ResponseColumns(const Problem& p, bool bIntervals) {
  std::vector<std::string> cols;
  for (const Response& r : p.responses) {
    if (!r.random) {
      cols.push_back(r.name);
      continue;
    }
    cols.push_back(r.name + ".mean");
    cols.push_back(r.name + ".sd");
    cols.push_back(r.name + ".pof");
    if (IsReliabilityMethod(p.settings.method) && (r.hasLower || r.hasUpper)) ReliabilityColumns(p, r, cols);
    if (bIntervals) {
      cols.push_back(r.name + ".pof_low95");
      cols.push_back(r.name + ".pof_high95");
    }
  }
  if (HasRandomResponse(p) && IsReliabilityMethod(p.settings.method)) {
    cols.push_back("any");
    cols.push_back("any_cov");
  } else if (HasRandomResponse(p)) {
    cols.push_back("any");
    cols.push_back("joint");
  }
  return cols;
}

std::vector<std::string> ResponseCells(const Problem& p, const PointResult& r, bool bIntervals) {
  std::vector<std::string> cells;
  for (const ResponseResult& s : r.responses) {
    if (!s.random) {
      cells.push_back(Full(s.mean));
      continue;
    }
    cells.push_back(Full(s.mean));
    cells.push_back(Cell(s.sd));
    cells.push_back(s.bounded ? Cell(s.pof) : "");
    if (IsReliabilityMethod(p.settings.method) && s.bounded) ReliabilityCells(p, s, cells);
    if (bIntervals) {
      const bool bShown = s.bounded && s.pof95.has_value();
      cells.push_back(bShown ? Full(s.pof95->low) : "");
      cells.push_back(bShown ? Full(s.pof95->high) : "");
    }
  }
  if (HasRandomResponse(p) && IsReliabilityMethod(p.settings.method)) {
    cells.push_back(Cell(r.any));
    cells.push_back(r.anyCov ? Cell(*r.anyCov) : "");
  } else if (HasRandomResponse(p)) {
    cells.push_back(Full(r.any));
    cells.push_back(Full(r.joint));
  }
  return cells;
}

std::string CsvLine(const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + cells[i];
  return line + "\n";
}

}  // namespace

std::string DescribeReliabilitySettings(const Settings& s) {
  const ReliabilitySettings& r = s.reliability;
  std::string text = std::string("method ") + MethodName(s.method) + " (" + kMethodDescriptions[s.method] + ")";
  if (s.method != kMethodSubset && r.starts > 1) text += ", " + std::to_string(r.starts) + " starts per search";
  if (s.method == kMethodSubset) text += ", " + Thousands(r.samplesPerLevel) + " samples per level";
  char cov[32];
  std::snprintf(cov, sizeof cov, "%g", r.targetCov > 0.0 ? r.targetCov : kDefaultIsCov);
  if (s.method == kMethodIs)
    text +=
        std::string(", target c.o.v. ") + cov + ", at most " + Thousands(r.maxAnalyses) + " analyses per probability";
  if (s.method == kMethodSubset)
    text += (r.targetCov > 0.0 ? std::string(", runs repeated to a c.o.v. of ") + cov : std::string(", one run")) +
            ", at most " + Thousands(r.maxAnalyses) + " analyses per probability";
  return text + ", seed " + std::to_string(s.seed);
}

std::string Thousands(long long n) {
  const std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return (n < 0 ? "-" : "") + out;
}

std::string DescribeSettings(const Settings& s) {
  if (IsReliabilityMethod(s.method) || s.method == kMethodSora) return DescribeReliabilitySettings(s);
  std::string text = "method " + std::to_string(s.method) + " (" + kMethodDescriptions[s.method] + "), ";
  // A run analyses a small design around each point for the surface methods.
  if (s.method == 2)
    text += "surface fitted around each design point";
  else if (s.method >= 3)
    text += "surface fitted around each design point, " + Thousands(s.samples) + " samples of it";
  else
    text += Thousands(s.samples) + " samples per design point";
  return text + ", seed " + std::to_string(s.seed);
}

std::string RunJson(const Problem& p, const std::vector<PointResult>& points) {
  json out = SettingsJson(p);
  out["points"] = json::array();
  long long total = 0;
  for (const PointResult& r : points) {
    json j = {{"design", DesignJson(p, r.design)}};
    if (!p.objective.empty()) j["objective"] = r.objective;
    if (!p.constraints.empty()) j["constraint"] = r.constraint <= -1e29 ? json(nullptr) : json(r.constraint);
    j["responses"] = ResponsesJson(r);
    if (HasRandomResponse(p) && IsReliabilityMethod(p.settings.method)) {
      j["any_pof"] = Value(r.any);
      if (r.anyCov) j["any_cov"] = Value(*r.anyCov);
      j["complete"] = r.complete;
    } else if (HasRandomResponse(p)) {
      j["any_fraction"] = r.any;
      j["joint_fraction"] = r.joint;
    }
    j["analyses"] = r.analyses;
    if (Skips(p)) j["skipped"] = r.skipped;
    total += r.analyses;
    out["points"].push_back(j);
  }
  out["analyses"] = total;
  return out.dump(2) + "\n";
}

std::string RunCsv(const Problem& p, const std::vector<PointResult>& points) {
  std::vector<std::string> header = {"point"};
  for (const DesignVariable& d : p.designVariables) header.push_back(d.name);
  if (!p.objective.empty()) header.push_back("objective");
  if (!p.constraints.empty()) header.push_back("constraint");
  for (const std::string& c : ResponseColumns(p, Sampled(p))) header.push_back(c);
  header.push_back("analyses");
  if (Skips(p)) header.push_back("skipped");
  std::string text = CsvLine(header);
  for (std::size_t j = 0; j < points.size(); ++j) {
    const PointResult& r = points[j];
    std::vector<std::string> cells = {std::to_string(j + 1)};
    for (std::size_t i = 0; i < p.designVariables.size(); ++i) cells.push_back(Full(r.design[i]));
    if (!p.objective.empty()) cells.push_back(Full(r.objective));
    if (!p.constraints.empty()) cells.push_back(r.constraint <= -1e29 ? "" : Full(r.constraint));
    for (const std::string& c : ResponseCells(p, r, Sampled(p))) cells.push_back(c);
    cells.push_back(std::to_string(r.analyses));
    if (Skips(p)) cells.push_back(std::to_string(r.skipped));
    text += CsvLine(cells);
  }
  return text;
}

std::string ConvergenceJson(const Problem& p, const std::vector<ConvergenceRecord>& points, double tol,
                            long long budget) {
  json out = SettingsJson(p);
  out["batch_samples"] = p.settings.samples;
  out["tolerance"] = tol;
  out["max_samples"] = budget;
  out["points"] = json::array();
  for (const ConvergenceRecord& c : points) {
    json j = {{"design", DesignJson(p, c.design)}, {"converged", c.converged}, {"reason", c.reason}};
    j["batches"] = json::array();
    for (const BatchRecord& b : c.batches) {
      json jb = {{"batch", b.batch}, {"samples", b.samples}, {"responses", ResponsesJson(b.stats)}};
      if (HasRandomResponse(p)) {
        jb["any_fraction"] = b.stats.any;
        jb["joint_fraction"] = b.stats.joint;
      }
      j["batches"].push_back(jb);
    }
    out["points"].push_back(j);
  }
  return out.dump(2) + "\n";
}

std::string ConvergenceCsv(const Problem& p, const std::vector<ConvergenceRecord>& points) {
  std::vector<std::string> header = {"point"};
  for (const DesignVariable& d : p.designVariables) header.push_back(d.name);
  header.push_back("batch");
  header.push_back("samples");
  for (const std::string& c : ResponseColumns(p, true)) header.push_back(c);
  std::string text = CsvLine(header);
  for (std::size_t j = 0; j < points.size(); ++j) {
    for (const BatchRecord& b : points[j].batches) {
      std::vector<std::string> cells = {std::to_string(j + 1)};
      for (std::size_t i = 0; i < p.designVariables.size(); ++i) cells.push_back(Full(points[j].design[i]));
      cells.push_back(std::to_string(b.batch));
      cells.push_back(std::to_string(b.samples));
      for (const std::string& c : ResponseCells(p, b.stats, true)) cells.push_back(c);
      text += CsvLine(cells);
    }
  }
  return text;
}

}  // namespace rbo::problem
