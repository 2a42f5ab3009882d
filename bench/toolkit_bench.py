"""tavrino_torso.Model's batch calls against the core calls they wrap, per sample,
in one process.

- Model.inverse_kinematics over 100 000 poses within 1 cm and 15 degrees of
  home, against inverse_kinematics_into called by a C++ loop over the same
  poses (goal: at most 1.2 times).
- Model.solve_forward_kinematics over a 100 000-sample trajectory (1 kHz,
  within 1 cm and 15 degrees of home), each sample starting from the previous
  pose as a tracking loop would, against solve_forward_kinematics called by a
  C++ loop over the same samples (goal: at most 1.3 times).

The C++ loops come from a small library of the same build loaded with ctypes;
their inputs are converted before their clock starts. Both sides first run on
the same inputs and must agree bit for bit. The rounds are interleaved, and
the ratios compare the low deciles of the rounds (a round preempted on a
shared machine is an outlier to drop, not a figure to average).

    python bench/toolkit_bench.py BUILD_DIR

BUILD_DIR is a CMake build tree of this project in Release (nox -s bench uses build/release).
"""

from __future__ import annotations

import ctypes
import statistics
import sys
import time
from collections import Counter
from pathlib import Path

import numpy as np

SAMPLES = 100_000
IK_ROUNDS = 25
FK_ROUNDS = 25


def load(build: Path):
    sys.path[:0] = [str(build / "src" / "toolkit" / "package"), str(build / "src" / "python")]
    import tavrino_torso  # noqa: PLC0415

    library = ctypes.CDLL(str(build / "bench" / "libttk_core_calls.so"))
    doubles, ints = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int)
    library.ttk_core_inverse_kinematics_batch_ns.argtypes = [doubles, ctypes.c_long, doubles]
    library.ttk_core_inverse_kinematics_batch_ns.restype = ctypes.c_double
    library.ttk_core_solve_forward_kinematics_batch_ns.argtypes = [doubles, doubles, ctypes.c_long, doubles, ints]
    library.ttk_core_solve_forward_kinematics_batch_ns.restype = ctypes.c_double
    return tavrino_torso, library


def pointer(array: np.ndarray, kind=ctypes.c_double):
    return array.ctypes.data_as(ctypes.POINTER(kind))


def rz_ry_rx(roll: np.ndarray, pitch: np.ndarray, yaw: np.ndarray) -> np.ndarray:
    cr, sr, cp, sp, cy, sy = np.cos(roll), np.sin(roll), np.cos(pitch), np.sin(pitch), np.cos(yaw), np.sin(yaw)
    return np.stack([
        np.stack([cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr], -1),
        np.stack([sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr], -1),
        np.stack([-sp, cp * sr, cp * cr], -1),
    ], -2)


def poses_from(translation: np.ndarray, roll: np.ndarray, pitch: np.ndarray, yaw: np.ndarray) -> np.ndarray:
    poses = np.zeros(translation.shape[:-1] + (4, 4))
    poses[..., :3, :3] = rz_ry_rx(roll, pitch, yaw)
    poses[..., :3, 3] = translation
    poses[..., 3, 3] = 1.0
    return poses


def random_poses(rng: np.random.Generator) -> np.ndarray:
    angle = np.radians(15.0)
    return poses_from(rng.uniform(-0.01, 0.01, (SAMPLES, 3)), *rng.uniform(-angle, angle, (3, SAMPLES)))


def trajectory() -> np.ndarray:
    """Smooth motion sampled at 1 kHz: every axis a sine of its own frequency."""
    t = np.arange(SAMPLES) * 1e-3
    wave = lambda amplitude, hertz, phase: amplitude * np.sin(2 * np.pi * hertz * t + phase)  # noqa: E731
    translation = np.stack([wave(0.008, 0.13, 0.0), wave(0.006, 0.21, 1.0), wave(0.005, 0.17, 2.0)], -1)
    angle = np.radians(12.0)
    return poses_from(translation, wave(angle, 0.11, 0.5), wave(angle, 0.19, 1.5), wave(angle, 0.07, 2.5))


def timed(call) -> float:
    begin = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - begin) / SAMPLES


def low_decile(values: list[float]) -> float:
    return sorted(values)[len(values) // 10]


def report(title: str, python: list[float], core: list[float], goal: float) -> None:
    ratio = low_decile(python) / low_decile(core)
    print(f"{title}")
    print(f"  {'ns per sample':<28} {'low decile':>10} {'median':>10}")
    print(f"  {'Model (Python, batch)':<28} {low_decile(python):10.1f} {statistics.median(python):10.1f}")
    print(f"  {'core call (C++ loop)':<28} {low_decile(core):10.1f} {statistics.median(core):10.1f}")
    print(f"  ratio {ratio:.3f} (goal <= {goal}): {'met' if ratio <= goal else 'NOT met'}\n")


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    toolkit, core = load(Path(sys.argv[1]).resolve())
    model = toolkit.Torso.example().model()

    # Inverse kinematics over random poses near home.
    poses = random_poses(np.random.default_rng(15))
    core_angles = np.empty((SAMPLES, 6))
    core.ttk_core_inverse_kinematics_batch_ns(pointer(poses), SAMPLES, pointer(core_angles))
    if not np.array_equal(model.inverse_kinematics(poses).view(np.uint64), core_angles.view(np.uint64)):
        print("error: Model.inverse_kinematics and the core call disagree")
        return 1
    ik_python, ik_core = [], []
    for _ in range(IK_ROUNDS):
        ik_core.append(core.ttk_core_inverse_kinematics_batch_ns(pointer(poses), SAMPLES, pointer(core_angles)))
        ik_python.append(timed(lambda: model.inverse_kinematics(poses)))

    # Forward kinematics along a trajectory, each sample from the previous pose.
    path = trajectory()
    angles = model.inverse_kinematics(path)
    starts = np.concatenate([np.eye(4)[None], path[:-1]])
    core_poses, core_status = np.empty((SAMPLES, 4, 4)), np.empty(SAMPLES, dtype=np.intc)
    args = (pointer(angles), pointer(starts), SAMPLES, pointer(core_poses), pointer(core_status, ctypes.c_int))
    core.ttk_core_solve_forward_kinematics_batch_ns(*args)
    result = model.solve_forward_kinematics(angles, starts)
    if not np.array_equal(result.poses.view(np.uint64), core_poses.view(np.uint64)):
        print("error: Model.solve_forward_kinematics and the core call disagree")
        return 1
    fk_python, fk_core = [], []
    for _ in range(FK_ROUNDS):
        fk_core.append(core.ttk_core_solve_forward_kinematics_batch_ns(*args))
        fk_python.append(timed(lambda: model.solve_forward_kinematics(angles, starts)))

    print(f"{SAMPLES} samples per call; {IK_ROUNDS} and {FK_ROUNDS} interleaved rounds\n")
    report("inverse kinematics, poses within 1 cm and 15 degrees of home", ik_python, ik_core, 1.2)
    report("converging forward kinematics along a 1 kHz trajectory, from the previous pose", fk_python, fk_core, 1.3)
    counts = Counter(result.status.tolist())
    print("  statuses: " + ", ".join(f"{name} {count}" for name, count in counts.most_common()))
    print(f"  iterations per sample: mean {result.iterations.mean():.2f}, max {result.iterations.max()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
