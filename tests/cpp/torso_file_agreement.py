"""The C++ reader of torso files agrees with the Python package's, file by file:
both read a torso to the same bits, or both refuse the file with the same
message. Run by ctest with the C++ reader's probe program (torso_file_probe),
in the sanitized tree too, so that every file here is also a file the C++
reader must survive.

    python3 torso_file_agreement.py PROBE

Files: good ones (the example, the drawing-style file in metres and in
millimetres, motor poses, a home pose and a payload in millimetres, motor axes
of extreme sizes, motors and gravity), the hostile file table of the Python tests, every field of the example
replaced by each of a set of values or removed, the example cut short at many
places, and paths that are no torso file. The one difference allowed: toml++
holds no integer beyond 64 bits, no float beyond a double and no nesting deeper
than 256, and refuses such a file as TOML where Python names the field that
cannot take the value.

Needs Python 3.11 or later (for tomllib) and numpy (the Python reader checks
inertia tensors with it); without numpy it reports itself skipped. The Python
reader is loaded from its source file.
"""

from __future__ import annotations

import datetime
import importlib.util
import json
import math
import os
import re
import struct
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for this test
try:
    import numpy  # noqa: F401  (the Python reader's inertia check)
except ImportError:
    print("numpy is missing: the Python reader cannot check inertia tensors; skipped")
    sys.exit(SKIPPED)
sys.path.insert(0, str(ROOT / "tests" / "toolkit"))
import torso_files  # noqa: E402  (the hostile file table, beside the Python tests)

_spec = importlib.util.spec_from_file_location("torso_reader", ROOT / "python" / "tavrino_torso" / "torso.py")
assert _spec is not None and _spec.loader is not None
reader = importlib.util.module_from_spec(_spec)
sys.modules["torso_reader"] = reader
_spec.loader.exec_module(reader)

EXAMPLE = (ROOT / "python" / "tavrino_torso" / "example_torso.toml").read_text()
GOOD = torso_files.GOOD
TOML_LIMITS = ("not representable in 64 bits", "could not be interpreted as a value", "numeric value too long",
               "nested too deeply")


def good_files() -> list[str | bytes]:
    axis = torso_files.AXIS
    arm_zero = "arm_zero = [0.342020143325669, 0.939692620785908, 0.0]"
    extreme = [torso_files.first_branch_with(axis, f"motor_axis = {a}").replace(arm_zero, f"arm_zero = {z}", 1)
               for a, z in (("[5e-324, 0, 0]", "[0, 1e-300, 0]"), ("[1e308, 1e308, 0]", "[-1e300, 1e300, 0]"),
                            ("[3, -1, 0.2]", "[0.34, 0.94, 0.0161]"))]
    pose_branches = torso_files.six_pose_branches("[[0, -1, 0, 20], [1, 0, 0, -7.5], [0, 0, 1, 3], [0, 0, 0, 1]]")
    home = "home_pose = [[1, 0, 0, 1.5], [0, 0.6, -0.8, 0], [0, 0.8, 0.6, 85], [0, 0, 0, 1]]"
    payload = torso_files.PAYLOAD
    return [GOOD, EXAMPLE, torso_files.in_millimetres(GOOD), GOOD.replace("\n", "\r\n"),
            GOOD.replace('length_unit = "m"', ""), *extreme,
            pose_branches.replace("rod_length = 1.0", f'rod_length = 1.0\nlength_unit = "mm"\n{home}')
            + payload.replace("[0.004, -0.003, 0.035]", "[4, -3, 35]") + "[motors]\ntorque_limit = 1.1\n",
            GOOD.replace("rod_length = 0.09", "rod_length = 0.09\ngravity = [0.5, 0, -9.8]") + "\n[motors]\n"]


def toml_value(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return "nan" if math.isnan(value) else {math.inf: "inf", -math.inf: "-inf"}.get(value, repr(value))
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, list):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{json.dumps(k)} = {toml_value(v)}" for k, v in value.items()) + "}"
    assert isinstance(value, datetime.date)
    return value.isoformat()


# Each place in the example, with each of these values put there, or removed.
PLACES = [("length_unit",), ("motor_arm_length",), ("rod_length",), ("home_pose",), ("home_pose", 2),
          ("home_pose", 0, 3), ("branch",), ("branch", 5), ("branch", 0, "anchor"), ("branch", 0, "anchor", 2),
          ("branch", 1, "solution"), ("branch", 2, "motor_pose"), ("branch", 3, "motor_pose", 1),
          ("branch", 3, "motor_pose", 1, 2), ("branch", 4, "motor_pose", 3, 3), ("branch", 4, "motor_axis"),
          ("branch", 5, "motor_origin"), ("motor_arm_lengths",), ("gravity",), ("payload",), ("payload", "mass"),
          ("payload", "centre_of_mass"), ("payload", "inertia", 1), ("payload", "inertia", 0, 1), ("motors",),
          ("motors", "arm_inertia"), ("motors", "speed_limit")]
VALUES = [0, 1, -1, 2**63 - 1, -(2**63), 40, 0.5, -0.0, 1e-7, 5e-324, 1e300, math.nan, math.inf, -math.inf, True,
          "m", "mm", "millimetres \u00b5\u00a0'\"\\\n", "", [], [1, 2, 3], [0.0, 1.0, 0.0, 0.0], [[1, 0, 0, 0]] * 4,
          [[1, 0, 0]] * 4, [[0, 1, 0, 0], [-1, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]], {}, {"anchor": 1},
          datetime.date(1979, 5, 27)]


def mutated_examples() -> list[str]:
    example = tomllib.loads(EXAMPLE)
    example["home_pose"] = [list(row) for row in reader.IDENTITY]
    files = []
    for place in PLACES:
        for value in [*VALUES, None]:
            document = json.loads(json.dumps(example))
            *path, last = place
            container = document
            for step in path:
                container = container[step]
            if value is None:
                if isinstance(container, list):
                    del container[last]
                else:
                    container.pop(last, None)
            else:
                container[last] = value
            files.append("".join(f"{key} = {toml_value(item)}\n" for key, item in document.items()))
    return files


def other_files() -> list[str | bytes]:
    cuts = [EXAMPLE[:n] for n in range(0, len(EXAMPLE), 97)] + [GOOD[:n] for n in range(0, len(GOOD), 101)]
    raw = GOOD.encode()
    return [*cuts, b"\xef\xbb\xbf" + raw, raw.replace(b"rod_length = 0.09", b"rod_length = 0.09\x00"),
            raw + b"\xf4\x90\x80\x80", raw + b"\xed\xa0\x80", raw + b"\xe2\x82", raw + b"# \xc0\xaf\n",
            GOOD.replace("rod_length = 0.09", "rod_length = " + "[" * 200 + "]" * 200),
            GOOD.replace("rod_length = 0.09", 'rod_length = 0.09\n"rod length" = 1\nrod_lenght = 2'),
            GOOD.replace('length_unit = "m"', 'length_unit = "' + "\u00e9" * 25 + '"'),
            GOOD + "\n[branch.extra]\n", GOOD + "\n[[branch]]\nanchor.x = 1\n"]


def python_reads(path: Path) -> str:
    try:
        torso = reader.read(path)
    except reader.DescriptionError as error:
        return f"error {error}"
    values = [torso.motor_arm_length, torso.rod_length, *(v for row in torso.home for v in row)]
    for branch in torso.branches:
        values += [*branch.anchor, *(v for row in branch.t_world_motor for v in row), branch.solution]
    payload, motors = torso.payload, torso.motors
    values += [None] if payload is None else [payload.mass, *payload.centre_of_mass,
                                              *(v for row in payload.inertia for v in row)]
    values += [None] if motors is None else [motors.arm_inertia, motors.speed_limit, motors.acceleration_limit,
                                             motors.torque_limit]
    values += torso.gravity
    return "ok " + " ".join("none" if v is None else repr(v) for v in values)


def same_bits(a: str, b: str) -> bool:
    first, second = a.split()[1:], b.split()[1:]
    return len(first) == len(second) and all(
        x == y if "none" in (x, y) else struct.pack("<d", float(x)) == struct.pack("<d", float(y))
        for x, y in zip(first, second))


def agree(python: str, cpp: str) -> bool:
    if python.startswith("ok ") or cpp.startswith("ok "):
        return python.startswith("ok ") and cpp.startswith("ok ") and same_bits(python, cpp)
    if python == cpp:
        return True
    if "not valid TOML: " not in cpp:
        return False
    if "not valid TOML: " in python:  # the same line, where Python names one (not the end of the document)
        line = re.compile(r"\(at line (\d+)")
        return "(at line " not in python or line.findall(python) == line.findall(cpp)
    return any(limit in cpp for limit in TOML_LIMITS)


def main() -> int:
    probe = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        directory = Path(folder)
        paths = []
        for i, content in enumerate([*good_files(), *(c for c, _ in torso_files.BAD_FILES), *mutated_examples(),
                                     *other_files()]):
            path = directory / f"torso_{i}.toml"
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
            paths.append(path)
        (directory / "big.toml").write_text("# padding\n" * 200_000)
        os.mkfifo(directory / "fifo.toml")
        paths += [directory / "missing.toml", directory / "a\nb\x1b\u202e.toml", directory, Path("/dev/zero"),
                  directory / "big.toml", directory / "fifo.toml"]
        run = subprocess.run([probe, *map(str, paths)], capture_output=True, text=True, timeout=600, check=False)
        lines = run.stdout.split("\n")[:-1]  # one line per file: only "\n" ends one
        if run.returncode != 0 or len(lines) != len(paths):
            print(f"the probe ended with status {run.returncode} after {len(lines)} of {len(paths)} files:\n"
                  f"{run.stderr}")
            return 1
        failed = 0
        for path, cpp in zip(paths, lines):
            python = python_reads(path)
            if not agree(python, cpp):
                failed += 1
                content = path.read_bytes()[-300:] if path.is_file() and path.stat().st_size < 10**6 else b""
                print(f"{path.name}:\n  Python: {python[:300]}\n  C++:    {cpp[:300]}\n  its end: {content!r}\n")
        good = sum(line.startswith("ok ") for line in lines)
        print(f"{good} torso files read alike, {len(lines) - good} refused alike")
        print(f"{len(paths) - failed} passed, {failed} failed")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
