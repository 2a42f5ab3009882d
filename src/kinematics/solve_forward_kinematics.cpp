#include "kinematics/solve_forward_kinematics.hpp"

#include <cmath>
#include <limits>

#include "kinematics/detail/assembly_check.hpp"
#include "kinematics/detail/line_search.hpp"
#include "kinematics/detail/newton_step.hpp"
#include "kinematics/detail/pseudo_inverse_step.hpp"
#include "kinematics/detail/rigid_motion.hpp"
#include "kinematics/detail/rod_geometry.hpp"

namespace tavrino {

namespace {

using Status = ForwardKinematicsStatus;

// Below this smallest singular value of the dimensionless Jacobian (whose
// largest is about 2 for a working torso) a stalled iteration counts as stuck at
// a singularity. The local minima that far starts run into lie at 1e-6 to 1e-5.
constexpr double kNearlySingular = 1e-4;

template <class Matrix>
bool all_finite(const Matrix& m) noexcept {
  for (int k = 0; k < m.size(); ++k) {
    if (!std::isfinite(m.data()[k])) return false;
  }
  return true;
}

// The first reason, in the order of the statuses, why nothing can be iterated;
// converged stands for none. The branch count comes first: nothing else can be
// read without it.
Status refusal(const Kinematics& model, const JointAngles& joint_angles, const Pose& start,
               std::optional<double> body_yaw) noexcept {
  if (model.branches().size() != 6) return Status::invalid_model;
  bool finite = std::isfinite(model.motor_arm_length()) && std::isfinite(model.rod_length()) && all_finite(start) &&
                (!body_yaw || std::isfinite(*body_yaw));
  for (int i = 0; i < 6; ++i) {
    const Branch& branch = model.branches()[i];
    finite = finite && std::isfinite(joint_angles[i]) && all_finite(branch.t_world_motor) &&
             all_finite(branch.branch_platform) && std::isfinite(branch.solution);
  }
  if (!finite) return Status::not_finite;
  if (!(model.rod_length() > 0.0)) return Status::invalid_model;
  for (const std::optional<Pose>& inverse : model.motor_pose_inverses()) {
    if (!inverse) return Status::invalid_model;
  }
  return Status::converged;
}

}  // namespace

ForwardKinematicsSolution solve_forward_kinematics(const Kinematics& model, const JointAngles& joint_angles,
                                                   const Pose& start, std::optional<double> body_yaw,
                                                   const ForwardKinematicsSettings& settings) noexcept {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (const Status refused = refusal(model, joint_angles, start, body_yaw); refused != Status::converged) {
    return {start, refused, 0, kNaN};
  }
  const double rod_length = model.rod_length();
  const double length_scale = detail::mean_anchor_radius(model);
  const double allowed_error = settings.tolerance * rod_length;
  const detail::ArmsInWorld arms = detail::arms_in_world(model, joint_angles, body_yaw);

  Rotation r = detail::orthonormal_rotation(start);
  Vector3 t = start.block<3, 1>(0, 3);
  detail::Rods rods;
  detail::evaluate_rods(model, arms, r, t, rods);

  int iterations = 0;
  Status status = Status::iteration_limit;
  for (;;) {
    if (rods.error <= allowed_error) {
      switch (detail::check_assembly(model, make_pose(r, t), joint_angles, body_yaw)) {
        case detail::Assembly::matches: status = Status::converged; break;
        case detail::Assembly::other_mode: status = Status::assembly_mismatch; break;
        case detail::Assembly::inexact: status = Status::iteration_limit; break;
      }
      break;
    }
    if (iterations >= settings.max_iterations) break;
    const detail::NewtonStep step = detail::newton_step(rods, rod_length, length_scale);
    ++iterations;
    if (!detail::line_search(model, arms, step, r, t, rods)) {
      // Nothing along the step lowers the error. Where the Jacobian is nearly
      // singular, that is a local minimum of the error or a singular pose, as
      // far Newton starts can run into; where it is well conditioned, the
      // error has reached its rounding floor above a tolerance set too tight.
      if (!detail::singular_values_certified_above(detail::rod_jacobian(rods, length_scale), kNearlySingular)) {
        status = Status::singular;
      }
      break;
    }
  }
  return {make_pose(r, t), status, iterations, rods.error};
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
