#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <tavrino/kinematics/kinematics.hpp>

#include "internal_error_message.hpp"

namespace tavrino {
namespace {

using tavrino_test::internal_error_of;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::optional<double> kNone = std::nullopt;
const std::string kBandError = "min > max, or either was NaN. min = ";

// A pose whose only turn is `yaw` about z.
Pose yawed(double yaw) {
  Pose t = Pose::Identity();
  t.topLeftCorner<2, 2>() << std::cos(yaw), -std::sin(yaw), std::sin(yaw), std::cos(yaw);
  return t;
}

TEST(ClampChecked, ClampsKeepsNanAndSignedZerosAndRejectsBadBands) {
  EXPECT_EQ(clamp_checked(-2.0, -1.0, 1.0), -1.0);
  EXPECT_EQ(clamp_checked(2.0, -1.0, 1.0), 1.0);
  EXPECT_EQ(clamp_checked(0.25, -1.0, 1.0), 0.25);
  EXPECT_TRUE(std::isnan(clamp_checked(NAN, -1.0, 1.0)));
  EXPECT_TRUE(std::signbit(clamp_checked(-0.0, 0.0, -0.0)));  // [0.0, -0.0] is a valid band
  EXPECT_TRUE(std::signbit(clamp_checked(-1.0, -0.0, 0.0)));
  EXPECT_EQ(internal_error_of([] { clamp_checked(0.0, 0.5, -0.5); }), kBandError + "0.5, max = -0.5");
  EXPECT_EQ(internal_error_of([] { clamp_checked(0.0, -1.0, NAN); }), kBandError + "-1.0, max = NaN");
}

TEST(FormatDouble, ShortestRoundTripWithPointOrExponent) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "0.5"}, {-1.0, "-1.0"}, {-0.0, "-0.0"}, {100.0, "100.0"}, {1.0 / 3, "0.3333333333333333"},
      {1e-4, "0.0001"}, {1e-5, "1e-5"}, {-1.5e-7, "-1.5e-7"}, {2.5e16, "2.5e16"}, {1e16, "1e16"},
      {9999999999999998.0, "9999999999999998.0"}, {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"}, {NAN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format_double(value), text);
  std::mt19937_64 rng(17);
  for (int trial = 0; trial < 100000; ++trial) {
    const std::uint64_t bits = rng();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    const std::string text = format_double(value);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    ASSERT_NE(text.find_first_of(".e"), std::string::npos) << text;
  }
}

TEST(LimitBodyYaw, WithoutBodyYawIsZeroAndIgnoresTheLimits) {
  EXPECT_EQ(limit_body_yaw(yawed(0.4), kNone, -1.0, NAN), 0.0);
  EXPECT_EQ(limit_body_yaw(yawed(0.4), 0.3, kNone, kNone), 0.3);
}

TEST(LimitBodyYaw, RelativeBandFollowsThePlatformYawThenAbsoluteWins) {
  EXPECT_DOUBLE_EQ(limit_body_yaw(Pose::Identity(), 1.0, 0.5, kNone), 0.5);
  EXPECT_DOUBLE_EQ(limit_body_yaw(Pose::Identity(), 1.0, 0.5, 0.25), 0.25);
  EXPECT_DOUBLE_EQ(limit_body_yaw(yawed(0.3), -1.0, 0.0, kNone), 0.3);
  EXPECT_DOUBLE_EQ(limit_body_yaw(yawed(0.3), 0.35, 0.1, kNone), 0.35);
  EXPECT_DOUBLE_EQ(limit_body_yaw(yawed(0.2), 0.1, kInf, kNone), 0.1);
  EXPECT_EQ(limit_body_yaw(yawed(1.0), -3.0, 0.1, 0.5), 0.5);  // the band misses [-0.5, 0.5]
  // The platform yaw is read from row 0 only: a shear there counts as a turn.
  Pose sheared = Pose::Identity();
  sheared(0, 1) = -1.0;
  EXPECT_DOUBLE_EQ(limit_body_yaw(sheared, 0.0, 0.0, kNone), M_PI / 4);
}

TEST(LimitBodyYaw, SignOfAZeroResult) {
  EXPECT_FALSE(std::signbit(limit_body_yaw(Pose::Identity(), 0.3, kNone, 0.0)));
  EXPECT_TRUE(std::signbit(limit_body_yaw(Pose::Identity(), -0.3, kNone, 0.0)));
  EXPECT_TRUE(std::isnan(limit_body_yaw(Pose::Identity(), NAN, 1.0, 0.0)));
  // A relative yaw that cancels the platform yaw exactly leaves -0.0.
  const Pose t = yawed(-0.2);
  const double platform = std::atan2(t(0, 1), t(0, 0));
  EXPECT_EQ(limit_body_yaw(t, 1.0, platform, kNone), 0.0);
  EXPECT_TRUE(std::signbit(limit_body_yaw(t, 1.0, platform, kNone)));
}

TEST(LimitBodyYaw, InvalidLimitsFailRelativeFirst) {
  const auto error = [](std::optional<double> relative, std::optional<double> absolute) {
    return internal_error_of([&] { limit_body_yaw(Pose::Identity(), 0.1, relative, absolute); });
  };
  EXPECT_EQ(error(-0.5, kNone), kBandError + "0.5, max = -0.5");
  EXPECT_EQ(error(-kInf, kNone), kBandError + "inf, max = -inf");
  EXPECT_EQ(error(kNone, NAN), kBandError + "NaN, max = NaN");
  EXPECT_EQ(error(-1.0, -2.0), kBandError + "1.0, max = -1.0");
  EXPECT_EQ(error(-0.0, kInf), "no error");
}

TEST(SafeInverseKinematics, YawFirstThenTheAnglesSolvedWithIt) {
  const Kinematics torso = ExampleTorso::make();
  const Pose target = yawed(0.1);
  const auto angles_of = [](const std::vector<double>& safe) { return std::vector<double>(safe.begin() + 1, safe.end()); };
  const std::vector<double> safe = inverse_kinematics_safe(torso, target, 0.5, 0.2, kNone);
  ASSERT_EQ(safe.size(), 7u);
  EXPECT_DOUBLE_EQ(safe[0], 0.3);
  EXPECT_EQ(angles_of(safe), inverse_kinematics(torso, target, safe[0]));
  const std::vector<double> unyawed = inverse_kinematics_safe(torso, target, kNone, -1.0, kNone);
  EXPECT_EQ(unyawed[0], 0.0);
  EXPECT_EQ(angles_of(unyawed), inverse_kinematics(torso, target, 0.0));
  EXPECT_EQ(inverse_kinematics_safe(Kinematics(1, 1), target, 0.7, kNone, kNone), std::vector<double>{0.7});
  EXPECT_THROW(inverse_kinematics_safe(torso, target, 0.5, kNone, -0.1), InternalError);
}

}  // namespace
}  // namespace tavrino
