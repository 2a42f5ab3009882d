"""A torso described by its geometry, in metres: the two lengths every branch
shares, and six branches, each with its rod's anchor on the platform, its
motor's frame and its assembly mode.

A `Torso` is a frozen value: it checks what it is given when it is made, so a
torso that exists can always be solved, drawn and written to a file. It comes
from a file (`Torso.from_toml`), from `Torso.example()`, or from its fields.
"""

from __future__ import annotations

import datetime
import math
import numbers
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tavrino_torso_kinematics import TavrinoTorsoKinematics

    from ._native import Model

BRANCH_COUNT = 6
# The solvers' thresholds are absolute and meant for metres: a torso whose
# lengths or positions lie outside these bounds has been written in another
# unit (or is not a torso), and far outside them the arithmetic breaks down.
SHORTEST = 1e-6  # metres
FARTHEST = 1e3  # metres, for lengths and for every position's coordinates
RIGID_TOLERANCE = 1e-6  # how far a rotation block may be from orthonormal

Matrix = tuple[tuple[float, ...], ...]
IDENTITY: tuple[tuple[float, float, float, float], ...] = (
    (1.0, 0.0, 0.0, 0.0),
    (0.0, 1.0, 0.0, 0.0),
    (0.0, 0.0, 1.0, 0.0),
    (0.0, 0.0, 0.0, 1.0),
)


class DescriptionError(ValueError):
    """A torso description that cannot be used. The message names the field, as
    in "branch[3].anchor: must be a list of 3 numbers, got 2 items", and for a
    file that is not valid TOML the line."""


def kind(value: Any) -> str:
    """What a value is, in words."""
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, numbers.Integral):
        return "an integer"
    if isinstance(value, numbers.Real):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, (list, tuple)):
        return "a list"
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, (datetime.date, datetime.time)):
        return "a date or time"
    return f"a {type(value).__name__}"


def number(value: Any, field: str) -> float:
    """A finite float from a real number (not a boolean)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise DescriptionError(f"{field}: must be a number, got {kind(value)}")
    try:
        result = float(value)
    except OverflowError:
        raise DescriptionError(f"{field}: must be a finite number, got an integer too large for a float") from None
    if not math.isfinite(result):
        raise DescriptionError(f"{field}: must be a finite number, got {result}")
    return result


def items(value: Any, count: int, field: str, what: str) -> list[Any]:
    """The `count` items of a list, tuple or one-dimensional array."""
    if isinstance(value, (str, bytes, dict)) or not hasattr(value, "__getitem__"):
        raise DescriptionError(f"{field}: must be a list of {count} {what}, got {kind(value)}")
    try:
        result = list(value)
    except TypeError:  # a zero-dimensional array, or something that only looks like a list
        raise DescriptionError(f"{field}: must be a list of {count} {what}, got {kind(value)}") from None
    if len(result) != count:
        raise DescriptionError(f"{field}: must be a list of {count} {what}, got {len(result)} items")
    return result


class Unit:
    """The length unit a description is written in; values are divided by
    `per_metre` on the way in (exactly nothing happens for metres), and reported
    in the unit they were written in."""

    def __init__(self, name: str, per_metre: float) -> None:
        self.name, self.per_metre = name, per_metre

    def length(self, value: Any, field: str) -> float:
        written = number(value, field)
        result = written / self.per_metre
        if not SHORTEST <= result <= FARTHEST:
            raise DescriptionError(f"{field}: must be a length between {SHORTEST * self.per_metre:g} and "
                                   f"{FARTHEST * self.per_metre:g} {self.name}, got {written:g} {self.name}")
        return result

    def coordinate(self, value: Any, field: str) -> float:
        written = number(value, field)
        result = written / self.per_metre
        if not abs(result) <= FARTHEST:
            raise DescriptionError(f"{field}: must lie within {FARTHEST * self.per_metre:g} {self.name} of "
                                   f"the origin, got {written:g} {self.name}")
        return result

    def point(self, value: Any, field: str) -> tuple[float, float, float]:
        x, y, z = (self.coordinate(v, f"{field}[{i}]") for i, v in enumerate(items(value, 3, field, "numbers")))
        return (x, y, z)

    def pose(self, value: Any, field: str) -> tuple[tuple[float, float, float, float], ...]:
        """A 4x4 pose whose rotation block is orthonormal and right-handed and
        whose bottom row is (0, 0, 0, 1): anything else is a slip, and a singular
        motor pose would stop the solvers."""
        rows = items(value, 4, field, "rows of 4 numbers")
        pose = [[number(v, f"{field}[{r}][{c}]") for c, v in enumerate(items(row, 4, f"{field}[{r}]", "numbers"))]
                for r, row in enumerate(rows)]
        if pose[3] != [0.0, 0.0, 0.0, 1.0]:
            raise DescriptionError(f"{field}[3]: the bottom row must be [0, 0, 0, 1]")
        if not is_rotation([row[:3] for row in pose[:3]]):
            raise DescriptionError(f"{field}: the upper-left 3x3 block must be a rotation "
                                   "(orthonormal columns, right-handed)")
        translation = [self.coordinate(pose[r][3], f"{field}[{r}][3]") for r in range(3)]
        top = tuple((pose[r][0], pose[r][1], pose[r][2], translation[r]) for r in range(3))
        return top + ((0.0, 0.0, 0.0, 1.0),)


METRES = Unit("m", 1.0)
MILLIMETRES = Unit("mm", 1000.0)


def is_rotation(m: list[list[float]]) -> bool:
    # Entries of a rotation lie within [-1, 1]; bounding them first keeps the
    # products below finite, so that no NaN can slip through the comparisons.
    if not all(abs(v) <= 1.0 + RIGID_TOLERANCE for row in m for v in row):
        return False
    for i in range(3):
        for j in range(3):
            dot = sum(m[k][i] * m[k][j] for k in range(3))
            if not abs(dot - (1.0 if i == j else 0.0)) <= RIGID_TOLERANCE:
                return False
    return determinant3(m) > 0.0


def determinant3(m: list[list[float]]) -> float:
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
            - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
            + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]))


def assembly_mode(value: Any, field: str) -> float:
    solution = number(value, field)
    if solution not in (1.0, -1.0):
        raise DescriptionError(f"{field}: must be +1 or -1, got {solution:g}")
    return solution


@dataclass(frozen=True)
class Branch:
    """One branch: the rod's anchor on the platform (platform coordinates), the
    motor's frame in the world (z along the motor axis, x the arm at angle 0),
    and the assembly mode, +1 or -1. Metres."""

    anchor: tuple[float, float, float]
    t_world_motor: tuple[tuple[float, float, float, float], ...]
    solution: float

    def __post_init__(self) -> None:
        # Frozen: the checked and converted values (plain floats in tuples, from
        # lists or arrays too) are put in place behind the dataclass's back.
        object.__setattr__(self, "anchor", METRES.point(self.anchor, "anchor"))
        object.__setattr__(self, "t_world_motor", METRES.pose(self.t_world_motor, "t_world_motor"))
        object.__setattr__(self, "solution", assembly_mode(self.solution, "solution"))


@dataclass(frozen=True)
class Torso:
    """A six-branch torso in metres. `home` is the platform's home pose."""

    motor_arm_length: float
    rod_length: float
    branches: tuple[Branch, ...]
    home: tuple[tuple[float, ...], ...] = IDENTITY

    def __post_init__(self) -> None:
        object.__setattr__(self, "motor_arm_length", METRES.length(self.motor_arm_length, "motor_arm_length"))
        object.__setattr__(self, "rod_length", METRES.length(self.rod_length, "rod_length"))
        branches = items(self.branches, BRANCH_COUNT, "branches", "Branch values")
        for i, branch in enumerate(branches):
            if not isinstance(branch, Branch):
                raise DescriptionError(f"branches[{i}]: must be a Branch, got {kind(branch)}")
        object.__setattr__(self, "branches", tuple(branches))
        object.__setattr__(self, "home", METRES.pose(self.home, "home"))

    @classmethod
    def from_toml(cls, path: str | Path) -> Torso:
        """Reads a torso file (docs/describing-a-torso.md). Every problem raises
        DescriptionError, its message starting with the file's name."""
        from ._torso_file import read

        return read(Path(path))

    def to_toml(self, path: str | Path) -> None:
        """Writes the torso as a file that from_toml reads back exactly: in
        metres, each motor frame as a 4x4 motor_pose."""
        from ._torso_file import write

        write(self, Path(path))

    @classmethod
    def example(cls) -> Torso:
        """The built-in example torso, bit for bit the C++ ExampleTorso."""
        from ._example import example_torso

        return example_torso()

    @classmethod
    def symmetric(cls, *, motor_radius: float, motor_spread: float, anchor_radius: float, anchor_spread: float,
                  motor_arm_length: float, rod_length: float, home_height: float, axis: str = "radial",
                  solutions: tuple[float, ...] = (1.0, -1.0, 1.0, -1.0, 1.0, -1.0)) -> Torso:
        """The common layout of three pairs: pairs centred at 0, 120 and 240
        degrees about the world z axis, branch 2k at the centre minus the spread
        and 2k + 1 plus it. Motors on a circle of `motor_radius` in the plane
        z = 0, anchors on a circle of `anchor_radius` at z = `home_height` in
        platform coordinates, and home the identity (the platform frame is the
        world frame at home). Spreads in radians, lengths in metres.

        `axis` "radial": each motor axis points outwards, the arm at angle 0 is
        tangential (counter-clockwise). "tangential": each axis points along the
        circle, counter-clockwise, the arm at angle 0 inwards. Either way the
        motor frame's y is up, so positive angles lift the arm."""
        if axis not in ("radial", "tangential"):
            raise DescriptionError(f"axis: must be 'radial' or 'tangential', got {axis!r}")
        modes = items(solutions, BRANCH_COUNT, "solutions", "assembly modes")
        motor_radius, anchor_radius, home_height = (number(v, n) for v, n in (
            (motor_radius, "motor_radius"), (anchor_radius, "anchor_radius"), (home_height, "home_height")))
        branches = []
        for i in range(BRANCH_COUNT):
            centre, side = 2.0 * math.pi / 3.0 * (i // 2), -1.0 if i % 2 == 0 else 1.0
            m = centre + side * number(motor_spread, "motor_spread")
            a = centre + side * number(anchor_spread, "anchor_spread")
            c, s = math.cos(m), math.sin(m)
            x, z = ((-s, c, 0.0), (c, s, 0.0)) if axis == "radial" else ((-c, -s, 0.0), (-s, c, 0.0))
            origin = (motor_radius * c, motor_radius * s, 0.0)
            motor = tuple((x[r], (0.0, 0.0, 1.0)[r], z[r], origin[r]) for r in range(3)) + ((0.0, 0.0, 0.0, 1.0),)
            anchor = (anchor_radius * math.cos(a), anchor_radius * math.sin(a), home_height)
            branches.append(Branch(anchor, motor, assembly_mode(modes[i], f"solutions[{i}]")))
        return cls(motor_arm_length, rod_length, tuple(branches))

    def kinematics(self) -> TavrinoTorsoKinematics:
        """A TavrinoTorsoKinematics object with the six branches added."""
        from tavrino_torso_kinematics import TavrinoTorsoKinematics

        result = TavrinoTorsoKinematics(self.motor_arm_length, self.rod_length)
        for branch in self.branches:
            result.add_branch(branch.anchor, branch.t_world_motor, branch.solution)
        return result

    def model(self) -> Model:
        """A Model (arrays in and out, the whole C++ interface) of this torso."""
        import numpy as np

        from ._native import Model

        result = Model(self.motor_arm_length, self.rod_length)
        for branch in self.branches:
            result.add_branch(np.array(branch.anchor, dtype=np.float64),
                              np.array(branch.t_world_motor, dtype=np.float64), branch.solution)
        return result
