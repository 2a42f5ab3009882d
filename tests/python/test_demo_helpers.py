"""The measurements the demo and the pictures report: pose errors in robot units,
forward kinematics tracking a moving platform and converging on a far one, and
the demo itself finishing cleanly without matplotlib."""

from __future__ import annotations

import math
import sys

import pytest

import demo
import example_torso as ex
from pose_error import position_error, roll_pitch_yaw, rotation_error
from rod_errors import rod_error_norm
from tracking import converge, track
from trajectory import DURATION_S, RATE_HZ, pose_at, ticks

DEGREE = math.pi / 180.0


@pytest.mark.parametrize("angle", [1e-9, 1e-5, 0.3, 2.5, math.pi - 1e-7])
def test_rotation_error_is_the_angle_between_orientations_down_to_nanoradians(angle):
    # the same axis-angle turn applied on top of an arbitrary orientation
    base = ex.make_pose(roll=0.4, pitch=-0.2, yaw=1.1)
    turned = ex.make_pose(roll=0.4, pitch=-0.2, yaw=1.1 + angle)
    assert rotation_error(base, turned) == pytest.approx(angle, rel=1e-7)


def test_position_error_and_angles_read_back_what_made_the_pose():
    pose = ex.make_pose((0.003, -0.004, 0.012), roll=0.1, pitch=-0.2, yaw=0.3)
    assert position_error(pose, ex.identity()) == pytest.approx(0.013, abs=1e-15)
    assert roll_pitch_yaw(pose) == pytest.approx((0.1, -0.2, 0.3), abs=1e-15)


def test_the_trajectory_starts_and_ends_at_home_and_moves_smoothly():
    samples = ticks()
    assert len(samples) == round(DURATION_S * RATE_HZ) + 1
    assert samples[0][1] == ex.identity()
    assert position_error(samples[-1][1], ex.identity()) < 1e-15
    steps = [position_error(a, b) for (_, a), (_, b) in zip(samples, samples[1:])]
    assert max(steps) < 0.2e-3  # under 0.2 mm per 5 ms tick
    assert pose_at(DURATION_S / 2)[2][3] == pytest.approx(0.008)


def test_tracking_one_call_per_tick_stays_within_a_tenth_of_a_millimetre():
    torso = ex.make_example_torso()
    steps = track(torso, ticks(), ex.identity())
    assert steps[0].position_error == 0.0  # reset at home, which is where the trajectory starts
    assert max(s.position_error for s in steps) < 1e-4
    assert max(s.rotation_error for s in steps) < 0.1 * DEGREE


def test_converge_stops_when_the_rod_errors_are_within_the_solver_tolerance():
    torso = ex.make_example_torso()
    angles = torso.inverse_kinematics(demo.FAR_POSE)
    history = converge(torso, angles, ex.identity(), demo.FAR_POSE)
    assert 3 < len(history) < 40
    residuals = [rod_error_norm(ex.MOTOR_ARM_LENGTH, ex.ROD_LENGTH, ex.branches(), angles, s.estimate)
                 for s in history]
    assert all(b < a for a, b in zip(residuals, residuals[1:]))
    assert residuals[-1] <= 1e-6 < residuals[-2]
    assert history[-1].position_error < 1e-5
    # from the answer itself nothing moves: no call is needed
    assert converge(torso, angles, history[-1].estimate, demo.FAR_POSE) == []


def test_demo_runs_to_the_end_without_matplotlib(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.delitem(sys.modules, "pictures", raising=False)
    assert demo.main() == 0
    out = capsys.readouterr().out
    assert "reachable at 601 of 601 ticks" in out
    assert "skipped: matplotlib is not installed" in out
    assert "MISSED" not in out and "    nan" not in out.lower()  # no angle printed as NaN
