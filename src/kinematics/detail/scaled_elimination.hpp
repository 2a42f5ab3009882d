#pragma once

// A 6x6 solve that reports a matrix singular to working precision instead of
// returning numbers that mean nothing.

#include <optional>

#include "kinematics/pose.hpp"

namespace tavrino::detail {

// x with a x = b, by Gaussian elimination with partial pivoting on a with its
// columns scaled to unit length. Empty when a column is zero, or a pivot of the
// scaled matrix is not above kSingularPivot (or any value is not finite).
inline constexpr double kSingularPivot = 6 * 0x1.0p-53;

std::optional<Vector6> solve_column_scaled(const Matrix6& a, const Vector6& b) noexcept;

}  // namespace tavrino::detail
