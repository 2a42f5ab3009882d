#include "toolkit/model.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <mutex>
#include <span>
#include <string>
#include <utility>

namespace tavrino::toolkit {

namespace {

// numpy lays matrices out row by row; the core's are column-major.
template <int Rows, int Cols>
using RowMajor = Eigen::Matrix<double, Rows, Cols, Rows == 1 || Cols == 1 ? Eigen::ColMajor : Eigen::RowMajor>;

// Poses go in and out through the core's conversion of rows, as the module's do.
Pose read_pose(const double* rows) { return pose_from_rows(std::span<const double, 16>(rows, 16)); }
void write_pose(const Pose& pose, double* rows) { pose_to_rows(pose, std::span<double, 16>(rows, 16)); }
Matrix6 read_matrix6(const double* rows) { return Eigen::Map<const RowMajor<6, 6>>(rows); }
Vector6 read_vector6(const double* values) { return Eigen::Map<const RowMajor<6, 1>>(values); }

JointAngles read_angles(const double* values) {
  JointAngles angles;
  std::copy_n(values, angles.size(), angles.begin());
  return angles;
}

template <int Rows, int Cols, class Matrix>
void write(const Matrix& matrix, double* rows) {
  Eigen::Map<RowMajor<Rows, Cols>> out(rows);
  out = matrix;
}

constexpr double kIdentityRows[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// The batch shape of an argument that holds a single sample.
const Shape kSingleSample;

template <class Object>
Object typed(nb::object object) {
  return nb::steal<Object>(object.release());
}

// The two arrays of a VelocityJacobians, or of any pair (platform, joint).
std::pair<InputArray, InputArray> read_jacobians(JacobiansLike jacobians, const char* function) {
  const Py_ssize_t size = PySequence_Check(jacobians.ptr()) ? PySequence_Size(jacobians.ptr()) : -1;
  if (size != 2) {
    PyErr_Clear();
    throw nb::type_error((std::string(function) +
                          "(): 'jacobians' must be a VelocityJacobians, a pair (platform (..., 6, 6), "
                          "joint (..., 6)), got " + nb::type_name(jacobians.type()).c_str())
                             .c_str());
  }
  InputArray platform(jacobians[0], {function, "jacobians.platform"}, {6, 6});
  InputArray joint(jacobians[1], {function, "jacobians.joint"}, {6});
  return {std::move(platform), std::move(joint)};
}

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
  return typed<FloatArray>(angles.to_numpy());
}

ForwardKinematicsResultObject Model::solve_forward_kinematics(ArrayLike angles, ArrayLike start,
                                                              std::optional<double> body_yaw, double tolerance,
                                                              int max_iterations) const {
  constexpr const char* kFunction = "Model.solve_forward_kinematics";
  if (!(tolerance >= 0.0)) {
    throw nb::value_error(
        (std::string(kFunction) + "(): 'tolerance' must be 0 or more, got " + std::to_string(tolerance)).c_str());
  }
  if (max_iterations < 0) {
    throw nb::value_error((std::string(kFunction) + "(): 'max_iterations' must be 0 or more, got " +
                           std::to_string(max_iterations))
                              .c_str());
  }
  const InputArray angle_array(angles, {kFunction, "angles"}, {6});
  std::optional<InputArray> start_array;
  if (!start.is_none()) start_array.emplace(start, Argument{kFunction, "start"}, std::initializer_list<std::size_t>{4, 4});
  const Broadcast<2> batch(kFunction,
                           {&angle_array.batch_shape(), start_array ? &start_array->batch_shape() : &kSingleSample},
                           {"angles", "start"});
  OutputArray<double> poses(batch.shape(), {4, 4});
  OutputArray<std::int8_t> status(batch.shape(), {});
  OutputArray<std::int64_t> iterations(batch.shape(), {});
  OutputArray<double> rod_error(batch.shape(), {});
  const double* const angle_data = angle_array.data();
  const double* const start_rows = start_array ? start_array->data() : kIdentityRows;
  with_model([&](const Kinematics& model) {
    const ForwardKinematicsSettings settings{tolerance, max_iterations};
    batch.for_each([&](std::size_t k, const std::array<std::size_t, 2>& at) {
      const ForwardKinematicsSolution solution = tavrino::solve_forward_kinematics(
          model, read_angles(angle_data + 6 * at[0]), read_pose(start_rows + 16 * at[1]), body_yaw, settings);
      write_pose(solution.t_world_platform, poses.data() + 16 * k);
      status.data()[k] = static_cast<std::int8_t>(solution.status);
      iterations.data()[k] = solution.iterations;
      rod_error.data()[k] = solution.rod_error;
    });
  });
  return make_forward_kinematics_result(batch.shape(), poses, status, iterations, rod_error);
}

void Model::require_six_branches(const Kinematics& model, const char* function) {
  const std::size_t count = model.branches().size();
  if (count != 6) {
    throw nb::value_error((std::string(function) + "(): the model must have exactly 6 branches, it has " +
                           std::to_string(count))
                              .c_str());
  }
}

VelocityJacobiansObject Model::velocity_jacobians(ArrayLike poses, ArrayLike angles,
                                                  std::optional<double> body_yaw) const {
  constexpr const char* kFunction = "Model.velocity_jacobians";
  const InputArray pose_array(poses, {kFunction, "poses"}, {4, 4});
  const InputArray angle_array(angles, {kFunction, "angles"}, {6});
  const Broadcast<2> batch(kFunction, {&pose_array.batch_shape(), &angle_array.batch_shape()}, {"poses", "angles"});
  OutputArray<double> platform(batch.shape(), {6, 6});
  OutputArray<double> joint(batch.shape(), {6});
  with_model([&](const Kinematics& model) {
    require_six_branches(model, kFunction);
    batch.for_each([&](std::size_t k, const std::array<std::size_t, 2>& at) {
      const tavrino::VelocityJacobians jacobians = tavrino::velocity_jacobians(
          model, read_pose(pose_array.data() + 16 * at[0]), read_angles(angle_array.data() + 6 * at[1]), body_yaw);
      write<6, 6>(jacobians.platform, platform.data() + 36 * k);
      write<6, 1>(jacobians.joint, joint.data() + 6 * k);
    });
  });
  return make_velocity_jacobians(platform, joint);
}

ConditioningObject Model::conditioning(ArrayLike poses, ArrayLike angles, std::optional<double> body_yaw) const {
  constexpr const char* kFunction = "Model.conditioning";
  const InputArray pose_array(poses, {kFunction, "poses"}, {4, 4});
  const InputArray angle_array(angles, {kFunction, "angles"}, {6});
  const Broadcast<2> batch(kFunction, {&pose_array.batch_shape(), &angle_array.batch_shape()}, {"poses", "angles"});
  OutputArray<double> transmission(batch.shape(), {6});
  OutputArray<double> inverse_condition(batch.shape(), {});
  with_model([&](const Kinematics& model) {
    require_six_branches(model, kFunction);
    batch.for_each([&](std::size_t k, const std::array<std::size_t, 2>& at) {
      const tavrino::Conditioning result = tavrino::conditioning(
          model, read_pose(pose_array.data() + 16 * at[0]), read_angles(angle_array.data() + 6 * at[1]), body_yaw);
      std::copy(result.transmission.begin(), result.transmission.end(), transmission.data() + 6 * k);
      inverse_condition.data()[k] = result.inverse_condition;
    });
  });
  return make_conditioning(transmission, inverse_condition);
}

namespace {

// joint_velocities and platform_twist: a map of the Jacobians and one vector
// of six per sample to another, model-free, so without the model's lock.
template <class Map>
FloatArray map_with_jacobians(JacobiansLike jacobians, ArrayLike vectors, const char* function,
                              const char* vector_name, Map&& map) {
  const auto [platform, joint] = read_jacobians(jacobians, function);
  const InputArray vector_array(vectors, {function, vector_name}, {6});
  const Broadcast<3> batch(function, {&platform.batch_shape(), &joint.batch_shape(), &vector_array.batch_shape()},
                           {"jacobians.platform", "jacobians.joint", vector_name});
  OutputArray<double> out(batch.shape(), {6});
  {
    nb::gil_scoped_release release;
    batch.for_each([&](std::size_t k, const std::array<std::size_t, 3>& at) {
      const tavrino::VelocityJacobians sample{read_matrix6(platform.data() + 36 * at[0]),
                                              read_vector6(joint.data() + 6 * at[1])};
      write<6, 1>(map(sample, read_vector6(vector_array.data() + 6 * at[2])), out.data() + 6 * k);
    });
  }
  return typed<FloatArray>(out.to_numpy());
}

}  // namespace

FloatArray Model::joint_velocities(JacobiansLike jacobians, ArrayLike twist) {
  return map_with_jacobians(jacobians, twist, "Model.joint_velocities", "twist",
                            [](const tavrino::VelocityJacobians& j, const Vector6& v) {
                              return tavrino::joint_velocities(j, v);
                            });
}

FloatArray Model::platform_twist(JacobiansLike jacobians, ArrayLike joint_velocities) {
  return map_with_jacobians(jacobians, joint_velocities, "Model.platform_twist", "joint_velocities",
                            [](const tavrino::VelocityJacobians& j, const Vector6& v) {
                              return tavrino::platform_twist(j, v);
                            });
}

}  // namespace tavrino::toolkit
