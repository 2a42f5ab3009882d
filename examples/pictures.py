"""Writes the pictures of the example torso as small PNGs, with tavrino_torso.plot:

  torso.png               the torso in 3D at a tilted pose, branch indices and modes
  workspace.png           reachable platform positions at several heights, and
                          reachable roll/pitch at home, found with inverse kinematics
  conditioning.png        the same maps coloured by the inverse condition of the
                          platform Jacobian
  forward-kinematics.png  rod errors per forward kinematics call from several
                          starting estimates, and the tracking error along a trajectory
  holding-torque.png      the most loaded motor's torque holding the payload still,
                          over the same maps
  motion.png              a time-optimal motion through four waypoints: the motor
                          angles, speeds and torques over time, with the limits

    python examples/pictures.py --out docs/images   # the committed copies
    python examples/pictures.py                     # into build/demo/

Needs matplotlib and toppra: pip install '.[plot,motion]'.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import math
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from rod_errors import rod_error_norm  # noqa: E402
from tracking import track  # noqa: E402
from trajectory import ticks  # noqa: E402

from tavrino_torso import Torso, motion, plot, pose, workspace  # noqa: E402

DEGREE = math.pi / 180.0
DEFAULT_OUT = Path(__file__).resolve().parents[1] / "build" / "demo"
DRAWN_POSE = pose(0.006, -0.004, 0.004, roll=8 * DEGREE, pitch=-6 * DEGREE, yaw=10 * DEGREE)
HEIGHTS = (-0.030, -0.015, 0.0, 0.015, 0.030)
HALF_WIDTH = 0.110
FAR_TARGET = pose(0.015, -0.010, 0.008, roll=15 * DEGREE, pitch=-12 * DEGREE, yaw=20 * DEGREE).tolist()
STARTS = {
    "home": pose(0.0, 0.0, 0.0).tolist(),
    "target moved 20 mm, turned 20 deg": pose(0.015, 0.010, 0.008, roll=15 * DEGREE, pitch=8 * DEGREE,
                                              yaw=20 * DEGREE).tolist(),
    "target moved 5 mm": pose(0.020, -0.010, 0.008, roll=15 * DEGREE, pitch=-12 * DEGREE, yaw=20 * DEGREE).tolist(),
    "target turned 10 deg": pose(0.015, -0.010, 0.008, roll=25 * DEGREE, pitch=-12 * DEGREE,
                                 yaw=20 * DEGREE).tolist(),
}


def torso_picture(path: Path) -> None:
    plot.draw_torso(Torso.example(), path, pose=DRAWN_POSE,
                    title="Example torso: platform 6 mm / -4 mm / 4 mm off home, roll 8, pitch -6, yaw 10 deg")


def workspace_pictures(reach: Path, conditioning: Path) -> None:
    ws = workspace(Torso.example(), heights=HEIGHTS, half_width=HALF_WIDTH)
    plot.draw_workspace(ws, reach, title="Reachable (green) and unreachable (grey) platform poses of the example "
                                         "torso; + is home")
    plot.draw_conditioning(ws, conditioning, title="Inverse condition of the platform Jacobian of the example "
                                                   "torso (grey: out of reach); + is home")


def forward_picture(path: Path) -> None:
    """The class's forward kinematics, one step per call: from four starting
    estimates onto a far pose, and tracking the demo trajectory."""
    example = Torso.example()
    torso = example.kinematics()
    angles = torso.inverse_kinematics(FAR_TARGET)
    convergence = {}
    for label, start in STARTS.items():
        torso.reset_forward_kinematics(start)
        norms = [rod_error_norm(example, angles, start)]
        for _ in range(25):
            norms.append(rod_error_norm(example, angles, torso.forward_kinematics(angles)))
        convergence[label] = norms
    steps = track(torso, ticks(), STARTS["home"])
    plot.draw_convergence(path, convergence, [s.time_s for s in steps], [s.position_error for s in steps],
                          [s.rotation_error for s in steps])


# The planned motion of docs/motion.md.
WAYPOINTS = (pose(0.0, 0.0, 0.0), pose(0.01, 0.0, 0.005, roll=0.1), pose(-0.01, 0.01, 0.0, pitch=-0.1, yaw=0.2),
             pose(0.0, 0.0, 0.0))


def motion_pictures(holding: Path, planned: Path) -> list[Path]:
    """The holding torque, and the planned motion when toppra is there to plan it."""
    torso = Torso.example()
    motion.draw_holding_torque(motion.holding_torque(torso), torso, holding,
                               title="Example torso: torque of the most loaded motor holding its 1.8 kg payload "
                                     "still (grey: out of reach)")
    try:
        trajectory = motion.plan(torso, np.stack(WAYPOINTS))
    except motion.MissingToppra:
        print(f"   skipped {planned.name}: toppra is not installed (pip install '.[motion]')")
        return [holding]
    motion.draw_trajectory(trajectory, torso, planned,
                           title=f"Example torso: the fastest motion through four waypoints, "
                                 f"{trajectory.duration:.2f} s within the motors' limits (dashed)")
    return [holding, planned]


def first_four(paths: dict[str, Path]) -> list[Path]:
    torso_picture(paths["torso"])
    workspace_pictures(paths["workspace"], paths["conditioning"])
    forward_picture(paths["forward-kinematics"])
    return [paths[name] for name in ("torso", "workspace", "conditioning", "forward-kinematics")]


def write_all(out: Path) -> list[Path]:
    """The pictures, drawn in two processes: drawing is most of the demo's time."""
    out.mkdir(parents=True, exist_ok=True)
    names = ("torso", "workspace", "conditioning", "forward-kinematics", "holding-torque", "motion")
    paths = {name: out / f"{name}.png" for name in names}
    plot.picture_formats()  # MissingMatplotlib here, rather than from both processes
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        drawn = pool.submit(first_four, paths)
        last_two = motion_pictures(paths["holding-torque"], paths["motion"])
        return [*drawn.result(), *last_two]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="folder for the PNGs (default: build/demo)")
    args = parser.parse_args(argv)
    try:
        written = write_all(args.out)
    except plot.MissingMatplotlib as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    for path in written:
        print(f"{path}  ({path.stat().st_size // 1024} KB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
