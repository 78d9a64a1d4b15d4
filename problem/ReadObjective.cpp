// The problem-file reader: constraints and the objective, handed to the
// problem builder.
#include "Reader.h"

namespace rbo::problem::reader {

void CReader::Build(const json& root) {
  for (const Variable& v : m_p.variables) {
    switch (v.kind) {
      case VariableKind::kDesign:
        m_p.builder.AddDesignVariable(v.name, v.value);
        break;
      case VariableKind::kConstant:
        m_p.builder.AddConstant(v.name, v.value);
        break;
      case VariableKind::kRandomDesign:
        m_p.builder.AddRandomDesignVariable(v.name, v.distribution, v.value, v.stdDev);
        break;
      case VariableKind::kRandomParameter:
        m_p.builder.AddRandomParameter(v.name, v.distribution, v.value, v.stdDev);
        break;
    }
  }
  for (Response& r : m_p.responses) {
    r.ref = r.random ? m_p.builder.AddRandomResponse(r.name) : m_p.builder.AddResponse(r.name);
    if (r.random) ++m_nRandomResponses;
  }
  // The bounds of every response: for a random response the bounds on its
  // mean, which its POF counts violations of.
  for (const Response& r : m_p.responses) {
    if (r.hasLower) AddConstraint(r.name, r.ref.value, -1, r.lower, r.scale);
    if (r.hasUpper) AddConstraint(r.name, r.ref.value, 1, r.upper, r.scale);
  }
  ReadConstraints(root);
  ReadObjective(root);
  ReadDesignPoints(root);
  ReadAnalysis(root);
}

void CReader::AddConstraint(const std::string& subject, refhost::QuantityRef ref, int side, double bound,
                            double scale) {
  m_p.builder.AddConstraint(ref, side, bound, scale);
  m_p.constraints.push_back({subject, ref, side, bound, scale});
}

void CReader::ReadConstraints(const json& root) {
  const auto it = root.find("constraints");
  if (it == root.end() || !c.Array(*it, "/constraints", "constraints")) return;
  for (std::size_t i = 0; i < it->size(); ++i) {
    const json& j = (*it)[i];
    const std::string path = Index("/constraints", i);
    if (!c.Object(j, path, "one constraint")) continue;
    c.KnownKeys(j, path, {"subject", "lower", "upper", "scale"});
    std::string subject;
    refhost::QuantityRef ref{};
    const bool bSubject = c.String(j, path, "subject", &subject, true, "the \"subject\" it bounds, e.g. \"g.pof\"") &&
                          Subject(subject, Key(path, "subject"), false, &ref);
    Bounds b = ReadBounds(j, path);
    if (!b.hasLower && !b.hasUpper) c.Add(path, "has neither \"lower\" nor \"upper\"; give the bound.");
    double scale = 1.0;
    if (c.Number(j, path, "scale", &scale, false, "") && !(scale > 0.0)) {
      c.Add(Key(path, "scale"), "is " + Num(scale) + "; a scale divides violations and must be positive.");
      continue;
    }
    if (!bSubject) continue;
    if (b.hasLower) AddConstraint(subject, ref, -1, b.lower, scale);
    if (b.hasUpper) AddConstraint(subject, ref, 1, b.upper, scale);
  }
}

void CReader::AddTerm(const std::string& subject, const std::string& path, double coef, bool bSquare) {
  refhost::QuantityRef ref{};
  if (!Subject(subject, path, true, &ref)) return;
  m_p.builder.AddObjectiveTerm(ref, coef, bSquare ? 1 : 0);
  m_p.objective.push_back({subject, ref, coef, bSquare});
}

void CReader::ReadObjective(const json& root) {
  const auto it = root.find("objective");
  if (it == root.end() || !c.Object(*it, "/objective", "the objective: {\"minimize\": {\"R\": 1}}")) return;
  c.KnownKeys(*it, "/objective", {"minimize", "maximize"});
  const bool bMin = it->contains("minimize"), bMax = it->contains("maximize");
  if (bMin == bMax) {
    c.Add("/objective", bMin ? "has both \"minimize\" and \"maximize\"; keep one."
                             : "needs \"minimize\" or \"maximize\", e.g. {\"minimize\": {\"R\": 1}}.");
    return;
  }
  m_p.sense = bMin ? 1 : -1;
  m_p.builder.SetObjectiveSense(m_p.sense);
  const std::string path = bMin ? "/objective/minimize" : "/objective/maximize";
  const json& terms = (*it)[bMin ? "minimize" : "maximize"];
  if (terms.is_object()) {
    // {"R": 1, "S": 2}: coefficient per subject.
    for (auto t = terms.begin(); t != terms.end(); ++t) {
      if (!t->is_number()) {
        c.Add(Key(path, t.key()), "must be the coefficient of " + t.key() + " (a number), not " + Describe(*t) + ".");
        continue;
      }
      AddTerm(t.key(), Key(path, t.key()), t->get<double>(), false);
    }
  } else if (terms.is_array()) {
    for (std::size_t i = 0; i < terms.size(); ++i) {
      const std::string tp = Index(path, i);
      if (!c.Object(terms[i], tp, "one term: {\"subject\": \"R\", \"coef\": 1, \"square\": false}")) continue;
      c.KnownKeys(terms[i], tp, {"subject", "coef", "square"});
      std::string subject;
      double coef = 1.0;
      bool bSquare = false;
      c.Number(terms[i], tp, "coef", &coef, false, "");
      c.Bool(terms[i], tp, "square", &bSquare);
      if (c.String(terms[i], tp, "subject", &subject, true, "the \"subject\" of the term"))
        AddTerm(subject, Key(tp, "subject"), coef, bSquare);
    }
  } else {
    c.Add(path, "must be {\"subject\": coefficient, ...} or a list of terms, not " + Describe(terms) + ".");
  }
}

}  // namespace rbo::problem::reader
