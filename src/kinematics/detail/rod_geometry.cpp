#include "kinematics/detail/rod_geometry.hpp"

#include <cmath>

namespace tavrino::detail {

ArmsInWorld arms_in_world(const Kinematics& model, const JointAngles& joint_angles,
                          std::optional<double> body_yaw) noexcept {
  const double a = model.motor_arm_length();
  const double c_yaw = body_yaw ? std::cos(*body_yaw) : 1.0;
  const double s_yaw = body_yaw ? std::sin(*body_yaw) : 0.0;
  ArmsInWorld out;
  for (int i = 0; i < 6; ++i) {
    const Pose& m = model.branches()[i].t_world_motor;
    const double c = a * std::cos(joint_angles[i]), s = a * std::sin(joint_angles[i]);
    Vector3 tip, motion;
    for (int k = 0; k < 3; ++k) {
      tip(k) = m(k, 0) * c + m(k, 1) * s + m(k, 3);
      motion(k) = m(k, 1) * c - m(k, 0) * s;
    }
    // The body's yaw turns both about the world z axis.
    out.tip[i] = Vector3(c_yaw * tip(0) - s_yaw * tip(1), s_yaw * tip(0) + c_yaw * tip(1), tip(2));
    out.motion[i] = Vector3(c_yaw * motion(0) - s_yaw * motion(1), s_yaw * motion(0) + c_yaw * motion(1), motion(2));
  }
  return out;
}

void evaluate_rods(const Kinematics& model, const ArmsInWorld& arms, const Rotation& r, const Vector3& t,
                   Rods& out) noexcept {
  const double rod_length = model.rod_length();
  double error = 0.0;
  bool finite = true;
  for (int i = 0; i < 6; ++i) {
    const Vector3& b = model.branches()[i].branch_platform;
    Vector3 offset, rod;
    for (int k = 0; k < 3; ++k) {
      offset(k) = r(k, 0) * b(0) + r(k, 1) * b(1) + r(k, 2) * b(2);
      rod(k) = offset(k) + t(k) - arms.tip[i](k);
    }
    const double length = euclidean_norm(rod);
    out.offset[i] = offset;
    out.length[i] = length;
    out.direction[i] = length > 0.0 ? Vector3(rod / length) : Vector3::Zero();
    const double deviation = std::abs(length - rod_length);
    finite = finite && deviation == deviation;
    error = deviation > error ? deviation : error;
  }
  out.error = finite ? error : NAN;
}

Matrix6 rod_jacobian(const Rods& rods, double length_scale) noexcept {
  const double inverse_scale = 1.0 / length_scale;
  Matrix6 j;
  for (int i = 0; i < 6; ++i) {
    const Vector3& n = rods.direction[i];
    const Vector3& o = rods.offset[i];
    j(i, 0) = n(0);
    j(i, 1) = n(1);
    j(i, 2) = n(2);
    j(i, 3) = (o(1) * n(2) - o(2) * n(1)) * inverse_scale;
    j(i, 4) = (o(2) * n(0) - o(0) * n(2)) * inverse_scale;
    j(i, 5) = (o(0) * n(1) - o(1) * n(0)) * inverse_scale;
  }
  return j;
}

double mean_anchor_radius(const Kinematics& model) noexcept {
  double sum = 0.0;
  for (const Branch& branch : model.branches()) sum += euclidean_norm(branch.branch_platform);
  const double mean = sum / static_cast<double>(model.branches().size());
  return mean > 0.0 ? mean : model.rod_length();
}

}  // namespace tavrino::detail
