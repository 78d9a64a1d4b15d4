// The problem-file reader's public entry (ProblemFile.h); the sections are
// read in the Read*.cpp files (Reader.h).
#include "rbo/problem/ProblemFile.h"

#include "Reader.h"

namespace rbo::problem {

using reader::CReader;
using reader::Distance;
using reader::kMaxSuggestedLength;
using reader::kMethodNames;
using reader::MaxEdits;

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

const char* MethodName(int method) { return method >= 0 && method < kMethodCount ? kMethodNames[method] : "?"; }

int ParseMethod(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') return text[0] - '0';
  for (int m = 0; m < kMethodCount; ++m)
    if (text == kMethodNames[m]) return m;
  if (text == "mc") return 0;
  if (text == "first-order") return 2;
  if (text == "importance-sampling") return kMethodIs;
  if (text == "subset-simulation") return kMethodSubset;
  return -1;
}

}  // namespace rbo::problem
