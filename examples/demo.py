"""Inverse and forward kinematics of the example torso, round trip.

For each pose of a short trajectory, inverse kinematics gives the six motor
angles; forward kinematics then starts again from the home pose and, one step per
call, finds the platform pose back from those angles. The demo prints the angles
and how far the pose found ends from the one asked for, and exits non-zero if any
round trip misses.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from example_torso import (  # noqa: E402
    MOTOR_ARM_LENGTH,
    ROD_LENGTH,
    identity,
    make_example_torso,
    make_pose,
)

DEGREE = math.pi / 180.0
MAX_CALLS = 60
# Forward kinematics stops stepping once the rod length errors are down to 1e-6
# in norm, which leaves the pose some micrometres off; a round trip that ends a
# tenth of a millimetre (or 1e-4 in a rotation element) off has failed.
TOLERANCE = 1e-4

TRAJECTORY = [
    ("home", make_pose()),
    ("up 8 mm", make_pose((0.0, 0.0, 0.008))),
    ("shift x+y", make_pose((0.006, 0.004, 0.002))),
    ("roll 12 deg", make_pose(roll=12 * DEGREE)),
    ("pitch -10 deg", make_pose((0.0, 0.0, -0.004), pitch=-10 * DEGREE)),
    ("yaw 15 deg", make_pose(yaw=15 * DEGREE)),
    ("all at once", make_pose((-0.007, 0.005, 0.006), 8 * DEGREE, -9 * DEGREE, 10 * DEGREE)),
]


def largest_difference(a, b) -> float:
    return max(abs(x - y) for row_a, row_b in zip(a, b) for x, y in zip(row_a, row_b))


def find_pose_back(torso, angles):
    """Iterates forward kinematics from home until the estimate stops moving."""
    torso.reset_forward_kinematics(identity())
    previous = identity()
    for calls in range(1, MAX_CALLS + 1):
        estimate = torso.forward_kinematics(angles)
        if largest_difference(estimate, previous) == 0.0:
            return estimate, calls
        previous = estimate
    return estimate, MAX_CALLS


def main() -> int:
    torso = make_example_torso()
    print(f"example torso: 6 branches, arm {MOTOR_ARM_LENGTH * 1000:g} mm, rod {ROD_LENGTH * 1000:g} mm")
    print(f"{'pose':<15} {'motor angles (deg)':<50} {'FK calls':>8} {'error':>9}")
    failures = 0
    for name, pose in TRAJECTORY:
        angles = torso.inverse_kinematics(pose)
        shown = " ".join(f"{a / DEGREE:+7.2f}" for a in angles)
        if any(math.isnan(a) for a in angles):
            print(f"{name:<15} {shown:<50} unreachable")
            failures += 1
            continue
        found, calls = find_pose_back(torso, angles)
        error = largest_difference(found, pose)
        failed = not error <= TOLERANCE
        failures += failed
        print(f"{name:<15} {shown:<50} {calls:>8} {error:>9.1e}{'  FAILED' if failed else ''}")
    print("round trip:", "all poses found back" if failures == 0 else f"{failures} pose(s) missed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
