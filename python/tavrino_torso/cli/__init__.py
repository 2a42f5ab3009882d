"""The command line, `tavrino-torso`: checks a torso file and draws it and its
workspace; chooses poses to measure and calibrates a built torso from them;
shows it in the browser and writes it as a MuJoCo model; plans motions.

    tavrino-torso check FILE [--picture PNG]
    tavrino-torso workspace FILE --out PNG
    tavrino-torso draw FILE --out PNG
    tavrino-torso calibration-poses FILE --count N -o POSES.csv
    tavrino-torso calibrate FILE MEASUREMENTS.csv -o CALIBRATED.toml
    tavrino-torso view FILE [--port N] [--trajectory TRAJECTORY.csv]
    tavrino-torso export-mjcf FILE -o TORSO.xml
    tavrino-torso plan FILE WAYPOINTS.csv -o TRAJECTORY.csv

Exit status: 0 when the torso is fine, 1 when it has a problem (home out of
reach, at the edge of a branch's reach, or near a singularity), 2 for a file
that cannot be used, wrong arguments, or an output that cannot be written or
is one of the command's inputs. Reports go to standard output, errors (one
line each, with what files hold shown escaped) and progress to standard error.
Outputs are written whole or not at all: see base.write_atomically.

Each command group is a module with a COMMANDS table: a command's name, the
function that adds its parser and the function that runs it (`torso`: check,
workspace, draw; `calibration`: calibration-poses, calibrate; `view`: view,
export-mjcf; `motion`: plan); `base` holds what they share.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from ..torso import escaped
from . import calibration, motion, torso, view
from .base import PROG, Failure, Progress

COMMANDS = {**torso.COMMANDS, **calibration.COMMANDS, **view.COMMANDS, **motion.COMMANDS}


def parser() -> argparse.ArgumentParser:
    from importlib.metadata import PackageNotFoundError, version

    try:
        installed = version("tavrino_torso_kinematics")
    except PackageNotFoundError:
        installed = "unknown"
    result = argparse.ArgumentParser(prog=PROG, description="Checks a torso description file, draws the torso, and maps its workspace; "
                                                            "chooses poses to measure, and calibrates a built torso; "
                                                            "shows it in the browser and exports it to MuJoCo; plans motions.",
                                     epilog="Run a command with --help for its options. Exit status: 0 fine, "
                                            "1 a problem with the torso, 2 a bad file or arguments.")
    result.add_argument("--version", action="version", version=f"%(prog)s {installed}")
    commands = result.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for add, run in COMMANDS.values():
        add(commands).set_defaults(run=run)
    return result


def main(argv: Sequence[str] | None = None) -> int:
    from ..plot import MissingMatplotlib
    from ..view import MissingViser

    try:
        args = parser().parse_args(argv)
    except SystemExit as exit_:  # --help, --version, or wrong arguments (status 2, message printed)
        return exit_.code if isinstance(exit_.code, int) else 2
    try:
        status: int = args.run(args, Progress())
        return status
    except (Failure, MissingMatplotlib, MissingViser) as error:  # Missing...: a command that only draws or shows
        print(f"error: {escaped(str(error))}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
