// The Python analysis behind a run's batch model (PythonAnalysis.h).
#include "PythonAnalysis.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <limits>

namespace rbopy {
namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The batch as a C-ordered array, one row per model variable.
Array InputArray(const CMatrix<double>& x) {
  Array in({py::ssize_t(x.Rows()), py::ssize_t(x.Cols())});
  auto view = in.mutable_unchecked<2>();
  for (int j = 0; j < x.Cols(); ++j)
    for (int i = 0; i < x.Rows(); ++i) view(i, j) = x(i, j);
  return in;
}

// Copies the Python side's (responses x points) array into y.  The Python
// side has checked its shape and values; a mismatch here is a fault of the
// module.
void CopyOutputs(const py::handle& result, CMatrix<double>& y) {
  const Array out = Array::ensure(result);
  if (!out || out.ndim() != 2 || out.shape(0) != y.Rows() || out.shape(1) != y.Cols())
    throw std::logic_error("the Python analysis wrapper returned an array of the wrong shape");
  const auto view = out.unchecked<2>();
  for (int j = 0; j < y.Cols(); ++j)
    for (int i = 0; i < y.Rows(); ++i) y(i, j) = view(i, j);
}

void Record(PythonCall* call, const CMatrix<double>& y) {
  if (!call->keep) return;
  const std::size_t n = std::size_t(y.Rows()) * std::size_t(y.Cols());
  if (n > 0) call->kept.insert(call->kept.end(), y.ColData(0), y.ColData(0) + n);
  call->keptPoints += y.Cols();
}

}  // namespace

refhost::BatchModelFunction PythonBatchModel(PythonCall* call) {
  return [call](const CMatrix<double>& x, CMatrix<double>& y) {
    py::gil_scoped_acquire gil;
    try {
      CopyOutputs(call->invoke(InputArray(x)), y);
    } catch (py::error_already_set& e) {
      const std::string text = e.what();
      call->error = std::move(e);
      throw PythonFailure(text);
    }
    Record(call, y);
  };
}

refhost::BatchModelFunction RecordingModel(refhost::ModelFunction model, PythonCall* call) {
  return [model = std::move(model), call](const CMatrix<double>& x, CMatrix<double>& y) {
    std::valarray<double> in, out(std::size_t(y.Rows()));
    for (int j = 0; j < x.Cols(); ++j) {
      x.GetCol(j, in);
      out = std::numeric_limits<double>::quiet_NaN();
      model(in, out);
      if (out.size() != std::size_t(y.Rows())) throw std::runtime_error("the model resized its outputs");
      y.ReplaceCol(j, out);
    }
    Record(call, y);
  };
}

}  // namespace rbopy
