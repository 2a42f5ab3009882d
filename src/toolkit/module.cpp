// The extension tavrino_torso._native: the class Model and nothing else. The
// package re-exports it; the result types it returns are the package's own.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include "toolkit/model.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using tavrino::toolkit::Model;

NB_MODULE(_native, m) {
  m.doc() = "The compiled part of tavrino_torso: the kinematics model over numpy arrays.";

  nb::class_<Model>(m, "Model",
                    "The kinematics of a six-branch rotary parallel torso, over batches of samples.\n\n"
                    "Every solver takes arrays whose leading (batch) dimensions broadcast against each\n"
                    "other and returns float64 arrays of the broadcast batch shape. Float64\n"
                    "C-contiguous input is read in place; anything else is converted by numpy first.")
      .def(nb::init<double, double>(), "motor_arm_length"_a, "rod_length"_a,
           "A model without branches; lengths in any unit, the same for every length given.")
      .def("add_branch", &Model::add_branch, "anchor"_a.none(), "t_world_motor"_a.none(), "solution"_a,
           "Appends a branch: the rod's anchor in platform coordinates (3,), the motor frame in the\n"
           "world with the body at yaw zero (4, 4), and the assembly mode (+1 or -1).")
      .def_prop_ro("motor_arm_length", &Model::motor_arm_length)
      .def_prop_ro("rod_length", &Model::rod_length)
      .def_prop_ro("branch_count", &Model::branch_count)
      .def("inverse_kinematics", &Model::inverse_kinematics, "poses"_a.none(), "body_yaw"_a = nb::none(),
           "The motor angle of every branch that puts the platform at each pose.\n\n"
           "poses (..., 4, 4) -> angles (..., branch_count), wrapped into [-pi, pi); NaN for a\n"
           "branch that cannot reach the pose. With body_yaw, the body carrying the motors is\n"
           "turned by that angle about the world z axis.");
}
