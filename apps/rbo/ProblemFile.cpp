// The problem file: JSON with comments.  Every section is checked in full
// and every mistake is reported with its JSON path and a sentence on how to
// fix it, so that one `rbo check` shows everything at once.
#include "ProblemFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <sstream>

#include "EmbeddedExample.h"
#include "ExpressionModel.h"
#include "rbo/RBO.h"
#include "rbo/host/ExternalAnalysis.h"
#include "rbo/host/ReferenceHost.h"

namespace rboapp {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

const char* const kMethodNames[] = {"montecarlo", "lhs", "fo", "surface-mc", "surface-lhs"};
const char* const kDistributionNames[] = {"normal", "uniform", "lognormal", "weibull"};
/// Names with a meaning of their own in constraint and objective subjects.
const char* const kReservedNames[] = {"any", "joint"};
/// The most sample points per design point.
constexpr long long kMaxSamples = 100000000;

std::string Num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

// JSON pointer escaping of one key (RFC 6901).
std::string Key(const std::string& path, const std::string& key) {
  std::string k;
  for (char c : key) k += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
  return path + "/" + k;
}
std::string Index(const std::string& path, std::size_t i) { return path + "/" + std::to_string(i); }

std::string Describe(const json& j) {
  switch (j.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return std::string("the boolean ") + (j.get<bool>() ? "true" : "false");
    case json::value_t::string:
      return "the string " + j.dump();
    case json::value_t::array:
      return "a list";
    case json::value_t::object:
      return "an object";
    default:
      return "the number " + j.dump();
  }
}

// Levenshtein distance, for "did you mean" suggestions.
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// The most edits between a word and a candidate that still suggests it:
// two, or a third of the word for long words.
std::size_t MaxEdits(const std::string& word) { return std::max<std::size_t>(2, word.size() / 3); }

// Words longer than this get no suggestion: a typo of a name this long is
// unlikely, and the distance costs the product of the lengths.
constexpr std::size_t kMaxSuggestedLength = 128;

// " Did you mean "x"?" for the closest candidate, when it is close.
std::string Suggest(const std::string& word, const std::vector<std::string>& candidates) {
  const std::string best = ClosestName(word, candidates);
  return best.empty() ? "" : " Did you mean \"" + best + "\"?";
}

std::string ListOf(const std::vector<std::string>& v) {
  std::string s;
  for (std::size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + v[i];
  return s.empty() ? "none" : s;
}

// A JSON number as a whole number within [nMin, nMax] (5, 5.0 and 5e0 are
// all 5).
enum class Whole { kOk, kNotNumber, kFraction, kOutOfRange };
Whole WholeNumber(const json& j, long long nMin, long long nMax, long long* pOut) {
  long long v = 0;
  if (j.is_number_unsigned()) {
    const std::uint64_t u = j.get<std::uint64_t>();
    if (u > std::uint64_t(std::numeric_limits<long long>::max())) return Whole::kOutOfRange;
    v = static_cast<long long>(u);
  } else if (j.is_number_integer()) {
    v = j.get<std::int64_t>();
  } else if (j.is_number_float()) {
    const double d = j.get<double>();
    if (std::floor(d) != d) return Whole::kFraction;
    // [-2^63, 2^63): the doubles that convert to long long.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return Whole::kOutOfRange;
    v = static_cast<long long>(d);
  } else {
    return Whole::kNotNumber;
  }
  if (v < nMin || v > nMax) return Whole::kOutOfRange;
  *pOut = v;
  return Whole::kOk;
}

std::string RangeText(long long nMin, long long nMax) {
  return "from " + std::to_string(nMin) + " to " + std::to_string(nMax);
}

// A name for messages: long names are cut, so that a message stays readable.
std::string Shown(const std::string& name) {
  constexpr std::size_t kShown = 40;
  return name.size() <= kShown ? name : name.substr(0, kShown) + "...";
}

// Finds the JSON path at which the parser stops, for the errors that it
// reports without a place (a number beyond the range of double).
class CErrorPath : public nlohmann::json_sax<json> {
 public:
  std::string path;   ///< where parsing stopped ("" : the top)
  std::string token;  ///< the text of the token where it stopped

  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override {
    m_frames.push_back({true, "", 0});
    return true;
  }
  bool key(string_t& k) override {
    m_frames.back().key = k;
    return true;
  }
  bool end_object() override {
    m_frames.pop_back();
    return Value();
  }
  bool start_array(std::size_t) override {
    m_frames.push_back({false, "", 0});
    return true;
  }
  bool end_array() override {
    m_frames.pop_back();
    return Value();
  }
  bool parse_error(std::size_t, const std::string& lastToken, const json::exception&) override {
    for (const Frame& f : m_frames) path = f.bObject ? Key(path, f.key) : Index(path, f.nIndex);
    token = lastToken;
    return false;
  }

 private:
  struct Frame {
    bool bObject;        ///< an object (else a list)
    std::string key;     ///< object: the key of the value being read
    std::size_t nIndex;  ///< list: the index of the value being read
  };
  // A value is complete: in a list, the next one has the next index.
  bool Value() {
    if (!m_frames.empty() && !m_frames.back().bObject) ++m_frames.back().nIndex;
    return true;
  }
  std::vector<Frame> m_frames;  ///< the containers open at this point, outermost first
};

// ------------------------------------------------------------------ checker

// Collects diagnostics while the sections are read.  Every accessor reports a
// missing or mistyped field itself and returns false; callers go on with
// the next field so that one run reports everything.
class CChecker {
 public:
  std::vector<Diagnostic> diagnostics;  ///< everything found so far

  void Add(const std::string& location, const std::string& message, std::vector<std::string> report = {}) {
    diagnostics.push_back({location.empty() ? "/" : location, message, std::move(report)});
  }

  bool Object(const json& j, const std::string& path, const std::string& what) {
    if (j.is_object()) return true;
    Add(path, "must be an object { ... } describing " + what + ", not " + Describe(j) + ".");
    return false;
  }
  bool Array(const json& j, const std::string& path, const std::string& what) {
    if (j.is_array()) return true;
    Add(path, "must be a list [ ... ] of " + what + ", not " + Describe(j) + ".");
    return false;
  }

  void KnownKeys(const json& obj, const std::string& path, const std::vector<std::string>& allowed) {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      if (std::find(allowed.begin(), allowed.end(), it.key()) != allowed.end()) continue;
      Add(Key(path, it.key()), "is not a known field here." + Suggest(it.key(), allowed) +
                                   " The fields allowed are: " + ListOf(allowed) + ".");
    }
  }

  bool Number(const json& obj, const std::string& path, const char* key, double* pOut, bool bRequired,
              const std::string& what) {
    const auto it = obj.find(key);
    if (it == obj.end()) {
      if (bRequired) Add(path, "has no \"" + std::string(key) + "\"; add " + what + ".");
      return false;
    }
    if (!it->is_number()) {
      Add(Key(path, key),
          "must be a number, not " + Describe(*it) + (it->is_string() ? "; write it without quotes." : "."));
      return false;
    }
    *pOut = it->get<double>();
    return true;
  }

  bool Integer(const json& obj, const std::string& path, const char* key, long long nMin, long long nMax,
               const std::string& what, long long* pOut) {
    const auto it = obj.find(key);
    if (it == obj.end()) return false;
    switch (WholeNumber(*it, nMin, nMax, pOut)) {
      case Whole::kOk:
        return true;
      case Whole::kOutOfRange:
        Add(Key(path, key), "is " + Describe(*it) + "; it must be " + RangeText(nMin, nMax) + " (" + what + ").");
        return false;
      case Whole::kNotNumber:
      case Whole::kFraction:
        break;
    }
    Add(Key(path, key), "must be a whole number " + RangeText(nMin, nMax) + " (" + what + "), not " + Describe(*it) +
                            (it->is_string() ? "; write it without quotes." : "."));
    return false;
  }

  bool String(const json& obj, const std::string& path, const char* key, std::string* pOut, bool bRequired,
              const std::string& what) {
    const auto it = obj.find(key);
    if (it == obj.end()) {
      if (bRequired) Add(path, "has no \"" + std::string(key) + "\"; add " + what + ".");
      return false;
    }
    if (!it->is_string()) {
      Add(Key(path, key), "must be a string in double quotes (" + what + "), not " + Describe(*it) + ".");
      return false;
    }
    *pOut = it->get<std::string>();
    return true;
  }

  bool Bool(const json& obj, const std::string& path, const char* key, bool* pOut) {
    const auto it = obj.find(key);
    if (it == obj.end()) return false;
    if (!it->is_boolean()) {
      Add(Key(path, key), "must be true or false, not " + Describe(*it) + ".");
      return false;
    }
    *pOut = it->get<bool>();
    return true;
  }
};

// ------------------------------------------------------------------ reading

// Where a name was defined, and what it is.
struct NameInfo {
  std::string path;  ///< location of the definition
  enum Kind { kDesign, kConstant, kRandomDesign, kRandomParameter, kDetResponse, kRandResponse } kind;
  int index;  ///< index into Problem::variables or Problem::responses, -1 when the definition is broken
};

// Bounds read from a "lower" / "upper" pair.
struct Bounds {
  bool hasLower = false, hasUpper = false;
  double lower = -kNoBound, upper = kNoBound;
};

class CReader {
 public:
  CReader(const std::string& path, ModelMode mode, Problem* pProblem) : m_strPath(path), m_mode(mode), m_p(*pProblem) {
    std::error_code ec;
    m_dir = path.empty() ? fs::current_path(ec) : fs::absolute(fs::path(path), ec).parent_path();
  }

  // Never throws: a fault of the reader itself is reported as a diagnostic
  // too (kReaderFault), so that a caller sees the file rejected, not an
  // exception it was not told about.
  std::vector<Diagnostic> Read(const std::string& text) {
    try {
      ReadText(text);
    } catch (const std::exception& e) {
      c.Add("", std::string(kReaderFault) + " (" + e.what() + "); please report it with the file.");
    } catch (...) {
      c.Add("", std::string(kReaderFault) + "; please report it with the file.");
    }
    return c.diagnostics;
  }

 private:
  void ReadText(const std::string& text) {
    json root;
    try {
      root = json::parse(text, nullptr, true, /*ignore_comments*/ true);
    } catch (const json::parse_error& e) {
      AddSyntaxError(text, e);
      return;
    } catch (const json::exception&) {
      AddOverflow(text);
      return;
    }
    if (!c.Object(root, "", "the problem")) return;
    c.KnownKeys(root, "",
                {"title", "design_variables", "constants", "random_variables", "responses", "constraints", "objective",
                 "method", "samples", "seed", "constraint_tolerance", "design_points", "analysis"});
    c.String(root, "", "title", &m_p.title, false, "a one-line description");
    ReadSettings(root);
    ReadVariables(root);
    ReadResponses(root);
    Build(root);
  }

  // ---- syntax ----
  // Valid JSON syntax but a number that no double holds (1e400): the parser
  // throws without a place, so a second pass finds its path.
  void AddOverflow(const std::string& text) {
    CErrorPath where;
    json::sax_parse(text, &where, json::input_format_t::json, true, /*ignore_comments*/ true);
    c.Add(where.path, "the number " + Shown(where.token) +
                          " is beyond the range of numbers here (about 1.8e308 in "
                          "size); write a smaller number, or change the units.");
  }

  void AddSyntaxError(const std::string& text, const json::parse_error& e) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) {
      if (text[i] == '\n')
        ++line, column = 1;
      else
        ++column;
    }
    std::string what = e.what();
    const auto colon = what.find("]");
    if (colon != std::string::npos) what = what.substr(colon + 2);
    const auto detail = what.find(": ");
    if (detail != std::string::npos) what = what.substr(detail + 2);
    c.diagnostics.push_back({"line " + std::to_string(line) + ", column " + std::to_string(column),
                             "the file is not valid JSON: " + what +
                                 ". Look for a missing comma, quote or bracket at or just before this place "
                                 "(comments // and /* */ are allowed, trailing commas are not).",
                             {}});
  }

  // ---- method, samples, seed ----
  void ReadSettings(const json& root) {
    if (const auto it = root.find("method"); it != root.end()) {
      int m = -1;
      if (long long code = 0; WholeNumber(*it, 0, 4, &code) == Whole::kOk)
        m = int(code);
      else if (it->is_string())
        m = ParseMethod(it->get<std::string>());
      if (m < 0)
        c.Add("/method", "is " + Describe(*it) +
                             "; use 0 to 4 or montecarlo, lhs, fo, surface-mc, surface-lhs (see `rbo help run`).");
      else
        m_p.settings.method = m;
    }
    long long n = 0;
    if (c.Integer(root, "", "samples", 1, kMaxSamples, "sample points per design point", &n))
      m_p.settings.samples = int(n);
    // The seed's range is that of `rbo run --seed`.
    if (c.Integer(root, "", "seed", 0, std::numeric_limits<long long>::max(), "the seed of the sampling", &n))
      m_p.settings.seed = std::uint64_t(n);
    double tol = 0.0;
    if (c.Number(root, "", "constraint_tolerance", &tol, false, "")) {
      if (!(tol >= 0.0))
        c.Add("/constraint_tolerance", "is " + Num(tol) + "; it must be 0 or positive.");
      else
        m_p.builder.SetConstraintTolerance(tol);
    }
  }

  // ---- names ----
  bool Name(const json& obj, const std::string& path, std::string* pName) {
    if (!c.String(obj, path, "name", pName, true, "a \"name\" by which expressions and subjects refer to it"))
      return false;
    const std::string& n = *pName;
    const bool bSyntax =
        !n.empty() && (std::isalpha((unsigned char)n[0]) || n[0] == '_') &&
        std::all_of(n.begin(), n.end(), [](char ch) { return std::isalnum((unsigned char)ch) || ch == '_'; });
    if (!bSyntax) {
      c.Add(Key(path, "name"),
            "\"" + Shown(n) + "\" is not a valid name; use letters, digits and _, starting with a letter.");
      return false;
    }
    // Reported here, once; the name stays defined so that its uses are not
    // reported again.
    if (const std::string why = CheckExpressionName(n); !why.empty())
      c.Add(Key(path, "name"), "\"" + Shown(n) + "\" " + why + "; choose a shorter name.");
    if (std::find(std::begin(kReservedNames), std::end(kReservedNames), n) != std::end(kReservedNames) ||
        IsExpressionBuiltin(n)) {
      c.Add(Key(path, "name"),
            "\"" + n + "\" is reserved (a subject or a function of the expressions); choose another name.");
      return false;
    }
    if (const auto it = m_names.find(n); it != m_names.end()) {
      c.Add(Key(path, "name"), "\"" + n + "\" is already the name of " + it->second.path + "; names must be unique.");
      return false;
    }
    return true;
  }

  Bounds ReadBounds(const json& obj, const std::string& path) {
    Bounds b;
    b.hasLower = c.Number(obj, path, "lower", &b.lower, false, "");
    b.hasUpper = c.Number(obj, path, "upper", &b.upper, false, "");
    if (b.hasLower && b.hasUpper && b.lower > b.upper)
      c.Add(path, "has lower " + Num(b.lower) + " above upper " + Num(b.upper) + "; swap them.");
    return b;
  }

  void CheckInside(double v, const Bounds& b, const std::string& path) {
    if (v < b.lower || v > b.upper)
      c.Add(path, "is " + Num(v) + ", outside its bounds [" + (b.hasLower ? Num(b.lower) : "-inf") + ", " +
                      (b.hasUpper ? Num(b.upper) : "inf") + "]; move it inside or widen the bounds.");
  }

  // ---- variables ----
  void ReadVariables(const json& root) {
    if (const auto it = root.find("design_variables");
        it != root.end() && c.Array(*it, "/design_variables", "design variables")) {
      for (std::size_t i = 0; i < it->size(); ++i) ReadDesignVariable((*it)[i], Index("/design_variables", i));
    }
    if (const auto it = root.find("constants"); it != root.end() && c.Array(*it, "/constants", "constants")) {
      for (std::size_t i = 0; i < it->size(); ++i) ReadConstant((*it)[i], Index("/constants", i));
    }
    if (const auto it = root.find("random_variables");
        it != root.end() && c.Array(*it, "/random_variables", "random variables")) {
      for (std::size_t i = 0; i < it->size(); ++i) ReadRandomVariable((*it)[i], Index("/random_variables", i));
    }
  }

  void AddVariable(const std::string& path, const std::string& name, VariableKind kind, int distribution, double value,
                   double sd, const Bounds& b) {
    Variable v{name, kind, distribution, value, sd, -1};
    const bool bDesign = kind == VariableKind::kDesign || kind == VariableKind::kRandomDesign;
    if (bDesign) {
      v.designVariable = int(m_p.designVariables.size());
      m_p.designVariables.push_back({name, value, b.hasLower ? b.lower : -kNoBound, b.hasUpper ? b.upper : kNoBound,
                                     kind == VariableKind::kRandomDesign, int(m_p.variables.size())});
    }
    const NameInfo::Kind nk = kind == VariableKind::kDesign         ? NameInfo::kDesign
                              : kind == VariableKind::kConstant     ? NameInfo::kConstant
                              : kind == VariableKind::kRandomDesign ? NameInfo::kRandomDesign
                                                                    : NameInfo::kRandomParameter;
    m_names[name] = {path, nk, int(m_p.variables.size())};
    m_p.variables.push_back(v);
  }

  // A name whose definition has mistakes: known (no second report where it
  // is used), but not part of the problem.
  void Broken(const std::string& path, const std::string& name, NameInfo::Kind kind) {
    m_names[name] = {path, kind, -1};
  }
  bool IsBroken(const std::string& name) const {
    const auto it = m_names.find(name);
    return it != m_names.end() && it->second.index < 0;
  }

  void ReadDesignVariable(const json& j, const std::string& path) {
    if (!c.Object(j, path, "one design variable")) return;
    c.KnownKeys(j, path, {"name", "value", "lower", "upper"});
    std::string name;
    double value = 0.0;
    const bool bName = Name(j, path, &name);
    const bool bValue = c.Number(j, path, "value", &value, true, "its initial \"value\"");
    const Bounds b = ReadBounds(j, path);
    if (bValue) CheckInside(value, b, Key(path, "value"));
    if (bName && bValue)
      AddVariable(path, name, VariableKind::kDesign, 0, value, 0.0, b);
    else if (bName)
      Broken(path, name, NameInfo::kDesign);
  }

  void ReadConstant(const json& j, const std::string& path) {
    if (!c.Object(j, path, "one constant")) return;
    c.KnownKeys(j, path, {"name", "value"});
    std::string name;
    double value = 0.0;
    const bool bName = Name(j, path, &name);
    if (c.Number(j, path, "value", &value, true, "its \"value\"") && bName)
      AddVariable(path, name, VariableKind::kConstant, 0, value, 0.0, Bounds());
    else if (bName)
      Broken(path, name, NameInfo::kConstant);
  }

  // Runs attempt (which builds a random variable); when the library rejects
  // it, *pReport gets the library's own report: its error lines (LError,
  // LPrint) without the exception trace that follows them.
  static bool LibraryAccepts(const std::function<void()>& attempt, std::vector<std::string>* pReport) {
    refhost::LogCapture capture;
    try {
      attempt();
      return true;
    } catch (const std::exception&) {
    }
    for (const refhost::LogRecord& r : capture.Records()) {
      if (r.call != "LError" && r.call != "LPrint") continue;
      std::string line = r.text;
      while (!line.empty() && line.back() == '\n') line.pop_back();
      pReport->push_back(line);
    }
    return false;
  }

  // How to model a lognormal quantity whose mean is 1 or less, which the
  // library refuses however it is given: "params" need lambda > 0, that is a
  // median above 1, and so a mean above 1 too.
  static std::string LognormalBelowOne() {
    return " A lognormal variable here needs a mean above 1 (with \"params\" [lambda, epsilon], lambda above 0, "
           "which is the same rule): change its units (e.g. mm instead of m) so that the mean exceeds 1, or make "
           "ln X a normal variable (mean lambda, sd epsilon) and write exp(...) of it in the expressions.";
  }

  // The field that the library's report names (its title line and the
  // next), so that the diagnostic points at the value to change.
  static std::string FaultField(const std::vector<std::string>& report, bool bParams, const std::string& path) {
    const std::string text = report.empty() ? "" : report[0] + (report.size() > 1 ? report[1] : "");
    if (bParams) {
      if (text.find("1st parameter") != std::string::npos && text.find("2nd") == std::string::npos)
        return Index(Key(path, "params"), 0);
      if (text.find("bounds") != std::string::npos) return Key(path, "params");
      if (text.find("2nd parameter") != std::string::npos) return Index(Key(path, "params"), 1);
      if (text.find("3rd parameter") != std::string::npos) return Index(Key(path, "params"), 2);
      return Key(path, "params");
    }
    if (text.find("Standard Deviation") != std::string::npos) return Key(path, "sd");
    return Key(path, "mean");
  }

  void ReadRandomVariable(const json& j, const std::string& path) {
    if (!c.Object(j, path, "one random variable")) return;
    c.KnownKeys(j, path, {"name", "distribution", "mean", "sd", "params", "design", "lower", "upper"});
    std::string name, dist;
    const bool bName = Name(j, path, &name);
    int type = -1;
    if (const auto it = j.find("distribution"); it == j.end()) {
      c.Add(path, "has no \"distribution\"; add one of normal, uniform, lognormal, weibull.");
    } else if (it->is_string()) {
      const std::string d = it->get<std::string>();
      for (int t = 0; t < 4; ++t)
        if (d == kDistributionNames[t]) type = t;
      if (type < 0)
        c.Add(Key(path, "distribution"), "\"" + d + "\" is not a distribution here." +
                                             Suggest(d, {"normal", "uniform", "lognormal", "weibull"}) +
                                             " Use normal, uniform, lognormal or weibull.");
    } else if (long long code = 0; WholeNumber(*it, 0, 3, &code) == Whole::kOk) {
      type = int(code);
    } else {
      c.Add(Key(path, "distribution"),
            "is " + Describe(*it) + "; use normal, uniform, lognormal or weibull (or 0 to 3).");
    }
    bool bDesign = false;
    c.Bool(j, path, "design", &bDesign);
    const Bounds b = ReadBounds(j, path);
    if (!bDesign && (b.hasLower || b.hasUpper))
      c.Add(path,
            "has bounds, but only the mean of a design variable has bounds; add \"design\": true or remove "
            "\"lower\" and \"upper\".");

    const bool bHasMoments = j.contains("mean") || j.contains("sd");
    const bool bHasParams = j.contains("params");
    double mean = 0.0, sd = 0.0;
    bool bValues = false;
    std::vector<std::string> report;
    std::string faultPath;
    if (bHasMoments && bHasParams) {
      c.Add(path, "gives both \"mean\"/\"sd\" and \"params\"; keep one of the two.");
    } else if (!bHasMoments && !bHasParams) {
      c.Add(path, "has neither \"mean\" and \"sd\" nor \"params\"; give its mean and standard deviation.");
    } else if (bHasMoments) {
      const bool bMean = c.Number(j, path, "mean", &mean, true, "its \"mean\"");
      const bool bSd = c.Number(j, path, "sd", &sd, true, "its standard deviation \"sd\"");
      bValues = bMean && bSd && type >= 0;
    } else if (const json& params = j["params"];
               c.Array(params, Key(path, "params"), "distribution parameters") && type >= 0) {
      const std::size_t nWanted = type == CRandVar::kWeibull ? 3 : 2;
      const char* const kParamNames[] = {"[mean, sd]", "[lower, upper]", "[lambda, epsilon] (mean and sd of ln X)",
                                         "[location, scale, shape]"};
      bool bOk = params.size() == nWanted;
      if (!bOk)
        c.Add(Key(path, "params"), "has " + std::to_string(params.size()) + " values; a " + kDistributionNames[type] +
                                       " variable takes " + std::to_string(nWanted) + ": " + kParamNames[type] + ".");
      double p[3] = {0.0, 0.0, 0.0};
      for (std::size_t k = 0; bOk && k < nWanted; ++k) {
        if (!params[k].is_number()) {
          c.Add(Index(Key(path, "params"), k), "must be a number, not " + Describe(params[k]) + ".");
          bOk = false;
        } else {
          p[k] = params[k].get<double>();
        }
      }
      if (bOk && type == CRandVar::kWeibull && p[0] != 0.0) {
        c.Add(Index(Key(path, "params"), 0),
              "is " + Num(p[0]) +
                  "; Weibull variables have location 0 here (the "
                  "mean and sd fix scale and shape); shift the variable in the expression instead.");
        bOk = false;
      }
      if (bOk) {
        std::vector<std::string> paramReport;
        CRandVar rv;
        if (LibraryAccepts([&] { rv = CRandVar(type, p[0], p[1], p[2]); }, &paramReport)) {
          mean = rv.GetActualMean();
          sd = rv.GetActualStdDev();
          bValues = true;
        } else {
          c.Add(FaultField(paramReport, true, path),
                std::string("the library rejects these ") + kDistributionNames[type] +
                    " parameters; its report follows.  Change the value it names." +
                    (type == CRandVar::kLognormal && p[0] <= 0.0 ? LognormalBelowOne() : ""),
                paramReport);
        }
      }
    }
    if (bValues) {
      // The library sets the variable from its mean and sd at every design
      // point; try exactly that, at the initial mean and at the bounds the
      // optimiser may move the mean to.
      const double base[4][3] = {{0.0, 1.0, 0.0}, {0.0, 1.0, 0.0}, {1.0, 0.5, 0.0}, {0.0, 1.0, 2.0}};
      auto attempt = [&](double m) {
        return LibraryAccepts(
            [&] {
              CRandVar rv(type, base[type][0], base[type][1], base[type][2]);
              rv.UpdateParamsFromActualMeanStdDev(m, sd);
            },
            &report);
      };
      bool bOk = attempt(mean);
      if (!bOk) {
        c.Add(FaultField(report, false, path),
              std::string("the library rejects a ") + kDistributionNames[type] + " variable with mean " + Num(mean) +
                  " and sd " + Num(sd) + "; its report follows.  Change the value it names." +
                  (type == CRandVar::kLognormal && mean <= 1.0 ? LognormalBelowOne() : ""),
              report);
      }
      for (int side = 0; bOk && bDesign && side < 2; ++side) {
        const bool bHas = side == 0 ? b.hasLower : b.hasUpper;
        const double bound = side == 0 ? b.lower : b.upper;
        report.clear();
        if (bHas && !attempt(bound)) {
          c.Add(Key(path, side == 0 ? "lower" : "upper"),
                "the optimiser may move the mean to this bound, " + Num(bound) + ", where the library rejects the " +
                    kDistributionNames[type] + " variable; its report follows.  Narrow the bounds." +
                    (type == CRandVar::kLognormal && bound <= 1.0 ? LognormalBelowOne() : ""),
                report);
          bOk = false;
        }
      }
      if (bDesign) CheckInside(mean, b, Key(path, "mean"));
      if (bOk && bName) {
        AddVariable(path, name, bDesign ? VariableKind::kRandomDesign : VariableKind::kRandomParameter, type, mean, sd,
                    b);
        return;
      }
    }
    if (bName) Broken(path, name, bDesign ? NameInfo::kRandomDesign : NameInfo::kRandomParameter);
  }

  // ---- responses ----
  void ReadResponses(const json& root) {
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

  // ---- subjects ----
  // A subject names a quantity: a design variable, a response (its value, or
  // the mean of a random response), name.mean / name.sd / name.pof, any, joint.
  bool Subject(const std::string& text, const std::string& path, bool bObjective, refhost::QuantityRef* pRef) {
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

  // ---- building: constraints, objective, design points, analysis ----
  void Build(const json& root) {
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

  void AddConstraint(const std::string& subject, refhost::QuantityRef ref, int side, double bound, double scale) {
    m_p.builder.AddConstraint(ref, side, bound, scale);
    m_p.constraints.push_back({subject, ref, side, bound, scale});
  }

  void ReadConstraints(const json& root) {
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

  void AddTerm(const std::string& subject, const std::string& path, double coef, bool bSquare) {
    refhost::QuantityRef ref{};
    if (!Subject(subject, path, true, &ref)) return;
    m_p.builder.AddObjectiveTerm(ref, coef, bSquare ? 1 : 0);
    m_p.objective.push_back({subject, ref, coef, bSquare});
  }

  void ReadObjective(const json& root) {
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

  void ReadDesignPoints(const json& root) {
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

  void ReadAnalysis(const json& root) {
    const auto it = root.find("analysis");
    if (it == root.end()) {
      c.Add("",
            "has no \"analysis\"; add {\"expressions\": {\"g\": \"R - S\"}} or {\"program\": {\"command\": [...]}}.");
      return;
    }
    if (!c.Object(*it, "/analysis", "the analysis")) return;
    c.KnownKeys(*it, "/analysis", {"expressions", "program"});
    const bool bExpr = it->contains("expressions"), bProg = it->contains("program");
    if (bExpr == bProg) {
      c.Add("/analysis",
            bExpr ? "has both \"expressions\" and \"program\"; keep one." : "needs \"expressions\" or \"program\".");
      return;
    }
    std::vector<std::string> varNames, respNames;
    for (const Variable& v : m_p.variables) varNames.push_back(v.name);
    for (const Response& r : m_p.responses) respNames.push_back(r.name);
    if (bExpr)
      ReadExpressions((*it)["expressions"], varNames, respNames);
    else
      ReadProgram((*it)["program"], varNames, respNames);
  }

  void ReadExpressions(const json& j, const std::vector<std::string>& varNames,
                       const std::vector<std::string>& respNames) {
    const std::string path = "/analysis/expressions";
    if (!c.Object(j, path, "one expression per response: {\"g\": \"R - S\"}")) return;
    m_p.analysisKind = AnalysisKind::kExpressions;
    for (auto t = j.begin(); t != j.end(); ++t)
      if (std::find(respNames.begin(), respNames.end(), t.key()) == respNames.end())
        c.Add(Key(path, t.key()), "is not a response." + Suggest(t.key(), respNames) +
                                      " Add it under /responses or remove its expression.");
    std::vector<std::string> expressions, names = varNames;
    for (const auto& [n, info] : m_names)  // variables with mistakes of their own: no second report here
      if (info.index < 0 && info.kind != NameInfo::kDetResponse && info.kind != NameInfo::kRandResponse)
        names.push_back(n);
    bool bOk = true;
    for (const std::string& r : respNames) {
      const auto e = j.find(r);
      if (e == j.end()) {
        c.Add(path, "has no expression for the response \"" + r + "\"; add \"" + r + "\": \"...\".");
        bOk = false;
      } else if (!e->is_string()) {
        c.Add(Key(path, r), "must be an expression in a string, not " + Describe(*e) + ".");
        bOk = false;
      } else if (const std::string why = CheckExpression(e->get<std::string>(), names); !why.empty()) {
        c.Add(Key(path, r), "\"" + e->get<std::string>() + "\" " + why + ".");
        bOk = false;
      } else {
        expressions.push_back(e->get<std::string>());
      }
      names.push_back(r);  // later expressions may use this response
    }
    if (bOk && m_mode == ModelMode::kBuild) m_p.model = ExpressionModel(varNames, respNames, expressions);
  }

  std::string Substitute(std::string s) const {
    const std::string dir = m_dir.string();
    for (std::size_t pos; (pos = s.find("{dir}")) != std::string::npos;) s.replace(pos, 5, dir);
    return s;
  }

  void ReadProgram(const json& j, const std::vector<std::string>& varNames, const std::vector<std::string>& respNames) {
    const std::string path = "/analysis/program";
    if (!c.Object(j, path, "the external program: {\"command\": [\"python3\", \"{dir}/model.py\"]}")) return;
    c.KnownKeys(j, path,
                {"command", "timeout", "input_format", "input", "output", "workdir", "keep_workdir", "max_output_mib"});
    m_p.analysisKind = AnalysisKind::kProgram;
    refhost::ExternalProgram prog;
    bool bOk = true;
    const auto cmd = j.find("command");
    if (cmd == j.end()) {
      c.Add(path, "has no \"command\"; add e.g. \"command\": [\"python3\", \"{dir}/model.py\"].");
      bOk = false;
    } else if (cmd->is_string()) {
      prog.shellCommand = Substitute(cmd->get<std::string>());
      if (prog.shellCommand.find_first_not_of(" \t") == std::string::npos) {
        c.Add(Key(path, "command"), "is empty; give the command that runs the analysis.");
        bOk = false;
      }
    } else if (cmd->is_array() && cmd->empty()) {
      c.Add(Key(path, "command"),
            "is empty; give the program and its arguments, e.g. [\"python3\", \"{dir}/model.py\"].");
      bOk = false;
    } else if (cmd->is_array()) {
      for (std::size_t k = 0; k < cmd->size(); ++k) {
        if (!(*cmd)[k].is_string()) {
          c.Add(Index(Key(path, "command"), k), "must be a string, not " + Describe((*cmd)[k]) + ".");
          bOk = false;
        } else {
          prog.argv.push_back(Substitute((*cmd)[k].get<std::string>()));
        }
      }
      if (bOk) {
        // A relative program path is relative to the problem file.
        std::string& exe = prog.argv[0];
        if (exe.find('/') != std::string::npos && fs::path(exe).is_relative())
          exe = (m_dir / exe).lexically_normal().string();
        std::string why;
        if (refhost::ResolveProgram(exe, &why).empty()) {
          c.Add(Index(Key(path, "command"), 0), "the program " + why +
                                                    "; install it or give its path "
                                                    "(a relative path counts from the problem file's folder).");
          bOk = false;
        }
      }
    } else {
      c.Add(Key(path, "command"),
            "must be a list of strings (the program and its arguments) or one command line "
            "string, not " +
                Describe(*cmd) + ".");
      bOk = false;
    }
    if (c.Number(j, path, "timeout", &prog.timeoutSeconds, false, "") && !(prog.timeoutSeconds > 0.0)) {
      c.Add(Key(path, "timeout"), "is " + Num(prog.timeoutSeconds) +
                                      "; give the seconds one analysis may take (> 0), or leave it out for no limit.");
      bOk = false;
    }
    std::string format;
    if (c.String(j, path, "input_format", &format, false, "text or json")) {
      if (format == "json")
        prog.inputFormat = refhost::ExternalProgram::Format::kJson;
      else if (format != "text") {
        c.Add(Key(path, "input_format"), "is \"" + format + "\"; use \"text\" (name = value lines) or \"json\".");
        bOk = false;
      }
    }
    for (const char* key : {"input", "output"}) {
      std::string file;
      if (!c.String(j, path, key, &file, false, "a file name")) continue;
      if (file.empty() || file.find('/') != std::string::npos || file == "." || file == ".." || file == "stdout.txt" ||
          file == "stderr.txt") {
        c.Add(Key(path, key), "\"" + file +
                                  "\" must be a plain file name within the working folder (no '/'; not "
                                  "stdout.txt or stderr.txt, which hold the program's streams).");
        bOk = false;
      } else {
        (std::string(key) == "input" ? prog.inputFile : prog.outputFile) = file;
      }
    }
    if (prog.inputFile == prog.outputFile) {
      c.Add(Key(path, "output"), "is the same file as the input; give them different names.");
      bOk = false;
    }
    if (std::string dir; c.String(j, path, "workdir", &dir, false, "a folder")) {
      prog.workRoot = fs::path(Substitute(dir)).is_relative() ? (m_dir / Substitute(dir)).string() : Substitute(dir);
    }
    c.Bool(j, path, "keep_workdir", &prog.keepWorkFolders);
    if (double mib = 0.0; c.Number(j, path, "max_output_mib", &mib, false, "")) {
      if (!(mib >= 1.0 / 1024.0) || mib > 1048576.0) {
        c.Add(Key(path, "max_output_mib"), "is " + Num(mib) +
                                               "; give the largest output file to read, in MiB "
                                               "(1/1024 to 1048576; default 64).");
        bOk = false;
      } else {
        prog.maxOutputBytes = std::uint64_t(mib * 1048576.0);
      }
    }
    if (!bOk || m_mode != ModelMode::kBuild || !c.diagnostics.empty()) return;
    try {
      m_p.model = refhost::ExternalProgramModel(prog, varNames, respNames);
    } catch (const std::exception& e) {
      c.Add(path, std::string("cannot be set up: ") + e.what() + ".");
    }
  }

  std::string m_strPath;                    ///< the problem file
  ModelMode m_mode;                         ///< whether to make the model function
  Problem& m_p;                             ///< what is being filled
  fs::path m_dir;                           ///< the problem file's folder
  CChecker c;                               ///< diagnostics found
  std::map<std::string, NameInfo> m_names;  ///< every name defined so far
  int m_nRandomResponses = 0;               ///< random responses added to the builder
};

}  // namespace

ProblemFileError::ProblemFileError(std::string path, std::vector<Diagnostic> diagnostics)
    : std::runtime_error("the problem file " + path + " has " + std::to_string(diagnostics.size()) +
                         (diagnostics.size() == 1 ? " problem" : " problems")),
      m_strPath(std::move(path)),
      m_vDiagnostics(std::move(diagnostics)) {}

std::vector<Diagnostic> ParseProblem(const std::string& text, const std::string& path, ModelMode mode,
                                     Problem* pProblem) {
  *pProblem = Problem();
  pProblem->path = path;
  return CReader(path, mode, pProblem).Read(text);
}

Problem LoadProblemFile(const std::string& path, ModelMode mode) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ProblemReadError("cannot open the problem file " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ProblemReadError("cannot read the problem file " + path);
  Problem p;
  std::vector<Diagnostic> diagnostics = ParseProblem(text.str(), path, mode, &p);
  if (!diagnostics.empty()) throw ProblemFileError(path, std::move(diagnostics));
  return p;
}

const std::string& EmbeddedExample() {
  static const std::string s_text = kEmbeddedExampleText;
  return s_text;
}

std::string ClosestName(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t bestDistance = std::numeric_limits<std::size_t>::max();
  if (word.size() > kMaxSuggestedLength) return "";
  const std::size_t nMaxEdits = MaxEdits(word);
  for (const std::string& c : candidates) {
    // The distance is at least the difference of the lengths.
    const std::size_t nLengthGap = c.size() > word.size() ? c.size() - word.size() : word.size() - c.size();
    if (nLengthGap > nMaxEdits) continue;
    const std::size_t d = Distance(word, c);
    if (d < bestDistance) bestDistance = d, best = c;
  }
  if (best.empty() || bestDistance > nMaxEdits) return "";
  return best;
}

const char* MethodName(int method) { return method >= 0 && method <= 4 ? kMethodNames[method] : "?"; }

int ParseMethod(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') return text[0] - '0';
  for (int m = 0; m < 5; ++m)
    if (text == kMethodNames[m]) return m;
  if (text == "mc") return 0;
  if (text == "first-order") return 2;
  return -1;
}

}  // namespace rboapp
