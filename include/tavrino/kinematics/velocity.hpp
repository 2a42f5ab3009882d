#pragma once

// Velocity kinematics: how the platform's motion and the motors' speeds are
// tied, and how well the mechanism transmits motion at a pose.

#include <array>
#include <optional>

#include <tavrino/kinematics/model.hpp>

namespace tavrino {

// Velocity kinematics at a pose t_world_platform and the joint angles that reach
// it (as inverse_kinematics or a converged solve_forward_kinematics gives them),
// with the body turned by body_yaw about the world z axis as in
// inverse_kinematics.
//
// A platform velocity is a twist (v, w): v the velocity of the platform frame's
// origin and w the angular velocity, both in world coordinates (metres per second
// and radians per second when the model is in metres). Branch i keeps its rod at
// constant length, which ties the platform's motion to its motor's speed qdot_i:
//
//   platform.row(i) * twist == joint(i) * qdot_i
//
// with platform.row(i) = (n_i, r_i x n_i) and joint(i) = n_i . t_i, where n_i is
// the unit vector along rod i from its arm tip to its anchor, r_i the anchor
// relative to the platform's origin (world coordinates), and t_i the arm tip's
// velocity per unit motor speed (a vector of length motor_arm_length).
struct VelocityJacobians {
  Matrix6 platform;
  Vector6 joint;
};

// NaN in, NaN out: a NaN or infinite joint angle makes its branch's row of
// `platform` and its entry of `joint` NaN; a NaN or infinite pose, body yaw or
// model value makes NaN every row it reaches (a pose, every one). Never a zero
// row, which would read as a rod across its arm tip's motion.
// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; nothing else. Allocates nothing unless it throws.
VelocityJacobians velocity_jacobians(const Kinematics& model, const Pose& t_world_platform,
                                     const JointAngles& joint_angles, std::optional<double> body_yaw);

// The motor speeds that move the platform by `twist`: (platform * twist) / joint,
// branch by branch. NaN for a branch whose joint(i) is zero, a branch exactly at
// the edge of its reach, where its rod is perpendicular to its arm tip's motion
// and no motor speed produces that motion. Near the edge the speeds grow without
// bound (as 1 / transmission, see conditioning).
Vector6 joint_velocities(const VelocityJacobians& jacobians, const Vector6& twist) noexcept;

// The platform twist that the motor speeds produce: the solution of
// platform * twist == joint .* joint_velocities. All six components are NaN at a
// platform singularity, that is when the platform matrix, its columns scaled to
// unit length, is singular to working precision (Gaussian elimination with
// partial pivoting meets a pivot not above 6 units of roundoff). Near a
// singularity the twist grows without bound (see conditioning).
Vector6 platform_twist(const VelocityJacobians& jacobians, const Vector6& joint_velocities) noexcept;

// How well the mechanism works at a pose: replaces hand-tuned distance-to-limit
// epsilons with two measures that go to 0 where control is lost.
struct Conditioning {
  // Per branch, |cos| of the angle between its rod and the direction in which its
  // motor moves the arm tip: 1 when the motor pushes straight along the rod
  // (ideal), 0 at the edge of the branch's reach, where the rod is perpendicular
  // to the tip's motion and the motor can no longer move the platform along it
  // (the joint speed needed for a platform motion grows as 1 / transmission).
  std::array<double, 6> transmission;
  // 1 / condition number of the platform Jacobian (VelocityJacobians::platform)
  // with its rows normalised (each rod direction a unit vector) and its three
  // rotation columns divided by the mean anchor radius L (the mean distance of
  // the anchors from the platform's origin; rod_length if that is 0), so that a
  // rotation by 1 rad counts like a shift by L: the smallest over the largest
  // singular value, in [0, 1]. 0 at a platform singularity, where the rods stop
  // holding the platform in some direction however the motors stand; it says how
  // much a small rod error can move the platform (error amplification ~ 1 /
  // inverse_condition).
  //
  // It is computed from the eigenvalues of S^T S (S the scaled matrix), by a
  // Householder reduction to tridiagonal form and root-free QL iterations, not
  // by a full singular value decomposition: exact apart from rounding, whose
  // effect on inverse_condition is an absolute error of at most about 1e-8 (as
  // it goes to 0), and below 1e-11 for values above 1e-4: ample wherever the
  // value says anything.
  double inverse_condition;
};

// At a pose and the joint angles that reach it, with the same arguments and
// conventions as velocity_jacobians.
// NaN in, NaN out, as for velocity_jacobians: the transmission of every branch
// whose row is NaN there is NaN, and so is inverse_condition (never a small
// number that would read as "near a singularity").
// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; nothing else. Allocates nothing unless it throws.
Conditioning conditioning(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                          std::optional<double> body_yaw);

}  // namespace tavrino
