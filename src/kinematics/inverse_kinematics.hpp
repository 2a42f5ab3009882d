#pragma once

#include <optional>
#include <span>
#include <vector>

#include "model.hpp"

namespace tavrino {

// The motor angle of every branch, in branch order, that puts the platform at
// t_world_platform; with a body yaw, the body carrying the motors is taken as
// turned by that angle about the world z axis. Angles are wrapped into [-pi, pi).
// An unreachable branch gets NaN: that is a value, not an error.
// Throws: InternalError(kSingularPoseMessage) when a motor pose has an exactly
// zero determinant; std::bad_alloc for the returned vector; nothing else.
std::vector<double> inverse_kinematics(const Kinematics& model, const Pose& t_world_platform,
                                       std::optional<double> body_yaw);

// The same, written into `angles`, which must hold exactly one double per
// branch. Allocates nothing unless it throws (throwing allocates the exception
// and its message): this is the call for a real-time loop.
// Throws: InternalError(kSingularPoseMessage) when a motor pose has an exactly
// zero determinant; InternalError(kAngleBufferSizeMessage) when `angles` does
// not hold one double per branch (nothing is written then); nothing else. After
// a singular motor pose, the angles of the branches before it have been written.
void inverse_kinematics_into(const Kinematics& model, const Pose& t_world_platform,
                             std::optional<double> body_yaw, std::span<double> angles);

// Wraps an angle into [-pi, pi) by a floor-based rule; pi itself maps to -pi.
double wrap_angle(double t) noexcept;

}  // namespace tavrino
