// Inverse then forward kinematics on the example torso, from C++ alone: solves the
// motor angles for a tilted, shifted platform, then iterates forward kinematics
// back from the home pose and prints how far the estimate ends from the target.
#include <cmath>
#include <cstdio>

#include <tavrino/kinematics/kinematics.hpp>

int main() {
  using namespace tavrino;
  const Kinematics torso = ExampleTorso::make();
  const Pose target = make_pose(axis_angle_rotation(Vector3(1.0, 0.0, 0.0), 0.2), Vector3(0.005, -0.003, 0.004));

  const std::vector<double> angles = inverse_kinematics(torso, target, std::nullopt);
  std::printf("motor angles (rad):");
  for (double a : angles) std::printf(" % .6f", a);
  std::printf("\n");

  JointAngles q;
  for (int i = 0; i < 6; ++i) q[i] = angles[i];
  ForwardKinematicsEstimate estimate;  // from home, the identity
  for (int step = 1; step <= 8; ++step) {
    const Pose found = forward_kinematics(torso, estimate, q, std::nullopt);
    std::printf("step %d: pose error %.3e\n", step, (found - target).cwiseAbs().maxCoeff());
  }
  return 0;
}
