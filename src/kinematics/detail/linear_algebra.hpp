#pragma once

// The small dense linear algebra of the solvers, all fixed-size 6x6 and on the
// stack: one Gaussian elimination, a certificate that a matrix's singular values
// exceed a bound, the pseudo-inverse step of forward kinematics (a certified
// direct solve, or a one-sided Jacobi SVD), the eigenvalues of a symmetric
// matrix, and the backtracking line search that both forward solvers use.

#include <array>
#include <cstddef>
#include <optional>

#include <tavrino/kinematics/pose.hpp>

namespace tavrino::detail {

// The order of the systems: one row per branch, one column per component of a
// twist.
inline constexpr int kN = 6;

// How solve_linear treats the columns of the matrix.
enum class Columns {
  as_given,
  // Each column scaled to unit length first (and the unknowns scaled back), so
  // that the pivots compare with 1 whatever the units of the unknowns.
  unit_length,
};

// x with a x = b, by Gaussian elimination with partial pivoting. Empty when a
// pivot's magnitude is not above `pivot_floor` (or is NaN), and with
// Columns::unit_length also when a column is zero or not finite.
std::optional<Vector6> solve_linear(const Matrix6& a, const Vector6& b, Columns columns, double pivot_floor) noexcept;

// A pivot of a matrix with unit columns at or below this is singular to working
// precision: six units of roundoff.
inline constexpr double kSingularPivot = 6 * 0x1.0p-53;

// True only if every singular value of j provably exceeds `bound`, rounding
// errors of the proof included: a Cholesky factorisation of J^T J - s I, with s
// the square of the bound plus an allowance for the rounding of J^T J and of the
// factorisation, succeeds exactly when that matrix is numerically positive
// definite. False for a matrix with NaNs or infinities.
bool singular_values_certified_above(const Matrix6& j, double bound) noexcept;

// The step of forward kinematics, J+ r, where J+ is the Moore-Penrose
// pseudo-inverse of the 6x6 Jacobian with every singular value not above the
// absolute threshold 1e-6 (or NaN) counted as zero.
//
// Nearly every Jacobian a real mechanism produces is far from that threshold,
// and then J+ r is simply J^-1 r: the step solves the system directly, once a
// certificate has shown that every singular value exceeds twice the threshold.
// Anything else, a Jacobian that is rank deficient, badly scaled, close to the
// threshold or not finite, goes through a singular value decomposition.
inline constexpr double kSingularValueThreshold = 1e-6;
// The margin the direct route needs: every singular value above this.
inline constexpr double kCertifiedSingularValue = 2 * kSingularValueThreshold;

Vector6 pseudo_inverse_step(const Matrix6& j, const Vector6& r) noexcept;

// J+ r from a one-sided Jacobi singular value decomposition, whatever J is.
Vector6 pseudo_inverse_step_by_svd(const Matrix6& j, const Vector6& r) noexcept;

// The six eigenvalues of a symmetric matrix, in no particular order:
// Householder reduction to tridiagonal form, then implicit QL iterations with
// Wilkinson-like shifts, both without accumulating the transformations. Reads
// the lower triangle only. Accurate to a few units of roundoff times the largest
// eigenvalue's magnitude. NaN for a matrix with values that are not finite.
std::array<double, 6> symmetric_eigenvalues(const Matrix6& a) noexcept;

// Backtracking along a step (v, w), so that no accepted step makes things worse:
// offers the step at full size, then halved, quartered, ..., at most `attempts`
// times, until `accept(v, w)` takes one. True when one was taken.
template <class Accept>
bool backtrack(std::size_t attempts, Vector3 v, Vector3 w, Accept&& accept) {
  for (std::size_t attempt = 0; attempt < attempts; ++attempt) {
    if (accept(v, w)) return true;
    v *= 0.5;
    w *= 0.5;
  }
  return false;
}

}  // namespace tavrino::detail
