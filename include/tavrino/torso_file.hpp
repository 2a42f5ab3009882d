#pragma once

// Torso files from C++: the TOML description of a torso (docs/describing-a-torso.md)
// read into a model, with the same checks, the same messages and the same
// numbers, to the last bit, as the Python package's Torso.from_toml.
//
// This header belongs to the library tavrino::torso_file, which is built where
// toml++ is found; the core, tavrino::kinematics, needs nothing but Eigen. With
// CMake: find_package(tavrino_torso_kinematics CONFIG REQUIRED COMPONENTS torso_file).

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <tavrino/kinematics/dynamics.hpp>
#include <tavrino/kinematics/model.hpp>
#include <tavrino/kinematics/pose.hpp>

namespace tavrino {

// A torso description that cannot be used: a file that cannot be read, is not
// UTF-8 or not valid TOML, or holds a field that is missing, unknown, of the
// wrong type or out of bounds. The message starts with the file's name and names
// the field, as in "my_torso.toml: branch[3].anchor: must be a list of 3 numbers,
// got 2 items", or for broken TOML the line; it is one line.
class DescriptionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a torso file describes, in metres whatever its length_unit (masses in
// kg, inertias in kg m^2, times in seconds).
struct TorsoFile {
  // The platform and what it carries, one rigid body: the file's [payload].
  struct Payload {
    double mass;             // kg
    Vector3 centre_of_mass;  // platform coordinates
    Rotation inertia;        // kg m^2, about the centre of mass, platform axes
  };
  // The six motors, all alike: the file's [motors]. A limit left out is none.
  struct Motors {
    double arm_inertia = 0.0;  // kg m^2, arm and rotor about the motor axis
    std::optional<double> speed_limit;         // rad/s
    std::optional<double> acceleration_limit;  // rad/s^2
    std::optional<double> torque_limit;        // N m
  };

  Kinematics model;  // the two lengths and the six branches, in the file's order
  Pose home;         // the platform's home pose: home_pose, or the identity
  std::optional<Payload> payload;
  std::optional<Motors> motors;
  Vector3 gravity;  // m/s^2, world frame: (0, 0, -9.81) unless the file gives it

  // The payload and the arms' inertia as inverse_dynamics takes them (no arm
  // inertia without [motors]); empty without a payload.
  std::optional<Inertia> inertia() const;
};

// Reads and checks a torso file: a regular file of at most 1 MB of UTF-8 TOML.
// Throws: DescriptionError for every problem with the file, std::bad_alloc.
TorsoFile read_torso(const std::filesystem::path& path);

// The same for a torso file's text, already in memory; `name` stands for the
// file's name at the start of the messages.
// Throws: DescriptionError, std::bad_alloc.
TorsoFile parse_torso(std::string_view text, std::string_view name);

}  // namespace tavrino
