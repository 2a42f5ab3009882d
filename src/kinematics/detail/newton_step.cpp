#include "kinematics/detail/newton_step.hpp"

#include "kinematics/detail/pseudo_inverse_step.hpp"

namespace tavrino::detail {

NewtonStep newton_step(const Rods& rods, double rod_length, double length_scale) noexcept {
  // With v = rod_length x_v and w = (rod_length / length_scale) x_w, the rows
  // (n_i, (o_i x n_i) / length_scale) times (x_v, x_w) give the change of rod
  // length i divided by rod_length.
  const Matrix6 j = rod_jacobian(rods, length_scale);
  Vector6 relative_error;
  for (int i = 0; i < 6; ++i) relative_error(i) = (rod_length - rods.length[i]) / rod_length;
  // Solved directly where the conditioning is certified, else by the
  // pseudo-inverse; the scaling makes their absolute thresholds relative.
  const Vector6 x = pseudo_inverse_step(j, relative_error);
  const double rotation_unit = rod_length / length_scale;
  return {Vector3(x.head<3>() * rod_length), Vector3(x.tail<3>() * rotation_unit)};
}

}  // namespace tavrino::detail
