// libFuzzer target: the problem-file reader, in check mode, on any text.
//
// The reader reports every mistake as a diagnostic and never throws.  A
// crash is therefore: an exception out of ParseProblem, a diagnostic that
// reports a fault of the reader itself, a clean result that is not a usable
// problem, or anything the sanitizers find.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/ProblemFile.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "rbo_fuzz_problem: %s\n", what.c_str());
  std::abort();
}

// What a clean result promises its callers.
void CheckCleanProblem(const rbo::problem::Problem& p) {
  if (p.responses.empty()) Fail("a clean problem without responses");
  if (p.designPoints.empty()) Fail("a clean problem without design points");
  for (const auto& x : p.designPoints) {
    if (x.size() != p.designVariables.size()) Fail("a design point of the wrong size");
    for (const double v : x)
      if (!std::isfinite(v)) Fail("a design point with a value that is not finite");
  }
  for (const rbo::problem::Variable& v : p.variables)
    if (!std::isfinite(v.value) || !std::isfinite(v.stdDev)) Fail("variable " + v.name + " is not finite");
  if (p.settings.method < 0 || p.settings.method >= rbo::problem::kMethodCount || p.settings.samples < 1)
    Fail("settings out of range");
  const rbo::problem::ReliabilitySettings& r = p.settings.reliability;
  if (!(r.targetCov >= 0.0 && r.targetCov < 1.0) || r.maxAnalyses < 1 || r.starts < 1 || r.samplesPerLevel < 100)
    Fail("reliability settings out of range");
  const std::size_t nRandom = std::size_t(std::count_if(p.variables.begin(), p.variables.end(), [](const auto& v) {
    return v.kind == rbo::problem::VariableKind::kRandomDesign ||
           v.kind == rbo::problem::VariableKind::kRandomParameter;
  }));
  if (!p.correlation.empty() && p.correlation.size() != nRandom * nRandom) Fail("a correlation of the wrong size");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The library's reports of rejected distributions are part of the
  // diagnostics; echoing them would only slow the fuzzer.
  refhost::SetLogEcho(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  rbo::problem::Problem problem;
  const std::vector<rbo::problem::Diagnostic> diagnostics =
      rbo::problem::ParseProblem(text, "", rbo::problem::ModelMode::kCheckOnly, &problem);
  for (const rbo::problem::Diagnostic& d : diagnostics) {
    if (d.message.rfind(rbo::problem::kReaderFault, 0) == 0) Fail(d.location + ": " + d.message);
    if (d.location.empty() || d.message.empty()) Fail("a diagnostic without a location or a message");
  }
  if (diagnostics.empty()) CheckCleanProblem(problem);
  return 0;
}
