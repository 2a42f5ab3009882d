#pragma once

#include <Eigen/Core>
#include <array>
#include <optional>

#include "model.hpp"

namespace tavrino {

// One iteration of forward kinematics: improves the model's pose estimate by at
// most one line-searched pseudo-inverse step towards agreement with the six joint
// angles, and returns the estimate, turned by body_yaw about the world z axis when
// one is given (the stored estimate is never yawed), as inverse_kinematics takes
// the body yaw: the turn is computed about the vertical line through (0, 0,
// 0.177), which is the z axis itself, so the height changes only the last bits.
// Allocates nothing unless it throws: this is the call for a real-time loop, one
// step per cycle. (Throwing allocates: the C++ runtime allocates every exception
// object, and InternalError its message.)
// Throws: InternalError(kForwardKinematicsBranchCountMessage) unless the model
// has exactly six branches; InternalError(kSingularPoseMessage) when the
// estimate or a candidate pose has an exactly zero determinant; nothing else.
// The estimate is unchanged when it throws.
Pose forward_kinematics(Kinematics& model, const JointAngles& joint_angles,
                        std::optional<double> body_yaw);

// Replaces the pose estimate from which the next forward kinematics step starts,
// as given, without any check.
void reset_forward_kinematics(Kinematics& model, const Pose& t_world_platform) noexcept;

// The arm tips (L cos q_i, L sin q_i, 0) in their motor frames.
using ArmTips = std::array<Vector3, 6>;
ArmTips arm_tips(double motor_arm_length, const JointAngles& joint_angles) noexcept;

// The rods' length errors rho - |p_i - b_i| at a platform pose, for arm tips given
// in their motor frames, exactly as the forward kinematics step forms them.
// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; InternalError(kSingularPoseMessage) when t_world_platform has an
// exactly zero determinant; nothing else.
Vector6 rod_residuals(const Kinematics& model, const Pose& t_world_platform, const ArmTips& tips);

// The pose of `estimate` turned by yaw about the vertical line through (0, 0, 0.177),
// that is about the world z axis (lowered, turned and raised again).
Pose apply_body_yaw(const Pose& estimate, double yaw) noexcept;

}  // namespace tavrino
