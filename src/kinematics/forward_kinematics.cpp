#include "kinematics/forward_kinematics.hpp"

#include <Eigen/SVD>
#include <cmath>

#include "kinematics/internal_error.hpp"

namespace tavrino {

namespace {

constexpr double kConvergedResidual = 1e-6;
constexpr double kSmallRotation = 1e-6;
constexpr double kSingularValueThreshold = 1e-6;
constexpr double kBodyYawPivotHeight = 0.177;

using Points = std::array<Vector3, 6>;

// The arm tips in platform coordinates, (E^-1 M_i) (c_i, 1), for the pose E.
Points tips_in_platform(const Kinematics& model, const Pose& t_world_platform, const ArmTips& tips) {
  const Pose t_platform_world = inverse_or_fail(t_world_platform);
  Points out;
  for (int i = 0; i < 6; ++i) {
    out[i] = transform_point(multiply(t_platform_world, model.branches()[i].t_world_motor), tips[i]);
  }
  return out;
}

Vector6 residuals_at(const Kinematics& model, const Points& tips) {
  Vector6 out;
  for (int i = 0; i < 6; ++i) {
    out(i) = model.rod_length() - euclidean_norm(Vector3(tips[i] - model.branches()[i].branch_platform));
  }
  return out;
}

// Row i is e_i^T A_i with e_i = b_i - p_i, that is (e_i, b_i x e_i); it is used as
// built, neither normalised by |e_i| nor negated.
Matrix6 jacobian_at(const Kinematics& model, const Points& tips) {
  Matrix6 out;
  for (int i = 0; i < 6; ++i) {
    const Branch& branch = model.branches()[i];
    const Vector3 e = branch.branch_platform - tips[i];
    const AnchorJacobian& a = branch.anchor_jacobian;
    for (int j = 0; j < 6; ++j) out(i, j) = a(0, j) * e(0) + a(1, j) * e(1) + a(2, j) * e(2);
  }
  return out;
}

// The candidate pose E * D for a step of translation v and rotation vector w,
// applied on the right, in platform coordinates.
Pose step_pose(const Pose& estimate, const Vector3& v, const Vector3& w) {
  const double theta = euclidean_norm(w);
  Rotation r = Rotation::Identity();
  if (theta > kSmallRotation) {
    Vector3 axis = w / theta;
    axis = axis / euclidean_norm(axis);
    r = axis_angle_rotation(axis, theta);
  }
  return multiply(estimate, make_pose(r, v));
}

// Tries the step at full size and then at successive halves; keeps the first
// candidate that strictly lowers the residual norm.
void line_search(Kinematics& model, const ArmTips& tips, double norm0, Vector3 v, Vector3 w) {
  const Pose estimate = model.t_world_platform_estimate();
  for (std::size_t attempt = 0; attempt < model.fk_max_iterations(); ++attempt) {
    const Pose candidate = step_pose(estimate, v, w);
    const double norm = euclidean_norm(rod_residuals(model, candidate, tips));
    if (norm0 > norm) {
      model.set_t_world_platform_estimate(candidate);
      return;
    }
    v *= 0.5;
    w *= 0.5;
  }
}

// The result of a call: the estimate, yawed if a body yaw is given.
Pose finish(const Kinematics& model, std::optional<double> body_yaw) {
  const Pose& estimate = model.t_world_platform_estimate();
  return body_yaw ? apply_body_yaw(estimate, *body_yaw) : estimate;
}

}  // namespace

ArmTips arm_tips(double motor_arm_length, const JointAngles& joint_angles) noexcept {
  ArmTips tips;
  for (int i = 0; i < 6; ++i) {
    tips[i] = Vector3(motor_arm_length * std::cos(joint_angles[i]),
                      motor_arm_length * std::sin(joint_angles[i]), 0.0);
  }
  return tips;
}

Vector6 rod_residuals(const Kinematics& model, const Pose& t_world_platform, const ArmTips& tips) {
  return residuals_at(model, tips_in_platform(model, t_world_platform, tips));
}

Matrix6 pseudo_inverse(const Matrix6& m) noexcept {
  const Eigen::JacobiSVD<Matrix6> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Vector6 inverted;
  for (int k = 0; k < 6; ++k) {
    const double sigma = svd.singularValues()(k);
    inverted(k) = sigma > kSingularValueThreshold ? 1.0 / sigma : 0.0;
  }
  return svd.matrixV() * inverted.asDiagonal() * svd.matrixU().transpose();
}

Pose apply_body_yaw(const Pose& estimate, double yaw) noexcept {
  Pose lowered = estimate;
  lowered(2, 3) = estimate(2, 3) - kBodyYawPivotHeight;
  const Pose turn = make_pose(axis_angle_rotation(Vector3(0.0, 0.0, 1.0), yaw), Vector3::Zero());
  Pose out = multiply(turn, lowered);
  out(2, 3) += kBodyYawPivotHeight;
  return out;
}

Pose forward_kinematics(Kinematics& model, const JointAngles& joint_angles,
                        std::optional<double> body_yaw) {
  if (model.branches().size() != 6) throw InternalError(kForwardKinematicsBranchCountMessage);
  const ArmTips tips = arm_tips(model.motor_arm_length(), joint_angles);
  const Points tips_now = tips_in_platform(model, model.t_world_platform_estimate(), tips);
  const Vector6 residuals = residuals_at(model, tips_now);
  const double norm0 = euclidean_norm(residuals);
  if (norm0 > kConvergedResidual) {
    const Matrix6 jacobian = jacobian_at(model, tips_now);
    // A Jacobian with infinities or NaNs has no meaningful step: leave the estimate.
    if (!jacobian.allFinite()) return finish(model, body_yaw);
    const Vector6 delta = pseudo_inverse(jacobian) * residuals;
    line_search(model, tips, norm0, delta.head<3>(), delta.tail<3>());
  }
  return finish(model, body_yaw);
}

void reset_forward_kinematics(Kinematics& model, const Pose& t_world_platform) noexcept {
  model.set_t_world_platform_estimate(t_world_platform);
}

}  // namespace tavrino
