"""The calibration commands: poses out, measurements in, the calibrated torso
written; a measurements file that cannot be used is refused naming its row and
column, with exit status 2 and nothing on standard output."""

from __future__ import annotations

import json
import os
import re
import shlex
import shutil
from pathlib import Path

import numpy as np
import pytest

from tavrino_torso import Torso
from tavrino_torso.calibration import Measurements, calibration_poses, read_measurements, write_measurements
from tavrino_torso.calibration.design import predicted_angles
from tavrino_torso.cli import main

from .support import EXAMPLE_FILE, ROOT
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
    measured_file.write_bytes(b"\xef\xbb\xbf" + measured_file.read_bytes())  # a byte-order mark is fine
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


def written(text: str | bytes):
    def write(rows: list[str], path: Path) -> str:
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
        return str(path)
    return write


def spoilt(spoil):
    return lambda rows, path: written("\n".join(spoil(rows)) + "\n")(rows, path)


def fifo(rows: list[str], path: Path) -> str:
    os.mkfifo(path)
    return str(path)


BAD_FILES = [
    # how the file is made from the good rows, arguments, what the message says
    (spoilt(lambda r: [r[0].rsplit(",", 1)[0], *r[1:]]), [],
     "the header must be x,y,z,qw,qx,qy,qz,q0,q1,q2,q3,q4,q5, not"),
    (spoilt(lambda r: replaced(r, 3, 4, "abc")), [], "row 3, column qx: 'abc' is not a number"),
    (spoilt(lambda r: replaced(r, 5, 9, "nan")), [], "row 5, column q2: nan is not a finite number"),
    (spoilt(lambda r: replaced(r, 5, 0, "1e308")), [], "row 5, column x: 1e+308 is out of range for a length"),
    (spoilt(lambda r: replaced(r, 2, 3, "2.0")), [], "row 2, column qw..qz: the quaternion's norm is 2, not 1"),
    (spoilt(lambda r: [*r[:4], r[4].rsplit(",", 1)[0], *r[5:]]), [], "row 4: 12 cells, the header has 13"),
    (spoilt(lambda r: replaced(r, 2, 8, "1" * 200_000)), [], "field larger than field limit"),
    (spoilt(lambda r: r[:1]), [], "no samples, only the header"),
    (spoilt(lambda r: r[:2] + r[1:2] * 79), [],
     "no residual degrees of freedom: 1 distinct sample gives 6 equations for 6 identifiable parameter "
     "combinations; 79 rows repeat earlier rows exactly (rows 2-80)"),
    (spoilt(lambda r: r[:1] + r[1:3] * 40), [], "2 distinct samples give 12 equations"),
    (written(b"x,y,z,qw,qx,qy,qz,q0,q1,q2,q3,q4,q5\n0.1,\xff\n"), [], "not UTF-8 text (line 2)"),
    (fifo, [], "cannot be read: not a regular file"),
    (lambda rows, path: "/dev/zero", [], "cannot be read: not a regular file"),
    (spoilt(lambda r: r), ["--validate", "0.001"], "--validate 0.001 holds out no sample of 60: give at least 0.0167"),
    (spoilt(lambda r: r), ["--tracker-noise", "1e-5"], "--tracker-noise: give POSITION,ANGLE"),
]


@pytest.mark.parametrize("make, extra, message", BAD_FILES, ids=[m.split(":")[0][:40] for _, _, m in BAD_FILES])
def test_a_bad_measurements_file_is_refused_naming_row_and_column(good_rows, tmp_path, capsys, make, extra, message):
    path = make(good_rows, tmp_path / "measured.csv")
    assert main(["calibrate", str(EXAMPLE_FILE), path, "-o", str(tmp_path / "out.toml"), *extra]) == 2
    captured = capsys.readouterr()
    assert message in captured.err and captured.out == "" and "Traceback" not in captured.err
    assert [line.startswith("error: ") for line in captured.err.splitlines()][-1:] == [True]  # one line, last
    assert not Path(tmp_path / "out.toml").exists()


def test_bad_arguments_are_refused(tmp_path, capsys):
    missing = str(tmp_path / "missing.csv")
    assert main(["calibrate", str(EXAMPLE_FILE), missing, "-o", str(tmp_path / "t.toml")]) == 2
    assert "cannot read" in capsys.readouterr().err
    assert main(["calibrate", str(EXAMPLE_FILE), missing, "-o", str(tmp_path / "t.toml"), "--validate", "1"]) == 2
    assert "--validate: the fraction must be between 0 and 1" in capsys.readouterr().err
    assert main(["calibration-poses", str(EXAMPLE_FILE), "--count", "10001", "-o", str(tmp_path / "p.csv")]) == 2
    assert "--count: must be between 1 and 10000" in capsys.readouterr().err


@pytest.mark.once
def test_the_guides_commands_run_as_written(tmp_path, monkeypatch, capsys):
    """Every tavrino-torso command of docs/calibrating-a-torso.md, in order, on the example
    torso as my_torso.toml; a built torso (simulated) is measured where the guide measures."""
    guide = (ROOT / "docs" / "calibrating-a-torso.md").read_text(encoding="utf-8")
    commands = [line for block in re.findall(r"^```sh\n(.*?)^```", guide, re.MULTILINE | re.DOTALL)
                for line in block.splitlines() if line.startswith("tavrino-torso ")]
    assert len(commands) >= 3
    monkeypatch.chdir(tmp_path)
    shutil.copy(EXAMPLE_FILE, "my_torso.toml")
    nominal, rng = Torso.example(), np.random.default_rng(11)
    truth = perturbed(nominal, rng)

    def measure(poses_file: str, measured_file: str) -> None:
        if Path(poses_file).exists():
            write_measurements(measured_file, measured(truth, read_measurements(poses_file).poses, rng))

    statuses = []
    for command in commands:
        argv = shlex.split(command)[1:]
        if argv[0] == "calibrate":
            measure("poses.csv", argv[2])
        if argv[0] == "validate":
            write_measurements(argv[2], measured(truth, calibration_poses(nominal, 30, seed=5), rng))
        statuses.append(main(argv))
        assert "Traceback" not in capsys.readouterr().err
    assert statuses == [0] * len(commands)
    assert main(["validate", "my_torso.toml", "new_measurements.csv"]) == 1  # the drawing is off
