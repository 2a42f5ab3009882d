#include "python/text.hpp"

#include "python/reference.hpp"

namespace tavrino::python {

namespace {

std::optional<std::string> utf8_of_string(PyObject* text) {
  Reference bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace

std::string concat(std::initializer_list<std::string_view> parts) {
  std::string joined;
  for (std::string_view part : parts) joined += part;
  return joined;
}

std::optional<std::string> str_of(PyObject* obj) {
  Reference text(PyObject_Str(obj));
  if (!text) {
    PyErr_Clear();
    return std::nullopt;
  }
  return utf8_of_string(text.get());
}

std::string qualname_of(PyTypeObject* type) {
  Reference name(PyType_GetQualName(type));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string cannot_convert_message(PyObject* obj, std::string_view target) {
  return concat({"'", type_qualname(obj), "' object cannot be converted to '", target, "'"});
}

PyObject* new_string_lossy(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace tavrino::python
