#include "python/binding.hpp"

#include <string>
#include <vector>

#include "python/python_error.hpp"
#include "python/text.hpp"

namespace tavrino::python {

namespace {

std::string qualified_name(const FunctionDescription& d) {
  return concat({d.class_name, ".", d.method_name, "()"});
}

PythonError type_error(std::string message) { return PythonError(PyExc_TypeError, std::move(message)); }

PythonError too_many_positional(const FunctionDescription& d, std::size_t given) {
  const std::size_t count = d.parameter_names.size();
  const std::string accepted = d.required_count == count
                                   ? std::to_string(count)
                                   : concat({"from ", std::to_string(d.required_count), " to ", std::to_string(count)});
  // At least one parameter and more arguments than that: always "were".
  return type_error(concat({qualified_name(d), " takes ", accepted, " positional arguments but ",
                            std::to_string(given), " were given"}));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

PythonError missing_required(const FunctionDescription& d, std::span<const Reference> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < d.required_count; ++i) {
    if (!slots[i]) missing.push_back(d.parameter_names[i]);
  }
  return type_error(concat({qualified_name(d), " missing ", std::to_string(missing.size()),
                            " required positional ", missing.size() == 1 ? "argument" : "arguments", ": ",
                            quoted_name_list(missing)}));
}

PythonError multiple_values(const FunctionDescription& d, std::string_view parameter) {
  return type_error(concat({qualified_name(d), " got multiple values for argument '", parameter, "'"}));
}

PythonError unexpected_keyword(const FunctionDescription& d, PyObject* key) {
  return type_error(concat({qualified_name(d), " got an unexpected keyword argument '",
                            str_of(key).value_or("<unprintable>"), "'"}));
}

void bind_positional(const FunctionDescription& d, PyObject* const* args, std::size_t given,
                     std::span<Reference> slots) {
  const std::size_t count = d.parameter_names.size();
  for (std::size_t i = 0; i < given && i < count; ++i) slots[i] = Reference::borrow(args[i]);
  if (given > count) throw too_many_positional(d, given);
}

void bind_keyword(const FunctionDescription& d, PyObject* key, PyObject* value, std::span<Reference> slots) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (!utf8) {
    // A name that cannot be encoded matches no parameter; its error is not ours.
    PyErr_Clear();
    throw unexpected_keyword(d, key);
  }
  const std::string_view name(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < d.parameter_names.size(); ++i) {
    if (d.parameter_names[i] != name) continue;
    if (slots[i]) throw multiple_values(d, d.parameter_names[i]);
    slots[i] = Reference::borrow(value);
    return;
  }
  throw unexpected_keyword(d, key);
}

void check_required(const FunctionDescription& d, std::size_t given, std::span<const Reference> slots) {
  for (std::size_t i = given; i < d.required_count; ++i) {
    if (!slots[i]) throw missing_required(d, slots);
  }
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<Reference> slots) {
  const auto given = static_cast<std::size_t>(nargs);
  bind_positional(description, args, given, slots);
  if (kwnames) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      bind_keyword(description, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
    }
  }
  check_required(description, given, slots);
}

void extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, std::span<Reference> slots) {
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  bind_positional(description, PySequence_Fast_ITEMS(args), given, slots);
  if (kwargs) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      // The entry is borrowed from the dict only while it is being bound.
      const Reference held_key = Reference::borrow(key);
      bind_keyword(description, held_key.get(), value, slots);
    }
  }
  check_required(description, given, slots);
}

}  // namespace tavrino::python
