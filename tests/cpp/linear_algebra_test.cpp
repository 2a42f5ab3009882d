// The forward step J+ r against the reference: the pseudo-inverse formed from
// Eigen's JacobiSVD with full U and V. On the Jacobians the torso produces the
// step is a certified direct solve; near and below the threshold, and for
// rank-deficient or badly scaled Jacobians, it is a one-sided Jacobi SVD. Both
// must agree with the reference and drop exactly the singular values it drops.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <Eigen/QR>
#include <cmath>
#include <limits>
#include <random>

#include <tavrino/kinematics/kinematics.hpp>

#include "kinematics/detail/linear_algebra.hpp"
#include "near_home_poses.hpp"
#include "torso_models.hpp"

namespace tavrino {
namespace {

using detail::pseudo_inverse_step;
using detail::pseudo_inverse_step_by_svd;
using detail::singular_values_certified_above;
using tavrino_test::reference_pseudo_inverse;
using tavrino_test::relative_gap;

Vector6 reference_step(const Matrix6& j, const Vector6& r) { return reference_pseudo_inverse(j) * r; }

// The Jacobian and residuals of the first step from `start` towards the angles
// of `target`, as the solver forms them.
struct StepProblem {
  Matrix6 j;
  Vector6 r;
};

StepProblem torso_problem(const Kinematics& torso, const Pose& target, const Pose& start) {
  const std::vector<double> q = inverse_kinematics(torso, target, std::nullopt);
  JointAngles angles;
  std::copy(q.begin(), q.end(), angles.begin());
  const ArmTips tips = arm_tips(torso.motor_arm_length(), angles);
  const Pose inverse = start.inverse();
  StepProblem p;
  for (int i = 0; i < 6; ++i) {
    const Branch& branch = torso.branches()[i];
    const Vector3 tip = transform_point(multiply(inverse, branch.t_world_motor), tips[i]);
    const Vector3 e = branch.branch_platform - tip;
    p.j.row(i) << e.transpose(), branch.branch_platform.cross(e).transpose();
  }
  p.r = rod_residuals(torso, start, tips);
  return p;
}

Matrix6 random_orthogonal(std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  const Matrix6 m = Matrix6::NullaryExpr([&] { return normal(rng); });
  return Eigen::HouseholderQR<Matrix6>(m).householderQ();
}

// U diag(sigma) V^T for random orthogonal U and V.
Matrix6 with_singular_values(std::mt19937_64& rng, const Vector6& sigma) {
  return random_orthogonal(rng) * sigma.asDiagonal() * random_orthogonal(rng).transpose();
}

Vector6 random_residuals(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> entry(-1e-3, 1e-3);
  return Vector6::NullaryExpr([&] { return entry(rng); });
}

TEST(PseudoInverseStep, TorsoJacobiansTakeTheCertifiedSolveAndAgreeToDoublePrecision) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(17);
  double worst_direct = 0.0, worst_svd = 0.0;
  for (int trial = 0; trial < 2000; ++trial) {
    const Pose target = tavrino_test::random_pose_near_home(rng, tavrino_test::kCentimetre, 15 * tavrino_test::kDegree);
    const Pose start = target * tavrino_test::random_pose_near_home(rng, 0.5 * tavrino_test::kCentimetre, 5 * tavrino_test::kDegree);
    const StepProblem p = torso_problem(torso, target, start);
    ASSERT_TRUE(singular_values_certified_above(p.j, detail::kCertifiedSingularValue));
    const Vector6 reference = reference_step(p.j, p.r);
    worst_direct = std::max(worst_direct, relative_gap(pseudo_inverse_step(p.j, p.r), reference));
    worst_svd = std::max(worst_svd, relative_gap(pseudo_inverse_step_by_svd(p.j, p.r), reference));
  }
  EXPECT_LT(worst_direct, 1e-12);
  EXPECT_LT(worst_svd, 1e-12);
}

// Singular values placed on both sides of the threshold and of the margin the
// direct route needs: the certificate never vouches for a matrix below the
// margin, and the step keeps and drops what the reference keeps and drops.
TEST(PseudoInverseStep, SmallestSingularValueAroundTheThreshold) {
  std::mt19937_64 rng(19);
  const double threshold = detail::kSingularValueThreshold;
  struct Case {
    double smallest;
    bool certified;
  };
  const Case cases[] = {{0.0, false},
                        {1e-9, false},
                        {threshold * (1 - 1e-8), false},
                        {threshold * (1 + 1e-8), false},
                        {detail::kCertifiedSingularValue * (1 - 1e-6), false},
                        {detail::kCertifiedSingularValue * (1 + 1e-3), true},
                        {1e-4, true}};
  for (const Case& c : cases) {
    for (int trial = 0; trial < 50; ++trial) {
      Vector6 sigma;
      sigma << 0.2, 0.08, 0.05, 5e-3, 4e-3, c.smallest;
      const Matrix6 j = with_singular_values(rng, sigma);
      const Vector6 r = random_residuals(rng);
      EXPECT_EQ(singular_values_certified_above(j, detail::kCertifiedSingularValue), c.certified) << c.smallest;
      // A kept 1/sigma of up to 1e6 carries the rounding of the other
      // directions, relative 1e-16 sigma_max / sigma_min, into the step.
      const double tolerance = 1e-10;
      EXPECT_LT(relative_gap(pseudo_inverse_step(j, r), reference_step(j, r)), tolerance) << c.smallest;
      EXPECT_LT(relative_gap(pseudo_inverse_step_by_svd(j, r), reference_step(j, r)), tolerance) << c.smallest;
    }
  }
}

// Rank-deficient Jacobians and a column scaled by 1e-4 (a platform direction
// the rods barely see): the reference drops what falls below 1e-6.
TEST(PseudoInverseStep, RankDeficientAndBadlyScaledJacobians) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(23);
  for (int trial = 0; trial < 100; ++trial) {
    const Pose target = tavrino_test::random_pose_near_home(rng, tavrino_test::kCentimetre, 15 * tavrino_test::kDegree);
    const Pose start = target * tavrino_test::random_pose_near_home(rng, 0.5 * tavrino_test::kCentimetre, 5 * tavrino_test::kDegree);
    const StepProblem p = torso_problem(torso, target, start);
    std::vector<Matrix6> variants;
    for (int k = 0; k < 6; ++k) {
      Matrix6 scaled = p.j;
      scaled.col(k) *= 1e-4;
      variants.push_back(scaled);
      Matrix6 zero_column = p.j;
      zero_column.col(k).setZero();
      variants.push_back(zero_column);
      Matrix6 repeated_row = p.j;
      repeated_row.row(k) = repeated_row.row((k + 1) % 6);
      variants.push_back(repeated_row);
    }
    variants.push_back(p.j.col(0) * p.j.row(1));  // rank one
    variants.push_back(Matrix6::Zero());
    for (const Matrix6& j : variants) {
      const Vector6 reference = reference_step(j, p.r);
      EXPECT_LT(relative_gap(pseudo_inverse_step(j, p.r), reference), 1e-10);
      EXPECT_LT(relative_gap(pseudo_inverse_step_by_svd(j, p.r), reference), 1e-10);
    }
  }
}

TEST(PseudoInverseStep, NonFiniteJacobiansAreNeverCertifiedAndStillEnd) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    Matrix6 j = Matrix6::Identity();
    j(2, 4) = bad;
    EXPECT_FALSE(singular_values_certified_above(j, detail::kCertifiedSingularValue));
    pseudo_inverse_step(j, Vector6::Ones());  // must return
  }
  EXPECT_TRUE(singular_values_certified_above(Matrix6::Identity(), 0.999));
  EXPECT_FALSE(singular_values_certified_above(Matrix6::Identity(), 1.0));
}

}  // namespace
}  // namespace tavrino
