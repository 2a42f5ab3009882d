#pragma once

#include <source_location>
#include <string>

#include "python/python_api.hpp"
#include "python/reference.hpp"

namespace tavrino::python {

// A Python exception that a call ends with in the ordinary way, carried as a C++
// exception to the entry wrapper.
//
// An error the module makes itself holds only its (built-in, never released)
// exception class and its message: no Python object exists until the wrapper
// raises it, so errors that are caught and dropped on the way cost nothing.
// An error fetched from the interpreter holds the normalised (type, value,
// traceback), released on every path. Copies share the references; the
// interpreter lock is always held.
class PythonError {
 public:
  PythonError(PyObject* type, std::string message);
  // Takes over a normalised exception fetched from the interpreter.
  static PythonError adopt(Reference type, Reference value, Reference traceback) noexcept;

  PyObject* type() const noexcept { return fetched_type_ ? fetched_type_.get() : made_type_; }
  // What str() of the exception gives (the message of a made error).
  std::string text() const;
  // The exception's __cause__, null if it has none (a made error never has one).
  Reference cause() const;

  // Makes this the interpreter's pending exception, always in normalised form.
  void restore() &&;

 private:
  PythonError() = default;

  PyObject* made_type_ = nullptr;
  std::string message_;
  Reference fetched_type_;
  Reference value_;
  Reference traceback_;
};

// The interpreter's pending exception, normalised, with the indicator cleared;
// SystemError "attempted to fetch exception but none was set" if none is
// pending. A PanicException raised by Python code is not an ordinary error: it
// resumes the internal error (see panic.hpp) and this throws instead.
PythonError fetch_error();

// For a C API call that reported failure: throws the fetched error.
[[noreturn]] void throw_fetched_error();

// For a C API call that the module counts as infallible (creating a result
// float or list, an index int): prints the pending error and ends the call with
// the internal error "Python API call failed".
[[noreturn]] void python_api_failed(std::source_location where = std::source_location::current());

// Fetches, normalises and restores the pending exception, so that the
// interpreter holds it as an exception instance.
void normalise_pending_error() noexcept;

}  // namespace tavrino::python
