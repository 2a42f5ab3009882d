"""Poses and angles as numpy arrays, with leading batch dimensions.

A pose is a 4x4 homogeneous matrix (float64), the rotation Rz(yaw) Ry(pitch)
Rx(roll) in its upper-left block and the translation in its last column; a
batch of N poses is an array of shape (N, 4, 4). Every argument broadcasts
against the others, as in numpy.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

ArrayLike = npt.ArrayLike
Array = npt.NDArray[np.float64]

# Below this cosine of the pitch, roll and yaw turn about the same axis and
# only their sum (or difference) is defined: rpy then reports roll 0.
GIMBAL_LOCK = 1e-12


def _floats(value: ArrayLike, name: str) -> Array:
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name}: must be a number or an array of numbers ({error})") from None


def pose(x: ArrayLike, y: ArrayLike, z: ArrayLike, roll: ArrayLike = 0.0, pitch: ArrayLike = 0.0,
         yaw: ArrayLike = 0.0) -> Array:
    """The pose with translation (x, y, z) and rotation Rz(yaw) Ry(pitch) Rx(roll)
    (angles in radians): shape (..., 4, 4) for the broadcast shape of the six."""
    values = [_floats(v, n) for v, n in ((x, "x"), (y, "y"), (z, "z"), (roll, "roll"), (pitch, "pitch"), (yaw, "yaw"))]
    x_, y_, z_, r, p, w = np.broadcast_arrays(*values)
    cr, sr = np.cos(r), np.sin(r)
    cp, sp = np.cos(p), np.sin(p)
    cy, sy = np.cos(w), np.sin(w)
    result = np.zeros(x_.shape + (4, 4))
    # This order of operations is kept: a pose built one angle at a time with the
    # C library's sines and cosines, in the same order, has the same bits.
    result[..., 0, 0], result[..., 0, 1], result[..., 0, 2] = cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr
    result[..., 1, 0], result[..., 1, 1], result[..., 1, 2] = sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr
    result[..., 2, 0], result[..., 2, 1], result[..., 2, 2] = -sp, cp * sr, cp * cr
    result[..., 0, 3], result[..., 1, 3], result[..., 2, 3] = x_, y_, z_
    result[..., 3, 3] = 1.0
    return result


def from_quaternion(x: ArrayLike, y: ArrayLike, z: ArrayLike, qw: ArrayLike, qx: ArrayLike, qy: ArrayLike,
                    qz: ArrayLike) -> Array:
    """The pose with translation (x, y, z) and the rotation of the quaternion
    qw + qx i + qy j + qz k, scalar first. The quaternion is normalised first
    (a tracker's is unit only to its precision); a zero one raises ValueError."""
    names = ("x", "y", "z", "qw", "qx", "qy", "qz")
    x_, y_, z_, w, i, j, k = np.broadcast_arrays(*(_floats(v, n) for v, n in zip((x, y, z, qw, qx, qy, qz), names)))
    norm = np.sqrt(w * w + i * i + j * j + k * k)
    if np.any(norm == 0.0):
        raise ValueError("qw, qx, qy, qz: the quaternion must not be zero")
    w, i, j, k = w / norm, i / norm, j / norm, k / norm
    result = np.zeros(x_.shape + (4, 4))
    result[..., 0, 0], result[..., 0, 1], result[..., 0, 2] = 1 - 2 * (j * j + k * k), 2 * (i * j - w * k), 2 * (i * k + w * j)
    result[..., 1, 0], result[..., 1, 1], result[..., 1, 2] = 2 * (i * j + w * k), 1 - 2 * (i * i + k * k), 2 * (j * k - w * i)
    result[..., 2, 0], result[..., 2, 1], result[..., 2, 2] = 2 * (i * k - w * j), 2 * (j * k + w * i), 1 - 2 * (i * i + j * j)
    result[..., 0, 3], result[..., 1, 3], result[..., 2, 3] = x_, y_, z_
    result[..., 3, 3] = 1.0
    return result


def quaternion(poses: ArrayLike) -> Array:
    """(qw, qx, qy, qz) of each pose's rotation, the unit quaternion with qw >= 0:
    shape (..., 4); from_quaternion turns it back into the rotation. Each row
    below is the quaternion times four times one of its components; the row of
    the largest component is used, so that nothing is divided by a small number."""
    m = _poses(poses, "poses")
    r = [[m[..., i, j] for j in range(3)] for i in range(3)]
    trace = r[0][0] + r[1][1] + r[2][2]
    rows = np.stack([
        np.stack([1.0 + trace, r[2][1] - r[1][2], r[0][2] - r[2][0], r[1][0] - r[0][1]], axis=-1),
        np.stack([r[2][1] - r[1][2], 1.0 + r[0][0] - r[1][1] - r[2][2], r[0][1] + r[1][0], r[0][2] + r[2][0]], axis=-1),
        np.stack([r[0][2] - r[2][0], r[0][1] + r[1][0], 1.0 - r[0][0] + r[1][1] - r[2][2], r[1][2] + r[2][1]], axis=-1),
        np.stack([r[1][0] - r[0][1], r[0][2] + r[2][0], r[1][2] + r[2][1], 1.0 - r[0][0] - r[1][1] + r[2][2]], axis=-1),
    ], axis=-2)
    largest = np.argmax(np.stack([rows[..., k, k] for k in range(4)], axis=-1), axis=-1)
    q = np.take_along_axis(rows, largest[..., None, None], axis=-2)[..., 0, :]
    q = q / np.linalg.norm(q, axis=-1, keepdims=True)
    return np.asarray(np.where(q[..., :1] < 0.0, -q, q), dtype=np.float64)


def _poses(value: ArrayLike, name: str) -> Array:
    result = _floats(value, name)
    if result.ndim < 2 or result.shape[-2:] != (4, 4):
        raise ValueError(f"{name}: must have shape (..., 4, 4), got {result.shape}")
    return result


def rpy(poses: ArrayLike) -> Array:
    """(roll, pitch, yaw) of each pose's rotation Rz(yaw) Ry(pitch) Rx(roll):
    shape (..., 3), pitch within [-pi/2, pi/2], roll and yaw within [-pi, pi].
    At pitch +-pi/2 only the sum of roll and yaw is defined; roll is then 0."""
    m = _poses(poses, "poses")
    cos_pitch = np.hypot(m[..., 0, 0], m[..., 1, 0])
    pitch = np.arctan2(-m[..., 2, 0], cos_pitch)
    locked = cos_pitch < GIMBAL_LOCK
    yaw = np.where(locked, np.arctan2(-m[..., 0, 1], m[..., 1, 1]), np.arctan2(m[..., 1, 0], m[..., 0, 0]))
    # Roll from the rotation with that yaw taken out, Rz(-yaw) R = Ry(pitch) Rx(roll),
    # whose row 1 is (0, cos roll, -sin roll): entries of order one, so roll fits
    # the yaw found even near pitch +-pi/2, where both are read off tiny entries.
    s, c = np.sin(yaw), np.cos(yaw)
    roll = np.arctan2(s * m[..., 0, 2] - c * m[..., 1, 2], c * m[..., 1, 1] - s * m[..., 0, 1])
    return np.stack([roll, pitch, yaw], axis=-1)


def unwrap(angles: ArrayLike, previous: ArrayLike) -> Array:
    """The angles plus whole turns (2 pi k) that lie nearest `previous`, element
    by element: what a position controller needs when an angle comes back
    wrapped into [-pi, pi) and has just crossed the seam (+172 degrees, then
    -177: unwrapped, +183). NaN angles stay NaN; where `previous` is NaN the
    angles are returned as they are. To unwrap a whole trajectory, unwrap each
    sample against the one before it, already unwrapped."""
    a, p = np.broadcast_arrays(_floats(angles, "angles"), _floats(previous, "previous"))
    turns = np.round((p - a) / (2.0 * np.pi))
    return np.asarray(a + 2.0 * np.pi * np.where(np.isnan(p), 0.0, turns), dtype=np.float64)
