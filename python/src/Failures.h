// C++ failures of the problem layer and the library as the exceptions of
// the Python package (rbo.errors).
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <vector>

#include "PythonAnalysis.h"
#include "rbo/problem/ProblemFile.h"

namespace rbopy {

namespace py = pybind11;

/// Raises rbo.errors.ProblemError with every diagnostic (location, message
/// and the library's report lines).  title: the first line of its message.
[[noreturn]] void RaiseProblemError(const std::string& title, const std::vector<rbo::problem::Diagnostic>& diagnostics);

/// Raises the Python exception for a failure that came out of the layer:
/// the Python analysis' own exception when the failure began there (call),
/// else rbo.errors.AnalysisError for a failed analysis point,
/// rbo.errors.ProblemError for a problem the layer refuses,
/// rbo.errors.EvaluationError for results that are no numbers, and
/// rbo.errors.LibraryError for the library's exceptions and anything else,
/// with the library's report lines.  The GIL must be held.
[[noreturn]] void RaiseFailure(const std::exception_ptr& failure, PythonCall& call,
                               const std::vector<std::string>& libraryReport);

}  // namespace rbopy
