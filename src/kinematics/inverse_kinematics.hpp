#pragma once

#include <optional>
#include <span>
#include <vector>

#include "kinematics/model.hpp"

namespace tavrino {

// The motor angle of every branch, in branch order, that puts the platform at
// t_world_platform; with a body yaw, the body carrying the motors is taken as
// turned by that angle about the world z axis. An unreachable branch gets NaN;
// a motor pose with an exactly zero determinant raises InternalError.
std::vector<double> inverse_kinematics(const Kinematics& model, const Pose& t_world_platform,
                                       std::optional<double> body_yaw);

// The same, written into `angles`, which must hold one double per branch.
void inverse_kinematics_into(const Kinematics& model, const Pose& t_world_platform,
                             std::optional<double> body_yaw, std::span<double> angles);

// The closed-form angle of one arm of length a whose rod of length r must reach
// the anchor p, given in the motor frame: r2, a2 and the rest are the per-call
// constants. Exposed for testing the formula on its own.
struct ArmConstants {
  double a, r2, a2, r4, a4, k;
  static ArmConstants make(double motor_arm_length, double rod_length);
};
double arm_angle(const ArmConstants& constants, const Vector3& p, double solution);

// Wraps an angle into [-pi, pi) by a floor-based rule; pi itself maps to -pi.
double wrap_angle(double t);

}  // namespace tavrino
