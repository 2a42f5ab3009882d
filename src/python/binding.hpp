#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "python/python_api.hpp"
#include "python/reference.hpp"

namespace tavrino::python {

// The parameter list of one entry point. Every parameter may be given by
// position or by keyword; the first `required_count` are required, the others
// are absent unless given.
struct FunctionDescription {
  std::string_view class_name;
  std::string_view method_name;
  std::span<const std::string_view> parameter_names;
  std::size_t required_count;
};

// Binding fills one slot per parameter with a strong reference to its
// argument, or leaves it null when an optional parameter was not given. The
// slots own what they hold because converting one argument runs Python code
// (__float__, __getitem__, ...) that may empty the caller's keyword dict or
// container and so drop the only other reference to a later argument. A bad
// argument list throws PythonError (TypeError) with the message Python's own
// functions would give, qualified as "{class_name}.{method_name}()".

// The fast calling convention: `nargs` positional arguments, then the values of
// the keywords named in `kwnames` (a tuple, or null), in that order.
void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<Reference> slots);

// The tp_new convention: a tuple of positional arguments and a dict of keyword
// arguments, or null.
void extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, std::span<Reference> slots);

}  // namespace tavrino::python
