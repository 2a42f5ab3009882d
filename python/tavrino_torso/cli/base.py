"""What every command of the command line shares: the failure that ends a command
with exit status 2, progress on standard error, loading the torso file, and the
outputs: checked before any work is done (never one of the command's inputs),
and written whole or not at all.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
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


def add_torso_file(parser: argparse.ArgumentParser) -> None:
    """The torso file that every command takes first."""
    parser.add_argument("file", type=Path, help="the torso description (TOML)")


def load(path: Path) -> Torso:
    try:
        return Torso.from_toml(path)
    except DescriptionError as error:
        raise Failure(str(error)) from None


def writable(path: Path, what: str, *, inputs: Sequence[tuple[str, Path]] = (), picture: bool = False) -> Path:
    """Refuses, before any work is done, an output that cannot be written: a
    folder that does not exist or is not ours to write in, a directory or a
    device in the file's place, a name too long for the folder, a picture format
    that matplotlib does not write, or the same file as one of `inputs`, (what,
    path) pairs of the files the command reads or writes besides. Returns the
    path to write: a picture named without an extension is a PNG and gets
    ".png", as matplotlib names it."""
    shown = f"the {what} {path}"
    try:
        for _ in range(2):  # the path given, then the picture's with its extension
            if os.path.isdir(path):
                raise Failure(f"cannot write {shown}: it is a directory")
            if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
                raise Failure(f"cannot write {shown}: it is not a regular file")
            if not picture or path.suffix:
                break
            if not path.name.strip("."):
                raise Failure(f"cannot write {shown}: not a file name")
            path = path.with_name(path.name.rstrip(".") + ".png")
            shown = f"the {what} {path}"
        if picture:
            check_picture_format(path, shown)
        folder = Path(os.path.realpath(path)).parent
        if not os.path.isdir(folder):
            raise Failure(f"cannot write {shown}: the folder {path.parent} does not exist")
        if len(os.fsencode(path.name)) > longest_name(folder):
            raise Failure(f"cannot write {shown}: the file name is too long")
        if not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
            raise Failure(f"cannot write {shown}: permission denied")
    except OSError as error:
        raise Failure(f"cannot write {shown}: {error.strerror or error}") from None
    for name, other in inputs:
        if same_file(path, other):
            raise Failure(f"cannot write {shown}: it is the same file as the {name} {other}")
    return path


def check_picture_format(path: Path, shown: str) -> None:
    from ..plot import MissingMatplotlib, picture_formats

    try:
        formats = picture_formats()
    except MissingMatplotlib:  # nothing will be drawn: the command says so when it gets there
        return
    if path.suffix[1:].lower() not in formats:
        raise Failure(f"cannot write {shown}: matplotlib does not write {path.suffix!r} pictures "
                      f"(it writes {', '.join(formats)})")


def longest_name(folder: Path) -> int:
    try:
        return os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        return 255


def same_file(a: Path, b: Path) -> bool:
    """Whether two paths name one file: the same path, a link to it, or another
    hard link; paths of files not there yet are compared with links resolved."""
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return os.path.realpath(a) == os.path.realpath(b)


def write_atomically(path: Path, what: str, write: Callable[[Path], object]) -> None:
    """Writes an output: `write` writes a temporary file in the file's folder,
    which then takes the file's place in one step, so that a run that fails
    midway leaves the file as it was (or absent). Through a link, the file linked
    to is replaced; it keeps its permissions, and a new file gets the usual ones."""
    target = Path(os.path.realpath(path))
    suffix = target.suffix if len(target.suffix) <= 16 else ""  # the format of a picture
    temporary = None
    try:
        handle, name = tempfile.mkstemp(prefix=f".{PROG}-", suffix=suffix, dir=target.parent)
        os.close(handle)
        temporary = Path(name)
        write(temporary)
        with open(temporary, "rb+") as written:
            os.fsync(written.fileno())
        os.chmod(temporary, permissions(target))
        os.replace(temporary, target)
        temporary = None
    except OSError as error:
        raise Failure(f"cannot write the {what} {path}: {error.strerror or error}") from None
    finally:
        if temporary is not None:
            with contextlib.suppress(OSError):
                temporary.unlink()


def permissions(path: Path) -> int:
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def draw(progress: Progress, path: Path, drawing: Callable[[Path], None]) -> None:
    """Draws a picture to `path` with `drawing`, which writes the file it is
    given; without matplotlib it raises MissingMatplotlib, which the caller may
    take as a failure or not."""
    progress.start(f"drawing {path}")
    write_atomically(path, "picture", drawing)
    progress.done()
    print(f"Picture: {path}")


Adder = Callable[["argparse._SubParsersAction[argparse.ArgumentParser]"], argparse.ArgumentParser]
Runner = Callable[[argparse.Namespace, Progress], int]
