#pragma once

#include <optional>

#include "model.hpp"
#include "pose.hpp"

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

// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; nothing else. Allocates nothing unless it throws. Values that are
// not finite give NaN entries.
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

}  // namespace tavrino
