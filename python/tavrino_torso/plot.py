"""Pictures of a torso, its workspace and forward kinematics, written as PNG
files. They need matplotlib, the `plot` extra
(pip install 'tavrino_torso_kinematics[plot]'): it is imported when a picture
is drawn, not with this module, and its absence raises MissingMatplotlib with
that advice. Figures are made without pyplot, so that drawing here leaves the
caller's matplotlib backend alone. Lengths are drawn in millimetres, angles in
degrees.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .torso import Branch, Torso
from .workspace import Workspace

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

Array = npt.NDArray[np.float64]
MILLIMETRE = 1e3
MODE_COLOURS = {1.0: "tab:blue", -1.0: "tab:orange"}
REACH_COLOURS = ("#e4e4e4", "#7fc97f")  # unreachable, reachable
UNREACHABLE = "#e4e4e4"


class MissingMatplotlib(ImportError):
    """Raised by the drawing functions when matplotlib is not installed."""


NO_MATPLOTLIB = "drawing needs matplotlib, which is not installed: pip install 'tavrino_torso_kinematics[plot]'"


def figure(**options: Any) -> Figure:
    """A matplotlib Figure (options as for matplotlib.figure.Figure), made
    without pyplot; MissingMatplotlib when matplotlib is not installed. Every
    picture of the package starts here."""
    try:
        import matplotlib  # noqa: F401  (first: without it nothing of matplotlib works, even if partly imported)
        from matplotlib.figure import Figure
    except ImportError:
        raise MissingMatplotlib(NO_MATPLOTLIB) from None
    return Figure(**options)


def picture_formats() -> tuple[str, ...]:
    """The picture formats that save writes, by file extension ("png", "pdf",
    "svg", ...); MissingMatplotlib when matplotlib is not installed."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise MissingMatplotlib(NO_MATPLOTLIB) from None
    return tuple(sorted(FigureCanvasBase.get_supported_filetypes()))


def save(fig: Figure, path: str | Path, **options: Any) -> None:
    """Writes the figure to `path` (options as for Figure.savefig)."""
    fig.savefig(Path(path), **options)


# The torso -------------------------------------------------------------------

class BranchDrawing:
    """World coordinates of one branch's parts, in millimetres."""

    def __init__(self, branch: Branch, arm: float, pose: Array, angle: float, centre: Array) -> None:
        m = np.asarray(branch.t_world_motor, dtype=np.float64)
        self.motor = m[:3, 3] * MILLIMETRE
        self.axis = m[:3, 2] * 0.7 * arm * MILLIMETRE
        self.anchor = (pose[:3, :3] @ np.asarray(branch.anchor) + pose[:3, 3]) * MILLIMETRE
        turn = 2.0 * np.pi * np.arange(49) / 48
        circle = np.stack([arm * np.cos(turn), arm * np.sin(turn), np.zeros_like(turn)], axis=-1)
        self.sweep = (circle @ m[:3, :3].T + m[:3, 3]) * MILLIMETRE
        self.tip: Array | None = None
        if not math.isnan(angle):
            tip = np.array([arm * math.cos(angle), arm * math.sin(angle), 0.0])
            self.tip = (m[:3, :3] @ tip + m[:3, 3]) * MILLIMETRE
        self.label = label_position(self.motor, centre, 0.9 * arm * MILLIMETRE)
        # In 3D also below the motor, clear of the arms, which swing above it.
        self.label_3d = self.label - np.array([0.0, 0.0, 0.6 * arm * MILLIMETRE])
        self.colour = MODE_COLOURS[branch.solution]
        self.mode = f"{branch.solution:+g}"


def label_position(motor: Array, centre: Array, distance: float) -> Array:
    """Where a branch's label goes: `distance` from its motor, straight out from
    the centre of the motors seen from above, so that it sits beside its own
    motor whichever way the motor axes point (along an axis that runs along the
    circle, it would sit beside the neighbouring motor)."""
    outward = np.array([motor[0] - centre[0], motor[1] - centre[1], 0.0])
    length = float(np.linalg.norm(outward))
    return np.asarray(motor + (outward / length * distance if length > 0.0 else 0.0), dtype=np.float64)


def _line(ax: Axes, points: Sequence[Array] | Array, three_d: bool, **style: Any) -> None:
    coords = np.asarray(points).T
    ax.plot(*(coords if three_d else coords[:2]), **style)


def _draw_branch(ax: Axes, d: BranchDrawing, index: int, three_d: bool) -> None:
    n = 3 if three_d else 2
    axes: Any = ax  # 2D or 3D: the 3D axes take a third coordinate
    if not three_d:  # in 3D the arm tip circles only clutter the picture
        _line(ax, d.sweep, three_d, color=d.colour, lw=0.6, ls=":")
    _line(ax, [d.motor, d.motor + d.axis], three_d, color="black", lw=1.6)
    axes.scatter(*d.motor[:n], color="black", s=14, zorder=3)
    if d.tip is None:
        axes.scatter(*d.anchor[:n], color="red", marker="x", s=40, zorder=4)
    else:
        _line(ax, [d.motor, d.tip], three_d, color=d.colour, lw=3.0, solid_capstyle="round")
        _line(ax, [d.tip, d.anchor], three_d, color="dimgray", lw=1.4)
    box = dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.8)
    axes.text(*(d.label_3d if three_d else d.label)[:n], f"{index} ({d.mode})", fontsize=8, ha="center",
              va="center", bbox=box)


def _around_centre(points: Array) -> Array:
    """The points in order of their angle about their centroid, seen from above,
    so that joining them draws a simple polygon; closed."""
    centre = points.mean(axis=0)
    ring = points[np.argsort(np.arctan2(points[:, 1] - centre[1], points[:, 0] - centre[0]), kind="stable")]
    return np.concatenate([ring, ring[:1]])


def draw_torso(torso: Torso, path: str | Path, *, pose: npt.ArrayLike | None = None,
               angles: npt.ArrayLike | None = None, title: str | None = None) -> None:
    """Writes a PNG: a 3D view and a view from above of the torso at `pose`
    (default: home), the motors at `angles` (default: its inverse kinematics).
    A branch that cannot reach (a NaN angle) has its anchor marked x."""
    at = np.asarray(torso.home if pose is None else pose, dtype=np.float64)
    if angles is None:
        angles = torso.model().inverse_kinematics(at)
    q = np.asarray(angles, dtype=np.float64).tolist()
    arm = torso.motor_arm_length
    centre = np.mean([np.asarray(b.t_world_motor)[:3, 3] for b in torso.branches], axis=0) * MILLIMETRE
    drawings = [BranchDrawing(b, arm, at, a, centre) for b, a in zip(torso.branches, q)]
    fig = figure(figsize=(9.6, 4.6), dpi=90)
    ax3 = fig.add_subplot(1, 2, 1, projection="3d")
    top = fig.add_subplot(1, 2, 2)
    _line(top, _around_centre(np.array([d.motor for d in drawings])), False, color="black", lw=0.8, ls="--")
    for ax, three_d in ((ax3, True), (top, False)):
        _line(ax, _around_centre(np.array([d.anchor for d in drawings])), three_d, color="tab:green", lw=2.0)
        for i, d in enumerate(drawings):
            _draw_branch(ax, d, i, three_d)
    # The x, y and z axes of motor 0's frame, as the guide explains them.
    m = np.asarray(torso.branches[0].t_world_motor)
    origin = m[:3, 3] * MILLIMETRE
    for c, colour, name in ((0, "red", "x"), (1, "green", "y"), (2, "blue", "z")):
        end = origin + 0.75 * arm * MILLIMETRE * m[:3, c]
        ax3.plot(*np.array([origin, end]).T, color=colour, lw=1.2)
        ax3.text(*end, name, color=colour, fontsize=8)
    points = np.array([p for d in drawings for p in (d.motor, d.anchor, d.label, d.label_3d, *d.sweep)])
    low, high = points.min(axis=0), points.max(axis=0)
    half = (high - low).max() / 2.0
    centre = (low + high) / 2.0
    ax3.set_xlim(centre[0] - half, centre[0] + half)
    ax3.set_ylim(centre[1] - half, centre[1] + half)
    ax3.set_zlim(centre[2] - half, centre[2] + half)
    ax3.set_box_aspect((1, 1, 1))
    reach = 1.15 * np.abs(points[:, :2]).max()
    top.set_xlim(-reach, reach)
    top.set_ylim(-reach, reach)
    ax3.view_init(elev=18, azim=-62)
    from matplotlib.lines import Line2D
    from matplotlib.ticker import MaxNLocator

    ax3.set_xlabel("x (mm)", fontsize=8, labelpad=-2)
    ax3.set_ylabel("y (mm)", fontsize=8, labelpad=-2)
    ax3.set_zlabel("z (mm)", fontsize=8, labelpad=-2)
    ax3.tick_params(labelsize=7, pad=0)
    for axis in (ax3.xaxis, ax3.yaxis, ax3.zaxis):
        axis.set_major_locator(MaxNLocator(5))
    top.set_aspect("equal")
    top.set_title("seen from above", fontsize=9)
    top.set_xlabel("x (mm)", fontsize=8)
    top.set_ylabel("y (mm)", fontsize=8)
    top.tick_params(labelsize=7)
    top.grid(alpha=0.3)
    handles = [
        Line2D([], [], color="tab:blue", lw=3, label="arm, solution +1"),
        Line2D([], [], color="tab:orange", lw=3, label="arm, solution -1"),
        Line2D([], [], color="dimgray", lw=1.4, label="rod"),
        Line2D([], [], color="black", lw=1.6, label="motor axis (z)"),
        Line2D([], [], color="tab:green", lw=2, label="platform (anchors)"),
        Line2D([], [], color="black", lw=0.8, ls="--", label="base (motors)"),
        Line2D([], [], color="gray", lw=0.6, ls=":", label="arm tip circle"),
    ]
    top.legend(handles=handles, fontsize=7, loc="center left", bbox_to_anchor=(1.02, 0.5), frameon=False)
    fig.suptitle(title or "The torso at home", fontsize=10, x=0.02, ha="left")
    fig.subplots_adjust(left=0.0, right=0.80, bottom=0.1, top=0.9, wspace=0.3)
    save(fig, path, dpi=90)


# The workspace ---------------------------------------------------------------

Panel = tuple[Array, Array, tuple[float, float, float, float], str, str, str]


def _panels(ws: Workspace) -> list[Panel]:
    """(values, reach, extent, labels) of each panel: one per height, then the tilts."""
    half = float(ws.xs[-1]) * MILLIMETRE
    panels: list[Panel] = []
    for h, height in enumerate(ws.heights):
        panels.append((ws.inverse_condition[h], ws.reachable[h].astype(float), (-half, half, -half, half),
                       "x (mm)", "y (mm)", f"x-y at height {height * MILLIMETRE:+.0f} mm, no tilt"))
    tilt = math.degrees(float(ws.rolls[-1]))
    panels.append((ws.tilt_inverse_condition, ws.tilt_reachable.astype(float), (-tilt, tilt, -tilt, tilt),
                   "roll (deg)", "pitch (deg)", "roll-pitch at the position of home"))
    return panels


def _workspace_figure(ws: Workspace, conditioning: bool, title: str, path: str | Path) -> None:
    from matplotlib.colors import ListedColormap

    panels = _panels(ws)
    columns = 3
    rows = -(-len(panels) // columns)
    fig = figure(figsize=(9.0 + (0.8 if conditioning else 0.0), 3.0 * rows), dpi=80)
    axes = fig.subplots(rows, columns, squeeze=False)
    best = max(1e-9, float(np.nanmax(np.concatenate([ws.inverse_condition.ravel(), ws.tilt_inverse_condition.ravel()]),
                                     initial=0.0)))
    image = None
    for ax, (values, reach, extent, xlabel, ylabel, panel_title) in zip(axes.flat, panels):
        if conditioning:
            ax.imshow(1.0 - reach, origin="lower", extent=extent, cmap=ListedColormap([UNREACHABLE, UNREACHABLE]),
                      interpolation="nearest", aspect="equal")
            image = ax.imshow(np.ma.masked_invalid(values), origin="lower", extent=extent, cmap="viridis",
                              vmin=0.0, vmax=best,
                              interpolation="nearest", aspect="equal")
        else:
            ax.imshow(reach, origin="lower", extent=extent, cmap=ListedColormap(list(REACH_COLOURS)), vmin=0.0,
                      vmax=1.0, interpolation="nearest", aspect="equal")
        if 0.0 < reach.mean() < 1.0:
            xs = np.linspace(extent[0], extent[1], reach.shape[1])
            ys = np.linspace(extent[2], extent[3], reach.shape[0])
            ax.contour(xs, ys, reach, levels=[0.5], colors="black", linewidths=1.0)
        ax.plot([0], [0], marker="+", color="red", ms=8)
        ax.set_title(panel_title, fontsize=9)
        ax.set_xlabel(xlabel, fontsize=8)
        ax.set_ylabel(ylabel, fontsize=8)
        ax.tick_params(labelsize=7)
    for ax in list(axes.flat)[len(panels):]:
        ax.set_visible(False)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    if conditioning and image is not None:
        fig.subplots_adjust(right=0.88)
        bar = fig.colorbar(image, cax=fig.add_axes((0.91, 0.15, 0.015, 0.7)))
        bar.set_label("inverse condition of the platform Jacobian", fontsize=8)
        bar.ax.tick_params(labelsize=7)
    save(fig, path)


def draw_workspace(ws: Workspace, path: str | Path, *, title: str | None = None) -> None:
    """Writes a PNG of where the platform reaches: one map of positions per
    height and one of roll and pitch, reachable green, unreachable grey, home +."""
    _workspace_figure(ws, False, title or "Reachable (green) and unreachable (grey) platform poses; + is home", path)


def draw_conditioning(ws: Workspace, path: str | Path, *, title: str | None = None) -> None:
    """Writes a PNG of how well conditioned the platform is over the same maps:
    the inverse condition of its Jacobian in colour (0 at a singularity), out of
    reach grey, home +."""
    _workspace_figure(ws, True, title or "Inverse condition of the platform Jacobian over the workspace (grey: out "
                                        "of reach); + is home", path)


# Forward kinematics ----------------------------------------------------------

def draw_convergence(path: str | Path, convergence: Mapping[str, Sequence[float]], times: Sequence[float],
                     position_errors: Sequence[float], rotation_errors: Sequence[float], *,
                     floor: float = 1e-6) -> None:
    """Writes a PNG of forward kinematics at work. Left: the rod error norm
    (metres) after each call, one line per starting estimate. Right: the
    position (metres) and rotation (radians) errors while tracking, over time
    (seconds). `floor`: the rod error below which the solver takes no step."""
    fig = figure(figsize=(9.6, 3.8), dpi=80)
    left, right = fig.subplots(1, 2)
    calls = 0
    for label, norms in convergence.items():
        left.semilogy(range(len(norms)), [max(n, 1e-12) for n in norms], marker=".", label=label)
        calls = max(calls, len(norms) - 1)
    left.axhline(floor, color="gray", ls="--", lw=0.8)
    left.text(calls, 1.3 * floor, f"no step below {floor:g} m", fontsize=7, ha="right", color="gray")
    left.set_title("Converging on one pose: rod error norm after each call", fontsize=9)
    left.set_xlabel("forward_kinematics calls", fontsize=8)
    left.set_ylabel("rod error norm (m)", fontsize=8)
    left.legend(title="starting estimate", fontsize=7, title_fontsize=7)
    left.tick_params(labelsize=7)
    left.grid(alpha=0.3)
    right.plot(times, np.asarray(position_errors) * 1e6, color="tab:blue", lw=1.0)
    right.set_ylabel("position error (µm)", fontsize=8, color="tab:blue")
    twin = right.twinx()
    twin.plot(times, np.degrees(rotation_errors) * 1000, color="tab:red", lw=1.0)
    twin.set_ylabel("rotation error (millidegrees)", fontsize=8, color="tab:red")
    rate = round(1.0 / (times[1] - times[0])) if len(times) > 1 else 0
    right.set_title(f"Tracking at {rate} Hz, one call per tick", fontsize=9)
    right.set_xlabel("time (s)", fontsize=8)
    for ax in (right, twin):
        ax.tick_params(labelsize=7)
        ax.set_ylim(bottom=0)
    right.grid(alpha=0.3)
    fig.tight_layout()
    save(fig, path)
