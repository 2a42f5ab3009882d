"""The hostile torso file table: the drawing-style example file, the helpers that
edit it, and files that hold a mistake, each with the message (or a part of it)
that names the field or the line. The Python reader's tests and the test of the
C++ reader's agreement with it both read it, so it needs nothing but the
standard library."""

from __future__ import annotations

import re
from pathlib import Path

# The example torso as a drawing gives it, to 15 decimals, with motor origins,
# axes and arm directions.
DRAWN_FILE = Path(__file__).resolve().with_name("drawn_torso.toml")
GOOD = DRAWN_FILE.read_text()
FIRST_BRANCH = "[[branch]]  # 0\n"
POSE_BRANCH = """[[branch]]
anchor = [0.0, 0.0, 0.0]
motor_pose = {pose}
solution = 1
"""
IDENTITY = "[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]"
AXIS = "motor_axis = [0.939692620785908, -0.342020143325669, 0.0]"


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
