#include "toolkit/arrays.hpp"

#include <algorithm>
#include <utility>

namespace tavrino::toolkit {

namespace {

using namespace nb::literals;

std::string join_shape(std::span<const std::size_t> shape) {
  std::string text = "(";
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(shape[d]);
  }
  if (shape.size() == 1) text += ",";
  return text + ")";
}

// numpy's dtype kinds that convert to float64 by value: booleans, signed and
// unsigned integers, floating point. Complex numbers would lose their
// imaginary part, and strings or objects are not numbers to begin with.
bool is_real_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

[[noreturn]] void raise_error(PyObject* type, const std::string& message) {
  if (type == PyExc_TypeError) throw nb::type_error(message.c_str());
  throw nb::value_error(message.c_str());
}

// numpy's conversion of anything else into a float64 C-contiguous array, or a
// TypeError or ValueError that names the argument.
nb::object convert(nb::handle value, const Argument& argument, const std::string& expected) {
  const nb::module_ numpy = nb::module_::import_("numpy");
  nb::object array;
  try {
    array = numpy.attr("asarray")(value);
  } catch (nb::python_error& error) {
    // A ragged nesting of sequences, or an object numpy cannot read; anything
    // else (MemoryError, KeyboardInterrupt, ...) goes on as it is.
    const bool type_error = error.matches(PyExc_TypeError);
    if (!type_error && !error.matches(PyExc_ValueError)) throw;
    const std::string reason = nb::str(error.value()).c_str();
    raise_error(type_error ? PyExc_TypeError : PyExc_ValueError,
                argument.describe() + " must be an array of real numbers of shape " + expected + ": " + reason);
  }
  const nb::object dtype = array.attr("dtype");
  const std::string kind = nb::str(dtype.attr("kind")).c_str();
  if (kind.size() != 1 || !is_real_kind(kind[0])) {
    std::string what = nb::type_name(value.type()).c_str();
    if (kind != "O" || nb::hasattr(value, "dtype")) what += " of dtype " + std::string(nb::str(dtype).c_str());
    raise_error(PyExc_TypeError,
                argument.describe() + " must hold real numbers (float64) in shape " + expected + ", got " + what);
  }
  // asarray rather than ascontiguousarray, which would make a 0-d array 1-d.
  return numpy.attr("asarray")(array, "dtype"_a = numpy.attr("float64"), "order"_a = "C");
}

bool aligned(const void* data) noexcept { return reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0; }

}  // namespace

std::string describe_shape(std::span<const std::size_t> core, bool batched) {
  if (!batched) return join_shape(core);
  std::string text = "(...";
  for (const std::size_t n : core) text += ", " + std::to_string(n);
  return text + ")";
}

std::string Argument::describe() const {
  return std::string(function) + "(): '" + std::string(name) + "'";
}

InputArray::InputArray(nb::handle value, const Argument& argument, std::initializer_list<std::size_t> core,
                       bool batched) {
  const std::string expected = describe_shape(std::span(core.begin(), core.size()), batched);
  // A float64 C-contiguous array on the CPU is used where it lies, unless it
  // lies at an address that is no multiple of a double's alignment (a view at
  // an odd offset into bytes): read through a double pointer that would be
  // undefined behaviour, so such an array is copied, as numpy copies.
  nb::object source = nb::borrow(value);
  if (!nb::try_cast(source, array_, /*convert=*/false)) {
    source = convert(value, argument, expected);
    if (!nb::try_cast(source, array_, /*convert=*/false)) {
      raise_error(PyExc_TypeError, argument.describe() + " could not be read as a float64 array");
    }
  }
  if (!aligned(array_.data())) {
    const nb::module_ numpy = nb::module_::import_("numpy");
    source = numpy.attr("array")(source, "dtype"_a = numpy.attr("float64"), "order"_a = "C", "copy"_a = true);
    if (!nb::try_cast(source, array_, /*convert=*/false) || !aligned(array_.data())) {
      raise_error(PyExc_TypeError, argument.describe() + " could not be read as an aligned float64 array");
    }
  }
  const std::size_t ndim = array_.ndim();
  const std::size_t core_ndim = core.size();
  bool fits = batched ? ndim >= core_ndim : ndim == core_ndim;
  for (std::size_t d = 0; fits && d < core_ndim; ++d) {
    fits = array_.shape(ndim - core_ndim + d) == core.begin()[d];
  }
  if (!fits) {
    Shape actual(ndim);
    for (std::size_t d = 0; d < ndim; ++d) actual[d] = array_.shape(d);
    raise_error(PyExc_ValueError,
                argument.describe() + " must have shape " + expected + ", got " + join_shape(actual));
  }
  batch_shape_.resize(ndim - core_ndim);
  for (std::size_t d = 0; d < batch_shape_.size(); ++d) batch_shape_[d] = array_.shape(d);
  data_ = array_.data();
}

template <std::size_t N>
Broadcast<N>::Broadcast(std::string_view function, const std::array<const Shape*, N>& shapes,
                        const std::array<std::string_view, N>& names) {
  std::size_t dims = 0;
  for (const Shape* shape : shapes) dims = std::max(dims, shape->size());
  shape_.assign(dims, 1);
  for (std::size_t i = 0; i < N; ++i) {
    const Shape& shape = *shapes[i];
    const std::size_t lead = dims - shape.size();
    for (std::size_t d = 0; d < shape.size(); ++d) {
      std::size_t& out = shape_[lead + d];
      if (shape[d] == out || shape[d] == 1) continue;
      if (out != 1) {
        std::string message = std::string(function) + "(): the batch shapes do not broadcast:";
        for (std::size_t j = 0; j < N; ++j) {
          message += (j > 0 ? ", '" : " '") + std::string(names[j]) + "' " + join_shape(*shapes[j]);
        }
        throw nb::value_error(message.c_str());
      }
      out = shape[d];
    }
  }
  for (const std::size_t n : shape_) {
    if (__builtin_mul_overflow(count_, n, &count_)) {
      throw nb::value_error((std::string(function) + "(): the broadcast batch shape is too large").c_str());
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    const Shape& shape = *shapes[i];
    std::size_t samples = 1;
    for (const std::size_t n : shape) samples *= n;
    single_[i] = samples == 1;
    if (!single_[i] && samples != count_) direct_ = false;
    // C order: the step of a dimension is the product of those after it.
    steps_[i].assign(dims, 0);
    const std::size_t lead = dims - shape.size();
    std::size_t step = 1;
    for (std::size_t d = shape.size(); d-- > 0;) {
      if (shape[d] != 1) steps_[i][lead + d] = step;
      step *= shape[d];
    }
  }
}

template <class T>
OutputArray<T>::OutputArray(const Shape& batch, std::initializer_list<std::size_t> core)
    : shape_(batch) {
  shape_.insert(shape_.end(), core.begin(), core.end());
  std::size_t size = 1;
  for (const std::size_t n : shape_) {
    if (__builtin_mul_overflow(size, n, &size) || size > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
  }
  // At least one element, so that an empty result still has a valid pointer.
  data_.reset(new T[std::max<std::size_t>(size, 1)]);
}

template <class T>
nb::object OutputArray<T>::to_numpy() {
  T* data = data_.get();
  nb::capsule owner(data, [](void* memory) noexcept { delete[] static_cast<T*>(memory); });
  data_.release();
  return nb::ndarray<nb::numpy, T>(data, shape_.size(), shape_.data(), owner).cast();
}

template class Broadcast<1>;
template class Broadcast<2>;
template class Broadcast<3>;
template class Broadcast<4>;
template class OutputArray<double>;
template class OutputArray<std::int8_t>;
template class OutputArray<std::int64_t>;

}  // namespace tavrino::toolkit
