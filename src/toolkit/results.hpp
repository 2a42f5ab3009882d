#pragma once

// The solvers' results as the package's named tuples (tavrino_torso._results),
// built from the arrays the batch loops filled. Each needs the GIL.

#include <nanobind/nanobind.h>

#include <cstdint>

#include "toolkit/arrays.hpp"

namespace tavrino::toolkit {

// The Python types, by the names that the stub shows.
class ForwardKinematicsResultObject : public nb::object {
 public:
  using nb::object::object;
  static constexpr auto Name = nb::detail::const_name("tavrino_torso._results.ForwardKinematicsResult");
};

class VelocityJacobiansObject : public nb::object {
 public:
  using nb::object::object;
  static constexpr auto Name = nb::detail::const_name("tavrino_torso._results.VelocityJacobians");
};

class ConditioningObject : public nb::object {
 public:
  using nb::object::object;
  static constexpr auto Name = nb::detail::const_name("tavrino_torso._results.Conditioning");
};

class InertiaObject : public nb::object {
 public:
  using nb::object::object;
  static constexpr auto Name = nb::detail::const_name("tavrino_torso._results.Inertia");
};

// `status` holds ForwardKinematicsStatus values; the result holds their names.
ForwardKinematicsResultObject make_forward_kinematics_result(const Shape& batch, OutputArray<double>& poses,
                                                       OutputArray<std::int8_t>& status,
                                                       OutputArray<std::int64_t>& iterations,
                                                       OutputArray<double>& rod_error);

VelocityJacobiansObject make_velocity_jacobians(OutputArray<double>& platform, OutputArray<double>& joint);

ConditioningObject make_conditioning(OutputArray<double>& transmission, OutputArray<double>& inverse_condition);

InertiaObject make_inertia(double mass, OutputArray<double>& centre_of_mass, OutputArray<double>& inertia,
                           double arm_inertia);

}  // namespace tavrino::toolkit
