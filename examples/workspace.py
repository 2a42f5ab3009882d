"""The reachable workspace of a torso, found with its own inverse kinematics: a
pose is reachable when no motor angle comes back as NaN. Standard library only.

Reachability here is that of each branch's geometry alone (the arm tip can be
at rod length from its anchor); collisions between parts are not modelled."""

from __future__ import annotations

import math
from typing import NamedTuple

from example_torso import Matrix, make_pose
from pose_error import compose

DEGREE = math.pi / 180.0


def is_reachable(torso, pose: Matrix) -> bool:
    return not any(math.isnan(angle) for angle in torso.inverse_kinematics(pose))


def linspace(low: float, high: float, count: int) -> list[float]:
    return [low + (high - low) * i / (count - 1) for i in range(count)]


def xy_reachability(torso, home: Matrix, height: float, xs: list[float], ys: list[float]) -> list[list[bool]]:
    """grid[j][i]: is home moved by (xs[i], ys[j], height) reachable, orientation kept."""
    return [[is_reachable(torso, compose(home, make_pose((x, y, height)))) for x in xs] for y in ys]


def roll_pitch_reachability(torso, home: Matrix, rolls: list[float], pitches: list[float]) -> list[list[bool]]:
    """grid[j][i]: is home tilted by roll rolls[i] and pitch pitches[j] reachable."""
    return [[is_reachable(torso, compose(home, make_pose(roll=r, pitch=p))) for r in rolls] for p in pitches]


def reach_along(torso, pose_at, limit: float, step: float, resolution: float) -> float:
    """How far the family pose_at(s), s >= 0, stays reachable: walks out by `step`
    until the first unreachable pose (or `limit`), then bisects down to `resolution`.
    Returns 0.0 when pose_at(0) itself is out of reach."""
    if not is_reachable(torso, pose_at(0.0)):
        return 0.0
    inside = 0.0
    while inside < limit:
        outside = min(inside + step, limit)
        if not is_reachable(torso, pose_at(outside)):
            break
        inside = outside
    else:
        return limit
    while outside - inside > resolution:
        middle = 0.5 * (inside + outside)
        if is_reachable(torso, pose_at(middle)):
            inside = middle
        else:
            outside = middle
    return inside


def directions_3d() -> list[tuple[float, float, float]]:
    """The 26 unit directions to the faces, edges and corners of a cube."""
    result = []
    for dx in (-1, 0, 1):
        for dy in (-1, 0, 1):
            for dz in (-1, 0, 1):
                norm = math.sqrt(dx * dx + dy * dy + dz * dz)
                if norm:
                    result.append((dx / norm, dy / norm, dz / norm))
    return result


class Extent(NamedTuple):
    """How far the platform can go from home before a branch loses reach."""

    translation_min: float  # in every direction tried, at least this far (length unit)
    translation_max: float  # in the best direction tried
    tilt_min: float  # roll/pitch tilt, every direction tried (radians)
    tilt_max: float
    yaw_low: float  # yaw range about home's z axis (radians)
    yaw_high: float


def extent_around_home(torso, home: Matrix, scale: float) -> Extent:
    """Reach from home along 26 translation directions, 16 tilt directions and both
    yaw senses. `scale` is a typical length of the torso (the rod length will do):
    it sets the search step and limit, so any length unit works."""
    limit, step, resolution = 3.0 * scale, 0.02 * scale, 1e-4 * scale
    reaches = [
        reach_along(torso, lambda s, d=d: compose(home, make_pose((s * d[0], s * d[1], s * d[2]))),
                    limit, step, resolution)
        for d in directions_3d()
    ]
    tilts = []
    for k in range(16):
        heading = 2.0 * math.pi * k / 16
        tilt = lambda s, h=heading: compose(home, make_pose(roll=s * math.cos(h), pitch=s * math.sin(h)))
        tilts.append(reach_along(torso, tilt, math.pi / 2, 2 * DEGREE, 0.01 * DEGREE))
    yaw_high = reach_along(torso, lambda s: compose(home, make_pose(yaw=s)), math.pi, 2 * DEGREE, 0.01 * DEGREE)
    yaw_low = reach_along(torso, lambda s: compose(home, make_pose(yaw=-s)), math.pi, 2 * DEGREE, 0.01 * DEGREE)
    return Extent(min(reaches), max(reaches), min(tilts), max(tilts), -yaw_low, yaw_high)
