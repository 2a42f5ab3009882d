#pragma once

#include "python/python_api.hpp"

namespace tavrino::python {

// The class's entry points, as installed in its type slots.
PyObject* torso_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
void torso_dealloc(PyObject* self);

// The five methods, with their signatures in the docstrings, and a null sentinel.
extern PyMethodDef torso_methods[];

}  // namespace tavrino::python
