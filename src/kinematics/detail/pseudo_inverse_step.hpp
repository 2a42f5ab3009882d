#pragma once

// The step of forward kinematics, J+ r, where J+ is the Moore-Penrose
// pseudo-inverse of the 6x6 Jacobian with every singular value not above the
// absolute threshold 1e-6 (or NaN) counted as zero.
//
// Nearly every Jacobian a real mechanism produces is far from that threshold,
// and then J+ r is simply J^-1 r: the step solves the system directly, once a
// certificate has shown that every singular value exceeds twice the threshold.
// Anything else, a Jacobian that is rank deficient, badly scaled, close to the
// threshold or not finite, goes through a singular value decomposition. Both
// routes are fixed-size and use no heap.

#include "kinematics/forward_kinematics.hpp"

namespace tavrino::detail {

inline constexpr double kSingularValueThreshold = 1e-6;

// The margin the direct route needs: every singular value above this.
inline constexpr double kCertifiedSingularValue = 2 * kSingularValueThreshold;

// The Moore-Penrose pseudo-inverse from Eigen's full JacobiSVD, dropping the same
// singular values: the reference that the routes below are tested against.
Matrix6 pseudo_inverse(const Matrix6& m) noexcept;

// J+ r, by whichever route applies.
Vector6 pseudo_inverse_step(const Matrix6& j, const Vector6& r) noexcept;

// J+ r from a one-sided Jacobi singular value decomposition, whatever J is.
Vector6 pseudo_inverse_step_by_svd(const Matrix6& j, const Vector6& r) noexcept;

// True only if every singular value of j provably exceeds `bound`, rounding
// errors of the proof included: a Cholesky factorisation of J^T J - s I, with s
// the square of the bound plus an allowance for the rounding of J^T J and of the
// factorisation, succeeds exactly when that matrix is numerically positive
// definite. False for a matrix with NaNs or infinities.
bool singular_values_certified_above(const Matrix6& j, double bound) noexcept;

// J^-1 r by Gaussian elimination with partial pivoting. Meant for a j whose
// smallest singular value is certified well above zero.
Vector6 solve_by_elimination(const Matrix6& j, const Vector6& r) noexcept;

}  // namespace tavrino::detail
