#include "rods.hpp"

#include <cmath>

namespace tavrino::detail {

double arm_angle(const ArmConstants& k, const Vector3& p, double solution) noexcept {
  const double px = p(0), py = p(1), pz = p(2);
  const HalfAngle<double> h = half_angle(k, px, py, pz, solution);
  return angle_from_half_angle(k, h.numerator, h.denominator, px, py, pz, h.root);
}

FixedMatrix<3, 6> anchor_jacobian(const Vector3& o) noexcept {
  const double ox = o(0), oy = o(1), oz = o(2);
  FixedMatrix<3, 6> a;
  a << 1.0, 0.0, 0.0, 0.0, oz, -oy,
       0.0, 1.0, 0.0, -oz, 0.0, ox,
       0.0, 0.0, 1.0, oy, -ox, 0.0;
  return a;
}

void place_arm(Arms& arms, int i, const Pose& m, const Vector3& anchor, double motor_arm_length, double angle,
               double cos_yaw, double sin_yaw) noexcept {
  const double c = motor_arm_length * std::cos(angle), s = motor_arm_length * std::sin(angle);
  Vector3 tip, motion;
  for (int k = 0; k < 3; ++k) {
    tip(k) = m(k, 0) * c + m(k, 1) * s + m(k, 3);
    motion(k) = m(k, 1) * c - m(k, 0) * s;
  }
  // The body's yaw turns both about the world z axis.
  arms.tip[i] = Vector3(cos_yaw * tip(0) - sin_yaw * tip(1), sin_yaw * tip(0) + cos_yaw * tip(1), tip(2));
  arms.motion[i] = Vector3(cos_yaw * motion(0) - sin_yaw * motion(1), sin_yaw * motion(0) + cos_yaw * motion(1),
                           motion(2));
  arms.anchor[i] = anchor;
}

void evaluate_rods(const Arms& arms, const Rotation& r, const Vector3& t, Rods& out) noexcept {
  double error = 0.0;
  bool finite = true;
  for (int i = 0; i < 6; ++i) {
    const Vector3& b = arms.anchor[i];
    Vector3 offset, rod;
    for (int k = 0; k < 3; ++k) {
      offset(k) = r(k, 0) * b(0) + r(k, 1) * b(1) + r(k, 2) * b(2);
      rod(k) = offset(k) + t(k) - arms.tip[i](k);
    }
    const double length = euclidean_norm(rod);
    out.offset[i] = offset;
    out.length[i] = length;
    out.direction[i] = length > 0.0 ? Vector3(rod / length) : Vector3::Zero();
    const double deviation = std::abs(length - arms.rod_length);
    finite = finite && deviation == deviation;
    error = deviation > error ? deviation : error;
  }
  out.error = finite ? error : NAN;
}

Matrix6 rod_jacobian(const Rods& rods, double length_scale) noexcept {
  Matrix6 j;
  for (int i = 0; i < 6; ++i) jacobian_row(rods.direction[i], anchor_jacobian(rods.offset[i]), j, i);
  j.rightCols<3>() *= 1.0 / length_scale;
  return j;
}

double mean_anchor_radius(const Arms& arms) noexcept {
  double sum = 0.0;
  for (const Vector3& anchor : arms.anchor) sum += euclidean_norm(anchor);
  const double mean = sum / 6.0;
  return mean > 0.0 ? mean : arms.rod_length;
}

}  // namespace tavrino::detail
