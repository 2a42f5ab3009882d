#pragma once

// The kinematics of a six-branch rotary parallel torso: the model, the closed-form
// inverse kinematics (plain and with a limited body yaw) and one step of the
// iterative forward kinematics. Nothing here depends on Python.

#include "kinematics/example_torso.hpp"
#include "kinematics/forward_kinematics.hpp"
#include "kinematics/internal_error.hpp"
#include "kinematics/inverse_kinematics.hpp"
#include "kinematics/model.hpp"
#include "kinematics/pose.hpp"
#include "kinematics/safe_inverse_kinematics.hpp"
#include "kinematics/yaw_limit.hpp"
