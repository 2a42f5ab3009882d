#include "python/python_error.hpp"

#include <utility>

#include <tavrino/kinematics/internal_error.hpp>

#include "python/panic.hpp"
#include "python/text.hpp"

// PyErr_Fetch and PyErr_Restore are deprecated from Python 3.12 on; they remain
// the interface that every supported version has.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace tavrino::python {

namespace {

constexpr const char* kNoneSetMessage = "attempted to fetch exception but none was set";
constexpr const char* kApiFailedMessage = "Python API call failed";

}  // namespace

PythonError::PythonError(PyObject* type, std::string message)
    : made_type_(type), message_(std::move(message)) {}

PythonError PythonError::adopt(Reference type, Reference value, Reference traceback) noexcept {
  PythonError error;
  error.fetched_type_ = std::move(type);
  error.value_ = std::move(value);
  error.traceback_ = std::move(traceback);
  return error;
}

std::string PythonError::text() const {
  if (!fetched_type_) return message_;
  return str_of(value_.get()).value_or("<exception str() failed>");
}

Reference PythonError::cause() const {
  if (!value_) return Reference();
  return Reference(PyException_GetCause(value_.get()));
}

void PythonError::restore() && {
  if (fetched_type_) {
    PyErr_Restore(fetched_type_.release(), value_.release(), traceback_.release());
    return;
  }
  Reference value(new_string_lossy(message_));
  if (!value) {
    PyErr_Print();
    raise_new_panic(InternalError(kApiFailedMessage));
    return;
  }
  PyErr_SetObject(made_type_, value.get());
  normalise_pending_error();
}

PythonError fetch_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return PythonError(PyExc_SystemError, kNoneSetMessage);
  PyErr_NormalizeException(&type, &value, &traceback);
  Reference owned_type(type), owned_value(value), owned_traceback(traceback);
  if (type == panic_exception_type()) {
    resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
  }
  return PythonError::adopt(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
}

void throw_fetched_error() { throw fetch_error(); }

void python_api_failed(std::source_location where) {
  if (PyErr_Occurred()) PyErr_Print();
  throw InternalError(kApiFailedMessage, where);
}

void normalise_pending_error() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  PyErr_Restore(type, value, traceback);
}

}  // namespace tavrino::python
