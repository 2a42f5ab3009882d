#pragma once

// The closed form of inverse kinematics for one branch, on its own: used by the
// solver's assembly check and by the tests of the formula.

#include "kinematics/pose.hpp"

namespace tavrino::detail {

// The per-call constants of the closed form, for an arm of length a and a rod of
// length r: r^2, a^2, r^4, a^4 and 2 r^2 a^2.
struct ArmConstants {
  double a, r2, a2, r4, a4, k;
  static ArmConstants make(double motor_arm_length, double rod_length) noexcept;
};

// The angle, wrapped into [-pi, pi), at which the arm's tip lies at the rod's
// length from the anchor p (given in the motor frame), in the assembly mode
// `solution`; bit for bit what inverse kinematics gives for that branch.
double arm_angle(const ArmConstants& constants, const Vector3& p, double solution) noexcept;

}  // namespace tavrino::detail
