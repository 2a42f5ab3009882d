#pragma once

// Inverse kinematics: the motor angles that put the platform at a pose, branch by
// branch in closed form; and the same with the body yaw limited first.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tavrino/kinematics/model.hpp>

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

// The body yaw chosen by limit_body_yaw, followed by the inverse kinematics of
// every branch with that yaw (0.0 when none was desired).
// Throws: InternalError("min > max, or either was NaN. ...") when a body yaw is
// given with a limit that is negative or NaN; InternalError(kSingularPoseMessage)
// when a motor pose has an exactly zero determinant; std::bad_alloc for the
// returned vector; nothing else.
std::vector<double> inverse_kinematics_safe(const Kinematics& model, const Pose& t_world_platform,
                                            std::optional<double> body_yaw,
                                            std::optional<double> max_relative_yaw,
                                            std::optional<double> max_body_yaw);

// The same, written into `result`, which must hold exactly one double more than
// there are branches: the body yaw used, then the angles. Allocates nothing unless
// it throws (throwing allocates the exception and its message): this is the call
// for a real-time loop.
// Throws: InternalError(kAngleBufferSizeMessage) when `result` has the wrong size
// (nothing is written then); InternalError("min > max, or either was NaN. ...")
// for an invalid yaw band (nothing is written then either);
// InternalError(kSingularPoseMessage) when a motor pose has an exactly zero
// determinant; nothing else.
void inverse_kinematics_safe_into(const Kinematics& model, const Pose& t_world_platform,
                                  std::optional<double> body_yaw,
                                  std::optional<double> max_relative_yaw,
                                  std::optional<double> max_body_yaw, std::span<double> result);

// The body yaw to use for a desired one: moved into the band of half-width
// max_relative_yaw around the platform's own yaw, then into [-max_body_yaw,
// max_body_yaw]. Without a desired body yaw the result is 0.0 and the limits are
// not looked at. Allocates nothing unless it throws.
// Throws: InternalError("min > max, or either was NaN. ...") when a body yaw is
// given with a limit that is negative or NaN (the relative one is checked first);
// nothing else.
double limit_body_yaw(const Pose& t_world_platform, std::optional<double> body_yaw,
                      std::optional<double> max_relative_yaw, std::optional<double> max_body_yaw);

// lo when x < lo, hi when x > hi, otherwise x (so NaN stays NaN). A band with
// lo > hi, or a NaN end, is a broken precondition: InternalError with the message
// "min > max, or either was NaN. min = <lo>, max = <hi>"; nothing else is thrown
// (bar std::bad_alloc while building that message).
double clamp_checked(double x, double lo, double hi);

// The shortest text that reads back to the same double, always with a point or an
// exponent: "0.5", "-1.0", "1e-5", "2.5e16", "NaN", "inf".
// Throws: std::bad_alloc only.
std::string format_double(double value);

}  // namespace tavrino
