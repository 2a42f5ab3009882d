"""What the library does for a robot programmer, on the built-in example torso:

1. inverse kinematics along a smooth 3 s trajectory at 200 Hz;
2. forward kinematics as a state estimator, one call per control tick;
3. forward kinematics converging from home onto a far pose;
4. the body yaw and the two yaw limits of the safe inverse kinematics;
5. the time of one call of each method, measured in this run;
6. pictures of the torso, its workspace and the solver (with matplotlib).

Exits non-zero if the trajectory leaves the workspace or a pose is not found back.
"""

from __future__ import annotations

import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import example_torso as ex  # noqa: E402
from pose_error import roll_pitch_yaw  # noqa: E402
from tracking import converge, track  # noqa: E402
from trajectory import DURATION_S, RATE_HZ, ticks  # noqa: E402

DEGREE = math.pi / 180.0
PICTURES_OUT = Path(__file__).resolve().parents[1] / "build" / "demo"
FAR_POSE = ex.make_pose((0.015, -0.010, 0.008), roll=15 * DEGREE, pitch=-12 * DEGREE, yaw=20 * DEGREE)
# The solver stops stepping once the rod errors are within 1e-6 m in norm, which
# leaves the pose some micrometres off: a pose found back further than a tenth of
# a millimetre or a tenth of a degree away has been missed.
FOUND_POSITION = 1e-4
FOUND_ROTATION = 0.1 * DEGREE


def heading(number: int, text: str) -> None:
    print(f"\n{number}. {text}")


def degrees(angles: list[float]) -> str:
    return " ".join(f"{a / DEGREE:+8.2f}" for a in angles)


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def turn(a: float, b: float) -> float:
    """The motor's turn from angle a to angle b, across the -180/+180 seam if shorter."""
    return (b - a + math.pi) % (2.0 * math.pi) - math.pi


def show_trajectory(torso) -> bool:
    heading(1, f"Inverse kinematics along a trajectory: {DURATION_S:g} s at {RATE_HZ} Hz, starting at home")
    print(f"   {'t (s)':>5} {'x':>6} {'y':>6} {'z (mm)':>7} {'roll':>6} {'pitch':>6} {'yaw (deg)':>9}"
          f"   motor angles 0..5 (deg)")
    steps = ticks()
    all_angles = [torso.inverse_kinematics(pose) for _, pose in steps]
    for (t, pose), angles in zip(steps, all_angles):
        if round(t * RATE_HZ) % (RATE_HZ // 2) == 0:
            roll, pitch, yaw = (round(v / DEGREE, 1) + 0.0 for v in roll_pitch_yaw(pose))
            x, y, z = (round(pose[i][3] * 1000, 1) + 0.0 for i in range(3))
            print(f"   {t:5.2f} {x:+6.1f} {y:+6.1f} {z:+7.1f} {roll:+6.1f} {pitch:+6.1f} {yaw:+9.1f}  {degrees(angles)}")
    reachable = sum(not any(math.isnan(a) for a in angles) for angles in all_angles)
    speeds = [max(abs(turn(a[i], b[i])) for a, b in zip(all_angles, all_angles[1:])) * RATE_HZ / DEGREE
              for i in range(6)]
    fastest = max(range(6), key=lambda i: speeds[i])
    print(f"   reachable at {reachable} of {len(steps)} ticks (an unreachable pose gives NaN angles);"
          f" fastest motor: {fastest}, {speeds[fastest]:.0f} deg/s")
    return reachable == len(steps)


def show_tracking(torso) -> None:
    heading(2, "Forward kinematics as a state estimator: reset at home, then one call per tick")
    print("   from the measured motor angles (here: those of step 1); error against the true pose")
    steps = track(torso, ticks(), ex.identity())
    position = [s.position_error * 1e3 for s in steps]
    rotation = [s.rotation_error / DEGREE for s in steps]
    print(f"   {'':22} {'mean':>7} {'95 %':>7} {'max':>7}   {'at t (s)':>8}")
    for name, values in (("position error (mm)", position), ("rotation error (deg)", rotation)):
        worst = max(range(len(values)), key=lambda i: values[i])
        print(f"   {name:22} {sum(values) / len(values):7.3f} {percentile(values, 0.95):7.3f}"
              f" {values[worst]:7.3f}   {steps[worst].time_s:8.3f}")


def show_round_trip(torso) -> bool:
    heading(3, "Round trip: the estimate reset at home, the motors at a far pose")
    print("   (x 15 mm, y -10 mm, z 8 mm, roll 15, pitch -12, yaw 20 deg); one forward call after another")
    history = converge(torso, torso.inverse_kinematics(FAR_POSE), ex.identity(), FAR_POSE)
    print(f"   {'call':>4} {'position error':>15} {'rotation error':>15}")
    shown = [i for i in range(len(history)) if i < 3 or i % 3 == 2 or i == len(history) - 1]
    for i in sorted(set(shown)):
        s = history[i]
        print(f"   {i + 1:4d} {s.position_error * 1e3:12.4f} mm {s.rotation_error / DEGREE:11.4f} deg")
    last = history[-1]
    found = last.position_error <= FOUND_POSITION and last.rotation_error <= FOUND_ROTATION
    print(f"   {len(history)} calls to converge; final error {last.position_error * 1e6:.2f} µm and"
          f" {last.rotation_error / DEGREE * 1e3:.2f} millidegrees{'' if found else '  MISSED'}")
    return found


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
    turned = ex.make_pose(yaw=10 * DEGREE)
    same = max(abs(a - b) for a, b in zip(torso.inverse_kinematics(turned, body_yaw=10 * DEGREE),
                                          torso.inverse_kinematics(ex.identity())))
    print(f"   platform yawed 10 deg on a body yawed 10 deg needs the home angles (differ by {same:.0e} rad)")
    print("   inverse_kinematics_safe limits the requested body yaw, then solves; all angles in degrees:")
    print(f"   {'platform':>8} {'asked':>6} {'max_relative':>12} {'max_body':>9} {'used':>6}   why")
    agree = True
    for platform, asked, relative, absolute, why in YAW_CASES:
        values = [None if v is None else v * DEGREE for v in (asked, relative, absolute)]
        pose = ex.make_pose(yaw=platform * DEGREE)
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


def show_timing(torso) -> None:
    heading(5, "Time per call, measured now on this machine (Python call and list conversion included)")
    poses = [pose for _, pose in ticks()]
    angles = [torso.inverse_kinematics(pose) for pose in poses]
    home, settled = ex.identity(), angles[0]
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
    ]
    for name, seconds in rows:
        print(f"   {name:30} {seconds * 1e6:7.2f} µs")
    print("   (one step: while tracking the trajectory; settled: rod errors already within 1e-6, no step)")


def shown_path(path: Path) -> str:
    """The path from the current folder when it lies below it, else in full."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def show_pictures() -> None:
    heading(6, "Pictures")
    try:
        import pictures
    except ImportError:
        print("   skipped: matplotlib is not installed (pip install '.[plot]')")
        return
    written = pictures.write_all(PICTURES_OUT)
    print(f"   written to {shown_path(PICTURES_OUT)}/ (regenerate the copies in docs/images with ./tools/pictures):")
    for path in written:
        print(f"   {path.name:24} {path.stat().st_size // 1024:4d} KB")


def main() -> int:
    torso = ex.make_example_torso()
    print(f"Example torso: 6 branches, arms {ex.MOTOR_ARM_LENGTH * 1e3:g} mm, rods {ex.ROD_LENGTH * 1e3:g} mm,"
          f" motors on a {ex.MOTOR_RADIUS * 1e3:g} mm circle; home is the identity pose")
    print(f"   motor angles at home (deg) {degrees(torso.inverse_kinematics(ex.identity()))}")
    ok = show_trajectory(torso)
    show_tracking(torso)
    ok = show_round_trip(torso) and ok
    show_body_yaw(torso)
    show_timing(torso)
    show_pictures()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
