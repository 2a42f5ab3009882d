"""Torso files: the shipped example reads as the built-in torso, millimetres
become metres (kilograms and seconds stay as they are), and whatever a file
holds, a mistake is a DescriptionError that names the field (or for broken TOML
the line): never a traceback or a hang."""

from __future__ import annotations

import json
import math
import re
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tavrino_torso import DescriptionError, Torso

from .support import DRAWN_FILE

GOOD = DRAWN_FILE.read_text()
FIRST_BRANCH = "[[branch]]  # 0\n"
POSE_BRANCH = """[[branch]]
anchor = [0.0, 0.0, 0.0]
motor_pose = {pose}
solution = 1
"""
IDENTITY = "[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]"
AXIS = "motor_axis = [0.939692620785908, -0.342020143325669, 0.0]"


def read(tmp_path: Path, content: str | bytes) -> Torso:
    path = tmp_path / "torso.toml"
    if isinstance(content, str):
        path.write_text(content)
    else:
        path.write_bytes(content)
    return Torso.from_toml(path)


def first_branch_with(line_from: str, line_to: str) -> str:
    head, tail = GOOD.split(FIRST_BRANCH)
    assert line_from in tail
    return head + FIRST_BRANCH + tail.replace(line_from, line_to, 1)


def six_pose_branches(pose: str) -> str:
    return "motor_arm_length = 1.0\nrod_length = 1.0\n" + POSE_BRANCH.format(pose=pose) * 6


def in_millimetres(text: str) -> str:
    """The example file with every length and position written in millimetres."""
    def scaled(match: re.Match[str]) -> str:
        return match.group(1) + re.sub(r"-?\d+\.\d+(e-?\d+)?", lambda n: repr(float(n.group()) * 1000), match.group(2))
    text = re.sub(r"^((?:anchor|motor_origin|motor_arm_length|rod_length) = )(.*)$", scaled, text, flags=re.M)
    return text.replace('length_unit = "m"', 'length_unit = "mm"')


PAYLOAD = """
[payload]
mass = 1.8
centre_of_mass = [0.004, -0.003, 0.035]
inertia = [[0.0042, 0.0001, 0.0], [0.0001, 0.0047, 0.0], [0.0, 0.0, 0.0061]]
"""


def payload_with(line_from: str, line_to: str) -> str:
    assert line_from in PAYLOAD
    return GOOD + PAYLOAD.replace(line_from, line_to, 1)


BAD_FILES = [
    (GOOD.replace("motor_arm_length = 0.04", ""), "motor_arm_length: missing"),
    (GOOD.replace("rod_length = 0.09", 'rod_length = "90 mm"'), "rod_length: must be a number, got a string"),
    (GOOD.replace("rod_length = 0.09", "rod_length = true"), "rod_length: must be a number, got a boolean"),
    (GOOD.replace("rod_length = 0.09", "rod_length = nan"), "rod_length: must be a finite number, got nan"),
    (GOOD.replace("rod_length = 0.09", "rod_length = -inf"), "rod_length: must be a finite number, got -inf"),
    (GOOD.replace("rod_length = 0.09", "rod_length = 1979-05-27"), "rod_length: must be a number, got a date"),
    (first_branch_with("solution = +1", "solution = 1" + "0" * 400), "branch[0].solution: must be a finite number"),
    (GOOD.replace("motor_arm_length = 0.04", "motor_arm_length = -0.04"),
     "motor_arm_length: must be a length between 1e-06 and 1000 m, got -0.04 m"),
    # lengths so short that a search for the edge of the reach would never end
    (GOOD.replace("motor_arm_length = 0.04", "motor_arm_length = 1e-323").replace("rod_length = 0.09",
                                                                                   "rod_length = 1e-323"),
     "motor_arm_length: must be a length between 1e-06 and 1000 m, got 9.88131e-324 m"),
    # a torso in millimetres that says it is in metres
    (GOOD.replace("rod_length = 0.09", "rod_length = 90000"), "rod_length: must be a length between"),
    (in_millimetres(GOOD).replace("rod_length = 90.0", "rod_length = 0.0009"),
     "rod_length: must be a length between 0.001 and 1e+06 mm, got 0.0009 mm"),
    (first_branch_with("anchor = [0.039392310120488", "anchor = [2e3"),
     "branch[0].anchor[0]: must lie within 1000 m of the origin, got 2000 m"),
    (GOOD.replace('length_unit = "m"', 'length_unit = "inch"'), "length_unit: must be one of 'm', 'mm', got 'inch'"),
    (GOOD.replace('length_unit = "m"', "length_unit = []"), "length_unit: must be one of 'm', 'mm', got a list"),
    (GOOD.replace("rod_length = 0.09", "rod_length = 0.09\nrod_lenght = 0.09"), "rod_lenght: unknown field"),
    (GOOD + "\n[[branch]]\n", "branch: must be 6 [[branch]] tables, got 7"),
    (GOOD.split("[[branch]]  # 5")[0], "branch: must be 6 [[branch]] tables, got 5"),
    ("motor_arm_length = 1.0\nrod_length = 1.0\nbranch = 6\n", "branch: must be 6 [[branch]] tables, got an integer"),
    ("motor_arm_length = 1.0\nrod_length = 1.0\nbranch = [1, 2, 3, 4, 5, 6]\n",
     "branch[0]: must be a [[branch]] table, got an integer"),
    ("motor_arm_length = 1.0\nrod_length = 1.0\n", "branch: missing"),
    (first_branch_with("anchor = [0.039392310120488, -0.006945927106677, 0.085]", "anchor = [0.039, -0.006]"),
     "branch[0].anchor: must be a list of 3 numbers, got 2 items"),
    (first_branch_with("anchor = [0.039392310120488, -0.006945927106677, 0.085]", "anchor = 0.039"),
     "branch[0].anchor: must be a list of 3 numbers, got a number"),
    (first_branch_with("anchor = [0.039392310120488, -0.006945927106677, 0.085]", 'anchor = [1, "2", 3]'),
     "branch[0].anchor[1]: must be a number, got a string"),
    (first_branch_with("anchor = [0.039392310120488, -0.006945927106677, 0.085]", "anchor = {x = 1}"),
     "branch[0].anchor: must be a list of 3 numbers, got a table"),
    (first_branch_with("solution = +1", "solution = 0.5"), "branch[0].solution: must be +1 or -1, got 0.5"),
    (first_branch_with("solution = +1", ""), "branch[0].solution: missing"),
    (first_branch_with(AXIS, ""), "branch[0].motor_axis: missing"),
    (first_branch_with(AXIS, "motor_axis = [0, 0, 0]"), "branch[0].motor_axis: must not be the zero vector"),
    (first_branch_with(AXIS, "motor_axis = [0, 0, 1e400]"), "branch[0].motor_axis[2]: must be a finite number"),
    (first_branch_with("arm_zero = [0.342020143325669, 0.939692620785908, 0.0]", "arm_zero = [1, 0, 0]"),
     "branch[0].arm_zero: must be perpendicular to motor_axis"),
    (first_branch_with("solution = +1", f"solution = +1\nmotor_pose = {IDENTITY}"),
     "branch[0].motor_origin: give either motor_pose or"),
    (first_branch_with("solution = +1", "solution = +1\nmotr_axis = [0, 0, 1]"), "branch[0].motr_axis: unknown field"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1]]"),
     "branch[0].motor_pose: must be a list of 4 rows of 4 numbers, got 3 items"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1], [0, 0, 0, 1]]"),
     "branch[0].motor_pose[2]: must be a list of 4 numbers, got 3 items"),
    (six_pose_branches("[[0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 0, 1]]"),
     "branch[0].motor_pose: the upper-left 3x3 block must be a rotation"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, -1, 0], [0, 0, 0, 1]]"),
     "branch[0].motor_pose: the upper-left 3x3 block must be a rotation"),
    (six_pose_branches("[[1e300, 0, 0, 0], [0, 1e300, 0, 0], [0, 0, -1e300, 0], [0, 0, 0, 1]]"),
     "branch[0].motor_pose: the upper-left 3x3 block must be a rotation"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 1, 1]]"),
     "branch[0].motor_pose[3]: the bottom row must be [0, 0, 0, 1]"),
    (six_pose_branches("[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 1e308], [0, 0, 0, 1]]"),
     "branch[0].motor_pose[2][3]: must lie within 1000 m of the origin"),
    (six_pose_branches(IDENTITY).replace(f"motor_pose = {IDENTITY}\n", "", 1), "branch[0].motor_pose: missing"),
    (GOOD.replace("rod_length = 0.09", "home_pose = [[2, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]\n"
                  "rod_length = 0.09"), "home_pose: the upper-left 3x3 block must be a rotation"),
    # what the platform carries, what the motors can do, and gravity
    (payload_with("mass = 1.8", "mass = 0"), "payload.mass: must be more than 0, got 0"),
    (payload_with("mass = 1.8\n", ""), "payload.mass: missing"),
    (payload_with("centre_of_mass = [0.004, -0.003, 0.035]", "centre_of_mass = [0.004, -0.003]"),
     "payload.centre_of_mass: must be a list of 3 numbers, got 2 items"),
    (payload_with("[0.0001, 0.0047, 0.0]", "[0.0002, 0.0047, 0.0]"),
     "payload.inertia: must be symmetric, but [0][1] is 0.0001 and [1][0] is 0.0002"),
    (payload_with("[0.0, 0.0, 0.0061]", "[0.0, 0.0, -0.0061]"), "payload.inertia: must be positive definite"),
    (payload_with("[0.0, 0.0, 0.0061]", "[0.0, 0.0, 0.01]"),
     "payload.inertia: the principal moments must meet the triangle inequality"),
    (payload_with(", [0.0, 0.0, 0.0061]]", "]"), "payload.inertia: must be a list of 3 rows of 3 numbers, got 2"),
    (payload_with("[0.0, 0.0, 0.0061]", "[0.0, 0.0, 1e400]"), "payload.inertia[2][2]: must be a finite number"),
    (payload_with("mass = 1.8", "mass = 1.8\nmas = 1.8"), "payload.mas: unknown field"),
    (GOOD.replace("rod_length = 0.09", "rod_length = 0.09\npayload = 3"),
     "payload: must be a [payload] table, got an integer"),
    (GOOD + "\n[motors]\nspeed_limit = -7\n", "motors.speed_limit: must be more than 0, got -7"),
    (GOOD + "\n[motors]\narm_inertia = -1e-5\n", "motors.arm_inertia: must be 0 or more, got -1e-05"),
    (GOOD + "\n[motors]\ntorque_limit = true\n", "motors.torque_limit: must be a number, got a boolean"),
    (GOOD + "\n[motors]\ntorque_limt = 1\n", "motors.torque_limt: unknown field"),
    (GOOD.replace("rod_length = 0.09", "rod_length = 0.09\ngravity = [0, -9.81]"),
     "gravity: must be a list of 3 numbers, got 2 items"),
    # broken TOML: the line is named
    (GOOD.replace("rod_length = 0.09", "rod_length = = 0.09"), "not valid TOML: Invalid value (at line 12, column 14)"),
    (GOOD.replace("rod_length = 0.09", "rod_length = " + "[" * 500 + "]" * 500),
     "not valid TOML: arrays or tables nested too deeply (at line 12)"),
    (GOOD.replace("rod_length = 0.09", "rod_length = " + "{a=" * 500 + "1" + "}" * 500),
     "not valid TOML: arrays or tables nested too deeply (at line 12)"),
    (GOOD.replace("rod_length = 0.09", "rod_length = 1" + "0" * 5000),
     "not valid TOML: an integer with too many digits (at line 12)"),
    (GOOD.encode().replace(b"rod_length = 0.09 ", b"rod_length = 0.09 # \xb5m"),
     "not valid TOML: not UTF-8 text (at line 12, column 21)"),
    # keys that no torso file holds, refused before the parser sees them (16,000 dotted parts in
    # 32 KB once took it seconds)
    (GOOD.replace("rod_length = 0.09", ".".join(["a"] * 16_000) + " = 0.09"),
     "a key of more than 8 dotted parts (at line 12)"),
    (GOOD.replace("rod_length = 0.09", "[" + ".".join(["a"] * 16_000) + "]"), "a key of more than 8 dotted parts"),
    (GOOD.replace("rod_length = 0.09", "rod_length = {" + ".".join(["a"] * 9) + " = 1}"),
     "a key of more than 8 dotted parts"),
    (GOOD.replace("rod_length = 0.09", "r" * 101 + " = 0.09"), "a key longer than 100 characters (at line 12)"),
    (GOOD + "".join(f"k{i} = {i}\n" for i in range(10_001)), "more than 10000 keys"),
    # what the file holds is shown escaped
    (GOOD.replace("rod_length = 0.09", 'rod_length = 0.09\n"\\u001b]0;x\\u0007\\n\\u2028" = 1'),
     ": \\x1b]0;x\\x07\\n\\u2028: unknown field"),
]


@pytest.mark.parametrize("content, message", BAD_FILES, ids=[message for _, message in BAD_FILES])
def test_a_bad_file_is_reported_with_the_field_it_concerns(tmp_path, content, message):
    with pytest.raises(DescriptionError) as caught:
        read(tmp_path, content)
    assert str(caught.value).startswith(f"{tmp_path / 'torso.toml'}: ")
    assert message in str(caught.value)


def test_what_is_not_a_readable_torso_file_is_reported_by_name(tmp_path):
    with pytest.raises(DescriptionError, match="missing.toml: cannot be read: No such file"):
        Torso.from_toml(tmp_path / "missing.toml")
    with pytest.raises(DescriptionError, match="cannot be read: Is a directory"):
        Torso.from_toml(tmp_path)
    with pytest.raises(DescriptionError, match="^/dev/zero: cannot be read: not a regular file$"):
        Torso.from_toml("/dev/zero")  # would never end
    with pytest.raises(DescriptionError, match=r"^a\\x00b: cannot be read: a file name cannot hold a null character$"):
        Torso.from_toml("a\0b")
    with pytest.raises(DescriptionError, match=r"/a\\nb\\x1b\.toml: cannot be read: No such file"):
        Torso.from_toml(tmp_path / "a\nb\x1b.toml")
    (tmp_path / "big.toml").write_text("# padding\n" * 200_000)
    with pytest.raises(DescriptionError, match="big.toml: cannot be read: larger than 1024 KB"):
        Torso.from_toml(tmp_path / "big.toml")


def test_millimetres_are_read_as_metres(tmp_path):
    metres, millimetres = Torso.from_toml(DRAWN_FILE), read(tmp_path, in_millimetres(GOOD))
    assert (millimetres.motor_arm_length, millimetres.rod_length) == (metres.motor_arm_length, metres.rod_length)
    for a, b in zip(metres.branches, millimetres.branches, strict=True):
        assert np.allclose(b.anchor, a.anchor, rtol=1e-15, atol=1e-18)
        assert np.allclose(b.t_world_motor, a.t_world_motor, rtol=1e-15, atol=1e-18)


def test_pose_branches_and_a_home_pose_in_millimetres_are_read_in_metres(tmp_path):
    text = six_pose_branches("[[1, 0, 0, 20], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]").replace(
        "rod_length = 1.0", 'rod_length = 1.0\nlength_unit = "mm"\n'
        "home_pose = [[1, 0, 0, 1.5], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]")
    torso = read(tmp_path, text + PAYLOAD.replace("[0.004, -0.003, 0.035]", "[4, -3, 35]"))
    assert (torso.motor_arm_length, torso.rod_length, torso.home[0][3]) == (0.001, 0.001, 0.0015)
    assert torso.payload is not None and torso.payload.centre_of_mass == (0.004, -0.003, 0.035)
    assert (torso.payload.mass, torso.payload.inertia[1][1]) == (1.8, 0.0047)  # kg and kg m^2 whatever the unit
    moved = ((1.0, 0.0, 0.0, 0.02), *Torso.example().home[1:])
    assert all(b.t_world_motor == moved and b.solution == 1.0 for b in torso.branches)


@pytest.mark.parametrize("axis, arm_zero, z", [
    ("[5e-324, 0, 0]", "[0, 1e-300, 0]", [1.0, 0.0, 0.0]),  # denormal: once a ZeroDivisionError
    ("[1e308, 1e308, 0]", "[-1e300, 1e300, 0]", [math.sqrt(0.5), math.sqrt(0.5), 0.0]),  # once a zero frame
])
def test_a_motor_axis_of_any_finite_size_is_a_direction(tmp_path, axis, arm_zero, z):
    torso = read(tmp_path, first_branch_with(AXIS, f"motor_axis = {axis}").replace(
        "arm_zero = [0.342020143325669, 0.939692620785908, 0.0]", f"arm_zero = {arm_zero}", 1))
    assert [row[2] for row in torso.branches[0].t_world_motor[:3]] == pytest.approx(z, abs=1e-15)
    assert all(math.isfinite(a) for a in torso.kinematics().inverse_kinematics(torso.home))


# Fuzzing: the example file as TOML values, with one field replaced by anything
# TOML can hold or removed; the reader either makes a torso or says what is wrong.
SCALARS = (st.integers() | st.floats() | st.booleans() | st.text(max_size=8) | st.dates())
VALUES = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=5)
                      | st.dictionaries(st.text(max_size=4), inner, max_size=3), max_leaves=12)
EXAMPLE_VALUES = {
    "length_unit": "m", "motor_arm_length": 0.04, "rod_length": 0.09,
    "branch": [{"anchor": [b.anchor[0] * 1.0, b.anchor[1], b.anchor[2]],
                "motor_pose": [list(row) for row in b.t_world_motor], "solution": int(b.solution)}
               for b in Torso.example().branches],
}


def toml_value(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return "nan" if math.isnan(value) else {math.inf: "inf", -math.inf: "-inf"}.get(value, repr(value))
    if isinstance(value, (int, str)):
        return json.dumps(value) if isinstance(value, str) else str(value)
    if isinstance(value, list):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{json.dumps(k)} = {toml_value(v)}" for k, v in value.items()) + "}"
    return value.isoformat()  # a date


def toml_document(values: dict[str, object]) -> str:
    return "".join(f"{json.dumps(key)} = {toml_value(value)}\n" for key, value in values.items())


@st.composite
def mutated_examples(draw: st.DrawFn) -> dict[str, object]:
    values = json.loads(json.dumps(EXAMPLE_VALUES))
    container, key = values, draw(st.sampled_from(sorted(values)))
    while isinstance(container[key], (list, dict)) and draw(st.booleans()):
        container = container[key]
        key = draw(st.integers(0, len(container) - 1)) if isinstance(container, list) else draw(
            st.sampled_from(sorted(container)))
    if draw(st.booleans()) and isinstance(container, dict):
        del container[key]
    else:
        container[key] = draw(VALUES)
    return values


@settings(max_examples=3 * settings.default.max_examples)
@given(values=mutated_examples())
def test_any_mutation_of_the_example_is_read_or_reported(tmp_path_factory, values):
    path = tmp_path_factory.mktemp("fuzz") / "torso.toml"
    path.write_text(toml_document(values))
    try:
        torso = Torso.from_toml(path)
    except DescriptionError as error:
        assert str(error).startswith(f"{path}: ") and "\n" not in str(error)
    else:
        assert len(torso.kinematics().inverse_kinematics(torso.home)) == 6


@settings(max_examples=3 * settings.default.max_examples)
@given(text=st.lists(st.sampled_from([*"[]{}=\"'#.,+-_ \n\t019eEnaifxo\\\xb5\x00", "[[branch]]\n", "anchor = ",
                                      "rod_length = ", "solution", "1e-323", "inf", '"""', "'''"])).map("".join),
       head=st.sampled_from(["", GOOD[:400], GOOD]))
def test_any_text_is_read_or_reported(tmp_path_factory, text, head):
    path = tmp_path_factory.mktemp("fuzz") / "torso.toml"
    path.write_text(head + text)
    try:
        Torso.from_toml(path)
    except DescriptionError as error:
        assert str(error).startswith(f"{path}: ")
