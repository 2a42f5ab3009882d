"""The torso description file: the shipped example describes the built-in torso,
and every kind of mistake is reported with the field it concerns."""

from __future__ import annotations

import math
import tomllib
from pathlib import Path

import pytest

import example_torso
from torso_file import DescriptionError, load, motor_pose_from_cad

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "example_torso.toml"
DEGREE = math.pi / 180.0


def test_the_example_file_describes_the_built_in_torso():
    description = load(EXAMPLE)
    from_file, built_in = description.make_torso(), example_torso.make_example_torso()
    assert description.home == example_torso.identity()
    assert [b.solution for b in description.branches] == [b.solution for b in example_torso.branches()]
    for pose in (example_torso.identity(), example_torso.make_pose((0.006, -0.004, 0.005), 0.1, -0.2, 0.3)):
        for a, b in zip(from_file.inverse_kinematics(pose), built_in.inverse_kinematics(pose)):
            assert a == pytest.approx(b, abs=1e-12)


def test_a_drawing_gives_a_right_handed_motor_frame_squared_to_the_axis():
    # arm_zero 0.5 degree off square: x is squared up, y = z cross x
    pose = motor_pose_from_cad([1.0, 2.0, 3.0], [0.0, 0.0, 2.0], [1.0, 0.0, math.tan(0.5 * DEGREE)], "branch[0]")
    assert [[round(v, 12) + 0.0 for v in row] for row in pose] == [
        [1.0, 0.0, 0.0, 1.0], [0.0, 1.0, 0.0, 2.0], [0.0, 0.0, 1.0, 3.0], [0.0, 0.0, 0.0, 1.0]]


GOOD = EXAMPLE.read_text()
FIRST_BRANCH = "[[branch]]  # 0\n"
POSE_BRANCH = """[[branch]]
anchor = [0.0, 0.0, 0.0]
motor_pose = {pose}
solution = 1
"""
IDENTITY = "[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]"


def first_branch_with(line_from: str, line_to: str) -> str:
    head, tail = GOOD.split(FIRST_BRANCH)
    assert line_from in tail
    return head + FIRST_BRANCH + tail.replace(line_from, line_to, 1)


def six_pose_branches(pose: str) -> str:
    return "motor_arm_length = 1.0\nrod_length = 1.0\n" + POSE_BRANCH.format(pose=pose) * 6


BAD_FILES = [
    (GOOD.replace("motor_arm_length = 0.04", ""), "motor_arm_length: missing"),
    (GOOD.replace("rod_length = 0.09", 'rod_length = "90 mm"'), "rod_length: must be a number, got a string"),
    (GOOD.replace("rod_length = 0.09", "rod_length = true"), "rod_length: must be a number, got a boolean"),
    (GOOD.replace("rod_length = 0.09", "rod_length = nan"), "rod_length: must be a finite number, got nan"),
    (GOOD.replace("rod_length = 0.09", "rod_length = -inf"), "rod_length: must be a finite number, got -inf"),
    (first_branch_with("solution = +1", "solution = 1" + "0" * 400), "branch[0].solution: must be a finite number"),
    (GOOD.replace("motor_arm_length = 0.04", "motor_arm_length = -0.04"), "motor_arm_length: must be a positive"),
    (GOOD.replace('length_unit = "m"', 'length_unit = "inch"'), "length_unit: must be one of"),
    (GOOD.replace("rod_length = 0.09", "rod_length = 0.09\nrod_lenght = 0.09"), "rod_lenght: unknown field"),
    (GOOD + "\n[[branch]]\n", "branch: must be 6 [[branch]] tables, got 7"),
    (GOOD.split("[[branch]]  # 5")[0], "branch: must be 6 [[branch]] tables, got 5"),
    ("motor_arm_length = 1.0\nrod_length = 1.0\nbranch = 6\n", "branch: must be 6 [[branch]] tables, got an integer"),
    ("motor_arm_length = 1.0\nrod_length = 1.0\n", "branch: missing"),
    (first_branch_with("anchor = [0.039392310120488, -0.006945927106677, 0.085]", "anchor = [0.039, -0.006]"),
     "branch[0].anchor: must be a list of 3 numbers, got 2 items"),
    (first_branch_with("anchor = [0.039392310120488, -0.006945927106677, 0.085]", "anchor = 0.039"),
     "branch[0].anchor: must be a list of 3 numbers, got a number"),
    (first_branch_with("anchor = [0.039392310120488, -0.006945927106677, 0.085]", 'anchor = [1, "2", 3]'),
     "branch[0].anchor[1]: must be a number, got a string"),
    (first_branch_with("solution = +1", "solution = 0.5"), "branch[0].solution: must be +1 or -1, got 0.5"),
    (first_branch_with("solution = +1", ""), "branch[0].solution: missing"),
    (first_branch_with("motor_axis = [0.939692620785908, -0.342020143325669, 0.0]", ""),
     "branch[0].motor_axis: missing"),
    (first_branch_with("motor_axis = [0.939692620785908, -0.342020143325669, 0.0]", "motor_axis = [0, 0, 0]"),
     "branch[0].motor_axis: must not be the zero vector"),
    (first_branch_with("arm_zero = [0.342020143325669, 0.939692620785908, 0.0]", "arm_zero = [1, 0, 0]"),
     "branch[0].arm_zero: must be perpendicular to motor_axis"),
    (first_branch_with("solution = +1", f"solution = +1\nmotor_pose = {IDENTITY}"),
     "branch[0].motor_origin: give either motor_pose or"),
    (first_branch_with("solution = +1", "solution = +1\nmotr_axis = [0, 0, 1]"), "branch[0].motr_axis: unknown field"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1]]"),
     "branch[0].motor_pose: must be 4 rows of 4 numbers, got 3 rows"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1], [0, 0, 0, 1]]"),
     "branch[0].motor_pose[2]: must be a list of 4 numbers, got 3 items"),
    (six_pose_branches("[[0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 1]]"),
     "branch[0].motor_pose: the upper-left 3x3 block must be a rotation"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, -1, 0], [0, 0, 0, 1]]"),
     "branch[0].motor_pose: the upper-left 3x3 block must be a rotation"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 1, 1]]"),
     "branch[0].motor_pose[3]: the bottom row must be [0, 0, 0, 1]"),
    (six_pose_branches(IDENTITY).replace(f"motor_pose = {IDENTITY}\n", "", 1), "branch[0].motor_pose: missing"),
    (GOOD.replace("rod_length = 0.09", "home_pose = [[2, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]\n"
                  "rod_length = 0.09"), "home_pose: the upper-left 3x3 block must be a rotation"),
    (GOOD.replace("rod_length = 0.09", "rod_length = = 0.09"), "not valid TOML"),
]


@pytest.mark.parametrize("text, message", BAD_FILES, ids=[message for _, message in BAD_FILES])
def test_a_bad_file_is_reported_with_the_field_it_concerns(tmp_path, text, message):
    path = tmp_path / "torso.toml"
    path.write_text(text)
    with pytest.raises(DescriptionError) as caught:
        load(path)
    assert str(caught.value).startswith(f"{path}: ")
    assert message in str(caught.value)


def test_an_unreadable_file_is_reported_by_name(tmp_path):
    with pytest.raises(DescriptionError, match="missing.toml: cannot be read"):
        load(tmp_path / "missing.toml")
    with pytest.raises(DescriptionError, match="cannot be read: Is a directory"):
        load(tmp_path)
    (tmp_path / "latin1.toml").write_bytes("rod_length = 0.09  # \xb5m\n".encode("latin-1"))
    with pytest.raises(DescriptionError, match="latin1.toml: not valid TOML: not UTF-8 text"):
        load(tmp_path / "latin1.toml")


def test_pose_branches_and_a_home_pose_in_millimetres_are_read_in_metres(tmp_path):
    path = tmp_path / "unit.toml"
    moved = "[[1, 0, 0, 20], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]"
    text = six_pose_branches(moved).replace("rod_length = 1.0", "rod_length = 1.0\nlength_unit = \"mm\"\n"
                                            "home_pose = [[1, 0, 0, 1.5], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]")
    path.write_text(text)
    description = load(path)
    assert (description.motor_arm_length, description.rod_length, description.home[0][3]) == (0.001, 0.001, 0.0015)
    expected = example_torso.identity()
    expected[0][3] = 0.02
    assert all(b.motor_pose == expected and b.solution == 1.0 for b in description.branches)


def test_the_example_in_millimetres_is_the_example_in_metres(tmp_path):
    data = tomllib.loads(GOOD)
    mm = [f"length_unit = \"mm\"\nmotor_arm_length = {data['motor_arm_length'] * 1000}\n"
          f"rod_length = {data['rod_length'] * 1000}\n"]
    for branch in data["branch"]:
        mm.append(f"[[branch]]\nanchor = {[v * 1000 for v in branch['anchor']]}\n"
                  f"motor_origin = {[v * 1000 for v in branch['motor_origin']]}\n"
                  f"motor_axis = {branch['motor_axis']}\narm_zero = {branch['arm_zero']}\n"
                  f"solution = {branch['solution']}\n")
    path = tmp_path / "mm.toml"
    path.write_text("".join(mm))
    from_file, built_in = load(path).make_torso(), example_torso.make_example_torso()
    pose = example_torso.make_pose((0.006, -0.004, 0.005), 0.1, -0.2, 0.3)
    assert from_file.inverse_kinematics(pose) == pytest.approx(built_in.inverse_kinematics(pose), abs=1e-12)
