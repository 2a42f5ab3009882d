#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <limits>
#include <random>

#include "near_home_poses.hpp"
#include "torso_models.hpp"

namespace tavrino {
namespace {

using namespace tavrino_test;
using Status = ForwardKinematicsStatus;

double rotation_defect(const Pose& pose) {
  const Rotation r = pose.topLeftCorner<3, 3>();
  return (r.transpose() * r - Rotation::Identity()).cwiseAbs().maxCoeff();
}

bool gives_back(const Kinematics& model, const Pose& pose, const JointAngles& q, std::optional<double> yaw) {
  const JointAngles back = angles_of(model, pose, yaw);
  for (int i = 0; i < 6; ++i) {
    if (!(std::abs(wrap_angle(back[i] - q[i])) <= 1e-9)) return false;
  }
  return true;
}

// From home to poses near it, with and without a body yaw: the pose comes back,
// rigid.
TEST(SolveForwardKinematics, RoundTripsNearHome) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(17);
  for (int k = 0; k < 400; ++k) {
    const Pose target = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const std::optional<double> yaw = k % 2 ? std::optional<double>(0.01 * (k % 97) - 0.5) : std::nullopt;
    const JointAngles q = angles_of(torso, target, yaw);
    const ForwardKinematicsSolution s = solve_forward_kinematics(torso, q, Pose::Identity(), yaw);
    ASSERT_EQ(s.status, Status::converged) << k;
    EXPECT_LE(s.iterations, 6) << k;
    EXPECT_LE(s.rod_error, 1e-12 * torso.rod_length()) << k;
    EXPECT_LT((s.t_world_platform - target).cwiseAbs().maxCoeff(), 1e-10) << k;
    EXPECT_LT(rotation_defect(s.t_world_platform), 1e-15) << k;
    EXPECT_EQ(s.t_world_platform.row(3), Eigen::RowVector4d(0, 0, 0, 1)) << k;
  }
}

// Metres, millimetres and a torso 1.5 times as large: the same iterations, the
// same relative accuracy, the same pose up to the scale.
TEST(SolveForwardKinematics, DoesNotDependOnTheUnitOfLength) {
  const Kinematics metres = scaled_example(1.0);
  std::mt19937_64 rng(23);
  for (int k = 0; k < 100; ++k) {
    const Pose target = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const Pose start = target * random_pose_near_home(rng, kCentimetre, 10 * kDegree);
    const ForwardKinematicsSolution reference = solve_forward_kinematics(metres, angles_of(metres, target, {}), start, {});
    ASSERT_EQ(reference.status, Status::converged);
    for (double scale : {1000.0, 1.5}) {
      const Kinematics model = scaled_example(scale);
      Pose scaled_target = target, scaled_start = start;
      scaled_target.block<3, 1>(0, 3) *= scale;
      scaled_start.block<3, 1>(0, 3) *= scale;
      const ForwardKinematicsSolution s =
          solve_forward_kinematics(model, angles_of(model, scaled_target, {}), scaled_start, {});
      ASSERT_EQ(s.status, Status::converged) << scale;
      EXPECT_EQ(s.iterations, reference.iterations) << scale << " " << k;
      EXPECT_LE(s.rod_error / model.rod_length(), 1e-12);
      Pose unscaled = s.t_world_platform;
      unscaled.block<3, 1>(0, 3) /= scale;
      EXPECT_LT((unscaled - reference.t_world_platform).cwiseAbs().maxCoeff(), 1e-11) << scale;
    }
  }
}

// Far starts may end anywhere, but the status tells: every converged pose gives
// back the angles, every assembly mismatch satisfies the rods and does not, and
// every other status is a real failure.
TEST(SolveForwardKinematics, FarStartsReportWhatTheyReach) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(29);
  int converged = 0;
  for (int k = 0; k < 200; ++k) {
    const Pose target = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const std::optional<double> yaw = k % 3 ? std::nullopt : std::optional<double>(0.3);
    const JointAngles q = angles_of(torso, target, yaw);
    Pose half_turn = Pose::Identity();
    half_turn.topLeftCorner<3, 3>() =
        Eigen::AngleAxisd(M_PI, random_in_unit_ball(rng).normalized()).toRotationMatrix();
    for (const Pose& start : {Pose(target * random_pose_near_home(rng, 2 * kCentimetre, 30 * kDegree)),
                              Pose(target * half_turn)}) {
      const ForwardKinematicsSolution s = solve_forward_kinematics(torso, q, start, yaw);
      const bool rods_hold = s.rod_error <= 1e-12 * torso.rod_length();
      switch (s.status) {
        case Status::converged:
          ++converged;
          EXPECT_TRUE(rods_hold && gives_back(torso, s.t_world_platform, q, yaw)) << k;
          break;
        case Status::assembly_mismatch:
          EXPECT_TRUE(rods_hold && !gives_back(torso, s.t_world_platform, q, yaw)) << k;
          break;
        case Status::iteration_limit:
        case Status::singular:
          EXPECT_FALSE(rods_hold) << k;
          break;
        default:
          ADD_FAILURE() << to_string(s.status);
      }
      EXPECT_LE(s.iterations, 20);
      EXPECT_LT(rotation_defect(s.t_world_platform), 1e-15);
    }
  }
  EXPECT_GE(converged, 200);  // every near start, and some of the turned ones
}

// Each status from a case built for it; the refusals return the start as given.
TEST(SolveForwardKinematics, StatusesOfConstructedCases) {
  const Kinematics torso = ExampleTorso::make();
  const Pose target = make_pose(axis_angle_rotation(Vector3(0, 1, 0), 0.1), Vector3(0.002, 0, -0.003));
  const JointAngles q = angles_of(torso, target, {});
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const auto status_of = [&](const Kinematics& model, JointAngles angles, const Pose& start,
                             std::optional<double> yaw, ForwardKinematicsSettings settings = {}) {
    const ForwardKinematicsSolution s = solve_forward_kinematics(model, angles, start, yaw, settings);
    if (s.status == Status::not_finite || s.status == Status::invalid_model) {
      EXPECT_EQ(std::memcmp(s.t_world_platform.data(), start.data(), sizeof(Pose)), 0);
      EXPECT_EQ(s.iterations, 0);
    }
    return s.status;
  };

  JointAngles nan_angle = q;
  nan_angle[3] = kNaN;
  Pose infinite_start = Pose::Identity();
  infinite_start(1, 3) = kInf;
  Kinematics nan_anchor(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  Kinematics five(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  Kinematics zero_motor(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  Kinematics no_rod(ExampleTorso::kMotorArmLength, 0.0);
  for (int i = 0; i < 6; ++i) {
    nan_anchor.add_branch(i == 2 ? Vector3(kNaN, 0, 0) : ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), 1.0);
    if (i < 5) five.add_branch(ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), 1.0);
    zero_motor.add_branch(ExampleTorso::anchor(i), i == 4 ? Pose(Pose::Zero()) : ExampleTorso::motor_pose(i), 1.0);
    no_rod.add_branch(ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), 1.0);
  }
  EXPECT_EQ(status_of(torso, nan_angle, Pose::Identity(), {}), Status::not_finite);
  EXPECT_EQ(status_of(torso, q, infinite_start, {}), Status::not_finite);
  EXPECT_EQ(status_of(torso, q, Pose::Identity(), kNaN), Status::not_finite);
  EXPECT_EQ(status_of(nan_anchor, q, Pose::Identity(), {}), Status::not_finite);
  EXPECT_EQ(status_of(five, q, Pose::Identity(), {}), Status::invalid_model);
  EXPECT_EQ(status_of(zero_motor, q, Pose::Identity(), {}), Status::invalid_model);
  EXPECT_EQ(status_of(no_rod, q, Pose::Identity(), {}), Status::invalid_model);

  // Branch 0 set to its angle in the other assembly mode: the target still
  // satisfies every rod, but it is not the assembly the model describes.
  Kinematics flipped(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  for (int i = 0; i < 6; ++i) {
    flipped.add_branch(ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), (i == 0 ? -1 : 1) * ExampleTorso::solution(i));
  }
  JointAngles other_mode = q;
  other_mode[0] = angles_of(flipped, target, {})[0];
  EXPECT_EQ(status_of(torso, other_mode, target, {}), Status::assembly_mismatch);

  // Too few iterations, or a tolerance below rounding, ends at the limit.
  EXPECT_EQ(status_of(torso, q, Pose::Identity(), {}, {1e-12, 1}), Status::iteration_limit);
  EXPECT_EQ(status_of(torso, q, Pose::Identity(), {}, {1e-20, 20}), Status::iteration_limit);
  EXPECT_EQ(status_of(torso, q, target, {}, {1e-12, 0}), Status::converged);

  // All anchors at the platform's origin, and at angle 0 the arm tips on a circle
  // of 12 cm about it, wider than the 9 cm rods: from the centre, which holds
  // every rod equally too long, no step reduces the error, and the Jacobian
  // (translations only) is singular.
  Kinematics wide(0.12, 0.09);
  for (int i = 0; i < 6; ++i) {
    wide.add_branch(Vector3::Zero(), make_pose(axis_angle_rotation(Vector3(0, 0, 1), i * M_PI / 3), Vector3::Zero()), 1.0);
  }
  EXPECT_EQ(status_of(wide, JointAngles{}, Pose::Identity(), {}), Status::singular);
}

// Every tolerance from 1e-12 to 1e-4 converges near home, and the rods alone
// decide how close: the pose comes back within a small multiple of tolerance x
// rod length, however loosely inverse kinematics then gives the angles back.
TEST(SolveForwardKinematics, ConvergesAtEveryToleranceToThatAccuracy) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(37);
  for (double tolerance : {1e-12, 1e-10, 1e-8, 1e-6, 1e-4}) {
    for (int k = 0; k < 100; ++k) {
      const Pose target = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
      const ForwardKinematicsSolution s =
          solve_forward_kinematics(torso, angles_of(torso, target, {}), Pose::Identity(), {}, {tolerance, 20});
      ASSERT_EQ(s.status, Status::converged) << tolerance << " " << k;
      EXPECT_LE(s.rod_error, tolerance * torso.rod_length());
      EXPECT_LE((s.t_world_platform - target).cwiseAbs().maxCoeff(), 50 * tolerance * torso.rod_length()) << tolerance;
    }
  }
}

// An error that only creeps down ends by the stall rule, not after two billion
// iterations: a duplicated branch (a singular mechanism) with a 723 m rod.
TEST(SolveForwardKinematics, CreepingErrorEndsWhenProgressStalls) {
  Kinematics duplicated(ExampleTorso::kMotorArmLength, 723.0);
  for (int i = 0; i < 6; ++i) {
    const int same = i == 5 ? 4 : i;
    duplicated.add_branch(ExampleTorso::anchor(same), ExampleTorso::motor_pose(same), ExampleTorso::solution(same));
  }
  for (const JointAngles& q : {JointAngles{0.0, 0.2, -0.3, 0.4, 0.5, 0.5}, JointAngles{0.2, 0.2, -0.3, 0.4, 0.5, 0.52}}) {
    const ForwardKinematicsSolution s = solve_forward_kinematics(duplicated, q, Pose::Identity(), {}, {1e-12, INT_MAX});
    EXPECT_EQ(s.status, Status::singular);
    EXPECT_LT(s.iterations, 100);
  }
}

// Starts whose first two rotation columns hold no orientation (zero, or
// parallel, to rounding) start from the identity rotation, exactly; nearly
// parallel ones that do hold one are made orthonormal; every pose returned is
// rigid.
TEST(SolveForwardKinematics, DegenerateStartsStartFromTheIdentityAndEveryPoseIsRigid) {
  const Kinematics torso = ExampleTorso::make();
  const Pose target = make_pose(axis_angle_rotation(Vector3(0, 0.6, 0.8), 0.2), Vector3(0.003, -0.002, 0.004));
  const JointAngles q = angles_of(torso, target, {});
  const Vector3 shift(0.001, 0.002, -0.001);
  const ForwardKinematicsSolution from_identity = solve_forward_kinematics(torso, q, make_pose(Rotation::Identity(), shift), {});
  const auto start_with = [&](const Vector3& c0, const Vector3& c1) {
    Pose start = make_pose(Rotation::Identity(), shift);
    start.block<3, 1>(0, 0) = c0;
    start.block<3, 1>(0, 1) = c1;
    start.block<3, 1>(0, 2) = Vector3(0.3, 0.1, -7.0);  // never read
    return start;
  };
  const Vector3 c(0.6, -0.8, 0.0), noise(1e-17, -3e-17, 2e-17), zero = Vector3::Zero();
  const std::pair<Vector3, Vector3> no_orientation[] = {
      {zero, zero}, {noise, c}, {c, zero}, {c, noise}, {c, -2.0 * c}, {c, Vector3(c * (1 + 1e-15) + noise)},
      {1e12 * c, Vector3(1e12 * c + 1e-3 * Vector3(0, 0, 1))}};
  for (const auto& [c0, c1] : no_orientation) {
    const ForwardKinematicsSolution s = solve_forward_kinematics(torso, q, start_with(c0, c1), {});
    EXPECT_EQ(std::memcmp(s.t_world_platform.data(), from_identity.t_world_platform.data(), sizeof(Pose)), 0)
        << c0.transpose() << " / " << c1.transpose();
  }
  std::mt19937_64 rng(41);
  std::normal_distribution<double> normal;
  for (int k = 0; k < 300; ++k) {
    const Vector3 c0(normal(rng), normal(rng), normal(rng)), d(normal(rng), normal(rng), normal(rng));
    const double apart = std::pow(10.0, -3 - k % 6);  // 1e-3 to 1e-8: nearly parallel, still an orientation
    const ForwardKinematicsSolution s = solve_forward_kinematics(torso, q, start_with(c0, c0 + apart * d), {});
    const Rotation r = s.t_world_platform.topLeftCorner<3, 3>();
    EXPECT_LT(rotation_defect(s.t_world_platform), 1e-15) << k;
    EXPECT_NEAR(r.determinant(), 1.0, 1e-15) << k;
  }
}

double pose_distance(const Pose& a, const Pose& b, double lever) {
  const Rotation gap = a.topLeftCorner<3, 3>().transpose() * b.topLeftCorner<3, 3>();
  const double angle = std::acos(std::clamp((gap.trace() - 1) / 2, -1.0, 1.0));
  return (a.block<3, 1>(0, 3) - b.block<3, 1>(0, 3)).norm() + lever * angle;
}

// Every pose that solves from many starts reach is listed, once, each a
// converged solve, the nearest to home first; a short buffer gets the nearest.
TEST(FindAssemblies, ListsWhatSolvesFromAnyStartReachOnceNearestHomeFirst) {
  const Kinematics torso = ExampleTorso::make();
  double lever = 0.0;
  for (int i = 0; i < 6; ++i) lever += ExampleTorso::anchor(i).norm() / 6;
  std::mt19937_64 rng(43);
  const Pose targets[] = {Pose::Identity(), random_pose_near_home(rng, kCentimetre, 15 * kDegree),
                          random_pose_near_home(rng, kCentimetre, 15 * kDegree)};
  for (int t = 0; t < 3; ++t) {
    const std::optional<double> yaw = t == 2 ? std::optional<double>(0.3) : std::nullopt;
    const JointAngles q = angles_of(torso, targets[t], yaw);
    std::array<Pose, kMaxAssemblies> found;
    const std::size_t n = find_assemblies(torso, q, yaw, Pose::Identity(), found);
    ASSERT_GE(n, 2u);
    EXPECT_LT((found[0] - targets[t]).cwiseAbs().maxCoeff(), 1e-10) << t;
    for (std::size_t k = 0; k < n; ++k) {
      const ForwardKinematicsSolution again = solve_forward_kinematics(torso, q, found[k], yaw);
      EXPECT_TRUE(again.status == Status::converged && again.iterations == 0) << t << " " << k;
      if (k > 0) {
        EXPECT_LE(pose_distance(found[k - 1], Pose::Identity(), lever), pose_distance(found[k], Pose::Identity(), lever));
        EXPECT_GT((found[k] - found[k - 1]).cwiseAbs().maxCoeff(), 1e-3);
      }
    }
    std::normal_distribution<double> normal;
    for (int k = 0; k < 1000; ++k) {
      Pose start = random_pose_near_home(rng, 0.1, M_PI);
      const ForwardKinematicsSolution s = solve_forward_kinematics(torso, q, start, yaw, {1e-12, 60});
      if (s.status != Status::converged) continue;
      bool listed = false;
      for (std::size_t j = 0; j < n; ++j) listed = listed || (found[j] - s.t_world_platform).cwiseAbs().maxCoeff() < 1e-9;
      EXPECT_TRUE(listed) << t << ": " << s.t_world_platform.col(3).transpose();
    }
    std::array<Pose, 2> nearest;
    EXPECT_EQ(find_assemblies(torso, q, yaw, Pose::Identity(), nearest), n);
    EXPECT_EQ(std::memcmp(nearest.data(), found.data(), sizeof nearest), 0);
  }
  JointAngles nan_angle{};
  nan_angle[1] = std::numeric_limits<double>::quiet_NaN();
  std::array<Pose, 4> none;
  EXPECT_EQ(find_assemblies(torso, nan_angle, {}, Pose::Identity(), none), 0u);
  Kinematics five(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  for (int i = 0; i < 5; ++i) five.add_branch(ExampleTorso::anchor(i), ExampleTorso::motor_pose(i), 1.0);
  EXPECT_EQ(find_assemblies(five, JointAngles{}, {}, Pose::Identity(), none), 0u);
}

}  // namespace
}  // namespace tavrino
