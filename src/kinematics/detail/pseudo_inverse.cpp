#include <Eigen/SVD>

#include "kinematics/detail/pseudo_inverse_step.hpp"

namespace tavrino::detail {

Matrix6 pseudo_inverse(const Matrix6& m) noexcept {
  const Eigen::JacobiSVD<Matrix6> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Vector6 inverted;
  for (int k = 0; k < 6; ++k) {
    const double sigma = svd.singularValues()(k);
    inverted(k) = sigma > kSingularValueThreshold ? 1.0 / sigma : 0.0;
  }
  return svd.matrixV() * inverted.asDiagonal() * svd.matrixU().transpose();
}

}  // namespace tavrino::detail
