"""The package passes mypy --strict, and so do the snippets of README.md and
docs/ that use it (tests/python/test_docs.py runs them)."""

from __future__ import annotations

import os
import re
import site
import subprocess
import sys
from pathlib import Path

import pytest

import tavrino_torso

from .support import ROOT

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")

PACKAGE_DIR = Path(tavrino_torso.__file__).resolve().parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SNIPPETS = [(f"{path.name}:{text[:match.start()].count(chr(10)) + 2}", match.group(1))
            for path in DOCUMENTS for text in [path.read_text()]
            for match in re.finditer(r"```python\n(.*?)```", text, re.S) if re.search(r"\btavrino_torso\b(?!_)", match.group(1))]


def run(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    # Away from the source tree, without a configuration file. mypy finds an
    # installed package by itself; one from a build tree (PYTHONPATH, as the
    # sanitized run does) is named to it.
    env = dict(os.environ)
    installed = str(PACKAGE_DIR.parent) in map(str, map(Path.resolve, map(Path, site.getsitepackages())))
    if not installed:
        env["MYPYPATH"] = str(PACKAGE_DIR.parent)
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600,
                          check=False)


def test_mypy_strict_passes_the_package_and_the_snippets(tmp_path):
    assert len(SNIPPETS) >= 3
    files = []
    for i, (_, code) in enumerate(SNIPPETS):
        files.append(tmp_path / f"snippet_{i}.py")
        files[-1].write_text(code)
    mypy = ["-m", "mypy", "--config-file=", "--cache-dir", str(tmp_path / "cache"), "--strict", "--no-color-output"]
    for targets in (["-p", "tavrino_torso"], list(map(str, files))):
        done = run(mypy + targets, tmp_path)
        assert done.returncode == 0, done.stdout + done.stderr

