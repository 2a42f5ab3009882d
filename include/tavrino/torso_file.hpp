#pragma once

// Torso files from C++: the TOML description of a torso (docs/describing-a-torso.md)
// read into a model, with the same checks, the same messages and the same
// numbers, to the last bit, as the Python package's Torso.from_toml.
//
// This header belongs to the library tavrino::torso_file, which is built where
// toml++ is found; the core, tavrino::kinematics, needs nothing but Eigen. With
// CMake: find_package(tavrino_torso_kinematics CONFIG REQUIRED COMPONENTS torso_file).

#include <filesystem>
#include <stdexcept>
#include <string_view>

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

// What a torso file describes, in metres whatever its length_unit.
struct TorsoFile {
  Kinematics model;  // the two lengths and the six branches, in the file's order
  Pose home;         // the platform's home pose: home_pose, or the identity
};

// Reads and checks a torso file: a regular file of at most 1 MB of UTF-8 TOML.
// Throws: DescriptionError for every problem with the file, std::bad_alloc.
TorsoFile read_torso(const std::filesystem::path& path);

// The same for a torso file's text, already in memory; `name` stands for the
// file's name at the start of the messages.
// Throws: DescriptionError, std::bad_alloc.
TorsoFile parse_torso(std::string_view text, std::string_view name);

}  // namespace tavrino
