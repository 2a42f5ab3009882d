#include "kinematics/detail/line_search.hpp"

#include "kinematics/detail/rigid_motion.hpp"

namespace tavrino::detail {

bool line_search(const Kinematics& model, const ArmsInWorld& arms, const NewtonStep& step, Rotation& r, Vector3& t,
                 Rods& rods) noexcept {
  Vector3 v = step.v, w = step.w;
  Rods candidate;
  for (int attempt = 0; attempt < kLineSearchAttempts; ++attempt) {
    Rotation moved_r = r;
    Vector3 moved_t = t;
    move_by_twist(moved_r, moved_t, v, w);
    evaluate_rods(model, arms, moved_r, moved_t, candidate);
    if (candidate.error < rods.error) {  // a NaN error is never accepted
      r = moved_r;
      t = moved_t;
      rods = candidate;
      return true;
    }
    v *= 0.5;
    w *= 0.5;
  }
  return false;
}

}  // namespace tavrino::detail
