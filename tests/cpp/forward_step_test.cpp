#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include <tavrino/kinematics/kinematics.hpp>

#include "internal_error_message.hpp"
#include "near_home_poses.hpp"
#include "torso_models.hpp"

namespace tavrino {
namespace {

using namespace tavrino_test;

bool same_bits(const Pose& a, const Pose& b) { return std::memcmp(a.data(), b.data(), sizeof(Pose)) == 0; }

double residual_norm(const Kinematics& model, const ForwardKinematicsEstimate& estimate, const JointAngles& q) {
  return rod_residuals(model, estimate.t_world_platform, arm_tips(model.motor_arm_length(), q)).norm();
}

// The example torso with an estimate moved off a target near home, and the
// target's joint angles: a step from there is worth taking.
struct Perturbed {
  Kinematics torso = ExampleTorso::make();
  ForwardKinematicsEstimate estimate;
  Pose target, start;
  JointAngles q;
  explicit Perturbed(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    target = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    start = target * random_pose_near_home(rng, 0.5 * kCentimetre, 5 * kDegree);
    q = angles_of(torso, target, std::nullopt);
    reset_forward_kinematics(estimate, start);
  }
  Pose step(std::optional<double> body_yaw = std::nullopt) { return forward_kinematics(torso, estimate, q, body_yaw); }
};

// Six branches of the example torso with one of them changed by `edit`.
template <class Edit>
Kinematics example_with(double rod_length, Edit edit) {
  Kinematics model(ExampleTorso::kMotorArmLength, rod_length);
  for (int i = 0; i < 6; ++i) {
    Vector3 anchor = ExampleTorso::anchor(i);
    Pose motor = ExampleTorso::motor_pose(i);
    edit(i, anchor, motor);
    model.add_branch(anchor, motor, ExampleTorso::solution(i));
  }
  return model;
}

TEST(ForwardKinematics, NeedsExactlySixBranchesAndANonSingularEstimate) {
  const Pose start = make_pose(Rotation::Identity(), Vector3(0.001, 0.0, 0.0));
  for (int count : {0, 5, 7}) {
    Kinematics model(0.04, 0.09);
    for (int i = 0; i < count; ++i) model.add_branch(ExampleTorso::anchor(i % 6), ExampleTorso::motor_pose(i % 6), 1.0);
    ForwardKinematicsEstimate estimate{start};
    EXPECT_EQ(internal_error_of([&] { forward_kinematics(model, estimate, JointAngles{}, 0.0); }),
              kForwardKinematicsBranchCountMessage);
    EXPECT_TRUE(same_bits(estimate.t_world_platform, start));
  }
  const Kinematics torso = ExampleTorso::make();
  ForwardKinematicsEstimate zero;
  reset_forward_kinematics(zero, Pose::Zero());
  EXPECT_EQ(internal_error_of([&] { forward_kinematics(torso, zero, JointAngles{}, std::nullopt); }),
            kSingularPoseMessage);
  EXPECT_EQ(zero.t_world_platform, Pose::Zero());
  EXPECT_EQ(ForwardKinematicsEstimate().t_world_platform, Pose::Identity());
}

TEST(ForwardKinematics, RepeatedStepsConvergeWithStrictlyFallingResiduals) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    Perturbed p(seed);
    double previous = residual_norm(p.torso, p.estimate, p.q);
    for (int steps = 0; previous > 1e-6; ++steps) {
      ASSERT_LT(steps, 40) << "no convergence, seed " << seed;
      p.step();
      const double norm = residual_norm(p.torso, p.estimate, p.q);
      ASSERT_LT(norm, previous) << "seed " << seed << " step " << steps;
      previous = norm;
    }
    EXPECT_LT((p.estimate.t_world_platform - p.target).cwiseAbs().maxCoeff(), 1e-4) << seed;
  }
  // Once converged, the estimate comes back bit for bit.
  Perturbed p(3);
  reset_forward_kinematics(p.estimate, p.target);
  ASSERT_LE(residual_norm(p.torso, p.estimate, p.q), 1e-6);
  EXPECT_TRUE(same_bits(p.step(), p.target));
  EXPECT_TRUE(same_bits(p.estimate.t_world_platform, p.target));
}

// The step is taken in platform coordinates, so turning the platform frame (the
// anchors then given in a frame turned by S) must not change the motion.
TEST(ForwardKinematics, StepsDoNotDependOnHowThePlatformFrameIsTurned) {
  const Pose s = make_pose(Eigen::AngleAxisd(M_PI / 2, Vector3(1, 0, 0)).toRotationMatrix(), Vector3::Zero());
  Kinematics turned = example_with(ExampleTorso::kRodLength, [&](int, Vector3& anchor, Pose&) {
    anchor = (s.inverse() * anchor.homogeneous()).head<3>();
  });
  Perturbed p(11);
  ForwardKinematicsEstimate turned_estimate{p.start * s};
  for (int step = 0; step < 5; ++step) {
    const Pose plain = p.step();
    EXPECT_LT((forward_kinematics(turned, turned_estimate, p.q, std::nullopt) - plain * s).cwiseAbs().maxCoeff(),
              1e-12);
  }
}

TEST(ForwardKinematics, BodyYawTurnsTheResultAboutTheRaisedPivotOnly) {
  const Kinematics torso = ExampleTorso::make();
  const JointAngles no_step{NAN, 0, 0, 0, 0, 0};
  const Pose moved = make_pose(Rotation::Identity(), Vector3(1, 2, 3));
  ForwardKinematicsEstimate estimate{moved};
  const Pose quarter = forward_kinematics(torso, estimate, no_step, M_PI / 2);
  Pose expected = Pose::Identity();
  expected.topLeftCorner<2, 2>() << 0, -1, 1, 0;
  expected.topRightCorner<3, 1>() << -2, 1, 3;
  EXPECT_LT((quarter - expected).cwiseAbs().maxCoeff(), 1e-15);
  EXPECT_TRUE(same_bits(estimate.t_world_platform, moved));
  // A yaw of zero is still applied: only the pivot height's round trip shows.
  const Pose low = make_pose(Rotation::Identity(), Vector3(1, 2, 0.05));
  reset_forward_kinematics(estimate, low);
  expected = low;
  expected(2, 3) = (0.05 - 0.177) + 0.177;
  ASSERT_NE(expected(2, 3), 0.05);
  EXPECT_TRUE(same_bits(forward_kinematics(torso, estimate, no_step, 0.0), expected));
  // When a step is taken, the stored estimate is the unyawed one.
  Perturbed yawed(5), plain(5);
  const Pose result = yawed.step(0.4);
  plain.step();
  const Pose& stepped = plain.estimate.t_world_platform;
  EXPECT_FALSE(same_bits(stepped, plain.start));
  EXPECT_TRUE(same_bits(yawed.estimate.t_world_platform, stepped));
  EXPECT_TRUE(same_bits(result, apply_body_yaw(stepped, 0.4)));
}

TEST(ForwardKinematics, ZeroStepIsNeverAccepted) {
  // Every arm tip sits on its anchor: the Jacobian and so the step vanish, while
  // the rods' residuals do not.
  Kinematics model(0.04, 1.0);
  const JointAngles q{0.1, 0.9, 1.7, 2.5, -2.9, -0.4};
  for (const Vector3& tip : arm_tips(0.04, q)) model.add_branch(tip, Pose::Identity(), 1.0);
  ForwardKinematicsEstimate estimate;
  EXPECT_TRUE(same_bits(forward_kinematics(model, estimate, q, std::nullopt), Pose::Identity()));
  EXPECT_TRUE(same_bits(estimate.t_world_platform, Pose::Identity()));
}

TEST(ForwardKinematics, NonFiniteValuesEndTheCallWithoutAStep) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (double bad : {double(NAN), kInf}) {
    Perturbed p(7);
    p.q[2] = bad;
    p.step();
    EXPECT_TRUE(same_bits(p.estimate.t_world_platform, p.start));
  }
  // An infinite anchor or rod makes the residual norm infinite.
  Kinematics infinite_anchor = example_with(ExampleTorso::kRodLength, [](int i, Vector3& anchor, Pose&) {
    if (i == 4) anchor.x() = kInf;
  });
  Kinematics infinite_rod = example_with(kInf, [](int, Vector3&, Pose&) {});
  const Perturbed p(7);
  for (const Kinematics* model : {&infinite_anchor, &infinite_rod}) {
    ForwardKinematicsEstimate estimate{p.start};
    forward_kinematics(*model, estimate, p.q, std::nullopt);
    EXPECT_TRUE(same_bits(estimate.t_world_platform, p.start));
  }
}

// The residuals exactly as the step's definition forms them: the full product
// E^-1 M_i, then the point (c_i, 1) transformed by it.
Vector6 defined_residuals(const Kinematics& model, const Pose& pose, const ArmTips& tips) {
  const Pose inverse = *try_inverse(pose);
  Vector6 out;
  for (int i = 0; i < 6; ++i) {
    const Branch& branch = model.branches()[i];
    const Vector3 d = transform_point(multiply(inverse, branch.t_world_motor), tips[i]) - branch.branch_platform;
    out(i) = model.rod_length() - std::sqrt(d(0) * d(0) + d(1) * d(1) + d(2) * d(2));
  }
  return out;
}

// One step as defined, with the pseudo-inverse from Eigen's JacobiSVD.
Pose defined_step(const Kinematics& model, const Pose& estimate, const JointAngles& q) {
  const ArmTips tips = arm_tips(model.motor_arm_length(), q);
  const Pose inverse = *try_inverse(estimate);
  Matrix6 j;
  Vector6 r;
  for (int i = 0; i < 6; ++i) {
    const Branch& branch = model.branches()[i];
    const Vector3 p = transform_point(multiply(inverse, branch.t_world_motor), tips[i]);
    j.row(i) = (branch.branch_platform - p).transpose() * branch.anchor_jacobian;
    r(i) = model.rod_length() - (p - branch.branch_platform).norm();
  }
  const double norm0 = r.norm();
  if (!(norm0 > 1e-6)) return estimate;
  Vector6 delta = reference_pseudo_inverse(j) * r;
  for (int attempt = 0; attempt < 16; ++attempt, delta *= 0.5) {
    const Vector3 w = delta.tail<3>();
    const Rotation rotation = w.norm() > 1e-6 ? axis_angle_rotation(w.normalized(), w.norm()) : Rotation::Identity();
    const Pose candidate = multiply(estimate, make_pose(rotation, delta.head<3>()));
    if (norm0 > defined_residuals(model, candidate, tips).norm()) return candidate;
  }
  return estimate;
}

// The residuals are bit for bit those of the definition, also for general
// matrices; a whole step agrees with the definition to double precision (the
// step J+ r is computed another way, so only its last bits may differ).
TEST(ForwardKinematics, AgreesWithTheDefinedStep) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> jitter(-0.01, 0.01);
  double worst = 0.0;
  for (std::uint64_t seed = 100; seed < 400; ++seed) {
    Perturbed p(seed);
    Pose general = p.start;
    for (int k = 0; k < 16; ++k) general.data()[k] += jitter(rng);
    const ArmTips tips = arm_tips(p.torso.motor_arm_length(), p.q);
    for (const Pose& pose : {p.start, general}) {
      const Vector6 residuals = rod_residuals(p.torso, pose, tips), expected = defined_residuals(p.torso, pose, tips);
      for (int i = 0; i < 6; ++i) ASSERT_EQ(std::bit_cast<std::uint64_t>(residuals(i)), std::bit_cast<std::uint64_t>(expected(i)));
    }
    const Pose expected = defined_step(p.torso, p.start, p.q);
    const Pose stepped = p.step();
    ASSERT_FALSE(same_bits(stepped, p.start));
    worst = std::max(worst, (stepped - expected).cwiseAbs().maxCoeff());
  }
  EXPECT_LT(worst, 1e-12);
}

TEST(PseudoInverse, AbsoluteThresholdDropsOnlyTinySingularValues) {
  Vector6 sigma, expected;
  sigma << 1e4, 3.0, 1e-5, 1e-6, 5e-7, 0.0;
  expected << 1e-4, 1.0 / 3, 1e5, 0.0, 0.0, 0.0;
  const Matrix6 pinv = reference_pseudo_inverse(sigma.asDiagonal());
  EXPECT_TRUE(pinv.diagonal().isApprox(expected, 1e-14)) << pinv.diagonal().transpose();
  EXPECT_EQ((pinv - Matrix6(pinv.diagonal().asDiagonal())).cwiseAbs().maxCoeff(), 0.0);
  std::mt19937_64 rng(13);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  for (int trial = 0; trial < 100; ++trial) {
    const Matrix6 m = Matrix6::NullaryExpr([&] { return entry(rng); }) + 3.0 * Matrix6::Identity();
    EXPECT_LT((reference_pseudo_inverse(m) * m - Matrix6::Identity()).cwiseAbs().maxCoeff(), 1e-12);
  }
}

}  // namespace
}  // namespace tavrino
