"""Every Python snippet of README.md and of the Markdown files under docs/ runs as
written: each on its own, in a fresh interpreter started in an empty folder, so
that it can use nothing but the installed module and the packages a user has
(not examples/ nor these tests). Snippets are found afresh on every run, so new
ones are checked as soon as they are written."""

from __future__ import annotations

import importlib.util
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
pytestmark = pytest.mark.once
# A fenced block tagged python (or py), also indented inside a list item; it ends
# at a fence of the same indentation.
FENCE = re.compile(r"^(?P<indent>[ \t]*)```(?:python|py)[ \t]*\n(?P<body>.*?)^(?P=indent)```[ \t]*$",
                   re.MULTILINE | re.DOTALL)


def snippets() -> list:
    found = []
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]:
        text = path.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            found.append(pytest.param(textwrap.dedent(match["body"]), id=f"{path.relative_to(ROOT)}:{line}"))
    return found


SNIPPETS = snippets()
# Optional dependencies (extras) that a snippet may need; where one is not
# installed (the test environments of the other Python versions leave them out),
# a snippet that fails for want of it is skipped.
OPTIONAL = ("matplotlib", "scipy", "mypy", "mujoco")


def test_the_readme_and_the_guide_have_snippets():
    places = {param.id.split(":")[0] for param in SNIPPETS}
    assert {"README.md", "docs/describing-a-torso.md"} <= places


@pytest.mark.parametrize("code", SNIPPETS)
def test_snippet_runs_as_written(code, tmp_path):
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120, check=False)
    missing = [name for name in OPTIONAL if importlib.util.find_spec(name) is None and name in result.stderr]
    if result.returncode != 0 and missing:
        pytest.skip(f"needs {', '.join(missing)}, which is not installed")
    assert result.returncode == 0, result.stderr
