"""The type stub of the module under test: it must match the runtime module and
be found by a type checker, which must accept correct calls and reject wrong
ones. Normally that is the installed module and its installed stub; when the
module is imported from a build tree instead (PYTHONPATH, as the sanitized run
does), it is the stub generated beside it there."""

from __future__ import annotations

import hashlib
import os
import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import tavrino_torso_kinematics

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the dev extras)")

EXAMPLES = Path(__file__).resolve().parent / "typing_examples"
STUB_NAMES = ("tavrino_torso_kinematics.pyi", "tavrino_torso_kinematics-stubs/__init__.pyi")
MODULE_FILE = Path(tavrino_torso_kinematics.__file__).resolve()


def installed_files() -> dict[str, Path]:
    try:
        files = metadata.files("tavrino_torso_kinematics") or []
    except metadata.PackageNotFoundError:
        return {}
    return {str(path): Path(path.locate()).resolve() for path in files}


MODULE_IS_INSTALLED = MODULE_FILE in installed_files().values()
# mypy's cache, kept between runs in the build folder: a cold one costs most of
# the time of these tests. One per interpreter and module under test, so that
# runs side by side do not share one.
MYPY_CACHE = (Path(__file__).resolve().parents[2] / "build" / "mypy-cache" /
              hashlib.sha256(f"{sys.executable}\0{MODULE_FILE}".encode()).hexdigest()[:16])


def run_mypy_tool(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    # Away from the source tree and without any configuration file, so that only
    # the module under test and its stub are seen.
    env = dict(os.environ)
    if not MODULE_IS_INSTALLED:
        env["MYPYPATH"] = str(MODULE_FILE.parent)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=300, check=False,
    )


def mypy(example: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return run_mypy_tool(
        ["mypy", "--config-file=", "--cache-dir", str(MYPY_CACHE), "--strict",
         "--show-error-codes", "--no-color-output", str(EXAMPLES / example)],
        cwd,
    )


def test_the_stub_is_beside_the_module_and_installed_as_a_stub_package():
    beside = (MODULE_FILE.parent / STUB_NAMES[0]).read_text()
    if not MODULE_IS_INSTALLED:
        pytest.skip(f"the module under test, {MODULE_FILE}, is not an installed one: "
                    "only the stub beside it is checked")
    installed = installed_files()
    assert set(STUB_NAMES) <= installed.keys()
    assert [installed[name].read_text() for name in STUB_NAMES] == [beside, beside]


def test_stubtest_finds_the_stub_and_runtime_in_agreement():
    MYPY_CACHE.mkdir(parents=True, exist_ok=True)
    # stubtest reads no cache (it analyses the stub afresh at every run), so it
    # writes none either: by default it would leave one in the working folder.
    config = MYPY_CACHE / "stubtest.ini"
    config.write_text("[mypy]\ncache_dir = /dev/null\n")
    result = run_mypy_tool(["mypy.stubtest", f"--mypy-config-file={config}", "tavrino_torso_kinematics"], MYPY_CACHE)
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
