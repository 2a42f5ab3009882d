#include "kinematics/detail/pseudo_inverse_step.hpp"

namespace tavrino::detail {

Vector6 pseudo_inverse_step(const Matrix6& j, const Vector6& r) noexcept {
  // With every singular value above twice the threshold, none is dropped and
  // J+ = J^-1; the margin keeps the choice away from singular values whose
  // computed value could fall on either side of 1e-6.
  if (singular_values_certified_above(j, kCertifiedSingularValue)) return solve_by_elimination(j, r);
  return pseudo_inverse_step_by_svd(j, r);
}

}  // namespace tavrino::detail
