#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include <tavrino/kinematics/pose.hpp>

#include "python/python_api.hpp"
#include "python/python_error.hpp"

namespace tavrino::python {

// Conversion of bound arguments into the values the core takes. Every failure
// throws PythonError (or, when Python code the conversion runs raised a
// PanicException, ResumedPanic); wrapped in convert_argument, a TypeError
// names the parameter it belongs to.

double extract_float_slow(PyObject* obj);

// A float, int, bool, float subclass or anything with __float__ or __index__.
inline double extract_float(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  return extract_float_slow(obj);
}

// An empty slot or None is absent.
inline std::optional<double> extract_optional_float(PyObject* slot) {
  if (!slot || slot == Py_None) return std::nullopt;
  return extract_float(slot);
}

// Exactly N floats from any object with the sequence protocol.
template <std::size_t N>
std::array<double, N> extract_floats(PyObject* obj);

Vector3 extract_vector3(PyObject* obj);

// Four rows of four floats; row r, item c becomes pose(r, c).
Pose extract_pose(PyObject* obj);

// A TypeError becomes a new TypeError "argument '{name}': {text}" whose cause
// is the original's cause; any other error passes unchanged.
PythonError argument_extraction_error(std::string_view name, const PythonError& error);

template <class Convert>
auto convert_argument(std::string_view name, Convert&& convert) {
  try {
    return std::forward<Convert>(convert)();
  } catch (const PythonError& error) {
    throw argument_extraction_error(name, error);
  }
}

// ValueError "expected a sequence of length {expected} (got {actual})".
PythonError invalid_sequence_length(std::size_t expected, Py_ssize_t actual);

// Results. A float or list that cannot be created ends the call with the
// internal error "Python API call failed".
PyObject* new_float_list(std::span<const double> values);
PyObject* new_pose_rows(const Pose& pose);
inline PyObject* new_none() { return Py_NewRef(Py_None); }

}  // namespace tavrino::python
