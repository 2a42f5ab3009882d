"""What every command of the command line shares: the failure that ends a command
with exit status 2, progress on standard error, loading the torso file, and
checking and writing output paths.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path

from ..torso import DescriptionError, Torso

PROG = "tavrino-torso"
PLOT_EXTRA = "pip install 'tavrino_torso_kinematics[plot]'"


class Failure(Exception):
    """Ends a command with a message on standard error and exit status 2."""


class Progress:
    """Says on standard error what a step that may take a few seconds is doing,
    and how long it took."""

    def __init__(self) -> None:
        self.started = 0.0
        self.interactive = sys.stderr.isatty()

    def start(self, text: str) -> None:
        self.started = time.monotonic()
        print(f"{PROG}: {text} ...", file=sys.stderr, flush=True)

    def fraction(self, done: int, total: int) -> None:
        if self.interactive:
            print(f"\r    {done}/{total}", end="\n" if done == total else "", file=sys.stderr, flush=True)

    def done(self) -> None:
        print(f"{PROG}:     done in {time.monotonic() - self.started:.1f} s", file=sys.stderr, flush=True)


def load(path: Path) -> Torso:
    try:
        return Torso.from_toml(path)
    except DescriptionError as error:
        raise Failure(str(error)) from None


def writable(path: Path, what: str) -> Path:
    """Refuses, before any work is done, a picture path that cannot be written."""
    folder = path.parent
    if path.is_dir():
        raise Failure(f"cannot write the {what} {path}: it is a directory")
    if not folder.is_dir():
        raise Failure(f"cannot write the {what} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise Failure(f"cannot write the {what} {path}: permission denied")
    return path


def draw(progress: Progress, path: Path, drawing: Callable[[], None]) -> None:
    """Runs `drawing`, which writes `path`; without matplotlib it raises
    MissingMatplotlib, which the caller may take as a failure or not."""
    progress.start(f"drawing {path}")
    try:
        drawing()
    except OSError as error:
        raise Failure(f"cannot write the picture {path}: {error.strerror or error}") from None
    progress.done()
    print(f"Picture: {path}")


Adder = Callable[["argparse._SubParsersAction[argparse.ArgumentParser]"], argparse.ArgumentParser]
Runner = Callable[[argparse.Namespace, Progress], int]
