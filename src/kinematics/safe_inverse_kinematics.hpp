#pragma once

#include <optional>
#include <vector>

#include "kinematics/model.hpp"

namespace tavrino {

// The body yaw chosen by limit_body_yaw, followed by the inverse kinematics of
// every branch with that yaw (0.0 when none was desired).
std::vector<double> inverse_kinematics_safe(const Kinematics& model, const Pose& t_world_platform,
                                            std::optional<double> body_yaw,
                                            std::optional<double> max_relative_yaw,
                                            std::optional<double> max_body_yaw);

}  // namespace tavrino
