#pragma once

namespace tavrino::detail {

// The order of the linear systems the solvers work on: one row per branch, one
// column per component of a twist.
inline constexpr int kN = 6;

}  // namespace tavrino::detail
