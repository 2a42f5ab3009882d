#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <random>

#include <tavrino/kinematics/kinematics.hpp>

#include "internal_error_message.hpp"
#include "near_home_poses.hpp"

namespace tavrino {
namespace {

constexpr double kPi = 3.141592653589793;

Pose translation(double x, double y, double z) { return make_pose(Rotation::Identity(), Vector3(x, y, z)); }

// Motors at the world origin and anchors at the platform origin: the anchor in the
// motor frame is exactly the target's translation.
Kinematics origin_model(double a, double r, std::initializer_list<double> solutions) {
  Kinematics model(a, r);
  for (double solution : solutions) model.add_branch(Vector3::Zero(), Pose::Identity(), solution);
  return model;
}

std::vector<double> unit_angles(double x, double y, std::optional<double> yaw = std::nullopt) {
  return inverse_kinematics(origin_model(1.0, 1.0, {1.0, -1.0}), translation(x, y, 0.0), yaw);
}

TEST(InverseKinematics, UnitArmEdgeCases) {
  EXPECT_EQ(unit_angles(1, 1), (std::vector<double>{kPi / 2, 0.0}));
  const std::vector<double> yawed = unit_angles(1, 1, kPi / 2);  // anchor seen at (1, -1)
  EXPECT_NEAR(yawed[0], 0.0, 1e-15);
  EXPECT_NEAR(yawed[1], -kPi / 2, 1e-15);
  for (double angle : unit_angles(3, 0)) EXPECT_TRUE(std::isnan(angle));  // beyond a + r
  EXPECT_EQ(unit_angles(2, 0), (std::vector<double>{0.0, 0.0}));  // discriminant exactly zero
  // t = pi wraps to -pi. The second root is 0/0 in the half-angle form here; the
  // angle that fits the rod is pi / 2 (tip at (0, 1, 0)), not atan2(0, 0).
  EXPECT_EQ(unit_angles(-1, 1), (std::vector<double>{-kPi, kPi / 2}));
  // On the rod sphere's far pole both roots are 0/0 and meet at pi, wrapped to -pi.
  const std::vector<double> pole = inverse_kinematics(origin_model(1.0, 1.0, {1.0, -1.0}), translation(-1, 0, 1), {});
  EXPECT_EQ(pole, (std::vector<double>{-kPi, -kPi}));
  // Any other solution scales the square root (here 2) as given.
  EXPECT_EQ(inverse_kinematics(origin_model(1, 1, {0.5}), translation(1, 1, 0), {})[0], 2 * std::atan2(3.0, 4.0));
  EXPECT_TRUE(inverse_kinematics(Kinematics(1.0, 1.0), Pose::Identity(), 0.3).empty());
}

TEST(InverseKinematics, BrokenMotorPoses) {
  Kinematics model = origin_model(1.0, 1.0, {1.0});
  Pose poisoned = Pose::Identity();
  poisoned(0, 1) = NAN;
  model.add_branch(Vector3::Zero(), poisoned, 1.0);
  const std::vector<double> angles = inverse_kinematics(model, translation(1, 1, 0), {});
  EXPECT_EQ(angles[0], kPi / 2);  // only the broken branch is lost
  EXPECT_TRUE(std::isnan(angles[1]));
  model.add_branch(Vector3::Zero(), Pose::Zero(), 1.0);
  EXPECT_EQ(tavrino_test::internal_error_of([&] { inverse_kinematics(model, Pose::Identity(), {}); }),
            kSingularPoseMessage);
}

// Every branch is solved on its own: a model of many branches gives each the
// angle that a model of that branch alone gives, whatever its position among
// the others (branches are solved in groups, so the count and the position in
// a group must not matter).
TEST(InverseKinematics, ManyBranchesEachAsIfAlone) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> jitter(-0.02, 0.02);
  Kinematics all(0.04, 0.09);
  std::vector<Kinematics> alone;
  for (int i = 0; i < 19; ++i) {
    Pose motor = ExampleTorso::motor_pose(i % 6);
    for (int k = 0; k < 12; ++k) motor(k % 3, k / 3) += jitter(rng);
    const Vector3 anchor = ExampleTorso::anchor(i % 6);
    const double solution = i % 3 == 0 ? 1.0 : -1.0;
    all.add_branch(anchor, motor, solution);
    alone.emplace_back(0.04, 0.09).add_branch(anchor, motor, solution);
  }
  for (int trial = 0; trial < 200; ++trial) {
    const Pose target = tavrino_test::random_pose_near_home(rng, 2 * tavrino_test::kCentimetre, 20 * tavrino_test::kDegree);
    const std::optional<double> yaw = trial % 2 ? std::optional<double>(jitter(rng)) : std::nullopt;
    const std::vector<double> angles = inverse_kinematics(all, target, yaw);
    for (std::size_t i = 0; i < angles.size(); ++i) {
      const double expected = inverse_kinematics(alone[i], target, yaw)[0];
      EXPECT_EQ(std::bit_cast<std::uint64_t>(angles[i]), std::bit_cast<std::uint64_t>(expected)) << i;
    }
  }
}

// A singular motor pose fails the call when the solver reaches it, wherever it
// sits; the branches before it have their angles written, nothing after it.
TEST(InverseKinematics, SingularMotorPoseFailsAtItsBranch) {
  const Pose target = translation(0.001, -0.002, 0.0);
  const Kinematics torso = ExampleTorso::make();
  std::vector<double> expected = inverse_kinematics(torso, target, {});
  for (int i = 0; i < 6; ++i) expected.push_back(expected[i]);  // the same six again
  for (std::size_t singular = 0; singular <= 12; ++singular) {
    Kinematics model(torso.motor_arm_length(), torso.rod_length());
    for (std::size_t i = 0; i < 12; ++i) {
      if (i == singular) model.add_branch(Vector3::Zero(), Pose::Zero(), 1.0);
      model.add_branch(ExampleTorso::anchor(i % 6), ExampleTorso::motor_pose(i % 6), ExampleTorso::solution(i % 6));
    }
    std::vector<double> angles(model.branches().size(), -7.0);
    const std::string error =
        tavrino_test::internal_error_of([&] { inverse_kinematics_into(model, target, {}, angles); });
    if (singular == 12) {
      EXPECT_EQ(error, "no error");
      EXPECT_EQ(angles, expected);
      continue;
    }
    EXPECT_EQ(error, kSingularPoseMessage) << singular;
    for (std::size_t i = 0; i < angles.size(); ++i) {
      EXPECT_EQ(angles[i], i < singular ? expected[i] : -7.0) << "singular at " << singular << ", branch " << i;
    }
  }
}

TEST(InverseKinematics, WrapsIntoHalfOpenRange) {
  EXPECT_EQ(wrap_angle(kPi), -kPi);
  EXPECT_EQ(wrap_angle(-kPi), -kPi);
  EXPECT_EQ(wrap_angle(std::nextafter(kPi, 0.0)), std::nextafter(-kPi, -4.0));  // the one value below -pi
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> angle(-2 * kPi, 2 * kPi);  // the range of 2 atan2
  for (int trial = 0; trial < 10000; ++trial) {
    const double t = angle(rng), wrapped = wrap_angle(t);
    EXPECT_TRUE(wrapped >= -kPi && wrapped < kPi) << t;
    const double turns = (t - wrapped) / (2 * kPi);
    EXPECT_NEAR(turns, std::round(turns), 1e-15) << t;
  }
}

// The closed form written straight from its definition, in its stated term order.
double reference_arm_angle(double a, double r, Vector3 p, double s) {
  const double r2 = r * r, a2 = a * a, X = p.x() * p.x(), Y = p.y() * p.y(), Z = p.z() * p.z();
  const double terms[15] = {-X * X,     -2 * X * Y,  -2 * X * Z,   2 * r2 * X,     2 * a2 * X,
                            -Y * Y,     -2 * Y * Z,  2 * r2 * Y,   2 * a2 * Y,     -Z * Z,
                            2 * r2 * Z, -2 * a2 * Z, -(r2 * r2),   (r2 + r2) * a2, -(a2 * a2)};
  double d = 0.0;
  for (double term : terms) d += term;
  const double n = std::sqrt(d) * s + (p.y() + p.y()) * a;
  const double t = 2 * std::atan2(n, (p.x() + p.x()) * a + X + Y + Z - r2 + a2);
  return std::floor((t + kPi) * 0.15915494309189535) * -6.283185307179586 + t;
}

TEST(InverseKinematics, AnglesFollowTheStatedOperationOrderBitForBit) {
  const Kinematics model = origin_model(0.04, 0.09, {1.0, -1.0});
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> coordinate(-0.13, 0.13);
  for (int trial = 0; trial < 2000; ++trial) {
    const Vector3 p(coordinate(rng), coordinate(rng), coordinate(rng));
    const std::vector<double> angles = inverse_kinematics(model, translation(p.x(), p.y(), p.z()), {});
    for (int i = 0; i < 2; ++i) {
      const double expected = reference_arm_angle(0.04, 0.09, p, i == 0 ? 1.0 : -1.0);
      if (std::isnan(expected)) EXPECT_TRUE(std::isnan(angles[i]));
      else EXPECT_EQ(angles[i], expected) << p.transpose();
    }
  }
}

// The half-angle form 2 atan2(n, d) loses digits where both n and d cancel (the
// other root then passes through pi); the rod error grows by the ratio of their
// summands to their size, so the bound does too.
double rod_error_bound(double a, double r, const Vector3& p, double solution) {
  const double e = p.squaredNorm() + a * a - r * r;
  const double root = std::sqrt(4 * a * a * (p.x() * p.x() + p.y() * p.y()) - e * e);
  const double n = root * solution + 2 * a * p.y(), d = 2 * a * p.x() + e;
  const double summands = root + std::abs(2 * a * p.y()) + std::abs(2 * a * p.x()) + std::abs(e);
  return 1e-12 * r * std::max(1.0, summands / std::hypot(n, d));
}

// Within 1 cm and 15 degrees of home every branch reaches, every angle puts its arm
// tip at rod length from its anchor, and a zero body yaw of either sign is no yaw.
TEST(InverseKinematics, ExampleTorsoWorkspaceIsReachableAndSatisfiesTheRods) {
  const Kinematics torso = ExampleTorso::make();
  const double a = torso.motor_arm_length(), r = torso.rod_length();
  std::mt19937_64 rng(2024);
  for (int trial = 0; trial < 5000; ++trial) {
    const Pose target = tavrino_test::random_pose_near_home(rng, tavrino_test::kCentimetre, 15 * tavrino_test::kDegree);
    const std::vector<double> angles = inverse_kinematics(torso, target, std::nullopt);
    for (std::size_t i = 0; i < angles.size(); ++i) {
      ASSERT_FALSE(std::isnan(angles[i])) << "branch " << i << " cannot reach\n" << target;
      const Branch& branch = torso.branches()[i];
      const Eigen::Vector4d anchor = target * branch.branch_platform.homogeneous();
      const Eigen::Vector4d tip =
          branch.t_world_motor * Eigen::Vector4d(a * std::cos(angles[i]), a * std::sin(angles[i]), 0, 1);
      const Vector3 anchor_in_motor = (branch.t_world_motor.inverse() * anchor).head<3>();
      EXPECT_NEAR((tip - anchor).norm(), r, rod_error_bound(a, r, anchor_in_motor, branch.solution));
    }
    if (trial < 200) {
      EXPECT_EQ(inverse_kinematics(torso, target, 0.0), angles);
      EXPECT_EQ(inverse_kinematics(torso, target, -0.0), angles);
    }
  }
}

}  // namespace
}  // namespace tavrino
