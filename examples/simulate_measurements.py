"""Simulated calibration measurements of the example torso as it might be built.

The example torso's parts are moved as a build would move them (positions by up
to 1 mm, motor axes and encoder zeros by up to 1 degree, arm and rod length by
up to 0.3 mm); the result is measured at the poses that calibration_poses chooses,
with tracker noise (10 um, 0.01 degree) and encoder noise (0.01 degree), and
written as a measurements CSV. examples/example_measurements.csv was made by

    python examples/simulate_measurements.py examples/example_measurements.csv

and is what the README's calibration commands run on.
"""

from __future__ import annotations

import math
import sys

import numpy as np

from tavrino_torso import Branch, Torso, pose
from tavrino_torso.calibration import Measurements, calibration_poses, write_measurements

DEGREE = math.pi / 180.0


def as_built(drawing: Torso, rng: np.random.Generator) -> Torso:
    branches = []
    for b in drawing.branches:
        roll, pitch, yaw = rng.uniform(-DEGREE, DEGREE, 3)
        motor = np.array(b.t_world_motor) @ pose(0.0, 0.0, 0.0, roll, pitch, yaw)  # tilts and encoder zero
        motor[:3, 3] += rng.uniform(-1e-3, 1e-3, 3)
        branches.append(Branch(np.array(b.anchor) + rng.uniform(-1e-3, 1e-3, 3), motor, b.solution))
    arm, rod = rng.uniform(-0.3e-3, 0.3e-3, 2)
    return Torso(drawing.motor_arm_length + arm, drawing.rod_length + rod, tuple(branches))


def measure(built: Torso, poses: np.ndarray, rng: np.random.Generator) -> Measurements:
    angles = built.model().inverse_kinematics(poses)
    measured = poses.copy()
    for sample in measured:
        sample[:] = sample @ pose(*rng.normal(0.0, 10e-6, 3), *rng.normal(0.0, 0.01 * DEGREE, 3))
    return Measurements(measured, angles + rng.normal(0.0, 0.01 * DEGREE, angles.shape))


def main(path: str) -> None:
    rng = np.random.default_rng(16)
    drawing = Torso.example()
    write_measurements(path, measure(as_built(drawing, rng), calibration_poses(drawing, 80), rng))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "example_measurements.csv")
