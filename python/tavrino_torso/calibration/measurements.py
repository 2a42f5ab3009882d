"""Measurements for calibration, and the CSV file that holds them.

One row per sample: the measured platform pose as a position and a unit quaternion,
then the encoder angle of every branch, under the header

    x,y,z,qw,qx,qy,qz,q0,q1,q2,q3,q4,q5

in metres and radians unless the reader is told other units. Every mistake in a
file is reported with its row and column.
"""

from __future__ import annotations

import csv
import io
import math
import os
import stat
from typing import Any, NamedTuple

import numpy as np

from .model import matrix_from_quaternion, quaternion_from_matrix

POSE_COLUMNS = ("x", "y", "z", "qw", "qx", "qy", "qz")
LENGTH_UNITS = {"m": 1.0, "mm": 1e-3}
ANGLE_UNITS = {"rad": 1.0, "deg": math.pi / 180.0}
# A quaternion whose norm is further than this from 1 is a mistake, not rounding;
# within it the quaternion is normalised (trackers print four to six decimals).
QUATERNION_TOLERANCE = 1e-3
# Beyond these a number is no measurement of a torso (metres, radians): refused
# before it can overflow the arithmetic.
LARGEST_VALUE = {"length": 1e6, "angle": 1e6}
# A number is written in a few dozen characters; a cell far longer is not one.
LONGEST_CELL = 100
# A measurements file holds some thousand rows of a hundred-odd bytes.
LARGEST_FILE = 64 << 20


class MeasurementError(ValueError):
    """Bad measurements. row: the 1-based data row (None if not one row's fault); column: its name."""

    def __init__(self, message: str, row: int | None, column: str | None) -> None:
        super().__init__(message)
        self.row = row
        self.column = column


class Measurements(NamedTuple):
    """N samples: measured platform poses (N, 4, 4), metres, and encoder angles (N, B), radians."""

    poses: np.ndarray
    angles: np.ndarray

    def table(self) -> np.ndarray:
        """Rows x, y, z, qw, qx, qy, qz, q0, ... in metres and radians."""
        return np.concatenate(
            [self.poses[:, :3, 3], quaternion_from_matrix(self.poses[:, :3, :3]), self.angles], axis=1
        )

    def subset(self, rows: Any) -> Measurements:
        return Measurements(self.poses[rows], self.angles[rows])


def columns(branch_count: int) -> tuple[str, ...]:
    return POSE_COLUMNS + tuple(f"q{i}" for i in range(branch_count))


def as_measurements(measurements: Any, branch_count: int) -> Measurements:
    """Measurements from a `Measurements` or from a table of rows in the CSV's order (metres, radians)."""
    if isinstance(measurements, Measurements):
        poses = np.asarray(measurements.poses, dtype=float)
        angles = np.asarray(measurements.angles, dtype=float)
        if poses.ndim != 3 or poses.shape[1:] != (4, 4) or angles.shape != (len(poses), branch_count):
            raise MeasurementError(
                f"measurements: poses must be (N, 4, 4) and angles (N, {branch_count}), "
                f"not {poses.shape} and {angles.shape}",
                None,
                None,
            )
        for name, values in (("poses", poses), ("angles", angles)):
            bad = ~np.isfinite(values.reshape(len(values), -1)).all(axis=1)
            if bad.any():
                row = int(np.flatnonzero(bad)[0]) + 1
                raise MeasurementError(f"measurements: sample {row}: {name} not finite", row, name)
        return Measurements(poses, angles)
    table = np.asarray(measurements, dtype=float)
    names = columns(branch_count)
    if table.ndim != 2 or table.shape[1] != len(names):
        raise MeasurementError(
            f"measurements: expected rows of {len(names)} values ({','.join(names)}), got shape {table.shape}",
            None,
            None,
        )
    return _from_table(table, names, lambda row, column: f"measurements: sample {row}, column {column}")


def _from_table(table: np.ndarray, names: tuple[str, ...], where: Any) -> Measurements:
    bad = ~np.isfinite(table)
    if bad.any():
        row, column = np.argwhere(bad)[0]
        raise MeasurementError(
            f"{where(row + 1, names[column])}: {table[row, column]} is not a finite number",
            int(row) + 1,
            names[column],
        )
    for kind, part in (("length", table[:, :3]), ("angle", table[:, 7:])):
        huge = np.abs(part) > LARGEST_VALUE[kind]
        if huge.any():
            row, column = np.argwhere(huge)[0]
            column += 0 if kind == "length" else 7
            raise MeasurementError(
                f"{where(row + 1, names[column])}: {table[row, column]:g} is out of range for a {kind}",
                int(row) + 1,
                names[column],
            )
    quaternions = table[:, 3:7]
    norms = np.linalg.norm(quaternions, axis=1)
    off = np.abs(norms - 1.0) > QUATERNION_TOLERANCE
    if off.any():
        row = int(np.flatnonzero(off)[0])
        raise MeasurementError(
            f"{where(row + 1, 'qw..qz')}: the quaternion's norm is {norms[row]:.6g}, not 1",
            row + 1,
            "qw",
        )
    poses = np.tile(np.eye(4), (len(table), 1, 1))
    poses[:, :3, :3] = matrix_from_quaternion(quaternions / norms[:, None])
    poses[:, :3, 3] = table[:, :3]
    return Measurements(poses, table[:, 7:].copy())


def read_measurements(
    path: str | os.PathLike[str],
    *,
    length_unit: str = "m",
    angle_unit: str = "rad",
    branch_count: int = 6,
) -> Measurements:
    """Read a measurements CSV; MeasurementError names the row and column of a mistake.

    Rows are numbered from 1 for the first sample after the header; blank lines are skipped.
    """
    length, angle = _unit(length_unit, LENGTH_UNITS, "length"), _unit(angle_unit, ANGLE_UNITS, "angle")
    names = columns(branch_count)
    rows = _rows(path)
    if not rows or tuple(cell.strip() for cell in rows[0]) != names:
        found = ",".join(cell.strip() for cell in rows[0])[:200] if rows else "an empty file"
        raise MeasurementError(f"{path}: the header must be {','.join(names)}, not {found}", 0, None)
    if len(rows) == 1:
        raise MeasurementError(f"{path}: no samples, only the header", None, None)
    table = np.empty((len(rows) - 1, len(names)))
    for number, row in enumerate(rows[1:], start=1):
        if len(row) != len(names):
            raise MeasurementError(
                f"{path}: row {number}: {len(row)} cells, the header has {len(names)}", number, None
            )
        for index, cell in enumerate(row):
            try:
                if len(cell) > LONGEST_CELL:
                    raise ValueError
                table[number - 1, index] = float(cell)
            except ValueError:
                shown = repr(cell.strip()) if len(cell) <= LONGEST_CELL else f"a cell of {len(cell)} characters"
                raise MeasurementError(
                    f"{path}: row {number}, column {names[index]}: {shown} is not a number",
                    number,
                    names[index],
                ) from None
    table[:, :3] *= length
    table[:, 7:] *= angle
    return _from_table(table, names, lambda row, column: f"{path}: row {row}, column {column}")


def _rows(path: str | os.PathLike[str]) -> list[list[str]]:
    """The file's non-blank rows of cells. Only a regular file is read (a FIFO would
    block, a device never end), as UTF-8 with or without a byte-order mark."""
    info = os.stat(path)
    if not stat.S_ISREG(info.st_mode):
        raise MeasurementError(f"{path}: cannot be read: not a regular file", None, None)
    with open(path, "rb") as stream:
        data = stream.read(LARGEST_FILE + 1)
    if len(data) > LARGEST_FILE:
        raise MeasurementError(f"{path}: larger than {LARGEST_FILE >> 20} MB, too large for measurements", None, None)
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise MeasurementError(f"{path}: not UTF-8 text (line {line})", None, None) from None
    reader = csv.reader(io.StringIO(text, newline=""))
    try:
        return [row for row in reader if any(cell.strip() for cell in row)]
    except csv.Error as error:
        raise MeasurementError(f"{path}: line {reader.line_num}: {error}", None, None) from None


def write_measurements(
    path: str | os.PathLike[str],
    measurements: Measurements,
    *,
    length_unit: str = "m",
    angle_unit: str = "rad",
) -> None:
    """Write measurements (or poses with the angles to command them) as a CSV, to full precision."""
    length, angle = _unit(length_unit, LENGTH_UNITS, "length"), _unit(angle_unit, ANGLE_UNITS, "angle")
    table = measurements.table()
    table[:, :3] /= length
    table[:, 7:] /= angle
    with open(path, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(columns(measurements.angles.shape[1]))
        writer.writerows([[repr(float(v)) for v in row] for row in table])


def _unit(name: str, units: dict[str, float], kind: str) -> float:
    try:
        return units[name]
    except KeyError:
        raise ValueError(f"unknown {kind} unit {name!r}: use {' or '.join(units)}") from None
