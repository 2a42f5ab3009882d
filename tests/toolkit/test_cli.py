"""The command line: exit status 0 for a fine torso, 1 for a torso with a
problem, 2 for a bad file, bad arguments or a picture that cannot be written;
the report on standard output, errors on standard error, never a traceback."""

from __future__ import annotations

import errno
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tavrino_torso.cli import main

from .support import EXAMPLE_FILE, ROOT

SHORT_RODS = EXAMPLE_FILE.read_text().replace("rod_length = 0.09", "rod_length = 0.03")
BAD = EXAMPLE_FILE.read_text().replace("solution = -1", "solution = [-1]", 1)
CONTROL = EXAMPLE_FILE.read_text().replace("rod_length = 0.09", 'rod_length = 0.09\n"\\u001b[2J\\u202e" = 1')
MEASUREMENTS = ROOT / "examples" / "example_measurements.csv"
PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def files(tmp_path: Path) -> dict[str, str]:
    (tmp_path / "short.toml").write_text(SHORT_RODS)
    (tmp_path / "bad.toml").write_text(BAD)
    (tmp_path / "ctrl.toml").write_text(CONTROL)
    (tmp_path / "t.toml").write_bytes(EXAMPLE_FILE.read_bytes())
    (tmp_path / "m.csv").write_bytes(MEASUREMENTS.read_bytes())
    (tmp_path / "link.toml").symlink_to("t.toml")
    (tmp_path / "link.png").symlink_to("t.toml")
    os.link(tmp_path / "m.csv", tmp_path / "hard.csv")
    return {"example": str(EXAMPLE_FILE), "short": str(tmp_path / "short.toml"), "bad": str(tmp_path / "bad.toml"),
            "ctrl": str(tmp_path / "ctrl.toml"), "tmp": str(tmp_path), "png": str(tmp_path / "out.png"),
            "long": str(tmp_path / ("a" * 300 + ".png"))}


def contents(folder: Path) -> dict[str, bytes | str]:
    """Every entry of the folder: a file's bytes, a link's target."""
    return {p.name: os.readlink(p) if p.is_symlink() else p.read_bytes() for p in folder.iterdir() if not p.is_dir()}


RUNS = [
    # arguments, exit status, text in standard output, text in standard error
    (["--help"], 0, "identify a built torso's geometry", ""),
    (["check", "--help"], 0, "--picture PNG", ""),
    (["workspace", "--help"], 0, "--out PNG", ""),
    (["draw", "--help"], 0, "--out PNG", ""),
    ([], 2, "", "the following arguments are required: COMMAND"),
    (["check"], 2, "", "the following arguments are required: file"),
    (["workspace", "{example}"], 2, "", "the following arguments are required: --out"),
    (["check", "{example}", "--bogus"], 2, "", "unrecognized arguments: --bogus"),
    (["check", "{example}"], 0, "Home pose: reachable", ""),
    (["check", "{short}"], 1, "Problems:\n   home is out of reach of branches 0, 1, 2, 3, 4, 5", ""),
    (["check", "{tmp}/missing.toml"], 2, "", "missing.toml: cannot be read: No such file or directory"),
    (["check", "{bad}"], 2, "", "error: {bad}: branch[1].solution: must be a number, got a list\n"),
    (["check", "{example}", "--picture", "{tmp}/no/such/folder/t.png"], 2, "",
     "error: cannot write the picture {tmp}/no/such/folder/t.png: the folder {tmp}/no/such/folder does not exist"),
    (["check", "{example}", "--picture", "{tmp}"], 2, "", "it is a directory"),
    (["workspace", "{example}", "--out", "{png}", "--count", "1"], 2, "", "--count: must be between 2 and 1000"),
    (["draw", "{bad}", "--out", "{png}"], 2, "", "branch[1].solution"),
    (["view", "{example}", "--port", "70000"], 2, "", "--port: must be between 0 and 65535, got 70000"),
    (["view", "{example}", "--trajectory", "{tmp}/missing.csv"], 2, "",
     "cannot read {tmp}/missing.csv: No such file or directory"),
    (["export-mjcf", "{short}", "-o", "{tmp}/t.xml"], 2, "",
     "{short}: home is out of reach of branch 0, 1, 2, 3, 4, 5: the model cannot be assembled"),
    (["export-mjcf", "{example}", "-o", "{tmp}/t.xml", "--velocity-gain", "-1"], 2, "",
     "--velocity-gain: must be a positive number, got -1"),
    # what a file holds is shown escaped, never sent to the terminal as it is
    (["check", "{ctrl}"], 2, "", "error: {ctrl}: \\x1b[2J\\u202e: unknown field"),
    # no output is ever one of the command's inputs: the same path, a link to it, another hard link
    (["calibration-poses", "{tmp}/t.toml", "-o", "{tmp}/t.toml"], 2, "",
     "error: cannot write the poses file {tmp}/t.toml: it is the same file as the torso file {tmp}/t.toml\n"),
    (["calibration-poses", "{tmp}/t.toml", "-o", "{tmp}/link.toml"], 2, "", "same file as the torso file"),
    (["calibrate", "{tmp}/t.toml", "{tmp}/m.csv", "-o", "{tmp}/m.csv"], 2, "", "same file as the measurements file"),
    (["calibrate", "{tmp}/t.toml", "{tmp}/m.csv", "-o", "{tmp}/hard.csv"], 2, "", "same file as the measurements file"),
    (["calibrate", "{tmp}/link.toml", "{tmp}/m.csv", "-o", "{tmp}/t.toml"], 2, "", "same file as the torso file"),
    (["calibrate", "{tmp}/t.toml", "{tmp}/m.csv", "-o", "{tmp}/c.toml", "--picture", "{tmp}/link.png"], 2, "",
     "same file as the torso file"),
    (["check", "{tmp}/t.toml", "--picture", "{tmp}/link.png"], 2, "", "same file as the torso file"),
    # outputs that cannot be written, refused before any work is done
    (["calibration-poses", "{example}", "-o", "/dev/full"], 2, "", "poses file /dev/full: it is not a regular file"),
    (["draw", "{example}", "--out", "/dev/full"], 2, "", "picture /dev/full: it is not a regular file"),
    (["draw", "{example}", "--out", "{long}"], 2, "", "the file name is too long"),
    (["calibrate", "{tmp}/t.toml", "{tmp}/m.csv", "-o", "{tmp}/" + "c" * 300], 2, "", "the file name is too long"),
    (["draw", "{example}", "--out", "{tmp}/..."], 2, "", "not a file name"),
]


@pytest.mark.parametrize("argv, status, out, err", RUNS, ids=[" ".join(run[0]) or "nothing" for run in RUNS])
def test_exit_status_and_messages(files, tmp_path, capsys, argv, status, out, err):
    before = contents(tmp_path)
    assert main([a.format(**files) for a in argv]) == status
    captured = capsys.readouterr()
    assert out.format(**files) in captured.out
    assert err.format(**files) in captured.err
    if status == 2 and argv and "--help" not in argv:
        assert captured.out == "" and "Traceback" not in captured.err
        # one line, after the usage when the arguments are wrong
        assert len(captured.err.splitlines()) == (2 if captured.err.startswith("usage:") else 1)
        assert "\x1b" not in captured.err and contents(tmp_path) == before  # nothing lost, changed or left


def test_a_write_that_fails_midway_leaves_the_old_file_whole(files, tmp_path, capsys, monkeypatch):
    output = tmp_path / "poses.csv"
    output.write_text("the poses measured last week\n")

    def full_disk(path, *args, **kwargs):
        Path(path).write_text("x,y,z,qw")
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr("tavrino_torso.cli.calibration.write_measurements", full_disk)
    assert main(["calibration-poses", files["example"], "--count", "10", "-o", str(output)]) == 2
    assert f"error: cannot write the poses file {output}: No space left on device\n" in capsys.readouterr().err
    assert output.read_text() == "the poses measured last week\n"
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.endswith(".csv")) == ["hard.csv", "m.csv", "poses.csv"]


def test_an_unwritable_picture_is_refused_before_any_work(files, tmp_path, capsys):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    if os.access(locked, os.W_OK):
        pytest.skip("running as a user whom permissions do not stop (root)")
    assert main(["check", files["example"], "--picture", str(locked / "t.png")]) == 2
    assert "permission denied" in capsys.readouterr().err


@pytest.mark.once
def test_pictures_are_drawn_and_the_status_still_tells_the_problem(files, capsys):
    pytest.importorskip("matplotlib")
    assert main(["check", files["example"], "--picture", files["png"]]) == 0
    assert f"Picture: {files['png']}" in capsys.readouterr().out
    assert Path(files["png"]).read_bytes()[:8] == PNG
    # a folder that passes every test but refuses the file itself, even to root
    assert main(["check", files["example"], "--picture", "/proc/torso.png"]) == 2
    assert "error: cannot write the picture /proc/torso.png: " in capsys.readouterr().err
    assert main(["draw", files["short"], "--out", files["png"]]) == 1  # drawn, arms that cannot reach marked
    assert "Problem: home is out of reach" in capsys.readouterr().out
    os.remove(files["png"])
    # a picture named without an extension is a PNG, and the name written is the one reported
    assert main(["draw", files["example"], "--out", f"{files['tmp']}/pic"]) == 0
    assert f"Picture: {files['tmp']}/pic.png\n" in capsys.readouterr().out
    assert Path(files["tmp"], "pic.png").read_bytes()[:8] == PNG
    assert main(["draw", files["example"], "--out", f"{files['tmp']}/pic.xyz"]) == 2
    assert "matplotlib does not write '.xyz' pictures (it writes " in capsys.readouterr().err
    assert sorted(p.name for p in Path(files["tmp"]).iterdir() if "pic" in p.name) == ["pic.png"]
    assert main(["workspace", files["example"], "--out", files["png"], "--count", "9"]) == 0
    out = capsys.readouterr()
    assert "height    +0.0 mm:" in out.out and "sweeping the workspace" in out.err
    assert Path(files["png"]).read_bytes()[:8] == PNG


def test_without_matplotlib_check_reports_and_draw_fails(files, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib now raises ImportError
    assert main(["check", files["example"], "--picture", files["png"]]) == 0
    assert "Picture: not drawn, matplotlib is not installed" in capsys.readouterr().out
    assert main(["draw", files["example"], "--out", files["png"]]) == 2
    assert "drawing needs matplotlib, which is not installed: pip install" in capsys.readouterr().err
    assert not Path(files["png"]).exists()


def test_the_installed_command_runs_without_a_traceback(files):
    command = Path(sys.executable).parent / "tavrino-torso"
    if not command.exists():
        pytest.skip("the console script is not installed beside this Python")
    done = subprocess.run([str(command), "check", files["bad"]], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"error: {files['bad']}: branch[1].solution: must be a number, got a list\n"
