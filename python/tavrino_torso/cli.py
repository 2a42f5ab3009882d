"""The command line, `tavrino-torso`: checks a torso file and draws it and its
workspace; chooses poses to measure and calibrates a built torso from them.

    tavrino-torso check FILE [--picture PNG]
    tavrino-torso workspace FILE --out PNG
    tavrino-torso draw FILE --out PNG
    tavrino-torso calibration-poses FILE --count N -o POSES.csv
    tavrino-torso calibrate FILE MEASUREMENTS.csv -o CALIBRATED.toml
    tavrino-torso validate FILE MEASUREMENTS.csv

Exit status: 0 when the torso is fine, 1 when it has a problem (home out of
reach, at the edge of a branch's reach, or near a singularity), 2 for a file
that cannot be used, wrong arguments, or a picture that cannot be written.
Reports go to standard output, errors and progress to standard error.

A command is a function that adds its parser and a function that runs it: see
COMMANDS at the end.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path

from .calibration_cli import (add_calibrate, add_calibration_poses, add_validate, run_calibrate,
                              run_calibration_poses, run_validate)
from .torso import DescriptionError, Torso

PROG = "tavrino-torso"
PLOT_EXTRA = "pip install 'tavrino_torso_kinematics[plot]'"


class Failure(Exception):
    """Ends a command with a message on standard error and exit status 2."""


class Progress:
    """Says on standard error what a step that may take a few seconds is doing,
    and how long it took."""

    def __init__(self) -> None:
        self.started = 0.0
        self.interactive = sys.stderr.isatty()

    def start(self, text: str) -> None:
        self.started = time.monotonic()
        print(f"{PROG}: {text} ...", file=sys.stderr, flush=True)

    def fraction(self, done: int, total: int) -> None:
        if self.interactive:
            print(f"\r    {done}/{total}", end="\n" if done == total else "", file=sys.stderr, flush=True)

    def done(self) -> None:
        print(f"{PROG}:     done in {time.monotonic() - self.started:.1f} s", file=sys.stderr, flush=True)


def load(path: Path) -> Torso:
    try:
        return Torso.from_toml(path)
    except DescriptionError as error:
        raise Failure(str(error)) from None


def writable(path: Path, what: str) -> Path:
    """Refuses, before any work is done, a picture path that cannot be written."""
    folder = path.parent
    if path.is_dir():
        raise Failure(f"cannot write the {what} {path}: it is a directory")
    if not folder.is_dir():
        raise Failure(f"cannot write the {what} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise Failure(f"cannot write the {what} {path}: permission denied")
    return path


def draw(progress: Progress, path: Path, drawing: Callable[[], None]) -> None:
    """Runs `drawing`, which writes `path`; without matplotlib it raises
    MissingMatplotlib, which the caller may take as a failure or not."""
    progress.start(f"drawing {path}")
    try:
        drawing()
    except OSError as error:
        raise Failure(f"cannot write the picture {path}: {error.strerror or error}") from None
    progress.done()
    print(f"Picture: {path}")


def problems_status(torso: Torso) -> int:
    """Checks the torso, prints its problems (if any), and returns the exit status."""
    from .checking import check

    report = check(torso)
    for problem in report.problems:
        print(f"Problem: {problem}")
    return 0 if report.ok else 1


# check -----------------------------------------------------------------------

def add_check(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "check", help="check a torso file: reach and assembly at home, conditioning, workspace",
        description="Checks a torso file and reports: whether the home pose is reachable; each branch's "
                    "motor angle at home, assembly mode, margin to the limit of its reach and transmission; "
                    "the conditioning at home; how far the platform can move and turn from home. "
                    "Exit status 0 when all is well, 1 when the torso has a problem, 2 for a file that "
                    "cannot be used.")
    parser.add_argument("file", type=Path, help="the torso description (TOML)")
    parser.add_argument("--picture", type=Path, metavar="PNG", help="also draw the torso at home into this PNG")
    return parser


def run_check(args: argparse.Namespace, progress: Progress) -> int:
    from .checking import check

    picture = writable(args.picture, "picture") if args.picture is not None else None
    torso = load(args.file)
    report = check(torso)
    print(report.text(f"Torso {args.file}"))
    if picture is not None:
        from .plot import MissingMatplotlib, draw_torso

        print()
        try:
            draw(progress, picture, lambda: draw_torso(torso, picture, title=f"{args.file.stem} at home"))
        except MissingMatplotlib:  # the report is what was asked for; the picture is a bonus
            print(f"Picture: not drawn, matplotlib is not installed ({PLOT_EXTRA})")
    return 0 if report.ok else 1


# workspace -------------------------------------------------------------------

def add_workspace(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "workspace", help="map where the platform reaches, and how well conditioned it is there",
        description="Sweeps the platform over positions at five heights and over roll and pitch around "
                    "home, and draws the inverse condition of the platform Jacobian over the reachable "
                    "poses (0 at a singularity) into a PNG. Exit status as for check.")
    parser.add_argument("file", type=Path, help="the torso description (TOML)")
    parser.add_argument("--out", type=Path, required=True, metavar="PNG", help="where to draw the maps")
    parser.add_argument("--count", type=int, default=89, metavar="N",
                        help="poses along each side of each map (default: 89)")
    return parser


def run_workspace(args: argparse.Namespace, progress: Progress) -> int:
    import numpy as np

    from .plot import draw_conditioning
    from .reach import workspace

    if not 2 <= args.count <= 1000:
        raise Failure(f"--count: must be between 2 and 1000, got {args.count}")
    out = writable(args.out, "picture")
    torso = load(args.file)
    progress.start(f"sweeping the workspace: 6 maps of {args.count} x {args.count} poses")
    ws = workspace(torso, count=args.count, tilt_count=args.count, progress=progress.fraction)
    progress.done()
    for h, height in enumerate(ws.heights):
        condition = ws.inverse_condition[h][ws.reachable[h]]
        shown = f", inverse condition {condition.min():.3f} to {condition.max():.3f}" if condition.size else ""
        print(f"height {height * 1e3:+7.1f} mm: {ws.reachable[h].mean():6.1%} of positions reachable{shown}")
    tilted = ws.tilt_inverse_condition[ws.tilt_reachable]
    shown = f", inverse condition {tilted.min():.3f} to {tilted.max():.3f}" if tilted.size else ""
    print(f"roll and pitch to +-{np.degrees(ws.rolls[-1]):.0f} deg: {ws.tilt_reachable.mean():6.1%} reachable{shown}")
    draw(progress, out, lambda: draw_conditioning(ws, out))
    return problems_status(torso)


# draw ------------------------------------------------------------------------

def add_draw(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "draw", help="draw the torso at home",
        description="Draws the torso at its home pose into a PNG: motors and their axes, arms coloured by "
                    "assembly mode, rods and platform, with each branch's index. Exit status as for check.")
    parser.add_argument("file", type=Path, help="the torso description (TOML)")
    parser.add_argument("--out", type=Path, required=True, metavar="PNG", help="where to draw the torso")
    return parser


def run_draw(args: argparse.Namespace, progress: Progress) -> int:
    from .plot import draw_torso

    out = writable(args.out, "picture")
    torso = load(args.file)
    draw(progress, out, lambda: draw_torso(torso, out, title=f"{args.file.stem} at home"))
    return problems_status(torso)


Adder = Callable[["argparse._SubParsersAction[argparse.ArgumentParser]"], argparse.ArgumentParser]
Runner = Callable[[argparse.Namespace, Progress], int]
COMMANDS: dict[str, tuple[Adder, Runner]] = {
    "check": (add_check, run_check),
    "workspace": (add_workspace, run_workspace),
    "draw": (add_draw, run_draw),
    "calibration-poses": (add_calibration_poses, run_calibration_poses),
    "calibrate": (add_calibrate, run_calibrate),
    "validate": (add_validate, run_validate),
}


def parser() -> argparse.ArgumentParser:
    from importlib.metadata import PackageNotFoundError, version

    try:
        installed = version("tavrino_torso_kinematics")
    except PackageNotFoundError:
        installed = "unknown"
    result = argparse.ArgumentParser(prog=PROG, description="Checks a torso description file, draws the torso, and maps its workspace; "
                                                            "chooses poses to measure, and calibrates a built torso.",
                                     epilog="Run a command with --help for its options. Exit status: 0 fine, "
                                            "1 a problem with the torso, 2 a bad file or arguments.")
    result.add_argument("--version", action="version", version=f"%(prog)s {installed}")
    commands = result.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for add, run in COMMANDS.values():
        add(commands).set_defaults(run=run)
    return result


def main(argv: Sequence[str] | None = None) -> int:
    from .plot import MissingMatplotlib

    try:
        args = parser().parse_args(argv)
    except SystemExit as exit_:  # --help, --version, or wrong arguments (status 2, message printed)
        return exit_.code if isinstance(exit_.code, int) else 2
    try:
        status: int = args.run(args, Progress())
        return status
    except Failure as failure:
        print(f"error: {failure}", file=sys.stderr)
        return 2
    except MissingMatplotlib as error:  # for a command that only draws
        print(f"error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
