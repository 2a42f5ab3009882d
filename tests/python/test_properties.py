"""Properties over many random poses, checked by what the answers mean: arm tips
at rod length from their anchors, angles in range, the body yaw as a turn of the
whole mechanism, the limited yaw within its band, and forward kinematics undoing
inverse kinematics."""

from __future__ import annotations

import math

import numpy as np
from hypothesis import example, given, settings
from hypothesis import strategies as st

import torso_geometry
from conftest import NAN6, unit_model
from torso_geometry import make_example_torso, make_pose

TORSO = make_example_torso()  # IK only reads the model, so one object serves all examples

centimetre = st.floats(-0.01, 0.01)
fifteen_degrees = st.floats(-math.radians(15), math.radians(15))
yaws = st.floats(-math.pi, math.pi)
reachable_poses = st.builds(
    lambda x, y, z, roll, pitch, yaw: make_pose((x, y, z), roll, pitch, yaw),
    centimetre, centimetre, centimetre, fifteen_degrees, fifteen_degrees, fifteen_degrees,
)


@given(reachable_poses)
def test_arm_tips_are_at_rod_length_from_anchors(pose):
    angles = TORSO.inverse_kinematics(pose)
    assert not any(math.isnan(a) for a in angles)
    # Nanometre agreement, not last-bit: where the half-angle denominator nearly
    # vanishes, the closed form divides two small numbers and loses digits.
    assert np.max(np.abs(torso_geometry.rod_errors(angles, pose))) < 1e-9


@given(reachable_poses, yaws)
def test_body_yaw_turns_motors_with_the_body(pose, yaw):
    turned = TORSO.inverse_kinematics(torso_geometry.z_rotation(yaw) @ np.array(pose), yaw)
    difference = np.subtract(turned, TORSO.inverse_kinematics(pose))
    # Angles near -pi and pi are the same motor position.
    assert np.max(np.abs((difference + math.pi) % (2 * math.pi) - math.pi)) < 1e-9


@given(st.lists(st.floats(-3.0, 3.0), min_size=3, max_size=3), st.sampled_from([1.0, -1.0]))
# Where the half-angle form is 0/0 (found by this test at random).
@example([-1.0, 1.0, 0.0], -1.0)
@example([-1.0, 0.0, 1.0], 1.0)
@example([-1.0, 0.0, 1.0], -1.0)
@example([-1.0, 0.0, -1.0], 1.0)
def test_angles_lie_in_minus_pi_to_pi(translation, solution):
    model = unit_model(solution)
    (angle,) = model.inverse_kinematics(make_pose(tuple(translation)))
    assert math.isnan(angle) or -math.pi <= angle < math.pi
    # Close to the motor axis every angle nearly fits and the closed form loses digits.
    if not math.isnan(angle) and math.hypot(translation[0], translation[1]) > 0.1:
        tip = np.array([math.cos(angle), math.sin(angle), 0.0])
        assert abs(np.linalg.norm(tip - translation) - 1.0) < 1e-9


@given(reachable_poses, yaws, st.floats(0.0, 1.0), st.floats(0.0, 1.0))
def test_limited_body_yaw_stays_in_its_bands(pose, desired, relative, absolute):
    used, *angles = TORSO.inverse_kinematics_safe(pose, desired, relative, absolute)
    platform_yaw = -math.atan2(pose[0][1], pose[0][0])
    assert -absolute <= used <= absolute
    if abs(platform_yaw) + relative <= absolute:  # the bands overlap: the relative one holds too
        assert abs(used - platform_yaw) <= relative + 1e-12
    assert angles == TORSO.inverse_kinematics(pose, used)


# Within ten degrees of home: further out, a few poses in a thousand (roll 12.5
# degrees, 6 mm out, say) lead the steps from home to another assembly that the
# same angles hold, with a residual as small.
near_home_poses = st.builds(
    lambda x, y, z, roll, pitch, yaw: make_pose((x, y, z), roll, pitch, yaw),
    *[centimetre] * 3, *[st.floats(-math.radians(10), math.radians(10))] * 3,
)


@settings(max_examples=20, deadline=None)
@given(near_home_poses)
def test_forward_kinematics_finds_the_pose_back_from_home(pose):
    torso = make_example_torso()
    angles = torso.inverse_kinematics(pose)
    for _ in range(60):
        estimate = torso.forward_kinematics(angles)
    assert torso_geometry.residual_norm(angles, estimate) <= 1e-6
    np.testing.assert_allclose(estimate, pose, rtol=0, atol=1e-4)
    assert torso.forward_kinematics(NAN6) == estimate


@settings(max_examples=20, deadline=None)
@given(reachable_poses, yaws, st.floats(-1.0, 1.0))
def test_forward_body_yaw_is_a_turn_about_the_world_z_axis(pose, yaw, height):
    """Whatever the height of the pose: forward kinematics with a body yaw is the
    turn Rz(yaw) of its answer without one, and so undoes inverse kinematics
    with the same body yaw."""
    torso = make_example_torso()
    lifted = np.array(pose)
    lifted[2, 3] += height
    torso.reset_forward_kinematics(lifted)
    np.testing.assert_allclose(torso.forward_kinematics(NAN6, yaw), torso_geometry.z_rotation(yaw) @ lifted,
                               rtol=0, atol=4e-16)
    turned = torso_geometry.z_rotation(yaw) @ np.array(pose)
    angles = torso.inverse_kinematics(turned, yaw)
    torso.reset_forward_kinematics(make_pose())
    for _ in range(60):
        estimate = torso.forward_kinematics(angles, yaw)
    np.testing.assert_allclose(estimate, turned, rtol=0, atol=1e-4)
