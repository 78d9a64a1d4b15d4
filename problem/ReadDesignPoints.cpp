// The problem-file reader: the design points that `run` evaluates.
#include "Reader.h"

namespace rbo::problem::reader {

void CReader::ReadDesignPoints(const json& root) {
  const auto it = root.find("design_points");
  if (it == root.end()) {
    m_p.designPoints = {m_p.InitialPoint()};
    return;
  }
  if (!c.Array(*it, "/design_points", "design points")) return;
  if (it->empty()) c.Add("/design_points", "is empty; remove it to evaluate the initial point, or list points.");
  std::vector<std::string> dvNames;
  for (const DesignVariable& d : m_p.designVariables) dvNames.push_back(d.name);
  for (std::size_t i = 0; i < it->size(); ++i) {
    const json& j = (*it)[i];
    const std::string path = Index("/design_points", i);
    std::valarray<double> x = m_p.InitialPoint();
    bool bOk = true;
    if (j.is_object()) {
      // Design variables not named keep their initial values.
      for (auto t = j.begin(); t != j.end(); ++t) {
        const auto pos = std::find(dvNames.begin(), dvNames.end(), t.key());
        if (pos == dvNames.end()) {
          if (!IsBroken(t.key()))
            c.Add(Key(path, t.key()), "is not a design variable." + Suggest(t.key(), dvNames) +
                                          " Design variables: " + ListOf(dvNames) + ".");
          bOk = false;
        } else if (!t->is_number()) {
          c.Add(Key(path, t.key()), "must be a number, not " + Describe(*t) + ".");
          bOk = false;
        } else {
          x[std::size_t(pos - dvNames.begin())] = t->get<double>();
        }
      }
    } else if (j.is_array()) {
      if (j.size() != dvNames.size()) {
        c.Add(path, "has " + std::to_string(j.size()) + " values; give one per design variable (" + ListOf(dvNames) +
                        "), or write it as {\"name\": value}.");
        bOk = false;
      }
      for (std::size_t k = 0; bOk && k < j.size(); ++k) {
        if (!j[k].is_number()) {
          c.Add(Index(path, k), "must be a number, not " + Describe(j[k]) + ".");
          bOk = false;
        } else {
          x[k] = j[k].get<double>();
        }
      }
    } else {
      c.Add(path, "must be {\"name\": value, ...} or a list of values, not " + Describe(j) + ".");
      bOk = false;
    }
    if (bOk) m_p.designPoints.push_back(x);
  }
}

}  // namespace rbo::problem::reader
