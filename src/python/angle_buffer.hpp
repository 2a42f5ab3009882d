#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace tavrino::python {

// Room for the angles of one inverse kinematics call. The angles are computed
// under the object's lock and turned into a Python list after it is released,
// so they need a home in between; for the usual mechanism (six branches, a few
// more at most) that is the stack, and only a larger model touches the heap.
class AngleBuffer {
 public:
  static constexpr std::size_t kInlineCapacity = 16;

  std::span<double> resize(std::size_t size) {
    if (size <= kInlineCapacity) {
      view_ = std::span<double>(inline_.data(), size);
    } else {
      heap_.resize(size);
      view_ = std::span<double>(heap_);
    }
    return view_;
  }

  std::span<const double> values() const noexcept { return view_; }

 private:
  std::array<double, kInlineCapacity> inline_;
  std::vector<double> heap_;
  std::span<double> view_;
};

}  // namespace tavrino::python
