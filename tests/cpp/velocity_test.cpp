#include <gtest/gtest.h>

#include <Eigen/SVD>
#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "internal_error_message.hpp"
#include "near_home_poses.hpp"
#include "torso_models.hpp"

namespace tavrino {
namespace {

using namespace tavrino_test;

// (v, w) of the motion between two nearby poses, over a time 2h: the shift of
// the origin, and the axial vector of (R+ - R-) R^T.
Vector6 twist_between(const Pose& minus, const Pose& plus, const Pose& middle, double h) {
  const Eigen::Matrix3d spin = (plus.topLeftCorner<3, 3>() - minus.topLeftCorner<3, 3>()) *
                               middle.topLeftCorner<3, 3>().transpose() / (2 * h);
  Vector6 out;
  out << (plus.block<3, 1>(0, 3) - minus.block<3, 1>(0, 3)) / (2 * h), 0.5 * (spin(2, 1) - spin(1, 2)),
      0.5 * (spin(0, 2) - spin(2, 0)), 0.5 * (spin(1, 0) - spin(0, 1));
  return out;
}

// Both directions against central differences: joint_velocities against
// inverse kinematics along a twist, platform_twist against forward kinematics
// along joint velocities, with and without a body yaw.
TEST(VelocityKinematics, AgreesWithFiniteDifferences) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(41);
  std::normal_distribution<double> normal;
  constexpr double h = 1e-6;
  for (int k = 0; k < 100; ++k) {
    const Pose pose = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const std::optional<double> yaw = k % 2 ? std::optional<double>(0.7) : std::nullopt;
    const JointAngles q = angles_of(torso, pose, yaw);
    const VelocityJacobians jacobians = velocity_jacobians(torso, pose, q, yaw);

    Vector6 twist;
    for (int i = 0; i < 6; ++i) twist(i) = normal(rng) * (i < 3 ? 0.05 : 1.0);  // m/s and rad/s
    const JointAngles q_plus = angles_of(torso, moved(pose, twist, h), yaw);
    const JointAngles q_minus = angles_of(torso, moved(pose, twist, -h), yaw);
    Vector6 expected_rates;
    for (int i = 0; i < 6; ++i) expected_rates(i) = wrap_angle(q_plus[i] - q_minus[i]) / (2 * h);
    EXPECT_LT(relative_gap(joint_velocities(jacobians, twist), expected_rates), 1e-6) << k;

    Vector6 rates;
    JointAngles q_ahead = q, q_behind = q;
    for (int i = 0; i < 6; ++i) {
      rates(i) = normal(rng);
      q_ahead[i] += h * rates(i);
      q_behind[i] -= h * rates(i);
    }
    const ForwardKinematicsSolution ahead = solve_forward_kinematics(torso, q_ahead, pose, yaw);
    const ForwardKinematicsSolution behind = solve_forward_kinematics(torso, q_behind, pose, yaw);
    ASSERT_EQ(ahead.status, ForwardKinematicsStatus::converged);
    ASSERT_EQ(behind.status, ForwardKinematicsStatus::converged);
    const Vector6 expected_twist = twist_between(behind.t_world_platform, ahead.t_world_platform, pose, h);
    EXPECT_LT(relative_gap(platform_twist(jacobians, rates), expected_twist), 1e-6) << k;
  }
}

TEST(VelocityKinematics, NaNWhereTheMotionIsLost) {
  // A branch at the edge of its reach (joint 0) has no speed for a platform
  // motion; the others still do.
  const Kinematics torso = ExampleTorso::make();
  VelocityJacobians jacobians = velocity_jacobians(torso, Pose::Identity(), angles_of(torso, Pose::Identity(), {}), {});
  jacobians.joint(2) = 0.0;
  const Vector6 rates = joint_velocities(jacobians, Vector6::Constant(0.1));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(std::isnan(rates(i)), i == 2) << i;
  // Upright rods hold nothing sideways: no twist for any motor speeds.
  const Kinematics upright = leaning_rods(0.0);
  const VelocityJacobians singular = velocity_jacobians(upright, Pose::Identity(), JointAngles{}, {});
  EXPECT_TRUE(platform_twist(singular, Vector6::Constant(1.0)).array().isNaN().all());
  EXPECT_FALSE(platform_twist(velocity_jacobians(leaning_rods(0.3), Pose::Identity(), JointAngles{}, {}),
                              Vector6::Constant(1.0)).array().isNaN().any());
}

// inverse_condition is 1/cond of the scaled platform Jacobian to rounding, and
// goes to 0 with the lean of the rods; transmission is 1 there, with the tips
// moving straight along the upright rods.
TEST(Conditioning, InverseConditionMatchesTheSingularValuesAndVanishesAtASingularity) {
  const Kinematics torso = ExampleTorso::make();
  double mean_radius = 0.0;
  for (int i = 0; i < 6; ++i) mean_radius += ExampleTorso::anchor(i).norm() / 6;
  std::mt19937_64 rng(43);
  for (int k = 0; k < 100; ++k) {
    const Pose pose = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const JointAngles q = angles_of(torso, pose, {});
    Matrix6 scaled = velocity_jacobians(torso, pose, q, {}).platform;
    scaled.rightCols<3>() /= mean_radius;
    const Eigen::JacobiSVD<Matrix6> svd(scaled, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const double expected = svd.singularValues()(5) / svd.singularValues()(0);
    EXPECT_NEAR(conditioning(torso, pose, q, {}).inverse_condition, expected, 1e-12) << k;
  }
  double previous = 1.0;
  for (double lean : {0.3, 1e-2, 1e-4, 1e-6, 0.0}) {
    const Conditioning c = conditioning(leaning_rods(lean), Pose::Identity(), JointAngles{}, {});
    EXPECT_LT(c.inverse_condition, previous) << lean;
    EXPECT_LE(c.inverse_condition, std::max(lean, 1e-8)) << lean;
    for (double t : c.transmission) EXPECT_NEAR(t, std::sqrt(1 - lean * lean), 1e-15);
    previous = c.inverse_condition;
  }
}

// Raising the platform until a rod no longer reaches: that branch's
// transmission falls to 0 at the edge, the others stay away from it.
TEST(Conditioning, TransmissionVanishesAtTheEdgeOfReach) {
  const Kinematics torso = ExampleTorso::make();
  const auto pose_at = [](double z) { return make_pose(Rotation::Identity(), Vector3(0.002, 0.001, z)); };
  const auto reachable = [&](double z) {
    for (double angle : inverse_kinematics(torso, pose_at(z), {})) {
      if (std::isnan(angle)) return false;
    }
    return true;
  };
  double inside = 0.0, outside = 0.1;
  ASSERT_TRUE(reachable(inside) && !reachable(outside));
  for (int k = 0; k < 60; ++k) ((reachable(0.5 * (inside + outside)) ? inside : outside) = 0.5 * (inside + outside));
  std::array<double, 6> previous;
  previous.fill(2.0);
  int edge_branch = -1;
  for (double gap : {1e-2, 1e-4, 1e-6, 1e-8}) {
    const Pose pose = pose_at(inside - gap * (outside - 0.0));
    const Conditioning c = conditioning(torso, pose, angles_of(torso, pose, {}), {});
    const int lowest = static_cast<int>(std::min_element(c.transmission.begin(), c.transmission.end()) - c.transmission.begin());
    if (edge_branch < 0) edge_branch = lowest;
    EXPECT_EQ(lowest, edge_branch);
    EXPECT_LT(c.transmission[lowest], previous[lowest]);
    previous = c.transmission;
  }
  EXPECT_LT(previous[edge_branch], 1e-3);
  EXPECT_GT(conditioning(torso, Pose::Identity(), angles_of(torso, Pose::Identity(), {}), {}).transmission[0], 0.5);
}

TEST(VelocityKinematics, NeedSixBranches) {
  Kinematics five(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  for (int i = 0; i < 5; ++i) five.add_branch(ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), 1.0);
  const std::string refused = kSixBranchesMessage;
  EXPECT_EQ(internal_error_of([&] { velocity_jacobians(five, Pose::Identity(), JointAngles{}, {}); }), refused);
  EXPECT_EQ(internal_error_of([&] { conditioning(five, Pose::Identity(), JointAngles{}, {}); }), refused);
  EXPECT_EQ(internal_error_of([&] { rod_residuals(five, Pose::Identity(), ArmTips{}); }), refused);
}

// NaN in, NaN out: a NaN or infinite angle makes its branch's row NaN, a NaN
// or infinite pose or body yaw every row; conditioning is NaN with them, never
// a small number that would read as "near a singularity".
TEST(VelocityKinematics, NaNOrInfiniteInputsGiveNaNRows) {
  const Kinematics torso = ExampleTorso::make();
  const Pose pose = make_pose(axis_angle_rotation(Vector3(1, 0, 0), 0.1), Vector3(0.002, 0.0, 0.001));
  const JointAngles q = angles_of(torso, pose, {});
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
  struct Case {
    int angle;                      // the angle made bad, or -1
    int pose_element;               // the pose element made bad, or -1
    std::optional<double> yaw;
    double bad;
    std::array<bool, 6> nan_rows;
  };
  constexpr std::array<bool, 6> kAll{true, true, true, true, true, true};
  const Case cases[] = {
      {2, -1, {}, kNaN, {false, false, true, false, false, false}},
      {5, -1, {}, kInf, {false, false, false, false, false, true}},
      {-1, 13, {}, kNaN, kAll},   // translation y
      {-1, 12, {}, -kInf, kAll},  // translation x
      {-1, 0, {}, kNaN, kAll},    // rotation
      {-1, -1, kNaN, 0.0, kAll},
  };
  for (const Case& c : cases) {
    JointAngles angles = q;
    Pose at = pose;
    if (c.angle >= 0) angles[c.angle] = c.bad;
    if (c.pose_element >= 0) at.data()[c.pose_element] = c.bad;
    const VelocityJacobians j = velocity_jacobians(torso, at, angles, c.yaw);
    const Conditioning quality = conditioning(torso, at, angles, c.yaw);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(j.platform.row(i).array().isNaN().all(), c.nan_rows[i]) << c.angle << " " << c.pose_element << " " << i;
      EXPECT_EQ(j.platform.row(i).allFinite(), !c.nan_rows[i]);
      EXPECT_EQ(std::isnan(j.joint(i)), c.nan_rows[i]);
      EXPECT_EQ(std::isnan(quality.transmission[i]), c.nan_rows[i]);
    }
    EXPECT_TRUE(std::isnan(quality.inverse_condition));
  }
}

}  // namespace
}  // namespace tavrino
