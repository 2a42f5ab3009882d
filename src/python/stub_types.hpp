#pragma once

#include <compare>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// Type expressions for a Python stub file, built without anything from Python so
// that the stub generator can link them on its own.
namespace tavrino::stubs {

// A module that a stub has to import: either one named module, or the module the
// stub describes (whose own names need no import inside its stub).
struct ModuleRef {
  std::optional<std::string> name;  // empty: the described module

  auto operator<=>(const ModuleRef&) const = default;
  bool is_described_module() const noexcept { return !name.has_value(); }
};

ModuleRef named_module(std::string_view name);
ModuleRef described_module();

// One type expression as it reads in the stub, fully qualified, with the modules
// its names come from.
struct TypeInfo {
  std::string name;
  std::set<ModuleRef> import;

  bool operator==(const TypeInfo&) const = default;
};

// The composition rules. Every expression is a new value owned by the caller.
TypeInfo builtin_type(std::string_view name);      // builtins.<name>
TypeInfo sequence_parameter(const TypeInfo& item);  // typing.Sequence[<item>]
TypeInfo optional_parameter(const TypeInfo& inner);  // typing.Optional[<inner>]
TypeInfo list_result(const TypeInfo& item);         // builtins.list[<item>]
TypeInfo none_result();                             // None, imports nothing
TypeInfo described_class(std::string_view name);    // a class of the described module

}  // namespace tavrino::stubs
