#pragma once

// Random platform poses around the example torso's home pose (the identity), for
// the property tests. Built with Eigen's own rotation code so that the poses do
// not depend on the helpers under test.

#include <Eigen/Geometry>
#include <random>

#include <tavrino/kinematics/pose.hpp>

namespace tavrino_test {

inline Eigen::Vector3d random_in_unit_ball(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> coordinate(-1.0, 1.0);
  Eigen::Vector3d v;
  do {
    v = Eigen::Vector3d(coordinate(rng), coordinate(rng), coordinate(rng));
  } while (v.norm() > 1.0 || v.norm() < 1e-3);
  return v;
}

// A pose turned by at most max_angle about a random axis and shifted by at most
// max_shift in a random direction.
inline tavrino::Pose random_pose_near_home(std::mt19937_64& rng, double max_shift, double max_angle) {
  std::uniform_real_distribution<double> fraction(-1.0, 1.0);
  const Eigen::Vector3d axis = random_in_unit_ball(rng).normalized();
  tavrino::Pose pose = tavrino::Pose::Identity();
  pose.topLeftCorner<3, 3>() = Eigen::AngleAxisd(max_angle * fraction(rng), axis).toRotationMatrix();
  pose.topRightCorner<3, 1>() = max_shift * random_in_unit_ball(rng);
  return pose;
}

inline constexpr double kCentimetre = 0.01;
inline constexpr double kDegree = 3.141592653589793 / 180.0;

}  // namespace tavrino_test
