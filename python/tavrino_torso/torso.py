"""A torso described by its geometry, in metres: the two lengths every branch
shares, and six branches, each with its rod's anchor on the platform, its
motor's frame and its assembly mode.

A `Torso` is a frozen value: it checks what it is given when it is made, so a
torso that exists can always be solved, drawn and written to a file. It comes
from a file (`Torso.from_toml`), from `Torso.example()` (the file
example_torso.toml shipped in this package), or from its fields.

A torso file is TOML, read with the standard library's tomllib and written back
exactly by `Torso.to_toml`:

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
frame as a 4x4 `motor_pose`, row by row. Three optional parts describe what the
motors carry and can do, for the dynamics and motion planning:

    # gravity = [0, 0, -9.81]     # m/s^2, world frame (the default)

    [payload]                     # the platform and what it carries, one rigid body
    mass = 1.8                    # kg
    centre_of_mass = [4, -3, 35]  # platform coordinates, in length_unit
    inertia = [[0.0042, 0.0001, 0.0], [0.0001, 0.0047, 0.0], [0.0, 0.0, 0.0061]]  # kg m^2, about it

    [motors]                      # every motor alike; each field may be left out
    arm_inertia = 3.5e-5          # kg m^2, arm and rotor about the motor axis (0 if left out)
    speed_limit = 7.0             # rad/s (no limit if left out)
    acceleration_limit = 90.0     # rad/s^2
    torque_limit = 1.1            # N m

Every mistake, whatever the file holds, is a DescriptionError that names the
file and the field, or for broken TOML the line.
"""

from __future__ import annotations

import datetime
import functools
import importlib.resources
import math
import numbers
import re
import stat
import tomllib
import unicodedata
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
# How far an inertia tensor may be from symmetric, and its principal moments
# from the triangle inequality, relative to its largest entry: room for the
# rounding of a value copied from a CAD program, not for a mistake.
INERTIA_TOLERANCE = 1e-6
GRAVITY = (0.0, 0.0, -9.81)  # m/s^2, world frame

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


# Characters that would act on a terminal, or reorder or hide text, rather than
# show: control characters (Cc), format characters such as the bidirectional
# overrides (Cf), line and paragraph separators, and lone surrogates (which a
# file name undecodable as UTF-8 holds).
UNPRINTABLE = frozenset(("Cc", "Cf", "Zl", "Zp", "Cs"))
NAMED_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escaped(text: str) -> str:
    """The text with every character that would not show as itself written as
    an escape (\\n, \\x1b, \\u202e, ...): what a file or a file name holds is
    shown in messages this way, on one line and harmless to a terminal."""
    if text.isprintable():
        return text
    return "".join(NAMED_ESCAPES.get(c) or (escape_code(c) if unicodedata.category(c) in UNPRINTABLE else c)
                   for c in text)


def escape_code(char: str) -> str:
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


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


def positive(value: Any, field: str) -> float:
    result = number(value, field)
    if not result > 0.0:
        raise DescriptionError(f"{field}: must be more than 0, got {result:g}")
    return result


def inertia_tensor(value: Any, field: str) -> tuple[tuple[float, float, float], ...]:
    """An inertia tensor: 3x3, symmetric, positive definite, and with principal
    moments that meet the triangle inequality (each at most the sum of the other
    two), as those of every rigid body do."""
    import numpy as np

    rows = items(value, 3, field, "rows of 3 numbers")
    tensor = [[number(v, f"{field}[{r}][{c}]") for c, v in enumerate(items(row, 3, f"{field}[{r}]", "numbers"))]
              for r, row in enumerate(rows)]
    largest = max(abs(v) for row in tensor for v in row)
    if largest == 0.0:
        raise DescriptionError(f"{field}: must be positive definite, got all zeros")
    for r, c in ((0, 1), (0, 2), (1, 2)):
        if abs(tensor[r][c] - tensor[c][r]) > INERTIA_TOLERANCE * largest:
            raise DescriptionError(f"{field}: must be symmetric, but [{r}][{c}] is {tensor[r][c]:g} "
                                   f"and [{c}][{r}] is {tensor[c][r]:g}")
    # Scaled to order one first, so that no tensor of finite entries overflows.
    moments = np.linalg.eigvalsh(np.array(tensor) / largest) * largest
    shown = ", ".join(f"{m:.6g}" for m in moments)
    if not moments[0] > 0.0:
        raise DescriptionError(f"{field}: must be positive definite, got principal moments {shown}")
    if moments[2] > moments[0] + moments[1] + INERTIA_TOLERANCE * largest:
        raise DescriptionError(f"{field}: the principal moments must meet the triangle inequality (the largest "
                               f"at most the sum of the other two), got {shown}")
    return tuple((row[0], row[1], row[2]) for row in tensor)


def limit(value: Any, field: str) -> float | None:
    return None if value is None else positive(value, field)


@dataclass(frozen=True)
class Payload:
    """The platform and everything it carries, taken as one rigid body: its mass
    in kg, its centre of mass in platform coordinates (metres), and its inertia
    tensor in kg m^2 about the centre of mass, in platform axes."""

    mass: float
    centre_of_mass: tuple[float, float, float]
    inertia: tuple[tuple[float, float, float], ...]

    def __post_init__(self) -> None:
        object.__setattr__(self, "mass", positive(self.mass, "mass"))
        object.__setattr__(self, "centre_of_mass", METRES.point(self.centre_of_mass, "centre_of_mass"))
        object.__setattr__(self, "inertia", inertia_tensor(self.inertia, "inertia"))


@dataclass(frozen=True)
class Motors:
    """The six motors, all alike: the inertia of each arm together with its
    motor's rotor about the motor axis (kg m^2), and the limits of each motor's
    speed (rad/s), acceleration (rad/s^2) and torque (N m). A limit left at None
    is no limit."""

    arm_inertia: float = 0.0
    speed_limit: float | None = None
    acceleration_limit: float | None = None
    torque_limit: float | None = None

    def __post_init__(self) -> None:
        arm = number(self.arm_inertia, "arm_inertia")
        if arm < 0.0:
            raise DescriptionError(f"arm_inertia: must be 0 or more, got {arm:g}")
        object.__setattr__(self, "arm_inertia", arm)
        for name in ("speed_limit", "acceleration_limit", "torque_limit"):
            object.__setattr__(self, name, limit(getattr(self, name), name))


def gravity_vector(value: Any, field: str) -> tuple[float, float, float]:
    x, y, z = (number(v, f"{field}[{i}]") for i, v in enumerate(items(value, 3, field, "numbers")))
    return (x, y, z)


@dataclass(frozen=True)
class Torso:
    """A six-branch torso in metres. `home` is the platform's home pose;
    `payload` (None when not described) what the platform carries, `motors`
    (None when not described) the motors' arm inertia and limits, and `gravity`
    the acceleration of gravity in the world frame (m/s^2)."""

    motor_arm_length: float
    rod_length: float
    branches: tuple[Branch, ...]
    home: tuple[tuple[float, ...], ...] = IDENTITY
    payload: Payload | None = None
    motors: Motors | None = None
    gravity: tuple[float, float, float] = GRAVITY

    def __post_init__(self) -> None:
        object.__setattr__(self, "motor_arm_length", METRES.length(self.motor_arm_length, "motor_arm_length"))
        object.__setattr__(self, "rod_length", METRES.length(self.rod_length, "rod_length"))
        branches = items(self.branches, BRANCH_COUNT, "branches", "Branch values")
        for i, branch in enumerate(branches):
            if not isinstance(branch, Branch):
                raise DescriptionError(f"branches[{i}]: must be a Branch, got {kind(branch)}")
        object.__setattr__(self, "branches", tuple(branches))
        object.__setattr__(self, "home", METRES.pose(self.home, "home"))
        if self.payload is not None and not isinstance(self.payload, Payload):
            raise DescriptionError(f"payload: must be a Payload or None, got {kind(self.payload)}")
        if self.motors is not None and not isinstance(self.motors, Motors):
            raise DescriptionError(f"motors: must be a Motors or None, got {kind(self.motors)}")
        object.__setattr__(self, "gravity", gravity_vector(self.gravity, "gravity"))

    @classmethod
    def from_toml(cls, path: str | Path) -> Torso:
        """Reads a torso file (docs/describing-a-torso.md). Every problem raises
        DescriptionError, its message starting with the file's name."""
        return read(Path(path))

    def to_toml(self, path: str | Path) -> None:
        """Writes the torso as a file that from_toml reads back exactly: in
        metres, each motor frame as a 4x4 motor_pose."""
        write(self, Path(path))

    @classmethod
    def example(cls) -> Torso:
        """The built-in example torso, read from the example_torso.toml shipped
        in this package: bit for bit the C++ ExampleTorso."""
        return example()

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
        """A TavrinoTorsoKinematics object with the six branches added and its
        one-step forward kinematics starting from home."""
        from tavrino_torso_kinematics import TavrinoTorsoKinematics

        result = TavrinoTorsoKinematics(self.motor_arm_length, self.rod_length)
        for branch in self.branches:
            result.add_branch(branch.anchor, branch.t_world_motor, branch.solution)
        result.reset_forward_kinematics(self.home)
        return result

    def model(self) -> Model:
        """A Model (arrays in and out, the whole C++ interface) of this torso,
        with its home."""
        import numpy as np

        from ._native import Model

        result = Model(self.motor_arm_length, self.rod_length, home=np.array(self.home, dtype=np.float64))
        for branch in self.branches:
            result.add_branch(np.array(branch.anchor, dtype=np.float64),
                              np.array(branch.t_world_motor, dtype=np.float64), branch.solution)
        # The dynamics need the payload; without one, Model.inverse_dynamics says so.
        if self.payload is not None:
            arm = self.motors.arm_inertia if self.motors is not None else 0.0
            result.set_inertia(self.payload.mass, np.array(self.payload.centre_of_mass),
                               np.array(self.payload.inertia), arm)
        result.gravity = np.array(self.gravity)
        return result


# Torso files -----------------------------------------------------------------

UNITS = {"m": METRES, "mm": MILLIMETRES}
CAD_FIELDS = ("motor_origin", "motor_axis", "arm_zero")
TOP_FIELDS = ("motor_arm_length", "rod_length", "length_unit", "home_pose", "gravity", "branch", "payload", "motors")
BRANCH_FIELDS = ("anchor", "solution", "motor_pose", *CAD_FIELDS)
PAYLOAD_FIELDS = ("mass", "centre_of_mass", "inertia")
MOTOR_FIELDS = ("arm_inertia", "speed_limit", "acceleration_limit", "torque_limit")
PERPENDICULAR_TOLERANCE_DEG = 1.0  # how far arm_zero may be from square to motor_axis
LARGEST_FILE = 1 << 20  # bytes; a torso takes a few kilobytes
EXAMPLE_FILE = "example_torso.toml"  # beside this module
# A torso file's keys are single words, a few dozen of them. The TOML parser
# takes time quadratic in the parts of a dotted key (16,000 parts in 32 KB take
# seconds) and is slow on a great many keys, so keys are checked before it runs.
MOST_KEY_PARTS = 8
LONGEST_KEY = 100  # characters
MOST_KEYS = 10_000


def read(path: Path) -> Torso:
    """Reads and checks a torso file; every problem is a DescriptionError that
    starts with the file's name."""
    try:
        return parse(load_toml(read_bytes(path)))
    except DescriptionError as error:
        raise DescriptionError(f"{escaped(str(path))}: {error}") from None


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
    except DescriptionError:
        raise
    except ValueError:  # a name that no file can have: a null character in it
        raise DescriptionError("cannot be read: a file name cannot hold a null character") from None
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
    check_keys(text)
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise DescriptionError(f"not valid TOML: {escaped(str(error))}") from None
    except RecursionError:
        raise DescriptionError(f"not valid TOML: arrays or tables nested too deeply{deepest_line(text)}") from None
    except ValueError:
        # The one ValueError tomllib lets through: an integer with more digits
        # than Python converts (sys.get_int_max_str_digits).
        raise DescriptionError(f"not valid TOML: an integer with too many digits{longest_number_line(text)}") from None


# The TOML tokens that matter to keys: strings and comments (skipped whole, so
# that nothing in them counts), words and quoted names (the parts of a key, or
# values), dots, "=" and brackets.
TOKENS = re.compile(r"""
    (?P<string>\"\"\"(?:\\[\s\S]|[^\\])*?\"\"\"\"{0,2} | '''[\s\S]*?''''{0,2}
              | "(?:\\.|[^"\\\n])*" | '[^'\n]*')
  | (?P<word>[A-Za-z0-9_+:-]+)
  | (?P<space>[ \t]+)
  | (?P<comment>\#[^\n]*)
  | (?P<newline>\r?\n)
  | (?P<dot>\.) | (?P<equals>=) | (?P<open>\[) | (?P<close>\]) | (?P<other>.)
""", re.VERBOSE | re.DOTALL)


def check_keys(text: str) -> None:
    """Refuses, before the parser sees them, keys of more dotted parts, more
    characters or in greater number than any torso file holds. A chain of words
    and names joined by dots is a key when "=" follows it or a table header's
    brackets hold it; in a value a chain has at most two parts (a number's)."""
    parts, start, after_dot, keys = 0, 0, False, 0
    header = in_value = False
    line_start, nesting = True, 0  # nesting: of the brackets and braces of a value
    for token in TOKENS.finditer(text):
        kind_, char = token.lastgroup, token.group()
        if kind_ == "space":
            continue
        if kind_ in ("word", "string"):
            if not after_dot:
                parts, start = 0, token.start()
            parts, after_dot = parts + 1, False
            if parts > MOST_KEY_PARTS:
                raise DescriptionError(f"a key of more than {MOST_KEY_PARTS} dotted parts{at_line(text, start)}")
        elif kind_ == "dot" and parts and not after_dot:
            after_dot = True
        else:
            if parts and not after_dot and (kind_ == "equals" or (kind_ == "close" and header)):
                keys += 1
                if token.start() - start > LONGEST_KEY:
                    raise DescriptionError(f"a key longer than {LONGEST_KEY} characters{at_line(text, start)}")
                if keys > MOST_KEYS:
                    raise DescriptionError(f"more than {MOST_KEYS} keys, far more than a torso file holds"
                                           f"{at_line(text, start)}")
            parts, after_dot = 0, False
            if in_value:
                nesting += (char in "[{") - (char in "]}")
                in_value = nesting > 0 or kind_ not in ("newline", "comment")
            else:
                in_value = kind_ == "equals"
                header = kind_ == "open" and (line_start or header)
        line_start = kind_ == "newline"


def at_line(text: str, position: int) -> str:
    return f" (at line {text.count(chr(10), 0, position) + 1})"


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
            field = f"{where}.{escaped(name)}" if where else escaped(name)
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


def table_of(data: dict[str, Any], name: str, known: tuple[str, ...]) -> dict[str, Any]:
    table = data[name]
    if not isinstance(table, dict):
        raise DescriptionError(f"{name}: must be a [{name}] table, got {kind(table)}")
    reject_unknown(table, known, name)
    return table


def parse_payload(data: dict[str, Any], unit: Unit) -> Payload:
    table = table_of(data, "payload", PAYLOAD_FIELDS)
    mass = positive(require(table, "mass", "payload.mass"), "payload.mass")
    centre = unit.point(require(table, "centre_of_mass", "payload.centre_of_mass"), "payload.centre_of_mass")
    inertia = inertia_tensor(require(table, "inertia", "payload.inertia"), "payload.inertia")
    return Payload(mass, centre, inertia)


def parse_motors(data: dict[str, Any]) -> Motors:
    table = table_of(data, "motors", MOTOR_FIELDS)
    try:
        return Motors(**table)
    except DescriptionError as error:
        raise DescriptionError(f"motors.{error}") from None


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
    payload = parse_payload(data, unit) if "payload" in data else None
    motors = parse_motors(data) if "motors" in data else None
    gravity = gravity_vector(data["gravity"], "gravity") if "gravity" in data else GRAVITY
    return Torso(arm, rod, branches, home, payload, motors, gravity)


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
    if torso.gravity != GRAVITY:
        lines.append(f"gravity = {toml_row(torso.gravity)}  # m/s^2")
    for i, branch in enumerate(torso.branches):
        lines += [
            "",
            f"[[branch]]  # {i}",
            f"anchor = {toml_row(branch.anchor)}",
            f"motor_pose = {toml_pose(branch.t_world_motor)}",
            f"solution = {branch.solution:+.0f}",
        ]
    if torso.payload is not None:
        lines += [
            "",
            "[payload]",
            f"mass = {toml_float(torso.payload.mass)}  # kg",
            f"centre_of_mass = {toml_row(torso.payload.centre_of_mass)}",
            f"inertia = {toml_pose(torso.payload.inertia)}  # kg m^2",
        ]
    if torso.motors is not None:
        motors = torso.motors
        lines += ["", "[motors]", f"arm_inertia = {toml_float(motors.arm_inertia)}  # kg m^2"]
        for name, unit in (("speed_limit", "rad/s"), ("acceleration_limit", "rad/s^2"), ("torque_limit", "N m")):
            value = getattr(motors, name)
            if value is not None:
                lines.append(f"{name} = {toml_float(value)}  # {unit}")
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


@functools.cache
def example() -> Torso:
    """The example torso, read once: a Torso is a frozen value, so every caller
    may share it."""
    with importlib.resources.as_file(importlib.resources.files(__package__ or "tavrino_torso") / EXAMPLE_FILE) as path:
        return read(path)
