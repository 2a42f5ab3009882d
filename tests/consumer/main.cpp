// Inverse kinematics of the example torso for a pose near home, with and
// without a body yaw, then forward kinematics back from the angles, one step per
// control cycle and solved to convergence, in caller-owned buffers; the motor
// speeds of a platform velocity; and a pose handed over by another library of
// the program that uses Eigen with its defaults; and the example torso read
// from its file, through the package's component torso_file.

#include <tavrino/kinematics/kinematics.hpp>
#include <tavrino/torso_file.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "other_eigen_library.hpp"

int main() {
  const tavrino::Kinematics torso = tavrino::ExampleTorso::make();

  const tavrino::TorsoFile file = tavrino::read_torso(EXAMPLE_TORSO_FILE);
  bool same_torso = file.model.branches().size() == 6 && file.home == tavrino::Pose::Identity();
  for (std::size_t i = 0; same_torso && i < 6; ++i) {
    same_torso = file.model.branches()[i].t_world_motor == torso.branches()[i].t_world_motor &&
                 file.model.branches()[i].branch_platform == torso.branches()[i].branch_platform;
  }
  bool refused = false;
  try {
    tavrino::parse_torso("motor_arm_length = 0.04\n", "short.toml");
  } catch (const tavrino::DescriptionError& error) {
    refused = std::string_view(error.what()) == "short.toml: rod_length: missing";
  }
  std::printf("torso file: the example torso: %s; a file without its rod length refused: %s\n",
              same_torso ? "yes" : "no", refused ? "yes" : "no");

  tavrino::Pose target = tavrino::Pose::Identity();
  target.topLeftCorner<3, 3>() = tavrino::axis_angle_rotation(tavrino::Vector3(0.0, 0.0, 1.0), 0.1);
  target(0, 3) = 0.005;
  target(2, 3) = -0.003;

  std::array<double, 6> angles{};
  tavrino::inverse_kinematics_into(torso, target, std::nullopt, angles);
  std::printf("angles:");
  for (double angle : angles) std::printf(" %.6f", angle);
  std::printf("\n");

  std::array<double, 7> safe{};
  tavrino::inverse_kinematics_safe_into(torso, target, 0.4, 0.2, 0.5, safe);
  std::printf("safe with body yaw 0.4: yaw %.6f, angles:", safe[0]);
  for (std::size_t i = 1; i < safe.size(); ++i) std::printf(" %.6f", safe[i]);
  std::printf("\n");

  tavrino::ForwardKinematicsEstimate fk;
  tavrino::reset_forward_kinematics(fk, tavrino::Pose::Identity());
  tavrino::Pose estimate = tavrino::Pose::Identity();
  for (int cycle = 0; cycle < 20; ++cycle) estimate = tavrino::forward_kinematics(torso, fk, angles, std::nullopt);
  const double error = (estimate - target).cwiseAbs().maxCoeff();
  std::printf("forward kinematics back to the pose: %s\n", error < 1e-4 ? "yes" : "no");

  // The pose comes from the other library, in its own Eigen type: its layout
  // must be the one that library compiled with.
  const StampedPose sample = stamped_pose(2.0, 0.004, -0.002, 0.003);
  const bool handed_over = std::abs(checksum(sample) - 12.005) < 1e-12;
  const tavrino::Pose from_other = sample.pose;
  const tavrino::JointAngles other_angles = [&] {
    tavrino::JointAngles q{};
    tavrino::inverse_kinematics_into(torso, from_other, 0.2, q);
    return q;
  }();
  const tavrino::ForwardKinematicsSolution solved =
      tavrino::solve_forward_kinematics(torso, other_angles, tavrino::Pose::Identity(), 0.2);
  const bool solved_back = solved.status == tavrino::ForwardKinematicsStatus::converged &&
                           (solved.t_world_platform - from_other).cwiseAbs().maxCoeff() < 1e-9;
  std::printf("pose from another Eigen library: %s; solved back: %s (%s)\n", handed_over ? "intact" : "garbled",
              solved_back ? "yes" : "no", tavrino::to_string(solved.status));

  const tavrino::VelocityJacobians jacobians =
      tavrino::velocity_jacobians(torso, solved.t_world_platform, other_angles, 0.2);
  tavrino::Vector6 twist;
  twist << 0.01, 0.0, 0.0, 0.0, 0.0, 0.2;  // 1 cm/s along x, turning at 0.2 rad/s about z
  const tavrino::Vector6 rates = tavrino::joint_velocities(jacobians, twist);
  const bool round_trip = (tavrino::platform_twist(jacobians, rates) - twist).norm() < 1e-12;
  std::printf("motor speeds for a twist and back: %s\n", round_trip ? "yes" : "no");
  return error < 1e-4 && handed_over && solved_back && round_trip && same_torso && refused ? 0 : 1;
}
