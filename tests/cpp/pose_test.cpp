#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <random>

#include "kinematics/kinematics.hpp"

namespace tavrino {
namespace {

TEST(PoseInverse, FailsOnlyOnAnExactlyZeroDeterminant) {
  EXPECT_FALSE(try_inverse(Pose::Zero()).has_value());
  Pose repeated_row;  // small integers: the determinant comes out exactly zero
  repeated_row << 1, 2, 3, 4,
                  5, 6, 7, 8,
                  1, 2, 3, 4,
                  0, 0, 0, 1;
  EXPECT_FALSE(try_inverse(repeated_row).has_value());
  try {
    inverse_or_fail(repeated_row);
    FAIL() << "a singular pose was inverted";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), kSingularPoseMessage);
  }
  // Nearly singular is not singular.
  Pose tiny = Pose::Identity() * 1e-20;
  ASSERT_TRUE(try_inverse(tiny).has_value());
  EXPECT_DOUBLE_EQ((*try_inverse(tiny))(2, 2), 1e20);
}

TEST(PoseInverse, NanDeterminantGivesAllNanInverse) {
  Pose m = Pose::Identity();
  m(1, 2) = NAN;
  const std::optional<Pose> inverse = try_inverse(m);
  ASSERT_TRUE(inverse.has_value());
  EXPECT_TRUE(inverse->array().isNaN().all());
}

TEST(PoseInverse, InvertsGeneralWellConditionedMatrices) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    Pose m = Pose::NullaryExpr([&] { return entry(rng); }) + 4.0 * Pose::Identity();
    const std::optional<Pose> inverse = try_inverse(m);
    ASSERT_TRUE(inverse.has_value());
    EXPECT_LT((*inverse * m - Pose::Identity()).cwiseAbs().maxCoeff(), 1e-14);
  }
}

TEST(PoseProducts, MultiplyAndTransformPointAreTheGeneralOperations) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> entry(-2.0, 2.0);
  const Pose a = Pose::NullaryExpr([&] { return entry(rng); });
  const Pose b = Pose::NullaryExpr([&] { return entry(rng); });
  EXPECT_TRUE(multiply(a, b).isApprox(a * b, 1e-15));
  // The fourth component is dropped, never divided out.
  Pose scaled = Pose::Identity();
  scaled(3, 3) = 2.0;
  scaled(0, 3) = 1.0;
  EXPECT_EQ(transform_point(scaled, Vector3(1, 2, 3)), Vector3(2, 2, 3));
}

TEST(PoseProducts, AxisAngleRotationTurnsRightHanded) {
  const Rotation quarter_about_z = axis_angle_rotation(Vector3(0, 0, 1), M_PI / 2);
  EXPECT_TRUE((quarter_about_z * Vector3(1, 0, 0)).isApprox(Vector3(0, 1, 0), 1e-15));
  const Vector3 axis = Vector3(1, -2, 0.5).normalized();
  const Rotation r = axis_angle_rotation(axis, 0.7);
  EXPECT_TRUE(r.isApprox(Eigen::AngleAxisd(0.7, axis).toRotationMatrix(), 1e-15));
  // About z the zero turn is the exact identity: the body-yaw pivot relies on that.
  EXPECT_EQ(axis_angle_rotation(Vector3(0, 0, 1), 0.0), Rotation::Identity());
}

}  // namespace
}  // namespace tavrino
