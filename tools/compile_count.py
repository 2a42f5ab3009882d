"""How often each core source was compiled: compile_count.py LOG ROOT.

LOG is what tools/compile-launcher wrote (the build folder and the source of
every real compilation; ccache hits are not in it). A unity source, which CMake
writes to compile several files as one, counts as a compilation of each file
it includes. Prints one line: the most
compilations of any file under src/kinematics, and per build folder the
compilations of those files, for example

    this run compiled each core source (src/kinematics, 14 files) at most 2 times:
    build/release 14, build/sanitize 14
"""

from __future__ import annotations

import re
import sys
from collections import Counter
from pathlib import Path


def build_folder(directory: Path, root: Path) -> str:
    """The build tree a compilation ran in: build/<name>, or the folder itself."""
    try:
        parts = directory.relative_to(root / "build").parts
    except ValueError:
        return str(directory)
    return "build/" + parts[0] if parts else "build"


def compiled_files(path: Path) -> list[Path]:
    """The files one compilation of PATH compiled: PATH itself, or for a unity
    source of CMake's the files it includes."""
    if not (path.name.startswith("unity_") and path.parent.name == "Unity"):
        return [path]
    try:
        text = path.read_text()
    except OSError:
        return [path]
    return [Path(included).resolve() for included in re.findall(r'^#include "(.+)"$', text, re.M)]


def main() -> int:
    log, root = Path(sys.argv[1]), Path(sys.argv[2]).resolve()
    core = root / "src" / "kinematics"
    per_file: Counter[Path] = Counter()
    per_tree: Counter[str] = Counter()
    lines = log.read_text().splitlines() if log.exists() else []
    for line in lines:
        directory, _, source = line.partition("\t")
        for path in compiled_files((Path(directory) / source).resolve()):
            if core in path.parents:
                per_file[path] += 1
                per_tree[build_folder(Path(directory).resolve(), root)] += 1
    files = sorted(core.rglob("*.cpp"))
    most = max(per_file.values(), default=0)
    trees = ", ".join(f"{tree} {count}" for tree, count in sorted(per_tree.items())) or "nothing compiled"
    print(f"this run compiled each core source (src/kinematics, {len(files)} files) at most {most} "
          f"time{'' if most == 1 else 's'}: {trees}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
