// The module initialiser and the registration of the class.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include <tavrino/kinematics/internal_error.hpp>

#include "python/boundary.hpp"
#include "python/methods.hpp"
#include "python/python_api.hpp"
#include "python/python_error.hpp"
#include "python/reference.hpp"
#include "python/text.hpp"
#include "python/torso_object.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// CPython 3.12's own test of whether the current interpreter takes modules
// like this one (isolated interpreters do not). Exported by the interpreter but
// declared only in its internal headers.
extern "C" PyAPI_FUNC(int) _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

namespace tavrino::python {

namespace {

constexpr const char* kModuleName = "tavrino_torso_kinematics";
// The class declares no module, so it is registered under "builtins".
constexpr const char* kTypeSpecName = "builtins.TavrinoTorsoKinematics";
// The short class name, the text signature and an empty docstring: the
// interpreter turns this into __text_signature__ and a __doc__ of "".
constexpr char kClassDoc[] = "TavrinoTorsoKinematics(motor_arm_length, rod_length)\n--\n\n";
static_assert(std::string_view(kClassDoc).size() == sizeof(kClassDoc) - 1, "class doc cannot contain nul bytes");
// The C API version that the module is built against, passed to the interpreter as is.
constexpr int kModuleApiVersion = 1013;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "",  // __doc__ is the empty string, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set once, by the first interpreter that imports the module: its objects
// (the module, the class) belong to that interpreter, so no other one may use
// them. Atomic because interpreters need not share a GIL. Only an import that
// the interpreter goes on to accept may set it (see refuse_if_interpreter_would).
std::atomic<std::int64_t> initialised_interpreter_id{-1};
// The cells below are written under the interpreter lock only, by the one
// interpreter allowed, and never released.
PyObject* module_cell = nullptr;
PyTypeObject* type_object_cell = nullptr;

PyType_Slot type_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&torso_new)},
    {Py_tp_methods, torso_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&torso_dealloc)},
    {0, nullptr},
};

PyType_Spec type_spec = {
    kTypeSpecName,
    static_cast<int>(sizeof(TorsoObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    type_slots,
};

PyObject* interned_all() {
  static PyObject* name = nullptr;
  if (!name) {
    name = PyUnicode_InternFromString("__all__");
    if (!name) throw_fetched_error();
  }
  return name;
}

// The module's __all__, created empty if it has none.
Reference module_all(PyObject* module) {
  Reference all(PyObject_GetAttr(module, interned_all()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched_error();
    PyErr_Clear();
    all = Reference(PyList_New(0));
    if (!all) throw_fetched_error();
    if (PyObject_SetAttr(module, interned_all(), all.get()) < 0) throw_fetched_error();
    return all;
  }
  if (!PyList_Check(all.get())) throw PythonError(PyExc_TypeError, cannot_convert_message(all.get(), "PyList"));
  return all;
}

std::string debug_rendering(const PythonError& error) {
  return concat({"PythonError { type: ", qualname_of(reinterpret_cast<PyTypeObject*>(error.type())), ", message: ", error.text(), " }"});
}

void add_class(PyObject* module) {
  PyObject* type = reinterpret_cast<PyObject*>(torso_type());
  Reference name(PyUnicode_FromStringAndSize(kClassName.data(), static_cast<Py_ssize_t>(kClassName.size())));
  if (!name) throw_fetched_error();
  const Reference all = module_all(module);
  if (PyList_Append(all.get(), name.get()) < 0) {
    throw InternalError(concat({"could not append __name__ to __all__: ", debug_rendering(fetch_error())}));
  }
  if (PyObject_SetAttr(module, name.get(), type) < 0) throw_fetched_error();
}

// An interpreter that takes no single-phase modules (an isolated one, since
// 3.12) still runs this initialiser on 3.12 and refuses the module only after
// it returns. Had that run claimed the module, the interpreter that was
// refused would hold it for good, every other import in the process failing,
// and the cells would keep objects of an interpreter that is gone. So the
// initialiser applies the interpreter's own test first and fails as the
// interpreter would have, before it claims or creates anything. 3.13 runs the
// initialiser of an import from another interpreter in the main interpreter,
// and earlier versions have no such refusal.
void refuse_if_interpreter_would() {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
  if (_PyImport_CheckSubinterpIncompatibleExtensionAllowed(kModuleName) < 0) throw_fetched_error();
#endif
}

PyObject* make_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_fetched_error();
  refuse_if_interpreter_would();
  std::int64_t expected = -1;
  if (!initialised_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    throw PythonError(PyExc_ImportError,
                      "tavrino_torso_kinematics is already in use by another interpreter of this "
                      "process; extension modules with single-phase initialisation do not yet "
                      "support subinterpreters");
  }
  // Imported again (say after removal from sys.modules): the same module.
  if (module_cell) return Py_NewRef(module_cell);
  Reference module(PyModule_Create2(&module_definition, kModuleApiVersion));
  if (!module) throw_fetched_error();
  add_class(module.get());
  module_cell = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

PyTypeObject* torso_type() {
  if (!type_object_cell) {
    PyObject* created = PyType_FromSpec(&type_spec);
    if (!created) throw_fetched_error();
    type_object_cell = reinterpret_cast<PyTypeObject*>(created);
  }
  return type_object_cell;
}

}  // namespace tavrino::python

PyMODINIT_FUNC PyInit_tavrino_torso_kinematics() {
  return tavrino::python::trampoline([] { return tavrino::python::make_module(); });
}
