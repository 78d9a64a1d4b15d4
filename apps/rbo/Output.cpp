#include "Output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Cli.h"

namespace rboapp {
namespace {

std::string Short(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

bool Bounded(const Response& r) { return r.hasLower || r.hasUpper; }

// The POFs are fractions of samples (methods 0, 1, 3, 4 with something random).
bool Sampled(const Problem& p) { return IsSampledMethod(p.settings.method) && HasRandomResponse(p); }

std::string IntervalText(const Interval& i) { return "[" + Short(i.low) + ", " + Short(i.high) + "]"; }

// A number, or "not found" where a method could not give one.
std::string Missing(double v) { return std::isnan(v) ? std::string("not found") : Short(v); }

std::string Fixed3(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

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

// The rows of a reliability method for response k: the response at the
// means, then per bound its POF, index and (by simulation) c.o.v.
template <typename Row>
void ReliabilityRows(const Problem& p, std::size_t k, const Row& row) {
  const Response& resp = p.responses[k];
  const std::string indent(resp.name.size() + 2, ' ');
  row(resp.name + "  at means", [k](const PointResult& r) { return Short(r.responses[k].mean); });
  if (!Bounded(resp)) return;
  const auto detail = [k](const PointResult& r) { return r.responses[k].reliability.value_or(ReliabilityDetail()); };
  row(indent + "POF", [k](const PointResult& r) { return Missing(r.responses[k].pof); });
  row(indent + "beta", [detail](const PointResult& r) { return Missing(detail(r).beta); });
  const int m = p.settings.method;
  if (m == kMethodSorm) {
    row(indent + "POF FORM", [detail](const PointResult& r) { return Missing(detail(r).formPof.value_or(NAN)); });
    row(indent + "POF Breitung", [detail](const PointResult& r) { return Missing(detail(r).breitung.value_or(NAN)); });
    row(indent + "POF Hohenbichler",
        [detail](const PointResult& r) { return Missing(detail(r).hohenbichler.value_or(NAN)); });
  }
  if (m == kMethodIs || m == kMethodSubset)
    row(indent + "c.o.v.", [detail](const PointResult& r) { return Missing(detail(r).cov.value_or(NAN)); });
}

}  // namespace

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
    const std::string indent(resp.name.size() + 2, ' ');
    if (IsReliabilityMethod(p.settings.method)) {
      ReliabilityRows(p, k, row);
      continue;
    }
    row(resp.name + "  mean", [&](const PointResult& r) { return Short(r.responses[k].mean); });
    row(indent + "sd", [&](const PointResult& r) { return Short(r.responses[k].sd); });
    row(indent + "POF", [&](const PointResult& r) { return Bounded(resp) ? Short(r.responses[k].pof) : "-"; });
    if (Sampled(p) && Bounded(resp))
      row(indent + "POF 95%", [&](const PointResult& r) {
        const ResponseResult& s = r.responses[k];
        return IntervalText(s.pof95.value_or(WilsonInterval(s.pof, double(p.settings.samples))));
      });
  }
  if (HasRandomResponse(p) && IsReliabilityMethod(p.settings.method)) {
    row("any violation", [](const PointResult& r) { return Missing(r.any); });
    if (p.settings.method == kMethodIs || p.settings.method == kMethodSubset)
      row("  c.o.v.", [](const PointResult& r) { return r.anyCov ? Missing(*r.anyCov) : "-"; });
    row("analyses", [](const PointResult& r) { return Thousands(r.analyses); });
  } else if (HasRandomResponse(p)) {
    row("any violation", [](const PointResult& r) { return Short(r.any); });
    row("joint violation", [](const PointResult& r) { return Short(r.joint); });
  }
  return t.Render();
}

std::string ImportanceTables(const std::vector<PointResult>& points) {
  constexpr int kBarWidth = 40;
  std::string out;
  for (std::size_t j = 0; j < points.size(); ++j)
    for (const ResponseResult& s : points[j].responses) {
      if (!s.reliability || s.reliability->importance.empty()) continue;
      const ReliabilityDetail& d = *s.reliability;
      out += "\nimportance factors of " + s.name + " at design point " + std::to_string(j + 1) +
             " (the share of each variable in the reliability index)\n";
      CTable t;
      t.Row({"  variable", "alpha^2", "", "design point"});
      for (std::size_t i = 0; i < d.importance.size(); ++i) {
        const double a = std::clamp(d.importance[i].value, 0.0, 1.0);
        const std::string bar(std::size_t(std::lround(a * kBarWidth)), '#');
        t.Row({"  " + d.importance[i].name, Fixed3(a), bar + std::string(std::size_t(kBarWidth) - bar.size(), '.'),
               i < d.designPoint.size() ? Short(d.designPoint[i].value) : ""});
      }
      out += t.Render();
    }
  return out;
}

std::string ReliabilityNotes(const std::vector<PointResult>& points) {
  std::string out;
  for (std::size_t j = 0; j < points.size(); ++j)
    for (const ResponseResult& s : points[j].responses)
      if (s.reliability && !s.reliability->note.empty())
        out += "design point " + std::to_string(j + 1) + ", " + s.name + ": " + s.reliability->note + "\n";
  return out;
}

namespace {

std::vector<std::string> BatchCells(const Problem& p, const BatchRecord& b) {
  std::vector<std::string> cells = {std::to_string(b.batch), Thousands(b.samples)};
  for (std::size_t k = 0; k < p.responses.size(); ++k) {
    const Response& resp = p.responses[k];
    const ResponseResult& s = b.stats.responses[k];
    if (!resp.random) {
      cells.push_back(Short(s.mean));
      continue;
    }
    cells.push_back(Short(s.mean));
    cells.push_back(Short(s.sd));
    if (Bounded(resp)) {
      cells.push_back(Short(s.pof));
      cells.push_back(IntervalText(s.pof95.value_or(WilsonInterval(s.pof, double(b.samples)))));
    }
  }
  if (HasRandomResponse(p)) cells.push_back(Short(b.stats.any));
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
  if (HasRandomResponse(p)) cells.push_back("any");
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

}  // namespace rboapp
