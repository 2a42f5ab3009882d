#include "kinematics/detail/rigid_motion.hpp"

#include <cmath>

namespace tavrino::detail {

Rotation orthonormal_rotation(const Pose& m) noexcept {
  const Vector3 c0 = m.block<3, 1>(0, 0), c1 = m.block<3, 1>(0, 1);
  const double n0 = euclidean_norm(c0);
  if (!(n0 > 0.0 && n0 < INFINITY)) return Rotation::Identity();
  const Vector3 x = c0 / n0;
  const Vector3 y_raw = c1 - x.dot(c1) * x;
  const double n1 = euclidean_norm(y_raw);
  if (!(n1 > 0.0 && n1 < INFINITY)) return Rotation::Identity();
  const Vector3 y = y_raw / n1;
  Rotation r;
  r.col(0) = x;
  r.col(1) = y;
  r.col(2) = Vector3(x(1) * y(2) - x(2) * y(1), x(2) * y(0) - x(0) * y(2), x(0) * y(1) - x(1) * y(0));
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
  const Rotation before = r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r(i, j) = turn(i, 0) * before(0, j) + turn(i, 1) * before(1, j) + turn(i, 2) * before(2, j);
  }
  t += v;
}

}  // namespace tavrino::detail
