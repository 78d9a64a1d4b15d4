#include "ExpressionModel.h"

#include <muParser.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <stdexcept>
#include <unordered_map>

namespace rbo::problem {
namespace {

// The parsed expressions of one model on one thread.  muparser reads
// variables through pointers, so their values live in one fixed array:
// model variables first, then the responses in order.
struct CCompiled {
  std::unique_ptr<double[]> pValues;  ///< variable values, then response values
  std::vector<mu::Parser> parsers;    ///< one per response
};

// The shared, immutable description; every thread compiles its own copy.
class CExpressionSet {
 public:
  CExpressionSet(std::vector<std::string> variables, std::vector<std::string> responses,
                 std::vector<std::string> expressions)
      : m_vVariables(std::move(variables)),
        m_vResponses(std::move(responses)),
        m_vExpressions(std::move(expressions)),
        m_nId(s_nextId.fetch_add(1)) {}

  /// Every response at every point (column) of x, into the same column of
  /// y: Evaluate's parsers and byte code, point after point, with the
  /// thread's parsers found once for the whole batch.  A value that is not
  /// finite is left in y (the responses after it computed from it) for the
  /// caller to find; Evaluate then reports the point.
  void EvaluateMany(const CMatrix<double>& x, CMatrix<double>& y) const {
    const std::size_t nVars = m_vVariables.size(), nResps = m_vResponses.size();
    if (std::size_t(x.Rows()) != nVars)
      throw std::invalid_argument("the expressions were given " + std::to_string(x.Rows()) + " inputs per point for " +
                                  std::to_string(nVars) + " variables");
    const int nPoints = x.Cols();
    if (std::size_t(y.Rows()) != nResps || y.Cols() != nPoints) y = CMatrix<double>(int(nResps), nPoints);
    if (nPoints == 0) return;
    CCompiled& c = ForThisThread();
    double* pValues = c.pValues.get();
    for (int j = 0; j < nPoints; ++j) {
      const double* pIn = x.ColData(j);
      double* pOut = y.ColData(j);
      std::copy(pIn, pIn + nVars, pValues);
      for (std::size_t k = 0; k < nResps; ++k) pOut[k] = pValues[nVars + k] = EvalResponse(c, k);
    }
  }

  void Evaluate(const std::valarray<double>& x, std::valarray<double>& y) const {
    CCompiled& c = ForThisThread();
    const std::size_t nVars = m_vVariables.size();
    if (y.size() != m_vResponses.size()) y.resize(m_vResponses.size());
    for (std::size_t i = 0; i < nVars && i < x.size(); ++i) c.pValues[i] = x[i];
    for (std::size_t k = 0; k < c.parsers.size(); ++k) {
      const double v = EvalResponse(c, k);
      if (!std::isfinite(v))
        throw std::runtime_error("the expression of " + m_vResponses[k] + " (" + m_vExpressions[k] + ") gave " +
                                 (std::isnan(v) ? "nan" : "an infinite value") +
                                 " (a logarithm or square root of a negative number, or a division by zero?)");
      c.pValues[nVars + k] = v;
      y[k] = v;
    }
  }

 private:
  // Response k from the values in place; a parser failure names the response.
  double EvalResponse(CCompiled& c, std::size_t k) const {
    try {
      return c.parsers[k].Eval();
    } catch (const mu::Parser::exception_type& e) {
      throw std::runtime_error("the expression of " + m_vResponses[k] + " (" + m_vExpressions[k] +
                               ") could not be evaluated: " + e.GetMsg());
    }
  }

  CCompiled& ForThisThread() const {
    // Keyed by the set's id, not its address: a new set may reuse the
    // address of a destroyed one.
    thread_local std::unordered_map<std::uint64_t, std::unique_ptr<CCompiled>> s_cache;
    // Every analysis point asks; the same set answers nearly always.
    thread_local std::uint64_t s_nLastId = 0;
    thread_local CCompiled* s_pLast = nullptr;
    if (s_nLastId == m_nId) return *s_pLast;
    auto it = s_cache.find(m_nId);
    if (it != s_cache.end()) {
      s_nLastId = m_nId;
      s_pLast = it->second.get();
      return *s_pLast;
    }
    auto pCompiled = std::make_unique<CCompiled>();
    const std::size_t nVars = m_vVariables.size(), nResps = m_vResponses.size();
    pCompiled->pValues.reset(new double[nVars + nResps]());
    pCompiled->parsers.resize(nResps);
    for (std::size_t k = 0; k < nResps; ++k) {
      mu::Parser& p = pCompiled->parsers[k];
      for (std::size_t i = 0; i < nVars; ++i) p.DefineVar(m_vVariables[i], &pCompiled->pValues[i]);
      for (std::size_t j = 0; j < k; ++j) p.DefineVar(m_vResponses[j], &pCompiled->pValues[nVars + j]);
      p.SetExpr(m_vExpressions[k]);
    }
    s_pLast = s_cache.emplace(m_nId, std::move(pCompiled)).first->second.get();
    s_nLastId = m_nId;
    return *s_pLast;
  }

  std::vector<std::string> m_vVariables;    ///< model variable names, in input order
  std::vector<std::string> m_vResponses;    ///< response names, in output order
  std::vector<std::string> m_vExpressions;  ///< expression of each response
  std::uint64_t m_nId;                      ///< distinguishes sets in the per-thread caches
  static std::atomic<std::uint64_t> s_nextId;
};

std::atomic<std::uint64_t> CExpressionSet::s_nextId{1};

// Variables made on demand while an expression is checked: muparser asks
// for each name it meets and keeps the address it is given.
class CVariableSlots {
 public:
  static mu::value_type* Make(const mu::char_type* pszName, void* pSlots) {
    auto& self = *static_cast<CVariableSlots*>(pSlots);
    self.m_values.push_back(1.0);
    self.m_names.emplace_back(pszName);
    return &self.m_values.back();
  }
  /// The name of the slot at this address, "" when it is none of them.
  std::string NameOf(const mu::value_type* pValue) const {
    for (std::size_t i = 0; i < m_values.size(); ++i)
      if (&m_values[i] == pValue) return m_names[i];
    return "";
  }

 private:
  std::deque<mu::value_type> m_values;  ///< one per variable; a deque keeps addresses stable
  std::deque<std::string> m_names;      ///< the name of each
};

// The variable that the parsed expression assigns to ('='), nullptr when it
// assigns to none.  The byte code holds every branch of a conditional, so an
// assignment is found whether or not it would run.
const mu::value_type* AssignmentTarget(const mu::Parser& parser) {
  const mu::ParserByteCode& code = parser.GetByteCode();
  if (code.GetSize() == 0) return nullptr;
  const mu::SToken* pTokens = code.GetBase();
  for (std::size_t i = 0; i < code.GetSize(); ++i)
    if (pTokens[i].Cmd == mu::cmASSIGN) return pTokens[i].Oprt.ptr;
  return nullptr;
}

}  // namespace

ExpressionModels MakeExpressionModels(const std::vector<std::string>& variableNames,
                                      const std::vector<std::string>& responseNames,
                                      const std::vector<std::string>& expressions) {
  auto pSet = std::make_shared<const CExpressionSet>(variableNames, responseNames, expressions);
  return {[pSet](const std::valarray<double>& x, std::valarray<double>& y) { pSet->Evaluate(x, y); },
          [pSet](const CMatrix<double>& x, CMatrix<double>& y) { pSet->EvaluateMany(x, y); }};
}

refhost::ModelFunction ExpressionModel(const std::vector<std::string>& variableNames,
                                       const std::vector<std::string>& responseNames,
                                       const std::vector<std::string>& expressions) {
  return MakeExpressionModels(variableNames, responseNames, expressions).point;
}

refhost::BatchModelFunction ExpressionBulkModel(const std::vector<std::string>& variableNames,
                                                const std::vector<std::string>& responseNames,
                                                const std::vector<std::string>& expressions) {
  return MakeExpressionModels(variableNames, responseNames, expressions).batch;
}

std::string CheckExpression(const std::string& expression, const std::vector<std::string>& names) {
  try {
    mu::Parser p;
    p.SetExpr(expression);
    // With no variables defined, the parser lists every name the expression uses.
    for (const auto& used : p.GetUsedVar()) {
      bool bKnown = false;
      for (const std::string& n : names) bKnown = bKnown || n == used.first;
      if (!bKnown) {
        std::string list;
        for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
        return "uses '" + used.first +
               "', which is not a variable or an earlier response (known names: " + (list.empty() ? "none" : list) +
               ")";
      }
    }
    // Every name is known: evaluate once, each variable a slot of its own
    // made when the parser meets it (so that a name the parser would not
    // define, already reported where it is defined, is not blamed here).
    CVariableSlots slots;
    mu::Parser q;
    q.SetVarFactory(&CVariableSlots::Make, &slots);
    q.SetExpr(expression);
    q.Eval();
    if (q.GetNumResults() != 1) return "gives " + std::to_string(q.GetNumResults()) + " values instead of one";
    if (const mu::value_type* pTarget = AssignmentTarget(q)) {
      const std::string name = slots.NameOf(pTarget);
      return "assigns a value to " + (name.empty() ? std::string("a variable") : "'" + name + "'") +
             " with '='; an expression only computes its response and must not change a variable (to compare, "
             "write ==)";
    }
  } catch (const mu::Parser::exception_type& e) {
    return "cannot be read: " + e.GetMsg();
  }
  return "";
}

std::string CheckExpressionName(const std::string& name) {
  if (name.size() > MaxExpressionNameLength())
    return "has " + std::to_string(name.size()) + " characters; a name has at most " +
           std::to_string(MaxExpressionNameLength());
  try {
    mu::Parser p;
    double value = 0.0;
    p.DefineVar(name, &value);
  } catch (const mu::Parser::exception_type& e) {
    return "cannot be a variable of the expressions: " + e.GetMsg();
  }
  return "";
}

std::size_t MaxExpressionNameLength() { return std::size_t(mu::MaxLenIdentifier); }

bool IsExpressionBuiltin(const std::string& name) {
  static const mu::Parser s_parser;
  return s_parser.GetFunDef().count(name) > 0 || s_parser.GetConst().count(name) > 0;
}

}  // namespace rbo::problem
