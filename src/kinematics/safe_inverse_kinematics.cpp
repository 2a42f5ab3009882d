#include "kinematics/safe_inverse_kinematics.hpp"

#include <span>

#include "kinematics/inverse_kinematics.hpp"
#include "kinematics/yaw_limit.hpp"

namespace tavrino {

std::vector<double> inverse_kinematics_safe(const Kinematics& model, const Pose& t_world_platform,
                                            std::optional<double> body_yaw,
                                            std::optional<double> max_relative_yaw,
                                            std::optional<double> max_body_yaw) {
  std::vector<double> result(model.branches().size() + 1);
  const double yaw = limit_body_yaw(t_world_platform, body_yaw, max_relative_yaw, max_body_yaw);
  result[0] = yaw;
  inverse_kinematics_into(model, t_world_platform, yaw, std::span<double>(result).subspan(1));
  return result;
}

}  // namespace tavrino
