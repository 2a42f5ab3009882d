"""What a call through Python costs beside the core call it wraps, in one process.

Times, interleaved in short batches, the module's methods on the example torso
against three references measured in the same run:

- a trivial C method call, operator.truth, the least any call from Python costs;
- inverse kinematics on a model without branches, which is the entry alone:
  binding, converting the 4x4 pose, the lock, and an empty result list;
- the core calls themselves (inverse kinematics into a caller buffer; reset plus
  one forward step), from a small library of the same build loaded with ctypes.

The pose is passed as a list of lists of floats and as a numpy float64 array,
both read directly by the argument conversion (the array through the buffer
protocol); the goal is a numpy call at most 1.15 times the list call. Without
branches the entry's own work is all there is to compare, so that ratio shows
the conversion of the array alone. Reports nanoseconds per call (low decile and
median of the batches) and ratios.

    python bench/python_entry_bench.py BUILD_DIR

BUILD_DIR is a CMake build tree of this project (nox -s bench uses build/release, in
Release): the module is imported from BUILD_DIR/src/python (and the example
torso from the toolkit package in BUILD_DIR/src/toolkit/package), and the core
calls are loaded from BUILD_DIR/bench.
"""

from __future__ import annotations

import ctypes
import itertools
import operator
import statistics
import sys
import time
from pathlib import Path

ROUNDS = 300
BATCH_SECONDS = 100e-6


def load(build: Path):
    sys.path[:0] = [str(build / "src" / "toolkit" / "package"), str(build / "src" / "python")]
    import tavrino_torso  # noqa: PLC0415
    import tavrino_torso_kinematics  # noqa: PLC0415

    library = ctypes.CDLL(str(build / "bench" / "libttk_core_calls.so"))
    doubles = ctypes.POINTER(ctypes.c_double)
    library.ttk_core_inverse_kinematics_ns.argtypes = [doubles, ctypes.c_long]
    library.ttk_core_inverse_kinematics_ns.restype = ctypes.c_double
    library.ttk_core_forward_step_ns.argtypes = [doubles, doubles, ctypes.c_long]
    library.ttk_core_forward_step_ns.restype = ctypes.c_double
    return tavrino_torso, tavrino_torso_kinematics, library


def c_doubles(values) -> ctypes.Array:
    flat = [float(v) for row in values for v in (row if isinstance(row, list) else [row])]
    return (ctypes.c_double * len(flat))(*flat)


class Workload:
    """A call repeated in batches; `run(n)` returns nanoseconds per call."""

    def __init__(self, name: str, run) -> None:
        self.name = name
        self.run = run
        self.samples: list[float] = []
        self.calls = 1

    def calibrate(self) -> None:
        while True:
            begin = time.perf_counter()
            self.run(self.calls)
            if time.perf_counter() - begin >= BATCH_SECONDS:
                return
            self.calls *= 2

    def low_decile(self) -> float:
        return sorted(self.samples)[len(self.samples) // 10]

    def median(self) -> float:
        return statistics.median(self.samples)


def python_loop(call, argument) -> callable:
    def run(n: int) -> float:
        begin = time.perf_counter_ns()
        for _ in itertools.repeat(None, n):
            call(argument)
        return (time.perf_counter_ns() - begin) / n

    return run


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    toolkit, module, core = load(Path(sys.argv[1]).resolve())
    import numpy as np  # noqa: PLC0415

    example = toolkit.Torso.example()
    torso = example.kinematics()
    empty = module.TavrinoTorsoKinematics(example.motor_arm_length, example.rod_length)
    target = toolkit.pose(0.004, -0.003, 0.002, 0.12, -0.08, 0.1).tolist()
    start = toolkit.pose(0.0065, -0.001, -0.001, 0.05, -0.02, 0.15).tolist()
    angles = torso.inverse_kinematics(target)
    target_array = np.array(target)
    c_target, c_start, c_angles = c_doubles(target), c_doubles(start), c_doubles(angles)

    def forward_step(n: int) -> float:
        reset, step = torso.reset_forward_kinematics, torso.forward_kinematics
        begin = time.perf_counter_ns()
        for _ in itertools.repeat(None, n):
            reset(start)
            step(angles)
        return (time.perf_counter_ns() - begin) / n

    workloads = [
        Workload("operator.truth (trivial C call)", python_loop(operator.truth, target)),
        Workload("inverse_kinematics, no branches", python_loop(empty.inverse_kinematics, target)),
        Workload("inverse_kinematics, 6 branches", python_loop(torso.inverse_kinematics, target)),
        Workload("inverse_kinematics, numpy pose", python_loop(torso.inverse_kinematics, target_array)),
        Workload("no branches, numpy pose", python_loop(empty.inverse_kinematics, target_array)),
        Workload("core inverse kinematics", lambda n: core.ttk_core_inverse_kinematics_ns(c_target, n)),
        Workload("reset + forward_kinematics", forward_step),
        Workload("core reset + forward step", lambda n: core.ttk_core_forward_step_ns(c_start, c_angles, n)),
    ]
    for w in workloads:
        w.calibrate()
    for _ in range(ROUNDS):  # interleaved: every workload sees the same noise
        for w in workloads:
            w.samples.append(w.run(w.calls))

    print(f"{'call (ns per call)':<36} {'low decile':>10} {'median':>10}")
    for w in workloads:
        print(f"{w.name:<36} {w.low_decile():10.1f} {w.median():10.1f}")
    by_name = {w.name: w.low_decile() for w in workloads}

    def ratio(a: str, b: str, goal: str = "") -> None:
        print(f"{a:<36} / {b:<32} {by_name[a] / by_name[b]:6.2f}{goal}")

    print("\nratios of the low deciles")
    ratio("inverse_kinematics, no branches", "operator.truth (trivial C call)")
    ratio("inverse_kinematics, 6 branches", "operator.truth (trivial C call)")
    ratio("inverse_kinematics, 6 branches", "core inverse kinematics")
    ratio("inverse_kinematics, numpy pose", "inverse_kinematics, 6 branches", "  (goal <= 1.15)")
    ratio("no branches, numpy pose", "inverse_kinematics, no branches")
    ratio("reset + forward_kinematics", "core reset + forward step")
    over_ik = by_name["inverse_kinematics, 6 branches"] - by_name["core inverse kinematics"]
    over_fk = by_name["reset + forward_kinematics"] - by_name["core reset + forward step"]
    print(f"\nPython on top of the core: inverse kinematics {over_ik:.0f} ns, reset + step {over_fk:.0f} ns")
    return 0


if __name__ == "__main__":
    sys.exit(main())
