"""The built-in example torso.

Six motors in three pairs on a circle of radius 5 cm, 4 cm arms, 9 cm rods,
anchors 8.5 cm up on a circle of radius 4 cm. Each motor axis points radially
outwards so that its arm swings tangentially; the two motors of a pair take
opposite assembly modes. The identity is the home pose, and every pose within
1 cm and 15 degrees of home is reachable.

The numbers and the order of operations are those of the C++ ExampleTorso, so
both describe bit for bit the same mechanism: the sines and cosines are the C
library's, one angle at a time, never numpy's vectorised ones.
"""

from __future__ import annotations

import math

from .torso import BRANCH_COUNT, Branch, Torso

MOTOR_ARM_LENGTH = 0.04
ROD_LENGTH = 0.09
MOTOR_RADIUS = 0.05
ANCHOR_RADIUS = 0.04
ANCHOR_HEIGHT = 0.085
MOTOR_SPREAD_DEGREES = 20.0  # each motor's offset from its pair's centre
ANCHOR_SPREAD_DEGREES = 10.0  # the same for the anchors


def branch_angle(branch: int, spread_degrees: float) -> float:
    """Branches 2k and 2k + 1 sit at 120k degrees minus and plus the spread."""
    degree = 3.141592653589793 / 180.0
    centre = 120.0 * (branch // 2)
    side = -1.0 if branch % 2 == 0 else 1.0
    return (centre + side * spread_degrees) * degree


def motor_pose(branch: int) -> tuple[tuple[float, float, float, float], ...]:
    """Motor frame: x along the tangent, y up, z (the motor axis) outwards."""
    angle = branch_angle(branch, MOTOR_SPREAD_DEGREES)
    c, s = math.cos(angle), math.sin(angle)
    return (
        (-s, 0.0, c, MOTOR_RADIUS * c),
        (c, 0.0, s, MOTOR_RADIUS * s),
        (0.0, 1.0, 0.0, 0.0),
        (0.0, 0.0, 0.0, 1.0),
    )


def anchor(branch: int) -> tuple[float, float, float]:
    angle = branch_angle(branch, ANCHOR_SPREAD_DEGREES)
    return (ANCHOR_RADIUS * math.cos(angle), ANCHOR_RADIUS * math.sin(angle), ANCHOR_HEIGHT)


def example_torso() -> Torso:
    branches = tuple(Branch(anchor(i), motor_pose(i), 1.0 if i % 2 == 0 else -1.0) for i in range(BRANCH_COUNT))
    return Torso(MOTOR_ARM_LENGTH, ROD_LENGTH, branches)
