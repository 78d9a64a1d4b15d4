// The problem-file reader: responses, and the subjects that name their
// statistics in constraints and the objective.
#include "Reader.h"

namespace rbo::problem::reader {

void CReader::ReadResponses(const json& root) {
  const auto it = root.find("responses");
  if (it == root.end()) {
    c.Add("",
          "has no \"responses\"; list what the analysis computes, e.g. \"responses\": [{\"name\": \"g\", \"lower\": "
          "0}].");
    return;
  }
  if (!c.Array(*it, "/responses", "responses")) return;
  if (it->empty()) c.Add("/responses", "is empty; list at least one response of the analysis.");
  bool bAnyRandomVariable = false;  // counting those with mistakes, which are still meant to be random
  for (const auto& [n, info] : m_names)
    bAnyRandomVariable =
        bAnyRandomVariable || info.kind == NameInfo::kRandomDesign || info.kind == NameInfo::kRandomParameter;
  for (std::size_t i = 0; i < it->size(); ++i) {
    const json& j = (*it)[i];
    const std::string path = Index("/responses", i);
    if (!c.Object(j, path, "one response")) continue;
    c.KnownKeys(j, path, {"name", "random", "lower", "upper", "scale"});
    std::string name;
    const bool bName = Name(j, path, &name);
    // Statistics are wanted whenever something is uncertain.
    bool bRandom = bAnyRandomVariable;
    c.Bool(j, path, "random", &bRandom);
    const Bounds b = ReadBounds(j, path);
    double scale = 1.0;
    if (c.Number(j, path, "scale", &scale, false, "") && !(scale > 0.0))
      c.Add(Key(path, "scale"), "is " + Num(scale) + "; a scale divides violations and must be positive.");
    if (bRandom && !bAnyRandomVariable)
      c.Add(Key(path, "random"), "the problem has no random variable, so nothing about " + (bName ? name : "it") +
                                     " is random; remove \"random\": true or add random variables.");
    if (!bName) continue;
    m_names[name] = {path, bRandom ? NameInfo::kRandResponse : NameInfo::kDetResponse, int(m_p.responses.size())};
    m_p.responses.push_back({name, bRandom, {}, b.hasLower, b.lower, b.hasUpper, b.upper, scale > 0.0 ? scale : 1.0});
  }
  // With random variables the library computes statistics of the random
  // responses only; without one it would not sample at all.
  if (bAnyRandomVariable && !m_p.responses.empty() &&
      std::none_of(m_p.responses.begin(), m_p.responses.end(), [](const Response& r) { return r.random; }))
    c.Add("/responses",
          "has random variables but no random response: at least one response must be random "
          "(remove \"random\": false) for the uncertainty to be evaluated.");
}

bool CReader::Subject(const std::string& text, const std::string& path, bool bObjective, refhost::QuantityRef* pRef) {
  if (text == "any" || text == "joint") {
    if (m_nRandomResponses == 0) {
      c.Add(path, "\"" + text +
                      "\" is a violation fraction of the random responses, and there is none; mark a response "
                      "\"random\": true.");
      return false;
    }
    *pRef = text == "any" ? refhost::ProblemBuilder::AnyFractionRef() : m_p.builder.JointFractionRef();
    return true;
  }
  const auto dot = text.find('.');
  const std::string name = text.substr(0, dot), stat = dot == std::string::npos ? "" : text.substr(dot + 1);
  const auto it = m_names.find(name);
  if (it == m_names.end()) {
    std::vector<std::string> known;
    for (const auto& [n, info] : m_names)
      if (info.kind != NameInfo::kConstant && info.kind != NameInfo::kRandomParameter) known.push_back(n);
    c.Add(path, "\"" + name + "\" is not a design variable or a response." + Suggest(name, known) +
                    " Known subjects: " + ListOf(known) + ", any, joint.");
    return false;
  }
  const NameInfo& info = it->second;
  if (info.index < 0) return false;  // its definition is already reported
  switch (info.kind) {
    case NameInfo::kConstant:
    case NameInfo::kRandomParameter:
      c.Add(path, "\"" + name + "\" is fixed (a constant or a random parameter), so it cannot be a subject; " +
                      (bObjective ? "leave it out: it only adds a fixed amount." : "remove this constraint."));
      return false;
    case NameInfo::kDesign:
    case NameInfo::kRandomDesign:
      if (!stat.empty() && !(info.kind == NameInfo::kRandomDesign && stat == "mean")) {
        c.Add(path, "\"" + text + "\": a design variable has no \"." + stat + "\"; write \"" + name +
                        "\" for its value" +
                        (info.kind == NameInfo::kRandomDesign ? " (the mean of a random design variable)." : "."));
        return false;
      }
      *pRef = {kTypeIndDV, m_p.variables[std::size_t(info.index)].designVariable};
      return true;
    case NameInfo::kDetResponse:
      if (!stat.empty()) {
        c.Add(path, "\"" + text + "\": " + name + " is not random, so it has only a value; write \"" + name +
                        "\", or mark the response \"random\": true.");
        return false;
      }
      *pRef = m_p.responses[std::size_t(info.index)].ref.value;
      return true;
    case NameInfo::kRandResponse: {
      const refhost::ResponseRef& r = m_p.responses[std::size_t(info.index)].ref;
      if (stat.empty() || stat == "mean") {
        if (!bObjective) {
          c.Add(path, "bounds on the mean of " + name +
                          " define its failure (its POF counts the samples outside "
                          "them); give them as \"lower\" / \"upper\" in its entry under /responses.");
          return false;
        }
        *pRef = r.value;
      } else if (stat == "sd") {
        *pRef = r.stdDev;
      } else if (stat == "pof") {
        *pRef = r.pof;
      } else {
        c.Add(path,
              "\"" + text + "\": a random response has .mean, .sd and .pof." + Suggest(stat, {"mean", "sd", "pof"}));
        return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace rbo::problem::reader
