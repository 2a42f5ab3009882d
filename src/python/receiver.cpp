#include "python/receiver.hpp"

#include <tavrino/kinematics/internal_error.hpp>

#include "python/python_error.hpp"
#include "python/text.hpp"

namespace tavrino::python {

namespace {

PyTypeObject* torso_type_or_fail() {
  try {
    return torso_type();
  } catch (PythonError& error) {
    std::move(error).restore();
    PyErr_Print();
    throw InternalError("failed to create type object for TavrinoTorsoKinematics");
  }
}

}  // namespace

Receiver::Receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, torso_type_or_fail())) {
    throw PythonError(PyExc_TypeError, cannot_convert_message(self, "TavrinoTorsoKinematics"));
  }
  if (!as_torso(self).built) {
    throw PythonError(PyExc_TypeError,
                      concat({"'", type_qualname(self), "' object was not initialised by its constructor"}));
  }
  self_ = Reference::borrow(self);
}

}  // namespace tavrino::python
