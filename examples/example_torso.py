"""The built-in example torso, in metres, for demos, tests and benchmarks.

Six motors in three pairs on a circle of radius 5 cm, 4 cm arms, 9 cm rods,
anchors 8.5 cm up on a circle of radius 4 cm. Each motor axis points radially
outwards so that its arm swings tangentially; the two motors of a pair take
opposite assembly modes. The identity is the home pose, and every pose within
1 cm and 15 degrees of home is reachable.

The numbers and the order of operations are those of the C++ example torso, so
both describe bit for bit the same mechanism; so does the package's
tavrino_torso.Torso.example(), which programs should use. This module uses
the standard library only, so that the module's own tests and benchmarks need
nothing but the module.
"""

from __future__ import annotations

import math
from typing import NamedTuple

from tavrino_torso_kinematics import TavrinoTorsoKinematics

MOTOR_ARM_LENGTH = 0.04
ROD_LENGTH = 0.09
MOTOR_RADIUS = 0.05
ANCHOR_RADIUS = 0.04
ANCHOR_HEIGHT = 0.085
MOTOR_SPREAD_DEGREES = 20.0  # each motor's offset from its pair's centre
ANCHOR_SPREAD_DEGREES = 10.0  # the same for the anchors
BRANCH_COUNT = 6

Matrix = list[list[float]]


class Branch(NamedTuple):
    anchor: tuple[float, float, float]
    motor_pose: Matrix
    solution: float


def branch_angle(branch: int, spread_degrees: float) -> float:
    """Branches 2k and 2k + 1 sit at 120k degrees minus and plus the spread."""
    degree = 3.141592653589793 / 180.0
    centre = 120.0 * (branch // 2)
    side = -1.0 if branch % 2 == 0 else 1.0
    return (centre + side * spread_degrees) * degree


def motor_pose(branch: int) -> Matrix:
    """Motor frame: x along the tangent, y up, z (the motor axis) outwards."""
    angle = branch_angle(branch, MOTOR_SPREAD_DEGREES)
    c, s = math.cos(angle), math.sin(angle)
    return [
        [-s, 0.0, c, MOTOR_RADIUS * c],
        [c, 0.0, s, MOTOR_RADIUS * s],
        [0.0, 1.0, 0.0, 0.0],
        [0.0, 0.0, 0.0, 1.0],
    ]


def anchor(branch: int) -> tuple[float, float, float]:
    angle = branch_angle(branch, ANCHOR_SPREAD_DEGREES)
    return (ANCHOR_RADIUS * math.cos(angle), ANCHOR_RADIUS * math.sin(angle), ANCHOR_HEIGHT)


def solution(branch: int) -> float:
    return 1.0 if branch % 2 == 0 else -1.0


def branches() -> list[Branch]:
    return [Branch(anchor(i), motor_pose(i), solution(i)) for i in range(BRANCH_COUNT)]


def make_example_torso() -> TavrinoTorsoKinematics:
    torso = TavrinoTorsoKinematics(MOTOR_ARM_LENGTH, ROD_LENGTH)
    for branch in branches():
        torso.add_branch(branch.anchor, branch.motor_pose, branch.solution)
    return torso


def identity() -> Matrix:
    return [[1.0 if r == c else 0.0 for c in range(4)] for r in range(4)]


def make_pose(
    translation: tuple[float, float, float] = (0.0, 0.0, 0.0),
    roll: float = 0.0,
    pitch: float = 0.0,
    yaw: float = 0.0,
) -> Matrix:
    """The pose with rotation Rz(yaw) Ry(pitch) Rx(roll) and the given translation."""
    cr, sr = math.cos(roll), math.sin(roll)
    cp, sp = math.cos(pitch), math.sin(pitch)
    cy, sy = math.cos(yaw), math.sin(yaw)
    x, y, z = translation
    return [
        [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr, x],
        [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr, y],
        [-sp, cp * sr, cp * cr, z],
        [0.0, 0.0, 0.0, 1.0],
    ]
