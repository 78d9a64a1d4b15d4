// The problem-file reader: the correlation of the random variables and the
// settings of the reliability methods.
#include <regex>

#include "Reader.h"
#include "rbo/reliability/StandardSpace.h"

namespace rbo::problem::reader {
namespace {

// Position of each model variable among the random variables, -1 for the
// deterministic ones.
std::vector<int> RandomIndex(const Problem& p) {
  std::vector<int> index;
  int n = 0;
  for (const Variable& v : p.variables) {
    const bool bRandom = v.kind == VariableKind::kRandomDesign || v.kind == VariableKind::kRandomParameter;
    index.push_back(bRandom ? n++ : -1);
  }
  return index;
}

// The library's check speaks of "variables 1 and 3"; the file's reader
// speaks of the names the file gives.
std::string WithNames(std::string message, const std::vector<std::string>& names) {
  const std::regex pattern("variables? ([0-9]+)(?: and ([0-9]+))?");
  std::smatch m;
  std::string out;
  while (std::regex_search(message, m, pattern)) {
    const auto name = [&](const std::ssub_match& s) { return Shown(names[std::size_t(std::stoi(s.str()) - 1)]); };
    out += m.prefix().str() + name(m[1]) + (m[2].matched ? " and " + name(m[2]) : std::string());
    message = m.suffix().str();
  }
  return out + message;
}

}  // namespace

// "correlation": {"variables": [names], "matrix": [[...], ...]}: the
// correlation of the named random variables; the others are independent.
void CReader::ReadCorrelation(const json& root) {
  const auto it = root.find("correlation");
  if (it == root.end() || !c.Object(*it, "/correlation", "the correlation of random variables")) return;
  c.KnownKeys(*it, "/correlation", {"variables", "matrix"});
  std::vector<int> vars;
  std::vector<std::string> names;
  if (!ReadCorrelatedNames(*it, &vars, &names)) return;
  std::vector<double> r;
  if (!ReadCorrelationMatrix(*it, names.size(), &r)) return;
  const auto problems = rbo::reliability::CheckCorrelation(r, names.size());
  for (const auto& q : problems) {
    const std::string where = q.row < 0
                                  ? "/correlation/matrix"
                                  : "/correlation/matrix/" + std::to_string(q.row) + "/" + std::to_string(q.column);
    c.Add(where, WithNames(q.message, names) + ".");
  }
  if (!problems.empty()) return;
  std::size_t nRandom = 0;
  for (int k : RandomIndex(m_p)) nRandom += k >= 0 ? 1 : 0;
  m_p.correlation.assign(nRandom * nRandom, 0.0);
  for (std::size_t k = 0; k < nRandom; ++k) m_p.correlation[k * nRandom + k] = 1.0;
  for (std::size_t i = 0; i < vars.size(); ++i)
    for (std::size_t j = 0; j < vars.size(); ++j)
      m_p.correlation[std::size_t(vars[i]) * nRandom + std::size_t(vars[j])] = r[i * vars.size() + j];
}

bool CReader::ReadCorrelatedNames(const json& j, std::vector<int>* pVars, std::vector<std::string>* pNames) {
  const auto it = j.find("variables");
  if (it == j.end()) {
    c.Add("/correlation", "has no \"variables\"; list the names of the correlated random variables.");
    return false;
  }
  if (!c.Array(*it, "/correlation/variables", "names of random variables")) return false;
  const std::vector<int> randomIndex = RandomIndex(m_p);
  bool bOk = true;
  for (std::size_t k = 0; k < it->size(); ++k) {
    const std::string path = Index("/correlation/variables", k);
    const json& e = (*it)[k];
    const auto known = e.is_string() ? m_names.find(e.get<std::string>()) : m_names.end();
    if (!e.is_string()) {
      c.Add(path, "must be the name of a random variable in double quotes, not " + Describe(e) + ".");
    } else if (known == m_names.end() ||
               (known->second.kind != NameInfo::kRandomDesign && known->second.kind != NameInfo::kRandomParameter)) {
      c.Add(path, "is " + Describe(e) + ", which is not a random variable of this problem; only random variables " +
                      "can be correlated.");
    } else if (std::find(pNames->begin(), pNames->end(), e.get<std::string>()) != pNames->end()) {
      c.Add(path, "names " + Shown(e.get<std::string>()) + " a second time.");
    } else if (known->second.index >= 0) {
      pVars->push_back(randomIndex[std::size_t(known->second.index)]);
      pNames->push_back(e.get<std::string>());
      continue;
    }
    bOk = false;
  }
  return bOk;
}

bool CReader::ReadCorrelationMatrix(const json& j, std::size_t n, std::vector<double>* pR) {
  const auto it = j.find("matrix");
  const std::string shape = std::to_string(n) + " rows of " + std::to_string(n) + " numbers, one per variable";
  if (it == j.end()) {
    c.Add("/correlation", "has no \"matrix\"; add " + shape + ".");
    return false;
  }
  if (!it->is_array() || it->size() != n) {
    c.Add("/correlation/matrix", "must be " + shape + ", not " + Describe(*it) + ".");
    return false;
  }
  bool bOk = true;
  for (std::size_t i = 0; i < n; ++i) {
    const json& row = (*it)[i];
    const std::string path = Index("/correlation/matrix", i);
    if (!row.is_array() || row.size() != n) {
      c.Add(path, "must be a row of " + std::to_string(n) + " numbers, not " + Describe(row) + ".");
      bOk = false;
      continue;
    }
    for (std::size_t k = 0; k < n; ++k) {
      if (row[k].is_number()) {
        pR->push_back(row[k].get<double>());
        continue;
      }
      c.Add(Index(path, k), "must be a number, not " + Describe(row[k]) + ".");
      bOk = false;
    }
  }
  return bOk;
}

// "reliability": {"target_cov", "max_analyses", "starts", "samples_per_level"}.
void CReader::ReadReliabilitySettings(const json& root) {
  const auto it = root.find("reliability");
  if (it == root.end() || !c.Object(*it, "/reliability", "the settings of the reliability methods")) return;
  const std::string path = "/reliability";
  c.KnownKeys(*it, path, {"target_cov", "max_analyses", "starts", "samples_per_level"});
  ReliabilitySettings& s = m_p.settings.reliability;
  double cov = 0.0;
  if (c.Number(*it, path, "target_cov", &cov, false, "")) {
    if (cov > 0.0 && cov < 1.0)
      s.targetCov = cov;
    else
      c.Add(Key(path, "target_cov"), "is " + Num(cov) + "; the target coefficient of variation lies in (0, 1).");
  }
  long long n = 0;
  if (c.Integer(*it, path, "max_analyses", 1, 1000000000000LL, "the analysis budget of a simulation", &n))
    s.maxAnalyses = n;
  if (c.Integer(*it, path, "starts", 1, 1000, "the starts of the design-point search", &n)) s.starts = int(n);
  if (c.Integer(*it, path, "samples_per_level", 100, 10000000, "samples per level of subset simulation", &n))
    s.samplesPerLevel = int(n);
}

}  // namespace rbo::problem::reader
