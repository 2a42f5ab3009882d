"""Picture of a torso at one pose: motors with their axes, the circle each arm
tip sweeps, arms, rods, the base and the platform, with every branch's index
and assembly mode. Needs matplotlib (the `plot` extra); everything else here
is the standard library."""

from __future__ import annotations

import math
from typing import Sequence

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import MaxNLocator  # noqa: E402

from example_torso import Branch, Matrix  # noqa: E402

MODE_COLOURS = {1.0: "tab:blue", -1.0: "tab:orange"}
OTHER_MODE_COLOUR = "tab:purple"
MILLIMETRE = 1000.0  # drawn in millimetres when the torso is described in metres


def transform(pose: Matrix, point: Sequence[float]) -> list[float]:
    return [pose[r][0] * point[0] + pose[r][1] * point[1] + pose[r][2] * point[2] + pose[r][3] for r in range(3)]


def column(pose: Matrix, c: int) -> list[float]:
    return [pose[r][c] for r in range(3)]


def around_centre(points: list[list[float]]) -> list[list[float]]:
    """The points in order of their angle about their centroid, seen from above,
    so that joining them draws a simple polygon."""
    cx = sum(p[0] for p in points) / len(points)
    cy = sum(p[1] for p in points) / len(points)
    return sorted(points, key=lambda p: math.atan2(p[1] - cy, p[0] - cx))


class BranchDrawing:
    """World coordinates of one branch's parts, already scaled for drawing."""

    def __init__(self, branch: Branch, arm: float, pose: Matrix, angle: float, scale: float):
        m = branch.motor_pose
        self.motor = [v * scale for v in column(m, 3)]
        self.axis = [v * 0.7 * arm * scale for v in column(m, 2)]
        self.anchor = [v * scale for v in transform(pose, branch.anchor)]
        self.sweep = [[v * scale for v in transform(m, (arm * math.cos(t), arm * math.sin(t), 0.0))]
                      for t in (2.0 * math.pi * k / 48 for k in range(49))]
        self.tip = None
        if not math.isnan(angle):
            self.tip = [v * scale for v in transform(m, (arm * math.cos(angle), arm * math.sin(angle), 0.0))]
        self.label = [self.motor[i] + 1.6 * self.axis[i] for i in range(3)]
        self.colour = MODE_COLOURS.get(float(branch.solution), OTHER_MODE_COLOUR)
        self.mode = f"{branch.solution:+g}"


def draw_branch(ax, d: BranchDrawing, index: int, three_d: bool) -> None:
    def line(points, **style):
        coords = list(zip(*points))
        ax.plot(*(coords if three_d else coords[:2]), **style)

    line(d.sweep, color=d.colour, lw=0.6, ls=":")
    line([d.motor, [d.motor[i] + d.axis[i] for i in range(3)]], color="black", lw=1.6)
    ax.scatter(*(d.motor if three_d else d.motor[:2]), color="black", s=14, zorder=3)
    if d.tip is None:
        ax.scatter(*(d.anchor if three_d else d.anchor[:2]), color="red", marker="x", s=40, zorder=4)
    else:
        line([d.motor, d.tip], color=d.colour, lw=3.0, solid_capstyle="round")
        line([d.tip, d.anchor], color="dimgray", lw=1.4)
    text = f"{index} ({d.mode})"
    box = dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.8)
    if three_d:
        ax.text(*d.label, text, fontsize=8, ha="center", va="center", bbox=box)
    else:
        ax.text(d.label[0], d.label[1], text, fontsize=8, ha="center", va="center", bbox=box)


def draw_polygon(ax, points: list[list[float]], three_d: bool, **style) -> None:
    ring = around_centre(points)
    ring.append(ring[0])
    coords = list(zip(*ring))
    ax.plot(*(coords if three_d else coords[:2]), **style)


def draw_motor_frame(ax, branch: Branch, arm: float, scale: float) -> None:
    """The x, y and z axes of one motor frame, as the guide explains them."""
    m = branch.motor_pose
    origin = [v * scale for v in column(m, 3)]
    for c, (colour, name) in enumerate((("red", "x"), ("green", "y"), ("blue", "z"))):
        end = [origin[i] + 0.75 * arm * scale * m[i][c] for i in range(3)]
        ax.plot(*zip(origin, end), color=colour, lw=1.2)
        ax.text(*end, name, color=colour, fontsize=8)


def equal_3d_axes(ax, points: list[list[float]]) -> None:
    low = [min(p[i] for p in points) for i in range(3)]
    high = [max(p[i] for p in points) for i in range(3)]
    half = max(h - lo for lo, h in zip(low, high)) / 2.0
    for i, setter in enumerate((ax.set_xlim, ax.set_ylim, ax.set_zlim)):
        centre = (low[i] + high[i]) / 2.0
        setter(centre - half, centre + half)
    ax.set_box_aspect((1, 1, 1))


def draw_torso(path, arm: float, branches: list[Branch], pose: Matrix, angles: list[float],
               title: str, unit: str = "mm", scale: float = MILLIMETRE) -> None:
    """Writes a PNG: a 3D view and a view from above of the torso at `pose`, the
    motors at `angles` (NaN: that branch cannot reach, its anchor marked x)."""
    drawings = [BranchDrawing(b, arm, pose, q, scale) for b, q in zip(branches, angles)]
    fig = plt.figure(figsize=(9.6, 4.6), dpi=90)
    ax3 = fig.add_subplot(1, 2, 1, projection="3d")
    top = fig.add_subplot(1, 2, 2)
    for ax, three_d in ((ax3, True), (top, False)):
        draw_polygon(ax, [d.motor for d in drawings], three_d, color="black", lw=0.8, ls="--")
        draw_polygon(ax, [d.anchor for d in drawings], three_d, color="tab:green", lw=2.0)
        for i, d in enumerate(drawings):
            draw_branch(ax, d, i, three_d)
    draw_motor_frame(ax3, branches[0], arm, scale)
    points = [p for d in drawings for p in (d.motor, d.anchor, d.label, *d.sweep)]
    equal_3d_axes(ax3, points)
    half = 1.15 * max(abs(v) for p in points for v in p[:2])
    top.set_xlim(-half, half)
    top.set_ylim(-half, half)
    ax3.view_init(elev=18, azim=-62)
    for name, setter in zip("xyz", (ax3.set_xlabel, ax3.set_ylabel, ax3.set_zlabel)):
        setter(f"{name} ({unit})", fontsize=8, labelpad=-2)
    ax3.tick_params(labelsize=7, pad=0)
    for axis in (ax3.xaxis, ax3.yaxis, ax3.zaxis):
        axis.set_major_locator(MaxNLocator(5))
    top.set_aspect("equal")
    top.set_title("seen from above", fontsize=9)
    top.set_xlabel(f"x ({unit})", fontsize=8)
    top.set_ylabel(f"y ({unit})", fontsize=8)
    top.tick_params(labelsize=7)
    top.grid(alpha=0.3)
    handles = [
        plt.Line2D([], [], color="tab:blue", lw=3, label="arm, solution +1"),
        plt.Line2D([], [], color="tab:orange", lw=3, label="arm, solution -1"),
        plt.Line2D([], [], color="dimgray", lw=1.4, label="rod"),
        plt.Line2D([], [], color="black", lw=1.6, label="motor axis (z)"),
        plt.Line2D([], [], color="tab:green", lw=2, label="platform (anchors)"),
        plt.Line2D([], [], color="black", lw=0.8, ls="--", label="base (motors)"),
        plt.Line2D([], [], color="gray", lw=0.6, ls=":", label="arm tip circle"),
    ]
    top.legend(handles=handles, fontsize=7, loc="center left", bbox_to_anchor=(1.02, 0.5), frameon=False)
    fig.suptitle(title, fontsize=10, x=0.02, ha="left")
    fig.subplots_adjust(left=0.0, right=0.80, bottom=0.1, top=0.9, wspace=0.3)
    fig.savefig(path, dpi=90)
    plt.close(fig)
