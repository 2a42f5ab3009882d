#include "python/conversion.hpp"

#include <bit>
#include <cstring>
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
inline bool read_exact_pose(PyObject* sequence, std::array<double, 16>& rows) {
  if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence)) return false;
  if (Py_SIZE(sequence) != 4) return false;
  PyObject* const* items = PySequence_Fast_ITEMS(sequence);
  for (int r = 0; r < 4; ++r) {
    if (!read_exact_floats<4>(items[r], rows.data() + 4 * r)) return false;
  }
  return true;
}

// numpy arrays, which robot code passes as often as lists, without numpy: it
// is no dependency of the module, so its array type is recognised by name and
// read through the buffer protocol. A class written in Python is a heap type
// whatever name it is given, so a static type named numpy.ndarray is numpy's
// own; once seen it is remembered, static types living as long as the process.
PyTypeObject* ndarray_type = nullptr;

inline bool is_exact_ndarray(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == ndarray_type) return true;
  if (ndarray_type || (type->tp_flags & Py_TPFLAGS_HEAPTYPE) || std::strcmp(type->tp_name, "numpy.ndarray") != 0) {
    return false;
  }
  ndarray_type = type;
  return true;
}

// One double in native byte order: "d" as numpy gives it for an aligned
// array, or with a byte order mark that means native ("=d" for an unaligned one).
inline bool is_native_double(const char* format) {
  if (!format) return false;
  constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == kNativeOrder) ++format;
  return format[0] == 'd' && format[1] == '\0';
}

// Releases a buffer on every path out.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (view_.obj) PyBuffer_Release(&view_);
  }
  // False, with no error pending, if obj exports no such buffer.
  bool get(PyObject* obj, int flags) noexcept {
    if (PyObject_GetBuffer(obj, &view_, flags) == 0) return true;
    view_.obj = nullptr;
    PyErr_Clear();
    return false;
  }
  const Py_buffer* operator->() const noexcept { return &view_; }

 private:
  Py_buffer view_{};
};

// The other fast path: an exact numpy.ndarray of native float64 of exactly
// `shape` (one or two dimensions), with any strides (transposed, reversed,
// sliced, broadcast with stride 0, unaligned), read into `out` row by row. Its
// items are what the generic path reads from it, numpy float64 scalars being
// floats holding the same doubles, so the values agree bit for bit. numpy's
// exporter runs no Python code and the interpreter lock is held throughout, so
// no other thread can change the items while they are read. Read-only arrays export their buffer too, since none is asked to be
// writable. Anything else returns false having had no effect: other dtypes,
// shapes and subclasses take the generic path, which reports what is wrong.
template <std::size_t Rank>
bool read_float64_array(PyObject* obj, const std::array<Py_ssize_t, Rank>& shape, double* out) {
  static_assert(Rank == 1 || Rank == 2);
  if (!is_exact_ndarray(obj)) return false;
  BufferView view;
  if (!view.get(obj, PyBUF_RECORDS_RO)) return false;
  if (view->ndim != static_cast<int>(Rank) || view->itemsize != sizeof(double) || view->suboffsets ||
      !is_native_double(view->format)) {
    return false;
  }
  for (std::size_t d = 0; d < Rank; ++d) {
    if (view->shape[d] != shape[d]) return false;
  }
  // No strides given means C order.
  const Py_ssize_t inner = view->strides ? view->strides[Rank - 1] : sizeof(double);
  const Py_ssize_t outer = Rank == 1 ? 0 : view->strides ? view->strides[0] : shape[Rank - 1] * inner;
  const Py_ssize_t rows = Rank == 1 ? 1 : shape[0];
  const char* const base = static_cast<const char*>(view->buf);
  for (Py_ssize_t r = 0; r < rows; ++r) {
    for (Py_ssize_t c = 0; c < shape[Rank - 1]; ++c) {
      // Unaligned arrays exist (a view at an odd offset into bytes).
      std::memcpy(out++, base + r * outer + c * inner, sizeof(double));
    }
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
  if (read_float64_array<1>(obj, {static_cast<Py_ssize_t>(N)}, values.data())) return values;
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
  std::array<double, 16> rows;
  if (read_exact_pose(obj, rows) || read_float64_array<2>(obj, {4, 4}, rows.data())) return pose_from_rows(rows);
  Pose pose;
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
  std::array<double, 16> values;
  pose_to_rows(pose, values);
  Reference rows(PyList_New(4));
  if (!rows) python_api_failed();
  for (std::size_t r = 0; r < 4; ++r) {
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), new_float_list(std::span(values).subspan(4 * r, 4)));
  }
  return rows.release();
}

}  // namespace tavrino::python
