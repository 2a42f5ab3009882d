#include "python/methods.hpp"

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include <tavrino/kinematics/kinematics.hpp>

#include "python/angle_buffer.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/conversion.hpp"
#include "python/object_lock.hpp"
#include "python/receiver.hpp"
#include "python/torso_object.hpp"

// Every method runs in the same order: bind the arguments, check the receiver,
// convert the arguments in parameter order, then take the object's lock only
// around the core operation, and build the Python result after releasing it.
// So a bad argument never touches the lock or the model, no Python code runs
// while the lock is held, and an internal error in the core poisons the lock.

namespace tavrino::python {

namespace {

constexpr std::string_view kNewParameters[] = {"motor_arm_length", "rod_length"};
constexpr std::string_view kAddBranchParameters[] = {"branch_platform", "t_world_motor", "solution"};
constexpr std::string_view kInverseKinematicsParameters[] = {"t_world_platform", "body_yaw"};
constexpr std::string_view kResetParameters[] = {"t_world_platform"};
constexpr std::string_view kForwardKinematicsParameters[] = {"joint_angles", "body_yaw"};
constexpr std::string_view kSafeParameters[] = {"t_world_platform", "body_yaw", "max_relative_yaw",
                                                "max_body_yaw"};

constexpr FunctionDescription kNew{kClassName, "__new__", kNewParameters, 2};
constexpr FunctionDescription kAddBranch{kClassName, "add_branch", kAddBranchParameters, 3};
constexpr FunctionDescription kInverseKinematics{kClassName, "inverse_kinematics", kInverseKinematicsParameters, 1};
constexpr FunctionDescription kReset{kClassName, "reset_forward_kinematics", kResetParameters, 1};
constexpr FunctionDescription kForwardKinematics{kClassName, "forward_kinematics", kForwardKinematicsParameters, 1};
constexpr FunctionDescription kSafe{kClassName, "inverse_kinematics_safe", kSafeParameters, 1};

// The bound arguments of one call, each held by a strong reference until the
// call returns.
template <std::size_t N>
using Slots = std::array<Reference, N>;

PyObject* add_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return trampoline([&]() -> PyObject* {
    Slots<3> slots{};
    extract_arguments_fastcall(kAddBranch, args, nargs, kwnames, slots);
    const Receiver torso(self);
    const Vector3 platform = convert_argument("branch_platform", [&] { return extract_vector3(slots[0].get()); });
    const Pose motor = convert_argument("t_world_motor", [&] { return extract_pose(slots[1].get()); });
    const double solution = convert_argument("solution", [&] { return extract_float(slots[2].get()); });
    with_lock(torso->object_lock, [&] { torso->kinematics.add_branch(platform, motor, solution); });
    return new_none();
  });
}

PyObject* inverse_kinematics(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return trampoline([&]() -> PyObject* {
    Slots<2> slots{};
    extract_arguments_fastcall(kInverseKinematics, args, nargs, kwnames, slots);
    const Receiver torso(self);
    const Pose target = convert_argument("t_world_platform", [&] { return extract_pose(slots[0].get()); });
    const auto body_yaw = convert_argument("body_yaw", [&] { return extract_optional_float(slots[1].get()); });
    AngleBuffer angles;
    with_lock(torso->object_lock, [&] {
      const Kinematics& model = torso->kinematics;
      inverse_kinematics_into(model, target, body_yaw, angles.resize(model.branches().size()));
    });
    return new_float_list(angles.values());
  });
}

PyObject* reset_forward_kinematics(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return trampoline([&]() -> PyObject* {
    Slots<1> slots{};
    extract_arguments_fastcall(kReset, args, nargs, kwnames, slots);
    const Receiver torso(self);
    const Pose pose = convert_argument("t_world_platform", [&] { return extract_pose(slots[0].get()); });
    with_lock(torso->object_lock, [&] { tavrino::reset_forward_kinematics(torso->estimate, pose); });
    return new_none();
  });
}

PyObject* forward_kinematics(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return trampoline([&]() -> PyObject* {
    Slots<2> slots{};
    extract_arguments_fastcall(kForwardKinematics, args, nargs, kwnames, slots);
    const Receiver torso(self);
    const JointAngles joints = convert_argument("joint_angles", [&] { return extract_floats<6>(slots[0].get()); });
    const auto body_yaw = convert_argument("body_yaw", [&] { return extract_optional_float(slots[1].get()); });
    const Pose pose = with_lock(torso->object_lock, [&] {
      return tavrino::forward_kinematics(torso->kinematics, torso->estimate, joints, body_yaw);
    });
    return new_pose_rows(pose);
  });
}

PyObject* inverse_kinematics_safe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return trampoline([&]() -> PyObject* {
    Slots<4> slots{};
    extract_arguments_fastcall(kSafe, args, nargs, kwnames, slots);
    const Receiver torso(self);
    const Pose target = convert_argument("t_world_platform", [&] { return extract_pose(slots[0].get()); });
    const auto body_yaw = convert_argument("body_yaw", [&] { return extract_optional_float(slots[1].get()); });
    const auto max_relative_yaw =
        convert_argument("max_relative_yaw", [&] { return extract_optional_float(slots[2].get()); });
    const auto max_body_yaw =
        convert_argument("max_body_yaw", [&] { return extract_optional_float(slots[3].get()); });
    // The yaw limiting and the solve form one holding of the lock: an invalid
    // limit is an internal error inside it and so poisons the object.
    AngleBuffer result;
    with_lock(torso->object_lock, [&] {
      const Kinematics& model = torso->kinematics;
      tavrino::inverse_kinematics_safe_into(model, target, body_yaw, max_relative_yaw, max_body_yaw,
                                            result.resize(model.branches().size() + 1));
    });
    return new_float_list(result.values());
  });
}

using FastcallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method table stores every function as PyCFunction; the flags tell the
// interpreter the real signature.
PyCFunction as_cfunction(FastcallWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcallFlags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyObject* torso_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return trampoline([&]() -> PyObject* {
    Slots<2> slots{};
    extract_arguments_tuple_dict(kNew, args, kwargs, slots);
    const double motor_arm_length =
        convert_argument("motor_arm_length", [&] { return extract_float(slots[0].get()); });
    const double rod_length = convert_argument("rod_length", [&] { return extract_float(slots[1].get()); });
    const allocfunc allocate = subtype->tp_alloc ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* self = allocate(subtype, 0);
    if (!self) throw_fetched_error();
    // No constructor here can fail: the model starts with no branches, the
    // estimate at the identity. No lock is taken, since nobody else can see the
    // object yet.
    TorsoObject& torso = as_torso(self);
    new (&torso.object_lock) ObjectLock();
    new (&torso.kinematics) Kinematics(motor_arm_length, rod_length);
    new (&torso.estimate) ForwardKinematicsEstimate();
    torso.built = true;
    return self;
  });
}

void torso_dealloc(PyObject* self) {
  trampoline_unraisable([self] {
    // The lock is not looked at: a poisoned object is freed like any other.
    // An instance that did not come from our constructor holds no model.
    TorsoObject& torso = as_torso(self);
    if (torso.built) {
      std::destroy_at(&torso.estimate);
      std::destroy_at(&torso.kinematics);
    }
    PyTypeObject* type = Py_TYPE(self);
    const Reference held_type = Reference::borrow(reinterpret_cast<PyObject*>(type));
    const Reference held_base = Reference::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    const freefunc free = type->tp_free;
    if (!free) throw InternalError("PyBaseObject_Type should have tp_free");
    free(self);
    // An instance of a heap type owns a reference to its type.
    Py_DECREF(type);
  });
}

PyMethodDef torso_methods[] = {
    {"add_branch", as_cfunction(add_branch), kFastcallFlags,
     "add_branch($self, branch_platform, t_world_motor, solution)\n--\n\n"},
    {"inverse_kinematics", as_cfunction(inverse_kinematics), kFastcallFlags,
     "inverse_kinematics($self, t_world_platform, body_yaw=None)\n--\n\n"},
    {"reset_forward_kinematics", as_cfunction(reset_forward_kinematics), kFastcallFlags,
     "reset_forward_kinematics($self, t_world_platform)\n--\n\n"},
    {"forward_kinematics", as_cfunction(forward_kinematics), kFastcallFlags,
     "forward_kinematics($self, joint_angles, body_yaw=None)\n--\n\n"},
    {"inverse_kinematics_safe", as_cfunction(inverse_kinematics_safe), kFastcallFlags,
     "inverse_kinematics_safe($self, t_world_platform, body_yaw=None, max_relative_yaw=None, "
     "max_body_yaw=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tavrino::python
