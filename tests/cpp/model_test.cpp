#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <tavrino/kinematics/kinematics.hpp>

namespace tavrino {
namespace {

TEST(Model, StartsEmptyWhateverTheLengths) {
  const Kinematics model(-0.5, NAN);
  EXPECT_EQ(model.motor_arm_length(), -0.5);
  EXPECT_TRUE(std::isnan(model.rod_length()));
  EXPECT_TRUE(model.branches().empty());
  EXPECT_EQ(model.fk_max_iterations(), 16u);
}

TEST(Model, AnchorJacobianIsIdentityBesideMinusCrossMatrix) {
  Eigen::Matrix<double, 3, 6> expected;
  expected << 1, 0, 0, 0, 3, -2,
              0, 1, 0, -3, 0, 1,
              0, 0, 1, 2, -1, 0;
  EXPECT_EQ(make_anchor_jacobian(Vector3(1, 2, 3)), expected);
}

// Branches are appended as given, duplicates and singular poses included, each a
// record of 38 doubles: motor pose and anchor Jacobian column by column, anchor,
// solution.
TEST(Model, AppendsBranchesAsPlainRecords) {
  Pose motor;
  for (int k = 0; k < 16; ++k) motor(k / 4, k % 4) = k + 0.5;  // element (r, c) = 4r + c + 0.5
  Kinematics model(1.0, 2.0);
  for (int i = 0; i < 2; ++i) model.add_branch(Vector3(1, 2, 3), motor, 0.5);
  model.add_branch(Vector3::Zero(), Pose::Zero(), -1.0);
  ASSERT_EQ(model.branches().size(), 3u);
  double raw[38];
  static_assert(sizeof raw == sizeof(Branch));
  std::memcpy(raw, &model.branches()[1], sizeof raw);
  EXPECT_EQ(raw[1], 4.5);                // motor (1, 0)
  EXPECT_EQ(raw[16 + 3 * 3 + 1], -3.0);  // anchor_jacobian (1, 3) = -bz
  EXPECT_EQ(raw[16 + 4 * 3 + 2], -1.0);  // anchor_jacobian (2, 4) = -bx
  EXPECT_EQ(raw[35], 2.0);
  EXPECT_EQ(raw[37], 0.5);
  EXPECT_EQ(std::memcmp(&model.branches()[0], raw, sizeof raw), 0);
  EXPECT_EQ(model.branches()[2].solution, -1.0);
  // Beside the records, each motor pose's inverse as try_inverse gives it; the
  // singular pose has none, and adding it raised nothing.
  ASSERT_EQ(model.motor_pose_inverses().size(), 3u);
  EXPECT_EQ(model.motor_pose_inverses()[0], try_inverse(motor));
  EXPECT_FALSE(model.motor_pose_inverses()[2].has_value());
}

}  // namespace
}  // namespace tavrino
