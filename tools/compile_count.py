"""How often each core source was compiled: compile_count.py STATS_LOG ROOT.

STATS_LOG is ccache's stats log (CCACHE_STATSLOG) of the run: an entry per
compilation that ccache handled, in every build tree, the Python packages' and
the downstream project's included. A cache miss is a real compilation; a unity
source of CMake's counts as a compilation of each file it includes (where its
path is absolute, as it is without CCACHE_BASEDIR). Prints one line, for example

    this run compiled each core source (src/kinematics, 9 files) at most 2 times (18 compilations)
"""

from __future__ import annotations

import re
import shutil
import sys
from collections import Counter
from pathlib import Path


def compiled_files(source: Path) -> list[Path]:
    """The files that one compilation of SOURCE compiled: itself, or those a unity source includes."""
    if source.parent.name != "Unity" or not source.name.startswith("unity_"):
        return [source]
    text = source.read_text() if source.exists() else ""
    return [Path(included).resolve() for included in re.findall(r'^#include "(.+)"$', text, re.M)]


def main() -> int:
    log, root = Path(sys.argv[1]), Path(sys.argv[2]).resolve()
    core = root / "src" / "kinematics"
    if shutil.which("ccache") is None:
        print("compilations not counted: ccache is not installed")
        return 0
    counts: Counter[Path] = Counter()
    source = None
    for line in log.read_text().splitlines():
        if line.startswith("# "):
            # Relative to the build tree with CCACHE_BASEDIR set, which lies inside ROOT.
            source = Path(line[2:])
            source = source if source.is_absolute() else root.joinpath(*(p for p in source.parts if p != ".."))
        elif line == "cache_miss" and source is not None:
            counts.update(path for path in compiled_files(source) if core in path.parents)
    files = sorted(core.rglob("*.cpp"))
    most = max(counts.values(), default=0)
    print(f"this run compiled each core source (src/kinematics, {len(files)} files) at most {most} "
          f"time{'' if most == 1 else 's'} ({sum(counts.values())} compilations)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
