#pragma once

// The Python class Model: the core's Kinematics, with every solver taking and
// returning batches of samples as numpy arrays.
//
// Batch loops run with the GIL released, so other Python threads may call into
// the same model meanwhile. The solvers only read the model; add_branch changes
// it. A reader-writer lock keeps the two apart. It is only ever waited for
// without the GIL; a thread that holds it takes the GIL only briefly, to let
// Python handle signals (see SignalCheck), and nobody who holds the GIL waits
// for the lock, so the two locks cannot deadlock.

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <optional>
#include <shared_mutex>
#include <utility>

#include <tavrino/kinematics/kinematics.hpp>

#include "toolkit/arrays.hpp"
#include "toolkit/results.hpp"

namespace tavrino::toolkit {

class Model {
 public:
  // `home` is the platform's home pose (4, 4), the identity when None: where
  // solve_forward_kinematics starts when given no start, and what assemblies
  // sorts by. Throws ValueError when it is not finite.
  Model(double motor_arm_length, double rod_length, ArrayLike home);

  // Throws ValueError when t_world_motor cannot be inverted (its determinant is
  // exactly zero): no solver could use the branch.
  void add_branch(ArrayLike anchor, ArrayLike t_world_motor, double solution);

  double motor_arm_length() const noexcept { return kinematics_.motor_arm_length(); }
  double rod_length() const noexcept { return kinematics_.rod_length(); }
  std::size_t branch_count() const;
  // A copy of the home pose, (4, 4).
  FloatArray home() const;

  // poses (..., 4, 4) -> angles (..., branch_count); NaN for a branch that
  // cannot reach its pose.
  FloatArray inverse_kinematics(ArrayLike poses, std::optional<double> body_yaw) const;

  // angles (..., 6) and start (..., 4, 4), home when None ->
  // poses (..., 4, 4) with a status, the iterations and the rod error each.
  // Throws ValueError for a negative max_iterations or a tolerance that is
  // negative or NaN.
  ForwardKinematicsResultObject solve_forward_kinematics(ArrayLike angles, ArrayLike start, std::optional<double> body_yaw,
                                                   double tolerance, int max_iterations) const;

  // The calls below need a model of exactly six branches (ValueError otherwise).

  // angles (6,) -> every assembly that find_assemblies finds, (k, 4, 4), the
  // nearest to home first.
  FloatArray assemblies(ArrayLike angles, std::optional<double> body_yaw) const;

  // poses (..., 4, 4) and angles (..., 6) -> platform (..., 6, 6), joint (..., 6).
  VelocityJacobiansObject velocity_jacobians(ArrayLike poses, ArrayLike angles, std::optional<double> body_yaw) const;
  // poses (..., 4, 4) and angles (..., 6) -> transmission (..., 6), inverse_condition (...).
  ConditioningObject conditioning(ArrayLike poses, ArrayLike angles, std::optional<double> body_yaw) const;

  // Dynamics. The torques are N m with the model in metres (see dynamics.hpp).
  // poses (..., 4, 4), angles (..., 6) and wrenches (..., 6), each the force and
  // then the moment about the platform's origin -> torques (..., 6).
  FloatArray motor_torques(ArrayLike poses, ArrayLike angles, ArrayLike wrench, std::optional<double> body_yaw) const;
  // poses, angles, twists and twist rates (..., 6) -> the motors' angular
  // accelerations (..., 6).
  FloatArray joint_accelerations(ArrayLike poses, ArrayLike angles, ArrayLike twist, ArrayLike twist_rate,
                                 std::optional<double> body_yaw) const;
  // The same arguments -> torques (..., 6), with the model's inertia and
  // gravity. Throws ValueError when the model has no inertia.
  FloatArray inverse_dynamics(ArrayLike poses, ArrayLike angles, ArrayLike twist, ArrayLike twist_rate,
                              std::optional<double> body_yaw) const;

  // The mass properties that inverse_dynamics uses: the platform with its
  // payload (mass, centre of mass (3,) in platform coordinates, inertia (3, 3)
  // about it in platform axes) and each arm's inertia about its motor axis.
  // Throws ValueError for values that are not finite, a negative mass or arm
  // inertia, or wrong shapes.
  void set_inertia(double mass, ArrayLike centre_of_mass, ArrayLike inertia, double arm_inertia);
  // None until set_inertia, then an Inertia named tuple.
  nb::object inertia() const;
  // The acceleration of gravity (3,), world coordinates; (0, 0, -9.81) unless set.
  FloatArray gravity() const;
  void set_gravity(ArrayLike gravity);

  // These two only use the Jacobians, not the model: jacobians (platform
  // (..., 6, 6), joint (..., 6)) with twists or joint velocities (..., 6) -> (..., 6).
  static FloatArray joint_velocities(JacobiansLike jacobians, ArrayLike twist);
  static FloatArray platform_twist(JacobiansLike jacobians, ArrayLike joint_velocities);

 private:
  // Runs read(kinematics) with the GIL released and the model locked for
  // reading, and returns its result.
  template <class Read>
  auto with_model(Read&& read) const {
    nb::gil_scoped_release release;
    std::shared_lock lock(mutex_);
    return std::forward<Read>(read)(std::as_const(kinematics_));
  }

  // Raises ValueError, naming the call, unless the model has six branches.
  static void require_six_branches(const Kinematics& model, const char* function);

  mutable std::shared_mutex mutex_;
  Kinematics kinematics_;
  Pose home_;
  std::array<double, 16> home_rows_;  // the same, row by row
  // Guarded by mutex_ as kinematics_ is.
  std::optional<Inertia> inertia_;
  Vector3 gravity_{0.0, 0.0, -9.81};
};

}  // namespace tavrino::toolkit
