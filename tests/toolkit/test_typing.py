"""The package passes mypy --strict, and so do the snippets of README.md and
docs/ that use it (tests/python/test_docs.py runs them) and numpy code that
uses Model as documented (typing_examples/native_model.py)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import tavrino_torso

from .support import ROOT, mypy

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")

PACKAGE_DIR = Path(tavrino_torso.__file__).parent
TYPING_EXAMPLE = Path(__file__).resolve().parent / "typing_examples" / "native_model.py"
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SNIPPETS = [(f"{path.name}:{text[:match.start()].count(chr(10)) + 2}", match.group(1))
            for path in DOCUMENTS for text in [path.read_text()]
            for match in re.finditer(r"```python\n(.*?)```", text, re.S) if re.search(r"\btavrino_torso\b(?!_)", match.group(1))]


def test_mypy_strict_passes_the_package_and_the_snippets(tmp_path):
    assert len(SNIPPETS) >= 3
    files = []
    for i, (_, code) in enumerate(SNIPPETS):
        files.append(tmp_path / f"snippet_{i}.py")
        files[-1].write_text(code)
    # Two runs (mypy takes a package or files, not both) on one cache.
    for targets in (["-p", "tavrino_torso"], [*map(str, files), str(TYPING_EXAMPLE)]):
        done = mypy(PACKAGE_DIR, "typing", *targets)
        assert done.returncode == 0, done.stdout + done.stderr
