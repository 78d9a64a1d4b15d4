// The problem-file reader: the whole text (syntax, the sections in order),
// names and bounds, and the helpers of its messages.
#include "Reader.h"

namespace rbo::problem::reader {

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

namespace {

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

}  // namespace

void CReader::ReadText(const std::string& text) {
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
               "method", "samples", "seed", "constraint_tolerance", "design_points", "analysis", "correlation",
               "reliability", "on_failure"});
  c.String(root, "", "title", &m_p.title, false, "a one-line description");
  ReadSettings(root);
  ReadVariables(root);
  ReadCorrelation(root);
  ReadReliabilitySettings(root);
  ReadResponses(root);
  Build(root);
}

void CReader::AddOverflow(const std::string& text) {
  CErrorPath where;
  json::sax_parse(text, &where, json::input_format_t::json, true, /*ignore_comments*/ true);
  c.Add(where.path, "the number " + Shown(where.token) +
                        " is beyond the range of numbers here (about 1.8e308 in "
                        "size); write a smaller number, or change the units.");
}

void CReader::AddSyntaxError(const std::string& text, const json::parse_error& e) {
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

bool CReader::Name(const json& obj, const std::string& path, std::string* pName) {
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

Bounds CReader::ReadBounds(const json& obj, const std::string& path) {
  Bounds b;
  b.hasLower = c.Number(obj, path, "lower", &b.lower, false, "");
  b.hasUpper = c.Number(obj, path, "upper", &b.upper, false, "");
  if (b.hasLower && b.hasUpper && b.lower > b.upper)
    c.Add(path, "has lower " + Num(b.lower) + " above upper " + Num(b.upper) + "; swap them.");
  return b;
}

void CReader::CheckInside(double v, const Bounds& b, const std::string& path) {
  if (v < b.lower || v > b.upper)
    c.Add(path, "is " + Num(v) + ", outside its bounds [" + (b.hasLower ? Num(b.lower) : "-inf") + ", " +
                    (b.hasUpper ? Num(b.upper) : "inf") + "]; move it inside or widen the bounds.");
}

}  // namespace rbo::problem::reader
