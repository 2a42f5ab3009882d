#pragma once

// The six rods in world coordinates, for a platform pose and the joint angles:
// what the solver iterates on, and what velocity kinematics and conditioning
// differentiate. All fixed-size, on the stack.

#include <array>
#include <optional>

#include "kinematics/model.hpp"

namespace tavrino::detail {

// The arm tips of the six motors in the world, with the body turned by the body
// yaw (about the world z axis, as inverse kinematics turns it), and the velocity
// of each tip per unit motor speed (perpendicular to the arm, of length
// motor_arm_length). Fixed by the joint angles: worked out once per call.
struct ArmsInWorld {
  std::array<Vector3, 6> tip;
  std::array<Vector3, 6> motion;
};

// The model must have six branches.
ArmsInWorld arms_in_world(const Kinematics& model, const JointAngles& joint_angles,
                          std::optional<double> body_yaw) noexcept;

// The rods with the platform at rotation r and origin t (anchor_i = r b_i + t).
struct Rods {
  std::array<Vector3, 6> offset;     // r b_i: the anchor from the platform's origin, world axes
  std::array<Vector3, 6> direction;  // unit vector from the arm tip to the anchor (zero if they meet)
  std::array<double, 6> length;      // |anchor_i - tip_i|
  double error;                      // max_i |length_i - rod_length| (NaN if any is NaN)
};

void evaluate_rods(const Kinematics& model, const ArmsInWorld& arms, const Rotation& r, const Vector3& t,
                   Rods& out) noexcept;

// The rows (n_i, (offset_i x n_i) / length_scale): the rate of change of the rod
// lengths under a twist (v, length_scale * w) about the platform's origin.
Matrix6 rod_jacobian(const Rods& rods, double length_scale) noexcept;

// The mean distance of the anchors from the platform's origin, or rod_length
// when all anchors sit at the origin: the length that makes a rotation
// comparable to a translation.
double mean_anchor_radius(const Kinematics& model) noexcept;

}  // namespace tavrino::detail
