#pragma once

// The eigenvalues of a symmetric 6x6 matrix, without its eigenvectors.

#include <array>

#include "kinematics/pose.hpp"

namespace tavrino::detail {

// The six eigenvalues, in no particular order: Householder reduction to
// tridiagonal form, then implicit QL iterations with Wilkinson-like shifts, both
// without accumulating the transformations. Reads the lower triangle only.
// Accurate to a few units of roundoff times the largest eigenvalue's magnitude.
// NaN for a matrix with values that are not finite.
std::array<double, 6> symmetric_eigenvalues(const Matrix6& a) noexcept;

}  // namespace tavrino::detail
