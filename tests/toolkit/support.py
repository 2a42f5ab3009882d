"""What several of the toolkit tests use: the example files, and the examples'
standard-library description of the example torso."""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
EXAMPLE_FILE = EXAMPLES / "example_torso.toml"

if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

import example_torso  # noqa: E402  (the examples' folder is on the path now)

__all__ = ["ROOT", "EXAMPLES", "EXAMPLE_FILE", "example_torso"]
