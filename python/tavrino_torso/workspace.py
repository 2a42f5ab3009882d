"""Where a torso's platform can go, found with its own inverse kinematics: a
pose is reachable when no motor angle comes back NaN. Every sweep is one batch
through `Model`.

Reachability here is that of each branch's geometry alone (the arm tip can be
at rod length from its anchor); collisions between parts are not modelled.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from .poses import pose
from .torso import Torso

if TYPE_CHECKING:
    from ._native import Model

Array = npt.NDArray[np.float64]
Mask = npt.NDArray[np.bool_]
Progress = Callable[[int, int], None]  # (steps done, steps in all)

DEGREE = math.pi / 180.0
# A search never takes more samples than this along one family of poses, nor
# more halvings of the interval that holds its edge.
MOST_SAMPLES = 10_000
MOST_HALVINGS = 60


def reachable(model: Model, poses: Array) -> Mask:
    """Per pose of poses[..., 4, 4]: does every branch reach it?"""
    return np.asarray(~np.isnan(model.inverse_kinematics(poses)).any(axis=-1))


@dataclass(frozen=True, eq=False)
class Workspace:
    """Two sweeps around home. Positions: home moved by (xs[i], ys[j],
    heights[h]) along its own axes, orientation kept, at [h, j, i]. Tilts: home
    turned by roll rolls[i] and pitch pitches[j], position kept, at [j, i].
    inverse_condition is that of the platform Jacobian (0 at a singularity, 1
    at best) and NaN where the pose is out of reach. Metres and radians."""

    heights: Array
    xs: Array
    ys: Array
    reachable: Mask
    inverse_condition: Array
    rolls: Array
    pitches: Array
    tilt_reachable: Mask
    tilt_inverse_condition: Array


def default_heights(torso: Torso) -> Array:
    """Five heights over a quarter of the arm and rod's reach either side of home."""
    return np.linspace(-0.25, 0.25, 5) * (torso.motor_arm_length + torso.rod_length)


def workspace(torso: Torso, *, heights: Sequence[float] | Array | None = None, half_width: float | None = None,
              count: int = 89, max_tilt: float = 60 * DEGREE, tilt_count: int = 89,
              progress: Progress | None = None) -> Workspace:
    """Sweeps the platform over a grid of positions at each of `heights`, and
    over a grid of roll and pitch; the positions span +-half_width (default:
    0.85 of arm plus rod) in x and y, the tilts +-max_tilt, `count` and
    `tilt_count` samples a side. `progress` is called after each grid."""
    model = torso.model()
    home = np.asarray(torso.home, dtype=np.float64)
    levels = np.asarray(default_heights(torso) if heights is None else heights, dtype=np.float64)
    half = 0.85 * (torso.motor_arm_length + torso.rod_length) if half_width is None else half_width
    xs = np.linspace(-half, half, count)
    angles = np.linspace(-max_tilt, max_tilt, tilt_count)
    grids = len(levels) + 1

    def sweep(poses: Array) -> tuple[Mask, Array]:
        targets = home @ poses
        motor_angles = model.inverse_kinematics(targets)
        ok: Mask = np.asarray(~np.isnan(motor_angles).any(axis=-1))
        condition = model.conditioning(targets, motor_angles).inverse_condition
        return ok, np.asarray(np.where(ok, condition, np.nan), dtype=np.float64)

    reach, condition = np.zeros((len(levels), count, count), dtype=bool), np.full((len(levels), count, count), np.nan)
    for h, height in enumerate(levels):
        x, y = np.meshgrid(xs, xs)
        reach[h], condition[h] = sweep(pose(x, y, height))
        if progress is not None:
            progress(h + 1, grids)
    roll, pitch = np.meshgrid(angles, angles)
    tilt_reach, tilt_condition = sweep(pose(0.0, 0.0, 0.0, roll, pitch))
    if progress is not None:
        progress(grids, grids)
    return Workspace(levels, xs, xs.copy(), reach, condition, angles, angles.copy(), tilt_reach, tilt_condition)


def reach_along(is_reachable: Callable[[Array], Mask], poses_at: Callable[[Array], Array], families: int,
                limit: float, step: float, resolution: float) -> Array:
    """For each of `families` families of poses poses_at(s), s >= 0: how far s
    goes before the first pose out of reach, to within `resolution`. Samples
    every `step` up to `limit` (returned when nothing is out of reach), then
    halves the interval that holds the edge; 0 when s = 0 is out of reach.
    poses_at takes s of shape (families, k) and gives poses (families, k, 4, 4)."""
    samples = int(min(math.ceil(limit / step), MOST_SAMPLES)) if step > 0.0 else 1
    s = np.minimum(np.arange(samples + 1) * (limit / samples), limit)
    ok = is_reachable(poses_at(np.broadcast_to(s, (families, len(s)))))
    out = ~ok
    first = np.where(out.any(axis=1), out.argmax(axis=1), len(s))
    edge = (first > 0) & (first < len(s))
    inside = np.where(edge, s[np.clip(first - 1, 0, len(s) - 1)], 0.0)
    outside = np.where(edge, s[np.clip(first, 0, len(s) - 1)], 0.0)
    for _ in range(MOST_HALVINGS):
        if not np.any(outside - inside > resolution):
            break
        middle = 0.5 * (inside + outside)
        ok_middle = is_reachable(poses_at(middle[:, None]))[:, 0]
        inside = np.where(edge & ok_middle, middle, inside)
        outside = np.where(edge & ~ok_middle, middle, outside)
    return np.where(first == len(s), limit, np.where(first == 0, 0.0, inside))


def directions_3d() -> Array:
    """The 26 unit directions to the faces, edges and corners of a cube."""
    steps = np.array([(dx, dy, dz) for dx in (-1, 0, 1) for dy in (-1, 0, 1) for dz in (-1, 0, 1)
                      if (dx, dy, dz) != (0, 0, 0)], dtype=np.float64)
    return np.asarray(steps / np.linalg.norm(steps, axis=1, keepdims=True))


@dataclass(frozen=True)
class Extent:
    """How far the platform can go from home before a branch loses reach."""

    translation_min: float  # in every one of 26 directions, at least this far (metres)
    translation_max: float  # in the best of them
    tilt_min: float  # roll/pitch tilt, in every one of 16 directions (radians)
    tilt_max: float
    yaw_low: float  # the yaw range about home's z axis (radians)
    yaw_high: float


def extent_around_home(torso: Torso, model: Model | None = None) -> Extent:
    """Reach from home along 26 translation directions, 16 tilt directions and
    both senses of yaw. The translation search steps by 2 % of the rod length
    up to 3 rod lengths and resolves a ten-thousandth of it; angles step by 2
    degrees and resolve a hundredth of a degree."""
    model = torso.model() if model is None else model
    home = np.asarray(torso.home, dtype=np.float64)
    scale = torso.rod_length

    def ok(poses: Array) -> Mask:
        return reachable(model, home @ poses)

    d = directions_3d()
    moves = reach_along(ok, lambda s: pose(s * d[:, 0, None], s * d[:, 1, None], s * d[:, 2, None]),
                        len(d), 3.0 * scale, 0.02 * scale, 1e-4 * scale)
    heading = 2.0 * np.pi * np.arange(16) / 16
    tilts = reach_along(ok, lambda s: pose(0.0, 0.0, 0.0, s * np.cos(heading)[:, None], s * np.sin(heading)[:, None]),
                        len(heading), math.pi / 2, 2 * DEGREE, 0.01 * DEGREE)
    sense = np.array([1.0, -1.0])
    yaws = reach_along(ok, lambda s: pose(0.0, 0.0, 0.0, yaw=s * sense[:, None]), 2, math.pi, 2 * DEGREE, 0.01 * DEGREE)
    return Extent(float(moves.min()), float(moves.max()), float(tilts.min()), float(tilts.max()),
                  -float(yaws[1]), float(yaws[0]))
