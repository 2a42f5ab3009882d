#include "toolkit/model.hpp"

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
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

Model::Model(double motor_arm_length, double rod_length, ArrayLike home)
    : kinematics_(motor_arm_length, rod_length), home_(Pose::Identity()) {
  if (!home.is_none()) {
    const InputArray home_array(home, {"Model", "home"}, {4, 4}, false);
    home_ = read_pose(home_array.data());
    if (!home_.allFinite()) throw nb::value_error("Model(): 'home' must be finite");
  }
  write_pose(home_, home_rows_.data());
}

FloatArray Model::home() const {
  OutputArray<double> out(kSingleSample, {4, 4});
  write_pose(home_, out.data());
  return typed<FloatArray>(out.to_numpy());
}

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
    // As Python writes the float, so that -1e-09 does not read "-0.000000".
    const std::string given = nb::repr(nb::float_(tolerance)).c_str();
    throw nb::value_error((std::string(kFunction) + "(): 'tolerance' must be 0 or more, got " + given).c_str());
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
  const double* const start_rows = start_array ? start_array->data() : home_rows_.data();
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

FloatArray Model::assemblies(ArrayLike angles, std::optional<double> body_yaw) const {
  constexpr const char* kFunction = "Model.assemblies";
  const InputArray angle_array(angles, {kFunction, "angles"}, {6}, false);
  const JointAngles joint_angles = read_angles(angle_array.data());
  std::array<Pose, kMaxAssemblies> found;
  const std::size_t count = with_model([&](const Kinematics& model) {
    require_six_branches(model, kFunction);
    return find_assemblies(model, joint_angles, body_yaw, home_, found);
  });
  OutputArray<double> out({count}, {4, 4});
  for (std::size_t k = 0; k < count; ++k) write_pose(found[k], out.data() + 16 * k);
  return typed<FloatArray>(out.to_numpy());
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

Vector3 read_vector3(const double* values) { return Eigen::Map<const Vector3>(values); }

bool all_finite(const double* values, std::size_t count) {
  return std::all_of(values, values + count, [](double v) { return std::isfinite(v); });
}

// The arguments of the dynamics calls, read and broadcast: poses (..., 4, 4),
// angles (..., 6), and one or two more arrays of six per sample (the wrench, or
// the twist and its rate).
class DynamicsArguments {
 public:
  DynamicsArguments(const char* function, ArrayLike poses, ArrayLike angles, ArrayLike first, const char* first_name,
                    ArrayLike second = ArrayLike(), const char* second_name = nullptr)
      : poses_(poses, {function, "poses"}, {4, 4}),
        angles_(angles, {function, "angles"}, {6}),
        first_(first, {function, first_name}, {6}),
        second_(second_name != nullptr ? InputArray(second, {function, second_name}, {6}) : first_),
        batch_(function,
               {&poses_.batch_shape(), &angles_.batch_shape(), &first_.batch_shape(),
                second_name != nullptr ? &second_.batch_shape() : &kSingleSample},
               {"poses", "angles", first_name, second_name != nullptr ? second_name : first_name}) {}

  const Shape& shape() const noexcept { return batch_.shape(); }

  // visit(k, pose, angles, first, second) for every sample k; needs no GIL.
  // Without a second array, `second` is the first one's first sample.
  template <class Visit>
  void for_each(Visit&& visit) const {
    batch_.for_each([&](std::size_t k, const std::array<std::size_t, 4>& at) {
      visit(k, read_pose(poses_.data() + 16 * at[0]), read_angles(angles_.data() + 6 * at[1]),
            read_vector6(first_.data() + 6 * at[2]), read_vector6(second_.data() + 6 * at[3]));
    });
  }

 private:
  InputArray poses_, angles_, first_, second_;
  Broadcast<4> batch_;
};

}  // namespace

FloatArray Model::motor_torques(ArrayLike poses, ArrayLike angles, ArrayLike wrench,
                                std::optional<double> body_yaw) const {
  constexpr const char* kFunction = "Model.motor_torques";
  const DynamicsArguments args(kFunction, poses, angles, wrench, "wrench");
  OutputArray<double> out(args.shape(), {6});
  with_model([&](const Kinematics& model) {
    require_six_branches(model, kFunction);
    args.for_each([&](std::size_t k, const Pose& pose, const JointAngles& q, const Vector6& load, const Vector6&) {
      const Wrench w{load.head<3>(), load.tail<3>()};
      write<6, 1>(tavrino::motor_torques(model, pose, q, body_yaw, w), out.data() + 6 * k);
    });
  });
  return typed<FloatArray>(out.to_numpy());
}

FloatArray Model::joint_accelerations(ArrayLike poses, ArrayLike angles, ArrayLike twist, ArrayLike twist_rate,
                                      std::optional<double> body_yaw) const {
  constexpr const char* kFunction = "Model.joint_accelerations";
  const DynamicsArguments args(kFunction, poses, angles, twist, "twist", twist_rate, "twist_rate");
  OutputArray<double> out(args.shape(), {6});
  with_model([&](const Kinematics& model) {
    require_six_branches(model, kFunction);
    args.for_each([&](std::size_t k, const Pose& pose, const JointAngles& q, const Vector6& v, const Vector6& rate) {
      write<6, 1>(tavrino::joint_accelerations(model, pose, q, body_yaw, v, rate), out.data() + 6 * k);
    });
  });
  return typed<FloatArray>(out.to_numpy());
}

FloatArray Model::inverse_dynamics(ArrayLike poses, ArrayLike angles, ArrayLike twist, ArrayLike twist_rate,
                                   std::optional<double> body_yaw) const {
  constexpr const char* kFunction = "Model.inverse_dynamics";
  const DynamicsArguments args(kFunction, poses, angles, twist, "twist", twist_rate, "twist_rate");
  OutputArray<double> out(args.shape(), {6});
  with_model([&](const Kinematics& model) {
    require_six_branches(model, kFunction);
    if (!inertia_) {
      throw nb::value_error(
          "Model.inverse_dynamics(): the model has no inertia: give the torso a [payload] table (Torso.payload), "
          "or call Model.set_inertia");
    }
    args.for_each([&](std::size_t k, const Pose& pose, const JointAngles& q, const Vector6& v, const Vector6& rate) {
      write<6, 1>(tavrino::inverse_dynamics(model, *inertia_, pose, q, body_yaw, v, rate, gravity_),
                  out.data() + 6 * k);
    });
  });
  return typed<FloatArray>(out.to_numpy());
}

void Model::set_inertia(double mass, ArrayLike centre_of_mass, ArrayLike inertia, double arm_inertia) {
  constexpr const char* kFunction = "Model.set_inertia";
  const InputArray centre(centre_of_mass, {kFunction, "centre_of_mass"}, {3}, false);
  const InputArray tensor(inertia, {kFunction, "inertia"}, {3, 3}, false);
  if (!(std::isfinite(mass) && mass >= 0.0 && std::isfinite(arm_inertia) && arm_inertia >= 0.0)) {
    throw nb::value_error("Model.set_inertia(): 'mass' and 'arm_inertia' must be finite and 0 or more");
  }
  if (!all_finite(centre.data(), 3) || !all_finite(tensor.data(), 9)) {
    throw nb::value_error("Model.set_inertia(): 'centre_of_mass' and 'inertia' must be finite");
  }
  Inertia value;
  value.mass = mass;
  value.centre_of_mass = read_vector3(centre.data());
  value.inertia = Eigen::Map<const RowMajor<3, 3>>(tensor.data());
  value.arm_inertia = arm_inertia;
  nb::gil_scoped_release release;
  const std::unique_lock lock(mutex_);
  inertia_ = value;
}

nb::object Model::inertia() const {
  const std::optional<Inertia> value = with_model([&](const Kinematics&) { return inertia_; });
  if (!value) return nb::none();
  OutputArray<double> centre(kSingleSample, {3}), tensor(kSingleSample, {3, 3});
  write<3, 1>(value->centre_of_mass, centre.data());
  write<3, 3>(value->inertia, tensor.data());
  return make_inertia(value->mass, centre, tensor, value->arm_inertia);
}

FloatArray Model::gravity() const {
  const Vector3 value = with_model([&](const Kinematics&) { return gravity_; });
  OutputArray<double> out(kSingleSample, {3});
  write<3, 1>(value, out.data());
  return typed<FloatArray>(out.to_numpy());
}

void Model::set_gravity(ArrayLike gravity) {
  const InputArray array(gravity, {"Model.gravity", "gravity"}, {3}, false);
  if (!all_finite(array.data(), 3)) throw nb::value_error("Model.gravity: must be finite");
  const Vector3 value = read_vector3(array.data());
  nb::gil_scoped_release release;
  const std::unique_lock lock(mutex_);
  gravity_ = value;
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
