// Inverse kinematics of the example torso for a pose near home, with and
// without a body yaw, then forward kinematics back from the angles, one step per
// control cycle, in caller-owned buffers.

#include <tavrino/kinematics/kinematics.hpp>

#include <array>
#include <cstdio>

int main() {
  tavrino::Kinematics torso = tavrino::ExampleTorso::make();

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

  tavrino::reset_forward_kinematics(torso, tavrino::Pose::Identity());
  tavrino::Pose estimate = tavrino::Pose::Identity();
  for (int cycle = 0; cycle < 20; ++cycle) estimate = tavrino::forward_kinematics(torso, angles, std::nullopt);
  const double error = (estimate - target).cwiseAbs().maxCoeff();
  std::printf("forward kinematics back to the pose: %s\n", error < 1e-4 ? "yes" : "no");
  return error < 1e-4 ? 0 : 1;
}
