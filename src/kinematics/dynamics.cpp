#include <tavrino/kinematics/dynamics.hpp>

#include <cmath>
#include <limits>

#include <tavrino/kinematics/internal_error.hpp>

#include "detail/linear_algebra.hpp"
#include "detail/rods.hpp"

namespace tavrino {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Vector3 cross(const Vector3& a, const Vector3& b) noexcept {
  return Vector3(a(1) * b(2) - a(2) * b(1), a(2) * b(0) - a(0) * b(2), a(0) * b(1) - a(1) * b(0));
}

// The arms and rods at a pose, and the Jacobians built from them, as
// velocity_jacobians builds them.
struct Mechanism {
  detail::Arms arms;
  detail::Rods rods;
  VelocityJacobians jacobians;
};

Mechanism mechanism_at(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                       std::optional<double> body_yaw) {
  if (model.branches().size() != 6) throw InternalError(kSixBranchesMessage);
  Mechanism m;
  m.arms = detail::arms_of(model, joint_angles, body_yaw);
  detail::evaluate_rods(m.arms, t_world_platform.topLeftCorner<3, 3>(), t_world_platform.block<3, 1>(0, 3), m.rods);
  m.jacobians.platform = detail::rod_jacobian(m.rods, 1.0);
  for (int i = 0; i < 6; ++i) m.jacobians.joint(i) = m.rods.direction[i].dot(m.arms.motion[i]);
  return m;
}

// The motor angles' second derivatives, from the mechanism at the pose; see
// joint_accelerations in the header for the formula.
Vector6 accelerations(const Kinematics& model, const Mechanism& m, std::optional<double> body_yaw,
                      const Vector6& twist, const Vector6& twist_rate) noexcept {
  const Vector6 speeds = joint_velocities(m.jacobians, twist);
  const Vector3 v = twist.head<3>(), w = twist.tail<3>();
  const double cos_yaw = body_yaw ? std::cos(*body_yaw) : 1.0;
  const double sin_yaw = body_yaw ? std::sin(*body_yaw) : 0.0;
  Vector6 out;
  for (int i = 0; i < 6; ++i) {
    const Vector3& n = m.rods.direction[i];
    const Vector3& r = m.rods.offset[i];
    const Pose& motor = model.branches()[i].t_world_motor;
    // The arm from the motor's axis to its tip: the tip less the pivot, which
    // the body's yaw turns about the world z axis as it turns the tip.
    const Vector3 pivot(cos_yaw * motor(0, 3) - sin_yaw * motor(1, 3), sin_yaw * motor(0, 3) + cos_yaw * motor(1, 3),
                        motor(2, 3));
    const Vector3 arm = m.arms.tip[i] - pivot;
    const double qdot = speeds(i);
    const Vector3 rod_rate = v + cross(w, r) - m.arms.motion[i] * qdot;
    double driven = 0.0;
    for (int k = 0; k < 6; ++k) driven += m.jacobians.platform(i, k) * twist_rate(k);
    const double turning = n.dot(cross(w, cross(w, r))) + qdot * qdot * n.dot(arm) +
                           rod_rate.squaredNorm() / m.rods.length[i];
    const double joint = m.jacobians.joint(i);
    out(i) = joint != 0.0 ? (driven + turning) / joint : kNaN;
  }
  return out;
}

}  // namespace

Vector6 motor_torques(const VelocityJacobians& jacobians, const Wrench& wrench) noexcept {
  // J^T s == -W: the rod forces s that cancel the wrench.
  const Matrix6 transposed = jacobians.platform.transpose();
  Vector6 load;
  load << -wrench.force, -wrench.moment;
  const std::optional<Vector6> rod_forces =
      detail::solve_linear(transposed, load, detail::Columns::unit_length, detail::kSingularPivot);
  if (!rod_forces) return Vector6::Constant(kNaN);
  return jacobians.joint.cwiseProduct(*rod_forces);
}

Vector6 motor_torques(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                      std::optional<double> body_yaw, const Wrench& wrench) {
  return motor_torques(mechanism_at(model, t_world_platform, joint_angles, body_yaw).jacobians, wrench);
}

Wrench gravity_wrench(const Inertia& inertia, const Pose& t_world_platform, const Vector3& gravity) noexcept {
  const Vector3 weight = inertia.mass * gravity;
  const Vector3 arm = t_world_platform.topLeftCorner<3, 3>() * inertia.centre_of_mass;
  return {weight, cross(arm, weight)};
}

Vector6 joint_accelerations(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                            std::optional<double> body_yaw, const Vector6& twist, const Vector6& twist_rate) {
  const Mechanism m = mechanism_at(model, t_world_platform, joint_angles, body_yaw);
  return accelerations(model, m, body_yaw, twist, twist_rate);
}

Vector6 inverse_dynamics(const Kinematics& model, const Inertia& inertia, const Pose& t_world_platform,
                         const JointAngles& joint_angles, std::optional<double> body_yaw, const Vector6& twist,
                         const Vector6& twist_rate, const Vector3& gravity) {
  const Mechanism m = mechanism_at(model, t_world_platform, joint_angles, body_yaw);
  const Rotation r = t_world_platform.topLeftCorner<3, 3>();
  const Vector3 w = twist.tail<3>(), alpha = twist_rate.tail<3>();
  const Vector3 rho = r * inertia.centre_of_mass;
  const Rotation world_inertia = r * inertia.inertia * r.transpose();
  const Vector3 centre_acceleration = twist_rate.head<3>() + cross(alpha, rho) + cross(w, cross(w, rho));
  const Vector3 force = inertia.mass * (centre_acceleration - gravity);
  const Vector3 moment = world_inertia * alpha + cross(w, world_inertia * w) + cross(rho, force);
  const Vector6 platform = motor_torques(m.jacobians, Wrench{-force, -moment});
  return platform + inertia.arm_inertia * accelerations(model, m, body_yaw, twist, twist_rate);
}

}  // namespace tavrino
