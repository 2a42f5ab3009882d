#pragma once

// Statics and inverse dynamics: the motor torques that hold a load on the
// platform, and those that move the platform with its payload along a motion.
//
// The model behind them:
// - the rods are massless, so each only pushes or pulls along its length;
// - each arm is balanced, its centre of mass on the motor axis, so gravity
//   puts no torque on it and only its inertia about that axis counts (arm and
//   rotor together);
// - the platform and its payload form one rigid body;
// - there is no friction, in the motors nor in the joints.
//
// Units: SI with a model in metres (kilograms, newtons, N m, m/s^2). With a
// model in another length unit, every length, velocity and moment arm is in
// that unit, and so are the torques: N times that unit.
//
// Twists and twist rates are the Vector6 (v, w) of velocity.hpp: v the velocity
// of the platform frame's origin and w the angular velocity, both in world
// coordinates, so that platform_twist's result can be passed as it is; a twist
// rate is the time derivative of a twist, (dv/dt, dw/dt), also in world
// coordinates. Torques are one per branch, in branch order, about each motor's
// axis and positive in the direction of its angle.

#include <optional>

#include <tavrino/kinematics/model.hpp>
#include <tavrino/kinematics/velocity.hpp>

namespace tavrino {

// A load on the platform: the force that its load applies to the platform, and
// the moment of that load about the platform frame's origin, both in world
// coordinates. The power the load puts into the platform moving with the twist
// (v, w) is force . v + moment . w.
struct Wrench {
  Vector3 force;
  Vector3 moment;
};

// The mass properties of the moving parts.
struct Inertia {
  // The platform and its payload, one rigid body: its mass (kg), its centre of
  // mass in platform coordinates, and its inertia tensor (kg m^2) about the
  // centre of mass, in platform axes.
  double mass = 0.0;
  Vector3 centre_of_mass = Vector3::Zero();
  Rotation inertia = Rotation::Zero();
  // Each arm together with its motor's rotor, about the motor axis (kg m^2).
  double arm_inertia = 0.0;
};

// The motor torques that hold the platform still against a wrench applied to it.
//
// In words: the rods push the platform along their lengths with forces s_i that
// together cancel the wrench, and each rod pushes its arm tip back with the
// opposite force, which its motor must hold. By virtual work, for every motion
// of the mechanism (motor speeds qdot, platform twist V):
//
//   sum_i tau_i qdot_i + wrench . V == 0.
//
// In symbols, with the Jacobians of velocity.hpp (J V == diag(j) qdot, where row
// i of J is (n_i, r_i x n_i) and j_i = n_i . t_i) and W = (force, moment):
//
//   J^T s == -W,   tau_i = j_i s_i.
//
// All six torques are NaN where J is singular to working precision (a platform
// singularity, where no motor torques can hold some wrench) or not finite, as
// at a pose out of reach (NaN angles). Near a singularity they grow without
// bound. A torque is zero, not NaN, for a branch at the edge of its reach (j_i
// zero), whose motor then takes none of the load.
Vector6 motor_torques(const VelocityJacobians& jacobians, const Wrench& wrench) noexcept;

// The same at a pose and the joint angles that reach it, with the arguments and
// conventions of velocity_jacobians.
// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; nothing else. Allocates nothing unless it throws.
Vector6 motor_torques(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                      std::optional<double> body_yaw, const Wrench& wrench);

// The wrench that gravity (an acceleration in world coordinates, such as
// (0, 0, -9.81)) applies to the platform with its payload at t_world_platform:
// the weight m g at the centre of mass, and its moment (R c) x m g about the
// platform's origin (R the pose's rotation, c the centre of mass). Holding the
// platform still takes motor_torques(..., gravity_wrench(...)): the gravity
// feed-forward of a position controller.
Wrench gravity_wrench(const Inertia& inertia, const Pose& t_world_platform, const Vector3& gravity) noexcept;

// The angular accelerations of the motors while the platform moves with `twist`
// and `twist_rate` at a pose and the joint angles that reach it.
//
// Differentiating J V == diag(j) qdot once more in time:
//
//   qddot_i = (J_i Vdot + Jdot_i V - jdot_i qdot_i) / j_i,
//
// where qdot = joint_velocities(J, j, V), and the derivatives of the Jacobians
// along the motion, taken in closed form (not by differences), come to
//
//   Jdot_i V - jdot_i qdot_i == n_i . (w x (w x r_i)) + qdot_i^2 n_i . e_i + |ddot_i|^2 / l_i,
//
// with n_i the unit vector along rod i (from the arm tip to the anchor), r_i the
// anchor relative to the platform's origin, e_i the arm from the motor axis to
// its tip, ddot_i = v + w x r_i - t_i qdot_i the rate of change of the rod
// vector, and l_i the rod's length: the centripetal acceleration of the anchor,
// that of the arm tip, and the turning of the rod.
// NaN as joint_velocities gives it: for a branch at the edge of its reach, and
// for every branch at a pose out of reach.
// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; nothing else. Allocates nothing unless it throws.
Vector6 joint_accelerations(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                            std::optional<double> body_yaw, const Vector6& twist, const Vector6& twist_rate);

// The motor torques that move the platform with `twist` and `twist_rate` at a
// pose and the joint angles that reach it, under `gravity` (world coordinates).
//
// In words: the torques that accelerate the platform with its payload and hold
// it against gravity, mapped through the Jacobians as motor_torques maps a
// wrench, plus each arm's inertia times its angular acceleration. With m, c and
// I_c of `inertia`, R the pose's rotation, rho = R c, I = R I_c R^T, and
// (v, w) = twist, (a, alpha) = twist_rate:
//
//   a_c = a + alpha x rho + w x (w x rho)            the centre of mass's acceleration
//   F   = m (a_c - g)                                the force the rods must exert
//   M   = I alpha + w x (I w) + rho x F              and its moment about the origin
//   tau = motor_torques(J, j, (-F, -M)) + arm_inertia * qddot
//
// with qddot = joint_accelerations(...). Power balances: sum_i tau_i qdot_i is
// the rate of change of the kinetic energy (platform and arms) plus the
// potential energy -m g . p_c.
// All NaN where motor_torques or joint_accelerations is NaN: at a pose out of
// reach and at a platform singularity.
// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; nothing else. Allocates nothing unless it throws.
Vector6 inverse_dynamics(const Kinematics& model, const Inertia& inertia, const Pose& t_world_platform,
                         const JointAngles& joint_angles, std::optional<double> body_yaw, const Vector6& twist,
                         const Vector6& twist_rate, const Vector3& gravity);

}  // namespace tavrino
