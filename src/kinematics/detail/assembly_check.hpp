#pragma once

// Whether a pose that satisfies the rods is the assembly the model describes.

#include <optional>

#include "kinematics/model.hpp"

namespace tavrino::detail {

enum class Assembly {
  matches,     // inverse kinematics at the pose gives back every joint angle
  other_mode,  // some branch is nearer its angle in its other assembly mode (or at the edge of reach)
  inexact,     // every branch is in its mode, but some angle is off by more than the allowance
};

// Allowed difference, wrapped, between a joint angle and the inverse kinematics
// at the pose.
inline constexpr double kJointAngleAllowance = 1e-9;

// The model must have six branches, each with an invertible motor pose.
Assembly check_assembly(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                        std::optional<double> body_yaw) noexcept;

}  // namespace tavrino::detail
