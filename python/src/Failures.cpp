// Failures as Python exceptions (Failures.h).
#include "Failures.h"

#include <pybind11/stl.h>

#include <new>
#include <stdexcept>
#include <tuple>

#include "rbo/foundation/OrvoErr.h"
#include "rbo/problem/ErrorText.h"
#include "rbo/problem/Evaluate.h"

namespace rbopy {
namespace {

using rbo::problem::Diagnostic;

[[noreturn]] void Raise(const py::object& exception) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
  throw py::error_already_set();
}

py::object Errors() { return py::module_::import("rbo.errors"); }

std::string Messages(const std::exception& e) {
  const std::vector<std::string> messages = rbo::problem::NestedMessages(e);
  std::string text;
  for (std::size_t k = 0; k < messages.size(); ++k) text += (k ? "\n  " : "") + messages[k];
  return text;
}

// True when e, or an exception nested in it, is of class E.
template <class E>
bool Contains(const std::exception& e) {
  if (dynamic_cast<const E*>(&e) != nullptr) return true;
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    return Contains<E>(inner);
  } catch (...) {
  }
  return false;
}

// The host's runner names a failed analysis point in its message.
bool IsAnalysisFailure(const std::exception& e) {
  const std::string what = e.what();
  return what.rfind("analysis point", 0) == 0;
}

[[noreturn]] void RaiseClassified(const std::exception& e, const std::vector<std::string>& report) {
  const py::object errors = Errors();
  const std::string text = Messages(e);
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
    PyErr_SetString(PyExc_MemoryError, "out of memory: use fewer samples or fewer design points per run");
    throw py::error_already_set();
  }
  if (dynamic_cast<const std::invalid_argument*>(&e) != nullptr)
    Raise(errors.attr("ProblemError")(text, py::list(), report));
  if (dynamic_cast<const rbo::problem::EvaluationError*>(&e) != nullptr)
    Raise(errors.attr("EvaluationError")(text, report));
  if (IsAnalysisFailure(e)) Raise(errors.attr("AnalysisError")(text));
  Raise(errors.attr("LibraryError")(text, report));
}

}  // namespace

void RaiseProblemError(const std::string& title, const std::vector<Diagnostic>& diagnostics) {
  py::list items;
  for (const Diagnostic& d : diagnostics) items.append(py::make_tuple(d.location, d.message, d.report));
  Raise(Errors().attr("ProblemError")(title, items, py::list()));
}

void RaiseFailure(const std::exception_ptr& failure, PythonCall& call, const std::vector<std::string>& libraryReport) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    if (call.error && Contains<PythonFailure>(e)) {
      py::error_already_set error = std::move(*call.error);
      call.error.reset();
      error.restore();
      throw py::error_already_set();
    }
    RaiseClassified(e, libraryReport);
  } catch (...) {
    Raise(Errors().attr("LibraryError")("a failure that is not a standard exception", py::list()));
  }
}

}  // namespace rbopy
