#pragma once

#include <tavrino/kinematics/model.hpp>

namespace tavrino {

// A realistic torso for demos, tests and benchmarks, in metres: six motors in
// three pairs on a circle of radius 5 cm, 4 cm arms, 9 cm rods, anchors 8.5 cm up
// on a circle of radius 4 cm. Each motor axis points radially outwards so that its
// arm swings tangentially; the two motors of a pair take opposite assembly modes.
// The identity is its home pose, and every pose within 1 cm and 15 degrees of home
// is reachable.
struct ExampleTorso {
  static constexpr double kMotorArmLength = 0.04;
  static constexpr double kRodLength = 0.09;
  static constexpr double kMotorRadius = 0.05;
  static constexpr double kAnchorRadius = 0.04;
  static constexpr double kAnchorHeight = 0.085;
  static constexpr double kMotorSpreadDegrees = 20.0;   // each motor's offset from its pair's centre
  static constexpr double kAnchorSpreadDegrees = 10.0;  // the same for the anchors

  // The geometry of branch 0 to 5.
  static Pose motor_pose(int branch) noexcept;
  static Vector3 anchor(int branch) noexcept;
  static double solution(int branch) noexcept;
  // The model with its six branches. Throws: std::bad_alloc only.
  static Kinematics make();
};

}  // namespace tavrino
