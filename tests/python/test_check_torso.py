"""The geometry check of a described torso: reach margins that agree with the
library's NaN angles, assembly modes that mean what the guide says, the
workspace search, and a report that never ends in a traceback."""

from __future__ import annotations

import math
import subprocess
import sys
from pathlib import Path

import pytest

import check_torso
import example_torso
from conftest import translated, unit_model
from reach_margin import anchor_direction, reach_margin
from workspace import extent_around_home, reach_along

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
EXAMPLE = EXAMPLES / "example_torso.toml"
UNIT_BRANCH = example_torso.Branch((0.0, 0.0, 0.0), example_torso.identity(), 1.0)
DEGREE = math.pi / 180.0


@pytest.mark.parametrize("x, z, margin", [
    (1.5, 0.0, 0.5),   # nearest point of the arm circle 0.5 away, farthest 2.5: rod 1 has 0.5 to spare
    (2.0, 0.0, 0.0),   # the rod just reaches: the two modes meet
    (3.0, 0.0, -1.0),  # a metre too far
    (0.0, 0.0, 0.0),   # anchor on the axis, every point of the circle exactly a rod away
    (0.5, 0.5, 1.0 - math.sqrt(0.5)),  # above the circle: nearest sqrt(0.5) away, farthest sqrt(2.5)
])
def test_reach_margin_is_the_distance_to_the_reach_limit(x, z, margin):
    assert reach_margin(1.0, 1.0, UNIT_BRANCH, translated(x, 0.0, z)) == pytest.approx(margin, abs=1e-15)


def test_reach_margin_sign_agrees_with_the_library_on_the_example_torso():
    torso, branches = example_torso.make_example_torso(), example_torso.branches()
    checked = 0
    for i in range(-6, 7):
        for k in range(-4, 5):
            pose = example_torso.make_pose((0.012 * i, -0.007 * i, 0.01 * k), roll=0.05 * k, yaw=0.1 * i)
            for branch, angle in zip(branches, torso.inverse_kinematics(pose)):
                margin = reach_margin(example_torso.MOTOR_ARM_LENGTH, example_torso.ROD_LENGTH, branch, pose)
                if abs(margin) > 1e-9:
                    assert math.isnan(angle) == (margin < 0.0)
                    checked += 1
    assert checked > 500


@pytest.mark.parametrize("solution", [1.0, -1.0])
def test_solution_plus_one_turns_the_arm_counter_clockwise_of_the_anchor(solution):
    model = unit_model(solution)
    branch = example_torso.Branch((0.0, 0.0, 0.0), example_torso.identity(), solution)
    for x, y, z in [(1.2, 0.3, 0.4), (-0.5, 1.1, -0.2), (-1.0, -0.9, 0.6), (0.4, -1.5, 0.0)]:
        pose = translated(x, y, z)
        angle = model.inverse_kinematics(pose)[0]
        turn = (angle - anchor_direction(branch, pose) + math.pi) % (2 * math.pi) - math.pi
        assert 0.0 < solution * turn < math.pi


def test_reach_along_finds_the_boundary_within_its_resolution():
    model = unit_model(1.0)  # reachable along x for 0 <= s <= 2 (arm + rod)
    assert reach_along(model, lambda s: translated(s, 0.0, 0.0), 10.0, 0.3, 1e-6) == pytest.approx(2.0, abs=1e-6)
    assert reach_along(model, lambda s: translated(s, 0.0, 0.0), 1.0, 0.3, 1e-6) == 1.0  # the limit
    assert reach_along(model, lambda s: translated(3.0 + s, 0.0, 0.0), 1.0, 0.3, 1e-6) == 0.0  # start outside


def test_example_torso_reaches_a_centimetre_and_fifteen_degrees_around_home():
    extent = extent_around_home(example_torso.make_example_torso(), example_torso.identity(),
                                example_torso.ROD_LENGTH)
    assert extent.translation_min >= 0.010
    assert extent.tilt_min >= 15 * DEGREE
    assert extent.yaw_low <= -15 * DEGREE and extent.yaw_high >= 15 * DEGREE
    assert extent.translation_min <= extent.translation_max and extent.tilt_min <= extent.tilt_max


def test_report_on_the_example(capsys):
    assert check_torso.main([str(EXAMPLE), "--no-picture"]) == 0
    out = capsys.readouterr().out
    assert "Home pose: reachable" in out
    rows = [line.split() for line in out.splitlines() if line.strip()[:1].isdigit()]
    assert [row[1] for row in rows] == ["+1", "-1"] * 3
    assert all(row[4] == ("counter-clockwise" if row[1] == "+1" else "clockwise") for row in rows)
    assert all(float(row[5]) > 0.0 for row in rows)
    assert "Workspace around home" in out


def test_home_out_of_reach_is_reported_and_exits_one(tmp_path, capsys):
    path = tmp_path / "short.toml"
    path.write_text(EXAMPLE.read_text().replace("rod_length = 0.09", "rod_length = 0.03"))
    assert check_torso.main([str(path), "--no-picture"]) == 1
    out = capsys.readouterr().out
    assert "NOT reachable" in out and "NaN" in out and "Workspace" not in out


def test_a_bad_file_gives_a_message_and_exit_two_without_traceback(tmp_path):
    path = tmp_path / "bad.toml"
    path.write_text(EXAMPLE.read_text().replace("solution = -1", "solution = [-1]", 1))
    done = subprocess.run([sys.executable, str(EXAMPLES / "check_torso.py"), str(path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr == f"error: {path}: branch[1].solution: must be a number, got a list\n"


def test_without_matplotlib_the_report_says_the_picture_is_not_drawn(monkeypatch, capsys, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib now raises ImportError
    monkeypatch.delitem(sys.modules, "torso_figure", raising=False)
    assert check_torso.main([str(EXAMPLE), "--picture", str(tmp_path / "t.png")]) == 0
    assert "not drawn, matplotlib is not installed" in capsys.readouterr().out
    assert not (tmp_path / "t.png").exists()


def test_the_picture_is_drawn_when_matplotlib_is_there(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "torso.png"
    assert check_torso.main([str(EXAMPLE), "--picture", str(picture)]) == 0
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"Picture: {picture}" in capsys.readouterr().out
