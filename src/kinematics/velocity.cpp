#include <tavrino/kinematics/velocity.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

#include <tavrino/kinematics/internal_error.hpp>

#include "detail/linear_algebra.hpp"
#include "detail/rods.hpp"

namespace tavrino {

VelocityJacobians velocity_jacobians(const Kinematics& model, const Pose& t_world_platform,
                                     const JointAngles& joint_angles, std::optional<double> body_yaw) {
  if (model.branches().size() != 6) throw InternalError(kSixBranchesMessage);
  const detail::Arms arms = detail::arms_of(model, joint_angles, body_yaw);
  detail::Rods rods;
  detail::evaluate_rods(arms, t_world_platform.topLeftCorner<3, 3>(), t_world_platform.block<3, 1>(0, 3), rods);
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
  const std::optional<Vector6> twist =
      detail::solve_linear(jacobians.platform, rates, detail::Columns::unit_length, detail::kSingularPivot);
  return twist ? *twist : Vector6::Constant(std::numeric_limits<double>::quiet_NaN());
}

Conditioning conditioning(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                          std::optional<double> body_yaw) {
  if (model.branches().size() != 6) throw InternalError(kSixBranchesMessage);
  const detail::Arms arms = detail::arms_of(model, joint_angles, body_yaw);
  detail::Rods rods;
  detail::evaluate_rods(arms, t_world_platform.topLeftCorner<3, 3>(), t_world_platform.block<3, 1>(0, 3), rods);
  Conditioning out;
  const double arm = std::abs(model.motor_arm_length());
  for (int i = 0; i < 6; ++i) {
    // |cos| between the rod and the tip's motion, which has the arm's length;
    // rounding can take it a hair above 1.
    out.transmission[i] = std::min(std::abs(rods.direction[i].dot(arms.motion[i])) / arm, 1.0);
  }
  // The singular values of S are the square roots of the eigenvalues of S^T S.
  const Matrix6 s = detail::rod_jacobian(rods, detail::mean_anchor_radius(arms));
  Matrix6 gram;
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j <= i; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 6; ++k) sum += s(k, i) * s(k, j);
      gram(i, j) = sum;
    }
  }
  const std::array<double, 6> eigenvalues = detail::symmetric_eigenvalues(gram);
  double smallest = eigenvalues[0], largest = eigenvalues[0];
  bool finite = true;
  for (double value : eigenvalues) {
    finite = finite && std::isfinite(value);
    smallest = std::min(smallest, value);
    largest = std::max(largest, value);
  }
  // Rounding can leave the smallest eigenvalue of a singular S a hair below 0.
  out.inverse_condition = finite && largest > 0.0 ? std::sqrt(std::max(smallest, 0.0) / largest) : NAN;
  return out;
}

}  // namespace tavrino
