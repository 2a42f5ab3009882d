#include <cmath>
#include <utility>

#include "kinematics/detail/pseudo_inverse_step.hpp"
#include "kinematics/detail/system_order.hpp"

namespace tavrino::detail {

Vector6 solve_by_elimination(const Matrix6& j, const Vector6& r) noexcept {
  // The augmented rows [J | r]; rows are swapped through `row`, not moved.
  double a[kN][kN + 1];
  int row[kN];
#pragma GCC unroll 6
  for (int i = 0; i < kN; ++i) {
#pragma GCC unroll 6
    for (int c = 0; c < kN; ++c) a[i][c] = j(i, c);
    a[i][kN] = r(i);
    row[i] = i;
  }
#pragma GCC unroll 6
  for (int k = 0; k < kN; ++k) {
    int pivot = k;
#pragma GCC unroll 6
    for (int i = k + 1; i < kN; ++i) {
      if (std::abs(a[row[i]][k]) > std::abs(a[row[pivot]][k])) pivot = i;
    }
    std::swap(row[k], row[pivot]);
    const double* top = a[row[k]];
#pragma GCC unroll 6
    for (int i = k + 1; i < kN; ++i) {
      double* below = a[row[i]];
      const double factor = below[k] / top[k];
#pragma GCC unroll 6
      for (int c = k + 1; c <= kN; ++c) below[c] -= factor * top[c];
    }
  }
  Vector6 x;
#pragma GCC unroll 6
  for (int k = kN - 1; k >= 0; --k) {
    const double* u = a[row[k]];
    double sum = u[kN];
#pragma GCC unroll 6
    for (int c = k + 1; c < kN; ++c) sum -= u[c] * x(c);
    x(k) = sum / u[k];
  }
  return x;
}

}  // namespace tavrino::detail
