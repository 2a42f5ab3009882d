#pragma once

#include "python/reference.hpp"
#include "python/torso_object.hpp"

namespace tavrino::python {

// The object a method was called on, checked to be a TavrinoTorsoKinematics
// (or a subtype) and held by a new reference for the length of the call.
// Anything else is the TypeError "'{T}' object cannot be converted to
// 'TavrinoTorsoKinematics'"; an instance that our constructor never built is
// the TypeError "'{T}' object was not initialised by its constructor".
class Receiver {
 public:
  explicit Receiver(PyObject* self);

  TorsoObject* operator->() const noexcept { return &as_torso(self_.get()); }

 private:
  Reference self_;
};

}  // namespace tavrino::python
