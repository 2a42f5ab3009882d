#pragma once

// Stands for another library in the same program that uses Eigen with its
// default settings and knows nothing of tavrino, as the libraries of a ROS 2
// stack do. Its types are laid out the way Eigen lays them out for the
// compiler flags at hand (a 4x4 matrix aligned to 32 bytes with AVX).

#include <Eigen/Core>

struct StampedPose {
  double stamp;
  Eigen::Matrix4d pose;
  Eigen::Vector4d weights;
};

StampedPose stamped_pose(double stamp, double x, double y, double z);

// stamp + the sum of the weights + the pose's translation components.
double checksum(const StampedPose& sample);
