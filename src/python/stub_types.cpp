#include "python/stub_types.hpp"

#include <utility>

namespace tavrino::stubs {

ModuleRef named_module(std::string_view name) { return ModuleRef{std::string(name)}; }

ModuleRef described_module() { return ModuleRef{std::nullopt}; }

namespace {

// "<outer>[<inner>]", importing what the inner expression imports plus the module
// of the outer name.
TypeInfo wrap(std::string_view outer, std::string_view outer_module, const TypeInfo& inner) {
  TypeInfo wrapped{std::string(outer) + "[" + inner.name + "]", inner.import};
  wrapped.import.insert(named_module(outer_module));
  return wrapped;
}

}  // namespace

TypeInfo builtin_type(std::string_view name) {
  return TypeInfo{"builtins." + std::string(name), {named_module("builtins")}};
}

TypeInfo sequence_parameter(const TypeInfo& item) { return wrap("typing.Sequence", "typing", item); }

TypeInfo optional_parameter(const TypeInfo& inner) { return wrap("typing.Optional", "typing", inner); }

TypeInfo list_result(const TypeInfo& item) { return wrap("builtins.list", "builtins", item); }

TypeInfo none_result() { return TypeInfo{"None", {}}; }

TypeInfo described_class(std::string_view name) {
  return TypeInfo{std::string(name), {described_module()}};
}

}  // namespace tavrino::stubs
