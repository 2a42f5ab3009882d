"""How far one pose is from another, in the units a robot programmer reads:
the distance between the two origins and the angle of the rotation that takes
one orientation to the other. Standard library only."""

from __future__ import annotations

import math

Matrix = list[list[float]]


def position_error(a: Matrix, b: Matrix) -> float:
    """Distance between the origins of the two poses, in their length unit."""
    return math.sqrt(sum((a[i][3] - b[i][3]) ** 2 for i in range(3)))


def rotation_error(a: Matrix, b: Matrix) -> float:
    """Angle in radians of the rotation between the two orientations.

    Taken with atan2 of the sine and cosine parts of a^T b rather than with the
    arc cosine of the trace, which loses half the digits near zero: the demo
    reports millidegrees."""
    r = [[sum(a[k][i] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    cosine = (r[0][0] + r[1][1] + r[2][2] - 1.0) / 2.0
    sine = math.hypot(r[2][1] - r[1][2], r[0][2] - r[2][0], r[1][0] - r[0][1]) / 2.0
    return math.atan2(sine, cosine)


def roll_pitch_yaw(pose: Matrix) -> tuple[float, float, float]:
    """The angles of pose = Rz(yaw) Ry(pitch) Rx(roll), in radians."""
    pitch = math.asin(max(-1.0, min(1.0, -pose[2][0])))
    roll = math.atan2(pose[2][1], pose[2][2])
    yaw = math.atan2(pose[1][0], pose[0][0])
    return roll, pitch, yaw


def compose(a: Matrix, b: Matrix) -> Matrix:
    """The 4x4 product a b."""
    return [[sum(a[i][k] * b[k][j] for k in range(4)) for j in range(4)] for i in range(4)]
