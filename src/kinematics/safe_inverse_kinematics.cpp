#include "kinematics/safe_inverse_kinematics.hpp"

#include "kinematics/internal_error.hpp"
#include "kinematics/inverse_kinematics.hpp"
#include "kinematics/yaw_limit.hpp"

namespace tavrino {

void inverse_kinematics_safe_into(const Kinematics& model, const Pose& t_world_platform,
                                  std::optional<double> body_yaw,
                                  std::optional<double> max_relative_yaw,
                                  std::optional<double> max_body_yaw, std::span<double> result) {
  if (result.size() != model.branches().size() + 1) throw InternalError(kAngleBufferSizeMessage);
  const double yaw = limit_body_yaw(t_world_platform, body_yaw, max_relative_yaw, max_body_yaw);
  result[0] = yaw;
  inverse_kinematics_into(model, t_world_platform, yaw, result.subspan(1));
}

std::vector<double> inverse_kinematics_safe(const Kinematics& model, const Pose& t_world_platform,
                                            std::optional<double> body_yaw,
                                            std::optional<double> max_relative_yaw,
                                            std::optional<double> max_body_yaw) {
  std::vector<double> result(model.branches().size() + 1);
  inverse_kinematics_safe_into(model, t_world_platform, body_yaw, max_relative_yaw, max_body_yaw,
                               result);
  return result;
}

}  // namespace tavrino
