"""The generated stub of tavrino_torso._native agrees with the runtime module
(test_typing checks numpy code that uses Model as documented against it). The
package under test is the installed one, or a build tree's (PYTHONPATH, as the
sanitized run does), whose stub then comes from beside it."""

from __future__ import annotations

from pathlib import Path

import pytest

import tavrino_torso

from .support import mypy_cache, stubtest

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")

PACKAGE_DIR = Path(tavrino_torso.__file__).parent


def test_the_stub_is_beside_the_extension_with_a_py_typed_marker() -> None:
    assert (PACKAGE_DIR / "_native.pyi").is_file() and (PACKAGE_DIR / "py.typed").is_file()


def test_stubtest_finds_the_stub_and_runtime_in_agreement() -> None:
    # The class itself is allowed two differences that a stub cannot express:
    # nanobind's metaclass, and that it cannot be a base together with another
    # built-in class. Its members are all compared.
    allowlist = mypy_cache(PACKAGE_DIR) / "allowlist.txt"
    allowlist.write_text("tavrino_torso._native.Model\n")
    result = stubtest(PACKAGE_DIR, "tavrino_torso._native", "--allowlist", str(allowlist))
    assert result.returncode == 0, result.stdout + result.stderr

