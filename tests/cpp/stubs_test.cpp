// The type description that the module registers at load time: its records must
// declare exactly the Python interface, since the stub file is generated from them.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "python/stubs.hpp"

namespace {

using namespace tavrino::stubs;

constexpr const char* kFloat = "builtins.float";
constexpr const char* kOptionalFloat = "typing.Optional[builtins.float]";
constexpr const char* kFloatSequence = "typing.Sequence[builtins.float]";
constexpr const char* kPose = "typing.Sequence[typing.Sequence[builtins.float]]";

struct ExpectedParameter {
  std::string name;
  std::string type;
  std::optional<std::string> default_text;
};

struct ExpectedCallable {
  std::string name;
  CallableKind kind;
  std::vector<ExpectedParameter> parameters;
  std::string result;
};

const std::vector<ExpectedCallable>& expected_callables() {
  static const std::vector<ExpectedCallable> callables{
      {"__new__", CallableKind::kConstructor,
       {{"motor_arm_length", kFloat, {}}, {"rod_length", kFloat, {}}}, "TavrinoTorsoKinematics"},
      {"add_branch", CallableKind::kInstanceMethod,
       {{"branch_platform", kFloatSequence, {}}, {"t_world_motor", kPose, {}}, {"solution", kFloat, {}}},
       "None"},
      {"inverse_kinematics", CallableKind::kInstanceMethod,
       {{"t_world_platform", kPose, {}}, {"body_yaw", kOptionalFloat, "None"}},
       "builtins.list[builtins.float]"},
      {"reset_forward_kinematics", CallableKind::kInstanceMethod, {{"t_world_platform", kPose, {}}}, "None"},
      {"forward_kinematics", CallableKind::kInstanceMethod,
       {{"joint_angles", kFloatSequence, {}}, {"body_yaw", kOptionalFloat, "None"}},
       "builtins.list[builtins.list[builtins.float]]"},
      {"inverse_kinematics_safe", CallableKind::kInstanceMethod,
       {{"t_world_platform", kPose, {}},
        {"body_yaw", kOptionalFloat, "None"},
        {"max_relative_yaw", kOptionalFloat, "None"},
        {"max_body_yaw", kOptionalFloat, "None"}},
       "builtins.list[builtins.float]"},
  };
  return callables;
}

// The one methods record, or null when there is not exactly one.
const PyMethodsInfo* only_methods_record() {
  return registered_methods().size() == 1 ? registered_methods().front() : nullptr;
}

const std::set<ModuleRef> kTypingAndBuiltins{named_module("typing"), named_module("builtins")};
const std::set<ModuleRef> kBuiltins{named_module("builtins")};

TEST(StubRegistry, HoldsOneClassRecordAndItsMethodsRecord) {
  ASSERT_EQ(registered_classes().size(), 1u);
  ASSERT_EQ(registered_methods().size(), 1u);
  const PyClassInfo& info = *registered_classes().front();
  EXPECT_EQ(info.id, registered_methods().front()->id);
  EXPECT_EQ(info.name, "TavrinoTorsoKinematics");
  EXPECT_FALSE(info.module.has_value());
  EXPECT_TRUE(info.doc.empty());
  EXPECT_TRUE(info.properties.empty());
  EXPECT_TRUE(info.bases.empty());
  EXPECT_TRUE(info.is_final);
  EXPECT_TRUE(registered_methods().front()->members.empty());
}

TEST(StubRegistry, DescribesEveryCallableInOrder) {
  const PyMethodsInfo* record = only_methods_record();
  ASSERT_NE(record, nullptr);
  const PyMethodsInfo& methods = *record;
  const std::vector<ExpectedCallable>& expected = expected_callables();
  ASSERT_EQ(methods.callables.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const CallableInfo& callable = methods.callables[i];
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(callable.name, expected[i].name);
    EXPECT_EQ(callable.kind, expected[i].kind);
    EXPECT_TRUE(callable.doc.empty());
    EXPECT_EQ(callable.result().name, expected[i].result);
    ASSERT_EQ(callable.parameters.size(), expected[i].parameters.size());
    for (std::size_t p = 0; p < callable.parameters.size(); ++p) {
      const ParameterInfo& parameter = callable.parameters[p];
      const ExpectedParameter& want = expected[i].parameters[p];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(parameter.name, want.name);
      EXPECT_EQ(parameter.type().name, want.type);
      ASSERT_EQ(parameter.default_text != nullptr, want.default_text.has_value());
      if (want.default_text) {
        EXPECT_EQ(parameter.default_text(), *want.default_text);
      }
    }
  }
}

TEST(StubRegistry, ImportsFollowTheExpressions) {
  const PyMethodsInfo* record = only_methods_record();
  ASSERT_NE(record, nullptr);
  const PyMethodsInfo& methods = *record;
  ASSERT_EQ(methods.callables.size(), 6u);
  const CallableInfo& constructor = methods.callables[0];
  EXPECT_EQ(constructor.result().import, std::set<ModuleRef>{described_module()});
  EXPECT_EQ(constructor.parameters[0].type().import, kBuiltins);
  EXPECT_EQ(methods.callables[1].result().import, std::set<ModuleRef>{});
  const CallableInfo& inverse = methods.callables[2];
  EXPECT_EQ(inverse.parameters[0].type().import, kTypingAndBuiltins);
  EXPECT_EQ(inverse.parameters[1].type().import, kTypingAndBuiltins);
  EXPECT_EQ(inverse.result().import, kBuiltins);
  EXPECT_EQ(methods.callables[4].result().import, kBuiltins);
}

// Three floats and six floats are the same type to a type checker.
TEST(StubRegistry, FixedLengthSequencesShareOneExpression) {
  const PyMethodsInfo* record = only_methods_record();
  ASSERT_NE(record, nullptr);
  const PyMethodsInfo& methods = *record;
  ASSERT_EQ(methods.callables.size(), 6u);
  const TypeInfo branch_platform = methods.callables[1].parameters[0].type();
  const TypeInfo joint_angles = methods.callables[4].parameters[0].type();
  EXPECT_EQ(branch_platform.name, kFloatSequence);
  EXPECT_EQ(branch_platform, joint_angles);
}

TEST(StubRegistry, DefaultTextIsMadeOnce) {
  const PyMethodsInfo* record = only_methods_record();
  ASSERT_NE(record, nullptr);
  const PyMethodsInfo& methods = *record;
  ASSERT_EQ(methods.callables.size(), 6u);
  const std::string& first = methods.callables[2].parameters[1].default_text();
  EXPECT_EQ(&first, &methods.callables[5].parameters[3].default_text());
  EXPECT_EQ(&first, &none_default());
}

TEST(StubTypes, CompositionRules) {
  EXPECT_EQ(builtin_type("int"), (TypeInfo{"builtins.int", kBuiltins}));
  EXPECT_EQ(none_result(), (TypeInfo{"None", {}}));
  const TypeInfo own = described_class("Own");
  EXPECT_EQ(list_result(own), (TypeInfo{"builtins.list[Own]", {described_module(), named_module("builtins")}}));
  EXPECT_EQ(optional_parameter(sequence_parameter(own)),
            (TypeInfo{"typing.Optional[typing.Sequence[Own]]", {described_module(), named_module("typing")}}));
  EXPECT_NE(described_module(), named_module(std::string(kDescribedModuleName)));
}

}  // namespace
