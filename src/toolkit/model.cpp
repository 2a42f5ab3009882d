#include "toolkit/model.hpp"

#include <Eigen/Core>
#include <mutex>
#include <span>

namespace tavrino::toolkit {

namespace {

// numpy lays a 4x4 pose out row by row; the core's Pose is column-major.
using PoseRows = Eigen::Map<const Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>;

Pose read_pose(const double* rows) { return PoseRows(rows); }

}  // namespace

void Model::add_branch(ArrayLike anchor, ArrayLike t_world_motor, double solution) {
  const InputArray anchor_array(anchor, {"Model.add_branch", "anchor"}, {3}, false);
  const InputArray motor_array(t_world_motor, {"Model.add_branch", "t_world_motor"}, {4, 4}, false);
  const Vector3 platform = Eigen::Map<const Vector3>(anchor_array.data());
  const Pose motor = read_pose(motor_array.data());
  if (!try_inverse(motor)) {
    throw nb::value_error(
        "Model.add_branch(): 't_world_motor' must be an invertible 4x4 pose; its determinant is zero");
  }
  nb::gil_scoped_release release;
  const std::unique_lock lock(mutex_);
  kinematics_.add_branch(platform, motor, solution);
}

std::size_t Model::branch_count() const {
  return with_model([](const Kinematics& model) { return model.branches().size(); });
}

FloatArray Model::inverse_kinematics(ArrayLike poses, std::optional<double> body_yaw) const {
  const InputArray pose_array(poses, {"Model.inverse_kinematics", "poses"}, {4, 4});
  const Broadcast<1> batch("Model.inverse_kinematics", {&pose_array.batch_shape()}, {"poses"});
  OutputArray<double> angles = with_model([&](const Kinematics& model) {
    const std::size_t branches = model.branches().size();
    OutputArray<double> out(batch.shape(), {branches});
    double* const data = out.data();
    const double* const rows = pose_array.data();
    batch.for_each([&](std::size_t k, const std::array<std::size_t, 1>& at) {
      inverse_kinematics_into(model, read_pose(rows + 16 * at[0]), body_yaw,
                              std::span(data + branches * k, branches));
    });
    return out;
  });
  return nb::steal<FloatArray>(angles.to_numpy().release());
}

}  // namespace tavrino::toolkit
