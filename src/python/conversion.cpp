#include "python/conversion.hpp"

#include <string>

#include "python/reference.hpp"
#include "python/text.hpp"

namespace tavrino::python {

namespace {

Reference sequence_item(PyObject* sequence, std::size_t index) {
  Reference key(PyLong_FromUnsignedLongLong(index));
  if (!key) python_api_failed();
  Reference item(PyObject_GetItem(sequence, key.get()));
  if (!item) throw_fetched_error();
  return item;
}

// Calls convert(i, item) for the N items of `sequence` in order, after checking
// that it is a sequence of length N. Exact lists and tuples are read directly:
// their length and item access cannot be overridden, so this is the generic
// path without the index ints. The size is looked at again before every item
// because converting an earlier one may run code that shrinks the list; the
// generic path then raises the IndexError that PyObject_GetItem would.
template <std::size_t N, class Convert>
void for_each_item(PyObject* sequence, Convert&& convert) {
  const bool direct = PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence);
  if (!direct && !PySequence_Check(sequence)) {
    throw PythonError(PyExc_TypeError, cannot_convert_message(sequence, "Sequence"));
  }
  const Py_ssize_t size = direct ? Py_SIZE(sequence) : PyObject_Size(sequence);
  if (size == -1) throw_fetched_error();
  if (size != static_cast<Py_ssize_t>(N)) throw invalid_sequence_length(N, size);
  for (std::size_t i = 0; i < N; ++i) {
    if (direct && static_cast<Py_ssize_t>(i) < Py_SIZE(sequence)) {
      PyObject* borrowed = PySequence_Fast_GET_ITEM(sequence, i);
      // Held while converting: a __float__ may drop it from the list.
      const Reference item = Reference::borrow(borrowed);
      convert(i, borrowed);
    } else {
      const Reference item = sequence_item(sequence, i);
      convert(i, item.get());
    }
  }
}

// The fast path. An exact list or tuple holding exactly N exact floats is read
// straight from its storage: testing exact types and reading the stored
// doubles runs no Python code, so nothing can change the sequence or its items
// meanwhile and no reference needs taking. For anything else it returns false
// having had no effect, and the caller takes the generic path from the start,
// which then converts, reports and references exactly as it always does.
template <std::size_t N>
inline bool read_exact_floats(PyObject* sequence, double* out) {
  if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence)) return false;
  if (Py_SIZE(sequence) != static_cast<Py_ssize_t>(N)) return false;
  PyObject* const* items = PySequence_Fast_ITEMS(sequence);
  for (std::size_t i = 0; i < N; ++i) {
    if (!PyFloat_CheckExact(items[i])) return false;
    out[i] = PyFloat_AS_DOUBLE(items[i]);
  }
  return true;
}

// Four rows of four exact floats, each row an exact list or tuple in an exact
// list or tuple of four; row by row into `rows`.
inline bool read_exact_pose(PyObject* sequence, double (&rows)[4][4]) {
  if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence)) return false;
  if (Py_SIZE(sequence) != 4) return false;
  PyObject* const* items = PySequence_Fast_ITEMS(sequence);
  for (int r = 0; r < 4; ++r) {
    if (!read_exact_floats<4>(items[r], rows[r])) return false;
  }
  return true;
}

}  // namespace

double extract_float_slow(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw_fetched_error();
  return value;
}

template <std::size_t N>
std::array<double, N> extract_floats(PyObject* obj) {
  std::array<double, N> values;
  if (read_exact_floats<N>(obj, values.data())) return values;
  for_each_item<N>(obj, [&](std::size_t i, PyObject* item) { values[i] = extract_float(item); });
  return values;
}

template std::array<double, 3> extract_floats<3>(PyObject*);
template std::array<double, 6> extract_floats<6>(PyObject*);

Vector3 extract_vector3(PyObject* obj) {
  const std::array<double, 3> v = extract_floats<3>(obj);
  return Vector3(v[0], v[1], v[2]);
}

Pose extract_pose(PyObject* obj) {
  Pose pose;
  double rows[4][4];
  if (read_exact_pose(obj, rows)) {
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) pose(r, c) = rows[r][c];
    }
    return pose;
  }
  for_each_item<4>(obj, [&](std::size_t r, PyObject* row) {
    for_each_item<4>(row, [&](std::size_t c, PyObject* item) {
      pose(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = extract_float(item);
    });
  });
  return pose;
}

PythonError argument_extraction_error(std::string_view name, const PythonError& error) {
  if (error.type() != PyExc_TypeError) return error;
  const std::string message = concat({"argument '", name, "': ", error.text()});
  Reference cause = error.cause();
  // The cause has to be attached to an instance, so this error is built now;
  // it is the one the call ends with, never dropped.
  Reference text(new_string_lossy(message));
  if (!text) python_api_failed();
  PyErr_SetObject(PyExc_TypeError, text.get());
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
#pragma GCC diagnostic pop
  Reference owned_type(type), owned_value(value), owned_traceback(traceback);
  if (!owned_value) python_api_failed();
  PyException_SetCause(owned_value.get(), cause.release());
  return PythonError::adopt(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
}

PythonError invalid_sequence_length(std::size_t expected, Py_ssize_t actual) {
  return PythonError(PyExc_ValueError, concat({"expected a sequence of length ", std::to_string(expected),
                                               " (got ", std::to_string(actual), ")"}));
}

PyObject* new_float_list(std::span<const double> values) {
  Reference list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) python_api_failed();
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (!item) python_api_failed();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* new_pose_rows(const Pose& pose) {
  Reference rows(PyList_New(4));
  if (!rows) python_api_failed();
  for (Eigen::Index r = 0; r < 4; ++r) {
    const std::array<double, 4> row{pose(r, 0), pose(r, 1), pose(r, 2), pose(r, 3)};
    PyList_SET_ITEM(rows.get(), r, new_float_list(row));
  }
  return rows.release();
}

}  // namespace tavrino::python
