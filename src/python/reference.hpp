#pragma once

#include <utility>

#include "python/python_api.hpp"

namespace tavrino::python {

// An owned (strong) reference that is released when it goes out of scope, so
// that every path out of a function, exceptions included, drops what it took.
// All use is under the interpreter lock.
class Reference {
 public:
  Reference() noexcept = default;
  // Takes over a new reference (which may be null).
  explicit Reference(PyObject* owned) noexcept : object_(owned) {}
  static Reference borrow(PyObject* borrowed) noexcept { return Reference(Py_XNewRef(borrowed)); }

  Reference(Reference&& other) noexcept : object_(other.release()) {}
  Reference& operator=(Reference&& other) noexcept {
    Reference(std::move(other)).swap(*this);
    return *this;
  }
  Reference(const Reference& other) noexcept : object_(Py_XNewRef(other.object_)) {}
  Reference& operator=(const Reference& other) noexcept {
    Reference(other).swap(*this);
    return *this;
  }
  ~Reference() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for functions that steal one).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(Reference& other) noexcept { std::swap(object_, other.object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace tavrino::python
