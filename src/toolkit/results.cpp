#include "toolkit/results.hpp"

#include <iterator>
#include <stdexcept>

#include <tavrino/kinematics/forward_solve.hpp>

namespace tavrino::toolkit {

namespace {

nb::object result_type(const char* name) { return nb::module_::import_("tavrino_torso._results").attr(name); }

// The names of the statuses, indexed by their values, as a numpy array of str.
nb::object status_names(const nb::module_& numpy) {
  constexpr ForwardKinematicsStatus kStatuses[] = {
      ForwardKinematicsStatus::converged,   ForwardKinematicsStatus::iteration_limit,
      ForwardKinematicsStatus::assembly_mismatch, ForwardKinematicsStatus::singular,
      ForwardKinematicsStatus::not_finite,  ForwardKinematicsStatus::invalid_model,
  };
  nb::list names;
  for (std::size_t value = 0; value < std::size(kStatuses); ++value) {
    // The table is indexed by value, so each status must sit at its own.
    if (static_cast<std::size_t>(kStatuses[value]) != value) throw std::logic_error("status values out of order");
    names.append(nb::str(to_string(kStatuses[value])));
  }
  return numpy.attr("array")(names);
}

}  // namespace

ForwardKinematicsResultObject make_forward_kinematics_result(const Shape& batch, OutputArray<double>& poses,
                                                       OutputArray<std::int8_t>& status,
                                                       OutputArray<std::int64_t>& iterations,
                                                       OutputArray<double>& rod_error) {
  const nb::module_ numpy = nb::module_::import_("numpy");
  nb::list shape;
  for (const std::size_t n : batch) shape.append(n);
  // take() of the flattened codes, then the batch shape: indexing with a 0-d
  // array would give a numpy scalar instead of a 0-d array.
  const nb::object names = status_names(numpy).attr("take")(status.to_numpy().attr("reshape")(-1)).attr("reshape")(shape);
  return nb::steal<ForwardKinematicsResultObject>(
      result_type("ForwardKinematicsResult")(poses.to_numpy(), names, iterations.to_numpy(), rod_error.to_numpy())
          .release());
}

VelocityJacobiansObject make_velocity_jacobians(OutputArray<double>& platform, OutputArray<double>& joint) {
  return nb::steal<VelocityJacobiansObject>(
      result_type("VelocityJacobians")(platform.to_numpy(), joint.to_numpy()).release());
}

ConditioningObject make_conditioning(OutputArray<double>& transmission, OutputArray<double>& inverse_condition) {
  return nb::steal<ConditioningObject>(
      result_type("Conditioning")(transmission.to_numpy(), inverse_condition.to_numpy()).release());
}

InertiaObject make_inertia(double mass, OutputArray<double>& centre_of_mass, OutputArray<double>& inertia,
                           double arm_inertia) {
  return nb::steal<InertiaObject>(
      result_type("Inertia")(mass, centre_of_mass.to_numpy(), inertia.to_numpy(), arm_inertia).release());
}

}  // namespace tavrino::toolkit
