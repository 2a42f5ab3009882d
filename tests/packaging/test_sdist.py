"""The sdist holds what builds the package and what describes it, and nothing
else: a file that lands at the top of the tree by accident (a shell redirection
gone wrong, say) ships to every user unless this fails."""

from __future__ import annotations

import tarfile
from pathlib import Path

import pytest

build = pytest.importorskip("scikit_build_core.build", reason="scikit-build-core (a build requirement) is missing")

ROOT = Path(__file__).resolve().parents[2]
pytestmark = pytest.mark.once
TOP_LEVEL = {"CHANGELOG.md", "CMakeLists.txt", "LICENSE", "PKG-INFO", "README.md", "cmake", "include", "pyproject.toml",
             "python", "src", "tools"}
# Everything under these is what the build reads, all of it shipped.
BUILD_INPUTS = ("cmake", "include", "python", "src")


def test_the_sdist_holds_the_build_inputs_and_nothing_else(tmp_path, monkeypatch):
    monkeypatch.chdir(ROOT)
    name = build.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as sdist:
        members = {Path(*Path(member.name).parts[1:]) for member in sdist.getmembers() if member.isfile()}
    assert {path.parts[0] for path in members} == TOP_LEVEL
    assert {path for path in members if path.parts[0] == "tools"} == {Path("tools/stubgen.cpp")}
    in_tree = {path.relative_to(ROOT) for top in BUILD_INPUTS for path in (ROOT / top).rglob("*")
               if path.is_file() and "__pycache__" not in path.parts}
    assert {path for path in members if path.parts[0] in BUILD_INPUTS} == in_tree
