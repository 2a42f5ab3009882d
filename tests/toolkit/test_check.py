"""The geometry check: reach margins that agree with the library's NaN angles,
assembly modes that mean what the guide says, the search for the edge of the
workspace, and the report on the example torso."""

from __future__ import annotations

import math

import numpy as np
import pytest

from tavrino_torso import Branch, Torso, check, pose
from tavrino_torso.check import anchor_direction, anchor_in_motor_frame, reach_margin
from tavrino_torso.workspace import extent_around_home, reach_along
from tavrino_torso_kinematics import TavrinoTorsoKinematics

IDENTITY = np.eye(4)
UNIT_BRANCH = Branch((0.0, 0.0, 0.0), IDENTITY, 1.0)
DEGREE = math.pi / 180.0


def translated(x: float, y: float, z: float) -> np.ndarray:
    return pose(x, y, z)


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
    torso = Torso.example()
    i, k = np.meshgrid(np.arange(-6, 7), np.arange(-4, 5))
    poses = pose(0.012 * i, -0.007 * i, 0.01 * k, roll=0.05 * k, yaw=0.1 * i).reshape(-1, 4, 4)
    angles = torso.model().inverse_kinematics(poses)
    margins = np.array([[reach_margin(torso.motor_arm_length, torso.rod_length, b, p) for b in torso.branches]
                        for p in poses])
    clear = np.abs(margins) > 1e-9
    assert clear.sum() > 500
    assert np.array_equal(np.isnan(angles)[clear], (margins < 0.0)[clear])


@pytest.mark.parametrize("solution", [1.0, -1.0])
def test_solution_plus_one_turns_the_arm_counter_clockwise_of_the_anchor(solution):
    model = TavrinoTorsoKinematics(1.0, 1.0)
    model.add_branch((0.0, 0.0, 0.0), IDENTITY, solution)
    branch = Branch((0.0, 0.0, 0.0), IDENTITY, solution)
    for x, y, z in [(1.2, 0.3, 0.4), (-0.5, 1.1, -0.2), (-1.0, -0.9, 0.6), (0.4, -1.5, 0.0)]:
        at = translated(x, y, z)
        turn = (model.inverse_kinematics(at)[0] - anchor_direction(branch, at) + math.pi) % (2 * math.pi) - math.pi
        assert 0.0 < solution * turn < math.pi


def test_reach_along_finds_each_familys_edge_within_its_resolution():
    # three families moving along x from 0, 1.5 and 3; reachable while x <= 2
    def ok(poses: np.ndarray) -> np.ndarray:
        return poses[..., 0, 3] <= 2.0

    def along_x(start: np.ndarray):
        return lambda s: pose(start[:, None] + s, 0.0, 0.0)

    edges = reach_along(ok, along_x(np.array([0.0, 1.5, 3.0])), 3, 10.0, 0.3, 1e-6)
    assert edges[0] == pytest.approx(2.0, abs=1e-6) and edges[0] <= 2.0
    assert edges[1] == pytest.approx(0.5, abs=1e-6) and edges[2] == 0.0  # start outside
    assert reach_along(ok, along_x(np.array([0.0])), 1, 1.0, 0.3, 1e-6)[0] == 1.0  # the limit


def test_example_torso_reaches_a_centimetre_and_fifteen_degrees_around_home():
    extent = extent_around_home(Torso.example())
    assert extent.translation_min >= 0.010
    assert extent.tilt_min >= 15 * DEGREE
    assert extent.yaw_low <= -15 * DEGREE and extent.yaw_high >= 15 * DEGREE
    assert extent.translation_min <= extent.translation_max and extent.tilt_min <= extent.tilt_max


def test_the_report_on_the_example_torso():
    report = check(Torso.example())
    assert report.ok and report.home_reachable and report.problems == ()
    assert [b.solution for b in report.branches] == [1.0, -1.0] * 3
    assert all(b.reach_margin > 0.03 and 0.0 < b.solution * b.turn_from_anchor < math.pi for b in report.branches)
    assert report.extent is not None and report.extent.translation_min > 0.03
    rows = [line.split() for line in str(report).splitlines() if line.strip()[:1].isdigit()]
    assert [row[1] for row in rows] == ["+1", "-1"] * 3
    assert all(row[4] == ("counter-clockwise" if row[1] == "+1" else "clockwise") for row in rows)
    assert "No problems found." in str(report)


def test_a_torso_whose_rods_are_too_short_for_home_has_a_problem():
    short = Torso(0.04, 0.03, Torso.example().branches)
    report = check(short)
    assert not report.ok and not report.home_reachable and report.extent is None
    assert report.problems[0] == "home is out of reach of branches 0, 1, 2, 3, 4, 5"
    assert "NOT reachable" in str(report) and "Workspace" not in str(report)


@pytest.mark.parametrize("side", ["farthest", "nearest"])
def test_rods_that_only_just_reach_home_are_a_problem(side):
    example = Torso.example()
    px, py, pz = anchor_in_motor_frame(example.branches[0], IDENTITY)
    planar, arm = math.hypot(px, py), example.motor_arm_length
    rod = math.hypot(planar + arm, pz) * (1 - 1e-9) if side == "farthest" else math.hypot(planar - arm, pz) * (1 + 1e-9)
    report = check(Torso(arm, rod, example.branches))
    assert report.home_reachable and not report.ok
    assert report.problems == ("home is at the edge of the reach of branches 0, 1, 2, 3, 4, 5 (transmission below "
                               "0.05)",)
    assert all(b.reach_margin < 1e-9 and b.transmission < 1e-3 for b in report.branches)


@pytest.mark.parametrize("arm, rod, warnings", [
    (0.04, 0.09, []),
    (40.0, 90.0, ["arms of 40000 mm and rods of 90000 mm are implausibly long for a torso: a file in millimetres "
                  'needs length_unit = "mm"']),
    (4e-5, 0.09, ["arms of 0.04 mm are implausibly short for a torso"]),
    (0.09, 0.04, ["the rods (40 mm) are shorter than the arms (90 mm): are the two lengths swapped?"]),
])
def test_lengths_implausible_for_a_torso_are_warned_about_instead_of_no_problems_found(arm, rod, warnings):
    report = check(Torso(arm, rod, Torso.example().branches))
    assert len(report.warnings) == len(warnings)
    assert all(found.startswith(expected) for found, expected in zip(report.warnings, warnings))
    assert ("No problems found." in report.text()) == (not warnings and report.ok)
    assert ("Warnings:" in report.text()) == bool(warnings)
