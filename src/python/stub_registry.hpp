#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/stub_types.hpp"

// Records of a module's Python interface for a stub generator, and the
// process-wide registries that hold them. Records are static, immutable data that
// register themselves while the shared object is loaded; nothing in the module
// reads them back.
namespace tavrino::stubs {

// Type expressions are produced on request rather than stored, so that the
// records stay constant data.
using TypeFunction = TypeInfo (*)();
// A parameter's default as it reads in the stub, made once on first use.
using DefaultFunction = const std::string& (*)();

// Joins a class record to the records of its methods: the address of a tag
// object owned by the describing code, unique in the process.
struct ClassId {
  const void* tag;

  bool operator==(const ClassId&) const = default;
};

struct ParameterInfo {
  std::string_view name;
  TypeFunction type;
  DefaultFunction default_text = nullptr;  // null: the parameter has no default
};

enum class CallableKind { kInstanceMethod, kConstructor };

// One callable of a class; the receiver (self or cls) is not among its parameters.
struct CallableInfo {
  std::string_view name;
  CallableKind kind;
  std::string_view doc;
  std::span<const ParameterInfo> parameters;
  TypeFunction result;
};

struct PropertyInfo {
  std::string_view name;
  TypeFunction type;
  std::string_view doc;
};

// A class attribute that is not a callable.
struct MemberInfo {
  std::string_view name;
  TypeFunction type;
};

struct PyClassInfo {
  ClassId id;
  std::string_view name;
  std::optional<std::string_view> module;  // empty: the described module
  std::string_view doc;
  std::span<const PropertyInfo> properties;
  std::span<const TypeFunction> bases;  // empty: object alone
  // The class cannot be subclassed: the stub marks it final, or a type checker
  // would accept subclasses that fail at run time.
  bool is_final = false;
};

struct PyMethodsInfo {
  ClassId id;
  std::span<const MemberInfo> members;
  std::span<const CallableInfo> callables;
};

// The records must outlive the process's use of the registries: register only
// static data.
void register_class(const PyClassInfo& info);
void register_methods(const PyMethodsInfo& info);

std::span<const PyClassInfo* const> registered_classes();
std::span<const PyMethodsInfo* const> registered_methods();

// Registers a record from a static initialiser: define one at namespace scope next
// to the record.
struct ClassRegistration {
  explicit ClassRegistration(const PyClassInfo& info) { register_class(info); }
};

struct MethodsRegistration {
  explicit MethodsRegistration(const PyMethodsInfo& info) { register_methods(info); }
};

}  // namespace tavrino::stubs
