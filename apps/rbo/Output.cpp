#include "Output.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "Cli.h"
#include "ProblemFile.h"

namespace rboapp {
namespace {

using json = nlohmann::json;

const char* const kMethodDescriptions[] = {
    "Monte Carlo sampling",
    "Latin hypercube sampling",
    "first-order propagation through a response surface",
    "Monte Carlo sampling of a response surface",
    "Latin hypercube sampling of a response surface",
};

std::string Short(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string Full(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

bool Bounded(const Response& r) { return r.hasLower || r.hasUpper; }

bool AnyRandom(const Problem& p) {
  return std::any_of(p.responses.begin(), p.responses.end(), [](const Response& r) { return r.random; });
}

// The POFs are fractions of samples (methods 0, 1, 3, 4 with something random).
bool Sampled(const Problem& p) { return IsSampledMethod(p.settings.method) && AnyRandom(p); }

// Per response: the 95% interval of its POF from the run's sample size.
std::vector<Interval> PofIntervals(const Problem& p, const PointResult& r) {
  std::vector<Interval> out;
  for (const ResponseStats& s : r.responses) out.push_back(WilsonInterval(s.pof, double(p.settings.samples)));
  return out;
}

std::string IntervalText(const Interval& i) { return "[" + Short(i.low) + ", " + Short(i.high) + "]"; }

// A text table: a label column, then right-aligned value columns.
class CTable {
 public:
  void Row(std::vector<std::string> cells) { m_rows.push_back(std::move(cells)); }
  std::string Render() const {
    std::vector<std::size_t> width;
    for (const auto& row : m_rows)
      for (std::size_t c = 0; c < row.size(); ++c) {
        if (width.size() <= c) width.push_back(0);
        width[c] = std::max(width[c], row[c].size());
      }
    std::string out;
    for (const auto& row : m_rows) {
      std::string line;
      for (std::size_t c = 0; c < row.size(); ++c) {
        const std::string pad(width[c] - row[c].size(), ' ');
        line += c == 0 ? row[c] + pad : "  " + pad + row[c];
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n";
    }
    return out;
  }

 private:
  std::vector<std::vector<std::string>> m_rows;  ///< cells, the first column the labels
};

json DesignJson(const Problem& p, const std::valarray<double>& x) {
  json d = json::object();
  for (std::size_t i = 0; i < p.designVariables.size(); ++i) d[p.designVariables[i].name] = x[i];
  return d;
}

json ResponsesJson(const Problem& p, const PointResult& r, const std::vector<Interval>* pIntervals) {
  json out = json::object();
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& resp = p.responses[k];
    const ResponseStats& s = r.responses[k];
    if (!resp.random) {
      out[resp.name] = {{"value", s.mean}};
      continue;
    }
    json j = {{"mean", s.mean}, {"sd", s.sd}};
    j["pof"] = Bounded(resp) ? json(s.pof) : json(nullptr);
    if (pIntervals && Bounded(resp)) j["pof_95"] = {(*pIntervals)[k].low, (*pIntervals)[k].high};
    out[resp.name] = j;
  }
  return out;
}

json SettingsJson(const Problem& p) {
  return {{"title", p.title},
          {"problem", p.path.empty() ? "(embedded example)" : p.path},
          {"method", p.settings.method},
          {"method_name", MethodName(p.settings.method)},
          {"samples", p.settings.method == 2 ? json(nullptr) : json(p.settings.samples)},
          {"seed", p.settings.seed}};
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
    if (bIntervals) {
      cols.push_back(r.name + ".pof_low95");
      cols.push_back(r.name + ".pof_high95");
    }
  }
  if (AnyRandom(p)) {
    cols.push_back("any");
    cols.push_back("joint");
  }
  return cols;
}

std::vector<std::string> ResponseCells(const Problem& p, const PointResult& r,
                                       const std::vector<Interval>* pIntervals) {
  std::vector<std::string> cells;
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& resp = p.responses[k];
    const ResponseStats& s = r.responses[k];
    if (!resp.random) {
      cells.push_back(Full(s.mean));
      continue;
    }
    cells.push_back(Full(s.mean));
    cells.push_back(Full(s.sd));
    cells.push_back(Bounded(resp) ? Full(s.pof) : "");
    if (pIntervals) {
      cells.push_back(Bounded(resp) ? Full((*pIntervals)[k].low) : "");
      cells.push_back(Bounded(resp) ? Full((*pIntervals)[k].high) : "");
    }
  }
  if (AnyRandom(p)) {
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

PointResult ExtractPoint(const Problem& problem, const std::valarray<double>& design,
                         const std::valarray<double>& entries) {
  PointResult r;
  r.design = design;
  for (const Response& resp : problem.responses) {
    ResponseStats s;
    s.mean = entries[std::size_t(resp.ref.value.index)];
    if (resp.random) {
      s.sd = entries[std::size_t(resp.ref.stdDev.index)];
      s.pof = entries[std::size_t(resp.ref.pof.index)];
    }
    r.responses.push_back(s);
  }
  if (AnyRandom(problem)) {
    r.any = entries[std::size_t(refhost::ProblemBuilder::AnyFractionRef().index)];
    r.joint = entries[std::size_t(problem.builder.JointFractionRef().index)];
  }
  return r;
}

void CheckFinite(const Problem& problem, const PointResult& point, const std::string& where) {
  auto check = [&](double v, const std::string& what) {
    if (std::isfinite(v)) return;
    throw std::runtime_error(what + " is " + Short(v) + " at " + where + " (" + DescribeDesign(problem, point.design) +
                             "): a sum over the samples overflowed or the analysis gave no number; rescale the "
                             "response (its values must stay well below 1e308)");
  };
  for (std::size_t k = 0; k < problem.responses.size(); ++k) {
    const Response& resp = problem.responses[k];
    const ResponseStats& s = point.responses[k];
    if (!resp.random) {
      check(s.mean, "the value of response " + resp.name);
      continue;
    }
    check(s.mean, "the mean of response " + resp.name);
    check(s.sd, "the standard deviation of response " + resp.name);
    check(s.pof, "the POF of response " + resp.name);
  }
  if (!problem.objective.empty()) check(point.objective, "the objective");
  if (!problem.constraints.empty()) check(point.constraint, "the constraint value");
  if (AnyRandom(problem)) {
    check(point.any, "the any-violation fraction");
    check(point.joint, "the joint-violation fraction");
  }
}

std::string DescribeSettings(const Settings& s) {
  std::string text = "method " + std::to_string(s.method) + " (" + kMethodDescriptions[s.method] + "), ";
  // `rbo run` analyses a small design around each point for the surface methods.
  if (s.method == 2)
    text += "surface fitted around each design point";
  else if (s.method >= 3)
    text += "surface fitted around each design point, " + Thousands(s.samples) + " samples of it";
  else
    text += Thousands(s.samples) + " samples per design point";
  return text + ", seed " + std::to_string(s.seed);
}

std::string DescribeDesign(const Problem& problem, const std::valarray<double>& design) {
  std::string text;
  for (std::size_t i = 0; i < problem.designVariables.size(); ++i)
    text += (i ? ", " : "") + problem.designVariables[i].name + " = " + Short(design[i]);
  return text.empty() ? "(no design variables)" : text;
}

std::string RunTable(const Problem& p, const std::vector<PointResult>& points) {
  CTable t;
  std::vector<std::string> header = {""};
  for (std::size_t j = 0; j < points.size(); ++j) header.push_back("point " + std::to_string(j + 1));
  t.Row(header);
  auto row = [&](const std::string& label, auto value) {
    std::vector<std::string> cells = {label};
    for (const PointResult& r : points) cells.push_back(value(r));
    t.Row(cells);
  };
  for (std::size_t i = 0; i < p.designVariables.size(); ++i)
    row(p.designVariables[i].name + (p.designVariables[i].random ? " (mean)" : ""),
        [&](const PointResult& r) { return Short(r.design[i]); });
  if (!p.objective.empty()) row("objective", [](const PointResult& r) { return Short(r.objective); });
  if (!p.constraints.empty())
    row("constraint",
        [](const PointResult& r) { return r.constraint <= -1e29 ? std::string("-") : Short(r.constraint); });
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& resp = p.responses[k];
    if (!resp.random) {
      row(resp.name, [&](const PointResult& r) { return Short(r.responses[k].mean); });
      continue;
    }
    row(resp.name + "  mean", [&](const PointResult& r) { return Short(r.responses[k].mean); });
    const std::string indent(resp.name.size() + 2, ' ');
    row(indent + "sd", [&](const PointResult& r) { return Short(r.responses[k].sd); });
    row(indent + "POF", [&](const PointResult& r) { return Bounded(resp) ? Short(r.responses[k].pof) : "-"; });
    if (Sampled(p) && Bounded(resp))
      row(indent + "POF 95%", [&](const PointResult& r) {
        return IntervalText(WilsonInterval(r.responses[k].pof, double(p.settings.samples)));
      });
  }
  if (AnyRandom(p)) {
    row("any violation", [](const PointResult& r) { return Short(r.any); });
    row("joint violation", [](const PointResult& r) { return Short(r.joint); });
  }
  return t.Render();
}

std::string RunJson(const Problem& p, const std::vector<PointResult>& points) {
  json out = SettingsJson(p);
  out["points"] = json::array();
  for (const PointResult& r : points) {
    json j = {{"design", DesignJson(p, r.design)}};
    if (!p.objective.empty()) j["objective"] = r.objective;
    if (!p.constraints.empty()) j["constraint"] = r.constraint <= -1e29 ? json(nullptr) : json(r.constraint);
    const std::vector<Interval> intervals = PofIntervals(p, r);
    j["responses"] = ResponsesJson(p, r, Sampled(p) ? &intervals : nullptr);
    if (AnyRandom(p)) {
      j["any_fraction"] = r.any;
      j["joint_fraction"] = r.joint;
    }
    out["points"].push_back(j);
  }
  return out.dump(2) + "\n";
}

std::string RunCsv(const Problem& p, const std::vector<PointResult>& points) {
  std::vector<std::string> header = {"point"};
  for (const DesignVariable& d : p.designVariables) header.push_back(d.name);
  if (!p.objective.empty()) header.push_back("objective");
  if (!p.constraints.empty()) header.push_back("constraint");
  for (const std::string& c : ResponseColumns(p, Sampled(p))) header.push_back(c);
  std::string text = CsvLine(header);
  for (std::size_t j = 0; j < points.size(); ++j) {
    const PointResult& r = points[j];
    std::vector<std::string> cells = {std::to_string(j + 1)};
    for (std::size_t i = 0; i < p.designVariables.size(); ++i) cells.push_back(Full(r.design[i]));
    if (!p.objective.empty()) cells.push_back(Full(r.objective));
    if (!p.constraints.empty()) cells.push_back(r.constraint <= -1e29 ? "" : Full(r.constraint));
    const std::vector<Interval> intervals = PofIntervals(p, r);
    for (const std::string& c : ResponseCells(p, r, Sampled(p) ? &intervals : nullptr)) cells.push_back(c);
    text += CsvLine(cells);
  }
  return text;
}

namespace {

std::vector<std::string> BatchCells(const Problem& p, const BatchRecord& b) {
  std::vector<std::string> cells = {std::to_string(b.batch), Thousands(b.samples)};
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& resp = p.responses[k];
    const ResponseStats& s = b.stats.responses[k];
    if (!resp.random) {
      cells.push_back(Short(s.mean));
      continue;
    }
    cells.push_back(Short(s.mean));
    cells.push_back(Short(s.sd));
    if (Bounded(resp)) {
      cells.push_back(Short(s.pof));
      cells.push_back("[" + Short(b.pofInterval[k].low) + ", " + Short(b.pofInterval[k].high) + "]");
    }
  }
  if (AnyRandom(p)) cells.push_back(Short(b.stats.any));
  return cells;
}

std::vector<std::string> BatchLabels(const Problem& p) {
  std::vector<std::string> cells = {"batch", "samples"};
  for (const Response& r : p.responses) {
    if (!r.random) {
      cells.push_back(r.name);
      continue;
    }
    cells.push_back(r.name + " mean");
    cells.push_back(r.name + " sd");
    if (Bounded(r)) {
      cells.push_back(r.name + " POF");
      cells.push_back("95% interval");
    }
  }
  if (AnyRandom(p)) cells.push_back("any");
  return cells;
}

// Fixed column widths for rows printed one at a time: wide enough for the
// label and for "%.6g" numbers and intervals.
std::string FixedRow(const std::vector<std::string>& labels, const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t c = 0; c < cells.size(); ++c) {
    std::size_t width = std::max<std::size_t>(labels[c].size(), labels[c] == "95% interval" ? 26 : c < 2 ? 7 : 12);
    if (c == 1) width = std::max<std::size_t>(width, 11);
    const std::string pad(width > cells[c].size() ? width - cells[c].size() : 0, ' ');
    line += (c ? "  " : "") + pad + cells[c];
  }
  return line + "\n";
}

}  // namespace

std::string BatchHeader(const Problem& p) {
  const std::vector<std::string> labels = BatchLabels(p);
  return FixedRow(labels, labels);
}

std::string BatchRow(const Problem& p, const BatchRecord& b) { return FixedRow(BatchLabels(p), BatchCells(p, b)); }

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
      json jb = {{"batch", b.batch}, {"samples", b.samples}, {"responses", ResponsesJson(p, b.stats, &b.pofInterval)}};
      if (AnyRandom(p)) {
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
      for (const std::string& c : ResponseCells(p, b.stats, &b.pofInterval)) cells.push_back(c);
      text += CsvLine(cells);
    }
  }
  return text;
}

}  // namespace rboapp
