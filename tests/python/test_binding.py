"""Binding of call arguments to parameters, and the exact messages of its failures.
The order of checks matters: too many positionals, then keywords one by one, then
missing arguments, then the receiver, then conversion."""

from __future__ import annotations

import re

import pytest

from conftest import translated
from tavrino_torso_kinematics import TavrinoTorsoKinematics

T = translated(0.0, 0.0, 0.0)
POINT = (0.0, 0.0, 0.0)
Q = "TavrinoTorsoKinematics."


def raises_type_error(message: str):
    return pytest.raises(TypeError, match="^" + re.escape(Q + message) + "$")


@pytest.fixture
def obj():
    return TavrinoTorsoKinematics(1.0, 1.0)


def test_too_many_positional_arguments(obj):
    with raises_type_error("inverse_kinematics() takes from 1 to 2 positional arguments but 3 were given"):
        obj.inverse_kinematics(T, 0.0, 1.0)
    with raises_type_error("reset_forward_kinematics() takes 1 positional arguments but 2 were given"):
        obj.reset_forward_kinematics(T, T)
    with raises_type_error("add_branch() takes 3 positional arguments but 4 were given"):
        obj.add_branch(POINT, T, 1.0, 1.0)
    with raises_type_error("inverse_kinematics_safe() takes from 1 to 4 positional arguments but 5 were given"):
        obj.inverse_kinematics_safe(T, 0.0, 0.0, 0.0, 0.0)
    with raises_type_error("__new__() takes 2 positional arguments but 3 were given"):
        TavrinoTorsoKinematics(1.0, 1.0, 1.0)


def test_too_many_positionals_is_reported_before_any_keyword(obj):
    with raises_type_error("forward_kinematics() takes from 1 to 2 positional arguments but 3 were given"):
        obj.forward_kinematics([0.0] * 6, 0.0, 0.0, yaw=0.0)
    with raises_type_error("__new__() takes 2 positional arguments but 3 were given"):
        TavrinoTorsoKinematics(1.0, 1.0, 1.0, motor_arm_length=1.0)


@pytest.mark.parametrize(
    ("args", "kwargs", "missing"),
    [
        ((), {}, "3 required positional arguments: 'branch_platform', 't_world_motor', and 'solution'"),
        ((POINT,), {}, "2 required positional arguments: 't_world_motor' and 'solution'"),
        ((POINT, T), {}, "1 required positional argument: 'solution'"),
        ((), {"solution": 1.0}, "2 required positional arguments: 'branch_platform' and 't_world_motor'"),
        ((POINT,), {"solution": 1.0}, "1 required positional argument: 't_world_motor'"),
    ],
)
def test_missing_arguments_are_listed_in_parameter_order(obj, args, kwargs, missing):
    with raises_type_error("add_branch() missing " + missing):
        obj.add_branch(*args, **kwargs)


def test_missing_arguments_of_constructor_and_single_parameter_methods(obj):
    with raises_type_error("__new__() missing 1 required positional argument: 'rod_length'"):
        TavrinoTorsoKinematics(1.0)
    with raises_type_error("__new__() missing 2 required positional arguments: 'motor_arm_length' and 'rod_length'"):
        TavrinoTorsoKinematics()
    with raises_type_error("inverse_kinematics_safe() missing 1 required positional argument: 't_world_platform'"):
        obj.inverse_kinematics_safe(body_yaw=0.0)


def test_multiple_values(obj):
    with raises_type_error("inverse_kinematics() got multiple values for argument 't_world_platform'"):
        obj.inverse_kinematics(T, t_world_platform=T)
    with raises_type_error("__new__() got multiple values for argument 'motor_arm_length'"):
        TavrinoTorsoKinematics(1.0, motor_arm_length=1.0)


def test_unexpected_keyword(obj):
    with raises_type_error("inverse_kinematics() got an unexpected keyword argument 'yaw'"):
        obj.inverse_kinematics(T, yaw=0.0)
    with raises_type_error("__new__() got an unexpected keyword argument 'arm'"):
        TavrinoTorsoKinematics(1.0, 1.0, arm=1.0)


def test_keywords_are_checked_in_order_and_before_missing_arguments(obj):
    with raises_type_error("inverse_kinematics() got multiple values for argument 't_world_platform'"):
        obj.inverse_kinematics(T, t_world_platform=T, yaw=0.0)
    with raises_type_error("inverse_kinematics() got an unexpected keyword argument 'yaw'"):
        obj.inverse_kinematics(T, yaw=0.0, t_world_platform=T)
    with raises_type_error("add_branch() got an unexpected keyword argument 'foo'"):
        obj.add_branch(foo=1)


def test_binding_fails_before_any_conversion(obj):
    with raises_type_error("inverse_kinematics() got an unexpected keyword argument 'yaw'"):
        obj.inverse_kinematics("not a pose", yaw=0.0)
    with raises_type_error("__new__() missing 1 required positional argument: 'rod_length'"):
        TavrinoTorsoKinematics(None)


def test_every_parameter_binds_by_keyword_in_any_order():
    obj = TavrinoTorsoKinematics(rod_length=1.0, motor_arm_length=1.0)
    obj.add_branch(solution=1.0, t_world_motor=T, branch_platform=POINT)
    target = translated(1.0, 1.0, 0.0)
    assert obj.inverse_kinematics(body_yaw=None, t_world_platform=target) == obj.inverse_kinematics(target)
    assert obj.inverse_kinematics_safe(max_body_yaw=1.0, max_relative_yaw=1.0, body_yaw=0.5,
                                       t_world_platform=target)[0] == 0.5


def test_receiver_must_be_an_instance():
    # The interpreter's method descriptor already refuses a foreign receiver.
    with pytest.raises(TypeError) as failure:
        TavrinoTorsoKinematics.add_branch(5, POINT, T, 1.0)
    assert "'int' object" in str(failure.value)
    assert "TavrinoTorsoKinematics" in str(failure.value)
