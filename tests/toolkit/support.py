"""What several of the toolkit tests use: the example files, poses made with the
standard library's sines and cosines, and mypy run on the package under test."""

from __future__ import annotations

import hashlib
import importlib.resources
import math
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# The example torso's file as the package ships it (Torso.example() reads it),
# and as a drawing gives it, to 15 decimals, with motor origins, axes and arm
# directions.
EXAMPLE_FILE = Path(str(importlib.resources.files("tavrino_torso") / "example_torso.toml"))
DRAWN_FILE = Path(__file__).resolve().with_name("drawn_torso.toml")

__all__ = ["ROOT", "EXAMPLE_FILE", "DRAWN_FILE", "make_pose", "mypy", "mypy_cache", "run_mypy", "stubtest"]


def make_pose(translation: tuple[float, float, float] = (0.0, 0.0, 0.0), roll: float = 0.0, pitch: float = 0.0,
              yaw: float = 0.0) -> list[list[float]]:
    """The pose with rotation Rz(yaw) Ry(pitch) Rx(roll) and the given translation,
    computed as the C++ core's tests compute it: one angle at a time with the C
    library's sines and cosines, in this order of operations."""
    cr, sr = math.cos(roll), math.sin(roll)
    cp, sp = math.cos(pitch), math.sin(pitch)
    cy, sy = math.cos(yaw), math.sin(yaw)
    x, y, z = translation
    return [
        [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr, x],
        [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr, y],
        [-sp, cp * sr, cp * cr, z],
        [0.0, 0.0, 0.0, 1.0],
    ]


def mypy_cache(package_dir: Path) -> Path:
    """mypy's cache for the package under test, kept between runs in the build
    folder (a cold one costs most of the time of the typing tests); one per
    interpreter and package, so that runs side by side share none."""
    key = hashlib.sha256(f"{sys.executable}\0{package_dir}".encode()).hexdigest()[:16]
    cache = ROOT / "build" / "mypy-cache" / key
    cache.mkdir(parents=True, exist_ok=True)
    return cache


# One set of options for every mypy run on the package: mypy's cache holds the
# options it was made with, and a run with others checks everything again.
# (The snippets may use packages without type information, such as mujoco.)
MYPY_OPTIONS = ["--config-file=", "--strict", "--show-error-codes", "--no-color-output",
                "--disable-error-code=import-untyped"]


def mypy(package_dir: Path, cache: str, *targets: str) -> subprocess.CompletedProcess[str]:
    """mypy --strict on TARGETS, with the package's cache named CACHE: one for
    each test module that runs mypy, since tests may run side by side (pytest-xdist)."""
    return run_mypy(["mypy", *MYPY_OPTIONS, "--cache-dir", str(mypy_cache(package_dir) / cache), *targets],
                    package_dir)


def stubtest(package_dir: Path, module: str, *options: str) -> subprocess.CompletedProcess[str]:
    """mypy.stubtest on MODULE, which keeps no cache: it analyses numpy's stubs
    at every run (with mypy's cache it misses differences in classes), so it
    writes none either."""
    config = mypy_cache(package_dir) / "stubtest.ini"
    config.write_text("[mypy]\ncache_dir = /dev/null\n")
    return run_mypy(["mypy.stubtest", f"--mypy-config-file={config}", *options, module], package_dir)


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
