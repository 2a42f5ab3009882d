"""What several of the toolkit tests use: the example files, the examples'
standard-library description of the example torso, and mypy run on the
package under test."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
EXAMPLE_FILE = EXAMPLES / "example_torso.toml"

if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

import example_torso  # noqa: E402  (the examples' folder is on the path now)

__all__ = ["ROOT", "EXAMPLES", "EXAMPLE_FILE", "example_torso", "mypy_cache", "run_mypy"]


def mypy_cache(package_dir: Path) -> Path:
    """mypy's cache for the package under test, kept between runs in the build
    folder (a cold one costs most of the time of the typing tests); one per
    interpreter and package, so that runs side by side share none."""
    key = hashlib.sha256(f"{sys.executable}\0{package_dir}".encode()).hexdigest()[:16]
    cache = ROOT / "build" / "mypy-cache" / key
    cache.mkdir(parents=True, exist_ok=True)
    return cache


def run_mypy(args: list[str], package_dir: Path) -> subprocess.CompletedProcess[str]:
    """python -m ARGS (mypy or mypy.stubtest) in the package's cache folder: away
    from the source tree, without a configuration file, with the cache kept.
    mypy does not read PYTHONPATH, so a package from a build tree (as the
    sanitized run imports it) is named to it; an installed one it finds itself."""
    env = dict(os.environ)
    installed = {Path(sysconfig.get_path(key)) for key in ("purelib", "platlib")}
    if not {package_dir.parent, package_dir.parent.resolve()} & (installed | {path.resolve() for path in installed}):
        env["MYPYPATH"] = str(package_dir.parent)
    return subprocess.run([sys.executable, "-m", *args], cwd=mypy_cache(package_dir), env=env,
                          capture_output=True, text=True, timeout=600, check=False)
