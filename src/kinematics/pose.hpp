#pragma once

#include <Eigen/Core>
#include <cmath>
#include <optional>

// The model's fixed-size matrices are laid out without over-alignment (they live
// in storage whose alignment we do not control, Python objects among them). Code
// that shares them must agree, or Branch and Pose change size and layout between
// the library and its user; the CMake target passes the definition on.
static_assert(EIGEN_MAX_STATIC_ALIGN_BYTES == 0,
              "tavrino kinematics needs EIGEN_MAX_STATIC_ALIGN_BYTES=0 defined before Eigen is "
              "included; link the CMake target tavrino::kinematics to get it");

namespace tavrino {

// A homogeneous transformation, held column by column. Poses are never validated
// or normalised: every product and inverse is the general 4x4 operation.
using Pose = Eigen::Matrix4d;
using Vector3 = Eigen::Vector3d;
using Rotation = Eigen::Matrix3d;

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

}  // namespace tavrino
