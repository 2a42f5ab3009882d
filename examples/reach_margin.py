"""How close a branch is to the limit of its reach, as a distance.

The arm tip runs on a circle of radius a (the arm length) about the motor axis.
Seen from the rod's anchor, the nearest point of that circle is d_min away and
the farthest d_max; the rod of length r fits exactly when d_min <= r <= d_max.
The margin min(r - d_min, d_max - r) is how much the rod could shrink or grow
before the branch loses reach, and also a distance the anchor can move in any
direction without losing it (both distances change at most as fast as the anchor
moves). It is negative for an anchor out of reach, and zero where the two
assembly modes meet, where inverse kinematics' discriminant D is zero: indeed
D = (d_max^2 - r^2) (r^2 - d_min^2)."""

from __future__ import annotations

import math

from example_torso import Branch, Matrix


def anchor_in_motor_frame(branch: Branch, pose: Matrix) -> list[float]:
    """For a rigid motor pose: its transpose-inverse applied to the anchor in the world."""
    b, m = branch.anchor, branch.motor_pose
    world = [pose[r][0] * b[0] + pose[r][1] * b[1] + pose[r][2] * b[2] + pose[r][3] for r in range(3)]
    offset = [world[r] - m[r][3] for r in range(3)]
    return [sum(m[r][c] * offset[r] for r in range(3)) for c in range(3)]


def reach_margin(arm: float, rod: float, branch: Branch, pose: Matrix) -> float:
    px, py, pz = anchor_in_motor_frame(branch, pose)
    planar = math.hypot(px, py)
    nearest = math.hypot(planar - arm, pz)
    farthest = math.hypot(planar + arm, pz)
    return min(rod - nearest, farthest - rod)


def anchor_direction(branch: Branch, pose: Matrix) -> float:
    """The angle, in the motor frame, of the anchor seen along the motor axis."""
    px, py, _ = anchor_in_motor_frame(branch, pose)
    return math.atan2(py, px)
