#include "python/stub_registry.hpp"

#include <vector>

namespace tavrino::stubs {

namespace {

// Function-local statics: registration runs from other translation units' static
// initialisers, in an order the language leaves open, so the containers must come
// to life on first use rather than at their own turn.
std::vector<const PyClassInfo*>& class_registry() {
  static std::vector<const PyClassInfo*> registry;
  return registry;
}

std::vector<const PyMethodsInfo*>& methods_registry() {
  static std::vector<const PyMethodsInfo*> registry;
  return registry;
}

}  // namespace

void register_class(const PyClassInfo& info) { class_registry().push_back(&info); }

void register_methods(const PyMethodsInfo& info) { methods_registry().push_back(&info); }

// Spans from pointer and size: the range constructor would pull the standard
// library's customisation-point objects into the shared object's dynamic symbols.
std::span<const PyClassInfo* const> registered_classes() {
  return {class_registry().data(), class_registry().size()};
}

std::span<const PyMethodsInfo* const> registered_methods() {
  return {methods_registry().data(), methods_registry().size()};
}

}  // namespace tavrino::stubs
