#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>

#include <tavrino/kinematics/kinematics.hpp>

#include "internal_error_message.hpp"

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

// Each element of a product is its four products summed from left to right,
// whatever the values: signed zeros, exact cancellations, infinities and NaNs
// come out as that order gives them.
TEST(PoseProducts, ElementsSumFromLeftToRightBitForBit) {
  std::mt19937_64 rng(29);
  const double values[] = {0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e-300, -1e300, 1e300, INFINITY, -INFINITY, NAN, 0.1, -0.7};
  std::uniform_int_distribution<int> pick(0, std::size(values) - 1);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  for (int trial = 0; trial < 2000; ++trial) {
    Pose a, b;
    for (int k = 0; k < 16; ++k) {
      a.data()[k] = trial % 2 ? values[pick(rng)] : entry(rng);
      b.data()[k] = trial % 3 ? values[pick(rng)] : entry(rng);
    }
    const Pose product = multiply(a, b);
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) {
        double sum = a(r, 0) * b(0, c);
        for (int k = 1; k < 4; ++k) sum += a(r, k) * b(k, c);
        // Which NaN comes out when both operands of a product or sum are NaN
        // depends on the order in which the compiler hands them to the
        // instruction, which no order in the source fixes: a NaN is a NaN.
        if (std::isnan(sum)) {
          EXPECT_TRUE(std::isnan(product(r, c))) << r << c;
        } else {
          EXPECT_EQ(std::bit_cast<std::uint64_t>(product(r, c)), std::bit_cast<std::uint64_t>(sum)) << r << c;
        }
      }
    }
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
