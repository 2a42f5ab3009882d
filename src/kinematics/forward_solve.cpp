#include <tavrino/kinematics/forward_solve.hpp>

#include <cmath>
#include <limits>
#include <span>

#include <tavrino/kinematics/inverse.hpp>

#include "detail/linear_algebra.hpp"
#include "detail/rods.hpp"

namespace tavrino {

namespace {

using Status = ForwardKinematicsStatus;

// Below this smallest singular value of the dimensionless Jacobian (whose
// largest is about 2 for a working torso) a stalled iteration counts as stuck at
// a singularity. The local minima that far starts run into lie at 1e-6 to 1e-5.
constexpr double kNearlySingular = 1e-4;

// Halvings of a Newton step before the iteration gives up on it.
constexpr std::size_t kLineSearchAttempts = 30;

// Allowed difference, wrapped, between a joint angle and the inverse kinematics
// at the pose.
constexpr double kJointAngleAllowance = 1e-9;

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

// Rigid motions of the platform: a start made rigid, and a pose moved by a
// twist without leaving SE(3).

// Gram-Schmidt on the columns c0 and c1; false when they are zero, parallel or
// not finite.
bool gram_schmidt(const Vector3& c0, const Vector3& c1, Rotation& out) noexcept {
  const double n0 = euclidean_norm(c0);
  if (!(n0 > 0.0 && n0 < INFINITY)) return false;
  const Vector3 x = c0 / n0;
  const Vector3 y_raw = c1 - x.dot(c1) * x;
  const double n1 = euclidean_norm(y_raw);
  if (!(n1 > 0.0 && n1 < INFINITY)) return false;
  const Vector3 y = y_raw / n1;
  out.col(0) = x;
  out.col(1) = y;
  out.col(2) = Vector3(x(1) * y(2) - x(2) * y(1), x(2) * y(0) - x(0) * y(2), x(0) * y(1) - x(1) * y(0));
  return true;
}

// The rotation block of m made orthonormal by Gram-Schmidt: the first column
// normalised, the second made orthogonal to it and normalised, the third their
// cross product. The identity when the first two columns are zero or parallel
// (or not finite), where no orientation can be read from them.
Rotation orthonormal_rotation(const Pose& m) noexcept {
  Rotation r;
  if (!gram_schmidt(m.block<3, 1>(0, 0), m.block<3, 1>(0, 1), r)) return Rotation::Identity();
  return r;
}

// exp([w]x), the rotation by |w| radians about w (Rodrigues' formula, with the
// series of sin(x)/x and (1 - cos x)/x^2 for tiny angles so that the rotation
// stays exact to rounding however small w is).
Rotation rotation_exp(const Vector3& w) noexcept {
  const double theta2 = w.dot(w);
  double a, b;  // sin(theta) / theta and (1 - cos(theta)) / theta^2
  if (theta2 < 1e-6) {
    // Truncation error below theta^6 / 5040 < 2e-22.
    a = 1.0 - theta2 / 6.0 * (1.0 - theta2 / 20.0);
    b = 0.5 - theta2 / 24.0 * (1.0 - theta2 / 30.0);
  } else {
    const double theta = std::sqrt(theta2);
    a = std::sin(theta) / theta;
    const double half = std::sin(0.5 * theta) / theta;
    b = 2.0 * half * half;  // 1 - cos written without its cancellation
  }
  // I + a [w]x + b [w]x^2, with [w]x^2 = w w^T - theta^2 I.
  const double x = w(0), y = w(1), z = w(2);
  const double diagonal = 1.0 - b * theta2;
  Rotation r;
  r(0, 0) = diagonal + b * x * x;
  r(1, 1) = diagonal + b * y * y;
  r(2, 2) = diagonal + b * z * z;
  r(0, 1) = b * x * y - a * z;
  r(1, 0) = b * x * y + a * z;
  r(0, 2) = b * x * z + a * y;
  r(2, 0) = b * x * z - a * y;
  r(1, 2) = b * y * z - a * x;
  r(2, 1) = b * y * z + a * x;
  return r;
}

// The platform at rotation r and origin t moved by the twist (v, w), taken in
// world coordinates about the platform's origin: the origin moves by v and the
// platform turns by exp([w]x) about it. The rotation is made orthonormal again
// after the product, so that it stays orthonormal to a few units of roundoff
// however many steps are taken.
void move_by_twist(Rotation& r, Vector3& t, const Vector3& v, const Vector3& w) noexcept {
  const Rotation turn = rotation_exp(w);
  Rotation turned;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) turned(i, j) = turn(i, 0) * r(0, j) + turn(i, 1) * r(1, j) + turn(i, 2) * r(2, j);
  }
  // Each product adds its rounding to the rotation's defect; made orthonormal
  // again, the defect stays at a few units of roundoff however many steps.
  // (The columns of a product of rotations are never degenerate.)
  gram_schmidt(turned.col(0), turned.col(1), r);
  t += v;
}

// One Newton step on the six rod constraints |anchor_i - tip_i| = rod_length:
// the twist (v, w), world coordinates about the platform's origin, that makes
// the linearised rod lengths equal rod_length. The system is solved in
// dimensionless form, lengths divided by rod_length and rotations multiplied by
// length_scale / rod_length, so that the step, and the rank decision with it,
// do not depend on the unit of length.
struct NewtonStep {
  Vector3 v, w;
};

NewtonStep newton_step(const detail::Rods& rods, double rod_length, double length_scale) noexcept {
  // With v = rod_length x_v and w = (rod_length / length_scale) x_w, the rows
  // (n_i, (o_i x n_i) / length_scale) times (x_v, x_w) give the change of rod
  // length i divided by rod_length.
  const Matrix6 j = detail::rod_jacobian(rods, length_scale);
  Vector6 relative_error;
  for (int i = 0; i < 6; ++i) relative_error(i) = (rod_length - rods.length[i]) / rod_length;
  // Solved directly where the conditioning is certified, else by the
  // pseudo-inverse; the scaling makes their absolute thresholds relative.
  const Vector6 x = detail::pseudo_inverse_step(j, relative_error);
  const double rotation_unit = rod_length / length_scale;
  return {Vector3(x.head<3>() * rod_length), Vector3(x.tail<3>() * rotation_unit)};
}

// Whether a pose that satisfies the rods is the assembly the model describes.
enum class Assembly {
  matches,     // inverse kinematics at the pose gives back every joint angle
  other_mode,  // some branch is nearer its angle in its other assembly mode (or at the edge of reach)
  inexact,     // every branch is in its mode, but some angle is off by more than the allowance
};

double angle_gap(double a, double b) noexcept { return std::abs(wrap_angle(a - b)); }

// The anchor of a branch in its motor frame, for the platform at the pose and
// the body turned by the yaw: (R_z(yaw) M)^-1 P (b, 1).
Vector3 anchor_in_motor_frame(const Pose& motor_inverse, const Pose& t_world_platform, std::optional<double> body_yaw,
                              const Vector3& anchor) noexcept {
  Pose unturned = Pose::Identity();
  if (body_yaw) {
    const double c = std::cos(*body_yaw), s = std::sin(*body_yaw);
    unturned.topLeftCorner<2, 2>() << c, s, -s, c;
  }
  return transform_point(multiply(motor_inverse, multiply(unturned, t_world_platform)), anchor);
}

// The model has six branches, each with an invertible motor pose.
Assembly check_assembly(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                        std::optional<double> body_yaw) noexcept {
  JointAngles angles;
  // Cannot throw: six branches with invertible motor poses, one angle each.
  inverse_kinematics_into(model, t_world_platform, body_yaw, std::span<double>(angles));
  bool all_match = true;
  for (int i = 0; i < 6; ++i) all_match = all_match && angle_gap(angles[i], joint_angles[i]) <= kJointAngleAllowance;
  if (all_match) return Assembly::matches;
  // Off somewhere: is that branch in the other mode, or only not exact enough?
  const detail::ArmConstants constants = detail::ArmConstants::make(model.motor_arm_length(), model.rod_length());
  for (int i = 0; i < 6; ++i) {
    const double gap = angle_gap(angles[i], joint_angles[i]);
    if (gap <= kJointAngleAllowance) continue;
    const Branch& branch = model.branches()[i];
    const Vector3 p =
        anchor_in_motor_frame(*model.motor_pose_inverses()[i], t_world_platform, body_yaw, branch.branch_platform);
    const double other_gap = angle_gap(detail::arm_angle(constants, p, -branch.solution), joint_angles[i]);
    // NaN angles: the branch is out of reach by rounding, at the edge where the
    // two modes meet.
    if (!(gap <= other_gap)) return Assembly::other_mode;
  }
  return Assembly::inexact;
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
  const double allowed_error = settings.tolerance * rod_length;
  const detail::Arms arms = detail::arms_of(model, joint_angles, body_yaw);
  const double length_scale = detail::mean_anchor_radius(arms);

  Rotation r = orthonormal_rotation(start);
  Vector3 t = start.block<3, 1>(0, 3);
  detail::Rods rods;
  detail::evaluate_rods(arms, r, t, rods);

  int iterations = 0;
  Status status = Status::iteration_limit;
  for (;;) {
    if (rods.error <= allowed_error) {
      switch (check_assembly(model, make_pose(r, t), joint_angles, body_yaw)) {
        case Assembly::matches: status = Status::converged; break;
        case Assembly::other_mode: status = Status::assembly_mismatch; break;
        case Assembly::inexact: status = Status::iteration_limit; break;
      }
      break;
    }
    if (iterations >= settings.max_iterations) break;
    const NewtonStep step = newton_step(rods, rod_length, length_scale);
    ++iterations;
    // Backtracking keeps the first candidate whose rod error is strictly below
    // the current one (a NaN error is never accepted).
    detail::Rods candidate;
    const bool moved = detail::backtrack(kLineSearchAttempts, step.v, step.w, [&](const Vector3& v, const Vector3& w) {
      Rotation moved_r = r;
      Vector3 moved_t = t;
      move_by_twist(moved_r, moved_t, v, w);
      detail::evaluate_rods(arms, moved_r, moved_t, candidate);
      if (!(candidate.error < rods.error)) return false;
      r = moved_r;
      t = moved_t;
      rods = candidate;
      return true;
    });
    if (!moved) {
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
