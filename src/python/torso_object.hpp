#pragma once

#include <string_view>

#include <tavrino/kinematics/forward_step.hpp>
#include <tavrino/kinematics/model.hpp>

#include "python/object_lock.hpp"
#include "python/python_api.hpp"

namespace tavrino::python {

// The class's name, as its methods' messages and the module's __all__ give it.
inline constexpr std::string_view kClassName = "TavrinoTorsoKinematics";

// The instance record of TavrinoTorsoKinematics: the object header, then the
// lock, then what it guards: the model and the pose estimate of the one-step
// forward kinematics, the only state that changes once the branches are added.
// The interpreter allocates and frees the memory; the constructor entry builds
// the members in place and deallocation destroys them in place. The record owns no Python objects
// (no __dict__, no weak references), so the type needs no garbage-collector
// support. Eigen is built without over-alignment, so the interpreter's
// allocation is aligned enough.
//
// `built` is set last by the constructor entry. The class is mutable, so Python
// code can replace __new__ and get instances from object.__new__: the
// interpreter's allocator hands them out zero-filled and our constructor never
// runs, so `built` reads false and the lock, model and estimate must not be touched.
struct TorsoObject {
  PyObject_HEAD
  ObjectLock object_lock;
  Kinematics kinematics;
  ForwardKinematicsEstimate estimate;
  bool built;
};

inline TorsoObject& as_torso(PyObject* self) noexcept { return *reinterpret_cast<TorsoObject*>(self); }

// The class, created once per process on first need. Throws PythonError if the
// interpreter cannot create it.
PyTypeObject* torso_type();

}  // namespace tavrino::python
