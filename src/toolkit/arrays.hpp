#pragma once

// Arrays between Python and the batch loops: reading an argument as a float64
// C-contiguous array of shape (batch..., core...), broadcasting the batch shapes
// of several arguments, and handing results back as numpy arrays.
//
// Everything here that touches a Python object needs the GIL; the raw data and
// the Broadcast walk do not, so the loops run with the GIL released.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrino::toolkit {

namespace nb = nanobind;

// Any object that numpy can turn into an array; its name is what the stub shows.
class ArrayLike : public nb::object {
 public:
  using nb::object::object;
  using nb::object::operator=;
  static constexpr auto Name = nb::detail::const_name("numpy.typing.ArrayLike");
};

// A numpy array returned to Python; its name is the type the stub shows.
class FloatArray : public nb::object {
 public:
  using nb::object::object;
  using nb::object::operator=;
  static constexpr auto Name = nb::detail::const_name("numpy.typing.NDArray[numpy.float64]");
};

// A VelocityJacobians, or any pair (platform, joint) of arrays.
class JacobiansLike : public nb::object {
 public:
  using nb::object::object;
  using nb::object::operator=;
  static constexpr auto Name = nb::detail::const_name("tavrino_torso._results.VelocityJacobians");
};

using Shape = std::vector<std::size_t>;

// "(..., 4, 4)" for a batched core shape (4, 4), "(3,)" for an exact one.
std::string describe_shape(std::span<const std::size_t> core, bool batched);

// A call's argument as the error messages name it: "Model.add_branch(): 'anchor'".
struct Argument {
  std::string_view function;
  std::string_view name;
  std::string describe() const;
};

// An argument read as a float64 C-contiguous array: the caller's own array when
// it is one already and aligned (no copy), otherwise numpy's conversion or copy
// of it. Holds a reference to the array, so data() stays valid while this
// lives, and data() is always aligned for double.
//
// Reading fails with TypeError when the values are not real numbers (strings,
// complex numbers, None, ...) and ValueError when the shape is wrong; both
// messages name the argument and the expected shape.
class InputArray {
 public:
  // `core` is the trailing shape of one sample; with `batched`, any leading
  // dimensions are taken as the batch shape, otherwise there must be none.
  InputArray(nb::handle value, const Argument& argument, std::initializer_list<std::size_t> core,
             bool batched = true);

  const double* data() const noexcept { return data_; }
  const Shape& batch_shape() const noexcept { return batch_shape_; }

 private:
  nb::ndarray<const double, nb::c_contig, nb::device::cpu> array_;
  const double* data_ = nullptr;
  Shape batch_shape_;
};

// Lets a loop that runs without the GIL answer Ctrl-C. Called once per sample,
// it reads the clock every 64 samples, and once kInterval has passed since it
// last looked, takes the GIL and has the interpreter run the handlers of the
// signals that arrived; when one raises, it throws that exception.
class SignalCheck {
 public:
  static constexpr std::chrono::milliseconds kInterval{5};

  void operator()() {
    if (++samples_ % 64 != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kInterval) return;
    last_ = now;
    const nb::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }

 private:
  std::size_t samples_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The batch shape that numpy's broadcasting rules give several arguments, and
// for each argument the offset of each sample in it.
template <std::size_t N>
class Broadcast {
 public:
  // `sample_sizes[i]` is the number of doubles in one sample of argument i.
  // Throws ValueError, naming the arguments, when the shapes do not broadcast,
  // or when the result would hold more samples than memory can index.
  Broadcast(std::string_view function, const std::array<const Shape*, N>& shapes,
            const std::array<std::string_view, N>& names);

  const Shape& shape() const noexcept { return shape_; }
  std::size_t count() const noexcept { return count_; }

  // Calls visit(k, offsets) for every sample k of the broadcast shape in C
  // order, with offsets[i] the index of the sample in argument i. Runs without
  // the GIL, which it takes only briefly every few milliseconds to let Python
  // handle signals: Ctrl-C (KeyboardInterrupt, or whatever a handler raises)
  // ends the loop by throwing nb::python_error.
  template <class Visit>
  void for_each(Visit&& visit) const {
    if (count_ == 0) return;
    SignalCheck signals;
    std::array<std::size_t, N> offsets{};
    if (direct_) {
      for (std::size_t k = 0; k < count_; ++k) {
        for (std::size_t i = 0; i < N; ++i) offsets[i] = single_[i] ? 0 : k;
        visit(k, offsets);
        signals();
      }
      return;
    }
    // An odometer over the batch dimensions, the last one turning fastest.
    const std::size_t dims = shape_.size();
    std::vector<std::size_t> index(dims, 0);
    for (std::size_t k = 0; k < count_; ++k) {
      visit(k, offsets);
      signals();
      for (std::size_t d = dims; d-- > 0;) {
        for (std::size_t i = 0; i < N; ++i) offsets[i] += steps_[i][d];
        if (++index[d] < shape_[d]) break;
        for (std::size_t i = 0; i < N; ++i) offsets[i] -= steps_[i][d] * shape_[d];
        index[d] = 0;
      }
    }
  }

 private:
  Shape shape_;
  std::size_t count_ = 1;
  // steps_[i][d]: how far a step along dimension d moves in argument i, 0
  // along a dimension that argument i is broadcast in.
  std::array<Shape, N> steps_;
  // Argument i holds a single sample, used throughout.
  std::array<bool, N> single_{};
  // Every argument either has the whole batch shape or a single sample.
  bool direct_ = true;
};

// A result array being filled: plain memory that the loops write without the
// GIL, handed to numpy by to_numpy() without a copy.
template <class T>
class OutputArray {
 public:
  OutputArray(const Shape& batch, std::initializer_list<std::size_t> core);

  T* data() noexcept { return data_.get(); }

  // The numpy array that takes over the memory. Call once, with the GIL.
  nb::object to_numpy();

 private:
  std::unique_ptr<T[]> data_;
  Shape shape_;
};

extern template class Broadcast<1>;
extern template class Broadcast<2>;
extern template class Broadcast<3>;
extern template class Broadcast<4>;
extern template class OutputArray<double>;
extern template class OutputArray<std::int8_t>;
extern template class OutputArray<std::int64_t>;

}  // namespace tavrino::toolkit
