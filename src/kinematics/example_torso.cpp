#include <tavrino/kinematics/example_torso.hpp>

#include <cmath>

namespace tavrino {

namespace {

// Branches 2k and 2k + 1 sit at 120k degrees minus and plus the spread.
double branch_angle(int branch, double spread_degrees) noexcept {
  constexpr double kDegree = 3.141592653589793 / 180.0;
  const double centre = 120.0 * (branch / 2);
  const double side = branch % 2 == 0 ? -1.0 : 1.0;
  return (centre + side * spread_degrees) * kDegree;
}

}  // namespace

Pose ExampleTorso::motor_pose(int branch) noexcept {
  const double angle = branch_angle(branch, kMotorSpreadDegrees);
  const Vector3 radial(std::cos(angle), std::sin(angle), 0.0);
  const Vector3 tangent(-std::sin(angle), std::cos(angle), 0.0);
  const Vector3 up(0.0, 0.0, 1.0);
  Rotation axes;
  axes << tangent, up, radial;  // x along the tangent, y up, z (the motor axis) outwards
  return make_pose(axes, kMotorRadius * radial);
}

Vector3 ExampleTorso::anchor(int branch) noexcept {
  const double angle = branch_angle(branch, kAnchorSpreadDegrees);
  return Vector3(kAnchorRadius * std::cos(angle), kAnchorRadius * std::sin(angle), kAnchorHeight);
}

double ExampleTorso::solution(int branch) noexcept { return branch % 2 == 0 ? 1.0 : -1.0; }

Kinematics ExampleTorso::make() {
  Kinematics model(kMotorArmLength, kRodLength);
  for (int i = 0; i < 6; ++i) model.add_branch(anchor(i), motor_pose(i), solution(i));
  return model;
}

}  // namespace tavrino
