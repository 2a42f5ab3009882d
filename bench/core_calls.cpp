// The core calls that the Python benchmark sets beside the module's methods,
// behind a C interface for ctypes, so that both are timed in one process and
// interleaved. Each function makes `calls` calls on the example torso in a loop
// and returns the nanoseconds per call; poses come as 16 doubles row by row,
// as a Python pose lists them.
#include <chrono>
#include <span>
#include <vector>

#include <tavrino/kinematics/kinematics.hpp>

namespace {

using namespace tavrino;

template <class T>
void keep(const T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

Pose pose_from(const double* rows) { return pose_from_rows(std::span<const double, 16>(rows, 16)); }

template <class Call>
double ns_per_call(long calls, Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  for (long k = 0; k < calls; ++k) call();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
         static_cast<double>(calls);
}

const Kinematics& torso() {
  static const Kinematics model = ExampleTorso::make();
  return model;
}

}  // namespace

extern "C" {

// inverse_kinematics_into on the example torso, angles into a caller buffer.
__attribute__((visibility("default"))) double ttk_core_inverse_kinematics_ns(const double* pose_rows, long calls) {
  const Pose target = pose_from(pose_rows);
  double angles[6];
  const Kinematics& model = torso();
  return ns_per_call(calls, [&] {
    inverse_kinematics_into(model, target, std::nullopt, angles);
    keep(angles);
  });
}

// reset_forward_kinematics to `start_rows`, then one forward_kinematics step
// towards the six joint angles: the pair of calls the Python side makes.
__attribute__((visibility("default"))) double ttk_core_forward_step_ns(const double* start_rows,
                                                                       const double* joint_angles, long calls) {
  const Pose start = pose_from(start_rows);
  JointAngles angles;
  for (int i = 0; i < 6; ++i) angles[i] = joint_angles[i];
  const Kinematics& model = torso();
  ForwardKinematicsEstimate estimate;
  return ns_per_call(calls, [&] {
    reset_forward_kinematics(estimate, start);
    keep(forward_kinematics(model, estimate, angles, std::nullopt));
  });
}

// inverse_kinematics_into on the example torso for each of `count` poses (16
// doubles each), six angles per pose into `angles`: the loop a C++ program runs
// over poses it holds. The poses are converted before the clock starts.
__attribute__((visibility("default"))) double ttk_core_inverse_kinematics_batch_ns(const double* pose_rows, long count,
                                                                                   double* angles) {
  std::vector<Pose> poses;
  for (long k = 0; k < count; ++k) poses.push_back(pose_from(pose_rows + 16 * k));
  const Kinematics& model = torso();
  const auto start = std::chrono::steady_clock::now();
  for (long k = 0; k < count; ++k) {
    inverse_kinematics_into(model, poses[static_cast<std::size_t>(k)], std::nullopt, std::span(angles + 6 * k, 6));
  }
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
         static_cast<double>(count);
}

// solve_forward_kinematics on the example torso for each of `count` samples:
// six joint angles and a start pose each; the solutions' poses (16 doubles
// each, row by row) into `pose_rows_out` and their statuses into `status`. The
// inputs are converted before the clock starts, the outputs after it stops.
__attribute__((visibility("default"))) double ttk_core_solve_forward_kinematics_batch_ns(
    const double* joint_angles, const double* start_rows, long count, double* pose_rows_out, int* status) {
  std::vector<JointAngles> angles(static_cast<std::size_t>(count));
  std::vector<Pose> starts;
  for (long k = 0; k < count; ++k) {
    for (int i = 0; i < 6; ++i) angles[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)] = joint_angles[6 * k + i];
    starts.push_back(pose_from(start_rows + 16 * k));
  }
  std::vector<ForwardKinematicsSolution> solutions(static_cast<std::size_t>(count));
  const Kinematics& model = torso();
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t k = 0; k < solutions.size(); ++k) {
    solutions[k] = solve_forward_kinematics(model, angles[k], starts[k], std::nullopt);
  }
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  for (std::size_t k = 0; k < solutions.size(); ++k) {
    for (int e = 0; e < 16; ++e) pose_rows_out[16 * k + static_cast<std::size_t>(e)] = solutions[k].t_world_platform(e / 4, e % 4);
    status[k] = static_cast<int>(solutions[k].status);
  }
  return ns / static_cast<double>(count);
}

}  // extern "C"
