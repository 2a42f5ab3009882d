#include "kinematics/detail/assembly_check.hpp"

#include <cmath>
#include <span>

#include "kinematics/detail/arm_angle.hpp"
#include "kinematics/inverse_kinematics.hpp"

namespace tavrino::detail {

namespace {

double angle_gap(double a, double b) noexcept { return std::abs(wrap_angle(a - b)); }

// The anchor of a branch in its motor frame, for the platform at the pose and
// the body turned by the yaw: (R_z(yaw) M)^-1 P (b, 1).
Vector3 anchor_in_motor_frame(const Pose& motor_inverse, const Pose& t_world_platform, std::optional<double> body_yaw,
                              const Vector3& anchor) noexcept {
  Pose unturned = Pose::Identity();
  if (body_yaw) {
    const double c = std::cos(*body_yaw), s = std::sin(*body_yaw);
    unturned.topLeftCorner<2, 2>() << c, s, -s, c;
  }
  return transform_point(multiply(motor_inverse, multiply(unturned, t_world_platform)), anchor);
}

}  // namespace

Assembly check_assembly(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                        std::optional<double> body_yaw) noexcept {
  JointAngles angles;
  // Cannot throw: six branches with invertible motor poses, one angle each.
  inverse_kinematics_into(model, t_world_platform, body_yaw, std::span<double>(angles));
  bool all_match = true;
  for (int i = 0; i < 6; ++i) all_match = all_match && angle_gap(angles[i], joint_angles[i]) <= kJointAngleAllowance;
  if (all_match) return Assembly::matches;
  // Off somewhere: is that branch in the other mode, or only not exact enough?
  const ArmConstants constants = ArmConstants::make(model.motor_arm_length(), model.rod_length());
  for (int i = 0; i < 6; ++i) {
    const double gap = angle_gap(angles[i], joint_angles[i]);
    if (gap <= kJointAngleAllowance) continue;
    const Branch& branch = model.branches()[i];
    const Vector3 p =
        anchor_in_motor_frame(*model.motor_pose_inverses()[i], t_world_platform, body_yaw, branch.branch_platform);
    const double other_gap = angle_gap(arm_angle(constants, p, -branch.solution), joint_angles[i]);
    // NaN angles: the branch is out of reach by rounding, at the edge where the
    // two modes meet.
    if (!(gap <= other_gap)) return Assembly::other_mode;
  }
  return Assembly::inexact;
}

}  // namespace tavrino::detail
