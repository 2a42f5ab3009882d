"""The motion command: plan the fastest motion through waypoints.

    tavrino-torso plan TORSO.toml WAYPOINTS.csv -o TRAJECTORY.csv [--rate HZ]
        [--length-unit mm] [--picture PNG]

The waypoints file is a CSV with the header x,y,z,qw,qx,qy,qz, one pose a row
(lengths in --length-unit, the quaternion scalar first). The trajectory is a CSV
with the header time,x,y,z,qw,qx,qy,qz,q0..q5,dq0..dq5,tau0..tau5: seconds,
the pose (lengths in --length-unit), the motor angles (rad), speeds (rad/s) and
torques (N m), one sample a row.

Exit status 0 when the motion is planned, 1 when the path cannot be followed
(out of reach, near a singularity, or a payload the motors cannot hold), 2 for
a file or arguments that cannot be used.
"""

from __future__ import annotations

import argparse
import csv
import math
from pathlib import Path

import numpy as np

from ..motion import MissingToppra, Trajectory, draw_trajectory, plan
from ..poses import from_quaternion, quaternion
from .base import PLOT_EXTRA, Adder, Failure, Progress, Runner, add_torso_file, draw, load, writable, write_atomically

WAYPOINT_COLUMNS = ("x", "y", "z", "qw", "qx", "qy", "qz")
LENGTH_UNITS = {"m": 1.0, "mm": 1e-3}
QUATERNION_TOLERANCE = 1e-3  # how far a quaternion's norm may be from 1, as a tracker writes it


def add_plan(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "plan", help="plan the fastest motion through waypoints within the motors' limits",
        description="Plans the fastest motion of the platform along a smooth path through the waypoints, "
                    "from rest to rest, within the speed, acceleration and torque limits of the torso file's "
                    "[motors] table (it needs a [payload] too), and writes it sampled at --rate as a CSV: "
                    "time,x,y,z,qw,qx,qy,qz,q0..q5,dq0..dq5,tau0..tau5 (docs/motion.md). Exit status 0 when "
                    "planned, 1 when the path cannot be followed, 2 for a file or arguments that cannot be used.")
    add_torso_file(parser)
    parser.add_argument("waypoints", type=Path, help="CSV with header x,y,z,qw,qx,qy,qz, one waypoint per row")
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="CSV", help="where to write the trajectory")
    parser.add_argument("--rate", type=float, default=500.0, metavar="HZ", help="samples a second (default: 500)")
    parser.add_argument("--length-unit", choices=tuple(LENGTH_UNITS), default="m",
                        help="unit of x, y, z in both CSV files (default: m)")
    parser.add_argument("--picture", type=Path, metavar="PNG",
                        help="draw the angles, speeds and torques over time, with the limits, into this PNG")
    return parser


def read_waypoints(path: Path, length: float) -> np.ndarray:
    """Waypoints (k, 4, 4) in metres; a Failure names the row and column of a mistake."""
    try:
        with open(path, newline="", encoding="utf-8") as stream:
            rows = [row for row in csv.reader(stream) if any(cell.strip() for cell in row)]
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise Failure(f"cannot read {path}: {getattr(error, 'strerror', None) or error}") from None
    header = tuple(cell.strip() for cell in rows[0]) if rows else ()
    if header != WAYPOINT_COLUMNS:
        found = ",".join(header) if rows else "an empty file"
        raise Failure(f"{path}: the header must be {','.join(WAYPOINT_COLUMNS)}, not {found}")
    table = np.empty((len(rows) - 1, len(WAYPOINT_COLUMNS)))
    for number, row in enumerate(rows[1:], start=1):
        if len(row) != len(WAYPOINT_COLUMNS):
            raise Failure(f"{path}: row {number}: {len(row)} cells, the header has {len(WAYPOINT_COLUMNS)}")
        for index, cell in enumerate(row):
            try:
                value = float(cell)
            except ValueError:
                value = math.nan
            if not math.isfinite(value):
                raise Failure(f"{path}: row {number}, column {WAYPOINT_COLUMNS[index]}: {cell.strip()!r} is not a "
                              "finite number")
            table[number - 1, index] = value
        norm = math.sqrt(sum(v * v for v in table[number - 1, 3:]))
        if abs(norm - 1.0) > QUATERNION_TOLERANCE:
            raise Failure(f"{path}: row {number}, column qw..qz: the quaternion's norm is {norm:.6g}, not 1")
    if len(table) < 2:
        raise Failure(f"{path}: needs at least 2 waypoints, has {len(table)}")
    return from_quaternion(*(table[:, :3] * length).T, *table[:, 3:].T)


def write_trajectory(path: Path, trajectory: Trajectory, length: float) -> None:
    header = ["time", *WAYPOINT_COLUMNS, *(f"{name}{i}" for name in ("q", "dq", "tau") for i in range(6))]
    table = np.hstack([trajectory.time[:, None], trajectory.poses[:, :3, 3] / length,
                       quaternion(trajectory.poses), trajectory.angles, trajectory.speeds,
                       trajectory.torques])
    with open(path, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(header)
        writer.writerows([[repr(float(v)) for v in row] for row in table])


def run_plan(args: argparse.Namespace, progress: Progress) -> int:
    if not (math.isfinite(args.rate) and 0.0 < args.rate <= 1e5):
        raise Failure(f"--rate: must be more than 0 and at most 100000 samples a second, got {args.rate:g}")
    inputs = [("torso file", args.file), ("waypoints file", args.waypoints)]
    output = writable(args.output, "trajectory", inputs=inputs)
    picture = (writable(args.picture, "picture", inputs=[*inputs, ("trajectory", output)], picture=True)
               if args.picture is not None else None)
    torso = load(args.file)
    length = LENGTH_UNITS[args.length_unit]
    waypoints = read_waypoints(args.waypoints, length)
    if torso.payload is None or torso.motors is None or (
            torso.motors.acceleration_limit is None and torso.motors.torque_limit is None):
        raise Failure(f"{args.file}: planning needs a [payload] table and a [motors] table with an "
                      "acceleration_limit or a torque_limit")
    progress.start(f"planning through {len(waypoints)} waypoints")
    try:
        trajectory = plan(torso, waypoints, rate=args.rate)
    except MissingToppra as error:
        raise Failure(str(error)) from None
    except ValueError as error:
        print(f"Cannot plan the motion: {error}")
        return 1
    progress.done()
    write_atomically(output, "trajectory", lambda temporary: write_trajectory(temporary, trajectory, length))
    peak = np.abs(trajectory.torques).max()
    print(f"Planned {trajectory.duration:.3f} s through {len(waypoints)} waypoints, {len(trajectory.time)} samples "
          f"at {args.rate:g} Hz: peak speed {np.abs(trajectory.speeds).max():.3g} rad/s, peak torque {peak:.3g} N m")
    print(f"Trajectory: {output}")
    if picture is not None:
        from ..plot import MissingMatplotlib

        try:
            draw(progress, picture, lambda temporary: draw_trajectory(trajectory, torso, temporary))
        except MissingMatplotlib:  # the trajectory is what was asked for; the picture is a bonus
            print(f"Picture: not drawn, matplotlib is not installed ({PLOT_EXTRA})")
    return 0


COMMANDS: dict[str, tuple[Adder, Runner]] = {
    "plan": (add_plan, run_plan),
}
