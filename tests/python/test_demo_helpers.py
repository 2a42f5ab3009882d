"""The demo as a user runs it, and the measurements it reports: pose errors in
robot units, forward kinematics tracking a moving platform and converging on a
far one, and the demo itself finishing cleanly without matplotlib.

The demo's modules are scripts beside it in examples/, which import one another
as a script's siblings do; so each check runs in a fresh interpreter started in
that folder, and hands its figures back as JSON."""

from __future__ import annotations

import json
import math
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
DEGREE = math.pi / 180.0


def in_examples(code: str, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter in examples/, where the demo's modules import."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=EXAMPLES, capture_output=True,
                          text=True, timeout=timeout, check=False)
    assert done.returncode == 0, done.stderr
    return done


@pytest.fixture(scope="module")
def figures() -> dict:
    return json.loads(in_examples("""
        import json, math
        import demo
        from pose_error import position_error, roll_pitch_yaw, rotation_error
        from rod_errors import rod_error_norm
        from tracking import converge, track
        from trajectory import DURATION_S, RATE_HZ, pose_at, ticks
        from tavrino_torso import Torso, pose

        def turned(angle):
            return rotation_error(pose(0, 0, 0, 0.4, -0.2, 1.1).tolist(), pose(0, 0, 0, 0.4, -0.2, 1.1 + angle).tolist())

        home = pose(0, 0, 0).tolist()
        moved = pose(0.003, -0.004, 0.012, roll=0.1, pitch=-0.2, yaw=0.3).tolist()
        samples = ticks()
        example = Torso.example()
        torso = example.kinematics()
        steps = track(torso, samples, home)
        angles = torso.inverse_kinematics(demo.FAR_POSE)
        history = converge(torso, angles, home, demo.FAR_POSE)
        print(json.dumps({
            "rotation_errors": {repr(a): turned(a) for a in (1e-9, 1e-5, 0.3, 2.5, math.pi - 1e-7)},
            "moved": [position_error(moved, home), list(roll_pitch_yaw(moved))],
            "ticks": [len(samples), round(DURATION_S * RATE_HZ) + 1, samples[0][1] == home,
                      position_error(samples[-1][1], home), pose_at(DURATION_S / 2)[2][3],
                      max(position_error(a, b) for (_, a), (_, b) in zip(samples, samples[1:]))],
            "tracking": [steps[0].position_error, max(s.position_error for s in steps),
                         max(s.rotation_error for s in steps)],
            "converging": [rod_error_norm(example, angles, s.estimate) for s in history],
            "last_error": history[-1].position_error,
            "again": len(converge(torso, angles, history[-1].estimate, demo.FAR_POSE)),
        }))
    """).stdout)


def test_rotation_error_is_the_angle_between_orientations_down_to_nanoradians(figures):
    # the same turn about z applied on top of an arbitrary orientation
    for angle, error in figures["rotation_errors"].items():
        assert error == pytest.approx(float(angle), rel=1e-7)


def test_position_error_and_angles_read_back_what_made_the_pose(figures):
    distance, angles = figures["moved"]
    assert distance == pytest.approx(0.013, abs=1e-15)
    assert angles == pytest.approx((0.1, -0.2, 0.3), abs=1e-15)


def test_the_trajectory_starts_and_ends_at_home_and_moves_smoothly(figures):
    count, expected, starts_home, end_off, middle_height, largest_step = figures["ticks"]
    assert count == expected and starts_home and end_off < 1e-15
    assert middle_height == pytest.approx(0.008)
    assert largest_step < 0.2e-3  # under 0.2 mm per 5 ms tick


def test_tracking_one_call_per_tick_stays_within_a_tenth_of_a_millimetre(figures):
    first, position, rotation = figures["tracking"]
    assert first == 0.0  # reset at home, which is where the trajectory starts
    assert position < 1e-4 and rotation < 0.1 * DEGREE


def test_converge_stops_when_the_rod_errors_are_within_the_solver_tolerance(figures):
    residuals = figures["converging"]
    assert 3 < len(residuals) < 40
    assert all(b < a for a, b in zip(residuals, residuals[1:]))
    assert residuals[-1] <= 1e-6 < residuals[-2]
    assert figures["last_error"] < 1e-5
    assert figures["again"] == 0  # from the answer itself nothing moves: no call is needed


def test_demo_runs_to_the_end_without_matplotlib():
    out = in_examples("""
        import runpy, sys
        sys.modules["matplotlib"] = None  # import matplotlib now raises ImportError
        sys.argv = ["demo.py"]
        runpy.run_path("demo.py", run_name="__main__")
    """).stdout
    assert "reachable at 601 of 601 ticks" in out
    assert "skipped: matplotlib is not installed" in out
    assert "MISSED" not in out and "    nan" not in out.lower()  # no angle printed as NaN
