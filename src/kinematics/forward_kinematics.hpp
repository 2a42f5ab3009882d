#pragma once

#include <Eigen/Core>
#include <array>
#include <optional>

#include "model.hpp"

namespace tavrino {

// One iteration of forward kinematics: improves the model's pose estimate by at
// most one line-searched pseudo-inverse step towards agreement with the six joint
// angles, and returns the estimate, turned by body_yaw about the vertical line
// through (0, 0, 0.177) when one is given (the stored estimate is never yawed).
// Allocates nothing: this is the call for a real-time loop, one step per cycle.
// Throws: InternalError(kForwardKinematicsBranchCountMessage) unless the model
// has exactly six branches; InternalError(kSingularPoseMessage) when the
// estimate or a candidate pose has an exactly zero determinant; nothing else.
// The estimate is unchanged when it throws.
Pose forward_kinematics(Kinematics& model, const JointAngles& joint_angles,
                        std::optional<double> body_yaw);

// Replaces the pose estimate from which the next forward kinematics step starts,
// as given, without any check.
void reset_forward_kinematics(Kinematics& model, const Pose& t_world_platform) noexcept;

// The rods' length errors rho - |p_i - b_i| at a platform pose, for arm tips given
// in their motor frames.
using ArmTips = std::array<Vector3, 6>;
ArmTips arm_tips(double motor_arm_length, const JointAngles& joint_angles) noexcept;
// Throws: InternalError(kSingularPoseMessage) when t_world_platform has an exactly
// zero determinant; nothing else. The model must have (at least) six branches.
Vector6 rod_residuals(const Kinematics& model, const Pose& t_world_platform, const ArmTips& tips);

// The Moore-Penrose pseudo-inverse from a full SVD; singular values not above the
// absolute threshold 1e-6 (or NaN) count as zero.
Matrix6 pseudo_inverse(const Matrix6& m) noexcept;

// The pose of `estimate` turned by yaw about the vertical line through (0, 0, 0.177).
Pose apply_body_yaw(const Pose& estimate, double yaw) noexcept;

}  // namespace tavrino
