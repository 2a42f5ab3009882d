#include "kinematics/detail/rigid_motion.hpp"

#include <cmath>

namespace tavrino::detail {

namespace {

// Gram-Schmidt on the columns c0 and c1; false when they are zero, parallel or
// not finite.
bool gram_schmidt(const Vector3& c0, const Vector3& c1, Rotation& out) noexcept {
  const double n0 = euclidean_norm(c0);
  if (!(n0 > 0.0 && n0 < INFINITY)) return false;
  const Vector3 x = c0 / n0;
  const Vector3 y_raw = c1 - x.dot(c1) * x;
  const double n1 = euclidean_norm(y_raw);
  if (!(n1 > 0.0 && n1 < INFINITY)) return false;
  const Vector3 y = y_raw / n1;
  out.col(0) = x;
  out.col(1) = y;
  out.col(2) = Vector3(x(1) * y(2) - x(2) * y(1), x(2) * y(0) - x(0) * y(2), x(0) * y(1) - x(1) * y(0));
  return true;
}

}  // namespace

Rotation orthonormal_rotation(const Pose& m) noexcept {
  Rotation r;
  if (!gram_schmidt(m.block<3, 1>(0, 0), m.block<3, 1>(0, 1), r)) return Rotation::Identity();
  return r;
}

Rotation rotation_exp(const Vector3& w) noexcept {
  const double theta2 = w.dot(w);
  double a, b;  // sin(theta) / theta and (1 - cos(theta)) / theta^2
  if (theta2 < 1e-6) {
    // Truncation error below theta^6 / 5040 < 2e-22.
    a = 1.0 - theta2 / 6.0 * (1.0 - theta2 / 20.0);
    b = 0.5 - theta2 / 24.0 * (1.0 - theta2 / 30.0);
  } else {
    const double theta = std::sqrt(theta2);
    a = std::sin(theta) / theta;
    const double half = std::sin(0.5 * theta) / theta;
    b = 2.0 * half * half;  // 1 - cos written without its cancellation
  }
  // I + a [w]x + b [w]x^2, with [w]x^2 = w w^T - theta^2 I.
  const double x = w(0), y = w(1), z = w(2);
  const double diagonal = 1.0 - b * theta2;
  Rotation r;
  r(0, 0) = diagonal + b * x * x;
  r(1, 1) = diagonal + b * y * y;
  r(2, 2) = diagonal + b * z * z;
  r(0, 1) = b * x * y - a * z;
  r(1, 0) = b * x * y + a * z;
  r(0, 2) = b * x * z + a * y;
  r(2, 0) = b * x * z - a * y;
  r(1, 2) = b * y * z - a * x;
  r(2, 1) = b * y * z + a * x;
  return r;
}

void move_by_twist(Rotation& r, Vector3& t, const Vector3& v, const Vector3& w) noexcept {
  const Rotation turn = rotation_exp(w);
  Rotation turned;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) turned(i, j) = turn(i, 0) * r(0, j) + turn(i, 1) * r(1, j) + turn(i, 2) * r(2, j);
  }
  // Each product adds its rounding to the rotation's defect; made orthonormal
  // again, the defect stays at a few units of roundoff however many steps.
  // (The columns of a product of rotations are never degenerate.)
  gram_schmidt(turned.col(0), turned.col(1), r);
  t += v;
}

}  // namespace tavrino::detail
