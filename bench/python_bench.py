"""Speed of the module against plain numpy, on the example torso, in one process.

Times `inverse_kinematics` (six branches) and one `forward_kinematics` step, and
the same formulas written here with numpy (numpy.linalg.inv for the motor and
estimate inverses, numpy.linalg.pinv for the step). Before timing, both are run on
the same inputs and must agree to 1e-12, so that the comparison is between two
implementations of one computation. Reports microseconds per call and the ratio
numpy/module.

A forward kinematics call only steps when its stored estimate is off, so each
timed step is preceded by `reset_forward_kinematics` to a perturbed pose; the
reset is timed on its own too, and the step is reported with the reset taken out.

On some machines OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE are set, which slows a
current numpy. This script leaves them alone; for a fair numpy baseline, unset
both for this one command:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python bench/python_bench.py
"""

from __future__ import annotations

import math
import os
import sys
import time

import numpy as np

from tavrino_torso import Torso, pose

AGREEMENT = 1e-12
TARGET = pose(0.004, -0.003, 0.002, 0.12, -0.08, 0.1).tolist()
PERTURBED = pose(0.0065, -0.001, -0.001, 0.05, -0.02, 0.15).tolist()

EXAMPLE = Torso.example()
ARM = EXAMPLE.motor_arm_length
ROD = EXAMPLE.rod_length
MOTORS = np.array([b.t_world_motor for b in EXAMPLE.branches])
ANCHORS = np.array([b.anchor for b in EXAMPLE.branches])
ANCHORS_H = np.hstack([ANCHORS, np.ones((6, 1))])
SOLUTIONS = np.array([b.solution for b in EXAMPLE.branches])


def numpy_inverse_kinematics(pose: np.ndarray) -> np.ndarray:
    """Closed-form motor angles: the arm tip at rod length from the anchor."""
    local = np.einsum("bij,bj->bi", np.linalg.inv(MOTORS) @ pose, ANCHORS_H)
    px, py, pz = local[:, 0], local[:, 1], local[:, 2]
    planar = px * px + py * py
    excess = planar + pz * pz + ARM * ARM - ROD * ROD
    discriminant = 4.0 * ARM * ARM * planar - excess * excess
    t = 2.0 * np.arctan2(np.sqrt(discriminant) * SOLUTIONS + 2.0 * ARM * py, 2.0 * ARM * px + excess)
    return t - 2.0 * math.pi * np.floor((t + math.pi) / (2.0 * math.pi))


def arm_tips_in_platform(estimate: np.ndarray, local_tips: np.ndarray) -> np.ndarray:
    return np.einsum("bij,bj->bi", np.linalg.inv(estimate) @ MOTORS, local_tips)[:, :3]


def residuals(tips: np.ndarray) -> np.ndarray:
    return ROD - np.linalg.norm(tips - ANCHORS, axis=1)


def rotation(w: np.ndarray) -> np.ndarray:
    theta = np.linalg.norm(w)
    if not theta > 1e-6:
        return np.eye(3)
    u = w / theta
    u = u / np.linalg.norm(u)
    cross = np.array([[0.0, -u[2], u[1]], [u[2], 0.0, -u[0]], [-u[1], u[0], 0.0]])
    return math.cos(theta) * np.eye(3) + math.sin(theta) * cross + (1.0 - math.cos(theta)) * np.outer(u, u)


def numpy_forward_step(angles: np.ndarray, estimate: np.ndarray) -> np.ndarray:
    """One pseudo-inverse step from the estimate, halved until the rods agree better."""
    local_tips = np.stack([ARM * np.cos(angles), ARM * np.sin(angles), np.zeros(6), np.ones(6)], axis=1)
    tips = arm_tips_in_platform(estimate, local_tips)
    errors = ANCHORS - tips
    jacobian = np.hstack([errors, np.cross(ANCHORS, errors)])
    r = residuals(tips)
    start = np.linalg.norm(r)
    if not start > 1e-6:
        return estimate
    step = np.linalg.pinv(jacobian) @ r
    for _ in range(16):
        increment = np.eye(4)
        increment[:3, :3] = rotation(step[3:])
        increment[:3, 3] = step[:3]
        candidate = estimate @ increment
        if start > np.linalg.norm(residuals(arm_tips_in_platform(candidate, local_tips))):
            return candidate
        step = step * 0.5
    return estimate


def microseconds_per_call(call, calls: int = 20_000, repeats: int = 5) -> float:
    best = math.inf
    for _ in range(repeats):
        begin = time.perf_counter()
        for _ in range(calls):
            call()
        best = min(best, time.perf_counter() - begin)
    return best / calls * 1e6


def check_agreement(torso, angles) -> tuple[float, float]:
    ik_gap = float(np.max(np.abs(numpy_inverse_kinematics(np.array(TARGET)) - np.array(angles))))
    torso.reset_forward_kinematics(PERTURBED)
    module_step = np.array(torso.forward_kinematics(angles))
    numpy_step = numpy_forward_step(np.array(angles), np.array(PERTURBED))
    if np.array_equal(module_step, np.array(PERTURBED)):
        raise SystemExit("forward kinematics took no step from the perturbed pose")
    return ik_gap, float(np.max(np.abs(module_step - numpy_step)))


def report(name: str, module_us: float, numpy_us: float, note: str = "") -> None:
    print(f"{name:<26} module {module_us:8.2f} us/call   numpy {numpy_us:8.2f} us/call   "
          f"numpy/module {numpy_us / module_us:6.1f}x{note}")


def main() -> int:
    torso = EXAMPLE.kinematics()
    angles = torso.inverse_kinematics(TARGET)
    ik_gap, fk_gap = check_agreement(torso, angles)
    print(f"agreement with numpy: inverse kinematics {ik_gap:.1e}, forward step {fk_gap:.1e}")
    if not (ik_gap <= AGREEMENT and fk_gap <= AGREEMENT):
        print(f"numpy and the module disagree by more than {AGREEMENT:g}: timings would compare different work")
        return 1
    for variable in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if variable in os.environ:
            print(f"note: {variable}={os.environ[variable]} is set and may slow numpy")

    target_array, perturbed_array, angles_array = np.array(TARGET), np.array(PERTURBED), np.array(angles)
    report("inverse_kinematics",
           microseconds_per_call(lambda: torso.inverse_kinematics(TARGET)),
           microseconds_per_call(lambda: numpy_inverse_kinematics(target_array)))

    def reset_and_step():
        torso.reset_forward_kinematics(PERTURBED)
        torso.forward_kinematics(angles)

    reset_us = microseconds_per_call(lambda: torso.reset_forward_kinematics(PERTURBED))
    both_us = microseconds_per_call(reset_and_step)
    numpy_us = microseconds_per_call(lambda: numpy_forward_step(angles_array, perturbed_array), calls=2_000)
    report("forward_kinematics step", both_us - reset_us, numpy_us,
           f"   (reset {reset_us:.2f} us, reset + step {both_us:.2f} us)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
