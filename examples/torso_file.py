"""A torso described in a TOML file (read with the standard library's tomllib):
the two lengths and six branches, each with its rod's anchor on the platform, its
motor's frame and its assembly mode. See docs/describing-a-torso.md.

    motor_arm_length = 0.04        # every length in one unit; metres unless
    rod_length = 0.09              # length_unit = "mm" says otherwise
    # home_pose = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]

    [[branch]]                     # branch 0; the order of the tables is the joint index
    anchor = [0.0394, -0.0069, 0.085]   # rod joint on the platform, platform frame
    motor_origin = [0.047, -0.0171, 0.0]  # arm pivot, world frame
    motor_axis = [0.9397, -0.342, 0.0]    # direction of the motor axis (z)
    arm_zero = [0.342, 0.9397, 0.0]       # direction of the arm at angle 0 (x)
    solution = 1                          # assembly mode: +1 or -1

Instead of motor_origin, motor_axis and arm_zero a branch may give the motor
frame as a 4x4 `motor_pose`, row by row, as add_branch takes it.

The description read is always in metres, the unit that the library's forward
kinematics is tuned for: a file in millimetres has every length and position
(the translations of motor_pose and home_pose included) divided by 1000.

Every mistake is reported as a DescriptionError whose message names the field,
for example "branch[3].anchor: must be a list of 3 numbers, got 2 items".
"""

from __future__ import annotations

import math
import tomllib
from pathlib import Path
from typing import Any, NamedTuple

from example_torso import Branch, Matrix, identity
from tavrino_torso_kinematics import TavrinoTorsoKinematics

BRANCH_COUNT = 6
LENGTH_UNITS = {"m": 1.0, "mm": 1000.0}  # units per metre
CAD_FIELDS = ("motor_origin", "motor_axis", "arm_zero")
TOP_FIELDS = ("motor_arm_length", "rod_length", "length_unit", "home_pose", "branch")
BRANCH_FIELDS = ("anchor", "solution", "motor_pose", *CAD_FIELDS)
RIGID_TOLERANCE = 1e-6  # how far a rotation block may be from orthonormal
PERPENDICULAR_TOLERANCE_DEG = 1.0  # how far arm_zero may be from square to motor_axis


class DescriptionError(ValueError):
    """A torso file that cannot be used; the message names the field."""


class TorsoDescription(NamedTuple):
    motor_arm_length: float
    rod_length: float
    branches: list[Branch]
    home: Matrix

    def make_torso(self) -> TavrinoTorsoKinematics:
        torso = TavrinoTorsoKinematics(self.motor_arm_length, self.rod_length)
        for branch in self.branches:
            torso.add_branch(branch.anchor, branch.motor_pose, branch.solution)
        return torso


def kind(value: Any) -> str:
    """What a TOML value is, in words."""
    names = {bool: "a boolean", int: "an integer", float: "a number", str: "a string",
             list: "a list", dict: "a table"}
    return names.get(type(value), "a date or time")


def number(value: Any, field: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise DescriptionError(f"{field}: must be a number, got {kind(value)}")
    try:
        result = float(value)
    except OverflowError:
        raise DescriptionError(f"{field}: must be a finite number, got an integer too large for a float") from None
    if not math.isfinite(result):
        raise DescriptionError(f"{field}: must be a finite number, got {result}")
    return result


def numbers(value: Any, count: int, field: str) -> list[float]:
    if not isinstance(value, list):
        raise DescriptionError(f"{field}: must be a list of {count} numbers, got {kind(value)}")
    if len(value) != count:
        raise DescriptionError(f"{field}: must be a list of {count} numbers, got {len(value)} items")
    return [number(v, f"{field}[{i}]") for i, v in enumerate(value)]


def length(value: Any, field: str) -> float:
    result = number(value, field)
    if not result > 0.0:
        raise DescriptionError(f"{field}: must be a positive length, got {result:g}")
    return result


def rigid_pose(value: Any, field: str) -> Matrix:
    """A 4x4 pose whose rotation block is orthonormal and right-handed and whose
    bottom row is (0, 0, 0, 1): anything else is a slip in the file, and a
    singular motor pose would stop the library."""
    if not isinstance(value, list) or len(value) != 4:
        got = f"{len(value)} rows" if isinstance(value, list) else kind(value)
        raise DescriptionError(f"{field}: must be 4 rows of 4 numbers, got {got}")
    pose = [numbers(row, 4, f"{field}[{r}]") for r, row in enumerate(value)]
    if pose[3] != [0.0, 0.0, 0.0, 1.0]:
        raise DescriptionError(f"{field}[3]: the bottom row must be [0, 0, 0, 1]")
    worst = max(abs(sum(pose[k][i] * pose[k][j] for k in range(3)) - (i == j)) for i in range(3) for j in range(3))
    if worst > RIGID_TOLERANCE or determinant3(pose) < 0.0:
        raise DescriptionError(f"{field}: the upper-left 3x3 block must be a rotation "
                               "(orthonormal columns, right-handed)")
    return pose


def determinant3(m: Matrix) -> float:
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
            - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
            + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]))


def unit(v: list[float]) -> list[float]:
    norm = math.sqrt(sum(c * c for c in v))
    return [c / norm for c in v]


def motor_pose_from_cad(origin: list[float], axis: list[float], arm_zero: list[float], field: str) -> Matrix:
    """The motor frame from what a drawing shows: z along the motor axis, x along
    the arm at angle 0 (squared up to the axis), y = z cross x, so that positive
    angles turn the arm from x towards y, right-handed about the axis."""
    if not any(axis):
        raise DescriptionError(f"{field}.motor_axis: must not be the zero vector")
    if not any(arm_zero):
        raise DescriptionError(f"{field}.arm_zero: must not be the zero vector")
    z = unit(axis)
    along = sum(a * b for a, b in zip(arm_zero, z))
    off_square = math.degrees(math.asin(min(1.0, abs(along) / math.sqrt(sum(c * c for c in arm_zero)))))
    if off_square > PERPENDICULAR_TOLERANCE_DEG:
        raise DescriptionError(f"{field}.arm_zero: must be perpendicular to motor_axis, "
                               f"is {off_square:.1f} degrees off")
    x = unit([a - along * b for a, b in zip(arm_zero, z)])
    y = [z[1] * x[2] - z[2] * x[1], z[2] * x[0] - z[0] * x[2], z[0] * x[1] - z[1] * x[0]]
    return [[x[r], y[r], z[r], origin[r]] for r in range(3)] + [[0.0, 0.0, 0.0, 1.0]]


def require(table: dict, name: str, field: str) -> Any:
    if name not in table:
        raise DescriptionError(f"{field}: missing")
    return table[name]


def reject_unknown(table: dict, known: tuple[str, ...], where: str) -> None:
    for name in table:
        if name not in known:
            field = f"{where}.{name}" if where else name
            raise DescriptionError(f"{field}: unknown field (known: {', '.join(known)})")


def in_metres(pose: Matrix, per_metre: float) -> Matrix:
    return [row[:3] + [row[3] / per_metre] for row in pose[:3]] + [pose[3]]


def parse_branch(table: Any, index: int, per_metre: float) -> Branch:
    where = f"branch[{index}]"
    if not isinstance(table, dict):
        raise DescriptionError(f"{where}: must be a [[branch]] table, got {kind(table)}")
    reject_unknown(table, BRANCH_FIELDS, where)
    anchor = numbers(require(table, "anchor", f"{where}.anchor"), 3, f"{where}.anchor")
    solution = number(require(table, "solution", f"{where}.solution"), f"{where}.solution")
    if solution not in (1.0, -1.0):
        raise DescriptionError(f"{where}.solution: must be +1 or -1, got {solution:g}")
    cad = [name for name in CAD_FIELDS if name in table]
    if "motor_pose" in table:
        if cad:
            raise DescriptionError(f"{where}.{cad[0]}: give either motor_pose or "
                                   "motor_origin, motor_axis and arm_zero, not both")
        pose = rigid_pose(table["motor_pose"], f"{where}.motor_pose")
    else:
        if not cad:
            raise DescriptionError(f"{where}.motor_pose: missing (or give motor_origin, motor_axis and arm_zero)")
        origin, axis, arm_zero = (numbers(require(table, n, f"{where}.{n}"), 3, f"{where}.{n}") for n in CAD_FIELDS)
        pose = motor_pose_from_cad(origin, axis, arm_zero, where)
    return Branch(tuple(v / per_metre for v in anchor), in_metres(pose, per_metre), solution)


def parse(data: dict) -> TorsoDescription:
    reject_unknown(data, TOP_FIELDS, "")
    arm = length(require(data, "motor_arm_length", "motor_arm_length"), "motor_arm_length")
    rod = length(require(data, "rod_length", "rod_length"), "rod_length")
    unit_name = data.get("length_unit", "m")
    if unit_name not in LENGTH_UNITS:
        raise DescriptionError(f"length_unit: must be one of {', '.join(map(repr, LENGTH_UNITS))}, got {unit_name!r}")
    per_metre = LENGTH_UNITS[unit_name]
    home = in_metres(rigid_pose(data["home_pose"], "home_pose"), per_metre) if "home_pose" in data else identity()
    tables = require(data, "branch", "branch")
    if not isinstance(tables, list):
        raise DescriptionError(f"branch: must be {BRANCH_COUNT} [[branch]] tables, got {kind(tables)}")
    if len(tables) != BRANCH_COUNT:
        raise DescriptionError(f"branch: must be {BRANCH_COUNT} [[branch]] tables, got {len(tables)}")
    branches = [parse_branch(table, i, per_metre) for i, table in enumerate(tables)]
    return TorsoDescription(arm / per_metre, rod / per_metre, branches, home)


def load(path: Path) -> TorsoDescription:
    """Reads and checks a torso file; every problem is a DescriptionError that
    starts with the file's name."""
    try:
        with open(path, "rb") as file:
            data = tomllib.load(file)
        return parse(data)
    except OSError as error:
        raise DescriptionError(f"{path}: cannot be read: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise DescriptionError(f"{path}: not valid TOML: {error}") from None
    except UnicodeDecodeError as error:
        raise DescriptionError(f"{path}: not valid TOML: not UTF-8 text (byte {error.start})") from None
    except DescriptionError as error:
        raise DescriptionError(f"{path}: {error}") from None
