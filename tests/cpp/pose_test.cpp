#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "internal_error_message.hpp"
#include "kinematics/kinematics.hpp"

namespace tavrino {
namespace {

TEST(PoseInverse, FailsOnlyOnAnExactlyZeroDeterminant) {
  EXPECT_FALSE(try_inverse(Pose::Zero()).has_value());
  Pose repeated_row;  // small integers: the determinant comes out exactly zero
  repeated_row << 1, 2, 3, 4,  5, 6, 7, 8,  1, 2, 3, 4,  0, 0, 0, 1;
  EXPECT_FALSE(try_inverse(repeated_row).has_value());
  EXPECT_EQ(tavrino_test::internal_error_of([&] { inverse_or_fail(repeated_row); }), kSingularPoseMessage);
  const std::optional<Pose> tiny = try_inverse(Pose::Identity() * 1e-20);  // nearly singular is not singular
  ASSERT_TRUE(tiny.has_value());
  EXPECT_DOUBLE_EQ((*tiny)(2, 2), 1e20);
  Pose poisoned = Pose::Identity();
  poisoned(1, 2) = NAN;
  ASSERT_TRUE(try_inverse(poisoned).has_value());
  EXPECT_TRUE(try_inverse(poisoned)->array().isNaN().all());
}

TEST(PoseInverse, InvertsGeneralWellConditionedMatrices) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    const Pose m = Pose::NullaryExpr([&] { return entry(rng); }) + 4.0 * Pose::Identity();
    const std::optional<Pose> inverse = try_inverse(m);
    ASSERT_TRUE(inverse.has_value());
    EXPECT_LT((*inverse * m - Pose::Identity()).cwiseAbs().maxCoeff(), 1e-14);
    EXPECT_TRUE(multiply(*inverse, m).isApprox(*inverse * m, 1e-15));
  }
}

TEST(PoseProducts, PointsKeepTheirFourthComponentUndivided) {
  Pose scaled = Pose::Identity();
  scaled(3, 3) = 2.0;
  scaled(0, 3) = 1.0;
  EXPECT_EQ(transform_point(scaled, Vector3(1, 2, 3)), Vector3(2, 2, 3));
}

}  // namespace
}  // namespace tavrino
