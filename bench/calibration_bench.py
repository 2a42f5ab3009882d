"""Speed of calibration: 1000 samples of the perturbed example torso, in one process.

The example torso is perturbed as a build would be (positions by up to 1 mm, axes
and encoder zeros by up to 1 degree, lengths by up to 0.3 mm) and measured at 1000
poses from calibration_poses with tracker and encoder noise (10 um, 0.01 degree).
Times, as the lowest of a few runs each:

- calibration_poses for 1000 and for 10000 poses (the command's largest count, goal
  5 s), and the ratio of the two;
- calibrate from the nominal torso: weighted with noise levels estimated (the
  default), with the levels stated, with loss="soft_l1", and unweighted, with the
  solver's iterations and evaluations; the goal is 5 s for 1000 samples. Beside
  the held-out angle error over the noise's, the commanding error (inverse
  kinematics of the calibrated torso against the true one's at 200 held-out
  poses, RMS) over the unweighted fit's;
- one iteration's worth of calibrate against its floor: one SVD of the Jacobian
  (6000 x 56, numpy, one BLAS thread), the step that the trust-region solver takes
  once per iteration.

Nothing is asserted. Needs the calibrate extra (scipy).

    .venv/bin/python bench/calibration_bench.py
"""

from __future__ import annotations

import math
import os
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from tavrino_torso import Branch, Torso
from tavrino_torso.calibration import Measurements, calibrate, calibration_poses, validate
from tavrino_torso.calibration.design import predicted_angles
from tavrino_torso.calibration.model import Layout, one_blas_thread, residuals_and_jacobian, rotation_exp, samples

DEGREE = math.pi / 180.0
SAMPLES = 1000
RUNS = 5
GOAL_SECONDS = 5.0


def perturbed(torso: Torso, rng: np.random.Generator) -> Torso:
    branches = []
    for b in torso.branches:
        motor = np.array(b.t_world_motor)
        motor[:3, :3] = motor[:3, :3] @ rotation_exp(rng.uniform(-DEGREE, DEGREE, 3))
        motor[:3, 3] += rng.uniform(-1e-3, 1e-3, 3)
        branches.append(Branch(np.array(b.anchor) + rng.uniform(-1e-3, 1e-3, 3), motor, b.solution))
    arm, rod = rng.uniform(-0.3e-3, 0.3e-3, 2)
    return Torso(torso.motor_arm_length + arm, torso.rod_length + rod, tuple(branches))


def measured(truth: Torso, poses: np.ndarray, rng: np.random.Generator) -> Measurements:
    angles = predicted_angles(truth, poses) + rng.normal(0.0, 0.01 * DEGREE, (len(poses), 6))
    noisy = poses.copy()
    noisy[:, :3, 3] += rng.normal(0.0, 10e-6, (len(poses), 3))
    noisy[:, :3, :3] = rotation_exp(rng.normal(0.0, 0.01 * DEGREE, (len(poses), 3))) @ poses[:, :3, :3]
    return Measurements(noisy, angles)


def lowest(runs: int, call: Callable[[], Any]) -> tuple[float, Any]:
    best, result = math.inf, None
    for _ in range(runs):
        started = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - started)
    return best, result


def main() -> int:
    rng = np.random.default_rng(1000)
    nominal = Torso.example()
    truth = perturbed(nominal, rng)
    design_time, poses = lowest(2, lambda: calibration_poses(nominal, SAMPLES))
    most_time, _ = lowest(1, lambda: calibration_poses(nominal, 10 * SAMPLES))
    data = measured(truth, poses, rng)
    test = measured(truth, calibration_poses(nominal, 200, seed=1), rng)
    calibrate(nominal, data)  # imports and first-call costs out of the way

    layout = Layout(nominal, False)
    _, jacobian = residuals_and_jacobian(layout, np.zeros(layout.size), samples(data.poses, data.angles))
    jacobian = jacobian.reshape(-1, layout.size) * layout.tolerances()
    with one_blas_thread():
        svd_time, _ = lowest(20, lambda: np.linalg.svd(jacobian, full_matrices=False))

    load = os.getloadavg()
    print(f"== {os.cpu_count()} cores, load {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
          f"Python {sys.version.split()[0]}, numpy {np.__version__}")
    print(f"calibration_poses, {SAMPLES} poses: {design_time:.2f} s; {10 * SAMPLES} poses: {most_time:.2f} s "
          f"(goal {GOAL_SECONDS:.0f} s), {most_time / design_time:.1f} times as long")
    floor = validate(truth, test).angle_rms
    targets = calibration_poses(nominal, 200, seed=1)
    wanted = predicted_angles(truth, targets)

    def commanding(result: Any) -> float:
        return float(np.sqrt(np.mean((predicted_angles(result.torso, targets) - wanted) ** 2)))

    stated = {"tracker_noise": (10e-6, 0.01 * DEGREE), "encoder_noise": 0.01 * DEGREE}
    fits = {
        "unweighted": {"weighted": False},
        "estimated noise": {},
        "stated noise": stated,
        "stated noise, soft_l1": {**stated, "loss": "soft_l1"},
    }
    print(f"{'calibrate, ' + str(SAMPLES) + ' samples':33}{'time (s)':>10}{'goal':>7}{'iterations':>12}"
          f"{'evaluations':>13}{'per iteration / SVD':>21}{'held-out / noise':>18}{'commanding / unweighted':>25}")
    plain = math.nan
    for name, kwargs in fits.items():
        seconds, result = lowest(RUNS, lambda: calibrate(nominal, data, **kwargs))
        per_iteration = seconds / max(result.iterations, 1) / svd_time
        ratio = validate(result, test).angle_rms / floor
        plain = commanding(result) if name == "unweighted" else plain
        print(f"{name:33}{seconds:10.3f}{GOAL_SECONDS:7.1f}{result.iterations:12d}"
              f"{result.evaluations:13d}{per_iteration:21.1f}{ratio:18.3f}{commanding(result) / plain:25.3f}")
    print(f"one SVD of the {jacobian.shape[0]} x {jacobian.shape[1]} Jacobian: {svd_time * 1e3:.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
