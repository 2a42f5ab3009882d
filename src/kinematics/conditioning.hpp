#pragma once

#include <array>
#include <optional>

#include "model.hpp"
#include "pose.hpp"

namespace tavrino {

// How well the mechanism works at a pose: replaces hand-tuned distance-to-limit
// epsilons with two measures that go to 0 where control is lost.
struct Conditioning {
  // Per branch, |cos| of the angle between its rod and the direction in which its
  // motor moves the arm tip: 1 when the motor pushes straight along the rod
  // (ideal), 0 at the edge of the branch's reach, where the rod is perpendicular
  // to the tip's motion and the motor can no longer move the platform along it
  // (the joint speed needed for a platform motion grows as 1 / transmission).
  std::array<double, 6> transmission;
  // 1 / condition number of the platform Jacobian (VelocityJacobians::platform)
  // with its rows normalised (each rod direction a unit vector) and its three
  // rotation columns divided by the mean anchor radius L (the mean distance of
  // the anchors from the platform's origin; rod_length if that is 0), so that a
  // rotation by 1 rad counts like a shift by L: the smallest over the largest
  // singular value, in [0, 1]. 0 at a platform singularity, where the rods stop
  // holding the platform in some direction however the motors stand; it says how
  // much a small rod error can move the platform (error amplification ~ 1 /
  // inverse_condition).
  //
  // It is computed from the eigenvalues of S^T S (S the scaled matrix), by a
  // Householder reduction to tridiagonal form and root-free QL iterations, not
  // by a full singular value decomposition: exact apart from rounding, whose
  // effect on inverse_condition is an absolute error of at most about 1e-8 (as
  // it goes to 0), and below 1e-11 for values above 1e-4: ample wherever the
  // value says anything.
  double inverse_condition;
};

// At a pose and the joint angles that reach it, with the same arguments and
// conventions as velocity_jacobians.
// Throws: InternalError(kSixBranchesMessage) unless the model has exactly six
// branches; nothing else. Allocates nothing unless it throws. Values that are
// not finite give NaN.
Conditioning conditioning(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                          std::optional<double> body_yaw);

}  // namespace tavrino
