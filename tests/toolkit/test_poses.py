"""The pose helpers: the C++ tests' poses bit for bit, batches equal to single
samples, round trips between poses, angles, quaternions and rotation vectors,
unwrapping, and twists from sampled poses."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tavrino_torso import from_quaternion, pose, quaternion, rpy, twists, unwrap
from tavrino_torso.poses import rotation_matrix, rotation_vector

from .support import make_pose

ANGLE = st.floats(-math.pi, math.pi)
PITCH = st.floats(-math.pi / 2 + 1e-6, math.pi / 2 - 1e-6)
LENGTH = st.floats(-1.0, 1.0)
QUATERNION = st.tuples(*[st.floats(-1.0, 1.0)] * 4).filter(lambda q: sum(c * c for c in q) > 1e-6)


def quaternion_multiply(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    w1, x1, y1, z1 = a
    w2, x2, y2, z2 = b
    return np.array([w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2, w1 * x2 + x1 * w2 + y1 * z2 - z1 * y2,
                     w1 * y2 - x1 * z2 + y1 * w2 + z1 * x2, w1 * z2 + x1 * y2 - y1 * x2 + z1 * w2])


@given(st.lists(st.tuples(LENGTH, LENGTH, LENGTH, ANGLE, ANGLE, ANGLE), min_size=1, max_size=5))
def test_a_batch_of_poses_is_the_standard_librarys_poses_bit_for_bit(samples):
    batch = pose(*np.array(samples).T)
    for (x, y, z, roll, pitch, yaw), one in zip(samples, batch, strict=True):
        assert np.array_equal(one, pose(x, y, z, roll, pitch, yaw))
        assert one.tolist() == make_pose((x, y, z), roll, pitch, yaw)


@given(LENGTH, LENGTH, LENGTH, ANGLE, PITCH, ANGLE)
def test_roll_pitch_yaw_read_back_what_made_the_pose(x, y, z, roll, pitch, yaw):
    back = rpy(pose(x, y, z, roll, pitch, yaw))
    # roll and yaw of +-pi are the same turn
    assert np.allclose(np.angle(np.exp(1j * (back - [roll, pitch, yaw]))), 0.0, atol=1e-6 / math.cos(pitch))


# Quaternions of any size: their squares would overflow or underflow at the extremes.
SCALES = st.floats(0.1, 10.0) | st.sampled_from([2.0**-1000, 1e-300, 1e200, 2.0**1000])


@given(QUATERNION, SCALES)
def test_any_rotation_is_rebuilt_from_its_angles_and_its_quaternion_and_quaternions_are_normalised(q, scale):
    m = from_quaternion(0.1, 0.2, 0.3, *q)
    r = m[:3, :3]
    assert np.allclose(r.T @ r, np.eye(3), atol=1e-12) and np.linalg.det(r) == pytest.approx(1.0)
    assert np.allclose(from_quaternion(0.1, 0.2, 0.3, *(scale * np.array(q))), m, atol=1e-12)
    assert np.allclose(from_quaternion(0.1, 0.2, 0.3, *(-np.array(q))), m, atol=1e-12)
    assert np.allclose(pose(0.1, 0.2, 0.3, *rpy(m)), m, atol=1e-9)
    back = quaternion(m)
    assert back[0] >= 0.0 and np.allclose(from_quaternion(0.1, 0.2, 0.3, *back), m, atol=1e-12)


@given(ANGLE, ANGLE, ANGLE)
def test_a_quaternion_turns_as_its_roll_pitch_yaw_pose(roll, pitch, yaw):
    def about(axis: int, angle: float) -> np.ndarray:
        q = np.zeros(4)
        q[0], q[1 + axis] = math.cos(angle / 2), math.sin(angle / 2)
        return q

    q = quaternion_multiply(quaternion_multiply(about(2, yaw), about(1, pitch)), about(0, roll))
    assert np.allclose(from_quaternion(1.0, 2.0, 3.0, *q), pose(1.0, 2.0, 3.0, roll, pitch, yaw), atol=1e-12)


def test_gimbal_lock_and_bad_arguments():
    assert rpy(pose(0, 0, 0, 0.3, math.pi / 2, 0.2)) == pytest.approx([0.0, math.pi / 2, -0.1])
    assert rpy(pose(0, 0, 0, 0.3, -math.pi / 2, 0.2)) == pytest.approx([0.0, -math.pi / 2, 0.5])
    assert rpy(np.broadcast_to(np.eye(4), (2, 3, 4, 4))).shape == (2, 3, 3)
    with pytest.raises(ValueError, match=r"poses: must have shape \(\.\.\., 4, 4\), got \(3, 3\)"):
        rpy(np.eye(3))
    with pytest.raises(ValueError, match="the quaternion must not be zero"):
        from_quaternion(0, 0, 0, [1.0, 0.0], 0, 0, 0)
    assert np.isnan(from_quaternion(0, 0, 0, [math.inf, math.nan], 1.0, 0, 0)[:, :3, :3]).all()  # not the identity
    with pytest.raises(TypeError, match="yaw: must be a number or an array of numbers"):
        pose(0, 0, 0, yaw="north")


@given(st.lists(st.floats(-1e3, 1e3), min_size=1, max_size=6), st.lists(st.floats(-1e3, 1e3), min_size=1,
                                                                          max_size=6))
def test_unwrapped_angles_are_whole_turns_away_and_nearest_the_previous(angles, previous):
    n = min(len(angles), len(previous))
    a, p = np.array(angles[:n]), np.array(previous[:n])
    result = unwrap(a, p)
    turns = (result - a) / (2 * math.pi)
    assert np.allclose(turns, np.round(turns), atol=1e-9)
    assert np.all(np.abs(result - p) <= math.pi + 1e-9)


def test_unwrap_across_the_seam_and_where_nothing_is_known():
    assert math.degrees(unwrap(math.radians(-177.0), math.radians(172.0))) == pytest.approx(183.0)
    result = unwrap([[1.0, math.nan, 1.0]], [math.nan, 3.0, 1.0 + 4 * math.pi])
    assert result.shape == (1, 3) and result[0, 0] == 1.0 and math.isnan(result[0, 1])
    assert result[0, 2] == pytest.approx(1.0 + 4 * math.pi)


@given(st.lists(st.floats(-20.0, 20.0) | st.just(math.nan), min_size=1, max_size=12), st.integers(0, 1))
def test_a_trajectory_unwraps_as_each_sample_against_the_last_known_one(angles, axis):
    expected, last = [], math.nan
    for angle in angles:
        expected.append(angle if math.isnan(last) else float(unwrap(angle, last)))
        last = expected[-1] if not math.isnan(angle) else last
    table = np.array([angles, angles])
    along = unwrap(table, axis=1)[0] if axis else unwrap(table.T)[:, 1]
    assert np.allclose(along, expected, rtol=0, atol=1e-9, equal_nan=True)


@given(st.tuples(*[st.floats(-1.0, 1.0)] * 3).filter(lambda v: np.linalg.norm(v) > 1e-3),
       st.floats(0.0, math.pi) | st.sampled_from([1e-9, math.pi - 1e-9, math.pi]))
def test_rotation_vectors_and_matrices_are_inverse_up_to_a_half_turn(axis, angle):
    vector = np.array(axis) / np.linalg.norm(axis) * angle
    rotation = rotation_matrix(vector)
    assert np.allclose(rotation.T @ rotation, np.eye(3), atol=1e-14)
    back = rotation_vector(rotation)
    assert np.allclose(rotation_matrix(back), rotation, atol=1e-12)
    if angle < math.pi - 1e-6:
        assert np.allclose(back, vector, atol=1e-9)


def sampled_motion(rate: float, v, a, w1, w2) -> np.ndarray:
    """Poses of the platform moving as p = v t + a t^2 / 2, R = exp(t [w1]) exp(t [w2]), t from -0.1 to 0.1 s."""
    t = np.arange(-round(0.1 * rate), round(0.1 * rate) + 1) / rate
    poses = np.tile(np.eye(4), (len(t), 1, 1))
    poses[:, :3, :3] = rotation_matrix(t[:, None] * w1) @ rotation_matrix(t[:, None] * w2)
    poses[:, :3, 3] = t[:, None] * v + 0.5 * (t * t)[:, None] * a
    return poses


def test_twists_of_sampled_poses():
    v, a, w1, w2 = np.array([0.1, -0.2, 0.05]), np.array([1.0, 0.5, -2.0]), np.array([0.0, 0.0, 2.0]), \
        np.array([1.5, 0.0, 0.0])
    # A steady screw motion comes out exact, to rounding, its rates zero.
    twist, rate_of_twist = twists(sampled_motion(100.0, v, np.zeros(3), w1, np.zeros(3)), 100.0)
    assert np.allclose(twist, np.concatenate([v, w1]), atol=1e-12) and np.allclose(rate_of_twist, 0.0, atol=1e-9)
    # A turn of changing axis, second order in the sample time: at t = 0 the
    # twist is (v, w1 + w2), its rate (a, w1 x w2).
    errors = []
    for rate in (500.0, 1000.0):
        twist, rate_of_twist = twists(sampled_motion(rate, v, a, w1, w2), rate)
        middle = len(twist) // 2
        errors.append([np.abs(twist[middle] - np.concatenate([v, w1 + w2])).max(),
                       np.abs(rate_of_twist[middle] - np.concatenate([a, np.cross(w1, w2)])).max()])
    assert errors[1][0] < 1e-5 and errors[1][1] < 1e-4
    assert 3.5 < errors[0][0] / errors[1][0] < 4.5 and 3.5 < errors[0][1] / errors[1][1] < 4.5
    with pytest.raises(ValueError, match="at least 3 samples"):
        twists(np.stack([np.eye(4)] * 2), 100.0)
    with pytest.raises(ValueError, match="rate: must be a positive number"):
        twists(np.stack([np.eye(4)] * 3), 0.0)
