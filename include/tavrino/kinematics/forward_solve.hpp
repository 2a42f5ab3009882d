#pragma once

// Forward kinematics solved to convergence: the platform pose that the six joint
// angles hold, by Newton's method from a start, with a status that says how the
// solve ended.

#include <optional>

#include <tavrino/kinematics/model.hpp>

namespace tavrino {

struct ForwardKinematicsSettings {
  // The largest rod error accepted, relative to rod_length: the solver stops once
  // max_i |rod_length - |tip_i - anchor_i|| <= tolerance * rod_length. Being
  // relative, it means the same whatever the unit of length. A tolerance below
  // what rounding allows (about 1e-15) is never reached; a NaN one never either.
  double tolerance = 1e-12;
  // The most Newton iterations; 0 (or less) only evaluates the start.
  int max_iterations = 20;
};

// How a solve ended. Only `converged` means that the pose is the answer.
enum class ForwardKinematicsStatus {
  // The relative rod error is within the tolerance, and inverse_kinematics at the
  // returned pose (same body yaw, the model's assembly modes) gives back every
  // joint angle to within 1e-9 rad, wrapped.
  converged,
  // The tolerance was not reached within max_iterations; or the error stopped
  // falling at a well-conditioned Jacobian (a tolerance below what rounding
  // allows); or the rods hold to a tolerance too loose for inverse kinematics to
  // give back the angles within 1e-9 rad, though every branch is in its mode.
  iteration_limit,
  // Every rod is satisfied, but inverse kinematics at that pose does not give
  // back the joint angles: some branch sits in its other assembly mode (or right
  // at the edge of its reach, where the two modes meet). The pose is a real
  // assembly of the mechanism, just not the one the model describes; start
  // closer to the expected pose.
  assembly_mismatch,
  // No step along the Newton direction (least squares where the Jacobian is
  // rank deficient) reduces the error, and the Jacobian of the rod constraints
  // is singular or nearly so there (dimensionless, rows normalised and rotations
  // scaled by the mean anchor radius: its smallest singular value not certified
  // above 1e-4, against about 2 for its largest). The start lies at a
  // singularity, or the iteration ran into a local minimum of the error, where
  // the Jacobian is always singular: starts far from the answer end so.
  singular,
  // A joint angle, the body yaw, the start, or the model's geometry (lengths,
  // motor poses, anchors, solutions) is NaN or infinite. Nothing is iterated.
  not_finite,
  // The model does not have exactly six branches, one of its motor poses cannot
  // be inverted (exactly zero determinant), or its rod length is not positive.
  // Nothing is iterated.
  invalid_model,
};

struct ForwardKinematicsSolution {
  // The platform in the world: a rigid transformation whose rotation block is
  // orthonormal to rounding and whose bottom row is exactly 0 0 0 1. For
  // not_finite and invalid_model it is the start as given.
  Pose t_world_platform;
  ForwardKinematicsStatus status;
  int iterations;    // Newton iterations taken (0 when the start already satisfies the tolerance)
  double rod_error;  // largest |rod_length - |tip_i - anchor_i|| at that pose, in model units (NaN if not evaluated)
};

// Forward kinematics solved to convergence: the platform pose that puts every
// rod at rod_length from its arm tip, for the six joint angles, found by Newton's
// method from `start` (for a control loop: the previous solution).
//
// Each iteration linearises the six rod constraints exactly (each row
// normalised by its rod's direction), solves the 6x6 system directly when its
// conditioning is certified and by a pseudo-inverse otherwise, and moves the pose
// rigidly (a translation and a rotation about the platform's origin), halving the
// step until the rod error falls. The rotation of `start` is first made
// orthonormal (Gram-Schmidt on its first two columns; a start whose first two
// columns are zero or parallel starts from the identity rotation), so every
// returned pose is rigid.
//
// `body_yaw` means what it means for inverse_kinematics: the body carrying the
// motors is turned by that angle about the world z axis. `start` and the result
// are world poses, so inverse_kinematics(pose, yaw) followed by
// solve_forward_kinematics(angles, start, yaw) gives back the pose.
//
// A pure function of its arguments: it keeps no state (it has nothing to do with
// a ForwardKinematicsEstimate) and may run concurrently on one shared model. No allocation, no exception; the
// outcome is in `status`, and a caller must check it.
ForwardKinematicsSolution solve_forward_kinematics(const Kinematics& model, const JointAngles& joint_angles,
                                                   const Pose& start, std::optional<double> body_yaw,
                                                   const ForwardKinematicsSettings& settings = {}) noexcept;

// The enumerator's name, "converged", "iteration_limit", ...; "unknown" for a
// value that is none of them.
const char* to_string(ForwardKinematicsStatus status) noexcept;

}  // namespace tavrino
