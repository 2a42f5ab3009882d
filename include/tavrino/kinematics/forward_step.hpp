#pragma once

// One step of the iterative forward kinematics: from a pose estimate towards the
// pose that agrees with six measured joint angles, by one line-searched
// pseudo-inverse step per call, as a control loop takes one per cycle.

#include <array>
#include <optional>

#include <tavrino/kinematics/model.hpp>

namespace tavrino {

// The state of the one-step forward kinematics: the pose from which the next
// step starts. It belongs to the caller, not to the model, so that one model can
// serve any number of estimates (one per thread, or per robot of the same
// build). A new estimate is the identity.
struct ForwardKinematicsEstimate {
  Pose t_world_platform = Pose::Identity();
};

// One iteration of forward kinematics: improves `estimate` by at most one
// line-searched pseudo-inverse step towards agreement with the six joint
// angles, and returns it, turned by body_yaw about the world z axis when one is
// given (the stored estimate is never yawed), as inverse_kinematics takes the
// body yaw: the turn is computed about the vertical line through (0, 0, 0.177),
// which is the z axis itself, so the height changes only the last bits.
//
// The step's thresholds are absolute, as this iteration has always had them: no
// step is taken once the rods' length errors have a norm of 1e-6 or less, and
// singular values of the Jacobian of 1e-6 or less are dropped. Both are lengths
// (squared, for the singular values), so the accuracy this call reaches depends
// on the unit of length: describe the torso in metres. solve_forward_kinematics
// has a relative tolerance instead.
//
// Allocates nothing unless it throws: this is the call for a real-time loop, one
// step per cycle. (Throwing allocates: the C++ runtime allocates every exception
// object, and InternalError its message.)
// Throws: InternalError(kForwardKinematicsBranchCountMessage) unless the model
// has exactly six branches; InternalError(kSingularPoseMessage) when the
// estimate or a candidate pose has an exactly zero determinant; nothing else.
// The estimate is unchanged when it throws.
Pose forward_kinematics(const Kinematics& model, ForwardKinematicsEstimate& estimate, const JointAngles& joint_angles,
                        std::optional<double> body_yaw);

// Replaces the pose from which the next forward kinematics step starts, as
// given, without any check.
void reset_forward_kinematics(ForwardKinematicsEstimate& estimate, const Pose& t_world_platform) noexcept;

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
