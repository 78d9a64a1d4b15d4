// The problem-file reader's internals: the checker that collects
// diagnostics, the helpers its messages use, and CReader, which reads one
// problem file section by section.  The sections live in the Read*.cpp
// files beside this one; ProblemFile.cpp is the public entry.
#pragma once

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
#include <string>
#include <vector>

#include "ExpressionModel.h"
#include "rbo/RBO.h"
#include "rbo/host/ExternalAnalysis.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/ProblemFile.h"

namespace rbo::problem::reader {

namespace fs = std::filesystem;
using json = nlohmann::json;

inline constexpr const char* kMethodNames[] = {"montecarlo", "lhs",  "fo", "surface-mc", "surface-lhs",
                                               "form",       "sorm", "is", "subset",     "sora"};
inline constexpr const char* kDistributionNames[] = {"normal", "uniform", "lognormal", "weibull"};
/// Names with a meaning of their own in constraint and objective subjects.
inline constexpr const char* kReservedNames[] = {"any", "joint"};
/// The most sample points per design point.
constexpr long long kMaxSamples = 100000000;
/// Words longer than this get no suggestion: a typo of a name this long is
/// unlikely, and the distance costs the product of the lengths.
constexpr std::size_t kMaxSuggestedLength = 128;

/// A number for messages ("%.10g").
std::string Num(double v);
/// JSON pointer of key under path, with the key escaped (RFC 6901).
std::string Key(const std::string& path, const std::string& key);
/// JSON pointer of element i under path.
std::string Index(const std::string& path, std::size_t i);
/// What a JSON value is, for messages ("the string \"x\"", "a list").
std::string Describe(const json& j);
/// Levenshtein distance, for "did you mean" suggestions.
std::size_t Distance(const std::string& a, const std::string& b);
/// The most edits between a word and a candidate that still suggests it:
/// two, or a third of the word for long words.
std::size_t MaxEdits(const std::string& word);
/// " Did you mean "x"?" for the closest candidate, when it is close.
std::string Suggest(const std::string& word, const std::vector<std::string>& candidates);
/// "a, b, c", or "none".
std::string ListOf(const std::vector<std::string>& v);
/// A JSON number as a whole number within [nMin, nMax] (5, 5.0 and 5e0 are
/// all 5).
enum class Whole { kOk, kNotNumber, kFraction, kOutOfRange };
Whole WholeNumber(const json& j, long long nMin, long long nMax, long long* pOut);
/// "from nMin to nMax"
std::string RangeText(long long nMin, long long nMax);
/// A name for messages: long names are cut, so that a message stays readable.
std::string Shown(const std::string& name);

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
  void ReadText(const std::string& text);

  // ---- syntax ----
  // Valid JSON syntax but a number that no double holds (1e400): the parser
  // throws without a place, so a second pass finds its path.
  void AddOverflow(const std::string& text);
  void AddSyntaxError(const std::string& text, const json::parse_error& e);

  // ---- method, samples, seed ----
  void ReadSettings(const json& root);
  /// "on_failure": {"policy", "retries", "max_skipped_fraction"}.
  void ReadFailurePolicy(const json& root);

  // ---- names ----
  bool Name(const json& obj, const std::string& path, std::string* pName);
  Bounds ReadBounds(const json& obj, const std::string& path);
  void CheckInside(double v, const Bounds& b, const std::string& path);

  // ---- variables ----
  void ReadVariables(const json& root);
  void AddVariable(const std::string& path, const std::string& name, VariableKind kind, int distribution, double value,
                   double sd, const Bounds& b);

  // A name whose definition has mistakes: known (no second report where it
  // is used), but not part of the problem.
  void Broken(const std::string& path, const std::string& name, NameInfo::Kind kind);
  bool IsBroken(const std::string& name) const;
  void ReadDesignVariable(const json& j, const std::string& path);
  void ReadConstant(const json& j, const std::string& path);

  // Runs attempt (which builds a random variable); when the library rejects
  // it, *pReport gets the library's own report: its error lines (LError,
  // LPrint) without the exception trace that follows them.
  static bool LibraryAccepts(const std::function<void()>& attempt, std::vector<std::string>* pReport);

  // How to model a lognormal quantity whose mean is 1 or less, which the
  // library refuses however it is given: "params" need lambda > 0, that is a
  // median above 1, and so a mean above 1 too.
  static std::string LognormalBelowOne();

  // The field that the library's report names (its title line and the
  // next), so that the diagnostic points at the value to change.
  static std::string FaultField(const std::vector<std::string>& report, bool bParams, const std::string& path);
  // "distribution": a name or a code 0 to 3; -1 when missing or wrong.
  int ReadDistribution(const json& j, const std::string& path);
  // The actual mean and sd from "mean" and "sd" or from "params"; false
  // (with a diagnostic) when they are missing, wrong, or both are given.
  bool ReadMoments(const json& j, const std::string& path, int type, double* pMean, double* pSd);
  // "params" of the distribution, as the library takes them.
  bool ReadParams(const json& params, const std::string& path, int type, double* pMean, double* pSd);
  // Whether the library accepts the variable at its mean and, for a design
  // variable, at its bounds; a diagnostic with its report when not.
  bool LibraryAcceptsMoments(const std::string& path, int type, double mean, double sd, bool bDesign, const Bounds& b);

  void ReadRandomVariable(const json& j, const std::string& path);

  // ---- correlation, reliability settings ----
  void ReadCorrelation(const json& root);
  bool ReadCorrelatedNames(const json& j, std::vector<int>* pVars, std::vector<std::string>* pNames);
  bool ReadCorrelationMatrix(const json& j, std::size_t n, std::vector<double>* pR);
  void ReadReliabilitySettings(const json& root);

  // ---- responses ----
  void ReadResponses(const json& root);

  // ---- subjects ----
  // A subject names a quantity: a design variable, a response (its value, or
  // the mean of a random response), name.mean / name.sd / name.pof, any, joint.
  bool Subject(const std::string& text, const std::string& path, bool bObjective, refhost::QuantityRef* pRef);

  // ---- building: constraints, objective, design points, analysis ----
  void Build(const json& root);
  void AddConstraint(const std::string& subject, refhost::QuantityRef ref, int side, double bound, double scale);
  void ReadConstraints(const json& root);
  void AddTerm(const std::string& subject, const std::string& path, double coef, bool bSquare);
  void ReadObjective(const json& root);
  void ReadDesignPoints(const json& root);
  void ReadAnalysis(const json& root);
  void ReadExpressions(const json& j, const std::vector<std::string>& varNames,
                       const std::vector<std::string>& respNames);
  std::string Substitute(std::string s) const;
  void ReadProgram(const json& j, const std::vector<std::string>& varNames, const std::vector<std::string>& respNames);
  std::string m_strPath;                    ///< the problem file
  ModelMode m_mode;                         ///< whether to make the model function
  Problem& m_p;                             ///< what is being filled
  fs::path m_dir;                           ///< the problem file's folder
  CChecker c;                               ///< diagnostics found
  std::map<std::string, NameInfo> m_names;  ///< every name defined so far
  int m_nRandomResponses = 0;               ///< random responses added to the builder
};

}  // namespace rbo::problem::reader
