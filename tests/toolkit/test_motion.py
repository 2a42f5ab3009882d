"""Motion planning: a planned motion runs from rest to rest through the
waypoints, keeps every motor within its limits with one of them at its limit
nearly all the time (time-optimal), and agrees with itself (speeds with angles,
torques with inverse dynamics); a path that cannot be followed is refused with
the segment named; the command writes the trajectory and its picture."""

from __future__ import annotations

import csv
import dataclasses
from pathlib import Path

import numpy as np
import pytest

from tavrino_torso import Motors, Payload, Torso, pose, quaternion, unwrap
from tavrino_torso.cli import main

from .support import EXAMPLE_FILE

pytest.importorskip("toppra")

from tavrino_torso.motion import Trajectory, plan  # noqa: E402

RATE = 500.0
WAYPOINTS = np.stack([pose(0.0, 0.0, 0.0), pose(0.01, 0.0, 0.005, roll=0.1),
                      pose(-0.01, 0.01, 0.0, pitch=-0.1, yaw=0.2), pose(0.0, -0.005, -0.003, roll=-0.05)])
EXAMPLE = Torso.example()
# No acceleration limit and four times the payload: the torque limit binds.
HEAVY = dataclasses.replace(EXAMPLE, payload=dataclasses.replace(EXAMPLE.payload, mass=7.0),
                            motors=Motors(3.5e-5, speed_limit=7.0, torque_limit=1.1))


@pytest.fixture(scope="module", params=["example", "heavy"])
def planned(request: pytest.FixtureRequest) -> tuple[Torso, Trajectory]:
    torso = EXAMPLE if request.param == "example" else HEAVY
    return torso, plan(torso, WAYPOINTS, rate=RATE)


def test_a_motion_runs_from_rest_to_rest_through_the_waypoints(planned):
    _, trajectory = planned
    n = len(trajectory.time)
    assert np.array_equal(trajectory.time, np.arange(n) / RATE)
    assert trajectory.poses.shape == (n, 4, 4) and all(a.shape == (n, 6) for a in (
        trajectory.angles, trajectory.speeds, trajectory.accelerations, trajectory.torques))
    assert np.array_equal(trajectory.poses[0], WAYPOINTS[0]) and np.array_equal(trajectory.poses[-1], WAYPOINTS[-1])
    assert not trajectory.speeds[0].any() and not trajectory.speeds[-1].any()
    for waypoint in WAYPOINTS[1:-1]:  # passed within a sample's travel
        assert np.linalg.norm(trajectory.poses[:, :3, 3] - waypoint[:3, 3], axis=1).min() < 5e-4
    assert np.all(np.abs(np.diff(trajectory.angles, axis=0)) < 0.1)  # unwrapped
    assert np.allclose(unwrap(trajectory.angles), trajectory.angles)


def test_a_motion_is_fastest_within_the_limits(planned):
    torso, trajectory = planned
    motors = torso.motors
    ratios = []
    for values, limit in ((trajectory.speeds, motors.speed_limit), (trajectory.accelerations, motors.acceleration_limit),
                          (trajectory.torques, motors.torque_limit)):
        if limit is not None:
            ratios.append(np.abs(values).max(axis=1) / limit)
    ratios = np.array(ratios)
    assert ratios.max() < 1.01
    # Time-optimal: at nearly every moment some motor is at one of its limits.
    assert np.mean(ratios.max(axis=0) > 0.97) > 0.9
    if torso is HEAVY:
        assert ratios[-1].max() > 0.99


def test_a_motion_agrees_with_itself(planned):
    torso, trajectory = planned
    dt = 1.0 / RATE
    # Angles advance by the mean of the speeds, speeds by the mean of the
    # accelerations (to the jumps of the accelerations, which toppra's profile
    # has where a limit switches).
    steps = np.diff(trajectory.angles, axis=0) - 0.5 * dt * (trajectory.speeds[1:] + trajectory.speeds[:-1])
    assert np.abs(steps).max() < 1e-4
    speed_steps = np.diff(trajectory.speeds, axis=0) - 0.5 * dt * (trajectory.accelerations[1:]
                                                                   + trajectory.accelerations[:-1])
    assert np.median(np.abs(speed_steps)) < 1e-3 and np.abs(speed_steps).max() < 0.5
    model = torso.model()
    assert np.array_equal(trajectory.angles, unwrap(model.inverse_kinematics(trajectory.poses)))
    # The last sample stands still: its torques hold the payload.
    at_rest = model.inverse_dynamics(trajectory.poses[-1], trajectory.angles[-1], np.zeros(6), np.zeros(6))
    assert np.allclose(trajectory.torques[-1], at_rest, rtol=0, atol=1e-12)


UNREACHABLE = np.stack([pose(0.0, 0.0, 0.0), pose(0.0, 0.0, 0.1)])


def highest_reachable() -> np.ndarray:
    """The platform raised to a hair below the edge of some branch's reach."""
    model, low, high = EXAMPLE.model(), 0.0, 0.1
    for _ in range(60):
        middle = 0.5 * (low + high)
        low, high = (middle, high) if not np.isnan(model.inverse_kinematics(pose(0.0, 0.0, middle))).any() else (
            low, middle)
    return pose(0.0, 0.0, low)


REFUSALS = [
    (EXAMPLE, UNREACHABLE, "segment 0 (waypoint 0 to 1)"),
    (EXAMPLE, np.stack([WAYPOINTS[0], WAYPOINTS[1], highest_reachable()]),
     "edge of its reach (transmission 0.000) in segment 1 (waypoint 1 to 2), 100% of the way along"),
    (dataclasses.replace(EXAMPLE, payload=Payload(40.0, (0.0, 0.0, 0.0), np.eye(3) * 0.1)), WAYPOINTS,
     "cannot hold the payload still, it needs"),
    (dataclasses.replace(EXAMPLE, payload=None), WAYPOINTS, "no [payload] table"),
    (dataclasses.replace(EXAMPLE, motors=Motors(speed_limit=7.0)), WAYPOINTS, "neither an acceleration_limit"),
    (EXAMPLE, np.stack([WAYPOINTS[0], WAYPOINTS[0]]), "waypoints 0 and 1 are the same pose"),
    (EXAMPLE, WAYPOINTS[:1], "at least 2 poses"),
    (EXAMPLE, np.stack([WAYPOINTS[0], np.diag([2.0, 1.0, 1.0, 1.0])]), "waypoints[1]: must be a rigid pose"),
]


@pytest.mark.parametrize("torso, waypoints, message", REFUSALS, ids=[m for _, _, m in REFUSALS])
def test_a_motion_that_cannot_be_planned_is_refused_with_the_reason(torso, waypoints, message):
    with pytest.raises(ValueError) as raised:
        plan(torso, waypoints)
    assert message in str(raised.value)
    if "segment" in message or "hold" in message:
        assert "% of the way along, at x, y, z = " in str(raised.value)
    with pytest.raises(ValueError, match="rate: must be a positive number"):
        plan(EXAMPLE, WAYPOINTS, rate=0.0)


def write_waypoints(path: Path, poses: np.ndarray, scale: float = 1.0) -> None:
    with open(path, "w", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(["x", "y", "z", "qw", "qx", "qy", "qz"])
        for p, q in zip(poses, quaternion(poses), strict=True):
            writer.writerow([*(p[:3, 3] * scale), *q])


def test_the_plan_command_writes_the_trajectory_and_its_picture(tmp_path, capsys):
    waypoints, output, picture = tmp_path / "waypoints.csv", tmp_path / "trajectory.csv", tmp_path / "motion.png"
    write_waypoints(waypoints, WAYPOINTS, 1000.0)
    argv = ["plan", str(EXAMPLE_FILE), str(waypoints), "-o", str(output), "--length-unit", "mm", "--rate", "250",
            "--picture", str(picture)]
    assert main(argv) == 0
    assert "Planned" in capsys.readouterr().out
    rows = list(csv.reader(output.open()))
    assert rows[0] == ["time", "x", "y", "z", "qw", "qx", "qy", "qz", *[f"q{i}" for i in range(6)],
                       *[f"dq{i}" for i in range(6)], *[f"tau{i}" for i in range(6)]]
    table = np.array(rows[1:], dtype=float)
    expected = plan(EXAMPLE, WAYPOINTS, rate=250.0)
    assert np.allclose(table[:, 0], expected.time) and np.allclose(table[:, 1:4], expected.poses[:, :3, 3] * 1000.0)
    assert np.allclose(table[:, 8:], np.hstack([expected.angles, expected.speeds, expected.torques]))
    assert picture.read_bytes().startswith(b"\x89PNG")


def test_the_plan_command_refuses_with_one_line(tmp_path, capsys):
    good, unreachable = tmp_path / "good.csv", tmp_path / "far.csv"
    write_waypoints(good, WAYPOINTS)
    write_waypoints(unreachable, UNREACHABLE)
    bad_rows = tmp_path / "bad.csv"
    bad_rows.write_text("x,y,z,qw,qx,qy,qz\n0,0,0,1,0,0,0\n0,0,nan,1,0,0,0\n")
    bare = tmp_path / "bare.toml"
    dataclasses.replace(EXAMPLE, payload=None).to_toml(bare)
    example = str(EXAMPLE_FILE)
    runs = [
        (["plan", example, str(unreachable)], 1, "Cannot plan the motion: the path cannot be followed"),
        (["plan", example, str(bad_rows)], 2, "row 2, column z: 'nan' is not a finite number"),
        (["plan", str(bare), str(good)], 2, "planning needs a [payload] table"),
        (["plan", example, str(good), "--rate", "-5"], 2, "--rate: must be more than 0"),
    ]
    for argv, status, message in runs:
        output = tmp_path / "out.csv"
        assert main([*argv, "-o", str(output)]) == status, argv
        captured = capsys.readouterr()
        text = captured.out if status == 1 else captured.err
        assert message in text and "Traceback" not in captured.err
        assert not output.exists()

