"""The geometry check of a torso: is home reachable, how is each branch
assembled there and how far from the edge of its reach, how well conditioned
is home, and how far the platform can move and turn from it.

The reach margin: the arm tip runs on a circle of radius a (the arm length)
about the motor axis. Seen from the rod's anchor, the nearest point of that
circle is d_min away and the farthest d_max; the rod of length r fits exactly
when d_min <= r <= d_max. The margin min(r - d_min, d_max - r) is how much the
rod could shrink or grow before the branch loses reach, and also a distance the
anchor can move in any direction without losing it (both distances change at
most as fast as the anchor moves). It is negative for an anchor out of reach,
and zero where the two assembly modes meet.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .torso import Branch, Torso
from .workspace import Extent, extent_around_home

Array = npt.NDArray[np.float64]

# Home is a problem when it is this close to the edge of a branch's reach (the
# rod within about 3 degrees of square to the arm tip's motion) or to a
# platform singularity.
LEAST_TRANSMISSION = 0.05
LEAST_INVERSE_CONDITION = 0.01
# Arms and rods of a robot torso lie well within these (metres). A length far
# outside them is most likely a file in millimetres read as metres (no
# length_unit = "mm"), or the other way round.
SHORTEST_PLAUSIBLE = 0.002
LONGEST_PLAUSIBLE = 2.0


def plausibility(torso: Torso) -> tuple[str, ...]:
    """Warnings about lengths that a torso is unlikely to have: each is solvable,
    but most likely a slip in the description."""
    found = []
    lengths = {"arms": torso.motor_arm_length, "rods": torso.rod_length}
    long = [f"{name} of {length * 1e3:g} mm" for name, length in lengths.items() if length > LONGEST_PLAUSIBLE]
    short = [f"{name} of {length * 1e3:g} mm" for name, length in lengths.items() if length < SHORTEST_PLAUSIBLE]
    if long:
        found.append(f"{' and '.join(long)} are implausibly long for a torso: a file in millimetres needs "
                     'length_unit = "mm"')
    if short:
        found.append(f"{' and '.join(short)} are implausibly short for a torso: a file in metres must not say "
                     'length_unit = "mm"')
    if torso.rod_length < torso.motor_arm_length:
        found.append(f"the rods ({torso.rod_length * 1e3:g} mm) are shorter than the arms "
                     f"({torso.motor_arm_length * 1e3:g} mm): are the two lengths swapped?")
    return tuple(found)


def anchor_in_motor_frame(branch: Branch, pose: Array) -> Array:
    """The anchor at platform pose `pose`, in the branch's (rigid) motor frame."""
    motor = np.asarray(branch.t_world_motor, dtype=np.float64)
    world = pose[:3, :3] @ np.asarray(branch.anchor) + pose[:3, 3]
    return np.asarray(motor[:3, :3].T @ (world - motor[:3, 3]))


def reach_margin(arm: float, rod: float, branch: Branch, pose: Array) -> float:
    px, py, pz = anchor_in_motor_frame(branch, pose)
    planar = math.hypot(px, py)
    return min(rod - math.hypot(planar - arm, pz), math.hypot(planar + arm, pz) - rod)


def anchor_direction(branch: Branch, pose: Array) -> float:
    """The angle, in the motor frame, of the anchor seen along the motor axis."""
    px, py, _ = anchor_in_motor_frame(branch, pose)
    return math.atan2(py, px)


@dataclass(frozen=True)
class BranchCheck:
    """One branch at home. Radians and metres; NaN where home is out of its reach."""

    solution: float
    angle: float  # the motor angle
    turn_from_anchor: float  # the arm's turn about the motor axis from the anchor's direction, in (-pi, pi]
    reach_margin: float  # negative when out of reach
    transmission: float  # |cos| between rod and the arm tip's motion: 1 ideal, 0 at the edge of reach


@dataclass(frozen=True)
class CheckReport:
    """What `check` found; `problems` lists what is wrong, and `str(report)`
    is the report the command line prints."""

    torso: Torso
    branches: tuple[BranchCheck, ...]
    inverse_condition: float  # of the platform Jacobian at home: 1 at best, 0 at a singularity, NaN out of reach
    extent: Extent | None  # None when home is out of reach

    @property
    def home_reachable(self) -> bool:
        return not any(math.isnan(b.angle) for b in self.branches)

    @property
    def problems(self) -> tuple[str, ...]:
        found = []
        out = [i for i, b in enumerate(self.branches) if math.isnan(b.angle)]
        if out:
            found.append(f"home is out of reach of branch{'es' if len(out) > 1 else ''} {', '.join(map(str, out))}")
        edge = [i for i, b in enumerate(self.branches) if b.transmission < LEAST_TRANSMISSION]
        if edge:
            found.append(f"home is at the edge of the reach of branch{'es' if len(edge) > 1 else ''} "
                         f"{', '.join(map(str, edge))} (transmission below {LEAST_TRANSMISSION:g})")
        if self.inverse_condition < LEAST_INVERSE_CONDITION:
            found.append(f"home is at or near a singularity of the platform (inverse condition "
                         f"{self.inverse_condition:.2g}, below {LEAST_INVERSE_CONDITION:g})")
        return tuple(found)

    @property
    def warnings(self) -> tuple[str, ...]:
        """What is solvable but unlikely to be meant (lengths implausible for a
        torso); no effect on `ok`."""
        return plausibility(self.torso)

    @property
    def ok(self) -> bool:
        return not self.problems

    def __str__(self) -> str:
        return self.text()

    def text(self, name: str = "Torso") -> str:
        """The report in millimetres and degrees, `name` (the file) in its first line."""
        t = self.torso
        lines = [f"{name}: 6 branches, arms {t.motor_arm_length * 1e3:g} mm, rods {t.rod_length * 1e3:g} mm", ""]
        lines.append(f"Home pose: {'reachable' if self.home_reachable else 'NOT reachable (NaN angles below)'}")
        lines.append(f"   {'branch':>6} {'solution':>8} {'angle (deg)':>11}   {'arm from anchor direction':<26}"
                     f" {'reach margin':>12} {'transmission':>12}")
        for i, b in enumerate(self.branches):
            if math.isnan(b.angle):
                shown, turn = "NaN", "out of reach"
            else:
                side = "counter-clockwise" if b.turn_from_anchor >= 0.0 else "clockwise"
                shown, turn = f"{math.degrees(b.angle):+.2f}", f"{abs(math.degrees(b.turn_from_anchor)):5.1f} {side}"
            lines.append(f"   {i:6d} {b.solution:+8.0f} {shown:>11}   {turn:<26} {b.reach_margin * 1e3:9.2f} mm"
                         f" {b.transmission:12.3f}")
        lines += [
            "   arm from anchor direction: how far the arm is turned about the motor axis from the",
            "   anchor's direction (+1 counter-clockwise, -1 clockwise, seen from the axis tip)",
            "   reach margin: how far the anchor may move (or the rod change length) before the",
            "   branch cannot reach; 0 where its two modes meet, negative when out of reach",
            "   transmission: |cos| of the angle between the rod and the arm tip's motion; 1 is",
            "   ideal, 0 the edge of reach",
            f"   inverse condition of the platform Jacobian at home: {self.inverse_condition:.3f}"
            " (1 at best, 0 at a singularity)",
        ]
        e = self.extent
        if e is not None:
            lines += [
                "",
                "Workspace around home (each branch's reach only; collisions are not checked):",
                f"   move, orientation kept:  at least {e.translation_min * 1e3:6.1f} mm in each of 26 directions,"
                f" up to {e.translation_max * 1e3:.1f} mm",
                f"   tilt, position kept:     at least {math.degrees(e.tilt_min):6.1f} deg of roll/pitch in each"
                f" of 16 directions, up to {math.degrees(e.tilt_max):.1f} deg",
                f"   yaw about home's z axis: {math.degrees(e.yaw_low):+.1f} to {math.degrees(e.yaw_high):+.1f} deg",
            ]
        if self.warnings:
            lines += ["", "Warnings:"] + [f"   {warning}" for warning in self.warnings]
        if self.problems or not self.warnings:
            lines += ["", "Problems:" if self.problems else "No problems found."]
        lines += [f"   {problem}" for problem in self.problems]
        return "\n".join(lines)


def check(torso: Torso) -> CheckReport:
    """Checks the torso at its home pose, and measures its reach around home."""
    model = torso.model()
    home = np.asarray(torso.home, dtype=np.float64)
    angles = model.inverse_kinematics(home)
    conditioning = model.conditioning(home, angles)
    branches = []
    for branch, angle, transmission in zip(torso.branches, angles.tolist(), conditioning.transmission.tolist()):
        turn = math.nan
        if not math.isnan(angle):
            turn = (angle - anchor_direction(branch, home) + math.pi) % (2 * math.pi) - math.pi
        margin = reach_margin(torso.motor_arm_length, torso.rod_length, branch, home)
        branches.append(BranchCheck(branch.solution, angle, turn, margin, transmission))
    reachable = not np.isnan(angles).any()
    extent = extent_around_home(torso, model) if reachable else None
    return CheckReport(torso, tuple(branches), float(conditioning.inverse_condition), extent)
