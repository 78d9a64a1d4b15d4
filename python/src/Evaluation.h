// Runs and optimisations of a problem for the Python package: the settings
// a call overrides, the analysis it brings, the GIL released while the
// library works, failures as the package's exceptions.
#pragma once

#include <pybind11/pybind11.h>

#include "rbo/problem/Problem.h"

namespace rbopy {

namespace py = pybind11;

/// `rbo run`: evaluates the problem's design points with the settings
/// overridden by those of settings that are not None (method, samples,
/// seed, parallel, workers, target_cov, max_analyses, starts,
/// samples_per_level).  invoke: None (the problem's own analysis), or the
/// package's batch wrapper of a Python analysis.  Returns (the JSON text of
/// the command's --out, kept) where kept is None or (responses x analysed
/// points array, response names, points per design point).
py::tuple Run(const rbo::problem::Problem& problem, const py::dict& settings, const py::object& invoke,
              bool keepSamples, bool untilConverged, double tol, long long maxSamples);

/// `rbo optimize`: options holds optimizer, max_evals, tol, verify_samples
/// (None: the default).  Returns the JSON text of the command's --out.
std::string OptimizeProblem(const rbo::problem::Problem& problem, const py::dict& settings, const py::object& invoke,
                            const py::dict& options);

}  // namespace rbopy
