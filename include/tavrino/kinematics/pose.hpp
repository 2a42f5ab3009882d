#pragma once

#include <Eigen/Core>
#include <cmath>
#include <optional>
#include <span>

namespace tavrino {

// The fixed-size types of the interface. They are stored unaligned
// (Eigen::DontAlign), so they have the size and alignment of plain arrays of
// double whatever the compiler flags and Eigen settings of the code that includes
// this header: a program built with AVX (where Eigen aligns its own fixed-size
// matrices to 32 bytes) or linking other Eigen libraries shares them with this
// library without any definition of its own. They mix freely with Eigen's
// ordinary types (Eigen::Matrix4d and the like) in expressions and assignments.
template <int Rows, int Cols>
using FixedMatrix = Eigen::Matrix<double, Rows, Cols, Eigen::ColMajor | Eigen::DontAlign>;

// A homogeneous transformation, held column by column. Poses are never validated
// or normalised: every product and inverse is the general 4x4 operation.
using Pose = FixedMatrix<4, 4>;
using Vector3 = FixedMatrix<3, 1>;
using Rotation = FixedMatrix<3, 3>;
using Vector6 = FixedMatrix<6, 1>;
using Matrix6 = FixedMatrix<6, 6>;

static_assert(sizeof(Pose) == 16 * sizeof(double) && alignof(Pose) == alignof(double),
              "Pose must be laid out as 16 plain doubles");
static_assert(sizeof(Matrix6) == 36 * sizeof(double) && alignof(Matrix6) == alignof(double),
              "Matrix6 must be laid out as 36 plain doubles");

// The general inverse: adjugate times the reciprocal of the determinant. Only an
// exactly zero determinant fails; a NaN determinant yields an all-NaN inverse.
std::optional<Pose> try_inverse(const Pose& m) noexcept;

// try_inverse for the solvers, where a singular pose is a broken precondition.
// Throws: InternalError(kSingularPoseMessage) when the determinant is exactly
// zero; nothing else.
Pose inverse_or_fail(const Pose& m);

// a * b, each element summed over k = 0..3 from left to right. Written out rather
// than left to Eigen so that the summation order, and so the last bits, do not
// depend on how Eigen vectorises.
Pose multiply(const Pose& a, const Pose& b) noexcept;

// The first three components of m * (p, 1); the fourth is dropped, not divided out.
Vector3 transform_point(const Pose& m, const Vector3& p) noexcept;

// The square root of the sum of squares, summed from the first component on.
template <int N>
double euclidean_norm(const Eigen::Matrix<double, N, 1>& v) noexcept {
  double sum = 0.0;
  for (int i = 0; i < N; ++i) sum += v(i) * v(i);
  return std::sqrt(sum);
}

// The rotation by `angle` about the unit vector `axis` (Rodrigues' formula in the
// expanded form x^2 + (1 - x^2) cos, x y (1 - cos) - z sin, ...).
Rotation axis_angle_rotation(const Vector3& axis, double angle) noexcept;

// The pose with rotation block r and translation t, bottom row (0, 0, 0, 1).
Pose make_pose(const Rotation& r, const Vector3& t) noexcept;

// Sixteen doubles row by row, as numpy, Python lists of rows and most message
// formats hold a 4x4 matrix: element (r, c) at rows[4 r + c]. The values are
// copied unchanged.
Pose pose_from_rows(std::span<const double, 16> rows) noexcept;
void pose_to_rows(const Pose& pose, std::span<double, 16> rows) noexcept;

}  // namespace tavrino
