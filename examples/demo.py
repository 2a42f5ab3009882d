"""What the library does for a robot programmer, on the built-in example torso:

1. inverse kinematics along a smooth 3 s trajectory at 200 Hz, as one batch,
   and the angles unwrapped for a position controller;
2. forward kinematics as a state estimator, one call per control tick;
3. forward kinematics converging from home onto a far pose;
4. the body yaw and the two yaw limits of the safe inverse kinematics;
5. the time of one call of each method, measured in this run;
6. pictures of the torso, its workspace and the solver (with matplotlib).

The class TavrinoTorsoKinematics takes one pose per call; the package
tavrino_torso gives the torso (Torso.example()), poses as arrays, and Model,
which takes whole batches. Exits non-zero if the trajectory leaves the
workspace or a pose is not found back.
"""

from __future__ import annotations

import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402
from pose_error import position_error, rotation_error  # noqa: E402
from tracking import converge, track  # noqa: E402
from trajectory import DURATION_S, RATE_HZ, ticks  # noqa: E402

import tavrino_torso as tt  # noqa: E402
from tavrino_torso.plot import MissingMatplotlib  # noqa: E402

DEGREE = math.pi / 180.0
PICTURES_OUT = Path(__file__).resolve().parents[1] / "build" / "demo"
TORSO = tt.Torso.example()
HOME = np.eye(4)
FAR_POSE = tt.pose(0.015, -0.010, 0.008, roll=15 * DEGREE, pitch=-12 * DEGREE, yaw=20 * DEGREE)
# The solver stops stepping once the rod errors are within 1e-6 m in norm, which
# leaves the pose some micrometres off: a pose found back further than a tenth of
# a millimetre or a tenth of a degree away has been missed.
FOUND_POSITION = 1e-4
FOUND_ROTATION = 0.1 * DEGREE


def heading(number: int, text: str) -> None:
    print(f"\n{number}. {text}")


def degrees(angles) -> str:
    return " ".join(f"{a / DEGREE:+8.2f}" for a in angles)


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def unwrapped(angles: np.ndarray) -> np.ndarray:
    """Each sample's angles unwrapped against the sample before, already unwrapped:
    the continuous angles a position controller must be sent."""
    result = angles.copy()
    for i in range(1, len(result)):
        result[i] = tt.unwrap(angles[i], result[i - 1])
    return result


def show_trajectory(model: tt.Model) -> bool:
    heading(1, f"Inverse kinematics along a trajectory: {DURATION_S:g} s at {RATE_HZ} Hz, starting at home")
    steps = ticks()
    poses = np.array([pose for _, pose in steps])
    angles = model.inverse_kinematics(poses)  # all 601 ticks in one call: (601, 4, 4) in, (601, 6) out
    continuous = unwrapped(angles)
    print("   Model.inverse_kinematics takes the whole trajectory at once; the angles come wrapped into")
    print("   [-180, 180) and are unwrapped for the motors' position controllers")
    print(f"   {'t (s)':>5} {'x':>6} {'y':>6} {'z (mm)':>7} {'roll':>6} {'pitch':>6} {'yaw (deg)':>9}"
          f"   motor angles 0..5, unwrapped (deg)")
    for (t, pose), rpy, q in zip(steps, tt.rpy(poses), continuous):
        if round(t * RATE_HZ) % (RATE_HZ // 2) == 0:
            roll, pitch, yaw = (round(v / DEGREE, 1) + 0.0 for v in rpy)
            x, y, z = (round(pose[i][3] * 1000, 1) + 0.0 for i in range(3))
            print(f"   {t:5.2f} {x:+6.1f} {y:+6.1f} {z:+7.1f} {roll:+6.1f} {pitch:+6.1f} {yaw:+9.1f}  {degrees(q)}")
    reachable = int((~np.isnan(angles).any(axis=1)).sum())
    jumps = np.abs(np.diff(angles, axis=0))
    seam = np.argwhere(jumps > math.pi)
    for tick, motor in seam[:1]:
        print(f"   motor {motor} crosses the seam at t = {(tick + 1) / RATE_HZ:.3f} s: wrapped"
              f" {angles[tick, motor] / DEGREE:+.2f} then {angles[tick + 1, motor] / DEGREE:+.2f} deg,"
              f" unwrapped {continuous[tick + 1, motor] / DEGREE:+.2f} deg")
    speeds = np.abs(np.diff(continuous, axis=0)).max(axis=0) * RATE_HZ / DEGREE
    fastest = int(np.argmax(speeds))
    print(f"   reachable at {reachable} of {len(steps)} ticks (an unreachable pose gives NaN angles);"
          f" fastest motor: {fastest}, {speeds[fastest]:.0f} deg/s")
    return reachable == len(steps)


def converging_tracker(model: tt.Model, angles: np.ndarray) -> tt.ForwardKinematicsResult:
    """Model.solve_forward_kinematics once per tick, each started from the pose
    found at the tick before (home at first)."""
    results = []
    start = HOME
    for q in angles:
        result = model.solve_forward_kinematics(q, start=start)
        results.append(result)
        start = result.poses if result.status == "converged" else start
    return tt.ForwardKinematicsResult(*(np.array(field) for field in zip(*results)))


def show_tracking(torso, model: tt.Model) -> None:
    heading(2, "Forward kinematics as a state estimator: one call per tick, from the motor angles")
    print("   (here: those of step 1), against the true pose. The class's forward_kinematics takes one")
    print("   step per call from the estimate it keeps; Model.solve_forward_kinematics iterates to")
    print("   convergence from a start given (the pose of the tick before) and says how it went")
    steps = track(torso, ticks(), HOME.tolist())
    solved = converging_tracker(model, np.array([s.angles for s in steps]))
    truth = [pose for _, pose in ticks()]
    errors = {
        "forward_kinematics": ([s.position_error for s in steps], [s.rotation_error for s in steps]),
        "solve_forward_kinematics": ([position_error(p, t) for p, t in zip(solved.poses, truth)],
                                     [rotation_error(p, t) for p, t in zip(solved.poses, truth)]),
    }
    print(f"   {'':26} {'':22} {'mean':>9} {'95 %':>9} {'max':>9}   {'at t (s)':>8}")
    for method, (position, rotation) in errors.items():
        for name, values in (("position error (µm)", [e * 1e6 for e in position]),
                             ("rotation error (mdeg)", [e / DEGREE * 1e3 for e in rotation])):
            worst = max(range(len(values)), key=lambda i: values[i])
            print(f"   {method:26} {name:22} {sum(values) / len(values):9.3g} {percentile(values, 0.95):9.3g}"
                  f" {values[worst]:9.3g}   {steps[worst].time_s:8.3f}")
            method = ""
    statuses = dict(zip(*np.unique(solved.status, return_counts=True)))
    print(f"   solve_forward_kinematics: {', '.join(f'{n} {s}' for s, n in statuses.items())};"
          f" at most {solved.iterations.max()} iterations per tick; largest rod error {solved.rod_error.max():.1e} m")


def show_round_trip(torso, model: tt.Model) -> bool:
    heading(3, "Round trip: the estimate reset at home, the motors at a far pose")
    print("   (x 15 mm, y -10 mm, z 8 mm, roll 15, pitch -12, yaw 20 deg); one forward call after another")
    history = converge(torso, torso.inverse_kinematics(FAR_POSE), HOME.tolist(), FAR_POSE)
    print(f"   {'call':>4} {'position error':>15} {'rotation error':>15}")
    shown = [i for i in range(len(history)) if i < 3 or i % 3 == 2 or i == len(history) - 1]
    for i in sorted(set(shown)):
        s = history[i]
        print(f"   {i + 1:4d} {s.position_error * 1e3:12.4f} mm {s.rotation_error / DEGREE:11.4f} deg")
    last = history[-1]
    found = last.position_error <= FOUND_POSITION and last.rotation_error <= FOUND_ROTATION
    print(f"   {len(history)} calls to converge; final error {last.position_error * 1e6:.2f} µm and"
          f" {last.rotation_error / DEGREE * 1e3:.2f} millidegrees{'' if found else '  MISSED'}")
    result = model.solve_forward_kinematics(model.inverse_kinematics(FAR_POSE))  # from home
    error = float(np.linalg.norm(result.poses[:3, 3] - FAR_POSE[:3, 3]))
    print(f"   Model.solve_forward_kinematics from home: {result.status} after {result.iterations} iterations,"
          f" rod error {result.rod_error:.1e} m, position error {error * 1e6:.2g} µm")
    return found and result.status == "converged"


def optional_degrees(value: float | None) -> str:
    return "-" if value is None else f"{value / DEGREE:+.0f}"


YAW_CASES = [
    # platform yaw, requested body yaw, max_relative_yaw, max_body_yaw, what happens
    (10, None, 15, 20, "no body yaw asked: 0, limits not used"),
    (10, 5, None, None, "no limits: as asked"),
    (10, 40, 15, None, "kept within 15 of the platform's 10"),
    (10, -30, 15, None, "the same from the other side"),
    (10, 40, 15, 20, "then cut to the absolute 20"),
    (40, 0, 15, 20, "band 25..55 outside -20..20: absolute wins"),
]


def show_body_yaw(torso) -> None:
    heading(4, "Body yaw: the body that carries the motors turned about the world z axis")
    turned = tt.pose(0.0, 0.0, 0.0, yaw=10 * DEGREE)
    same = max(abs(a - b) for a, b in zip(torso.inverse_kinematics(turned, body_yaw=10 * DEGREE),
                                          torso.inverse_kinematics(HOME)))
    print(f"   platform yawed 10 deg on a body yawed 10 deg needs the home angles (differ by {same:.0e} rad)")
    print("   inverse_kinematics_safe limits the requested body yaw, then solves; all angles in degrees:")
    print(f"   {'platform':>8} {'asked':>6} {'max_relative':>12} {'max_body':>9} {'used':>6}   why")
    agree = True
    for platform, asked, relative, absolute, why in YAW_CASES:
        values = [None if v is None else v * DEGREE for v in (asked, relative, absolute)]
        pose = tt.pose(0.0, 0.0, 0.0, yaw=platform * DEGREE)
        result = torso.inverse_kinematics_safe(pose, *values)
        used, angles = result[0], result[1:]
        agree = agree and angles == torso.inverse_kinematics(pose, body_yaw=used)
        print(f"   {platform:+8.0f} {optional_degrees(values[0]):>6} {optional_degrees(values[1]):>12}"
              f" {optional_degrees(values[2]):>9} {used / DEGREE:+6.1f}   {why}")
    print("   the motor angles returned after the yaw", "are" if agree else "are NOT",
          "those of inverse_kinematics(pose, body_yaw=used)")


def per_call(run, calls: int, repeats: int = 5) -> float:
    """Best of `repeats` runs, in seconds per call; `run` makes `calls` calls."""
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def show_timing(torso, model: tt.Model) -> None:
    heading(5, "Time per call, measured now on this machine (Python call and list conversion included)")
    poses = [pose for _, pose in ticks()]
    angles = [torso.inverse_kinematics(pose) for pose in poses]
    home, settled = HOME.tolist(), angles[0]
    batch, batch_angles = np.array(poses), np.array(angles)
    before = np.concatenate([HOME[None], batch[:-1]])  # each tick's start: the pose of the tick before
    ik, safe, fk, reset = (torso.inverse_kinematics, torso.inverse_kinematics_safe,
                           torso.forward_kinematics, torso.reset_forward_kinematics)

    def tracking():
        reset(home)
        for q in angles:
            fk(q)

    rows = [
        ("inverse_kinematics", per_call(lambda: [ik(p) for p in poses], len(poses))),
        ("inverse_kinematics_safe", per_call(lambda: [safe(p, 0.1, 0.2, 0.3) for p in poses], len(poses))),
        ("forward_kinematics, one step", per_call(tracking, len(angles))),
        ("forward_kinematics, settled", per_call(lambda: [fk(settled) for _ in poses], len(poses))),
        ("reset_forward_kinematics", per_call(lambda: [reset(home) for _ in poses], len(poses))),
        ("Model.inverse_kinematics, per pose of a batch", per_call(lambda: model.inverse_kinematics(batch),
                                                                   len(poses))),
        ("Model.solve_forward_kinematics, per tick of a batch",
         per_call(lambda: model.solve_forward_kinematics(batch_angles, start=before), len(poses))),
    ]
    for name, seconds in rows:
        print(f"   {name:52} {seconds * 1e6:7.2f} µs")
    print("   (one step: while tracking the trajectory; settled: rod errors already within 1e-6, no step;")
    print("   a batch: the 601 ticks in one call, each solve started from the pose of the tick before)")


def shown_path(path: Path) -> str:
    """The path from the current folder when it lies below it, else in full."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def show_pictures() -> None:
    heading(6, "Pictures")
    import pictures

    try:
        written = pictures.write_all(PICTURES_OUT)
    except MissingMatplotlib:
        print("   skipped: matplotlib is not installed (pip install '.[plot]')")
        return
    print(f"   written to {shown_path(PICTURES_OUT)}/ (regenerate the copies in docs/images with nox -s pictures):")
    for path in written:
        print(f"   {path.name:24} {path.stat().st_size // 1024:4d} KB")


def main() -> int:
    torso, model = TORSO.kinematics(), TORSO.model()
    print(f"Example torso: 6 branches, arms {TORSO.motor_arm_length * 1e3:g} mm, rods {TORSO.rod_length * 1e3:g} mm,"
          f" motors on a 50 mm circle; home is the identity pose")
    print(f"   motor angles at home (deg) {degrees(torso.inverse_kinematics(HOME))}")
    ok = show_trajectory(model)
    show_tracking(torso, model)
    ok = show_round_trip(torso, model) and ok
    show_body_yaw(torso)
    show_timing(torso, model)
    show_pictures()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
