"""Inverse kinematics values: exact angles on a unit mechanism, unreachable
targets, the wrap into [-pi, pi), the body yaw and the branch order."""

from __future__ import annotations

import math

import numpy as np
import pytest

from conftest import NAN6, translated, unit_model
from torso_geometry import identity, make_pose

PLUS_MINUS = (1.0, -1.0)


@pytest.mark.parametrize(
    ("translation", "expected"),
    [
        ((1.0, 1.0, 0.0), [math.pi / 2, 0.0]),
        ((2.0, 0.0, 0.0), [0.0, 0.0]),  # D = 0: the two assembly modes meet
        # t = pi wraps to -pi; the second root is 0/0 in the half-angle form and
        # takes the form that is defined there: the tip at (0, 1, 0).
        ((-1.0, 1.0, 0.0), [-math.pi, math.pi / 2]),
        ((-1.0, 0.0, 1.0), [-math.pi, -math.pi]),  # both roots 0/0, meeting at pi
    ],
)
def test_exact_angles_on_the_unit_mechanism(translation, expected):
    angles = unit_model(*PLUS_MINUS).inverse_kinematics(translated(*translation))
    assert angles == expected
    assert all(math.copysign(1.0, a) == math.copysign(1.0, e) for a, e in zip(angles, expected))


def test_body_yaw_turns_the_target_the_other_way():
    plus, minus = unit_model(*PLUS_MINUS).inverse_kinematics(translated(1.0, 1.0, 0.0), math.pi / 2)
    assert abs(plus) < 1e-15
    assert minus == pytest.approx(-math.pi / 2, abs=1e-15)


def test_unreachable_branch_is_nan_and_leaves_the_others():
    model = unit_model(*PLUS_MINUS)
    model.add_branch((-2.0, -1.0, 0.0), identity(), 1.0)  # anchor at (1, 0, 0) for the far target
    far = model.inverse_kinematics(translated(3.0, 1.0, 0.0))
    assert math.isnan(far[0]) and math.isnan(far[1])
    assert far[2] == pytest.approx(math.pi / 3)


def test_non_finite_input_gives_nan_not_an_error(torso):
    pose = make_pose((0.0, 0.0, math.inf))
    assert all(math.isnan(a) for a in torso.inverse_kinematics(pose))
    assert all(math.isnan(a) for a in torso.inverse_kinematics(identity(), math.nan))


def test_absent_none_and_zero_body_yaw_agree(torso):
    pose = make_pose((0.004, -0.002, 0.003), 0.1, -0.05, 0.2)
    reference = torso.inverse_kinematics(pose)
    for yaw in (None, 0.0, -0.0, 0):
        assert torso.inverse_kinematics(pose, yaw) == reference
    assert torso.inverse_kinematics(pose, body_yaw=None) == reference


def test_branches_answer_in_the_order_they_were_added(torso):
    from torso_geometry import branches

    pose = make_pose((0.003, 0.001, -0.004), -0.1, 0.08, 0.0)
    six = torso.inverse_kinematics(pose)
    first = branches()[0]
    torso.add_branch(first.anchor, first.motor_pose, first.solution)
    seven = torso.inverse_kinematics(pose)
    assert len(seven) == 7
    assert seven[:6] == six and seven[6] == six[0]


def test_empty_model_returns_no_angles_but_still_converts():
    model = unit_model()
    assert model.inverse_kinematics(identity()) == []
    with pytest.raises(TypeError, match="^argument 'body_yaw': "):
        model.inverse_kinematics(identity(), "x")


def test_inverse_kinematics_leaves_the_forward_estimate_alone(torso):
    start = make_pose((0.002, 0.0, 0.001))
    torso.reset_forward_kinematics(start)
    torso.inverse_kinematics(make_pose((0.01, 0.01, 0.01), 0.2, 0.2, 0.2))
    assert torso.forward_kinematics(NAN6) == start


def test_results_are_fresh_lists_of_floats(torso):
    first = torso.inverse_kinematics(identity())
    second = torso.inverse_kinematics(identity())
    assert first == second and first is not second
    assert all(type(a) is float for a in first)
    assert np.all(np.isfinite(first))
