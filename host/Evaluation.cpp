// The reference host's evaluation utilities: linked and synthetic
// quantities, the constraint value and the objective value of a design point.
//
// Linked and synthetic quantities are computed into a scratch vector and
// copied to the output at the end.  The library passes the group being
// computed also as an argument group (EvalLinks writes m_vLinkDVs while
// reading it as design-variable group 1), so arguments are always read as
// they were when the call began: the result does not depend on the order of
// the quantities, and a rejected call leaves the output unchanged.
#include <muParser.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <valarray>
#include <vector>

#include "QuantityGroups.h"
#include "rbo/host/DBUtils.h"

namespace {

using refhost::detail::CGroups;
using refhost::detail::CItemRef;
using refhost::detail::RequireSize;
using refhost::detail::ThrowInvalid;

/// Function code of a linear combination c0 + c1*a0 + c2*a1 + ...
constexpr int kLinkLinear = 0;
/// Function code of an expression in x0, x1, ...
constexpr int kSynthExpression = 0;
/// The constraint value of a design point without constraints: the host's
/// "minus infinity", so that any real constraint dominates it.
constexpr double kNoConstraint = -1.0e30;

// Scratch for the computed quantities, one per thread so that concurrent
// callers (for example analyses that evaluate quantities) do not share it.
std::valarray<double>& Scratch(std::size_t n) {
  thread_local std::valarray<double> s_scratch;
  if (s_scratch.size() != n) s_scratch.resize(n);
  return s_scratch;
}

void CopyOut(const std::valarray<double>& values, std::valarray<double>& out) {
  if (out.size() != values.size()) out.resize(values.size());
  out = values;
}

// The output of a call without quantities (the usual case, once per sample
// point): empty, and no scratch needed.
void ClearOut(std::valarray<double>& out) {
  if (out.size() != 0) out.resize(0);
}

// The function of quantity k among the shared definitions: its index, checked
// against the number of shared functions and its code against the wanted one.
std::size_t SharedFunction(const CItemRef& ref, const char* pszKind, int nFunc, const std::vector<int>& codes,
                           int nWantedCode) {
  if (nFunc < 0 || std::size_t(nFunc) >= codes.size())
    throw std::out_of_range(ref.Describe() + ": " + pszKind + " function " + std::to_string(nFunc) +
                            " is not defined (" + std::to_string(codes.size()) + " functions)");
  if (codes[std::size_t(nFunc)] != nWantedCode)
    ThrowInvalid(ref, std::string("unknown function code ") + std::to_string(codes[std::size_t(nFunc)]) + " of " +
                          pszKind + " function " + std::to_string(nFunc));
  return std::size_t(nFunc);
}

// The arguments of quantity k: index and type lists of the same length.
void CheckArgumentLists(const CItemRef& ref, const std::vector<int>& argIndex, const std::vector<int>& argType) {
  if (argIndex.size() != argType.size())
    ThrowInvalid(ref, std::to_string(argIndex.size()) + " argument indices but " + std::to_string(argType.size()) +
                          " argument types");
}

// ---------------------------------------------------------------- expressions

// One parsed expression with the variables x<slot> that it uses.  muparser
// reads variables through pointers, so the values live in a fixed array.
class CCompiledExpr {
 public:
  explicit CCompiledExpr(const std::string& expression) : m_strExpr(expression) {
    try {
      m_parser.SetExpr(expression);
      // With no variables defined this lists every name the expression uses.
      for (const auto& used : m_parser.GetUsedVar()) m_vSlots.push_back(SlotOfName(expression, used.first));
      m_pValues.reset(new double[m_vSlots.size()]());
      for (std::size_t i = 0; i < m_vSlots.size(); ++i)
        m_parser.DefineVar("x" + std::to_string(m_vSlots[i]), &m_pValues[i]);
      m_parser.Eval();  // completes the parse now rather than at the first real use
    } catch (const mu::Parser::exception_type& e) {
      throw std::invalid_argument("expression '" + expression + "': " + e.GetMsg());
    }
    if (m_parser.GetNumResults() != 1)
      throw std::invalid_argument("expression '" + expression + "' gives " + std::to_string(m_parser.GetNumResults()) +
                                  " values instead of one");
    RejectAssignment();
    m_vBound.assign(m_vSlots.size(), 0);
  }

  /// Starts a new evaluation: no variable bound.
  void Unbind() { std::fill(m_vBound.begin(), m_vBound.end(), char(0)); }

  /// x<slot> = value.  An argument whose slot the expression does not use is
  /// ignored; binding a slot twice in one evaluation is rejected.
  void Bind(int nSlot, double value, const CItemRef& ref) {
    for (std::size_t i = 0; i < m_vSlots.size(); ++i) {
      if (m_vSlots[i] != nSlot) continue;
      if (m_vBound[i]) ThrowInvalid(ref, "variable x" + std::to_string(nSlot) + " is bound by two arguments");
      m_pValues[i] = value;
      m_vBound[i] = 1;
      return;
    }
  }

  double Eval(const CItemRef& ref) const {
    for (std::size_t i = 0; i < m_vSlots.size(); ++i)
      if (!m_vBound[i])
        ThrowInvalid(ref, "expression '" + m_strExpr + "' uses x" + std::to_string(m_vSlots[i]) +
                              " but no argument is bound to it");
    try {
      return m_parser.Eval();
    } catch (const mu::Parser::exception_type& e) {
      throw std::runtime_error(ref.Describe() + ": expression '" + m_strExpr + "': " + e.GetMsg());
    }
  }

 private:
  // An expression computes a value and changes nothing: muparser's '='
  // would write a variable (here the parser's copy of an argument, seen by
  // the rest of the expression).  The byte code holds every branch of a
  // conditional, so an assignment is found whether or not it would run.
  void RejectAssignment() const {
    const mu::ParserByteCode& code = m_parser.GetByteCode();
    const mu::SToken* pTokens = code.GetSize() != 0 ? code.GetBase() : nullptr;
    for (std::size_t t = 0; t < code.GetSize(); ++t) {
      if (pTokens[t].Cmd != mu::cmASSIGN) continue;
      std::string target = "a variable";
      for (std::size_t i = 0; i < m_vSlots.size(); ++i)
        if (pTokens[t].Oprt.ptr == &m_pValues[i]) target = "x" + std::to_string(m_vSlots[i]);
      throw std::invalid_argument("expression '" + m_strExpr + "' assigns to " + target +
                                  " with '='; an expression must not change its variables (to compare, write ==)");
    }
  }

  // Only x followed by a slot number in its plain decimal form is a variable
  // ("x01" would make two names for one slot).
  static int SlotOfName(const std::string& expression, const std::string& name) {
    if (name.size() >= 2 && name.size() <= 10 && name[0] == 'x' && (name[1] != '0' || name.size() == 2) &&
        name.find_first_not_of("0123456789", 1) == std::string::npos)
      return std::stoi(name.substr(1));
    throw std::invalid_argument("expression '" + expression + "': unknown variable '" + name +
                                "' (variables are x0, x1, x2, ...)");
  }

  std::string m_strExpr;                ///< the expression as given, for messages
  mu::Parser m_parser;                  ///< the parsed expression
  std::vector<int> m_vSlots;            ///< slot numbers of the variables the expression uses
  std::unique_ptr<double[]> m_pValues;  ///< value of each used variable, read by the parser
  std::vector<char> m_vBound;           ///< per used variable: bound in the current evaluation
};

// Parsed expressions, per thread (a muparser object must not be evaluated on
// two threads at once), keyed by the expression text.  The host evaluates the
// same few expressions once per sample point, so parsing happens once.  A
// caller that keeps generating new expressions would grow the cache without
// end; past kMaxCached it starts afresh.
CCompiledExpr& CompiledExpr(const std::string& expression, const CItemRef& ref) {
  constexpr std::size_t kMaxCached = 1024;
  thread_local std::unordered_map<std::string, std::unique_ptr<CCompiledExpr>> s_cache;
  auto it = s_cache.find(expression);
  if (it != s_cache.end()) return *it->second;
  if (s_cache.size() >= kMaxCached) s_cache.clear();
  std::unique_ptr<CCompiledExpr> pCompiled;
  try {
    pCompiled.reset(new CCompiledExpr(expression));
  } catch (const std::invalid_argument& e) {
    ThrowInvalid(ref, e.what());
  }
  return *s_cache.emplace(expression, std::move(pCompiled)).first->second;
}

// ---------------------------------------------------------------- constraint and objective subjects

CGroups SubjectGroups(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
                      std::valarray<double>& resp0, std::valarray<double>& resp1, std::valarray<double>& resp2) {
  CGroups groups("20..22 or 24..26 (design-variable groups 0..2, response groups 0..2)");
  groups.Add(kTypeIndDV, dv0).Add(kTypeLinkDV, dv1).Add(kTypeSynthDV, dv2);
  groups.Add(kTypeIndResp, resp0).Add(kTypeLinkResp, resp1).Add(kTypeSynthResp, resp2);
  return groups;
}

// A scale must be a positive finite number: it divides a violation or the objective.
void CheckScale(const CItemRef& ref, double scale) {
  if (scale > 0.0 && std::isfinite(scale)) return;
  char text[64];
  std::snprintf(text, sizeof text, "scale %g is not a positive finite number", scale);
  ThrowInvalid(ref, text);
}

}  // namespace

void EvalLinks(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
               std::valarray<double>& dv3, std::valarray<double>& resp0, std::valarray<int>& linkFunc,
               std::vector<std::vector<int>>& argIndex, std::vector<std::vector<int>>& argType,
               std::vector<int>& funcCodes, std::vector<std::vector<double>>& coefficients,
               std::valarray<double>& out) {
  static constexpr const char* kRoutine = "EvalLinks";
  const std::size_t n = linkFunc.size();
  RequireSize(kRoutine, "the argument-index lists", argIndex.size(), "the link-function array", n);
  RequireSize(kRoutine, "the argument-type lists", argType.size(), "the link-function array", n);
  if (n == 0) return ClearOut(out);
  CGroups groups("20..24 (design-variable groups 0..3, response group 0)");
  groups.Add(kTypeIndDV, dv0).Add(kTypeLinkDV, dv1).Add(kTypeSynthDV, dv2).Add(kTypeGroup3DV, dv3);
  groups.Add(kTypeIndResp, resp0);

  std::valarray<double>& values = Scratch(n);
  for (std::size_t k = 0; k < n; ++k) {
    const CItemRef ref{kRoutine, "linked quantity", k, -1};
    CheckArgumentLists(ref, argIndex[k], argType[k]);
    const std::size_t f = SharedFunction(ref, "link", linkFunc[k], funcCodes, kLinkLinear);
    const std::size_t nArgs = argIndex[k].size();
    if (f >= coefficients.size() || coefficients[f].size() != nArgs + 1)
      ThrowInvalid(ref, "link function " + std::to_string(f) + " has " +
                            std::to_string(f < coefficients.size() ? coefficients[f].size() : 0) +
                            " coefficients; a linear combination of " + std::to_string(nArgs) + " arguments needs " +
                            std::to_string(nArgs + 1));
    const std::vector<double>& c = coefficients[f];
    double sum = c[0];
    for (std::size_t a = 0; a < nArgs; ++a)
      sum += c[a + 1] * groups.At(argType[k][a], argIndex[k][a], CItemRef{kRoutine, "linked quantity", k, int(a)});
    values[k] = sum;
  }
  CopyOut(values, out);
}

void EvalSynth(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
               std::valarray<double>& dv3, std::valarray<double>& resp0, std::valarray<double>& resp1,
               std::valarray<int>& synthFunc, std::vector<std::vector<int>>& argIndex,
               std::vector<std::vector<int>>& argType, std::vector<std::vector<int>>& argSlot,
               std::vector<int>& funcCodes, std::vector<std::string>& expressions, std::valarray<double>& out) {
  static constexpr const char* kRoutine = "EvalSynth";
  const std::size_t n = synthFunc.size();
  RequireSize(kRoutine, "the argument-index lists", argIndex.size(), "the synthetic-function array", n);
  RequireSize(kRoutine, "the argument-type lists", argType.size(), "the synthetic-function array", n);
  if (argSlot.size() > n)
    RequireSize(kRoutine, "the argument-slot lists", argSlot.size(), "the synthetic-function array", n);
  if (n == 0) return ClearOut(out);
  CGroups groups("20..25 (design-variable groups 0..3, response groups 0..1)");
  groups.Add(kTypeIndDV, dv0).Add(kTypeLinkDV, dv1).Add(kTypeSynthDV, dv2).Add(kTypeGroup3DV, dv3);
  groups.Add(kTypeIndResp, resp0).Add(kTypeLinkResp, resp1);

  std::valarray<double>& values = Scratch(n);
  for (std::size_t k = 0; k < n; ++k) {
    const CItemRef ref{kRoutine, "synthetic quantity", k, -1};
    CheckArgumentLists(ref, argIndex[k], argType[k]);
    const std::size_t f = SharedFunction(ref, "synthetic", synthFunc[k], funcCodes, kSynthExpression);
    if (f >= expressions.size()) ThrowInvalid(ref, "synthetic function " + std::to_string(f) + " has no expression");
    // Without a slot list, argument a is x<a>.
    const std::size_t nArgs = argIndex[k].size();
    const bool bSlots = k < argSlot.size() && !argSlot[k].empty();
    if (bSlots && argSlot[k].size() != nArgs)
      ThrowInvalid(ref, std::to_string(nArgs) + " arguments but " + std::to_string(argSlot[k].size()) + " slots");

    CCompiledExpr& expr = CompiledExpr(expressions[f], ref);
    expr.Unbind();
    for (std::size_t a = 0; a < nArgs; ++a) {
      const CItemRef argRef{kRoutine, "synthetic quantity", k, int(a)};
      const int nSlot = bSlots ? argSlot[k][a] : int(a);
      if (nSlot < 0) ThrowInvalid(argRef, "slot " + std::to_string(nSlot) + " is negative");
      expr.Bind(nSlot, groups.At(argType[k][a], argIndex[k][a], argRef), argRef);
    }
    values[k] = expr.Eval(ref);
  }
  CopyOut(values, out);
}

double EvalConstr(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
                  std::valarray<double>& resp0, std::valarray<double>& resp1, std::valarray<double>& resp2,
                  std::valarray<double>& bound, std::valarray<double>& scale, std::valarray<int>& side,
                  std::valarray<double>& /*target*/, std::valarray<int>& subjectIndex,
                  std::valarray<int>& subjectType) {
  static constexpr const char* kRoutine = "EvalConstr";
  const std::size_t n = bound.size();
  RequireSize(kRoutine, "the scale array", scale.size(), "the bound array", n);
  RequireSize(kRoutine, "the side array", side.size(), "the bound array", n);
  RequireSize(kRoutine, "the subject-index array", subjectIndex.size(), "the bound array", n);
  RequireSize(kRoutine, "the subject-type array", subjectType.size(), "the bound array", n);
  const CGroups groups = SubjectGroups(dv0, dv1, dv2, resp0, resp1, resp2);

  double worst = kNoConstraint;
  bool bNaN = false;  // a NaN subject must not pass for a feasible point
  for (std::size_t c = 0; c < n; ++c) {
    const CItemRef ref{kRoutine, "constraint", c, -1};
    CheckScale(ref, scale[c]);
    const double value = groups.At(subjectType[c], subjectIndex[c], ref);
    const double violation = side[c] > 0 ? (value - bound[c]) / scale[c] : (bound[c] - value) / scale[c];
    bNaN = bNaN || std::isnan(violation);
    if (violation > worst) worst = violation;
  }
  return bNaN ? std::numeric_limits<double>::quiet_NaN() : worst;
}

double EvalObj(std::valarray<double>& dv0, std::valarray<double>& dv1, std::valarray<double>& dv2,
               std::valarray<double>& resp0, std::valarray<double>& resp1, std::valarray<double>& resp2,
               std::valarray<int>& subjectIndex, std::valarray<int>& subjectType, std::valarray<int>& func,
               std::valarray<double>& coef, std::valarray<int>& sense, std::valarray<double>& scale,
               std::valarray<double>& offset) {
  static constexpr const char* kRoutine = "EvalObj";
  constexpr int kValue = 0;
  constexpr int kSquare = 1;
  const std::size_t n = subjectIndex.size();
  RequireSize(kRoutine, "the subject-type array", subjectType.size(), "the subject-index array", n);
  RequireSize(kRoutine, "the function array", func.size(), "the subject-index array", n);
  RequireSize(kRoutine, "the coefficient array", coef.size(), "the subject-index array", n);
  const CItemRef objRef{kRoutine, "objective", 0, -1};
  // Element 0 of each per-objective array is used; empty arrays mean
  // minimise, unscaled, no offset.
  const int nSense = sense.size() != 0 ? sense[0] : 1;
  const double dScale = scale.size() != 0 ? scale[0] : 1.0;
  const double dOffset = offset.size() != 0 ? offset[0] : 0.0;
  if (nSense != 1 && nSense != -1)
    ThrowInvalid(objRef, "sense " + std::to_string(nSense) + " is neither 1 (minimise) nor -1 (maximise)");
  CheckScale(objRef, dScale);
  const CGroups groups = SubjectGroups(dv0, dv1, dv2, resp0, resp1, resp2);

  double sum = dOffset;
  for (std::size_t k = 0; k < n; ++k) {
    const CItemRef ref{kRoutine, "objective term", k, -1};
    const double value = groups.At(subjectType[k], subjectIndex[k], ref);
    if (func[k] == kValue) {
      sum += coef[k] * value;
    } else if (func[k] == kSquare) {
      sum += coef[k] * value * value;
    } else {
      ThrowInvalid(ref, "function code " + std::to_string(func[k]) + " is neither 0 (value) nor 1 (square)");
    }
  }
  return double(nSense) * sum / dScale;
}

// The reference host's constraint bounds are part of the problem definition
// and stay where the problem puts them: it has no strategy that moves bounds
// after a batch (such as tightening them by the responses' spread), so there
// is nothing to do here.  The two arrays are the host's own and pass through.
void AdjustConstrBoundsResps(CDB* /*pDB*/, std::valarray<double>& /*a*/, std::valarray<double>& /*b*/) {}
