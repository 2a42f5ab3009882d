#pragma once

// Models and helpers for the tests of the solver, velocity kinematics and
// conditioning.

#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <tavrino/kinematics/kinematics.hpp>

namespace tavrino_test {

using namespace tavrino;

inline JointAngles angles_of(const Kinematics& model, const Pose& pose, std::optional<double> body_yaw) {
  const std::vector<double> q = inverse_kinematics(model, pose, body_yaw);
  JointAngles angles;
  std::copy(q.begin(), q.end(), angles.begin());
  return angles;
}

// The example torso with every length multiplied by `scale`: 1000 describes it
// in millimetres.
inline Kinematics scaled_example(double scale) {
  Kinematics model(ExampleTorso::kMotorArmLength * scale, ExampleTorso::kRodLength * scale);
  for (int i = 0; i < 6; ++i) {
    Pose motor = ExampleTorso::motor_pose(i);
    motor.block<3, 1>(0, 3) *= scale;
    model.add_branch(ExampleTorso::anchor(i) * scale, motor, ExampleTorso::solution(i));
  }
  return model;
}

// Six motors on a circle, arms at angle 0 pointing along the circle and moving
// straight up, and rods leaning by `lean` (the sine of their angle to the
// vertical), alternately to either side along the circle; the platform at the
// identity, all joint angles 0. Upright rods (lean 0) cannot hold the platform
// sideways nor against a turn about z: a platform singularity, at perfect
// transmission.
inline Kinematics leaning_rods(double lean) {
  constexpr double kArm = 0.04, kRod = 0.09, kRadius = 0.05, kPi = 3.141592653589793;
  Kinematics model(kArm, kRod);
  for (int i = 0; i < 6; ++i) {
    const double angle = i * kPi / 3;
    const Vector3 radial(std::cos(angle), std::sin(angle), 0.0), tangent(-std::sin(angle), std::cos(angle), 0.0);
    Rotation axes;
    axes << tangent, Vector3(0, 0, 1), radial;  // the arm along the tangent, moving up at angle 0
    const Pose motor = make_pose(axes, kRadius * radial);
    const Vector3 tip = transform_point(motor, Vector3(kArm, 0.0, 0.0));
    const double side = i % 2 == 0 ? 1.0 : -1.0;
    const Vector3 rod = kRod * (side * lean * tangent + std::sqrt(1.0 - lean * lean) * Vector3(0, 0, 1));
    model.add_branch(tip + rod, motor, 1.0);
  }
  return model;
}

// The platform moved by h times the twist (v, w): origin shifted by h v, turned
// by h |w| about w through its origin, in world coordinates.
inline Pose moved(const Pose& pose, const Vector6& twist, double h) {
  Pose out = pose;
  const Eigen::Vector3d w = h * twist.tail<3>();
  const Eigen::Matrix3d turn = w.norm() > 0 ? Eigen::AngleAxisd(w.norm(), w.normalized()).toRotationMatrix()
                                            : Eigen::Matrix3d::Identity();
  out.topLeftCorner<3, 3>() = turn * pose.topLeftCorner<3, 3>();
  out.block<3, 1>(0, 3) += h * twist.head<3>();
  return out;
}

// The Moore-Penrose pseudo-inverse from Eigen's JacobiSVD with full U and V,
// dropping every singular value not above the forward step's absolute threshold
// 1e-6: the reference that the step is checked against.
inline Matrix6 reference_pseudo_inverse(const Matrix6& m) {
  const Eigen::JacobiSVD<Matrix6> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Vector6 inverted;
  for (int k = 0; k < 6; ++k) {
    const double sigma = svd.singularValues()(k);
    inverted(k) = sigma > 1e-6 ? 1.0 / sigma : 0.0;
  }
  return svd.matrixV() * inverted.asDiagonal() * svd.matrixU().transpose();
}

// |a - b| relative to |b|; b may be zero.
inline double relative_gap(const Vector6& a, const Vector6& b) {
  return (a - b).norm() / std::max(b.norm(), std::numeric_limits<double>::min());
}

}  // namespace tavrino_test
