"""Prints, one a line, what pyproject.toml asks for: requirements.py [build] [EXTRA...].

"build" stands for the build system's requirements, any other word for that
optional extra, with the extras it names of this project followed in turn (an
extra that is not defined is reported and skipped, as pip does). The
project's commands install these into their environments once and then build the
module without pip's isolated (and throw-away) build environment.
"""

from __future__ import annotations

import re
import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"
SELF_REFERENCE = re.compile(r"^\s*([A-Za-z0-9_.-]+)\s*\[([^\]]*)\]\s*$")


def normalised(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def collect(config: dict, groups: list[str]) -> list[str]:
    project = normalised(config["project"]["name"])
    extras = config["project"].get("optional-dependencies", {})
    requirements: list[str] = []
    seen: set[str] = set()
    todo = list(groups)
    while todo:
        group = todo.pop(0)
        if group in seen:
            continue
        seen.add(group)
        if group == "build":
            entries = config["build-system"]["requires"]
        elif group in extras:
            entries = extras[group]
        else:
            # As pip does for an unknown extra: say so and go on.
            print(f"requirements.py: pyproject.toml has no extra named {group!r}", file=sys.stderr)
            continue
        for entry in entries:
            match = SELF_REFERENCE.match(entry)
            if match and normalised(match.group(1)) == project:
                todo.extend(part.strip() for part in match.group(2).split(",") if part.strip())
            elif entry not in requirements:
                requirements.append(entry)
    return requirements


def main() -> int:
    config = tomllib.loads(PYPROJECT.read_text())
    for requirement in collect(config, sys.argv[1:]):
        print(requirement)
    return 0


if __name__ == "__main__":
    sys.exit(main())
