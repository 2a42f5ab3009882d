#include <tavrino/kinematics/forward_solve.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

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

// The stall rule: the error must fall below kStallFactor times what it was
// kStallWindow iterations before.
constexpr int kStallWindow = 10;
constexpr double kStallFactor = 0.5;

// Start columns shorter than this, or nearer than this (relative) to parallel,
// give no orientation. Rotation columns are dimensionless, of length 1.
constexpr double kDegenerateColumn = 1e-9;

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
// normalised, the second made orthogonal to it twice (once is not enough where
// the columns are nearly parallel: the rounding of the first pass would be
// normalised along with what is left) and normalised, the third their cross
// product. The identity when the first two columns are zero or parallel to
// rounding (see kDegenerateColumn), or not finite, where no orientation can be
// read from them.
Rotation orthonormal_rotation(const Pose& m) noexcept {
  const Vector3 c0 = m.block<3, 1>(0, 0), c1 = m.block<3, 1>(0, 1);
  const double n0 = euclidean_norm(c0);
  if (!(n0 > kDegenerateColumn && n0 < INFINITY)) return Rotation::Identity();
  const Vector3 x = c0 / n0;
  const Vector3 once = c1 - x.dot(c1) * x;
  const double n1 = euclidean_norm(once);
  if (!(n1 > kDegenerateColumn * std::max(euclidean_norm(c1), 1.0) && n1 < INFINITY)) return Rotation::Identity();
  const Vector3 y_unit = once / n1;
  Rotation r;
  if (!gram_schmidt(x, y_unit - x.dot(y_unit) * x, r)) return Rotation::Identity();
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

// Whether every branch is in the model's assembly mode at a pose that
// satisfies the rods (rotation r, origin t, the rods evaluated there): its
// joint angle nearer the closed-form angle of its own mode than that of its
// other mode. Being judged by the nearer mode, and not by how closely the
// angle comes back, the answer depends neither on the tolerance nor on the
// digits that the closed form loses where the other mode lies near half a turn
// away. A branch out of reach by rounding, right at the edge where its two
// modes meet, is not in its mode. The model has six branches, each with an
// invertible motor pose.
bool in_model_modes(const Kinematics& model, const detail::Arms& arms, const detail::Rods& rods, const Vector3& t,
                    std::optional<double> body_yaw) noexcept {
  const detail::ArmConstants constants = detail::ArmConstants::make(model.motor_arm_length(), model.rod_length());
  const double c = body_yaw ? std::cos(*body_yaw) : 1.0, s = body_yaw ? std::sin(*body_yaw) : 0.0;
  for (int i = 0; i < 6; ++i) {
    // The anchor in the world, seen from the unturned body, then in the motor frame.
    const Vector3 world = rods.offset[i] + t;
    const Vector3 body(c * world(0) + s * world(1), c * world(1) - s * world(0), world(2));
    const Vector3 p = transform_point(*model.motor_pose_inverses()[i], body);
    if (!detail::nearer_own_mode(constants, p, model.branches()[i].solution, arms.cos_angle[i], arms.sin_angle[i])) {
      return false;
    }
  }
  return true;
}

// The assembly search.

// Rotation i of n spread evenly over all orientations: the super-Fibonacci
// spiral of unit quaternions (Alexa, "Super-Fibonacci Spirals: Fast,
// Low-Discrepancy Sampling of SO(3)", 2022).
Rotation spiral_rotation(int i, int n) noexcept {
  constexpr double kTwoPi = 6.283185307179586;
  constexpr double kPhi = 1.4142135623730951;  // sqrt(2)
  constexpr double kPsi = 1.533751168755204;   // the real root of psi^4 = psi + 4
  const double s = i + 0.5;
  const double fraction = s / n;
  const double r = std::sqrt(fraction), big_r = std::sqrt(1.0 - fraction);
  const double alpha = kTwoPi * s / kPhi, beta = kTwoPi * s / kPsi;
  const double w = r * std::sin(alpha), x = r * std::cos(alpha), y = big_r * std::sin(beta), z = big_r * std::cos(beta);
  Rotation out;
  out << 1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y),
         2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
         2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y);
  return out;
}

// The angle between two rotations, 2 asin(|a - b| / (2 sqrt 2)) with the
// Frobenius norm: exact for small angles too, unlike acos of the trace.
double rotation_gap(const Rotation& a, const Rotation& b) noexcept {
  double sum = 0.0;
  for (int k = 0; k < 9; ++k) sum += (a.data()[k] - b.data()[k]) * (a.data()[k] - b.data()[k]);
  return 2.0 * std::asin(std::min(std::sqrt(sum) / 2.8284271247461903, 1.0));
}

// The assemblies found so far, at most kMaxAssemblies, each with its distance
// from home; the nearest are kept.
class Assemblies {
 public:
  Assemblies(const Pose& home, double lever, const AssemblySearch& search) noexcept
      : home_r_(orthonormal_rotation(home)), home_t_(home.block<3, 1>(0, 3)), lever_(lever), search_(search) {}

  void offer(const Pose& pose) noexcept {
    const Rotation r = pose.topLeftCorner<3, 3>();
    const Vector3 t = pose.block<3, 1>(0, 3);
    for (std::size_t k = 0; k < count_; ++k) {
      const Pose& seen = poses_[k];
      if (euclidean_norm(Vector3(seen.block<3, 1>(0, 3) - t)) <= search_.same_position &&
          rotation_gap(seen.topLeftCorner<3, 3>(), r) <= search_.same_angle) {
        return;
      }
    }
    const double distance = euclidean_norm(Vector3(t - home_t_)) + lever_ * rotation_gap(r, home_r_);
    std::size_t at = count_;
    if (count_ == kMaxAssemblies) {
      at = static_cast<std::size_t>(std::max_element(distances_.begin(), distances_.end()) - distances_.begin());
      if (!(distance < distances_[at])) return;
    } else {
      ++count_;
    }
    poses_[at] = pose;
    distances_[at] = distance;
  }

  // Sorted by distance from home into `out`; returns how many there are.
  std::size_t write(std::span<Pose> out) noexcept {
    std::array<std::size_t, kMaxAssemblies> order;
    for (std::size_t k = 0; k < count_; ++k) order[k] = k;
    std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count_),
              [&](std::size_t a, std::size_t b) { return distances_[a] < distances_[b]; });
    for (std::size_t k = 0; k < count_ && k < out.size(); ++k) out[k] = poses_[order[k]];
    return count_;
  }

 private:
  std::array<Pose, kMaxAssemblies> poses_;
  std::array<double, kMaxAssemblies> distances_;
  std::size_t count_ = 0;
  Rotation home_r_;
  Vector3 home_t_;
  double lever_;
  const AssemblySearch& search_;
};

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
  // The errors of the last kStallWindow iterations, iteration k's at k % kStallWindow.
  std::array<double, kStallWindow> history;
  for (;;) {
    if (rods.error <= allowed_error) {
      status = in_model_modes(model, arms, rods, t, body_yaw) ? Status::converged : Status::assembly_mismatch;
      break;
    }
    double& error_then = history[static_cast<std::size_t>(iterations % kStallWindow)];
    const bool stalled = iterations >= kStallWindow && !(rods.error < kStallFactor * error_then);
    error_then = rods.error;
    if (stalled || iterations >= settings.max_iterations) {
      if (stalled && !detail::singular_values_certified_above(detail::rod_jacobian(rods, length_scale),
                                                              kNearlySingular)) {
        status = Status::singular;
      }
      break;
    }
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

std::size_t find_assemblies(const Kinematics& model, const JointAngles& joint_angles,
                            std::optional<double> body_yaw, const Pose& home, std::span<Pose> out,
                            const AssemblySearch& search) noexcept {
  if (refusal(model, joint_angles, home, body_yaw) != Status::converged) return 0;
  const detail::Arms arms = detail::arms_of(model, joint_angles, body_yaw);
  Assemblies found(home, detail::mean_anchor_radius(arms), search);
  const auto solve_from = [&](const Pose& start) {
    const ForwardKinematicsSolution s = solve_forward_kinematics(model, joint_angles, start, body_yaw, search.settings);
    if (s.status == Status::converged) found.offer(s.t_world_platform);
  };
  solve_from(home);
  // Each rotation with the anchors' centroid one rod length from the arm tips'
  // centroid, up, down and to the four sides.
  Vector3 tips = Vector3::Zero(), anchors = Vector3::Zero();
  for (int i = 0; i < 6; ++i) {
    tips += arms.tip[i] / 6.0;
    anchors += arms.anchor[i] / 6.0;
  }
  const double reach = model.rod_length();
  const Vector3 directions[] = {{0, 0, 1}, {0, 0, -1}, {1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
  for (int k = 0; k < search.rotations; ++k) {
    const Rotation r = spiral_rotation(k, search.rotations);
    for (const Vector3& direction : directions) solve_from(make_pose(r, Vector3(tips + reach * direction - r * anchors)));
  }
  return found.write(out);
}

}  // namespace tavrino
