#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "python/python_api.hpp"

namespace tavrino::python {

// The parts joined, for building messages.
std::string concat(std::initializer_list<std::string_view> parts);

// str(obj) as UTF-8. Lone surrogates are kept as their (invalid) bytes, which
// become replacement characters when the text is turned back into a Python
// string. Empty if str() fails; the failure is cleared.
std::optional<std::string> str_of(PyObject* obj);

// The qualified name of a type, or "<failed to extract type name>".
std::string qualname_of(PyTypeObject* type);
// The same for obj's type.
inline std::string type_qualname(PyObject* obj) { return qualname_of(Py_TYPE(obj)); }

// "'{T}' object cannot be converted to '{target}'", T being obj's type.
std::string cannot_convert_message(PyObject* obj, std::string_view target);

// A new Python string from UTF-8 text, invalid bytes replaced; null with the
// interpreter's error set if it cannot be made.
PyObject* new_string_lossy(std::string_view text);

}  // namespace tavrino::python
