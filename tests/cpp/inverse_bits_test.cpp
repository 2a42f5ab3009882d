// Pins every bit of the inverse kinematics over a large fixed set of targets:
// the angles are a contract (callers compare them exactly), so any rewrite of
// the solver for speed must leave this fingerprint as it is. The targets mix
// reachable and unreachable poses, rigid and general matrices, with and without
// a body yaw, on the example torso, on a torso with general motor matrices and
// on a unit mechanism where the closed form meets exact zeros.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include <tavrino/kinematics/kinematics.hpp>

#include "splitmix.hpp"

namespace tavrino {
namespace {

using tavrino_test::SplitMix64;

// The fingerprints hold for x86-64 with glibc's maths library: another atan2,
// or another NaN encoding, changes bits that are not ours to fix.

// Order-dependent digest of the exact bits of every angle, NaNs included.
struct Digest {
  std::uint64_t hash = 0x6a09e667f3bcc908ULL;
  std::uint64_t angles = 0;
  std::uint64_t nans = 0;

  void add(double angle) {
    std::uint64_t z = hash ^ std::bit_cast<std::uint64_t>(angle);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    hash = z ^ (z >> 31);
    ++angles;
    if (std::isnan(angle)) ++nans;
  }
};

// A rotation from a quaternion (1, x, y, z) with x, y, z in [-spread, spread),
// normalised: plain arithmetic and one square root, so the targets themselves
// are the same on every platform.
Pose random_rigid_pose(SplitMix64& rng, double spread, double shift) {
  double w = 1.0, x = rng.symmetric(spread), y = rng.symmetric(spread), z = rng.symmetric(spread);
  const double norm = std::sqrt(w * w + x * x + y * y + z * z);
  w /= norm, x /= norm, y /= norm, z /= norm;
  Pose pose = Pose::Identity();
  pose(0, 0) = 1 - 2 * (y * y + z * z), pose(0, 1) = 2 * (x * y - w * z), pose(0, 2) = 2 * (x * z + w * y);
  pose(1, 0) = 2 * (x * y + w * z), pose(1, 1) = 1 - 2 * (x * x + z * z), pose(1, 2) = 2 * (y * z - w * x);
  pose(2, 0) = 2 * (x * z - w * y), pose(2, 1) = 2 * (y * z + w * x), pose(2, 2) = 1 - 2 * (x * x + y * y);
  for (int r = 0; r < 3; ++r) pose(r, 3) = rng.symmetric(shift);
  return pose;
}

// Every element, the bottom row included, moved by up to `amount`.
Pose perturbed(SplitMix64& rng, Pose pose, double amount) {
  for (int k = 0; k < 16; ++k) pose.data()[k] += rng.symmetric(amount);
  return pose;
}

// Four kinds of target in turn: near home (all reachable on the example torso),
// wider (many not), general matrices, and far away (almost none).
Pose random_target(SplitMix64& rng, std::uint64_t index) {
  switch (index % 4) {
    case 0: return random_rigid_pose(rng, 0.13, 0.006);
    case 1: return random_rigid_pose(rng, 0.5, 0.06);
    case 2: return perturbed(rng, random_rigid_pose(rng, 0.2, 0.02), 0.05);
    default: return random_rigid_pose(rng, 2.0, 0.15);
  }
}

// Mostly a yaw within a turn and a half either way; now and then an exact zero
// of either sign or a yaw of many turns.
double random_yaw(SplitMix64& rng, std::uint64_t index) {
  switch (index % 16) {
    case 3: return 0.0;
    case 7: return -0.0;
    case 11: return rng.symmetric(1000.0);
    default: return rng.symmetric(4.7);
  }
}

// The example torso's branches with general motor matrices (each element moved
// by up to 0.02, so the inverse is no transpose) and solutions other than +-1.
Kinematics general_torso(SplitMix64& rng) {
  Kinematics model(ExampleTorso::kMotorArmLength, ExampleTorso::kRodLength);
  const double solutions[7] = {1.0, -1.0, 0.5, -2.0, 1.0, -1.0, 0.0};
  for (int i = 0; i < 7; ++i) {
    const Vector3 anchor = ExampleTorso::anchor(i % 6) + Vector3(rng.symmetric(0.01), rng.symmetric(0.01), rng.symmetric(0.01));
    model.add_branch(anchor, perturbed(rng, ExampleTorso::motor_pose(i % 6), 0.02), solutions[i]);
  }
  return model;
}

void add_angles(Digest& digest, const Kinematics& model, const Pose& target, std::optional<double> yaw) {
  for (double angle : inverse_kinematics(model, target, yaw)) digest.add(angle);
}

TEST(InverseKinematicsBits, RandomTargetsOnTwoTorsos) {
  SplitMix64 rng(0x7a5c0ffee);
  const Kinematics torso = ExampleTorso::make();
  const Kinematics general = general_torso(rng);
  Digest digest;
  for (std::uint64_t k = 0; k < 120000; ++k) {
    const Pose target = random_target(rng, k);
    const double yaw = random_yaw(rng, k);
    add_angles(digest, torso, target, std::nullopt);
    add_angles(digest, torso, target, yaw);
    add_angles(digest, general, target, std::nullopt);
    add_angles(digest, general, target, yaw);
  }
  EXPECT_EQ(digest.angles, 120000u * 26u);
  EXPECT_EQ(digest.nans, 1564383u);
#if defined(__x86_64__) && defined(__GLIBC__)
  EXPECT_EQ(digest.hash, 3737999861069650695u);
#endif
}

// Arm and rod of length 1 with motors and anchors at the origins, targets on a
// half-unit grid: discriminants of exactly zero, half-angle forms of 0/0 and
// angles of exactly pi are all met here.
TEST(InverseKinematicsBits, UnitMechanismOnAGrid) {
  Kinematics model(1.0, 1.0);
  for (double solution : {1.0, -1.0, 0.0}) model.add_branch(Vector3::Zero(), Pose::Identity(), solution);
  Digest digest;
  for (int x = -5; x <= 5; ++x) {
    for (int y = -5; y <= 5; ++y) {
      for (int z = -5; z <= 5; ++z) {
        const Pose target = make_pose(Rotation::Identity(), Vector3(x, y, z) * 0.5);
        for (std::optional<double> yaw : {std::optional<double>(), std::optional<double>(0.0),
                                          std::optional<double>(1.5707963267948966),
                                          std::optional<double>(-3.141592653589793)}) {
          add_angles(digest, model, target, yaw);
        }
      }
    }
  }
  EXPECT_EQ(digest.angles, 11u * 11u * 11u * 4u * 3u);
  EXPECT_EQ(digest.nans, 14232u);
#if defined(__x86_64__) && defined(__GLIBC__)
  EXPECT_EQ(digest.hash, 17471667836769262095u);
#endif
}

}  // namespace
}  // namespace tavrino
