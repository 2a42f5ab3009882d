#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstring>

#include "kinematics/kinematics.hpp"

namespace tavrino {
namespace {

// A pose whose sixteen values all differ, so that any transposition shows.
Pose distinct_values_pose() {
  Pose m;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m(r, c) = 10.0 * r + c + 0.5;
  return m;
}

TEST(Model, StartsEmptyWithIdentityEstimateWhateverTheLengths) {
  const Kinematics model(-0.5, NAN);
  EXPECT_EQ(model.motor_arm_length(), -0.5);
  EXPECT_TRUE(std::isnan(model.rod_length()));
  EXPECT_TRUE(model.branches().empty());
  EXPECT_EQ(model.t_world_platform_estimate(), Pose::Identity());
  EXPECT_EQ(model.fk_max_iterations(), 16u);
}

TEST(Model, AnchorJacobianIsIdentityBesideMinusCrossMatrix) {
  Eigen::Matrix<double, 3, 6> expected;
  expected << 1, 0, 0, 0, 3, -2,
              0, 1, 0, -3, 0, 1,
              0, 0, 1, 2, -1, 0;
  EXPECT_EQ(make_anchor_jacobian(Vector3(1, 2, 3)), expected);
  // It maps a platform velocity (v, w) to the anchor's velocity v + w x b.
  const Vector3 b(0.3, -0.7, 1.1), v(0.2, 0.4, -0.1), w(-0.5, 0.6, 0.9);
  Eigen::Matrix<double, 6, 1> twist;
  twist << v, w;
  EXPECT_TRUE((make_anchor_jacobian(b) * twist).isApprox(v + w.cross(b), 1e-15));
}

TEST(Model, AppendsBranchesUnchangedDuplicatesIncluded) {
  Kinematics model(1.0, 2.0);
  const Vector3 anchor(1, 2, 3);
  for (int i = 0; i < 2; ++i) model.add_branch(anchor, distinct_values_pose(), 0.5);
  model.add_branch(Vector3::Zero(), Pose::Zero(), -1.0);  // singular poses are accepted too
  ASSERT_EQ(model.branches().size(), 3u);
  for (int i = 0; i < 2; ++i) {
    const Branch& branch = model.branches()[i];
    EXPECT_EQ(branch.t_world_motor, distinct_values_pose());
    EXPECT_EQ(branch.branch_platform, anchor);
    EXPECT_EQ(branch.anchor_jacobian, make_anchor_jacobian(anchor));
    EXPECT_EQ(branch.solution, 0.5);
  }
  EXPECT_EQ(model.branches()[2].solution, -1.0);
}

TEST(Model, BranchIsThirtyEightDoublesInFieldOrder) {
  const Branch branch = make_branch(Vector3(1, 2, 3), distinct_values_pose(), -1.0);
  double raw[38];
  static_assert(sizeof raw == sizeof branch);
  std::memcpy(raw, &branch, sizeof raw);
  EXPECT_EQ(raw[1], 10.5);  // column-major: element (1, 0) follows (0, 0)
  // anchor_jacobian, column by column: column 3 is (0, -bz, by), column 4 (bz, 0, -bx).
  EXPECT_EQ(raw[16 + 3 * 3 + 1], -3.0);
  EXPECT_EQ(raw[16 + 4 * 3 + 2], -1.0);
  EXPECT_EQ(raw[34], 1.0);
  EXPECT_EQ(raw[36], 3.0);
  EXPECT_EQ(raw[37], -1.0);
}

}  // namespace
}  // namespace tavrino
