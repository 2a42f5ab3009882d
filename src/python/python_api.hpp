#pragma once

// The one way this module includes the interpreter's C API: lengths are
// Py_ssize_t everywhere, as the fast calling convention requires.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
