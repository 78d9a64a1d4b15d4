// rbo._rbo: the problem layer for the Python package.  The package's Python
// code (python/rbo) turns these plain results into its classes; everything
// here stays close to what `rbo run` and `rbo optimize` do.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "Evaluation.h"
#include "Failures.h"
#include "rbo/problem/Optimize.h"
#include "rbo/problem/ProblemFile.h"

namespace py = pybind11;
using rbo::problem::Problem;

namespace rbopy {
namespace {

/// Parses problem text; diagnostics raise rbo.errors.ProblemError.  A
/// problem without "analysis" is accepted: the caller brings one.
Problem Parse(const std::string& text, const std::string& path, const std::string& shownName) {
  Problem p;
  std::vector<rbo::problem::Diagnostic> diagnostics;
  {
    // The library reports rejected values in its log; the diagnostics
    // carry that report, so the log itself stays quiet.
    refhost::LogCapture capture;
    refhost::SetLogEcho(false);
    diagnostics = rbo::problem::ParseProblem(text, path, rbo::problem::ModelMode::kAnalysisSupplied, &p);
    refhost::SetLogEcho(true);
  }
  if (!diagnostics.empty())
    RaiseProblemError(
        shownName + ": " + std::to_string(diagnostics.size()) + (diagnostics.size() == 1 ? " problem" : " problems"),
        diagnostics);
  p.path = shownName;
  return p;
}

std::vector<std::string> VariableNames(const Problem& p) {
  std::vector<std::string> names;
  for (const auto& v : p.variables) names.push_back(v.name);
  return names;
}

std::vector<std::string> ResponseNames(const Problem& p) {
  std::vector<std::string> names;
  for (const auto& r : p.responses) names.push_back(r.name);
  return names;
}

std::vector<std::string> DesignVariableNames(const Problem& p) {
  std::vector<std::string> names;
  for (const auto& d : p.designVariables) names.push_back(d.name);
  return names;
}

py::dict SettingsOf(const Problem& p) {
  const rbo::problem::Settings& s = p.settings;
  py::dict d;
  d["method"] = s.method;
  d["samples"] = s.samples;
  d["seed"] = s.seed;
  d["target_cov"] = s.reliability.targetCov;
  d["max_analyses"] = s.reliability.maxAnalyses;
  d["starts"] = s.reliability.starts;
  d["samples_per_level"] = s.reliability.samplesPerLevel;
  return d;
}

}  // namespace
}  // namespace rbopy

PYBIND11_MODULE(_rbo, m) {
  using namespace rbopy;
  m.doc() = "The RBO problem layer (use the package rbo, not this module)";
  py::class_<Problem>(m, "Core")
      .def_property_readonly("title", [](const Problem& p) { return p.title; })
      .def_property_readonly("path", [](const Problem& p) { return p.path; })
      .def_property_readonly("variables", &VariableNames)
      .def_property_readonly("responses", &ResponseNames)
      .def_property_readonly("design_variables", &DesignVariableNames)
      .def_property_readonly("random_variables",
                             [](const Problem& p) {
                               std::vector<std::string> names;
                               for (const auto& v : p.variables)
                                 if (v.kind == rbo::problem::VariableKind::kRandomDesign ||
                                     v.kind == rbo::problem::VariableKind::kRandomParameter)
                                   names.push_back(v.name);
                               return names;
                             })
      .def_property_readonly("has_analysis", [](const Problem& p) { return bool(p.model); })
      .def_property_readonly("settings", &SettingsOf)
      .def_property_readonly("response_bounds",
                             [](const Problem& p) {
                               py::dict d;
                               for (const auto& r : p.responses)
                                 d[py::str(r.name)] =
                                     py::make_tuple(r.random, r.hasLower ? py::object(py::float_(r.lower)) : py::none(),
                                                    r.hasUpper ? py::object(py::float_(r.upper)) : py::none());
                               return d;
                             })
      .def("run", &Run, py::arg("settings"), py::arg("invoke"), py::arg("keep_samples"), py::arg("until_converged"),
           py::arg("tol"), py::arg("max_samples"))
      .def("optimize", &OptimizeProblem, py::arg("settings"), py::arg("invoke"), py::arg("options"));
  m.def("parse", &Parse, py::arg("text"), py::arg("path"), py::arg("shown_name"),
        "Parses problem text (path locates relative program paths; shown_name names the problem in results)");
  m.def("parse_method", &rbo::problem::ParseMethod, py::arg("text"));
  m.def("method_name", &rbo::problem::MethodName, py::arg("code"));
  m.def("optimizer_names", &rbo::problem::OptimizerNames);
  m.attr("BATCH_COLUMNS") = refhost::kBatchColumns;
}
