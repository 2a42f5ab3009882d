"""The calibration commands: poses out, measurements in, the calibrated torso
written; a measurements file that cannot be used is refused naming its row and
column, with exit status 2 and nothing on standard output."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest

from tavrino_torso import Torso
from tavrino_torso.calibration import Measurements, read_measurements, write_measurements
from tavrino_torso.calibration.design import predicted_angles
from tavrino_torso.cli import main

from .support import EXAMPLE_FILE
from .test_calibration import measured, perturbed


def test_poses_out_measurements_in_calibrated_torso_written(tmp_path, capsys):
    poses_file, measured_file = tmp_path / "poses.csv", tmp_path / "measured.csv"
    units = ["--length-unit", "mm", "--angle-unit", "deg"]
    assert main(["calibration-poses", str(EXAMPLE_FILE), "--count", "70", "-o", str(poses_file), *units]) == 0
    assert "Wrote 70 poses" in capsys.readouterr().out
    commanded = read_measurements(poses_file, length_unit="mm", angle_unit="deg")
    nominal = Torso.example()
    np.testing.assert_allclose(commanded.angles, predicted_angles(nominal, commanded.poses), atol=1e-12)

    truth = perturbed(nominal, np.random.default_rng(5))
    write_measurements(measured_file, measured(truth, commanded.poses, None), length_unit="mm", angle_unit="deg")
    output, picture = tmp_path / "calibrated.toml", tmp_path / "residuals.png"
    argv = ["calibrate", str(EXAMPLE_FILE), str(measured_file), "-o", str(output), "--validate", "0.2", *units]
    assert main([*argv, "--json", "--picture", str(picture)]) == 0
    captured = capsys.readouterr()
    document = json.loads(captured.out)
    assert "iteration 0: rod residual RMS" in captured.err
    assert document["samples"] == 56 and document["validation"]["samples"] == 14
    assert document["after"]["angle_rms"] < 1e-9 and document["validation"]["angle_rms"] < 1e-9
    calibrated = Torso.from_toml(output)
    assert abs(calibrated.rod_length - truth.rod_length) < 1e-9
    for ours, theirs in zip(calibrated.branches, truth.branches, strict=True):
        assert np.abs(np.subtract(ours.t_world_motor, theirs.t_world_motor)).max() < 1e-9
    if picture.exists():  # drawn when matplotlib is installed
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    assert main(argv[:5] + units) == 0  # the report as text
    report = capsys.readouterr().out
    assert "Parameters that moved by more than their standard error" in report and "rod residual RMS" in report
    assert main(argv[:5]) == 2  # millimetres read as metres
    assert "check the length and angle units" in capsys.readouterr().err


@pytest.fixture(scope="module")
def good_rows(tmp_path_factory) -> list[str]:
    path = tmp_path_factory.mktemp("csv") / "good.csv"
    poses = np.tile(np.eye(4), (60, 1, 1))
    poses[:, :3, 3] = np.random.default_rng(2).uniform(-5e-3, 5e-3, (60, 3))
    write_measurements(path, Measurements(poses, predicted_angles(Torso.example(), poses)))
    return path.read_text().splitlines()


def replaced(rows: list[str], row: int, column: int, value: str) -> list[str]:
    cells = rows[row].split(",")
    cells[column] = value
    return [*rows[:row], ",".join(cells), *rows[row + 1 :]]


BAD_FILES = [
    # how the good file is spoilt, what the message says
    (lambda r: [r[0].rsplit(",", 1)[0], *r[1:]], "the header must be x,y,z,qw,qx,qy,qz,q0,q1,q2,q3,q4,q5, not"),
    (lambda r: replaced(r, 3, 4, "abc"), "row 3, column qx: 'abc' is not a number"),
    (lambda r: replaced(r, 5, 9, "nan"), "row 5, column q2: nan is not a finite number"),
    (lambda r: replaced(r, 2, 3, "2.0"), "row 2, column qw..qz: the quaternion's norm is 2, not 1"),
    (lambda r: [*r[:4], r[4].rsplit(",", 1)[0], *r[5:]], "row 4: 12 cells, the header has 13"),
    (lambda r: r[:11], "10 samples are fewer than the 56 parameters to identify"),
]


@pytest.mark.parametrize("spoil, message", BAD_FILES, ids=[m.split(":")[0] for _, m in BAD_FILES])
def test_a_bad_measurements_file_is_refused_naming_row_and_column(good_rows, tmp_path, capsys, spoil, message):
    path = tmp_path / "measured.csv"
    path.write_text("\n".join(spoil(good_rows)) + "\n")
    assert main(["calibrate", str(EXAMPLE_FILE), str(path), "-o", str(tmp_path / "out.toml")]) == 2
    captured = capsys.readouterr()
    assert message in captured.err and captured.out == "" and "Traceback" not in captured.err
    assert not Path(tmp_path / "out.toml").exists()


def test_bad_arguments_are_refused(tmp_path, capsys):
    missing = str(tmp_path / "missing.csv")
    assert main(["calibrate", str(EXAMPLE_FILE), missing, "-o", str(tmp_path / "t.toml")]) == 2
    assert "cannot read" in capsys.readouterr().err
    assert main(["calibrate", str(EXAMPLE_FILE), missing, "-o", str(tmp_path / "t.toml"), "--validate", "1"]) == 2
    assert "--validate: the fraction must be between 0 and 1" in capsys.readouterr().err
    assert main(["calibration-poses", str(EXAMPLE_FILE), "--count", "0", "-o", str(tmp_path / "p.csv")]) == 2
    assert "--count: must be between 1" in capsys.readouterr().err
