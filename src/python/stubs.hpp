#pragma once

#include <string>
#include <string_view>

#include "python/stub_registry.hpp"
#include "python/stub_types.hpp"

// The typed description of the module tavrino_torso_kinematics for type checkers.
// Linking stubs.cpp registers one class record and one methods record; the stub
// generator turns them into tavrino_torso_kinematics.pyi. Nothing here may depend
// on Python: the generator runs without an interpreter.
namespace tavrino::stubs {

inline constexpr std::string_view kDescribedModuleName = "tavrino_torso_kinematics";
inline constexpr std::string_view kClassName = "TavrinoTorsoKinematics";

// The value kinds that cross the module's boundary, as stub type expressions.
TypeInfo float_type();
TypeInfo optional_float_parameter();
TypeInfo float_sequence_parameter();  // three or six floats alike: the length is not typed
TypeInfo pose_parameter();
TypeInfo float_list_result();
TypeInfo pose_result();
TypeInfo nothing_result();
TypeInfo class_result();

// The default of every optional parameter.
const std::string& none_default();

}  // namespace tavrino::stubs
