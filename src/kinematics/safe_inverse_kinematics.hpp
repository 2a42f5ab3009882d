#pragma once

#include <optional>
#include <span>
#include <vector>

#include "model.hpp"

namespace tavrino {

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
// InternalError(kSingularPoseMessage)
// when a motor pose has an exactly zero determinant; nothing else.
void inverse_kinematics_safe_into(const Kinematics& model, const Pose& t_world_platform,
                                  std::optional<double> body_yaw,
                                  std::optional<double> max_relative_yaw,
                                  std::optional<double> max_body_yaw, std::span<double> result);

}  // namespace tavrino
