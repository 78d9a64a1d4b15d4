// The analysis of a run as a Python callable on batches of points, and the
// recording of the analysed responses (keep_samples).
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "rbo/problem/Problem.h"

namespace rbopy {

namespace py = pybind11;

/// Thrown through the library when the Python side of a batch failed; the
/// Python exception itself waits in the run's PythonCall until the library
/// has returned.
class PythonFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// What one run shares with its analysis callbacks.  It lives in the frame
/// of the run and is touched only with the GIL held; the callbacks hold a
/// plain pointer to it, so that copying them inside the library needs no
/// Python reference counts.
struct PythonCall {
  py::object invoke;                           ///< (inputs x points array) -> (responses x points array); may be None
  std::optional<py::error_already_set> error;  ///< the Python exception that stopped the run
  bool keep = false;                           ///< record the analysed responses
  std::vector<double> kept;                    ///< model responses of every analysed point, point after point
  long long keptPoints = 0;                    ///< points recorded
};

/// The batch model that hands each chunk to call->invoke (acquiring the
/// GIL); with call->keep it also records the responses.
refhost::BatchModelFunction PythonBatchModel(PythonCall* call);

/// The problem's own per-point model run on every column of a batch, the
/// responses recorded in call (keep_samples without a Python analysis).
refhost::BatchModelFunction RecordingModel(refhost::ModelFunction model, PythonCall* call);

}  // namespace rbopy
