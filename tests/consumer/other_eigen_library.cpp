#include "other_eigen_library.hpp"

StampedPose stamped_pose(double stamp, double x, double y, double z) {
  StampedPose out;
  out.stamp = stamp;
  out.pose = Eigen::Matrix4d::Identity();
  out.pose.topRightCorner<3, 1>() = Eigen::Vector3d(x, y, z);
  out.weights = Eigen::Vector4d(1.0, 2.0, 3.0, 4.0);
  return out;
}

double checksum(const StampedPose& sample) {
  return sample.stamp + sample.weights.sum() + sample.pose.topRightCorner<3, 1>().sum();
}
