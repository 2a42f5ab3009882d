#include "python/stubs.hpp"

#include <array>

namespace tavrino::stubs {

TypeInfo float_type() { return builtin_type("float"); }

TypeInfo optional_float_parameter() { return optional_parameter(float_type()); }

TypeInfo float_sequence_parameter() { return sequence_parameter(float_type()); }

TypeInfo pose_parameter() { return sequence_parameter(float_sequence_parameter()); }

TypeInfo float_list_result() { return list_result(float_type()); }

TypeInfo pose_result() { return list_result(float_list_result()); }

TypeInfo nothing_result() { return none_result(); }

TypeInfo class_result() { return described_class(kClassName); }

const std::string& none_default() {
  static const std::string text = "None";
  return text;
}

namespace {

// Its address is the class's identity in the registries.
constinit const char class_tag = 0;
constexpr ClassId kClassId{&class_tag};

constexpr std::array kNewParameters{
    ParameterInfo{"motor_arm_length", float_type},
    ParameterInfo{"rod_length", float_type},
};
constexpr std::array kAddBranchParameters{
    ParameterInfo{"branch_platform", float_sequence_parameter},
    ParameterInfo{"t_world_motor", pose_parameter},
    ParameterInfo{"solution", float_type},
};
constexpr std::array kInverseKinematicsParameters{
    ParameterInfo{"t_world_platform", pose_parameter},
    ParameterInfo{"body_yaw", optional_float_parameter, none_default},
};
constexpr std::array kResetForwardKinematicsParameters{
    ParameterInfo{"t_world_platform", pose_parameter},
};
constexpr std::array kForwardKinematicsParameters{
    ParameterInfo{"joint_angles", float_sequence_parameter},
    ParameterInfo{"body_yaw", optional_float_parameter, none_default},
};
constexpr std::array kInverseKinematicsSafeParameters{
    ParameterInfo{"t_world_platform", pose_parameter},
    ParameterInfo{"body_yaw", optional_float_parameter, none_default},
    ParameterInfo{"max_relative_yaw", optional_float_parameter, none_default},
    ParameterInfo{"max_body_yaw", optional_float_parameter, none_default},
};

constexpr std::array kCallables{
    CallableInfo{"__new__", CallableKind::kConstructor, "", kNewParameters, class_result},
    CallableInfo{"add_branch", CallableKind::kInstanceMethod, "", kAddBranchParameters,
                 nothing_result},
    CallableInfo{"inverse_kinematics", CallableKind::kInstanceMethod, "",
                 kInverseKinematicsParameters, float_list_result},
    CallableInfo{"reset_forward_kinematics", CallableKind::kInstanceMethod, "",
                 kResetForwardKinematicsParameters, nothing_result},
    CallableInfo{"forward_kinematics", CallableKind::kInstanceMethod, "",
                 kForwardKinematicsParameters, pose_result},
    CallableInfo{"inverse_kinematics_safe", CallableKind::kInstanceMethod, "",
                 kInverseKinematicsSafeParameters, float_list_result},
};

// The class is created without Py_TPFLAGS_BASETYPE, hence final.
constexpr PyClassInfo kClassInfo{kClassId, kClassName, std::nullopt, "", {}, {}, true};
constexpr PyMethodsInfo kMethodsInfo{kClassId, {}, kCallables};

// Run while the shared object is loaded, before the interpreter calls the
// module's initialiser.
const ClassRegistration class_registration{kClassInfo};
const MethodsRegistration methods_registration{kMethodsInfo};

}  // namespace

}  // namespace tavrino::stubs
