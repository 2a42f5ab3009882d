"""Checks a torso described in a TOML file: the command `tavrino-torso check`,
for a checkout where the package is importable but its command is not on PATH.

    python examples/check_torso.py examples/example_torso.toml [--picture PNG]

See docs/describing-a-torso.md; exit status 0 when the torso is fine, 1 when
it has a problem, 2 for a file that cannot be used.
"""

from __future__ import annotations

import sys

from tavrino_torso.cli import main

if __name__ == "__main__":
    sys.exit(main(["check", *sys.argv[1:]]))
