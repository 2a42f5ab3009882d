#include "kinematics/solve_forward_kinematics.hpp"

namespace tavrino {

ForwardKinematicsSolution solve_forward_kinematics(const Kinematics&, const JointAngles&, const Pose& start,
                                                   std::optional<double>, const ForwardKinematicsSettings&) noexcept {
  return {start, ForwardKinematicsStatus::invalid_model, 0, 0.0};
}

const char* to_string(ForwardKinematicsStatus status) noexcept {
  switch (status) {
    case ForwardKinematicsStatus::converged: return "converged";
    case ForwardKinematicsStatus::iteration_limit: return "iteration_limit";
    case ForwardKinematicsStatus::assembly_mismatch: return "assembly_mismatch";
    case ForwardKinematicsStatus::singular: return "singular";
    case ForwardKinematicsStatus::not_finite: return "not_finite";
    case ForwardKinematicsStatus::invalid_model: return "invalid_model";
  }
  return "unknown";
}

}  // namespace tavrino
