#include "kinematics/velocity_kinematics.hpp"

#include <limits>

#include "kinematics/detail/rod_geometry.hpp"
#include "kinematics/detail/scaled_elimination.hpp"
#include "kinematics/internal_error.hpp"

namespace tavrino {

VelocityJacobians velocity_jacobians(const Kinematics& model, const Pose& t_world_platform,
                                     const JointAngles& joint_angles, std::optional<double> body_yaw) {
  if (model.branches().size() != 6) throw InternalError(kSixBranchesMessage);
  const detail::ArmsInWorld arms = detail::arms_in_world(model, joint_angles, body_yaw);
  detail::Rods rods;
  detail::evaluate_rods(model, arms, t_world_platform.topLeftCorner<3, 3>(), t_world_platform.block<3, 1>(0, 3), rods);
  VelocityJacobians out;
  out.platform = detail::rod_jacobian(rods, 1.0);
  for (int i = 0; i < 6; ++i) out.joint(i) = rods.direction[i].dot(arms.motion[i]);
  return out;
}

Vector6 joint_velocities(const VelocityJacobians& jacobians, const Vector6& twist) noexcept {
  Vector6 out;
  for (int i = 0; i < 6; ++i) {
    double rate = 0.0;
    for (int k = 0; k < 6; ++k) rate += jacobians.platform(i, k) * twist(k);
    const double joint = jacobians.joint(i);
    out(i) = joint != 0.0 ? rate / joint : std::numeric_limits<double>::quiet_NaN();
  }
  return out;
}

Vector6 platform_twist(const VelocityJacobians& jacobians, const Vector6& joint_velocities) noexcept {
  const Vector6 rates = jacobians.joint.cwiseProduct(joint_velocities);
  const std::optional<Vector6> twist = detail::solve_column_scaled(jacobians.platform, rates);
  return twist ? *twist : Vector6::Constant(std::numeric_limits<double>::quiet_NaN());
}

}  // namespace tavrino
