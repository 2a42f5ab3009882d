"""Times tavrino_torso.motion.plan: the example torso through four waypoints at
500 Hz, against toppra alone parameterizing a joint-space spline through the
same waypoints' motor angles under the same speed and acceleration limits, on a
grid of the same size (what planning costs beyond toppra's own work: the pose
path, the checks along it, the torque constraint and the sampled output).

    python bench/motion_bench.py

Needs the motion extra (toppra). Nothing is asserted.
"""

from __future__ import annotations

import statistics
import time

import numpy as np
import toppra
import toppra.algorithm
import toppra.constraint

from tavrino_torso import Torso, pose
from tavrino_torso.motion import GRID_PER_SEGMENT, LEAST_GRID, plan

RUNS = 7
WAYPOINTS = np.stack([pose(0.0, 0.0, 0.0), pose(0.01, 0.0, 0.005, roll=0.1),
                      pose(-0.01, 0.01, 0.0, pitch=-0.1, yaw=0.2), pose(0.0, 0.0, 0.0)])


def toppra_alone(torso: Torso) -> None:
    angles = np.unwrap(torso.model().inverse_kinematics(WAYPOINTS), axis=0)
    path = toppra.SplineInterpolator(np.linspace(0.0, 1.0, len(angles)), angles)
    motors = torso.motors
    assert motors is not None
    constraints = [toppra.constraint.JointVelocityConstraint(np.full(6, motors.speed_limit)),
                   toppra.constraint.JointAccelerationConstraint(np.full(6, motors.acceleration_limit))]
    grid = np.linspace(0.0, 1.0, max(LEAST_GRID, GRID_PER_SEGMENT * (len(angles) - 1)) + 1)
    trajectory = toppra.algorithm.TOPPRA(constraints, path, gridpoints=grid, solver_wrapper="seidel").compute_trajectory()
    trajectory(np.arange(0.0, trajectory.duration, 1.0 / 500.0))


def seconds(call) -> float:  # type: ignore[no-untyped-def]
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main() -> None:
    torso = Torso.example()
    first = seconds(lambda: plan(torso, WAYPOINTS))  # the first call, with scipy's and toppra's imports done
    planned, alone = [], []
    for _ in range(RUNS):  # interleaved
        planned.append(seconds(lambda: plan(torso, WAYPOINTS)))
        alone.append(seconds(lambda: toppra_alone(torso)))
    motion = plan(torso, WAYPOINTS)
    p, a = statistics.median(planned), statistics.median(alone)
    print(f"plan: 4 waypoints, {motion.duration:.3f} s of motion, {len(motion.time)} samples at 500 Hz")
    print(f"  median of {RUNS}: {p * 1e3:.0f} ms ({p / a:.1f}x toppra alone on a joint spline, {a * 1e3:.0f} ms); "
          f"first call {first * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
