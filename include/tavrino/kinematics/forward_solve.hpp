#pragma once

// Forward kinematics solved to convergence: a platform pose that the six joint
// angles hold, by Newton's method from a start, with a status that says how the
// solve ended; and every such pose, for start-up.
//
// A parallel mechanism holds several poses with the same joint angles and the
// same assembly modes: the rods fit the arm tips in more than one way. The
// torso's working pose is one of them; the others lie far away (for the example
// torso, turned by about 110 degrees and 14 cm off), and are just as exact. A
// solve finds one pose that the angles hold, normally the one nearest its
// start. So start from the last pose while tracking, from home at start-up when
// the torso is known to be near it, and otherwise list them all with
// find_assemblies and choose.

#include <cstddef>
#include <optional>
#include <span>

#include <tavrino/kinematics/model.hpp>

namespace tavrino {

struct ForwardKinematicsSettings {
  // The largest rod error accepted, relative to rod_length: the solve ends
  // `converged` once max_i |rod_length - |tip_i - anchor_i|| <= tolerance *
  // rod_length and every branch is in its assembly mode. This alone decides the
  // accuracy: near a regular pose the pose error is of the order of tolerance *
  // rod_length. Being relative, it means the same whatever the unit of length.
  // A tolerance below what rounding allows (about 1e-15) is never reached; a
  // NaN one never either.
  double tolerance = 1e-12;
  // The most Newton iterations; 0 (or less) only evaluates the start.
  int max_iterations = 20;
};

// How a solve ended.
enum class ForwardKinematicsStatus {
  // The relative rod error is within the tolerance, and every branch is in the
  // model's assembly mode: its joint angle is nearer the angle that inverse
  // kinematics gives at the pose in the branch's own mode than the angle of its
  // other mode. The pose is held by the angles; whether it is the torso's
  // actual pose is the caller's to judge (see the top of this header).
  converged,
  // The tolerance was not reached within max_iterations; or the error stopped
  // falling at a well-conditioned Jacobian (a tolerance below what rounding
  // allows), or stalled there (see solve_forward_kinematics).
  iteration_limit,
  // Every rod is satisfied, but some branch sits in its other assembly mode (or
  // right at the edge of its reach, where the two modes meet): its joint angle
  // is nearer the other mode's angle. The pose is a real assembly of the
  // mechanism, just not in the modes the model describes; start closer to the
  // expected pose.
  assembly_mismatch,
  // No step along the Newton direction (least squares where the Jacobian is
  // rank deficient) reduces the error, or the error stalled, and the Jacobian of
  // the rod constraints is singular or nearly so there (dimensionless, rows
  // normalised and rotations scaled by the mean anchor radius: its smallest
  // singular value not certified above 1e-4, against about 2 for its largest).
  // The start lies at a singularity, or the iteration ran into a local minimum
  // of the error, where the Jacobian is always singular: starts far from the
  // answer end so.
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
  // orthonormal to rounding (with determinant +1) and whose bottom row is
  // exactly 0 0 0 1, whatever the start. For not_finite and invalid_model, where
  // nothing is iterated, it is the start as given.
  Pose t_world_platform;
  ForwardKinematicsStatus status;
  int iterations;    // Newton iterations taken (0 when the start already satisfies the tolerance)
  double rod_error;  // largest |rod_length - |tip_i - anchor_i|| at that pose, in model units (NaN if not evaluated)
};

// Forward kinematics solved to convergence: a platform pose that puts every rod
// at rod_length from its arm tip, for the six joint angles, found by Newton's
// method from `start` (for a control loop: the previous solution).
//
// The rotation of `start` is first made orthonormal: Gram-Schmidt on its first
// two columns, orthogonalised twice. A start whose first column is shorter than
// 1e-9, or whose second column is within 1e-9 (relative) of being parallel to
// the first or shorter than 1e-9 (zero or parallel to rounding, where no
// orientation can be read from them), starts from the identity rotation.
//
// Each iteration linearises the six rod constraints exactly (each row
// normalised by its rod's direction), solves the 6x6 system directly when its
// conditioning is certified and by a pseudo-inverse otherwise, and moves the pose
// rigidly (a translation and a rotation about the platform's origin), halving the
// step until the rod error falls. It ends when the rods hold to the tolerance
// (converged or assembly_mismatch); when no halving of the step lowers the
// error; when the error stalls, not falling below half of what it was ten
// iterations before (an error that creeps down, as it does near a pose where the
// mechanism is singular); or after max_iterations. The last three end
// `singular` at a nearly singular Jacobian and `iteration_limit` otherwise.
//
// `body_yaw` means what it means for inverse_kinematics: the body carrying the
// motors is turned by that angle about the world z axis. `start` and the result
// are world poses, so inverse_kinematics(pose, yaw) followed by
// solve_forward_kinematics(angles, start, yaw) gives back the pose, when the
// start is nearer it than any other assembly.
//
// A pure function of its arguments: it keeps no state (it has nothing to do with
// a ForwardKinematicsEstimate) and may run concurrently on one shared model. No
// allocation, no exception; the outcome is in `status`, and a caller must check
// it.
ForwardKinematicsSolution solve_forward_kinematics(const Kinematics& model, const JointAngles& joint_angles,
                                                   const Pose& start, std::optional<double> body_yaw,
                                                   const ForwardKinematicsSettings& settings = {}) noexcept;

// The enumerator's name, "converged", "iteration_limit", ...; "unknown" for a
// value that is none of them.
const char* to_string(ForwardKinematicsStatus status) noexcept;

// How find_assemblies searches and when two of its poses are one.
struct AssemblySearch {
  // Two converged poses whose origins are within same_position (in the model's
  // unit of length) and whose rotations differ by at most same_angle radians are
  // the same assembly.
  double same_position = 1e-7;
  double same_angle = 1e-7;
  // How many rotations the search starts from, six starts each (see
  // find_assemblies).
  int rotations = 48;
  // The solve from each start.
  ForwardKinematicsSettings settings{1e-12, 20};
};

// More distinct real assemblies than this a six-branch mechanism of this kind
// cannot have (its forward kinematics has at most 40 solutions).
inline constexpr std::size_t kMaxAssemblies = 40;

// Every distinct pose, in the model's assembly modes, that the joint angles
// hold, as far as the search below finds them: for start-up, when the torso's
// pose is not known. Each is a `converged` solution of solve_forward_kinematics,
// none is listed twice (see AssemblySearch), and they come sorted by their
// distance from `home`: the distance between the platform's origins plus the
// angle between the rotations (in radians, the rotation of home made orthonormal
// as a start is) times the mean distance of the anchors from the platform's
// origin, that is roughly how far the rotation moves an anchor.
//
// The search: solve_forward_kinematics from `home`, then from fixed starts that
// cover orientations and reach: `rotations` (48) rotations spread evenly over
// all orientations (a super-Fibonacci spiral), each with the platform placed so
// that its anchors' centroid lies one rod length from the arm tips' centroid
// along each of six directions (up, down and four sideways, world axes): 289
// solves. It finds every assembly whose basin of convergence holds one of those
// starts. On the example torso and others, a third as many rotations already
// found every converged pose that 20 000 random starts reached, for each of
// many angle sets; the default keeps a margin of three. It cannot promise more:
// a list sure to be complete would need every root of the mechanism's
// polynomial system. Degenerate models whose assemblies form a continuum (say,
// two branches alike) give some of its poses.
//
// Writes the first out.size() of them (the nearest to home) into `out` and
// returns how many it found in all, at most kMaxAssemblies (the nearest are
// kept). Returns 0 where solve_forward_kinematics would not iterate
// (not_finite, invalid_model). No allocation, no exception; a few
// milliseconds.
std::size_t find_assemblies(const Kinematics& model, const JointAngles& joint_angles,
                            std::optional<double> body_yaw, const Pose& home, std::span<Pose> out,
                            const AssemblySearch& search = {}) noexcept;

}  // namespace tavrino
