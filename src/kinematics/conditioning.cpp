#include "kinematics/conditioning.hpp"

#include <algorithm>
#include <cmath>

#include "kinematics/detail/rod_geometry.hpp"
#include "kinematics/detail/symmetric_eigenvalues.hpp"
#include "kinematics/internal_error.hpp"

namespace tavrino {

Conditioning conditioning(const Kinematics& model, const Pose& t_world_platform, const JointAngles& joint_angles,
                          std::optional<double> body_yaw) {
  if (model.branches().size() != 6) throw InternalError(kSixBranchesMessage);
  const detail::ArmsInWorld arms = detail::arms_in_world(model, joint_angles, body_yaw);
  detail::Rods rods;
  detail::evaluate_rods(model, arms, t_world_platform.topLeftCorner<3, 3>(), t_world_platform.block<3, 1>(0, 3), rods);
  Conditioning out;
  const double arm = std::abs(model.motor_arm_length());
  for (int i = 0; i < 6; ++i) {
    // |cos| between the rod and the tip's motion, which has the arm's length;
    // rounding can take it a hair above 1.
    out.transmission[i] = std::min(std::abs(rods.direction[i].dot(arms.motion[i])) / arm, 1.0);
  }
  // The singular values of S are the square roots of the eigenvalues of S^T S.
  const Matrix6 s = detail::rod_jacobian(rods, detail::mean_anchor_radius(model));
  Matrix6 gram;
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j <= i; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 6; ++k) sum += s(k, i) * s(k, j);
      gram(i, j) = sum;
    }
  }
  const std::array<double, 6> eigenvalues = detail::symmetric_eigenvalues(gram);
  double smallest = eigenvalues[0], largest = eigenvalues[0];
  bool finite = true;
  for (double value : eigenvalues) {
    finite = finite && std::isfinite(value);
    smallest = std::min(smallest, value);
    largest = std::max(largest, value);
  }
  // Rounding can leave the smallest eigenvalue of a singular S a hair below 0.
  out.inverse_condition = finite && largest > 0.0 ? std::sqrt(std::max(smallest, 0.0) / largest) : NAN;
  return out;
}

}  // namespace tavrino
