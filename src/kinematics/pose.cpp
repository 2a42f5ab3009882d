#include <tavrino/kinematics/pose.hpp>

#include <cmath>

#include <tavrino/kinematics/internal_error.hpp>

#include "detail/double_pair.hpp"

namespace tavrino {

namespace {

// Cofactor expansion of the 4x4 inverse. `m` and `inv` are column-major arrays;
// inv[k] receives the adjugate entry at the same position. They never overlap,
// which lets the compiler keep m in registers across the stores.
void adjugate(const double* __restrict m, double* __restrict inv) {
  inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] +
           m[9] * m[7] * m[14] + m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
  inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] -
           m[8] * m[7] * m[14] - m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
  inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] +
           m[8] * m[7] * m[13] + m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
  inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] -
            m[8] * m[6] * m[13] - m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
  inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] -
           m[9] * m[3] * m[14] - m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
  inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] +
           m[8] * m[3] * m[14] + m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
  inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] -
           m[8] * m[3] * m[13] - m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
  inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] +
            m[8] * m[2] * m[13] + m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
  inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] +
           m[5] * m[3] * m[14] + m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
  inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] -
           m[4] * m[3] * m[14] - m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
  inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] +
            m[4] * m[3] * m[13] + m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
  inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] -
            m[4] * m[2] * m[13] - m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
  inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] -
           m[5] * m[3] * m[10] - m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
  inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] +
           m[4] * m[3] * m[10] + m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
  inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] -
            m[4] * m[3] * m[9] - m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
  inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] +
            m[4] * m[2] * m[9] + m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
}

}  // namespace

std::optional<Pose> try_inverse(const Pose& m) noexcept {
  Pose inv;
  adjugate(m.data(), inv.data());
  // Laplace expansion along the first column of m, with the cofactors just made.
  const double det = m(0, 0) * inv(0, 0) + m(1, 0) * inv(0, 1) + m(2, 0) * inv(0, 2) +
                     m(3, 0) * inv(0, 3);
  if (det == 0.0) return std::nullopt;
  const double scale = 1.0 / det;
  for (int k = 0; k < 16; ++k) inv.data()[k] *= scale;
  return inv;
}

Pose inverse_or_fail(const Pose& m) {
  std::optional<Pose> inv = try_inverse(m);
  if (!inv) throw InternalError(kSingularPoseMessage);
  return *inv;
}

Pose multiply(const Pose& a, const Pose& b) noexcept {
  // Rows 0 and 1, and rows 2 and 3, side by side: the column pairs of a are
  // contiguous, and every element is still the same four products summed from
  // left to right.
  using detail::DoublePair;
  const double* ad = a.data();
  DoublePair upper[4], lower[4];  // column k of a, rows 0-1 and rows 2-3
#pragma GCC unroll 4
  for (int k = 0; k < 4; ++k) {
    upper[k] = detail::load_pair(ad + 4 * k);
    lower[k] = detail::load_pair(ad + 4 * k + 2);
  }
  Pose out;
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) {
    const DoublePair b0 = detail::splat(b(0, c)), b1 = detail::splat(b(1, c)), b2 = detail::splat(b(2, c)),
                     b3 = detail::splat(b(3, c));
    const DoublePair top = upper[0] * b0 + upper[1] * b1 + upper[2] * b2 + upper[3] * b3;
    const DoublePair bottom = lower[0] * b0 + lower[1] * b1 + lower[2] * b2 + lower[3] * b3;
    __builtin_memcpy(out.data() + 4 * c, &top, sizeof top);
    __builtin_memcpy(out.data() + 4 * c + 2, &bottom, sizeof bottom);
  }
  return out;
}

Vector3 transform_point(const Pose& m, const Vector3& p) noexcept {
  Vector3 out;
  for (int r = 0; r < 3; ++r) {
    out(r) = m(r, 0) * p(0) + m(r, 1) * p(1) + m(r, 2) * p(2) + m(r, 3);
  }
  return out;
}

Rotation axis_angle_rotation(const Vector3& u, double angle) noexcept {
  const double s = std::sin(angle);
  const double c = std::cos(angle);
  const double h = 1.0 - c;
  const double ux = u(0), uy = u(1), uz = u(2);
  Rotation r;
  r(0, 0) = ux * ux + (1.0 - ux * ux) * c;
  r(0, 1) = ux * uy * h - uz * s;
  r(0, 2) = ux * uz * h + uy * s;
  r(1, 0) = ux * uy * h + uz * s;
  r(1, 1) = uy * uy + (1.0 - uy * uy) * c;
  r(1, 2) = uy * uz * h - ux * s;
  r(2, 0) = ux * uz * h - uy * s;
  r(2, 1) = uy * uz * h + ux * s;
  r(2, 2) = uz * uz + (1.0 - uz * uz) * c;
  return r;
}

Pose make_pose(const Rotation& r, const Vector3& t) noexcept {
  Pose out = Pose::Identity();
  out.topLeftCorner<3, 3>() = r;
  out.topRightCorner<3, 1>() = t;
  return out;
}

Pose pose_from_rows(std::span<const double, 16> rows) noexcept {
  Pose pose;
  for (int k = 0; k < 16; ++k) pose(k / 4, k % 4) = rows[static_cast<std::size_t>(k)];
  return pose;
}

void pose_to_rows(const Pose& pose, std::span<double, 16> rows) noexcept {
  for (int k = 0; k < 16; ++k) rows[static_cast<std::size_t>(k)] = pose(k / 4, k % 4);
}

}  // namespace tavrino
