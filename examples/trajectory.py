"""A short, smooth platform trajectory for the example torso, sampled like a
control loop: three seconds at 200 Hz, starting and ending at home.

Every coordinate follows a raised cosine or a full sine period, so the motion
starts and stops at home and has no jumps in position; the amplitudes stay
well inside the reachable workspace (a centimetre, ten degrees)."""

from __future__ import annotations

import math

from pose_error import Matrix

from tavrino_torso import pose

RATE_HZ = 200
DURATION_S = 3.0
DEGREE = math.pi / 180.0


def pose_at(time_s: float) -> Matrix:
    phase = 2.0 * math.pi * time_s / DURATION_S
    rise = 0.5 * (1.0 - math.cos(phase))  # 0 -> 1 -> 0
    target: Matrix = pose(
        0.010 * math.sin(phase), 0.006 * math.sin(2.0 * phase), 0.008 * rise,
        roll=8.0 * DEGREE * math.sin(2.0 * phase),
        pitch=-10.0 * DEGREE * rise,
        yaw=12.0 * DEGREE * math.sin(phase),
    ).tolist()
    return target


def ticks() -> list[tuple[float, Matrix]]:
    """(time in seconds, target pose) for every control tick, both ends included."""
    count = round(DURATION_S * RATE_HZ)
    return [(i / RATE_HZ, pose_at(i / RATE_HZ)) for i in range(count + 1)]
