// `rbo check`: every mistake of a problem file, nothing run.
#include <cstdio>

#include "Cli.h"
#include "Commands.h"
#include "rbo/host/ReferenceHost.h"
#include "rbo/problem/Reliability.h"

namespace rboapp {
namespace {

std::string Count(std::size_t n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// One line on what the file describes, so that a user sees it was read as meant.
std::string Summary(const Problem& p) {
  std::size_t nRandomVars = 0, nRandomResps = 0;
  for (const Variable& v : p.variables)
    nRandomVars += v.kind == VariableKind::kRandomDesign || v.kind == VariableKind::kRandomParameter;
  for (const Response& r : p.responses) nRandomResps += r.random;
  return Count(p.designVariables.size(), "design variable", "design variables") + ", " +
         Count(nRandomVars, "random variable", "random variables") + ", " +
         Count(p.responses.size(), "response", "responses") + " (" + std::to_string(nRandomResps) + " random), " +
         Count(p.constraints.size(), "constraint", "constraints") + ", " +
         Count(p.designPoints.size(), "design point", "design points") +
         (p.correlation.empty() ? "" : ", correlated random variables") + "; " + DescribeSettings(p.settings) +
         "; analysis by " + (p.analysisKind == AnalysisKind::kProgram ? "an external program" : "expressions");
}

}  // namespace

int CheckCommand(const std::vector<std::string>& args) {
  if (args.empty()) return ReportUsage("check", "give the problem file(s) to check");
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-') return ReportUsage("check", "unknown option " + a);
  // The library's reports of rejected distributions are shown with the
  // diagnostics, not echoed as they happen.
  refhost::SetLogEcho(false);
  int rc = kExitOk;
  for (const std::string& path : args) {
    try {
      const Problem p = LoadProblemFile(path, ModelMode::kCheckOnly);
      // The file is consistent, but its method cannot evaluate it.
      if (const std::string refusal = MethodRefusal(p); !refusal.empty()) {
        std::printf("%s: /method: %s.\n", path.c_str(), refusal.c_str());
        rc = kExitProblem;
        continue;
      }
      std::printf("%s: OK: %s\n", path.c_str(), Summary(p).c_str());
    } catch (const ProblemFileError& e) {
      PrintDiagnostics(stdout, e.Path(), e.Diagnostics());
      rc = kExitProblem;
    } catch (const std::exception& e) {
      std::printf("%s\n", e.what());
      rc = kExitProblem;
    }
  }
  refhost::SetLogEcho(true);
  return rc;
}

}  // namespace rboapp
