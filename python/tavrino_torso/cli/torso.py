"""The torso commands: check a torso file, map its workspace, draw it.

    tavrino-torso check FILE [--picture PNG]
    tavrino-torso workspace FILE --out PNG
    tavrino-torso draw FILE --out PNG

Exit status 0 when the torso is fine, 1 when it has a problem (home out of
reach, at the edge of a branch's reach, or near a singularity), 2 for a file
that cannot be used or a picture that cannot be written (or that would
overwrite the torso file).
"""

from __future__ import annotations

import argparse
from pathlib import Path

from ..torso import Torso
from .base import PLOT_EXTRA, Adder, Failure, Progress, Runner, add_torso_file, draw, load, writable


def torso_file(args: argparse.Namespace) -> list[tuple[str, Path]]:
    """The command's input, which no output may overwrite."""
    return [("torso file", args.file)]


def problems_status(torso: Torso) -> int:
    """Checks the torso, prints its problems (if any), and returns the exit status."""
    from ..check import check

    report = check(torso)
    for warning in report.warnings:
        print(f"Warning: {warning}")
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
    add_torso_file(parser)
    parser.add_argument("--picture", type=Path, metavar="PNG", help="also draw the torso at home into this PNG")
    return parser


def run_check(args: argparse.Namespace, progress: Progress) -> int:
    from ..check import check

    picture = writable(args.picture, "picture", inputs=torso_file(args), picture=True) if args.picture else None
    torso = load(args.file)
    report = check(torso)
    print(report.text(f"Torso {args.file}"))
    if picture is not None:
        from ..plot import MissingMatplotlib, draw_torso

        print()
        try:
            draw(progress, picture, lambda path: draw_torso(torso, path, title=f"{args.file.stem} at home"))
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
    add_torso_file(parser)
    parser.add_argument("--out", type=Path, required=True, metavar="PNG", help="where to draw the maps")
    parser.add_argument("--count", type=int, default=89, metavar="N",
                        help="poses along each side of each map (default: 89)")
    return parser


def run_workspace(args: argparse.Namespace, progress: Progress) -> int:
    import numpy as np

    from ..plot import draw_conditioning
    from ..workspace import workspace

    if not 2 <= args.count <= 1000:
        raise Failure(f"--count: must be between 2 and 1000, got {args.count}")
    out = writable(args.out, "picture", inputs=torso_file(args), picture=True)
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
    draw(progress, out, lambda path: draw_conditioning(ws, path))
    return problems_status(torso)


# draw ------------------------------------------------------------------------

def add_draw(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "draw", help="draw the torso at home",
        description="Draws the torso at its home pose into a PNG: motors and their axes, arms coloured by "
                    "assembly mode, rods and platform, with each branch's index. Exit status as for check.")
    add_torso_file(parser)
    parser.add_argument("--out", type=Path, required=True, metavar="PNG", help="where to draw the torso")
    return parser


def run_draw(args: argparse.Namespace, progress: Progress) -> int:
    from ..plot import draw_torso

    out = writable(args.out, "picture", inputs=torso_file(args), picture=True)
    torso = load(args.file)
    draw(progress, out, lambda path: draw_torso(torso, path, title=f"{args.file.stem} at home"))
    return problems_status(torso)


COMMANDS: dict[str, tuple[Adder, Runner]] = {
    "check": (add_check, run_check),
    "workspace": (add_workspace, run_workspace),
    "draw": (add_draw, run_draw),
}
