#pragma once

// Backtracking along a Newton step, so that no accepted step increases the rod
// error.

#include "kinematics/detail/newton_step.hpp"

namespace tavrino::detail {

// Tries the platform moved by the step, then by half of it, a quarter, ..., at
// most kLineSearchAttempts times, and takes the first whose rod error (the
// largest deviation of a rod from rod_length) is strictly below the current one:
// r, t and rods then describe that pose, and the result is true. When none is,
// nothing changes and the result is false.
inline constexpr int kLineSearchAttempts = 30;

bool line_search(const Kinematics& model, const ArmsInWorld& arms, const NewtonStep& step, Rotation& r, Vector3& t,
                 Rods& rods) noexcept;

}  // namespace tavrino::detail
