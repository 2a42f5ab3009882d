#include "kinematics/model.hpp"

namespace tavrino {

AnchorJacobian make_anchor_jacobian(const Vector3& b) noexcept {
  const double bx = b(0), by = b(1), bz = b(2);
  AnchorJacobian a;
  a << 1.0, 0.0, 0.0, 0.0, bz, -by,
       0.0, 1.0, 0.0, -bz, 0.0, bx,
       0.0, 0.0, 1.0, by, -bx, 0.0;
  return a;
}

Branch make_branch(const Vector3& branch_platform, const Pose& t_world_motor,
                   double solution) noexcept {
  return Branch{t_world_motor, make_anchor_jacobian(branch_platform), branch_platform, solution};
}

Kinematics::Kinematics(double motor_arm_length, double rod_length) noexcept
    : motor_arm_length_(motor_arm_length),
      rod_length_(rod_length),
      t_world_platform_estimate_(Pose::Identity()),
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
