#pragma once

// One Newton step on the six rod constraints |anchor_i - tip_i| = rod_length.

#include "kinematics/detail/rod_geometry.hpp"

namespace tavrino::detail {

struct NewtonStep {
  Vector3 v;  // translation of the platform's origin, world coordinates
  Vector3 w;  // rotation vector about the platform's origin, world coordinates
};

// The twist that makes the linearised rod lengths equal rod_length: J (v, w) =
// rod_length - length, with J's rows those of rod_jacobian. The system is
// solved in dimensionless form, lengths divided by rod_length and rotations
// multiplied by length_scale / rod_length, so that the step, and the rank
// decision with it, do not depend on the unit of length.
NewtonStep newton_step(const Rods& rods, double rod_length, double length_scale) noexcept;

}  // namespace tavrino::detail
