// The extension tavrino_torso._native: the class Model and nothing else. The
// package re-exports it; the result types it returns are the package's own.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include "toolkit/model.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using tavrino::toolkit::ArrayLike;
using tavrino::toolkit::JacobiansLike;
using tavrino::toolkit::Model;

// The array arguments take None too, so that passing it gets the same message
// naming the argument and its shape as any other wrong value; that would make
// nanobind write "| None" into their types, so these methods spell out their
// signatures.
#define TTK_ARRAY "numpy.typing.ArrayLike"
#define TTK_FLOATS "numpy.typing.NDArray[numpy.float64]"
#define TTK_RESULTS "tavrino_torso._results."

NB_MODULE(_native, m) {
  m.doc() = "The compiled part of tavrino_torso: the kinematics model over numpy arrays.";

  nb::class_<Model>(m, "Model",
                    "The kinematics of a six-branch rotary parallel torso, over batches of samples.\n\n"
                    "Every solver takes arrays whose leading (batch) dimensions broadcast against each\n"
                    "other, and returns float64 arrays of the broadcast batch shape. Float64\n"
                    "C-contiguous input is read in place; anything else is converted by numpy first.\n"
                    "The solvers release the GIL while they run.")
      .def(nb::init<double, double, ArrayLike>(), "motor_arm_length"_a, "rod_length"_a, "home"_a.none() = nb::none(),
           nb::sig("def __init__(self, motor_arm_length: float, rod_length: float, home: " TTK_ARRAY
                   " | None = None) -> None"),
           "A model without branches; lengths in any unit, the same for every length given.\n\n"
           "home (4, 4) is the platform's home pose (the identity when None): where\n"
           "solve_forward_kinematics starts when given no start, and what assemblies sorts by.")
      .def("add_branch", &Model::add_branch, "anchor"_a.none(), "t_world_motor"_a.none(), "solution"_a,
           nb::sig("def add_branch(self, anchor: " TTK_ARRAY ", t_world_motor: " TTK_ARRAY
                   ", solution: float) -> None"),
           "Appends a branch: the rod's anchor in platform coordinates (3,), the motor frame in the\n"
           "world with the body at yaw zero (4, 4), and the assembly mode (+1 or -1).")
      .def_prop_ro("motor_arm_length", &Model::motor_arm_length)
      .def_prop_ro("rod_length", &Model::rod_length)
      .def_prop_ro("branch_count", &Model::branch_count)
      .def_prop_ro("home", &Model::home, nb::sig("def home(self) -> " TTK_FLOATS),
                   "The platform's home pose (4, 4), a copy.")
      .def("inverse_kinematics", &Model::inverse_kinematics, "poses"_a.none(), "body_yaw"_a = nb::none(),
           nb::sig("def inverse_kinematics(self, poses: " TTK_ARRAY ", body_yaw: float | None = None) -> " TTK_FLOATS),
           "The motor angle of every branch that puts the platform at each pose.\n\n"
           "poses (..., 4, 4) -> angles (..., branch_count), wrapped into [-pi, pi); NaN for a\n"
           "branch that cannot reach the pose. With body_yaw, the body carrying the motors is\n"
           "turned by that angle about the world z axis.")
      .def("solve_forward_kinematics", &Model::solve_forward_kinematics, "angles"_a.none(),
           "start"_a.none() = nb::none(), "body_yaw"_a = nb::none(), "tolerance"_a = 1e-12, "max_iterations"_a = 20,
           nb::sig("def solve_forward_kinematics(self, angles: " TTK_ARRAY ", start: " TTK_ARRAY
                   " | None = None, body_yaw: float | None = None, tolerance: float = 1e-12, "
                   "max_iterations: int = 20) -> " TTK_RESULTS "ForwardKinematicsResult"),
           "Forward kinematics solved to convergence: a platform pose for each set of six joint\n"
           "angles, found by Newton's method from `start` (home when None; for tracking, the\n"
           "previous solution).\n\n"
           "angles (..., 6) and start (..., 4, 4) broadcast against each other. tolerance is the\n"
           "largest rod error accepted, relative to rod_length; it alone sets the accuracy.\n"
           "\"converged\" means that the rods fit and every branch is in its assembly mode: the\n"
           "angles hold that pose. They may hold others too (a parallel mechanism has several\n"
           "assemblies with the same angles and modes, far apart); the solve finds one, normally\n"
           "the one nearest the start. Track from the last pose, or list them all with\n"
           "assemblies().")
      .def("assemblies", &Model::assemblies, "angles"_a.none(), "body_yaw"_a = nb::none(),
           nb::sig("def assemblies(self, angles: " TTK_ARRAY ", body_yaw: float | None = None) -> " TTK_FLOATS),
           "Every assembly that the six joint angles (6,) hold, for start-up: the distinct\n"
           "converged poses, in the model's assembly modes, that a search from a fixed set of\n"
           "289 starts (home, and 48 rotations spread over all orientations, each at six\n"
           "places around the arm tips) reaches, as a (k, 4, 4) array. None is listed twice\n"
           "(closer than 1e-7 in length and 1e-7 rad is the same pose); they come sorted by\n"
           "their distance from home: the distance between the origins plus the angle between\n"
           "the rotations times the anchors' mean distance from the platform's origin. It\n"
           "finds what solves from any start reach in every test, but cannot promise a\n"
           "complete list. Needs six branches; a few milliseconds.")
      .def("velocity_jacobians", &Model::velocity_jacobians, "poses"_a.none(), "angles"_a.none(),
           "body_yaw"_a = nb::none(),
           nb::sig("def velocity_jacobians(self, poses: " TTK_ARRAY ", angles: " TTK_ARRAY
                   ", body_yaw: float | None = None) -> " TTK_RESULTS "VelocityJacobians"),
           "The velocity Jacobians at poses (..., 4, 4) and the joint angles (..., 6) that reach them:\n"
           "platform (..., 6, 6) @ twist == joint (..., 6) * joint velocities, for a twist (v, w) of\n"
           "the platform origin's velocity and the angular velocity, in world coordinates.\n"
           "A NaN or infinite angle gives its branch a NaN row; a NaN or infinite pose, every row.\n"
           "Needs six branches.")
      .def(
          "joint_velocities",
          [](const Model&, JacobiansLike jacobians, ArrayLike twist) {
            return Model::joint_velocities(jacobians, twist);
          },
          "jacobians"_a.none(), "twist"_a.none(),
          nb::sig("def joint_velocities(self, jacobians: " TTK_RESULTS "VelocityJacobians, twist: " TTK_ARRAY
                  ") -> " TTK_FLOATS),
          "The motor speeds (..., 6) that move the platform by the twists (..., 6); NaN for a branch\n"
          "at the edge of its reach.")
      .def(
          "platform_twist",
          [](const Model&, JacobiansLike jacobians, ArrayLike joint_velocities) {
            return Model::platform_twist(jacobians, joint_velocities);
          },
          "jacobians"_a.none(), "joint_velocities"_a.none(),
          nb::sig("def platform_twist(self, jacobians: " TTK_RESULTS "VelocityJacobians, joint_velocities: " TTK_ARRAY
                  ") -> " TTK_FLOATS),
          "The platform twists (..., 6) that the motor speeds (..., 6) produce; NaN at a platform\n"
          "singularity.")
      .def("conditioning", &Model::conditioning, "poses"_a.none(), "angles"_a.none(), "body_yaw"_a = nb::none(),
           nb::sig("def conditioning(self, poses: " TTK_ARRAY ", angles: " TTK_ARRAY
                   ", body_yaw: float | None = None) -> " TTK_RESULTS "Conditioning"),
           "How well the torso transmits motion at poses (..., 4, 4) and the joint angles (..., 6)\n"
           "that reach them: transmission (..., 6) per branch, 1 ideal and 0 at the edge of its\n"
           "reach, and inverse_condition (...), 1 / condition number of the platform Jacobian, 0 at\n"
           "a platform singularity. NaN where an angle or the pose is NaN or infinite. Needs six\n"
           "branches.")
      .def("motor_torques", &Model::motor_torques, "poses"_a.none(), "angles"_a.none(), "wrench"_a.none(),
           "body_yaw"_a = nb::none(),
           nb::sig("def motor_torques(self, poses: " TTK_ARRAY ", angles: " TTK_ARRAY ", wrench: " TTK_ARRAY
                   ", body_yaw: float | None = None) -> " TTK_FLOATS),
           "The motor torques (..., 6) that hold the platform still against a wrench (..., 6) applied\n"
           "to it by its load: the force, then the moment about the platform's origin, in world\n"
           "coordinates (N and N m). For every motion, sum(torques * joint velocities) + wrench @ twist\n"
           "== 0. NaN at a pose out of reach and at a platform singularity. Needs six branches.")
      .def("joint_accelerations", &Model::joint_accelerations, "poses"_a.none(), "angles"_a.none(), "twist"_a.none(),
           "twist_rate"_a.none(), "body_yaw"_a = nb::none(),
           nb::sig("def joint_accelerations(self, poses: " TTK_ARRAY ", angles: " TTK_ARRAY ", twist: " TTK_ARRAY
                   ", twist_rate: " TTK_ARRAY ", body_yaw: float | None = None) -> " TTK_FLOATS),
           "The motors' angular accelerations (..., 6) while the platform moves with the twists (v, w)\n"
           "(..., 6) and their time derivatives (..., 6), world coordinates. NaN as joint_velocities\n"
           "gives it. Needs six branches.")
      .def("inverse_dynamics", &Model::inverse_dynamics, "poses"_a.none(), "angles"_a.none(), "twist"_a.none(),
           "twist_rate"_a.none(), "body_yaw"_a = nb::none(),
           nb::sig("def inverse_dynamics(self, poses: " TTK_ARRAY ", angles: " TTK_ARRAY ", twist: " TTK_ARRAY
                   ", twist_rate: " TTK_ARRAY ", body_yaw: float | None = None) -> " TTK_FLOATS),
           "The motor torques (..., 6) that move the platform with the twists (..., 6) and twist rates\n"
           "(..., 6): those that accelerate the platform with its payload and hold it against gravity,\n"
           "plus the arms' inertia times their angular accelerations. Uses the model's `inertia`\n"
           "(ValueError without one) and `gravity`. NaN at a pose out of reach and at a platform\n"
           "singularity. Needs six branches.")
      .def("set_inertia", &Model::set_inertia, "mass"_a, "centre_of_mass"_a.none(), "inertia"_a.none(),
           "arm_inertia"_a = 0.0,
           nb::sig("def set_inertia(self, mass: float, centre_of_mass: " TTK_ARRAY ", inertia: " TTK_ARRAY
                   ", arm_inertia: float = 0.0) -> None"),
           "Sets the mass properties that inverse_dynamics uses: the platform with its payload, one\n"
           "rigid body (mass in kg, centre of mass (3,) in platform coordinates, inertia tensor (3, 3)\n"
           "in kg m^2 about the centre of mass, platform axes), and each arm with its rotor about the\n"
           "motor axis (kg m^2). Torso.model() sets them from the torso file.")
      .def_prop_ro("inertia", &Model::inertia,
                   nb::sig("def inertia(self) -> " TTK_RESULTS "Inertia | None"),
                   "The mass properties set by set_inertia, or None.")
      .def_prop_rw("gravity", &Model::gravity, &Model::set_gravity,
                   nb::for_getter(nb::sig("def gravity(self) -> " TTK_FLOATS)),
                   nb::for_setter(nb::sig("def gravity(self, value: " TTK_ARRAY ", /) -> None")),
                   "The acceleration of gravity (3,) in world coordinates, m/s^2: (0, 0, -9.81) unless set.")
      .def("__repr__", [](const Model& model) {
        return nb::str("<Model: motor_arm_length={!r}, rod_length={!r}, {} branches>")
            .format(model.motor_arm_length(), model.rod_length(), model.branch_count());
      });
}
