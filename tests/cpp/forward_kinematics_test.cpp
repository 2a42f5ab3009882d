#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "kinematics/kinematics.hpp"
#include "near_home_poses.hpp"

namespace tavrino {
namespace {

using namespace tavrino_test;

constexpr double kInf = std::numeric_limits<double>::infinity();

bool same_bits(const Pose& a, const Pose& b) { return std::memcmp(a.data(), b.data(), sizeof(Pose)) == 0; }

JointAngles solve_angles(const Kinematics& model, const Pose& target) {
  const std::vector<double> angles = inverse_kinematics(model, target, std::nullopt);
  JointAngles q;
  std::copy(angles.begin(), angles.end(), q.begin());
  return q;
}

double residual_norm(const Kinematics& model, const JointAngles& q) {
  return rod_residuals(model, model.t_world_platform_estimate(), arm_tips(model.motor_arm_length(), q)).norm();
}

std::string error_of(Kinematics& model, const JointAngles& q) {
  try {
    forward_kinematics(model, q, std::nullopt);
  } catch (const InternalError& error) {
    return error.message();
  }
  return "no error";
}

// A pose near home that a step from it would improve, and the angles of the target.
struct Perturbed {
  Kinematics torso = ExampleTorso::make();
  Pose target, start;
  JointAngles q;
  explicit Perturbed(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    target = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    start = target * random_pose_near_home(rng, 0.5 * kCentimetre, 5 * kDegree);
    q = solve_angles(torso, target);
    reset_forward_kinematics(torso, start);
  }
};

TEST(ForwardKinematics, NeedsExactlySixBranches) {
  for (int count : {0, 5, 7}) {
    Kinematics model(0.04, 0.09);
    for (int i = 0; i < count; ++i) model.add_branch(ExampleTorso::anchor(i % 6), ExampleTorso::motor_pose(i % 6), 1.0);
    const Pose start = make_pose(Rotation::Identity(), Vector3(0.001, 0.0, 0.0));
    reset_forward_kinematics(model, start);
    EXPECT_EQ(error_of(model, JointAngles{}), kForwardKinematicsBranchCountMessage) << count;
    EXPECT_TRUE(same_bits(model.t_world_platform_estimate(), start));
  }
}

TEST(ForwardKinematics, RepeatedStepsConvergeWithStrictlyFallingResiduals) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    Perturbed p(seed);
    double previous = residual_norm(p.torso, p.q);
    int steps = 0;
    for (; previous > 1e-6; ++steps) {
      ASSERT_LT(steps, 40) << "no convergence, seed " << seed;
      forward_kinematics(p.torso, p.q, std::nullopt);
      const double norm = residual_norm(p.torso, p.q);
      ASSERT_LT(norm, previous) << "seed " << seed << " step " << steps;
      previous = norm;
    }
    EXPECT_LT((p.torso.t_world_platform_estimate() - p.target).cwiseAbs().maxCoeff(), 1e-4) << seed;
  }
}

// The step is taken in platform coordinates, so turning the platform frame (the
// anchors then given in a frame turned by S) must not change the motion.
TEST(ForwardKinematics, StepsDoNotDependOnHowThePlatformFrameIsTurned) {
  const Pose s = make_pose(Eigen::AngleAxisd(M_PI / 2, Vector3(1, 0, 0)).toRotationMatrix(), Vector3::Zero());
  const Pose s_inverse = s.inverse();
  Kinematics reattached(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  for (int i = 0; i < 6; ++i) {
    const Vector3 anchor = (s_inverse * ExampleTorso::anchor(i).homogeneous()).head<3>();
    reattached.add_branch(anchor, ExampleTorso::motor_pose(i), ExampleTorso::solution(i));
  }
  Perturbed p(11);
  reset_forward_kinematics(reattached, p.start * s);
  for (int step = 0; step < 5; ++step) {
    const Pose plain = forward_kinematics(p.torso, p.q, std::nullopt);
    const Pose turned = forward_kinematics(reattached, p.q, std::nullopt);
    EXPECT_LT((turned - plain * s).cwiseAbs().maxCoeff(), 1e-12) << "step " << step;
  }
}

TEST(ForwardKinematics, ConvergedEstimateIsReturnedBitForBit) {
  Perturbed p(3);
  reset_forward_kinematics(p.torso, p.target);
  ASSERT_LE(residual_norm(p.torso, p.q), 1e-6);
  EXPECT_TRUE(same_bits(forward_kinematics(p.torso, p.q, std::nullopt), p.target));
  EXPECT_TRUE(same_bits(p.torso.t_world_platform_estimate(), p.target));
}

TEST(ForwardKinematics, BodyYawTurnsTheResultAboutTheRaisedPivotOnly) {
  Kinematics torso = ExampleTorso::make();
  const Pose moved = make_pose(Rotation::Identity(), Vector3(1, 2, 3));
  reset_forward_kinematics(torso, moved);
  const JointAngles no_step{NAN, 0, 0, 0, 0, 0};
  const Pose turned = forward_kinematics(torso, no_step, M_PI / 2);
  Rotation quarter;
  quarter << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  EXPECT_TRUE((turned.topLeftCorner<3, 3>().isApprox(quarter, 1e-15)));
  EXPECT_TRUE((turned.topRightCorner<3, 1>().isApprox(Vector3(-2, 1, 3), 1e-15)));
  EXPECT_TRUE(same_bits(torso.t_world_platform_estimate(), moved));
  // A yaw of zero is still applied: only the pivot height's round trip shows.
  const Pose low = make_pose(Rotation::Identity(), Vector3(1, 2, 0.05));
  reset_forward_kinematics(torso, low);
  Pose expected = low;
  expected(2, 3) = (0.05 - 0.177) + 0.177;
  ASSERT_NE(expected(2, 3), 0.05);
  EXPECT_TRUE(same_bits(forward_kinematics(torso, no_step, 0.0), expected));
  // When a step is taken, the stored estimate is the unyawed one.
  Perturbed yawed(5), plain(5);
  const Pose result = forward_kinematics(yawed.torso, yawed.q, 0.4);
  forward_kinematics(plain.torso, plain.q, std::nullopt);
  EXPECT_FALSE(same_bits(plain.torso.t_world_platform_estimate(), plain.start));
  EXPECT_TRUE(same_bits(yawed.torso.t_world_platform_estimate(), plain.torso.t_world_platform_estimate()));
  EXPECT_TRUE(same_bits(result, apply_body_yaw(plain.torso.t_world_platform_estimate(), 0.4)));
}

TEST(ForwardKinematics, ZeroStepIsNeverAccepted) {
  // Every arm tip sits on its anchor: the Jacobian and so the step vanish, while
  // the rods' residuals do not.
  Kinematics model(0.04, 1.0);
  const JointAngles q{0.1, 0.9, 1.7, 2.5, -2.9, -0.4};
  const ArmTips tips = arm_tips(0.04, q);
  for (const Vector3& tip : tips) model.add_branch(tip, Pose::Identity(), 1.0);
  EXPECT_TRUE(same_bits(forward_kinematics(model, q, std::nullopt), Pose::Identity()));
  EXPECT_TRUE(same_bits(model.t_world_platform_estimate(), Pose::Identity()));
}

TEST(ForwardKinematics, SingularEstimateIsAnInternalError) {
  Kinematics torso = ExampleTorso::make();
  reset_forward_kinematics(torso, Pose::Zero());
  EXPECT_EQ(error_of(torso, JointAngles{}), kSingularPoseMessage);
  EXPECT_EQ(torso.t_world_platform_estimate(), Pose::Zero());
}

TEST(ForwardKinematics, NonFiniteInputsTakeNoStep) {
  for (double bad : {double(NAN), kInf}) {
    Perturbed p(7);
    p.q[2] = bad;
    forward_kinematics(p.torso, p.q, std::nullopt);
    EXPECT_TRUE(same_bits(p.torso.t_world_platform_estimate(), p.start));
  }
  // An infinite anchor or rod makes the residual norm infinite; the call must
  // still end, and leave the estimate.
  Kinematics infinite_anchor(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  Kinematics infinite_rod(ExampleTorso::kMotorArmLength, kInf);
  for (int i = 0; i < 6; ++i) {
    const Vector3 anchor = i == 4 ? Vector3(kInf, 0.0, 0.085) : ExampleTorso::anchor(i);
    infinite_anchor.add_branch(anchor, ExampleTorso::motor_pose(i), ExampleTorso::solution(i));
    infinite_rod.add_branch(ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), ExampleTorso::solution(i));
  }
  const Perturbed p(7);
  for (Kinematics* model : {&infinite_anchor, &infinite_rod}) {
    reset_forward_kinematics(*model, p.start);
    forward_kinematics(*model, p.q, std::nullopt);
    EXPECT_TRUE(same_bits(model->t_world_platform_estimate(), p.start));
  }
}

TEST(ForwardKinematics, ResetStoresAnyMatrixUnchanged) {
  Kinematics torso = ExampleTorso::make();
  Pose shear = Pose::Identity() * 2.0;
  shear(3, 0) = -0.25;
  reset_forward_kinematics(torso, shear);
  EXPECT_TRUE(same_bits(torso.t_world_platform_estimate(), shear));
}

TEST(PseudoInverse, AbsoluteThresholdDropsOnlyTinySingularValues) {
  Vector6 sigma, expected;
  sigma << 1e4, 3.0, 1e-5, 1e-6, 5e-7, 0.0;
  expected << 1e-4, 1.0 / 3, 1e5, 0.0, 0.0, 0.0;
  const Matrix6 pinv = pseudo_inverse(sigma.asDiagonal());
  EXPECT_TRUE(pinv.diagonal().isApprox(expected, 1e-14)) << pinv.diagonal().transpose();
  EXPECT_EQ((pinv - Matrix6(pinv.diagonal().asDiagonal())).cwiseAbs().maxCoeff(), 0.0);
}

TEST(PseudoInverse, InvertsFullRankMatrices) {
  std::mt19937_64 rng(13);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  for (int trial = 0; trial < 100; ++trial) {
    const Matrix6 m = Matrix6::NullaryExpr([&] { return entry(rng); }) + 3.0 * Matrix6::Identity();
    EXPECT_LT((pseudo_inverse(m) * m - Matrix6::Identity()).cwiseAbs().maxCoeff(), 1e-12);
  }
}

}  // namespace
}  // namespace tavrino
