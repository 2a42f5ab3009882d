"""Calls every callable of the module the way its documentation allows; a type
checker must accept all of it and infer the stated result types."""

from typing import assert_type

from tavrino_torso_kinematics import TavrinoTorsoKinematics

IDENTITY = [[1.0 if r == c else 0.0 for c in range(4)] for r in range(4)]

torso = TavrinoTorsoKinematics(0.05, rod_length=0.12)
assert_type(torso, TavrinoTorsoKinematics)
assert_type(torso.add_branch((0.01, 0.02, 0.0), IDENTITY, -1.0), None)
torso.add_branch(branch_platform=[0.0, 0.0, 0.0], t_world_motor=tuple(map(tuple, IDENTITY)), solution=1)

assert_type(torso.inverse_kinematics(IDENTITY), list[float])
assert_type(torso.inverse_kinematics(IDENTITY, 0.3), list[float])
assert_type(torso.inverse_kinematics(IDENTITY, body_yaw=None), list[float])

assert_type(torso.reset_forward_kinematics(t_world_platform=IDENTITY), None)
assert_type(torso.forward_kinematics([0.0] * 6), list[list[float]])
assert_type(torso.forward_kinematics((0.0,) * 6, body_yaw=0.1), list[list[float]])

assert_type(torso.inverse_kinematics_safe(IDENTITY), list[float])
assert_type(torso.inverse_kinematics_safe(IDENTITY, 0.2, max_relative_yaw=0.5, max_body_yaw=None), list[float])
