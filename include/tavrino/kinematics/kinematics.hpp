#pragma once

// The kinematics of a six-branch rotary parallel torso. One header per
// algorithm, each usable on its own:
//
//   pose.hpp            the matrix types and the pose helpers
//   model.hpp           Kinematics, the model: branches and lengths
//   example_torso.hpp   a realistic torso for demos, tests and benchmarks
//   inverse.hpp         closed-form inverse kinematics, plain and with a limited body yaw
//   forward_step.hpp    one step of the iterative forward kinematics, from an estimate
//   forward_solve.hpp   forward kinematics solved to convergence, with a status
//   velocity.hpp        velocity Jacobians and conditioning
//   dynamics.hpp        motor torques: statics, motor accelerations and inverse dynamics
//   internal_error.hpp  InternalError, the one exception of a broken precondition
//
// Nothing here depends on Python.
//
// Model and state are apart: a Kinematics is immutable once its branches are
// added, and every call takes it by const reference, so any number of threads
// may share one model. The only state, the pose estimate of the one-step
// forward kinematics, is a value of its own (ForwardKinematicsEstimate) that
// the caller owns.
//
// Errors come in three kinds. A pose that a branch cannot reach is a value: its
// angle is NaN. solve_forward_kinematics reports how it ended in a status and
// throws nothing. A broken precondition throws tavrino::InternalError: a
// singular pose (a motor pose, or the forward-kinematics estimate, with an
// exactly zero determinant), a wrong branch count (forward kinematics, velocity
// kinematics, conditioning and dynamics need six branches; a caller's result buffer must
// match the branches), an invalid yaw band. Nothing else is thrown, apart from
// std::bad_alloc by the calls that build a model or return a std::vector. Each
// declaration says which of these it can raise.
//
// The calls of a control loop allocate nothing unless they throw (the C++
// runtime allocates every exception object, and InternalError its message):
// inverse_kinematics_into, inverse_kinematics_safe_into, forward_kinematics,
// reset_forward_kinematics, solve_forward_kinematics (which never throws),
// velocity_jacobians, joint_velocities, platform_twist, conditioning,
// motor_torques, gravity_wrench, joint_accelerations and inverse_dynamics.
//
// The matrix types are unaligned (see pose.hpp): no Eigen definition is needed
// or imposed, and they lay out the same whatever the user's compiler flags.

#include <tavrino/kinematics/dynamics.hpp>
#include <tavrino/kinematics/example_torso.hpp>
#include <tavrino/kinematics/forward_solve.hpp>
#include <tavrino/kinematics/forward_step.hpp>
#include <tavrino/kinematics/internal_error.hpp>
#include <tavrino/kinematics/inverse.hpp>
#include <tavrino/kinematics/model.hpp>
#include <tavrino/kinematics/pose.hpp>
#include <tavrino/kinematics/velocity.hpp>
