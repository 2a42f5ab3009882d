#pragma once

#include <utility>

#include "python/python_api.hpp"

namespace tavrino::python {

// Turns the exception that is being handled into the interpreter's pending
// exception: a PythonError as itself, an internal error (or any other C++
// exception) as PanicException with its message, std::bad_alloc as
// MemoryError. Only callable inside a catch block.
void raise_current_exception() noexcept;

// The same, then reported as unraisable (printed and cleared); an exception
// that was already pending when the entry was called is kept.
void write_current_exception_unraisable() noexcept;

// The entry wrapper for every call from the interpreter that returns an object:
// the body's new reference, or null with the error indicator set. Nothing
// thrown inside the body crosses into the interpreter. The interpreter lock is
// held throughout and never released.
template <class Body>
PyObject* trampoline(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// The entry wrapper for calls that cannot report an error (deallocation).
template <class Body>
void trampoline_unraisable(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    write_current_exception_unraisable();
  }
}

}  // namespace tavrino::python
