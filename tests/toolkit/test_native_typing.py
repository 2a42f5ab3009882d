"""The generated stub of tavrino_torso._native agrees with the runtime module,
and with it mypy --strict accepts numpy code that uses Model as documented. The
package under test is the installed one, or a build tree's (PYTHONPATH, as the
sanitized run does), whose stub then comes from beside it."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tavrino_torso

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")

EXAMPLE = Path(__file__).resolve().parent / "typing_examples" / "native_model.py"
PACKAGE_DIR = Path(tavrino_torso.__file__).parent
INSTALLED = PACKAGE_DIR.parent in {Path(sysconfig.get_path(key)) for key in ("purelib", "platlib")}


def run(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    # Away from the source tree and without a configuration file; mypy does not
    # read PYTHONPATH, so a package from a build tree is named to it directly.
    env = dict(os.environ)
    if not INSTALLED:
        env["MYPYPATH"] = str(PACKAGE_DIR.parent)
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300, check=False)


def test_the_stub_is_beside_the_extension_with_a_py_typed_marker() -> None:
    assert (PACKAGE_DIR / "_native.pyi").is_file() and (PACKAGE_DIR / "py.typed").is_file()


def test_stubtest_finds_the_stub_and_runtime_in_agreement(tmp_path: Path) -> None:
    # The class itself is allowed two differences that a stub cannot express:
    # nanobind's metaclass, and that it cannot be a base together with another
    # built-in class. Its members are all compared.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("tavrino_torso._native.Model\n")
    result = run(["mypy.stubtest", "--mypy-config-file=", "--allowlist", str(allowlist), "tavrino_torso._native"],
                 tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_accepts_the_documented_calls(tmp_path: Path) -> None:
    result = run(["mypy", "--config-file=", "--cache-dir", str(tmp_path / "cache"), "--strict",
                  "--show-error-codes", "--no-color-output", str(EXAMPLE)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
