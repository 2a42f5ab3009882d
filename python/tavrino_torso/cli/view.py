"""The command line's viewer and simulator commands:

    tavrino-torso view TORSO.toml [--port N] [--host ADDRESS] [--trajectory TRAJECTORY.csv [--length-unit mm]]
    tavrino-torso export-mjcf TORSO.toml -o TORSO.xml [--position-gain KP] [--velocity-gain KV]
"""

from __future__ import annotations

import argparse
import threading
from pathlib import Path
from typing import Any

from ..mjcf import POSITION_GAIN, VELOCITY_GAIN
from ..view import LENGTH_UNITS
from .base import Adder, Failure, Runner, add_torso_file, load, writable, write_atomically


def add_view(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "view", help="show the torso in the browser, move its platform, play a trajectory back",
        description="Serves an interactive 3D view of the torso to the browser (needs viser: pip install "
                    "'tavrino_torso_kinematics[view]'), prints its address, and runs until Ctrl-C. Sliders move "
                    "the platform about home and turn the body; the panel reads out the motor angles, reach "
                    "margins, transmission, inverse condition and, with a payload, the holding torques. A branch "
                    "that cannot reach turns red and the platform stays at the last reachable pose.")
    add_torso_file(parser)
    parser.add_argument("--port", type=int, default=8080, help="the port to serve on (default: 8080, or the "
                                                               "next free one; 0: any free one)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to serve on (default: 127.0.0.1, this machine only; 0.0.0.0 for all)")
    parser.add_argument("--trajectory", type=Path, metavar="CSV",
                        help="a trajectory to play back (time,x,y,z,qw,qx,qy,qz,q0..q5,dq0..dq5,tau0..tau5)")
    parser.add_argument("--length-unit", choices=tuple(LENGTH_UNITS), default="m",
                        help="unit of x, y, z in the trajectory (default: m)")
    return parser


def run_view(args: argparse.Namespace, progress: Any) -> int:
    from ..view import Viewer, read_trajectory

    if not 0 <= args.port <= 65535:
        raise Failure(f"--port: must be between 0 and 65535, got {args.port}")
    torso = load(args.file)
    trajectory = None
    if args.trajectory is not None:
        try:
            trajectory = read_trajectory(args.trajectory, args.length_unit)
        except OSError as error:
            raise Failure(f"cannot read {args.trajectory}: {error.strerror or error}") from None
        except ValueError as error:
            raise Failure(f"{args.trajectory}: {error}") from None
    try:
        viewer = Viewer(torso, host=args.host, port=args.port, trajectory=trajectory)
    except OSError as error:
        raise Failure(f"cannot serve on {args.host}:{args.port}: {error.strerror or error}") from None
    print(f"Viewing {args.file} at {viewer.url} (Ctrl-C stops)", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        viewer.stop()
    print("Stopped.")
    return 0


def add_export_mjcf(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "export-mjcf", help="write the torso as a MuJoCo model (MJCF)",
        description="Writes the torso as a MuJoCo model of the closed chain, assembled at home: hinge joints "
                    "and position actuators motor0 to motor5 at the motors, arms with their inertia about the "
                    "axis, light rods on ball joints, the body platform (with the payload's mass and inertia), "
                    "the loops closed by equality constraints, and the keyframe home.")
    add_torso_file(parser)
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="XML", help="where to write the model")
    parser.add_argument("--position-gain", type=float, default=POSITION_GAIN, metavar="KP",
                        help=f"the actuators' stiffness in N m/rad (default: {POSITION_GAIN:g})")
    parser.add_argument("--velocity-gain", type=float, default=VELOCITY_GAIN, metavar="KV",
                        help=f"the actuators' damping in N m s/rad (default: {VELOCITY_GAIN:g})")
    return parser


def run_export_mjcf(args: argparse.Namespace, progress: Any) -> int:
    from ..mjcf import mjcf

    for name, gain in (("--position-gain", args.position_gain), ("--velocity-gain", args.velocity_gain)):
        if not gain > 0.0 or gain == float("inf"):
            raise Failure(f"{name}: must be a positive number, got {gain:g}")
    output = writable(args.output, "model", inputs=[("torso file", args.file)])
    torso = load(args.file)
    try:
        text = mjcf(torso, position_gain=args.position_gain, velocity_gain=args.velocity_gain)
    except ValueError as error:
        raise Failure(f"{args.file}: {error}") from None
    write_atomically(output, "model", lambda path: path.write_text(text, encoding="utf-8"))
    print(f"MuJoCo model: {output}")
    return 0


COMMANDS: dict[str, tuple[Adder, Runner]] = {
    "view": (add_view, run_view),
    "export-mjcf": (add_export_mjcf, run_export_mjcf),
}
