// Writes the Python stub file of the module from the type description that its
// sources register at load time: stubgen OUTPUT.pyi
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "python/stubs.hpp"

namespace {

using namespace tavrino::stubs;

struct ClassDescription {
  const PyClassInfo* info;
  std::vector<const PyMethodsInfo*> methods;
};

// Every methods record must belong to a registered class: one that does not
// would silently vanish from the stub.
bool join_records(std::vector<ClassDescription>& classes) {
  for (const PyClassInfo* info : registered_classes()) classes.push_back({info, {}});
  for (const PyMethodsInfo* methods : registered_methods()) {
    bool joined = false;
    for (ClassDescription& description : classes) {
      if (description.info->id == methods->id) {
        description.methods.push_back(methods);
        joined = true;
      }
    }
    if (!joined) {
      std::cerr << "stubgen: a methods record belongs to no registered class\n";
      return false;
    }
  }
  return true;
}

void add_imports(std::set<ModuleRef>& imports, TypeFunction type) {
  const TypeInfo info = type();
  imports.insert(info.import.begin(), info.import.end());
}

std::set<ModuleRef> collect_imports(const std::vector<ClassDescription>& classes) {
  std::set<ModuleRef> imports;
  for (const ClassDescription& description : classes) {
    if (description.info->is_final) imports.insert(named_module("typing"));
    for (TypeFunction base : description.info->bases) add_imports(imports, base);
    for (const PropertyInfo& property : description.info->properties) add_imports(imports, property.type);
    for (const PyMethodsInfo* methods : description.methods) {
      for (const MemberInfo& member : methods->members) add_imports(imports, member.type);
      for (const CallableInfo& callable : methods->callables) {
        for (const ParameterInfo& parameter : callable.parameters) add_imports(imports, parameter.type);
        add_imports(imports, callable.result);
      }
    }
  }
  return imports;
}

// A docstring as a triple-quoted literal that reads back as the same text.
std::string docstring_literal(std::string_view doc) {
  std::string literal = "\"\"\"";
  for (char c : doc) {
    if (c == '\\' || c == '"') literal += '\\';
    literal += c;
  }
  return literal + "\"\"\"";
}

std::string render_parameters(const CallableInfo& callable) {
  std::string text = callable.kind == CallableKind::kConstructor ? "cls" : "self";
  for (const ParameterInfo& parameter : callable.parameters) {
    text += ", " + std::string(parameter.name) + ": " + parameter.type().name;
    if (parameter.default_text != nullptr) text += " = " + parameter.default_text();
  }
  return text;
}

void write_callable(std::ostream& out, const CallableInfo& callable) {
  out << "    def " << callable.name << "(" << render_parameters(callable) << ") -> "
      << callable.result().name << ":";
  if (callable.doc.empty()) {
    out << " ...\n";
  } else {
    out << "\n        " << docstring_literal(callable.doc) << "\n";
  }
}

void write_class_header(std::ostream& out, const PyClassInfo& info) {
  if (info.is_final) out << "@typing.final\n";
  out << "class " << info.name;
  if (!info.bases.empty()) {
    out << "(";
    const char* separator = "";
    for (TypeFunction base : info.bases) {
      out << separator << base().name;
      separator = ", ";
    }
    out << ")";
  }
  out << ":\n";
  if (!info.doc.empty()) out << "    " << docstring_literal(info.doc) << "\n";
}

void write_class(std::ostream& out, const ClassDescription& description) {
  const PyClassInfo& info = *description.info;
  write_class_header(out, info);
  bool has_body = !info.doc.empty();
  for (const PropertyInfo& property : info.properties) {
    out << "    @property\n    def " << property.name << "(self) -> " << property.type().name << ": ...\n";
    has_body = true;
  }
  for (const PyMethodsInfo* methods : description.methods) {
    for (const MemberInfo& member : methods->members) {
      out << "    " << member.name << ": " << member.type().name << "\n";
      has_body = true;
    }
    for (const CallableInfo& callable : methods->callables) {
      write_callable(out, callable);
      has_body = true;
    }
  }
  if (!has_body) out << "    ...\n";
}

// A class record naming another module is not part of this module's stub.
bool belongs_to_described_module(const PyClassInfo& info) {
  return !info.module.has_value() || *info.module == kDescribedModuleName;
}

// The module lists each class it adds in __all__, so the stub does too.
void write_all(std::ostream& out, const std::vector<ClassDescription>& classes) {
  out << "\n__all__ = [";
  const char* separator = "";
  for (const ClassDescription& description : classes) {
    out << separator << '"' << description.info->name << '"';
    separator = ", ";
  }
  out << "]\n";
}

std::string render_stub(const std::vector<ClassDescription>& classes) {
  std::ostringstream out;
  out << "# Generated by stubgen from the module's type description. Do not edit.\n\n";
  for (const ModuleRef& module : collect_imports(classes)) {
    if (!module.is_described_module()) out << "import " << *module.name << "\n";
  }
  write_all(out, classes);
  for (const ClassDescription& description : classes) {
    out << "\n";
    write_class(out, description);
  }
  return out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: stubgen OUTPUT.pyi\n";
    return 2;
  }
  std::vector<ClassDescription> all_classes;
  if (!join_records(all_classes)) return 1;
  std::vector<ClassDescription> classes;
  for (const ClassDescription& description : all_classes) {
    if (belongs_to_described_module(*description.info)) classes.push_back(description);
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << render_stub(classes);
  file.close();
  if (!file) {
    std::cerr << "stubgen: cannot write " << argv[1] << "\n";
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
