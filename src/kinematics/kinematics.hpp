#pragma once

// The kinematics of a six-branch rotary parallel torso: the model, the closed-form
// inverse kinematics (plain and with a limited body yaw), one step of the
// iterative forward kinematics and forward kinematics solved to convergence,
// velocity kinematics and conditioning. Nothing here depends on Python.
//
// Errors come in three kinds. A pose that a branch cannot reach is a value: its
// angle is NaN. solve_forward_kinematics reports how it ended in a status and
// throws nothing. A broken precondition throws tavrino::InternalError: a
// singular pose (a motor pose, or the forward-kinematics estimate, with an
// exactly zero determinant), a wrong branch count (forward kinematics, velocity
// kinematics and conditioning need six branches; a caller's result buffer must
// match the branches), an invalid yaw band. Nothing else is thrown, apart from
// std::bad_alloc by the calls that build a model or return a std::vector. Each
// declaration says which of these it can raise.
//
// The calls of a control loop allocate nothing unless they throw (the C++
// runtime allocates every exception object, and InternalError its message):
// inverse_kinematics_into, inverse_kinematics_safe_into, forward_kinematics,
// reset_forward_kinematics, solve_forward_kinematics (which never throws),
// velocity_jacobians, joint_velocities, platform_twist and conditioning.
//
// The matrix types are unaligned (see pose.hpp): no Eigen definition is needed
// or imposed, and they lay out the same whatever the user's compiler flags.
//
// The headers include one another by relative path, so the same files work from
// the source tree and installed under include/tavrino/kinematics/.

#include "conditioning.hpp"
#include "example_torso.hpp"
#include "forward_kinematics.hpp"
#include "internal_error.hpp"
#include "inverse_kinematics.hpp"
#include "model.hpp"
#include "pose.hpp"
#include "safe_inverse_kinematics.hpp"
#include "solve_forward_kinematics.hpp"
#include "velocity_kinematics.hpp"
#include "yaw_limit.hpp"
