"""The calibration commands: choose the poses to measure, calibrate, and validate:

    tavrino-torso calibration-poses TORSO.toml --count 80 -o POSES.csv
    tavrino-torso calibrate TORSO.toml MEASUREMENTS.csv -o CALIBRATED.toml
        [--validate FRACTION] [--loss soft_l1] [--length-unit mm] [--angle-unit deg]
        [--tracker-noise POSITION,ANGLE] [--encoder-noise ANGLE]
        [--fit-tracker-frame] [--json] [--picture PNG]
    tavrino-torso validate TORSO.toml MEASUREMENTS.csv [--max-angle-rms DEG]

A measurements file that cannot be used (wrong header, a cell that is not a finite
number, a quaternion that is not a unit, data that leave nothing to judge a fit by)
ends the command with a message naming the row and column, and exit status 2.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path

import numpy as np

from ..calibration import (LOSSES, MeasurementError, Measurements, calibrate, calibration_poses, read_measurements,
                           validate, write_measurements)
from ..calibration.design import predicted_angles
from ..calibration.measurements import ANGLE_UNITS, LENGTH_UNITS
from ..calibration.report import DEGREE, error_rows, errors_dict
from .base import PLOT_EXTRA, PROG, Adder, Failure, Progress, Runner, add_torso_file, load, writable, write_atomically

# More poses than anyone measures by hand, and still chosen in a few seconds.
MAX_POSES = 10000
# Enough for the fit and a fifth held out with --validate.
DEFAULT_POSES = 80
# validate's default limit: a few times the angle error that tracker and encoder
# noise of some micrometres and a hundredth of a degree leave.
MAX_ANGLE_RMS_DEG = 0.05


def _measurements(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("measurements", type=Path,
                        help="CSV with header x,y,z,qw,qx,qy,qz,q0,q1,q2,q3,q4,q5, one row per sample")


def _units(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--length-unit", choices=tuple(LENGTH_UNITS), default="m",
                        help="unit of x, y, z in the CSV (default: m)")
    parser.add_argument("--angle-unit", choices=tuple(ANGLE_UNITS), default="rad",
                        help="unit of q0 to q5 in the CSV (default: rad)")


def add_calibration_poses(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "calibration-poses", help="choose poses to measure for a calibration",
        description="Chooses reachable poses, clear of singularities, that determine the calibration "
                    "parameters well, and writes them as a measurements CSV (x,y,z,qw,qx,qy,qz,q0,...,q5) "
                    "holding the motor angles that command them with the torso as described. Command "
                    "each, then replace pose and angles with what the tracker and the encoders read.")
    add_torso_file(parser)
    parser.add_argument("--count", type=int, default=DEFAULT_POSES, metavar="N",
                        help=f"how many poses, 1 to {MAX_POSES} (default: {DEFAULT_POSES}, which leaves room for "
                             "calibrate --validate 0.2)")
    parser.add_argument("--seed", type=int, default=0, help="another seed gives another set (default: 0)")
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="CSV", help="where to write them")
    _units(parser)
    return parser


def run_calibration_poses(args: argparse.Namespace, progress: Progress) -> int:
    if not 1 <= args.count <= MAX_POSES:
        raise Failure(f"--count: must be between 1 and {MAX_POSES}, got {args.count}")
    output = writable(args.output, "poses file", inputs=[("torso file", args.file)])
    torso = load(args.file)
    progress.start(f"choosing {args.count} poses")
    try:
        poses = calibration_poses(torso, args.count, seed=args.seed)
    except ValueError as error:
        raise Failure(str(error)) from None
    progress.done()
    commanded = Measurements(poses, predicted_angles(torso, poses))
    write_atomically(output, "poses file", lambda path: write_measurements(
        path, commanded, length_unit=args.length_unit, angle_unit=args.angle_unit))
    home = np.asarray(torso.home)
    offset = np.linalg.norm(poses[:, :3, 3] - home[:3, 3], axis=1)
    relative = np.einsum("ji,njk->nik", home[:3, :3], poses[:, :3, :3])
    turn = np.degrees(np.arccos(np.clip((np.trace(relative, axis1=1, axis2=2) - 1.0) / 2.0, -1.0, 1.0)))
    print(f"Wrote {len(poses)} poses to {output}: up to {offset.max() * 1e3:.1f} mm and "
          f"{turn.max():.1f} deg from home, in the order to visit them")
    return 0


def add_calibrate(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "calibrate", help="identify a built torso's geometry from measured poses and motor angles",
        description="Finds the motor frames, encoder zeros, anchors, arm and rod length that explain measured "
                    "platform poses and motor angles, writes the calibrated torso, and reports the "
                    "parameters that moved and the errors before and after (docs/calibrating-a-torso.md). "
                    "Exit status 0 when done, 2 for a file or arguments that cannot be used.")
    add_torso_file(parser)
    _measurements(parser)
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="TOML",
                        help="where to write the calibrated torso")
    parser.add_argument("--validate", type=float, metavar="FRACTION",
                        help="hold out this fraction of the samples (evenly spread) and report the errors on them")
    parser.add_argument("--loss", choices=LOSSES, default="linear",
                        help="soft_l1 (or huber, cauchy, arctan) limits the pull of outliers (default: linear)")
    _units(parser)
    parser.add_argument("--tracker-noise", metavar="POSITION,ANGLE",
                        help="the tracker's noise per axis (standard deviations, in the units of --length-unit and "
                             "--angle-unit); estimated from the data when not given")
    parser.add_argument("--encoder-noise", metavar="ANGLE",
                        help="the encoders' noise (standard deviation, in the unit of --angle-unit); estimated from "
                             "the data when not given")
    parser.add_argument("--fit-tracker-frame", action="store_true",
                        help="also identify the measuring frame's pose in the world")
    parser.add_argument("--json", action="store_true", help="print the results as JSON instead of the report")
    parser.add_argument("--picture", type=Path, metavar="PNG",
                        help="draw the residuals per branch, before and after, into this PNG")
    return parser


def held_out(count: int, fraction: float) -> list[bool]:
    """Every 1/fraction-th sample, evenly spread: True for the ones held out."""
    return [math.floor((i + 1) * fraction) > math.floor(i * fraction) for i in range(count)]


def _noise_levels(args: argparse.Namespace) -> tuple[tuple[float, float] | None, float | None]:
    """--tracker-noise and --encoder-noise in metres and radians."""
    length, angle = LENGTH_UNITS[args.length_unit], ANGLE_UNITS[args.angle_unit]
    tracker = encoder = None
    try:
        if args.tracker_noise is not None:
            cells = args.tracker_noise.split(",")
            if len(cells) != 2:
                raise ValueError
            position, turn = (float(cell) for cell in cells)
            if not all(math.isfinite(v) and v >= 0.0 for v in (position, turn)):
                raise ValueError
            tracker = (position * length, turn * angle)
    except ValueError:
        raise Failure(f"--tracker-noise: give POSITION,ANGLE, two numbers of zero or more, "
                      f"not {args.tracker_noise[:100]!r}") from None
    try:
        if args.encoder_noise is not None:
            encoder = float(args.encoder_noise)
            if not (math.isfinite(encoder) and encoder >= 0.0):
                raise ValueError
            encoder *= angle
    except ValueError:
        raise Failure(f"--encoder-noise: give an angle of zero or more, not {args.encoder_noise[:100]!r}") from None
    return tracker, encoder


def _read(args: argparse.Namespace, branch_count: int) -> Measurements:
    try:
        return read_measurements(args.measurements, length_unit=args.length_unit, angle_unit=args.angle_unit,
                                 branch_count=branch_count)
    except MeasurementError as error:
        raise Failure(str(error)) from None
    except OSError as error:
        raise Failure(f"cannot read {args.measurements}: {error.strerror or error}") from None


def run_calibrate(args: argparse.Namespace, progress: Progress) -> int:
    if args.validate is not None and not 0.0 < args.validate < 1.0:
        raise Failure(f"--validate: the fraction must be between 0 and 1, got {args.validate:g}")
    tracker_noise, encoder_noise = _noise_levels(args)
    inputs = [("torso file", args.file), ("measurements file", args.measurements)]
    output = writable(args.output, "calibrated torso", inputs=inputs)
    picture = (writable(args.picture, "picture", inputs=[*inputs, ("calibrated torso", output)], picture=True)
               if args.picture is not None else None)
    torso = load(args.file)
    data = _read(args, len(torso.branches))
    test = None
    if args.validate is not None:
        mask = np.array(held_out(len(data.angles), args.validate))
        if not mask.any():
            raise Failure(f"--validate {args.validate:g} holds out no sample of {len(mask)}: "
                          f"give at least {1.0 / len(mask):.3g}")
        if mask.all():
            raise Failure(f"--validate {args.validate:g} keeps no sample of {len(mask)} to calibrate from")
        data, test = data.subset(~mask), data.subset(mask)

    def step(iteration: int, rms: float) -> None:
        print(f"{PROG}: iteration {iteration}: rod residual RMS {rms * 1e6:.3f} um", file=sys.stderr, flush=True)

    progress.start(f"calibrating from {len(data.angles)} samples")
    try:
        result = calibrate(torso, data, loss=args.loss, fit_tracker_frame=args.fit_tracker_frame, progress=step,
                           tracker_noise=tracker_noise, encoder_noise=encoder_noise)
    except MeasurementError as error:
        raise Failure(f"{args.measurements}: {error}") from None
    except (ImportError, ValueError) as error:
        raise Failure(str(error)) from None
    progress.done()
    validation = validate(result, test) if test is not None else None
    write_atomically(output, "calibrated torso", result.torso.to_toml)
    if args.json:
        document = result.as_dict()
        if validation is not None:

            document["validation"] = {"samples": len(validation.angle_errors), **errors_dict(validation)}
        print(json.dumps(document, indent=2))
    else:
        print(result.report(validation))
        print(f"\nCalibrated torso: {output}")
    if picture is not None:
        from ..plot import MissingMatplotlib

        # Said on standard error: with --json, standard output holds the document alone.
        progress.start(f"drawing {picture}")
        try:
            write_atomically(picture, "picture", lambda path: result.draw(path, validation))
        except MissingMatplotlib:
            print(f"{PROG}: picture not drawn, matplotlib is not installed ({PLOT_EXTRA})", file=sys.stderr)
            return 0
        progress.done()
    return 0


def add_validate(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "validate", help="check a torso file against measured poses and motor angles",
        description="Reports how well a torso file (a calibrated one, say) explains measurements it was not "
                    "fitted to: the rod residuals and the motor angle errors (docs/calibrating-a-torso.md). "
                    "Exit status 0 when the motor angle RMS is within --max-angle-rms and every measured "
                    "pose is reachable, 1 when not, 2 for a file or arguments that cannot be used.")
    add_torso_file(parser)
    _measurements(parser)
    parser.add_argument("--max-angle-rms", type=float, default=MAX_ANGLE_RMS_DEG, metavar="DEG",
                        help=f"the largest motor angle RMS accepted, degrees (default: {MAX_ANGLE_RMS_DEG})")
    _units(parser)
    parser.add_argument("--fit-tracker-frame", action="store_true",
                        help="the poses are in a tracker's frame: estimate it (from the torso's forward "
                             "kinematics at the measured angles) before judging")
    parser.add_argument("--json", action="store_true", help="print the results as JSON instead of the report")
    return parser


def run_validate(args: argparse.Namespace, progress: Progress) -> int:
    if not (math.isfinite(args.max_angle_rms) and args.max_angle_rms > 0.0):
        raise Failure(f"--max-angle-rms: must be a positive number of degrees, got {args.max_angle_rms:g}")
    torso = load(args.file)
    data = _read(args, len(torso.branches))
    try:
        errors = validate(torso, data, fit_tracker_frame=args.fit_tracker_frame)
    except ValueError as error:
        raise Failure(f"{args.measurements}: {error}") from None
    passed = errors.unreachable == 0 and errors.angle_rms * DEGREE <= args.max_angle_rms
    if args.json:
        print(json.dumps({"samples": len(errors.angle_errors), **errors_dict(errors),
                          "max_angle_rms": math.radians(args.max_angle_rms), "passed": passed}, indent=2))
        return 0 if passed else 1
    print(f"Torso {args.file} on {len(errors.angle_errors)} samples of {args.measurements}:")
    print("\n".join(error_rows({"measured": errors})))
    verdict = "within" if passed else "NOT within"
    print(f"\n{verdict} the limit: motor angle RMS at most {args.max_angle_rms:g} deg, every pose reachable")
    return 0 if passed else 1


COMMANDS: dict[str, tuple[Adder, Runner]] = {
    "calibration-poses": (add_calibration_poses, run_calibration_poses),
    "calibrate": (add_calibrate, run_calibrate),
    "validate": (add_validate, run_validate),
}
