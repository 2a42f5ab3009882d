"""The calibration model: its parameters, the rod-length residuals and their Jacobian.

Every parameter is an increment on the torso's nominal (drawn) geometry, so the
nominal torso is the zero vector:

- per branch, in this order: the motor origin (3, world frame, metres); the turn of
  the motor frame, a rotation vector in the nominal motor frame (3, radians), whose
  x and y tilt the motor axis and whose z turns the frame about that axis, which is
  the same as moving the encoder's zero; the anchor (3, platform frame, metres);
- shared: the arm length and the rod length (metres);
- with a tracker frame: its translation (3, metres) and its rotation vector (3,
  radians, world frame); world from tracker is (Exp(rotation), translation).

A sample is a measured platform pose (tracker from platform; the tracker frame is
the world frame unless it is fitted) and the encoder angles. Each branch gives one
residual per sample, the distance from the arm tip to the anchor less the rod
length: zero for the true geometry and noise-free measurements.

Rotations of motor frames are applied on the right, R = R0 Exp(w): the frame turns
about its own axes, so w's z component is exactly an encoder zero offset. The
tracker rotation is applied on the left, in the world frame it moves.
"""

from __future__ import annotations

import contextlib
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ..torso import Branch, Torso

Array = npt.NDArray[np.float64]
BRANCH_PARAMETERS = 9
# Per branch, in the order of the parameter vector: (field, component, unit).
_BRANCH_FIELDS = (
    ("motor_origin", "x", "m"),
    ("motor_origin", "y", "m"),
    ("motor_origin", "z", "m"),
    ("axis_tilt", "x", "rad"),
    ("axis_tilt", "y", "rad"),
    ("encoder_zero", "", "rad"),
    ("anchor", "x", "m"),
    ("anchor", "y", "m"),
    ("anchor", "z", "m"),
)
_TRACKER_FIELDS = (
    ("tracker.translation", "x", "m"),
    ("tracker.translation", "y", "m"),
    ("tracker.translation", "z", "m"),
    ("tracker.rotation", "x", "rad"),
    ("tracker.rotation", "y", "rad"),
    ("tracker.rotation", "z", "rad"),
)
# Below this distance from the anchor the arm tip has no direction to it; the
# residual stays finite and its gradient is taken along an arbitrary unit vector.
_TINY_DISTANCE = 1e-300


def one_blas_thread() -> Any:
    """Run the solver's small dense algebra on one BLAS thread.

    The matrices here are a few thousand rows by some 56 columns: threads gain nothing on
    them, and a threaded OpenBLAS on a busy machine can make each SVD a hundred
    times slower while its threads wait for cores.
    """
    try:
        from threadpoolctl import threadpool_limits  # type: ignore[import-untyped,unused-ignore]
    except ImportError:  # pragma: no cover - threadpoolctl comes with the calibrate extra
        return contextlib.nullcontext()
    return threadpool_limits(limits=1, user_api="blas")


def skew(w: Array) -> Array:
    """[w]x for w[..., 3]: the matrix with [w]x v = w x v."""
    out = np.zeros(w.shape + (3,))
    out[..., 0, 1], out[..., 0, 2] = -w[..., 2], w[..., 1]
    out[..., 1, 0], out[..., 1, 2] = w[..., 2], -w[..., 0]
    out[..., 2, 0], out[..., 2, 1] = -w[..., 1], w[..., 0]
    return out


def _rotation_coefficients(w: Array) -> tuple[Array, Array, Array]:
    """sin t / t, (1 - cos t) / t^2 and (t - sin t) / t^3 for t = |w|, without cancellation."""
    t2 = np.sum(w * w, axis=-1)
    t = np.sqrt(t2)
    safe = np.where(t > 0.0, t, 1.0)
    a = np.where(t > 0.0, np.sin(safe) / safe, 1.0)
    half = np.where(t > 0.0, np.sin(0.5 * safe) / safe, 0.5)
    b = 2.0 * half * half
    small = t < 0.1
    series = 1.0 / 6.0 - t2 / 120.0 + t2 * t2 / 5040.0 - t2 * t2 * t2 / 362880.0
    c = np.where(small, series, (safe - np.sin(safe)) / (safe * safe * safe))
    return a, b, c


def rotation_exp(w: Array) -> Array:
    """Exp(w) for rotation vectors w[..., 3] (Rodrigues)."""
    a, b, _ = _rotation_coefficients(w)
    k = skew(w)
    rotation: Array = np.eye(3) + a[..., None, None] * k + b[..., None, None] * (k @ k)
    return rotation


def rotation_log(r: Array) -> Array:
    """The rotation vector of a rotation matrix (angles below pi)."""
    quaternion = quaternion_from_matrix(r)
    vector = quaternion[..., 1:] * np.where(quaternion[..., :1] < 0.0, -1.0, 1.0)
    s = np.linalg.norm(vector, axis=-1)
    angle = 2.0 * np.arctan2(s, np.abs(quaternion[..., 0]))
    scale = np.where(s > 0.0, angle / np.where(s > 0.0, s, 1.0), 2.0)
    return vector * scale[..., None]


def right_jacobian(w: Array) -> Array:
    """J_r(w), with Exp(w + d) = Exp(w) Exp(J_r(w) d) to first order in d."""
    _, b, c = _rotation_coefficients(w)
    k = skew(w)
    jacobian: Array = np.eye(3) - b[..., None, None] * k + c[..., None, None] * (k @ k)
    return jacobian


def quaternion_from_matrix(r: Array) -> Array:
    """Unit quaternions (w, x, y, z), w >= 0, of rotation matrices r[..., 3, 3]."""
    r = np.asarray(r, dtype=float)
    trace = r[..., 0, 0] + r[..., 1, 1] + r[..., 2, 2]
    # Each of the four candidates is accurate where its own component is largest.
    candidates = np.stack(
        [
            np.stack([1.0 + trace, r[..., 2, 1] - r[..., 1, 2], r[..., 0, 2] - r[..., 2, 0], r[..., 1, 0] - r[..., 0, 1]], -1),
            np.stack([r[..., 2, 1] - r[..., 1, 2], 1.0 + 2.0 * r[..., 0, 0] - trace, r[..., 0, 1] + r[..., 1, 0], r[..., 0, 2] + r[..., 2, 0]], -1),
            np.stack([r[..., 0, 2] - r[..., 2, 0], r[..., 0, 1] + r[..., 1, 0], 1.0 + 2.0 * r[..., 1, 1] - trace, r[..., 1, 2] + r[..., 2, 1]], -1),
            np.stack([r[..., 1, 0] - r[..., 0, 1], r[..., 0, 2] + r[..., 2, 0], r[..., 1, 2] + r[..., 2, 1], 1.0 + 2.0 * r[..., 2, 2] - trace], -1),
        ],
        -2,
    )
    diagonal = np.stack([trace, r[..., 0, 0], r[..., 1, 1], r[..., 2, 2]], -1)
    best = np.argmax(diagonal, axis=-1)
    q = np.take_along_axis(candidates, best[..., None, None], axis=-2)[..., 0, :]
    q = q / np.linalg.norm(q, axis=-1, keepdims=True)
    unit: Array = q * np.where(q[..., :1] < 0.0, -1.0, 1.0)
    return unit


def matrix_from_quaternion(q: Array) -> Array:
    """Rotation matrices of unit quaternions q[..., 4] = (w, x, y, z)."""
    w, x, y, z = np.moveaxis(np.asarray(q, dtype=float), -1, 0)
    return np.stack(
        [
            np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)], -1),
            np.stack([2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)], -1),
            np.stack([2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], -1),
        ],
        -2,
    )


class Geometry(NamedTuple):
    """The torso (and tracker frame) that a parameter vector describes."""

    origins: Array  # (B, 3) world
    rotations: Array  # (B, 3, 3) world from motor
    anchors: Array  # (B, 3) platform
    arm: float
    rod: float
    tracker_rotation: Array  # (3, 3) world from tracker
    tracker_translation: Array  # (3,)
    turns: Array  # (B, 3) the motor frames' rotation vectors
    tracker_turn: Array  # (3,)


class Layout:
    """Where each parameter sits in the vector, its name and unit, and the nominal torso."""

    def __init__(self, torso: Torso, fit_tracker_frame: bool) -> None:
        self.torso = torso
        self.branch_count = len(torso.branches)
        motors = np.array([b.t_world_motor for b in torso.branches], dtype=float).reshape(-1, 4, 4)
        self.nominal_origins = motors[:, :3, 3].copy()
        self.nominal_rotations = motors[:, :3, :3].copy()
        self.nominal_anchors = np.array([b.anchor for b in torso.branches], dtype=float).reshape(-1, 3)
        self.nominal_arm = float(torso.motor_arm_length)
        self.nominal_rod = float(torso.rod_length)
        self.fit_tracker_frame = fit_tracker_frame
        self.shared = BRANCH_PARAMETERS * self.branch_count
        self.tracker = self.shared + 2
        self.size = self.tracker + (6 if fit_tracker_frame else 0)
        names, units = [], []
        for i in range(self.branch_count):
            for field, component, unit in _BRANCH_FIELDS:
                names.append(f"branch[{i}].{field}" + (f".{component}" if component else ""))
                units.append(unit)
        names += ["motor_arm_length", "rod_length"]
        units += ["m", "m"]
        if fit_tracker_frame:
            names += [f"{field}.{component}" for field, component, _ in _TRACKER_FIELDS]
            units += [unit for _, _, unit in _TRACKER_FIELDS]
        self.names: tuple[str, ...] = tuple(names)
        self.units: tuple[str, ...] = tuple(units)

    def nominal_values(self) -> Array:
        """The nominal value of every parameter in its own terms (zero for turns and the tracker)."""
        values = np.zeros(self.size)
        per_branch = values[: self.shared].reshape(self.branch_count, BRANCH_PARAMETERS)
        per_branch[:, 0:3] = self.nominal_origins
        per_branch[:, 6:9] = self.nominal_anchors
        values[self.shared] = self.nominal_arm
        values[self.shared + 1] = self.nominal_rod
        return values

    def geometry(self, x: Array) -> Geometry:
        per_branch = x[: self.shared].reshape(self.branch_count, BRANCH_PARAMETERS)
        turns = per_branch[:, 3:6]
        if self.fit_tracker_frame:
            tracker_translation = x[self.tracker : self.tracker + 3]
            tracker_turn = x[self.tracker + 3 : self.tracker + 6]
        else:
            tracker_translation = tracker_turn = np.zeros(3)
        return Geometry(
            origins=self.nominal_origins + per_branch[:, 0:3],
            rotations=self.nominal_rotations @ rotation_exp(turns),
            anchors=self.nominal_anchors + per_branch[:, 6:9],
            arm=self.nominal_arm + x[self.shared],
            rod=self.nominal_rod + x[self.shared + 1],
            tracker_rotation=rotation_exp(tracker_turn),
            tracker_translation=tracker_translation,
            turns=turns,
            tracker_turn=tracker_turn,
        )

    def torso_of(self, x: Array) -> Torso:
        """The torso that x describes; each branch keeps its assembly mode, the torso its home,
        payload, motors and gravity."""
        g = self.geometry(x)
        branches = []
        for i, nominal in enumerate(self.torso.branches):
            motor = np.eye(4)
            motor[:3, :3], motor[:3, 3] = g.rotations[i], g.origins[i]
            branches.append(
                Branch(
                    anchor=(float(g.anchors[i, 0]), float(g.anchors[i, 1]), float(g.anchors[i, 2])),
                    t_world_motor=tuple((float(r[0]), float(r[1]), float(r[2]), float(r[3])) for r in motor),
                    solution=nominal.solution,
                )
            )
        return Torso(
            motor_arm_length=float(g.arm),
            rod_length=float(g.rod),
            branches=tuple(branches),
            home=self.torso.home,
            payload=self.torso.payload,
            motors=self.torso.motors,
            gravity=self.torso.gravity,
        )

    def tolerances(self) -> Array:
        """The drawing's tolerance of each parameter, the unit that scales it: 1 mm or 1 degree."""
        return np.where(np.array(self.units) == "m", 1e-3, np.pi / 180.0)

    def gauge_basis(self) -> tuple[Array, npt.NDArray[np.intp]]:
        """Columns spanning the parameter changes that keep the documented gauge.

        With a fitted tracker frame, moving the whole torso and the tracker together
        changes no residual. The gauge fixed here keeps the centroid of the motor
        origins and the sum of the motor frames' world rotation vectors (R0 w, since
        R0 Exp(w) = Exp(R0 w) R0) at their nominal values: branch 0's origin and turn
        follow from the others'. Without a tracker frame every change is free.
        Returns the basis (size, F) and the parameter that each column moves freely.
        """
        if not self.fit_tracker_frame:
            return np.eye(self.size), np.arange(self.size)
        eliminated = list(range(0, 6))
        free = [j for j in range(self.size) if j not in eliminated]
        basis = np.zeros((self.size, len(free)))
        basis[free, range(len(free))] = 1.0
        r0_inverse = self.nominal_rotations[0].T
        for column, j in enumerate(free):
            branch, k = divmod(j, BRANCH_PARAMETERS)
            if j >= self.shared:
                continue
            if k < 3:  # an origin: branch 0's moves the other way
                basis[k, column] = -1.0
            elif k < 6:  # a turn: branch 0's cancels its world rotation vector
                basis[3:6, column] = -r0_inverse @ self.nominal_rotations[branch][:, k - 3]
        return basis, np.array(free)


class Samples(NamedTuple):
    """Measured poses and angles, arranged for the residuals."""

    positions: Array  # (N, 3)
    rotations: Array  # (N, 3, 3)
    cos_sin: Array  # (N, B, 2)


def samples(poses: Array, angles: Array) -> Samples:
    return Samples(
        positions=np.ascontiguousarray(poses[:, :3, 3]),
        rotations=np.ascontiguousarray(poses[:, :3, :3]),
        cos_sin=np.stack([np.cos(angles), np.sin(angles)], axis=-1),
    )


def _in_plane(rotations: Array, plane: Array) -> Array:
    """R_b (c, s, 0) for every sample n and branch b: rotations (B, 3, 3), plane (N, B, 2)."""
    direction: Array = (rotations[:, :, :2] @ plane[..., None])[..., 0]
    return direction


def residuals(layout: Layout, x: Array, data: Samples) -> Array:
    """Rod-length errors (N, B) in metres."""
    return residuals_and_jacobian(layout, x, data, jacobian=False)[0]


def residuals_and_jacobian(layout: Layout, x: Array, data: Samples, jacobian: bool = True) -> tuple[Array, Array]:
    """Rod-length errors (N, B) in metres and their Jacobian (N, B, size) (empty without `jacobian`)."""
    g = layout.geometry(x)
    # The arm direction in the world and the anchor in the tracker frame, per sample and branch.
    # Products of small matrices as batched matmul, which numpy runs several times
    # faster than the equivalent einsum.
    arm_direction = _in_plane(g.rotations, data.cos_sin)
    in_tracker = data.positions[:, None, :] + g.anchors @ np.swapaxes(data.rotations, 1, 2)
    in_world = in_tracker @ g.tracker_rotation.T
    delta = g.origins + g.arm * arm_direction - in_world - g.tracker_translation
    distance = np.sqrt(np.sum(delta * delta, axis=-1))
    error: Array = distance - g.rod
    if not jacobian:
        return error, np.zeros((0,))
    u = delta / np.maximum(distance, _TINY_DISTANCE)[..., None]
    unit_fix = distance < _TINY_DISTANCE
    if np.any(unit_fix):
        u[unit_fix] = (1.0, 0.0, 0.0)
    n, b = error.shape
    jac: Array = np.zeros((n, b, layout.size))
    anchor_rows = -((u @ g.tracker_rotation) @ data.rotations)
    in_motor = (u[..., None, :] @ g.rotations)[..., 0, :]  # R^T u
    arm_tip = g.arm * np.concatenate([data.cos_sin, np.zeros((n, b, 1))], axis=-1)
    turn_rows = np.einsum("nbj,bjk->nbk", np.cross(arm_tip, in_motor), right_jacobian(g.turns))
    for i in range(b):
        base = BRANCH_PARAMETERS * i
        jac[:, i, base : base + 3] = u[:, i]
        jac[:, i, base + 3 : base + 6] = turn_rows[:, i]
        jac[:, i, base + 6 : base + 9] = anchor_rows[:, i]
    jac[:, :, layout.shared] = np.sum(u * arm_direction, axis=-1)
    jac[:, :, layout.shared + 1] = -1.0
    if layout.fit_tracker_frame:
        t = layout.tracker
        jac[:, :, t : t + 3] = -u
        # Left Jacobian of the world-frame turn: J_l(w) = J_r(w)^T.
        jac[:, :, t + 3 : t + 6] = np.cross(u, in_world) @ right_jacobian(g.tracker_turn).T
    return error, jac


class Sensitivities(NamedTuple):
    """How each rod residual moves with the errors of its sample's measurements, to first order."""

    position: Array  # (N, B, 3) per metre of tracker position error, tracker axes
    turn: Array  # (N, B, 3) per radian of tracker turn (a rotation vector on the measured orientation, tracker axes)
    encoder: Array  # (N, B) per radian of error in the branch's own encoder


def sensitivities(layout: Layout, x: Array, data: Samples) -> Sensitivities:
    """The rod residuals' derivatives with respect to the measurements (not the parameters).

    A sample's six residuals share its tracker error, so their errors are correlated:
    these derivatives give their covariance for given noise levels (see covariances).
    """
    g = layout.geometry(x)
    arm_direction = _in_plane(g.rotations, data.cos_sin)
    rotated_anchor = g.anchors @ np.swapaxes(data.rotations, 1, 2)  # R b, tracker axes
    in_world = (data.positions[:, None, :] + rotated_anchor) @ g.tracker_rotation.T
    delta = g.origins + g.arm * arm_direction - in_world - g.tracker_translation
    u = delta / np.maximum(np.linalg.norm(delta, axis=-1), _TINY_DISTANCE)[..., None]
    v = u @ g.tracker_rotation  # the rod direction in tracker axes
    # The anchor moves by -[R b]x d for a turn d of the measured orientation, and the
    # residual by v . (R b x d) = (v x R b) . d.
    tangent = np.stack([-data.cos_sin[..., 1], data.cos_sin[..., 0]], axis=-1)
    arm_tangent = _in_plane(g.rotations, tangent)
    return Sensitivities(
        position=-v,
        turn=np.cross(v, rotated_anchor),
        encoder=g.arm * np.sum(u * arm_tangent, axis=-1),
    )


def covariances(s: Sensitivities, position: float, turn: float, encoder: float) -> Array:
    """The covariance (N, B, B) of each sample's rod residuals, for independent errors of
    standard deviation `position` (metres, per axis), `turn` (radians, per axis) of the
    tracker and `encoder` (radians) of each encoder."""
    c: Array = position**2 * (s.position @ np.swapaxes(s.position, 1, 2))
    c += turn**2 * (s.turn @ np.swapaxes(s.turn, 1, 2))
    b = s.encoder.shape[1]
    c[:, range(b), range(b)] += encoder**2 * s.encoder**2
    return c
