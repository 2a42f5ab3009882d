"""Torso files: TOML read with the standard library's tomllib, and written back.

    length_unit = "mm"            # "m" (the default) or "mm"; the torso is
    motor_arm_length = 40         # converted to metres as it is read
    rod_length = 90
    # home_pose = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]

    [[branch]]                    # branch 0; the order of the tables is the joint index
    anchor = [39.4, -6.9, 85.0]   # rod joint on the platform, platform frame
    motor_origin = [47.0, -17.1, 0.0]   # arm pivot, world frame
    motor_axis = [0.9397, -0.342, 0.0]  # direction of the motor axis (z)
    arm_zero = [0.342, 0.9397, 0.0]     # direction of the arm at angle 0 (x)
    solution = 1                        # assembly mode: +1 or -1

Instead of motor_origin, motor_axis and arm_zero a branch may give its motor
frame as a 4x4 `motor_pose`, row by row. Every mistake, whatever the file holds,
is a DescriptionError that names the file and the field, or for broken TOML the
line.
"""

from __future__ import annotations

import math
import re
import stat
import tomllib
from pathlib import Path
from typing import Any

from .torso import (BRANCH_COUNT, METRES, MILLIMETRES, DescriptionError, IDENTITY, Branch, Torso, Unit,
                    assembly_mode, items, kind, number)

UNITS = {"m": METRES, "mm": MILLIMETRES}
CAD_FIELDS = ("motor_origin", "motor_axis", "arm_zero")
TOP_FIELDS = ("motor_arm_length", "rod_length", "length_unit", "home_pose", "branch")
BRANCH_FIELDS = ("anchor", "solution", "motor_pose", *CAD_FIELDS)
PERPENDICULAR_TOLERANCE_DEG = 1.0  # how far arm_zero may be from square to motor_axis
LARGEST_FILE = 1 << 20  # bytes; a torso takes a few kilobytes


def read(path: Path) -> Torso:
    """Reads and checks a torso file; every problem is a DescriptionError that
    starts with the file's name."""
    try:
        return parse(load_toml(read_bytes(path)))
    except DescriptionError as error:
        raise DescriptionError(f"{path}: {error}") from None


def read_bytes(path: Path) -> bytes:
    try:
        # Only regular files: a FIFO would block the open, a device never end.
        info = path.stat()
        if not stat.S_ISREG(info.st_mode) and not stat.S_ISDIR(info.st_mode):
            raise DescriptionError("cannot be read: not a regular file")
        with open(path, "rb") as file:
            data = file.read(LARGEST_FILE + 1)
    except OSError as error:
        raise DescriptionError(f"cannot be read: {error.strerror or error}") from None
    if len(data) > LARGEST_FILE:
        raise DescriptionError(f"cannot be read: larger than {LARGEST_FILE // 1024} KB, too large for a torso file")
    return data


def load_toml(data: bytes) -> dict[str, Any]:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        column = error.start - data.rfind(b"\n", 0, error.start)
        raise DescriptionError(f"not valid TOML: not UTF-8 text (at line {line}, column {column})") from None
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise DescriptionError(f"not valid TOML: {error}") from None
    except RecursionError:
        raise DescriptionError(f"not valid TOML: arrays or tables nested too deeply{deepest_line(text)}") from None
    except ValueError:
        # The one ValueError tomllib lets through: an integer with more digits
        # than Python converts (sys.get_int_max_str_digits).
        raise DescriptionError(f"not valid TOML: an integer with too many digits{longest_number_line(text)}") from None


def deepest_line(text: str) -> str:
    """Where brackets first nest deeper than anyone writes them by hand, found by
    counting them outside strings and comments, for the error message."""
    depth = 0
    for number_, line in enumerate(text.splitlines(), 1):
        quote = ""
        for char in line:
            if quote:
                quote = "" if char == quote else quote
            elif char in "\"'":
                quote = char
            elif char == "#":
                break
            elif char in "[{":
                depth += 1
                if depth > 100:
                    return f" (at line {number_})"
            elif char in "]}":
                depth -= 1
    return ""


def longest_number_line(text: str) -> str:
    for number_, line in enumerate(text.splitlines(), 1):
        if re.search(r"[0-9_]{4000}", line):
            return f" (at line {number_})"
    return ""


def require(table: dict[str, Any], name: str, field: str) -> Any:
    if name not in table:
        raise DescriptionError(f"{field}: missing")
    return table[name]


def reject_unknown(table: dict[str, Any], known: tuple[str, ...], where: str) -> None:
    for name in table:
        if name not in known:
            field = f"{where}.{name}" if where else name
            raise DescriptionError(f"{field}: unknown field (known: {', '.join(known)})")


def direction(value: Any, field: str) -> list[float]:
    """A unit vector along a non-zero vector of any finite size: scaled by its
    largest component first, so that neither a huge nor a denormal vector
    overflows or underflows on the way."""
    vector = [number(v, f"{field}[{i}]") for i, v in enumerate(items(value, 3, field, "numbers"))]
    largest = max(abs(c) for c in vector)
    if largest == 0.0:
        raise DescriptionError(f"{field}: must not be the zero vector")
    scaled = [c / largest for c in vector]
    norm = math.sqrt(sum(c * c for c in scaled))
    return [c / norm for c in scaled]


def motor_pose_from_cad(table: dict[str, Any], where: str, unit: Unit) -> tuple[tuple[float, float, float, float], ...]:
    """The motor frame from what a drawing shows: z along the motor axis, x along
    the arm at angle 0 (squared up to the axis), y = z cross x, so that positive
    angles turn the arm from x towards y, right-handed about the axis."""
    fields = {name: f"{where}.{name}" for name in CAD_FIELDS}
    origin = unit.point(require(table, "motor_origin", fields["motor_origin"]), fields["motor_origin"])
    z = direction(require(table, "motor_axis", fields["motor_axis"]), fields["motor_axis"])
    arm_zero = direction(require(table, "arm_zero", fields["arm_zero"]), fields["arm_zero"])
    along = sum(a * b for a, b in zip(arm_zero, z))
    off_square = math.degrees(math.asin(min(1.0, abs(along))))
    if off_square > PERPENDICULAR_TOLERANCE_DEG:
        raise DescriptionError(f"{fields['arm_zero']}: must be perpendicular to motor_axis, "
                               f"is {off_square:.1f} degrees off")
    squared = [a - along * b for a, b in zip(arm_zero, z)]
    norm = math.sqrt(sum(c * c for c in squared))
    x = [c / norm for c in squared]
    y = [z[1] * x[2] - z[2] * x[1], z[2] * x[0] - z[0] * x[2], z[0] * x[1] - z[1] * x[0]]
    return tuple((x[r], y[r], z[r], origin[r]) for r in range(3)) + ((0.0, 0.0, 0.0, 1.0),)


def parse_branch(table: Any, index: int, unit: Unit) -> Branch:
    where = f"branch[{index}]"
    if not isinstance(table, dict):
        raise DescriptionError(f"{where}: must be a [[branch]] table, got {kind(table)}")
    reject_unknown(table, BRANCH_FIELDS, where)
    anchor = unit.point(require(table, "anchor", f"{where}.anchor"), f"{where}.anchor")
    solution = assembly_mode(require(table, "solution", f"{where}.solution"), f"{where}.solution")
    cad = [name for name in CAD_FIELDS if name in table]
    if "motor_pose" in table:
        if cad:
            raise DescriptionError(f"{where}.{cad[0]}: give either motor_pose or "
                                   "motor_origin, motor_axis and arm_zero, not both")
        pose = unit.pose(table["motor_pose"], f"{where}.motor_pose")
    elif not cad:
        raise DescriptionError(f"{where}.motor_pose: missing (or give motor_origin, motor_axis and arm_zero)")
    else:
        pose = motor_pose_from_cad(table, where, unit)
    try:
        return Branch(anchor, pose, solution)
    except DescriptionError as error:  # in metres now, checked once more: cannot fail, but would name the branch
        raise DescriptionError(f"{where}.{error}") from None


def length_unit(data: dict[str, Any]) -> Unit:
    name = data.get("length_unit", "m")
    if not isinstance(name, str):
        raise DescriptionError(f"length_unit: must be one of {', '.join(map(repr, UNITS))}, got {kind(name)}")
    if name not in UNITS:
        shown = repr(name if len(name) <= 20 else name[:20] + "...")
        raise DescriptionError(f"length_unit: must be one of {', '.join(map(repr, UNITS))}, got {shown}")
    return UNITS[name]


def parse(data: dict[str, Any]) -> Torso:
    reject_unknown(data, TOP_FIELDS, "")
    unit = length_unit(data)
    arm = unit.length(require(data, "motor_arm_length", "motor_arm_length"), "motor_arm_length")
    rod = unit.length(require(data, "rod_length", "rod_length"), "rod_length")
    home = unit.pose(data["home_pose"], "home_pose") if "home_pose" in data else IDENTITY
    tables = require(data, "branch", "branch")
    if not isinstance(tables, list):
        raise DescriptionError(f"branch: must be {BRANCH_COUNT} [[branch]] tables, got {kind(tables)}")
    if len(tables) != BRANCH_COUNT:
        raise DescriptionError(f"branch: must be {BRANCH_COUNT} [[branch]] tables, got {len(tables)}")
    branches = tuple(parse_branch(table, i, unit) for i, table in enumerate(tables))
    return Torso(arm, rod, branches, home)


def toml_float(value: float) -> str:
    # repr is the shortest text that reads back as the same float, and is valid
    # TOML for every finite value (a Torso holds no other).
    return repr(float(value))


def toml_row(values: tuple[float, ...]) -> str:
    return "[" + ", ".join(toml_float(v) for v in values) + "]"


def toml_pose(pose: tuple[tuple[float, ...], ...]) -> str:
    return "[\n" + "".join(f"  {toml_row(row)},\n" for row in pose) + "]"


def write(torso: Torso, path: Path) -> None:
    lines = [
        "# A torso description (docs/describing-a-torso.md); lengths and positions in metres.",
        'length_unit = "m"',
        f"motor_arm_length = {toml_float(torso.motor_arm_length)}",
        f"rod_length = {toml_float(torso.rod_length)}",
        f"home_pose = {toml_pose(torso.home)}",
    ]
    for i, branch in enumerate(torso.branches):
        lines += [
            "",
            f"[[branch]]  # {i}",
            f"anchor = {toml_row(branch.anchor)}",
            f"motor_pose = {toml_pose(branch.t_world_motor)}",
            f"solution = {branch.solution:+.0f}",
        ]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
