"""Time-optimal motion through waypoints, within the motors' limits.

`plan(torso, waypoints)` returns a `Trajectory`: the platform's poses, the
motor angles, speeds, accelerations and torques, sampled at a fixed rate from
rest at the first waypoint to rest at the last.

The path. Positions and rotations are interpolated by one cubic spline
through all the waypoints, exactly at the first and the last (and, to
rounding, at the others): the rotation of the platform at path parameter s
is R0 exp([phi(s)]), R0 the first waypoint's rotation and phi(s) a rotation
vector, so that the spline runs through phi_k = log(R0^T R_k), each taken
within half a turn of the one before. The spline is "natural" (no curvature
at the ends) and its knots are spaced by the distance between consecutive
waypoints, sqrt(|dp|^2 + (L |dphi|)^2), L the mean distance of the anchors
from the platform's origin, so that turning by a radian counts as moving by
L. Positions and rotation vectors are twice continuously differentiable along
the path, and so are the motor angles.

The timing. toppra (the `motion` extra: pip install
'tavrino_torso_kinematics[motion]') parameterizes the path in time, fastest
under the limits of the torso's [motors] table: speed and acceleration of
each motor, and its torque from inverse dynamics with the payload and the
arms' inertia, starting and ending at rest. The geometry along the path (the
motor angles and their first two derivatives with respect to the path
parameter, and the torques' coefficients) comes from the C++ core through
`Model`.

Before any timing, reach and conditioning are checked along the whole path:
an unreachable or near-singular point, or one where the motors cannot hold
the payload still, raises a ValueError that names the segment (between
waypoints k and k + 1) and how far along it.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .check import LEAST_INVERSE_CONDITION, LEAST_TRANSMISSION
from .poses import rotation_matrix, rotation_vector, unwrap
from .torso import Torso

if TYPE_CHECKING:
    from ._native import Model

Array = npt.NDArray[np.float64]
MOTION_EXTRA = "pip install 'tavrino_torso_kinematics[motion]'"
# Reach, conditioning and holding torque are checked at this many points of
# each segment, both ends included.
CHECKS_PER_SEGMENT = 201
# toppra's grid: this many points a segment, and no fewer than the least in all.
GRID_PER_SEGMENT = 60
LEAST_GRID = 120
# Below this angle the coefficients of the rotation's derivatives are taken
# from their series, where the closed forms lose digits to cancellation.
SMALL_ANGLE = 0.02


class MissingToppra(ImportError):
    """Raised by plan when toppra (or scipy) is not installed."""


@dataclass(frozen=True, eq=False)
class Trajectory:
    """A planned motion, sampled every 1 / rate seconds from time 0 until the
    platform stands still at the last waypoint. SI units: metres, radians,
    seconds, N m."""

    time: Array
    """(n,) seconds, k / rate."""
    poses: Array
    """(n, 4, 4) the platform's pose, the first and the last exactly the first
    and the last waypoint."""
    angles: Array
    """(n, 6) the motor angles, unwrapped from the first sample on."""
    speeds: Array
    """(n, 6) their speeds, rad/s."""
    accelerations: Array
    """(n, 6) their accelerations, rad/s^2."""
    torques: Array
    """(n, 6) the motor torques, N m (inverse dynamics)."""

    @property
    def duration(self) -> float:
        """The time from the first waypoint to rest at the last, at most the
        last sample's time."""
        return float(self.time[-1])


# The path ---------------------------------------------------------------------

def _series_or(small: Array, exact: Array, theta: Array) -> Array:
    return np.where(theta < SMALL_ANGLE, small, exact)


def _rotation_coefficients(phi: Array) -> tuple[Array, Array, Array, Array]:
    """alpha = (1 - cos t) / t^2, beta = (t - sin t) / t^3 and alpha' / t, beta' / t
    (derivatives in t) at t = |phi|: the left Jacobian of the rotation vector,
    J = I + alpha [phi] + beta [phi]^2, and its rate."""
    t = np.linalg.norm(phi, axis=-1)
    s = np.where(t < SMALL_ANGLE, 1.0, t)  # any non-zero value where the series is used
    t2 = t * t
    alpha = _series_or(0.5 - t2 / 24 + t2 * t2 / 720, (1 - np.cos(s)) / s**2, t)
    beta = _series_or(1 / 6 - t2 / 120 + t2 * t2 / 5040, (s - np.sin(s)) / s**3, t)
    d_alpha = _series_or(-1 / 12 + t2 / 180 - t2 * t2 / 6720, (s * np.sin(s) - 2 * (1 - np.cos(s))) / s**4, t)
    d_beta = _series_or(-1 / 60 + t2 / 1260 - t2 * t2 / 60480, ((1 - np.cos(s)) * s - 3 * (s - np.sin(s))) / s**5, t)
    return alpha, beta, d_alpha, d_beta


class PosePath:
    """The smooth path through the waypoints (see the module's documentation),
    as a function of the path parameter s from 0 to `length`."""

    def __init__(self, torso: Torso, waypoints: Array) -> None:
        from scipy.interpolate import CubicSpline  # type: ignore[import-untyped,unused-ignore]

        self.first, self.last = waypoints[0].copy(), waypoints[-1].copy()
        self.start_rotation = waypoints[0, :3, :3].copy()
        vectors = [np.zeros(3)]
        for k in range(1, len(waypoints)):
            phi = rotation_vector(self.start_rotation.T @ waypoints[k, :3, :3])
            # The same rotation, a whole turn further round its axis, where
            # that lies nearer the previous waypoint's.
            angle = float(np.linalg.norm(phi))
            if angle > 0.0:
                other = phi * (1.0 - 2.0 * math.pi / angle)
                if np.linalg.norm(other - vectors[-1]) < np.linalg.norm(phi - vectors[-1]):
                    phi = other
            vectors.append(phi)
        phis = np.array(vectors)
        positions = waypoints[:, :3, 3]
        radius = float(np.mean([np.linalg.norm(b.anchor) for b in torso.branches])) or torso.rod_length
        steps = np.sqrt(np.sum(np.diff(positions, axis=0) ** 2, axis=1)
                        + radius**2 * np.sum(np.diff(phis, axis=0) ** 2, axis=1))
        if not np.all(steps > 0.0):
            k = int(np.flatnonzero(~(steps > 0.0))[0])
            raise ValueError(f"waypoints {k} and {k + 1} are the same pose: leave one out")
        self.knots = np.concatenate([[0.0], np.cumsum(steps)])
        self.length = float(self.knots[-1])
        self.spline = CubicSpline(self.knots, np.hstack([positions, phis]), bc_type="natural")

    def segment(self, s: Array) -> tuple[npt.NDArray[np.intp], Array]:
        """The segment each s lies on and how far along it (0 to 1)."""
        k = np.clip(np.searchsorted(self.knots, s, side="right") - 1, 0, len(self.knots) - 2)
        return k, (s - self.knots[k]) / (self.knots[k + 1] - self.knots[k])

    def poses(self, s: Array) -> Array:
        """(m, 4, 4) at the path parameters s (m,); exactly the first and the
        last waypoint at 0 and at `length`."""
        values = self.spline(s)
        out = np.tile(np.eye(4), (len(s), 1, 1))
        out[:, :3, :3] = self.start_rotation @ rotation_matrix(values[:, 3:])
        out[:, :3, 3] = values[:, :3]
        out[s <= 0.0] = self.first
        out[s >= self.length] = self.last
        return out

    def derivatives(self, s: Array) -> tuple[Array, Array]:
        """The platform's twist per unit path parameter, dX/ds = (dp/ds, w), and
        its derivative d2X/ds2, each (m, 6), in world coordinates as Model
        takes twists and twist rates. With R = R0 exp([phi]) and J the left
        Jacobian of phi: w = R0 J phi', and its derivative R0 (J phi'' + dJ phi')."""
        first, second = self.spline(s, 1), self.spline(s, 2)
        phi, d_phi, dd_phi = self.spline(s)[:, 3:], first[:, 3:], second[:, 3:]
        alpha, beta, d_alpha, d_beta = (c[:, None] for c in _rotation_coefficients(phi))
        across = np.cross(phi, d_phi)
        omega = d_phi + alpha * across + beta * np.cross(phi, across)
        along = np.sum(phi * d_phi, axis=1)[:, None]
        cross_second = np.cross(phi, dd_phi)
        omega_rate = (dd_phi + alpha * cross_second + beta * np.cross(phi, cross_second)
                      + d_alpha * along * across + d_beta * along * np.cross(phi, across)
                      + beta * np.cross(d_phi, across))
        rotate = self.start_rotation
        return (np.hstack([first[:, :3], omega @ rotate.T]), np.hstack([second[:, :3], omega_rate @ rotate.T]))


# The motor angles along the path, and the torque constraint, for toppra -------

def _joint_path(path: PosePath, model: Model) -> Any:
    """The path in the motors' angles, as toppra takes a geometric path: q(s),
    q'(s) and q''(s) from inverse kinematics, the velocity Jacobians and the
    motors' accelerations along the pose path."""
    from toppra.interpolator import AbstractGeometricPath  # type: ignore[import-untyped,unused-ignore]

    class JointPath(AbstractGeometricPath):  # type: ignore[misc,unused-ignore]
        def __call__(self, positions: Any, order: int = 0) -> Array:
            s = np.atleast_1d(np.asarray(positions, dtype=np.float64))
            poses = path.poses(s)
            angles = model.inverse_kinematics(poses)
            if order == 0:
                out = angles
            else:
                rate, rate_of_rate = path.derivatives(s)
                if order == 1:
                    out = model.joint_velocities(model.velocity_jacobians(poses, angles), rate)
                elif order == 2:
                    out = model.joint_accelerations(poses, angles, rate, rate_of_rate)
                else:
                    raise ValueError(f"derivatives of order {order} are not available")
            return out if np.ndim(positions) else out[0]

        @property
        def dof(self) -> int:
            return 6

        @property
        def path_interval(self) -> Array:
            return np.array([0.0, path.length])

    return JointPath()


def _torque_constraint(path: PosePath, model: Model, limit: float) -> Any:
    """|torque| <= limit for every motor. Inverse dynamics is affine in the twist
    rate and quadratic in the twist; along the path, with twist dX/ds sdot and
    twist rate dX/ds sddot + d2X/ds2 sdot^2, the torques are a(s) sddot + b(s)
    sdot^2 + c(s), the form toppra's linear constraints take."""
    from toppra.constraint import DiscretizationType, LinearConstraint  # type: ignore[import-untyped,unused-ignore]
    from toppra.constraint.linear_constraint import canlinear_colloc_to_interpolate  # type: ignore[import-untyped,unused-ignore]

    class TorqueConstraint(LinearConstraint):  # type: ignore[misc,unused-ignore]
        def __init__(self) -> None:
            super().__init__()
            self.dof = 6
            self.identical = True
            self.set_discretization_type(DiscretizationType.Interpolation)

        def compute_constraint_params(self, _: Any, gridpoints: Array, *args: Any, **kwargs: Any) -> Any:
            s = np.asarray(gridpoints, dtype=np.float64)
            poses = path.poses(s)
            angles = model.inverse_kinematics(poses)
            rate, rate_of_rate = path.derivatives(s)
            zero = np.zeros_like(rate)
            c = model.inverse_dynamics(poses, angles, zero, zero)
            a = model.inverse_dynamics(poses, angles, zero, rate) - c
            b = model.inverse_dynamics(poses, angles, rate, rate_of_rate) - c
            f = np.vstack([np.eye(6), -np.eye(6)])
            g = np.full(12, limit)
            return canlinear_colloc_to_interpolate(a, b, c, f, g, None, None, s, identical=True)

    return TorqueConstraint()


# Checks along the path ----------------------------------------------------------

def _where(path: PosePath, s: float) -> str:
    k, fraction = path.segment(np.array([s]))
    at = path.poses(np.array([s]))[0, :3, 3] * 1e3
    return (f"segment {int(k[0])} (waypoint {int(k[0])} to {int(k[0]) + 1}), {float(fraction[0]):.0%} of the way "
            f"along, at x, y, z = {at[0]:.1f}, {at[1]:.1f}, {at[2]:.1f} mm")


def _check_path(path: PosePath, model: Model, torque_limit: float | None) -> None:
    """Refuses a path that leaves the workspace, comes to the edge of a
    branch's reach or near a platform singularity, or where the motors cannot
    hold the payload still: the first such point along the path is named."""
    s = np.concatenate([np.linspace(path.knots[k], path.knots[k + 1], CHECKS_PER_SEGMENT)
                        for k in range(len(path.knots) - 1)])
    poses = path.poses(s)
    angles = model.inverse_kinematics(poses)
    quality = model.conditioning(poses, angles)
    unreachable: npt.NDArray[np.bool_] = np.asarray(np.isnan(angles).any(axis=1))
    edge = ~unreachable & (quality.transmission.min(axis=1) < LEAST_TRANSMISSION)
    singular = ~unreachable & ~edge & (quality.inverse_condition < LEAST_INVERSE_CONDITION)
    problems = unreachable | edge | singular
    if problems.any():
        k = int(np.argmax(problems))
        if unreachable[k]:
            what = f"branch {int(np.argmax(np.isnan(angles[k])))} cannot reach"
        elif edge[k]:
            branch = int(np.argmin(quality.transmission[k]))
            what = f"branch {branch} comes to the edge of its reach (transmission {quality.transmission[k, branch]:.3f})"
        else:
            what = f"the platform comes near a singularity (inverse condition {quality.inverse_condition[k]:.3f})"
        raise ValueError(f"the path cannot be followed: {what} in {_where(path, s[k])}")
    if torque_limit is not None:
        zero = np.zeros((len(s), 6))
        held = np.abs(model.inverse_dynamics(poses, angles, zero, zero))
        over = held.max(axis=1) > torque_limit
        if over.any():
            k = int(np.argmax(over))
            motor = int(np.argmax(held[k]))
            raise ValueError(f"the path cannot be followed: motor {motor} cannot hold the payload still, it needs "
                             f"{held[k, motor]:.3g} N m, more than the torque limit of {torque_limit:g} N m, in "
                             f"{_where(path, s[k])}")


# Planning ------------------------------------------------------------------------

def _waypoints(value: npt.ArrayLike) -> Array:
    try:
        waypoints = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"waypoints: must be an array of poses (k, 4, 4) ({error})") from None
    if waypoints.ndim != 3 or waypoints.shape[1:] != (4, 4) or len(waypoints) < 2:
        raise ValueError(f"waypoints: must be at least 2 poses, shape (k, 4, 4), got {waypoints.shape}")
    for k, pose in enumerate(waypoints):
        rotation = pose[:3, :3]
        if (not np.all(np.isfinite(pose)) or not np.allclose(pose[3], [0, 0, 0, 1], rtol=0, atol=0)
                or not np.allclose(rotation.T @ rotation, np.eye(3), rtol=0, atol=1e-6)
                or np.linalg.det(rotation) <= 0):
            raise ValueError(f"waypoints[{k}]: must be a rigid pose: finite, a rotation in the upper-left "
                             "3x3 block and (0, 0, 0, 1) as the bottom row")
    return waypoints


def plan(torso: Torso, waypoints: npt.ArrayLike, *, rate: float = 500.0) -> Trajectory:
    """The fastest motion along the smooth path through `waypoints` (k >= 2
    poses (k, 4, 4), metres) that keeps every motor within the limits of the
    torso's [motors] table, from rest to rest, sampled `rate` times a second.

    The torso needs a [payload] (for the torques) and an acceleration limit or
    a torque limit (which bound how fast the motion starts and stops).
    ValueError for a path that cannot be followed (see the module's
    documentation) and for a torso without those; MissingToppra without
    toppra."""
    step = float(rate)
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"rate: must be a positive number of samples a second, got {rate!r}")
    points = _waypoints(waypoints)
    motors = torso.motors
    if torso.payload is None:
        raise ValueError("the torso has no [payload] table: the torques of a motion need the platform's mass "
                         "and inertia")
    if motors is None or (motors.acceleration_limit is None and motors.torque_limit is None):
        raise ValueError("the torso's [motors] table gives neither an acceleration_limit nor a torque_limit: "
                         "without one the motion could start and stop in no time")
    try:
        # toppra's docstrings hold backslashes that Python 3.12 on warns of
        # while compiling them: its own matter, not the caller's.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", SyntaxWarning)
            import scipy.interpolate  # type: ignore[import-untyped,unused-ignore]  # noqa: F401
            import toppra  # type: ignore[import-untyped,unused-ignore]
            import toppra.algorithm  # type: ignore[import-untyped,unused-ignore]
            import toppra.constraint  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise MissingToppra(f"planning a motion needs toppra, which is not installed: {MOTION_EXTRA}") from None

    model = torso.model()
    path = PosePath(torso, points)
    _check_path(path, model, motors.torque_limit)

    joint_path = _joint_path(path, model)
    constraints: list[Any] = []
    if motors.speed_limit is not None:
        constraints.append(toppra.constraint.JointVelocityConstraint(np.full(6, motors.speed_limit)))
    if motors.acceleration_limit is not None:
        constraints.append(toppra.constraint.JointAccelerationConstraint(np.full(6, motors.acceleration_limit)))
    if motors.torque_limit is not None:
        constraints.append(_torque_constraint(path, model, motors.torque_limit))
    count = max(LEAST_GRID, GRID_PER_SEGMENT * (len(points) - 1)) + 1
    gridpoints = np.linspace(0.0, path.length, count)
    algorithm = toppra.algorithm.TOPPRA(constraints, joint_path, gridpoints=gridpoints, solver_wrapper="seidel")
    _, speeds_on_grid, _ = algorithm.compute_parameterization(0.0, 0.0)
    if speeds_on_grid is None or not np.all(np.isfinite(speeds_on_grid)):
        raise ValueError("no motion along the path keeps the motors within their limits")
    return _sampled(path, model, gridpoints, np.maximum(speeds_on_grid, 0.0), step)


def _sampled(path: PosePath, model: Model, gridpoints: Array, path_speeds: Array, rate: float) -> Trajectory:
    """The trajectory at k / rate: the path parameter s(t) from the path speeds
    at the grid, constant path acceleration between grid points (as toppra
    takes it), evaluated by toppra's own parametrizer on the path s -> s."""
    from toppra.interpolator import AbstractGeometricPath  # type: ignore[import-untyped,unused-ignore]
    from toppra.parametrizer import ParametrizeConstAccel  # type: ignore[import-untyped,unused-ignore]

    class Parameter(AbstractGeometricPath):  # type: ignore[misc,unused-ignore]
        def __call__(self, s: Any, order: int = 0) -> Array:
            values = np.atleast_2d(np.asarray(s, dtype=np.float64)).reshape(-1, 1)
            return values if order == 0 else np.full_like(values, 1.0 if order == 1 else 0.0)

        @property
        def dof(self) -> int:
            return 1

        @property
        def path_interval(self) -> Array:
            return np.array([0.0, path.length])

    timing = ParametrizeConstAccel(Parameter(), gridpoints, path_speeds)
    duration = float(timing.duration)
    count = math.ceil(duration * rate - 1e-9) + 1
    time = np.arange(count) / rate
    moving = time < duration
    s = np.full(count, path.length)
    s_dot, s_ddot = np.zeros(count), np.zeros(count)
    if moving.any():
        s[moving] = np.clip(timing(time[moving], 0)[:, 0], 0.0, path.length)
        s_dot[moving] = timing(time[moving], 1)[:, 0]
        s_ddot[moving] = timing(time[moving], 2)[:, 0]
    poses = path.poses(s)
    rate_of_s, second = path.derivatives(s)
    twist = rate_of_s * s_dot[:, None]
    twist_rate = rate_of_s * s_ddot[:, None] + second * (s_dot**2)[:, None]
    angles = model.inverse_kinematics(poses)
    speeds = model.joint_velocities(model.velocity_jacobians(poses, angles), twist)
    accelerations = model.joint_accelerations(poses, angles, twist, twist_rate)
    torques = model.inverse_dynamics(poses, angles, twist, twist_rate)
    return Trajectory(time, poses, unwrap(angles), speeds, accelerations, torques)


# Holding the payload over the workspace ---------------------------------------------

@dataclass(frozen=True, eq=False)
class HoldingTorque:
    """The torque the most loaded motor needs to hold the payload still, over
    the maps of `workspace`: positions (home moved by (xs[i], ys[j],
    heights[h]), orientation kept) at [h, j, i], and tilts (home turned by roll
    rolls[i] and pitch pitches[j]) at [j, i]. N m; NaN out of reach."""

    heights: Array
    xs: Array
    ys: Array
    peak: Array
    rolls: Array
    pitches: Array
    tilt_peak: Array


def holding_torque(torso: Torso, *, count: int = 61, max_tilt: float = math.radians(40.0)) -> HoldingTorque:
    """Sweeps the platform as `workspace` does (count samples a side) and
    finds, at each pose, the largest of the six motor torques that hold the
    payload still against gravity: what a motor must give without moving.
    ValueError for a torso without a [payload]."""
    from .poses import pose
    from .workspace import default_heights

    if torso.payload is None:
        raise ValueError("the torso has no [payload] table: there is nothing to hold")
    model = torso.model()
    home = np.asarray(torso.home, dtype=np.float64)
    heights = default_heights(torso)
    half = 0.85 * (torso.motor_arm_length + torso.rod_length)
    xs = np.linspace(-half, half, count)
    angles = np.linspace(-max_tilt, max_tilt, count)

    def peak(poses: Array) -> Array:
        targets = home @ poses
        motor_angles = model.inverse_kinematics(targets)
        zero = np.zeros(targets.shape[:-2] + (6,))
        torques = np.abs(model.inverse_dynamics(targets, motor_angles, zero, zero))
        out: npt.NDArray[np.bool_] = np.asarray(np.isnan(torques).any(axis=-1))
        return np.asarray(np.where(out, np.nan, np.where(out[..., None], 0.0, torques).max(axis=-1)), dtype=np.float64)

    x, y = np.meshgrid(xs, xs)
    positions = np.stack([peak(pose(x, y, height)) for height in heights])
    roll, pitch = np.meshgrid(angles, angles)
    return HoldingTorque(heights, xs, xs.copy(), positions, angles, angles.copy(), peak(pose(0.0, 0.0, 0.0, roll, pitch)))


def draw_holding_torque(held: HoldingTorque, torso: Torso, path: str | Path, *, title: str | None = None) -> None:
    """Writes a PNG of the holding torque maps: the most loaded motor's torque
    in colour, out of reach grey, the torso's torque limit as a red line (past
    it the motors cannot hold the payload), home +. Needs matplotlib."""
    from matplotlib.colors import ListedColormap

    from .plot import figure, save

    limit = torso.motors.torque_limit if torso.motors is not None else None
    scale = limit if limit is not None else float(np.nanpercentile(held.peak, 95))
    half, tilt = float(held.xs[-1]) * 1e3, math.degrees(float(held.rolls[-1]))
    panels = [(held.peak[h], (-half, half, -half, half), "x (mm)", "y (mm)", f"height {height * 1e3:+.0f} mm")
              for h, height in enumerate(held.heights)]
    panels.append((held.tilt_peak, (-tilt, tilt, -tilt, tilt), "roll (deg)", "pitch (deg)", "roll-pitch at home"))
    fig = figure(figsize=(9.8, 6.0), dpi=80)
    axes = fig.subplots(2, 3)
    image = None
    for ax, (values, extent, xlabel, ylabel, panel_title) in zip(axes.flat, panels):
        ax.imshow(np.isnan(values).astype(float), origin="lower", extent=extent,
                  cmap=ListedColormap(["white", "#e4e4e4"]), interpolation="nearest", aspect="equal")
        image = ax.imshow(np.ma.masked_invalid(values), origin="lower", extent=extent, cmap="viridis", vmin=0.0,
                          vmax=1.5 * scale, interpolation="nearest", aspect="equal")
        if limit is not None and np.nanmax(values, initial=0.0) > limit:
            grid = (np.linspace(extent[0], extent[1], values.shape[1]), np.linspace(extent[2], extent[3], values.shape[0]))
            ax.contour(*grid, np.nan_to_num(values, nan=0.0), levels=[limit], colors="red", linewidths=1.2)
        ax.plot([0], [0], marker="+", color="red", ms=8)
        ax.set_title(panel_title, fontsize=9)
        ax.set_xlabel(xlabel, fontsize=8)
        ax.set_ylabel(ylabel, fontsize=8)
        ax.tick_params(labelsize=7)
    fig.suptitle(title or "Torque of the most loaded motor holding the payload still (grey: out of reach"
                 + ("; red: the torque limit)" if limit is not None else ")"), fontsize=10)
    fig.tight_layout()
    fig.subplots_adjust(right=0.88)
    if image is not None:
        bar = fig.colorbar(image, cax=fig.add_axes((0.91, 0.15, 0.015, 0.7)))
        bar.set_label("holding torque (N m)", fontsize=8)
        bar.ax.tick_params(labelsize=7)
    save(fig, path)


# The picture ------------------------------------------------------------------------

def draw_trajectory(trajectory: Trajectory, torso: Torso, path: str | Path, *, title: str | None = None) -> None:
    """Writes a PNG of a planned motion: the motor angles, speeds and torques
    over time, one line a motor, with the torso's speed and torque limits
    dashed. Needs matplotlib (MissingMatplotlib otherwise)."""
    from .plot import figure, save

    fig = figure(figsize=(9.6, 7.2), dpi=80)
    axes = fig.subplots(3, 1, sharex=True)
    motors = torso.motors
    panels = [(np.degrees(trajectory.angles), "angle (deg)", None),
              (trajectory.speeds, "speed (rad/s)", motors.speed_limit if motors else None),
              (trajectory.torques, "torque (N m)", motors.torque_limit if motors else None)]
    for ax, (values, label, limit) in zip(axes, panels):
        for i in range(values.shape[1]):
            ax.plot(trajectory.time, values[:, i], lw=1.2, label=f"motor {i}")
        if limit is not None:
            for sign in (1.0, -1.0):
                ax.axhline(sign * limit, color="black", ls="--", lw=0.8)
            ax.text(trajectory.time[-1], limit, " limit", fontsize=7, va="bottom", ha="right")
        ax.set_ylabel(label, fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    axes[0].legend(fontsize=7, ncol=6, loc="upper center", bbox_to_anchor=(0.5, 1.28))
    axes[-1].set_xlabel("time (s)", fontsize=8)
    fig.suptitle(title or f"A planned motion of {trajectory.duration:.2f} s, within the motors' limits", fontsize=10)
    fig.tight_layout()
    save(fig, path)
