#include <tavrino/kinematics/model.hpp>

#include "detail/rods.hpp"

namespace tavrino {

AnchorJacobian make_anchor_jacobian(const Vector3& b) noexcept { return detail::anchor_jacobian(b); }

Branch make_branch(const Vector3& branch_platform, const Pose& t_world_motor,
                   double solution) noexcept {
  return Branch{t_world_motor, make_anchor_jacobian(branch_platform), branch_platform, solution};
}

Kinematics::Kinematics(double motor_arm_length, double rod_length) noexcept
    : motor_arm_length_(motor_arm_length),
      rod_length_(rod_length),
      fk_max_iterations_(16) {}

void Kinematics::add_branch(const Vector3& branch_platform, const Pose& t_world_motor,
                            double solution) {
  motor_pose_inverses_.push_back(try_inverse(t_world_motor));
  try {
    branches_.push_back(make_branch(branch_platform, t_world_motor, solution));
  } catch (...) {
    motor_pose_inverses_.pop_back();  // both sequences keep one entry per branch
    throw;
  }
}

}  // namespace tavrino
