"""Poses and angles as numpy arrays, with leading batch dimensions.

A pose is a 4x4 homogeneous matrix (float64), the rotation Rz(yaw) Ry(pitch)
Rx(roll) in its upper-left block and the translation in its last column; a
batch of N poses is an array of shape (N, 4, 4). Every argument broadcasts
against the others, as in numpy.
"""

from __future__ import annotations

import math

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
    largest = np.maximum(np.maximum(np.abs(w), np.abs(i)), np.maximum(np.abs(j), np.abs(k)))
    if np.any(largest == 0.0):
        raise ValueError("qw, qx, qy, qz: the quaternion must not be zero")
    # Scaled first by the power of two nearest below its largest component, so
    # that the squares neither overflow (components near 1e200 would make the
    # norm infinite and the rotation the identity) nor underflow; a power of two
    # changes no digit, so a quaternion of ordinary size gives the same bits as
    # without. An infinite or NaN component gives a NaN rotation.
    with np.errstate(invalid="ignore"):
        scale = np.ldexp(1.0, np.frexp(np.where(np.isfinite(largest), largest, 1.0))[1] - 1)
        w, i, j, k = w / scale, i / scale, j / scale, k / scale
        norm = np.where(np.isinf(largest), np.nan, np.sqrt(w * w + i * i + j * j + k * k))
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


def unwrap(angles: ArrayLike, previous: ArrayLike | None = None, *, axis: int = 0) -> Array:
    """Angles moved by whole turns (2 pi k) so that they run on without jumps.

    With `previous`: the angles plus the whole turns that lie nearest
    `previous`, element by element: what a position controller needs when an
    angle comes back wrapped into [-pi, pi) and has just crossed the seam (+172
    degrees, then -177: unwrapped, +183). Where `previous` is NaN the angles are
    returned as they are.

    Without: a whole trajectory along `axis` (the samples, by default the
    first), unwrapped from its first sample: each sample the whole turns from
    where it came back that lie nearest the sample before it, already unwrapped.

    NaN angles stay NaN; a trajectory takes up after one against its last angle
    that is not NaN."""
    a = _floats(angles, "angles")
    if previous is not None:
        a, p = np.broadcast_arrays(a, _floats(previous, "previous"))
        turns = np.round((p - a) / (2.0 * np.pi))
        return np.asarray(a + 2.0 * np.pi * np.where(np.isnan(p), 0.0, turns), dtype=np.float64)
    if a.ndim == 0:
        raise ValueError("angles: a trajectory needs at least one axis, got a single number")
    along = np.moveaxis(a, axis, 0)
    # Each sample against the last one before it that is not NaN.
    index = np.arange(len(along)).reshape((-1,) + (1,) * (along.ndim - 1))
    last = np.maximum.accumulate(np.where(np.isnan(along), 0, index), axis=0)
    held = np.take_along_axis(along, last, axis=0)
    steps = np.round((held[:-1] - along[1:]) / (2.0 * np.pi))
    turns = np.concatenate([np.zeros_like(along[:1]), np.cumsum(np.nan_to_num(steps), axis=0)])
    return np.asarray(np.moveaxis(along + 2.0 * np.pi * turns, 0, axis), dtype=np.float64)


def rotation_vector(rotations: ArrayLike) -> Array:
    """The rotation vectors (..., 3) of rotation matrices (..., 3, 3): the axis
    times the angle in [0, pi], so that rotation_matrix gives the rotations back.
    Accurate near 0 and near pi alike."""
    r = _floats(rotations, "rotations")
    if r.ndim < 2 or r.shape[-2:] != (3, 3):
        raise ValueError(f"rotations: must have shape (..., 3, 3), got {r.shape}")
    axial = 0.5 * np.stack([r[..., 2, 1] - r[..., 1, 2], r[..., 0, 2] - r[..., 2, 0], r[..., 1, 0] - r[..., 0, 1]], -1)
    sine = np.linalg.norm(axial, axis=-1)
    cosine = 0.5 * (np.trace(r, axis1=-2, axis2=-1) - 1.0)
    angle = np.arctan2(sine, cosine)
    # angle / sin(angle), which tends to 1 + angle^2 / 6 at 0.
    scale = np.where(sine > 1e-8, angle / np.where(sine > 1e-8, sine, 1.0), 1.0 + angle * angle / 6.0)
    result = axial * scale[..., None]
    # Near a half turn the antisymmetric part vanishes: the axis comes from the
    # symmetric part instead, R + R^T - 2 cos I = 2 (1 - cos) a a^T, from its
    # largest column, with the sign that the antisymmetric part still shows.
    near_half_turn = cosine < -0.9
    if np.any(near_half_turn):
        outer = 0.5 * (r + np.swapaxes(r, -1, -2)) - cosine[..., None, None] * np.eye(3)
        column = np.argmax(np.diagonal(outer, axis1=-2, axis2=-1), axis=-1)
        picked = np.take_along_axis(outer, column[..., None, None], axis=-1)[..., 0]
        direction = picked / np.linalg.norm(picked, axis=-1, keepdims=True)
        sign = np.where(np.sum(direction * axial, axis=-1) < 0.0, -1.0, 1.0)
        result = np.where(near_half_turn[..., None], direction * (sign * angle)[..., None], result)
    return np.asarray(result, dtype=np.float64)


def rotation_matrix(vectors: ArrayLike) -> Array:
    """The rotations (..., 3, 3) by the rotation vectors (..., 3): about each
    vector's direction, by its length in radians (Rodrigues' formula)."""
    w = _floats(vectors, "vectors")
    if w.ndim < 1 or w.shape[-1] != 3:
        raise ValueError(f"vectors: must have shape (..., 3), got {w.shape}")
    angle = np.linalg.norm(w, axis=-1)[..., None, None]
    small = angle < 1e-4
    safe = np.where(small, 1.0, angle)
    # sin(x) / x and (1 - cos x) / x^2, by their series where x is tiny.
    a = np.where(small, 1.0 - angle**2 / 6.0, np.sin(safe) / safe)
    b = np.where(small, 0.5 - angle**2 / 24.0, (1.0 - np.cos(safe)) / (safe * safe))
    k = np.zeros(w.shape[:-1] + (3, 3))
    k[..., 0, 1], k[..., 0, 2], k[..., 1, 2] = -w[..., 2], w[..., 1], -w[..., 0]
    k[..., 1, 0], k[..., 2, 0], k[..., 2, 1] = w[..., 2], -w[..., 1], w[..., 0]
    return np.asarray(np.eye(3) + a * k + b * (k @ k), dtype=np.float64)


def twists(poses: ArrayLike, rate: float) -> tuple[Array, Array]:
    """The twists and twist rates of poses sampled `rate` times a second.

    poses (n, ..., 4, 4), the samples along the first axis (at least 3) ->
    (twists, twist_rates), each (n, ..., 6): the velocity of the platform's
    origin and the angular velocity, world coordinates, as Model takes them, and
    their time derivatives. By central differences, second order in the sample
    time and one-sided at both ends: the angular velocity from the rotation
    vectors of the turns between consecutive samples, R[k+1] R[k]^T, so that a
    steady turn about any axis comes out exact, and consecutive samples must
    turn by less than half a turn."""
    m = _poses(poses, "poses")
    step = float(rate)
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"rate: must be a positive number of samples a second, got {rate!r}")
    if m.ndim < 3 or len(m) < 3:
        raise ValueError(f"poses: need at least 3 samples along the first axis, got shape {m.shape}")
    dt = 1.0 / step
    velocity = np.gradient(m[..., :3, 3], dt, axis=0, edge_order=2)
    turns = m[1:, ..., :3, :3] @ np.swapaxes(m[:-1, ..., :3, :3], -1, -2)
    between = rotation_vector(turns) * step  # the angular velocity half way between samples
    angular = np.empty_like(velocity)
    angular[1:-1] = 0.5 * (between[:-1] + between[1:])
    angular[0] = 1.5 * between[0] - 0.5 * between[1]
    angular[-1] = 1.5 * between[-1] - 0.5 * between[-2]
    twist = np.concatenate([velocity, angular], axis=-1)
    return twist, np.gradient(twist, dt, axis=0, edge_order=2)
