#include "kinematics/velocity_kinematics.hpp"

#include <limits>

namespace tavrino {

VelocityJacobians velocity_jacobians(const Kinematics&, const Pose&, const JointAngles&, std::optional<double>) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  return {Matrix6::Constant(kNaN), Vector6::Constant(kNaN)};
}

Vector6 joint_velocities(const VelocityJacobians&, const Vector6&) noexcept {
  return Vector6::Constant(std::numeric_limits<double>::quiet_NaN());
}

Vector6 platform_twist(const VelocityJacobians&, const Vector6&) noexcept {
  return Vector6::Constant(std::numeric_limits<double>::quiet_NaN());
}

}  // namespace tavrino
