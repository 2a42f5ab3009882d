"""Writes the pictures of the example torso as small PNGs:

  torso.png               the torso in 3D at a tilted pose, branch indices and modes
  workspace.png           reachable platform positions at several heights, and
                          reachable roll/pitch at home, found with inverse kinematics
  forward-kinematics.png  rod errors per forward kinematics call from several
                          starting estimates, and the tracking error along a trajectory

    python examples/pictures.py --out docs/images   # the committed copies
    python examples/pictures.py                     # into build/demo/

Needs matplotlib: pip install '.[plot]'.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402

import example_torso as ex  # noqa: E402
from rod_errors import rod_error_norm  # noqa: E402
from torso_figure import draw_torso  # noqa: E402
from tracking import track  # noqa: E402
from trajectory import ticks  # noqa: E402
from workspace import linspace, roll_pitch_reachability, xy_reachability  # noqa: E402

DEGREE = math.pi / 180.0
DEFAULT_OUT = Path(__file__).resolve().parents[1] / "build" / "demo"
DRAWN_POSE = ex.make_pose((0.006, -0.004, 0.004), roll=8 * DEGREE, pitch=-6 * DEGREE, yaw=10 * DEGREE)
REACH_COLOURS = ListedColormap(["#e4e4e4", "#7fc97f"])  # unreachable, reachable
HEIGHTS_MM = (-30, -15, 0, 15, 30)
FAR_TARGET = ex.make_pose((0.015, -0.010, 0.008), roll=15 * DEGREE, pitch=-12 * DEGREE, yaw=20 * DEGREE)
STARTS = {
    "home": ex.identity(),
    "target moved 20 mm, turned 20 deg": ex.make_pose((0.015, 0.010, 0.008), roll=15 * DEGREE, pitch=8 * DEGREE,
                                                      yaw=20 * DEGREE),
    "target moved 5 mm": ex.make_pose((0.020, -0.010, 0.008), roll=15 * DEGREE, pitch=-12 * DEGREE, yaw=20 * DEGREE),
    "target turned 10 deg": ex.make_pose((0.015, -0.010, 0.008), roll=25 * DEGREE, pitch=-12 * DEGREE,
                                         yaw=20 * DEGREE),
}


def torso_picture(path: Path) -> None:
    torso = ex.make_example_torso()
    draw_torso(path, ex.MOTOR_ARM_LENGTH, ex.branches(), DRAWN_POSE, torso.inverse_kinematics(DRAWN_POSE),
               "Example torso: platform 6 mm / -4 mm / 4 mm off home, roll 8, pitch -6, yaw 10 deg")


def reach_map(ax, grid, extent, xlabel, ylabel, title) -> None:
    values = [[1.0 if ok else 0.0 for ok in row] for row in grid]
    ax.imshow(values, origin="lower", extent=extent, cmap=REACH_COLOURS, vmin=0.0, vmax=1.0,
              interpolation="nearest", aspect="equal")
    xs = linspace(extent[0], extent[1], len(grid[0]))
    ys = linspace(extent[2], extent[3], len(grid))
    ax.contour(xs, ys, values, levels=[0.5], colors="black", linewidths=1.0)
    ax.plot([0], [0], marker="+", color="red", ms=8)
    ax.set_title(title, fontsize=9)
    ax.set_xlabel(xlabel, fontsize=8)
    ax.set_ylabel(ylabel, fontsize=8)
    ax.tick_params(labelsize=7)


def workspace_picture(path: Path) -> None:
    torso = ex.make_example_torso()
    home = ex.identity()
    half_mm, count = 110.0, 89
    xs = linspace(-half_mm / 1000, half_mm / 1000, count)
    fig, axes = plt.subplots(2, 3, figsize=(9.0, 6.0), dpi=80)
    for ax, height in zip(axes.flat, HEIGHTS_MM):
        grid = xy_reachability(torso, home, height / 1000.0, xs, xs)
        reach_map(ax, grid, (-half_mm, half_mm, -half_mm, half_mm), "x (mm)", "y (mm)",
                  f"x-y at height {height:+d} mm, no tilt")
    half_deg = 60.0
    angles = linspace(-half_deg * DEGREE, half_deg * DEGREE, count)
    grid = roll_pitch_reachability(torso, home, angles, angles)
    reach_map(axes.flat[5], grid, (-half_deg, half_deg, -half_deg, half_deg), "roll (deg)", "pitch (deg)",
              "roll-pitch, position of home")
    fig.suptitle("Reachable (green) and unreachable (grey) platform poses of the example torso; + is home",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def forward_picture(path: Path) -> None:
    torso = ex.make_example_torso()
    arm, rod, branches = ex.MOTOR_ARM_LENGTH, ex.ROD_LENGTH, ex.branches()
    angles = torso.inverse_kinematics(FAR_TARGET)
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.6, 3.8), dpi=80)
    for label, start in STARTS.items():
        torso.reset_forward_kinematics(start)
        norms = [rod_error_norm(arm, rod, branches, angles, start)]
        for _ in range(25):
            norms.append(rod_error_norm(arm, rod, branches, angles, torso.forward_kinematics(angles)))
        left.semilogy(range(len(norms)), [max(n, 1e-12) for n in norms], marker=".", label=label)
    left.axhline(1e-6, color="gray", ls="--", lw=0.8)
    left.text(25, 1.3e-6, "no step below 1e-6 m", fontsize=7, ha="right", color="gray")
    left.set_title("Converging on one pose: rod error norm after each call", fontsize=9)
    left.set_xlabel("forward_kinematics calls", fontsize=8)
    left.set_ylabel("rod error norm (m)", fontsize=8)
    left.legend(title="starting estimate", fontsize=7, title_fontsize=7)
    left.tick_params(labelsize=7)
    left.grid(alpha=0.3)

    steps = track(torso, ticks(), ex.identity())
    times = [s.time_s for s in steps]
    right.plot(times, [s.position_error * 1e6 for s in steps], color="tab:blue", lw=1.0)
    right.set_ylabel("position error (µm)", fontsize=8, color="tab:blue")
    twin = right.twinx()
    twin.plot(times, [s.rotation_error / DEGREE * 1000 for s in steps], color="tab:red", lw=1.0)
    twin.set_ylabel("rotation error (millidegrees)", fontsize=8, color="tab:red")
    right.set_title("Tracking at 200 Hz, one call per tick", fontsize=9)
    right.set_xlabel("time (s)", fontsize=8)
    for ax in (right, twin):
        ax.tick_params(labelsize=7)
        ax.set_ylim(bottom=0)
    right.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


PICTURES = {
    "torso.png": torso_picture,
    "workspace.png": workspace_picture,
    "forward-kinematics.png": forward_picture,
}


def write_all(out: Path) -> list[Path]:
    out.mkdir(parents=True, exist_ok=True)
    written = []
    for name, draw in PICTURES.items():
        draw(out / name)
        written.append(out / name)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="folder for the PNGs (default: build/demo)")
    args = parser.parse_args(argv)
    for path in write_all(args.out):
        print(f"{path}  ({path.stat().st_size // 1024} KB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
