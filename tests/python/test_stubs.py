"""The installed type stub: it must match the runtime module and be found by a
type checker, which must accept correct calls and reject wrong ones."""

from __future__ import annotations

import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import tavrino_torso_kinematics

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")

EXAMPLES = Path(__file__).resolve().parent / "typing_examples"
STUB_NAMES = ("tavrino_torso_kinematics.pyi", "tavrino_torso_kinematics-stubs/__init__.pyi")


def run_mypy_tool(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    # Away from the source tree and without any configuration file, so that only
    # the installed module and its installed stub are seen.
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd, capture_output=True, text=True, timeout=300, check=False,
    )


def mypy(example: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return run_mypy_tool(
        ["mypy", "--config-file=", "--cache-dir", str(cwd / "cache"), "--strict",
         "--show-error-codes", "--no-color-output", str(EXAMPLES / example)],
        cwd,
    )


def test_the_stub_is_installed_beside_the_module_and_as_a_stub_package():
    installed = {str(path): path for path in metadata.files("tavrino_torso_kinematics") or []}
    assert set(STUB_NAMES) <= installed.keys()
    beside, package = (installed[name].locate().read_text() for name in STUB_NAMES)
    assert beside == package
    module_dir = Path(tavrino_torso_kinematics.__file__).parent
    assert (module_dir / STUB_NAMES[0]).read_text() == beside


def test_stubtest_finds_the_stub_and_runtime_in_agreement(tmp_path):
    result = run_mypy_tool(["mypy.stubtest", "--mypy-config-file=", "tavrino_torso_kinematics"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_accepts_every_documented_call(tmp_path):
    result = mypy("accepted.py", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_each_wrong_call_and_nothing_else(tmp_path):
    source = (EXAMPLES / "rejected.py").read_text().splitlines()
    expected = {number for number, line in enumerate(source, 1) if "# error:" in line}
    result = mypy("rejected.py", tmp_path)
    reported = {int(m.group(1)) for m in re.finditer(r"rejected\.py:(\d+): error:", result.stdout)}
    assert result.returncode == 1, result.stdout + result.stderr
    assert reported == expected, result.stdout
