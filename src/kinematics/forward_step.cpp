#include <tavrino/kinematics/forward_step.hpp>

#include <cmath>

#include <tavrino/kinematics/internal_error.hpp>

#include "detail/double_pair.hpp"
#include "detail/linear_algebra.hpp"
#include "detail/rods.hpp"

namespace tavrino {

namespace {

constexpr double kConvergedResidual = 1e-6;
constexpr double kSmallRotation = 1e-6;
constexpr double kBodyYawPivotHeight = 0.177;

using Points = std::array<Vector3, 6>;
using detail::DoublePair;
using detail::pair_of;
using detail::splat;

// What every attempt of a call multiplies by, laid out once per call: row k of
// each motor pose M_i as two pairs of columns, and each arm tip (c_i, 1) as two
// pairs.
struct Chains {
  DoublePair motor_row[6][4][2];  // (M_i(k, 2h), M_i(k, 2h + 1))
  DoublePair tip_01[6], tip_23[6];  // (c_i0, c_i1), (c_i2, 1)

  Chains(const Kinematics& model, const ArmTips& tips) {
    for (int i = 0; i < 6; ++i) {
      const Pose& m = model.branches()[i].t_world_motor;
      for (int k = 0; k < 4; ++k) {
        motor_row[i][k][0] = pair_of(m(k, 0), m(k, 1));
        motor_row[i][k][1] = pair_of(m(k, 2), m(k, 3));
      }
      tip_01[i] = pair_of(tips[i](0), tips[i](1));
      tip_23[i] = pair_of(tips[i](2), 1.0);
    }
  }
};

// The arm tips in platform coordinates, p_i = (E^-1 M_i) (c_i, 1), for the
// pose E. Only rows 0 to 2 of each product are read, so only they are formed:
// element (r, c) summed over k from left to right as the general 4x4 product
// sums it, two columns at a time, then the point summed over the columns from
// left to right as a point transform sums it (the 1 of (c_i, 1) multiplies
// exactly).
Points tips_in_platform(const Chains& chains, const Pose& t_world_platform) {
  const Pose inverse = inverse_or_fail(t_world_platform);
  DoublePair row[3][4];
#pragma GCC unroll 12
  for (int e = 0; e < 12; ++e) row[e / 4][e % 4] = splat(inverse(e / 4, e % 4));
  Points out;
  for (int i = 0; i < 6; ++i) {
    const DoublePair(&m)[4][2] = chains.motor_row[i];
#pragma GCC unroll 3
    for (int r = 0; r < 3; ++r) {
      const DoublePair q01 = row[r][0] * m[0][0] + row[r][1] * m[1][0] + row[r][2] * m[2][0] + row[r][3] * m[3][0];
      const DoublePair q23 = row[r][0] * m[0][1] + row[r][1] * m[1][1] + row[r][2] * m[2][1] + row[r][3] * m[3][1];
      const DoublePair a = q01 * chains.tip_01[i];
      const DoublePair b = q23 * chains.tip_23[i];
      out[i](r) = a[0] + a[1] + b[0] + b[1];
    }
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
    detail::jacobian_row(Vector3(branch.branch_platform - tips[i]), branch.anchor_jacobian, out, i);
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
// candidate that strictly lowers the residual norm (a NaN norm never does).
void line_search(const Kinematics& model, ForwardKinematicsEstimate& estimate, const Chains& chains, double norm0,
                 const Vector3& v, const Vector3& w) {
  const Pose start = estimate.t_world_platform;
  detail::backtrack(model.fk_max_iterations(), v, w, [&](const Vector3& step_v, const Vector3& step_w) {
    const Pose candidate = step_pose(start, step_v, step_w);
    const double norm = euclidean_norm(residuals_at(model, tips_in_platform(chains, candidate)));
    if (!(norm0 > norm)) return false;
    estimate.t_world_platform = candidate;
    return true;
  });
}

// The result of a call: the estimate, yawed if a body yaw is given.
Pose finish(const ForwardKinematicsEstimate& estimate, std::optional<double> body_yaw) {
  return body_yaw ? apply_body_yaw(estimate.t_world_platform, *body_yaw) : estimate.t_world_platform;
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
  if (model.branches().size() != 6) throw InternalError(kSixBranchesMessage);
  return residuals_at(model, tips_in_platform(Chains(model, tips), t_world_platform));
}

Pose apply_body_yaw(const Pose& estimate, double yaw) noexcept {
  Pose lowered = estimate;
  lowered(2, 3) = estimate(2, 3) - kBodyYawPivotHeight;
  const Pose turn = make_pose(axis_angle_rotation(Vector3(0.0, 0.0, 1.0), yaw), Vector3::Zero());
  Pose out = multiply(turn, lowered);
  out(2, 3) += kBodyYawPivotHeight;
  return out;
}

Pose forward_kinematics(const Kinematics& model, ForwardKinematicsEstimate& estimate, const JointAngles& joint_angles,
                        std::optional<double> body_yaw) {
  if (model.branches().size() != 6) throw InternalError(kForwardKinematicsBranchCountMessage);
  const Chains chains(model, arm_tips(model.motor_arm_length(), joint_angles));
  const Points tips_now = tips_in_platform(chains, estimate.t_world_platform);
  const Vector6 residuals = residuals_at(model, tips_now);
  const double norm0 = euclidean_norm(residuals);
  if (norm0 > kConvergedResidual) {
    const Matrix6 jacobian = jacobian_at(model, tips_now);
    // A Jacobian with infinities or NaNs has no meaningful step: leave the estimate.
    if (!jacobian.allFinite()) return finish(estimate, body_yaw);
    const Vector6 delta = detail::pseudo_inverse_step(jacobian, residuals);
    line_search(model, estimate, chains, norm0, delta.head<3>(), delta.tail<3>());
  }
  return finish(estimate, body_yaw);
}

void reset_forward_kinematics(ForwardKinematicsEstimate& estimate, const Pose& t_world_platform) noexcept {
  estimate.t_world_platform = t_world_platform;
}

}  // namespace tavrino
