#include "kinematics/detail/scaled_elimination.hpp"

#include <cmath>
#include <utility>

#include "kinematics/detail/system_order.hpp"

namespace tavrino::detail {

std::optional<Vector6> solve_column_scaled(const Matrix6& a, const Vector6& b) noexcept {
  double scale[kN];
  double m[kN][kN + 1];  // [a diag(scale) | b], rows swapped through `row`
  int row[kN];
  for (int c = 0; c < kN; ++c) {
    double sum = 0.0;
    for (int i = 0; i < kN; ++i) sum += a(i, c) * a(i, c);
    if (!(sum > 0.0 && std::isfinite(sum))) return std::nullopt;
    scale[c] = 1.0 / std::sqrt(sum);
  }
  for (int i = 0; i < kN; ++i) {
    for (int c = 0; c < kN; ++c) m[i][c] = a(i, c) * scale[c];
    m[i][kN] = b(i);
    row[i] = i;
  }
  for (int k = 0; k < kN; ++k) {
    int pivot = k;
    for (int i = k + 1; i < kN; ++i) {
      if (std::abs(m[row[i]][k]) > std::abs(m[row[pivot]][k])) pivot = i;
    }
    std::swap(row[k], row[pivot]);
    const double* top = m[row[k]];
    if (!(std::abs(top[k]) > kSingularPivot)) return std::nullopt;
    for (int i = k + 1; i < kN; ++i) {
      double* below = m[row[i]];
      const double factor = below[k] / top[k];
      for (int c = k + 1; c <= kN; ++c) below[c] -= factor * top[c];
    }
  }
  Vector6 x;
  for (int k = kN - 1; k >= 0; --k) {
    const double* u = m[row[k]];
    double sum = u[kN];
    for (int c = k + 1; c < kN; ++c) sum -= u[c] * x(c);
    x(k) = sum / u[k];
  }
  for (int c = 0; c < kN; ++c) x(c) *= scale[c];
  return x;
}

}  // namespace tavrino::detail
