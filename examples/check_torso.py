"""Checks a torso described in a TOML file (format: examples/torso_file.py,
guide: docs/describing-a-torso.md) and reports:

- whether the home pose is reachable;
- each branch's motor angle at home, assembly mode, and margin to the limit of
  its reach, as a distance;
- how far the platform can move and turn from home before a branch loses reach;
- a picture of the torso at home (with matplotlib; pip install '.[plot]').

    python examples/check_torso.py examples/example_torso.toml

Exit status: 0 when home is reachable, 1 when it is not, 2 for a file that
cannot be used (with a message naming the field).
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from reach_margin import anchor_direction, reach_margin  # noqa: E402
from torso_file import DescriptionError, TorsoDescription, load  # noqa: E402
from workspace import extent_around_home  # noqa: E402

DEFAULT_PICTURES = Path(__file__).resolve().parents[1] / "build" / "check"


def side(turn: float) -> str:
    return "counter-clockwise" if turn >= 0.0 else "clockwise"


def report_home(description: TorsoDescription, angles: list[float], mm: float) -> None:
    """One line per branch: angle at home, mode, and reach margin."""
    print(f"   {'branch':>6} {'solution':>8} {'angle (deg)':>11}   {'arm from anchor direction':<26}"
          f" {'reach margin':>12}")
    for i, (branch, angle) in enumerate(zip(description.branches, angles)):
        margin = reach_margin(description.motor_arm_length, description.rod_length, branch, description.home)
        if math.isnan(angle):
            shown, turn = "NaN", "out of reach"
        else:
            offset = (angle - anchor_direction(branch, description.home) + math.pi) % (2 * math.pi) - math.pi
            shown, turn = f"{math.degrees(angle):+.2f}", f"{abs(math.degrees(offset)):5.1f} {side(offset)}"
        print(f"   {i:6d} {branch.solution:+8.0f} {shown:>11}   {turn:<26} {margin * mm:9.2f} mm")
    print("   arm from anchor direction: how far the arm is turned about the motor axis from the")
    print("   anchor's direction (+1 counter-clockwise, -1 clockwise, seen from the axis tip)")
    print("   reach margin: how far the anchor may move (or the rod change length) before the")
    print("   branch cannot reach; 0 where its two modes meet, negative when out of reach")


def report_workspace(torso, description: TorsoDescription, mm: float) -> None:
    extent = extent_around_home(torso, description.home, description.rod_length)
    print("\nWorkspace around home (each branch's reach only; collisions are not checked):")
    print(f"   move, orientation kept:  at least {extent.translation_min * mm:6.1f} mm in each of 26 directions,"
          f" up to {extent.translation_max * mm:.1f} mm")
    print(f"   tilt, position kept:     at least {math.degrees(extent.tilt_min):6.1f} deg of roll/pitch in each"
          f" of 16 directions, up to {math.degrees(extent.tilt_max):.1f} deg")
    print(f"   yaw about home's z axis: {math.degrees(extent.yaw_low):+.1f} to"
          f" {math.degrees(extent.yaw_high):+.1f} deg")


def draw(description: TorsoDescription, angles: list[float], path: Path, name: str) -> None:
    try:
        from torso_figure import draw_torso
    except ImportError:
        print("\nPicture: not drawn, matplotlib is not installed (pip install '.[plot]')")
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    draw_torso(path, description.motor_arm_length, description.branches, description.home, angles,
               f"{name} at home")
    print(f"\nPicture: {path}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", type=Path, help="the torso description (TOML)")
    parser.add_argument("--picture", type=Path, help="where to draw the torso (default: build/check/NAME.png)")
    parser.add_argument("--no-picture", action="store_true", help="do not draw")
    args = parser.parse_args(argv)
    try:
        description = load(args.file)
    except DescriptionError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    mm = 1000.0  # descriptions are in metres; reports in millimetres
    torso = description.make_torso()
    angles = torso.inverse_kinematics(description.home)
    reachable = not any(math.isnan(a) for a in angles)
    print(f"Torso {args.file}: 6 branches, arms {description.motor_arm_length * mm:g} mm,"
          f" rods {description.rod_length * mm:g} mm")
    print(f"\nHome pose: {'reachable' if reachable else 'NOT reachable (NaN angles below)'}")
    report_home(description, angles, mm)
    if reachable:
        report_workspace(torso, description, mm)
    if not args.no_picture:
        draw(description, angles, args.picture or DEFAULT_PICTURES / f"{args.file.stem}.png", args.file.stem)
    return 0 if reachable else 1


if __name__ == "__main__":
    sys.exit(main())
