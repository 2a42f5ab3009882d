"""Safe inverse kinematics: how the body yaw is limited (relative to the platform's
yaw, then absolutely), the sign of a zero result, and the invalid-band failure."""

from __future__ import annotations

import math
import re

import pytest

from conftest import POISONED, unit_model
from torso_geometry import identity, make_pose

IDENTITY = identity()


def sign(x: float) -> float:
    return math.copysign(1.0, x)


def body_yaw_used(pose=IDENTITY, **limits) -> float:
    return unit_model(1.0).inverse_kinematics_safe(pose, **limits)[0]


def test_result_is_the_yaw_used_then_the_plain_angles(torso):
    pose = make_pose((0.003, -0.002, 0.001), 0.05, 0.1, 0.4)
    result = torso.inverse_kinematics_safe(pose, 0.9, 0.2, 0.5)
    assert len(result) == 7
    assert result[1:] == torso.inverse_kinematics(pose, result[0])


def test_without_body_yaw_no_yaw_is_used_and_limits_are_not_checked(torso):
    pose = make_pose((0.002, 0.0, 0.0), yaw=0.3)
    expected = [0.0] + torso.inverse_kinematics(pose, 0.0)
    for limits in ({}, {"max_relative_yaw": -1.0}, {"max_body_yaw": math.nan}):
        result = torso.inverse_kinematics_safe(pose, **limits)
        assert result == expected and sign(result[0]) == 1.0


@pytest.mark.parametrize(
    ("limits", "expected"),
    [
        ({"body_yaw": 0.7}, 0.7),
        ({"body_yaw": 1.0, "max_relative_yaw": 0.5}, 0.5),
        ({"body_yaw": 1.0, "max_relative_yaw": 0.5, "max_body_yaw": 0.25}, 0.25),
        ({"body_yaw": -1.0, "max_body_yaw": 0.25}, -0.25),
        ({"body_yaw": 0.1, "max_relative_yaw": -0.0}, 0.0),
        ({"body_yaw": 0.1, "max_relative_yaw": math.inf}, 0.1),
        ({"body_yaw": 0.1, "max_body_yaw": -0.0}, 0.0),
    ],
)
def test_limits_on_the_home_pose(limits, expected):
    assert body_yaw_used(**limits) == expected


def test_zero_relative_band_follows_the_platform_yaw():
    pose = make_pose((0.0, 0.0, 0.0), yaw=0.7)
    assert body_yaw_used(pose, body_yaw=-2.0, max_relative_yaw=0.0) == -math.atan2(pose[0][1], pose[0][0])
    # The platform's yaw is read from row 0 only.
    pose[1][0] = 5.0
    assert body_yaw_used(pose, body_yaw=-2.0, max_relative_yaw=0.0) == pytest.approx(0.7)


@pytest.mark.parametrize("desired", [-2.0, 0.0, 2.0])
def test_absolute_limit_wins_over_the_relative_band(desired):
    pose = make_pose(yaw=1.0)
    assert body_yaw_used(pose, body_yaw=desired, max_relative_yaw=0.1, max_body_yaw=0.5) == 0.5


def test_sign_of_a_zero_body_yaw():
    assert sign(body_yaw_used(body_yaw=-0.3, max_body_yaw=0.0)) == -1.0
    assert sign(body_yaw_used(body_yaw=0.3, max_body_yaw=0.0)) == 1.0
    assert math.isnan(body_yaw_used(body_yaw=math.nan, max_body_yaw=0.0))
    # The relative yaw is formed and added back: -0.0 - 0.0 + 0.0 is +0.0, negated.
    assert sign(body_yaw_used(body_yaw=0.0, max_relative_yaw=1.0)) == -1.0
    assert sign(body_yaw_used(body_yaw=0.0)) == 1.0


def test_empty_model_returns_only_the_yaw():
    assert unit_model().inverse_kinematics_safe(IDENTITY, 0.4, None, 0.3) == [0.3]


@pytest.mark.parametrize(
    ("limits", "band"),
    [
        ({"max_relative_yaw": -0.5}, "min = 0.5, max = -0.5"),
        ({"max_relative_yaw": -math.inf}, "min = inf, max = -inf"),
        ({"max_body_yaw": math.nan}, "min = NaN, max = NaN"),
        ({"max_body_yaw": -1.0}, "min = 1.0, max = -1.0"),
        ({"max_body_yaw": -1e-5}, "min = 1e-5, max = -1e-5"),
        ({"max_body_yaw": -2.5e16}, "min = 2.5e16, max = -2.5e16"),
        ({"max_body_yaw": -1e16}, "min = 1e16, max = -1e16"),
        ({"max_body_yaw": -9999999999999998.0}, "min = 9999999999999998.0, max = -9999999999999998.0"),
        ({"max_body_yaw": -0.0001}, "min = 0.0001, max = -0.0001"),
        ({"max_body_yaw": -123.456}, "min = 123.456, max = -123.456"),
        ({"max_body_yaw": -5e-324}, "min = 5e-324, max = -5e-324"),
        ({"max_relative_yaw": -1.0, "max_body_yaw": -2.0}, "min = 1.0, max = -1.0"),
    ],
)
def test_invalid_band_panics_with_both_ends(panic_type, limits, band):
    with pytest.raises(panic_type) as failure:
        unit_model(1.0).inverse_kinematics_safe(IDENTITY, 0.1, **limits)
    assert failure.value.args == ("min > max, or either was NaN. " + band,)


def test_invalid_band_poisons_only_that_object(panic_type):
    broken, healthy = unit_model(1.0), unit_model(1.0)
    with pytest.raises(panic_type):
        broken.inverse_kinematics_safe(IDENTITY, 0.1, -0.5)
    with pytest.raises(panic_type, match=re.escape(POISONED)):
        broken.inverse_kinematics_safe(IDENTITY)
    with pytest.raises(TypeError, match="^argument 'max_body_yaw': "):
        broken.inverse_kinematics_safe(IDENTITY, 0.1, 0.5, "x")
    assert healthy.inverse_kinematics_safe(IDENTITY, 0.1, 0.5) == [0.1] + healthy.inverse_kinematics(IDENTITY, 0.1)
