// The calls that a control loop makes write into buffers the caller owns and
// allocate nothing on the heap.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <tavrino/kinematics/kinematics.hpp>

#include "allocation_counter.hpp"
#include "internal_error_message.hpp"
#include "near_home_poses.hpp"

namespace tavrino {
namespace {

using namespace tavrino_test;

double max_abs_difference(const Pose& a, const Pose& b) { return (a - b).cwiseAbs().maxCoeff(); }

// Without this the test below could pass because nothing is counted at all.
TEST(AllocationCounter, SeesAllocationsInsideTheLibraryAndFromMalloc) {
  const Kinematics torso = ExampleTorso::make();
  EXPECT_GE(count_allocations([&] { (void)inverse_kinematics(torso, Pose::Identity(), std::nullopt); }), 1);
#if TTK_TEST_COUNTS_MALLOC
  void* (*volatile allocate)(std::size_t) = std::malloc;
  void* block = nullptr;
  EXPECT_EQ(count_allocations([&] { block = allocate(24); }), 1);
  std::free(block);
#endif
}

// Many poses near home, each solved by every real-time call with and without a
// body yaw (zero and negative ones among them), then recovered by forward
// kinematics from the identity: no allocation in all of it, and the work was done.
TEST(RealTimeCalls, AllocateNothing) {
  const Kinematics torso = ExampleTorso::make();
  ForwardKinematicsEstimate estimate;
  std::mt19937_64 rng(20261208);
  std::vector<Pose> targets;
  for (int i = 0; i < 200; ++i) targets.push_back(random_pose_near_home(rng, kCentimetre, 15 * kDegree));

  JointAngles angles{};
  std::array<double, 6> yawed{};
  std::array<double, 7> safe{};
  double worst_recovery = 0.0;
  double worst_safe_yaw = 0.0;
  const long allocations = count_allocations([&] {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const Pose& target = targets[i];
      const double body_yaw = 0.3 * static_cast<double>(i % 5) - 0.6;
      inverse_kinematics_into(torso, target, std::nullopt, angles);
      inverse_kinematics_into(torso, target, body_yaw, yawed);
      inverse_kinematics_safe_into(torso, target, body_yaw, 0.2, 0.5, safe);
      worst_safe_yaw = std::max(worst_safe_yaw, std::abs(safe[0]));
      inverse_kinematics_safe_into(torso, target, std::nullopt, std::nullopt, std::nullopt, safe);
      reset_forward_kinematics(estimate, Pose::Identity());
      Pose found = Pose::Identity();
      for (int step = 0; step < 20; ++step) found = forward_kinematics(torso, estimate, angles, std::nullopt);
      (void)forward_kinematics(torso, estimate, angles, body_yaw);
      worst_recovery = std::max(worst_recovery, max_abs_difference(found, target));
    }
  });
  EXPECT_EQ(allocations, 0);
  EXPECT_LT(worst_recovery, 1e-4);
  EXPECT_GT(worst_safe_yaw, 0.0);
  EXPECT_LE(worst_safe_yaw, 0.5);
}

// The solver, velocity kinematics, conditioning and dynamics, from near and far
// starts so that every ending is taken (converged, assembly mismatch, singular,
// iteration limit), with and without a body yaw, and the search for every
// assembly: no allocation anywhere.
TEST(RealTimeCalls, SolverAndVelocityKinematicsAllocateNothing) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(20261209);
  std::vector<Pose> targets, turns;
  std::vector<JointAngles> angles;
  for (int i = 0; i < 100; ++i) {
    targets.push_back(random_pose_near_home(rng, kCentimetre, 15 * kDegree));
    turns.push_back(random_pose_near_home(rng, 0.0, 180 * kDegree));
    JointAngles q;
    inverse_kinematics_into(torso, targets.back(), i % 2 ? std::optional<double>(0.2) : std::nullopt, q);
    angles.push_back(q);
  }
  int endings[6] = {};
  double worst_error = 0.0, least_condition = 1.0, held = 0.0, moved = 0.0;
  const Inertia payload{1.8, Vector3(0.0, 0.0, 0.03), Rotation::Identity() * 0.005, 3.5e-5};
  const Vector6 twist = Vector6::Constant(0.01);
  std::array<Pose, 8> found;
  std::size_t assemblies = 0;
  const long allocations = count_allocations([&] {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const std::optional<double> yaw = i % 2 ? std::optional<double>(0.2) : std::nullopt;
      const ForwardKinematicsSolution near = solve_forward_kinematics(torso, angles[i], Pose::Identity(), yaw);
      worst_error = std::max(worst_error, max_abs_difference(near.t_world_platform, targets[i]));
      ++endings[static_cast<int>(solve_forward_kinematics(torso, angles[i], targets[i] * turns[i], yaw).status)];
      const VelocityJacobians jacobians = velocity_jacobians(torso, targets[i], angles[i], yaw);
      const Vector6 rates = joint_velocities(jacobians, Vector6::Constant(0.01));
      worst_error = std::max(worst_error, (platform_twist(jacobians, rates) - Vector6::Constant(0.01)).norm());
      least_condition = std::min(least_condition, conditioning(torso, targets[i], angles[i], yaw).inverse_condition);
      if (i % 25 == 0) assemblies += find_assemblies(torso, angles[i], yaw, Pose::Identity(), found);
      const Wrench weight = gravity_wrench(payload, targets[i], Vector3(0, 0, -9.81));
      held += motor_torques(torso, targets[i], angles[i], yaw, weight).cwiseAbs().sum();
      held += motor_torques(jacobians, weight).cwiseAbs().sum();
      moved += joint_accelerations(torso, targets[i], angles[i], yaw, twist, twist).cwiseAbs().sum();
      moved += inverse_dynamics(torso, payload, targets[i], angles[i], yaw, twist, twist, Vector3(0, 0, -9.81))
                   .cwiseAbs().sum();
    }
  });
  EXPECT_EQ(allocations, 0);
  EXPECT_LT(worst_error, 1e-10);  // the work was done
  EXPECT_GT(least_condition, 0.01);
  EXPECT_GE(assemblies, 8u);
  EXPECT_TRUE(std::isfinite(held) && held > 0.0 && std::isfinite(moved) && moved > 0.0);
  for (ForwardKinematicsStatus status : {ForwardKinematicsStatus::converged, ForwardKinematicsStatus::assembly_mismatch,
                                         ForwardKinematicsStatus::singular, ForwardKinematicsStatus::iteration_limit}) {
    EXPECT_GT(endings[static_cast<int>(status)], 0) << to_string(status);
  }
}

// The buffer versions give the very bits of the ones that return a vector.
TEST(RealTimeCalls, BuffersHoldWhatTheVectorsHold) {
  const Kinematics torso = ExampleTorso::make();
  std::mt19937_64 rng(5);
  for (int i = 0; i < 50; ++i) {
    const Pose target = random_pose_near_home(rng, kCentimetre, 15 * kDegree);
    const double body_yaw = 0.05 * i - 1.0;
    std::array<double, 6> angles{};
    inverse_kinematics_into(torso, target, body_yaw, angles);
    const std::vector<double> expected = inverse_kinematics(torso, target, body_yaw);
    EXPECT_EQ(std::memcmp(angles.data(), expected.data(), sizeof angles), 0);

    std::array<double, 7> safe{};
    inverse_kinematics_safe_into(torso, target, body_yaw, 0.1, 0.8, safe);
    const std::vector<double> expected_safe = inverse_kinematics_safe(torso, target, body_yaw, 0.1, 0.8);
    EXPECT_EQ(std::memcmp(safe.data(), expected_safe.data(), sizeof safe), 0);
  }
}

// A buffer of the wrong size is refused before anything is written; the safe
// call needs room for the body yaw in front of the angles.
TEST(RealTimeCalls, WrongBufferSizeIsRefusedUntouched) {
  const Kinematics torso = ExampleTorso::make();
  const std::string refused = kAngleBufferSizeMessage;
  for (std::size_t size : {0, 5, 7}) {
    std::vector<double> buffer(size, 42.0);
    EXPECT_EQ(internal_error_of([&] { inverse_kinematics_into(torso, Pose::Identity(), 0.1, buffer); }), refused);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 42.0), static_cast<long>(size));
  }
  for (std::size_t size : {0, 6, 8}) {
    std::vector<double> buffer(size, 42.0);
    EXPECT_EQ(internal_error_of([&] {
                inverse_kinematics_safe_into(torso, Pose::Identity(), 0.1, std::nullopt, std::nullopt, buffer);
              }),
              refused);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 42.0), static_cast<long>(size));
  }
  std::array<double, 7> safe{};
  safe.fill(42.0);
  EXPECT_EQ(internal_error_of([&] { inverse_kinematics_safe_into(torso, Pose::Identity(), 0.1, -1.0, 0.5, safe); }),
            "min > max, or either was NaN. min = 1.0, max = -1.0");
  EXPECT_EQ(std::count(safe.begin(), safe.end(), 42.0), 7);
}

}  // namespace
}  // namespace tavrino
