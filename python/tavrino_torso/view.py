"""An interactive 3D view of a torso in the browser, built on viser (the `view`
extra: pip install 'tavrino_torso_kinematics[view]'), which is imported when a
view starts, not with this module.

`Viewer(torso)` serves the torso as built: the motors with their axes, the arms
coloured by assembly mode, the rods, the platform and, when the torso carries a
payload, its centre of mass. Sliders move the platform about home (x, y, z,
roll, pitch, yaw) and turn the body; the panel reads out the motor angles, the
reach margins, the transmission, the inverse condition and, with a payload, the
holding torques. A pose out of reach turns the branches that cannot reach it
red, and the platform stays at the last reachable pose. A trajectory (as
`tavrino-torso plan` writes it) plays back with a time slider.

`solve` computes what the view shows for one pose, without a browser.
"""

from __future__ import annotations

import contextlib
import csv
import io
import math
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .check import reach_margin
from .plot import label_position
from .poses import from_quaternion, pose, quaternion
from .torso import Branch, Torso

if TYPE_CHECKING:
    from ._native import Model

Array = npt.NDArray[np.float64]
DEGREE = math.pi / 180.0
VIEW_EXTRA = "pip install 'tavrino_torso_kinematics[view]'"
TRAJECTORY_COLUMNS = ("time", "x", "y", "z", "qw", "qx", "qy", "qz", *(f"{name}{i}" for name in ("q", "dq", "tau")
                                                                       for i in range(6)))
LENGTH_UNITS = {"m": 1.0, "mm": 1e-3}
# Colours (RGB): arms by assembly mode, as in the pictures; a branch that cannot
# reach the requested pose in red.
MODE_COLOURS = {1.0: (31, 119, 180), -1.0: (255, 127, 14)}
OUT_OF_REACH = (220, 20, 20)
ROD_COLOUR = (105, 105, 105)
PLATFORM_COLOUR = (44, 160, 44)
MOTOR_COLOUR = (20, 20, 20)
PAYLOAD_COLOUR = (200, 30, 30)


def _lines(colours: list[tuple[int, int, int]]) -> npt.NDArray[np.uint8]:
    """Per-segment colours for viser's line segments, both ends alike. Their
    vertex colours are taken as linear and brightened on the way to the screen,
    so they are given as the linear values of the sRGB colours meant."""
    srgb = np.array(colours, dtype=np.float64) / 255.0
    linear = np.where(srgb <= 0.04045, srgb / 12.92, ((srgb + 0.055) / 1.055) ** 2.4)
    return np.repeat(np.round(linear * 255.0).astype(np.uint8)[:, None, :], 2, axis=1)


class MissingViser(ImportError):
    """Raised when a view is started without viser installed."""


# What the view shows -----------------------------------------------------------

@dataclass(frozen=True)
class Scene:
    """The view of one requested pose. `pose`, `body_yaw` and `angles` are what
    is drawn: the request when every branch reaches it, otherwise the last
    reachable one. The rest belongs to the request: its motor angles (NaN for a
    branch that cannot reach), reach margins (metres, negative out of reach),
    transmission and inverse condition (NaN out of reach), and the torques
    that hold the payload there (None without a payload). Radians."""

    pose: Array
    body_yaw: float
    angles: Array
    requested_angles: Array
    reach_margins: Array
    transmission: Array
    inverse_condition: float
    holding_torques: Array | None

    @property
    def reachable(self) -> Array:
        """Per branch: does it reach the requested pose?"""
        return np.asarray(~np.isnan(self.requested_angles))


def turned(yaw: float) -> Array:
    """The rotation of the body by `yaw` about the world z axis, as a pose."""
    return pose(0.0, 0.0, 0.0, yaw=yaw)


def payload_wrench(torso: Torso, at: Array) -> Array | None:
    """The wrench (force, moment about the platform origin; world frame) that
    the payload's weight applies to the platform at pose `at`, or None without a
    payload."""
    payload = getattr(torso, "payload", None)
    if payload is None:
        return None
    weight = payload.mass * np.asarray(getattr(torso, "gravity", None) or (0.0, 0.0, -9.81), dtype=np.float64)
    lever = at[:3, :3] @ np.asarray(payload.centre_of_mass, dtype=np.float64)
    return np.concatenate([weight, np.cross(lever, weight)])


def holding_torques(model: Model, at: Array, angles: Array, wrench: Array, body_yaw: float) -> Array:
    """The motor torques that balance `wrench` on the platform at pose `at`, by
    virtual work: for every motion, torques . motor speeds + wrench . twist = 0,
    with platform @ twist = joint * motor speeds."""
    jacobians = model.velocity_jacobians(at, angles, body_yaw)
    return np.asarray(-jacobians.joint * np.linalg.solve(jacobians.platform.T, wrench), dtype=np.float64)


def solve(torso: Torso, model: Model, requested: Array, body_yaw: float, last: Scene | None = None) -> Scene:
    """What the view shows for the platform at `requested` with the body turned
    by `body_yaw`; `last` is the scene shown before, whose pose stays when the
    request is out of reach (without one, home, with the arms that cannot reach
    it at angle 0)."""
    requested = np.asarray(requested, dtype=np.float64)
    angles = model.inverse_kinematics(requested, body_yaw)
    # The body turned by yaw is the platform turned back by it, in the body's frame.
    in_body = turned(-body_yaw) @ requested
    margins = np.array([reach_margin(torso.motor_arm_length, torso.rod_length, b, in_body) for b in torso.branches])
    quality = model.conditioning(requested, angles, body_yaw)
    torques = None
    wrench = payload_wrench(torso, requested)
    if wrench is not None:
        torques = holding_torques(model, requested, angles, wrench, body_yaw)
    if np.isnan(angles).any() and last is not None:
        shown_pose, shown_yaw, shown_angles = last.pose, last.body_yaw, last.angles
    elif np.isnan(angles).any():  # nothing reachable shown yet: home, with arms at angle 0 that cannot reach it
        shown_pose, shown_yaw = np.asarray(torso.home, dtype=np.float64), 0.0
        shown_angles = np.nan_to_num(model.inverse_kinematics(shown_pose), nan=0.0)
    else:
        shown_pose, shown_yaw, shown_angles = requested, body_yaw, angles
    return Scene(shown_pose, shown_yaw, shown_angles, angles, margins, np.asarray(quality.transmission),
                 float(quality.inverse_condition), torques)


@dataclass(frozen=True)
class Parts:
    """World coordinates (metres) of what is drawn for a scene: per branch the
    motor, the end of its axis line, the arm tip and the anchor, each (6, 3)."""

    motors: Array
    axis_ends: Array
    tips: Array
    anchors: Array


def parts(torso: Torso, scene: Scene) -> Parts:
    body = turned(scene.body_yaw)
    arm = torso.motor_arm_length
    motors, axis_ends, tips, anchors = [], [], [], []
    for branch, angle in zip(torso.branches, scene.angles.tolist()):
        m = body @ np.asarray(branch.t_world_motor, dtype=np.float64)
        motors.append(m[:3, 3])
        axis_ends.append(m[:3, 3] + 0.7 * arm * m[:3, 2])
        tips.append(m[:3, :3] @ np.array([arm * math.cos(angle), arm * math.sin(angle), 0.0]) + m[:3, 3])
        anchors.append(scene.pose[:3, :3] @ np.asarray(branch.anchor) + scene.pose[:3, 3])
    return Parts(np.array(motors), np.array(axis_ends), np.array(tips), np.array(anchors))


def framing(torso: Torso) -> tuple[Array, float, float]:
    """The centre and radius of a sphere around the torso at home (motors, arm
    tip circles and anchors), and the height of its lowest point."""
    home = np.asarray(torso.home, dtype=np.float64)
    points = []
    for branch in torso.branches:
        m = np.asarray(branch.t_world_motor, dtype=np.float64)
        for turn in np.linspace(0.0, 2.0 * math.pi, 12, endpoint=False):
            points.append(m[:3, :3] @ (torso.motor_arm_length * np.array([math.cos(turn), math.sin(turn), 0.0]))
                          + m[:3, 3])
        points.append(home[:3, :3] @ np.asarray(branch.anchor) + home[:3, 3])
    cloud = np.array(points)
    centre = (cloud.min(axis=0) + cloud.max(axis=0)) / 2.0
    return centre, float(np.linalg.norm(cloud - centre, axis=1).max()), float(cloud[:, 2].min())


def readout(scene: Scene, planned_torques: Array | None = None) -> str:
    """The panel's table (HTML): one row per branch."""
    columns = ["branch", "angle (deg)", "margin (mm)", "transmission"]
    if scene.holding_torques is not None:
        columns.append("holding (N m)")
    if planned_torques is not None:
        columns.append("planned (N m)")
    head = "".join(f"<th style='padding:0 0.4em'>{c}</th>" for c in columns)
    rows = []
    for i, angle in enumerate(scene.requested_angles.tolist()):
        out = math.isnan(angle)
        cells = [str(i), "out of reach" if out else f"{math.degrees(angle):+.2f}",
                 f"{scene.reach_margins[i] * 1e3:.1f}", "-" if out else f"{scene.transmission[i]:.3f}"]
        if scene.holding_torques is not None:
            cells.append("-" if out else f"{scene.holding_torques[i]:+.3f}")
        if planned_torques is not None:
            cells.append(f"{planned_torques[i]:+.3f}")
        style = " style='color:#dc1414'" if out else ""
        rows.append(f"<tr{style}>" + "".join(f"<td style='text-align:right;padding:0 0.4em'>{c}</td>"
                                             for c in cells) + "</tr>")
    missed = np.flatnonzero(np.isnan(scene.requested_angles))
    condition = "-" if missed.size else f"{scene.inverse_condition:.3f}"
    status = (f"<p style='color:#dc1414'>Out of reach of branch {', '.join(map(str, missed))}: the platform stays "
              "at the last reachable pose.</p>" if missed.size else "")
    return (f"<div id='readout' style='font-size:0.8em'><table><tr>{head}</tr>{''.join(rows)}</table>"
            f"<p>inverse condition: {condition}</p>{status}</div>")


# Trajectories --------------------------------------------------------------------

@dataclass(frozen=True)
class Trajectory:
    """A trajectory read from a CSV: times (n,), platform poses (n, 4, 4) in
    metres, and the planned motor torques (n, 6)."""

    time: Array
    poses: Array
    torques: Array

    def at(self, t: float) -> int:
        """The index of the last sample at or before time t (the first before it)."""
        return int(np.clip(np.searchsorted(self.time, t, side="right") - 1, 0, len(self.time) - 1))


def read_trajectory(path: str | Path, length_unit: str = "m") -> Trajectory:
    """Reads a trajectory CSV with the header
    time,x,y,z,qw,qx,qy,qz,q0..q5,dq0..dq5,tau0..tau5 (x, y, z in
    `length_unit`, "m" or "mm"). Raises ValueError naming the line and column
    of what cannot be used, OSError when it cannot be read."""
    scale = LENGTH_UNITS[length_unit]
    with open(path, newline="", encoding="utf-8") as file:
        rows = list(csv.reader(file))
    header = [cell.strip() for cell in rows[0]] if rows else []
    if tuple(header) != TRAJECTORY_COLUMNS:
        raise ValueError(f"line 1: the header must be {','.join(TRAJECTORY_COLUMNS)}")
    values = np.empty((len(rows) - 1, len(TRAJECTORY_COLUMNS)))
    for line, row in enumerate(rows[1:], 2):
        if len(row) != len(TRAJECTORY_COLUMNS):
            raise ValueError(f"line {line}: {len(row)} values, not {len(TRAJECTORY_COLUMNS)}")
        for column, cell in enumerate(row):
            try:
                values[line - 2, column] = float(cell)
            except ValueError:
                values[line - 2, column] = math.nan
            if not math.isfinite(values[line - 2, column]):
                raise ValueError(f"line {line}, column {TRAJECTORY_COLUMNS[column]}: not a finite number: {cell!r}")
    if len(values) == 0:
        raise ValueError("no samples")
    if np.any(np.diff(values[:, 0]) <= 0.0):
        raise ValueError(f"line {int(np.argmax(np.diff(values[:, 0]) <= 0.0)) + 3}: time must increase")
    x, y, z = (values[:, k] * scale for k in (1, 2, 3))
    poses = from_quaternion(x, y, z, values[:, 4], values[:, 5], values[:, 6], values[:, 7])
    return Trajectory(values[:, 0], poses, values[:, 20:26])


# The viewer ------------------------------------------------------------------------

def _import_viser() -> Any:
    try:
        import viser
    except ImportError:
        raise MissingViser(f"the viewer needs viser, which is not installed: {VIEW_EXTRA}") from None
    return viser


class Viewer:
    """The torso served to the browser at `url` until `stop()`; see the module's
    description. `port` is the first port tried (viser takes the next free one)."""

    def __init__(self, torso: Torso, *, host: str = "127.0.0.1", port: int = 8080,
                 trajectory: Trajectory | None = None) -> None:
        viser = _import_viser()
        self.torso, self.model, self.trajectory = torso, torso.model(), trajectory
        self.home = np.asarray(torso.home, dtype=np.float64)
        with contextlib.redirect_stdout(io.StringIO()):  # its banner: the command prints the address itself
            self.server = viser.ViserServer(host=host, port=port, label="tavrino-torso", verbose=False)
        self.lock = threading.Lock()
        self.scene = solve(torso, self.model, self.home, 0.0)
        self.planned: Array | None = None
        self.playing = threading.Event()
        self.stopped = threading.Event()
        self._build_scene()
        self._build_panel()
        self._draw()
        if trajectory is not None:
            threading.Thread(target=self._play, name="trajectory playback", daemon=True).start()

    @property
    def url(self) -> str:
        host = self.server.get_host()
        return f"http://{'localhost' if host in ('127.0.0.1', '0.0.0.0', '::') else host}:{self.server.get_port()}"

    def stop(self) -> None:
        self.stopped.set()
        with contextlib.redirect_stdout(io.StringIO()):
            self.server.stop()

    # the 3D scene

    def _build_scene(self) -> None:
        scene, torso, arm = self.server.scene, self.torso, self.torso.motor_arm_length
        scene.set_up_direction("+z")
        # Plain lights without shadows: the picture is a diagram, and a browser
        # without a graphics card (rendering in software) draws it in a moment.
        scene.configure_environment_map(None)
        scene.configure_default_lights(enabled=True, cast_shadow=False)
        centre, radius, bottom = framing(torso)
        camera = self.server.initial_camera
        camera.fov = 50.0 * DEGREE
        # Far enough back that the sphere around the torso fits the view's height
        # with a margin, looking down at it from the front right.
        distance = 1.25 * radius / math.sin(camera.fov / 2.0)
        camera.look_at = centre
        camera.position = centre + distance * np.array([0.5, -0.75, 0.43]) / np.linalg.norm([0.5, -0.75, 0.43])
        camera.near, camera.far = radius / 100.0, distance * 100.0
        scene.add_grid("/ground", width=6 * radius, height=6 * radius, cell_size=radius / 5, section_size=radius,
                       position=(centre[0], centre[1], bottom), shadow_opacity=0.0)
        self.motor_nodes = [scene.add_icosphere(f"/motor/{i}", radius=0.12 * arm, color=MOTOR_COLOUR)
                            for i in range(len(torso.branches))]
        empty = np.zeros((len(torso.branches), 2, 3))
        count = len(torso.branches)
        self.axes = scene.add_line_segments("/axes", empty, _lines([MOTOR_COLOUR] * count), thickness=0.05 * arm)
        self.arms = scene.add_line_segments("/arms", empty, _lines([MOTOR_COLOUR] * count), thickness=0.15 * arm)
        self.rods = scene.add_line_segments("/rods", empty, _lines([ROD_COLOUR] * count), thickness=0.06 * arm)
        self.ring = scene.add_line_segments("/platform/ring", empty, _lines([PLATFORM_COLOUR] * count),
                                            thickness=0.1 * arm)
        anchors = np.array([b.anchor for b in torso.branches])
        order = np.argsort(np.arctan2(anchors[:, 1] - anchors[:, 1].mean(), anchors[:, 0] - anchors[:, 0].mean()))
        self.ring_order = np.asarray(order)
        self.plate = scene.add_mesh_simple(
            "/platform/plate", anchors[self.ring_order].astype(np.float32),
            np.array([[0, k, k + 1] for k in range(1, len(order) - 1)], dtype=np.uint32), color=PLATFORM_COLOUR,
            opacity=0.35, side="double")
        centre_of_motors = np.mean([np.asarray(b.t_world_motor)[:3, 3] for b in torso.branches], axis=0)
        self.labels = [scene.add_label(f"/label/{i}", f"{i} ({b.solution:+g})", anchor="center-center",
                                       position=label_position(np.asarray(b.t_world_motor)[:3, 3], centre_of_motors,
                                                               0.9 * arm))
                       for i, b in enumerate(torso.branches)]
        payload = getattr(torso, "payload", None)
        self.payload = None if payload is None else scene.add_icosphere(
            "/platform/payload", radius=0.15 * arm, color=PAYLOAD_COLOUR, position=tuple(payload.centre_of_mass))

    def _draw(self) -> None:
        s, p = self.scene, parts(self.torso, self.scene)
        reach = s.reachable
        modes = [MODE_COLOURS[b.solution] if ok else OUT_OF_REACH for b, ok in zip(self.torso.branches, reach)]
        rods = [ROD_COLOUR if ok else OUT_OF_REACH for ok in reach]
        ring = p.anchors[self.ring_order]
        centre_of_motors = p.motors.mean(axis=0)
        with self.server.atomic():
            for node, motor in zip(self.motor_nodes, p.motors):
                node.position = motor
            self.axes.points = np.stack([p.motors, p.axis_ends], axis=1)
            self.arms.points = np.stack([p.motors, p.tips], axis=1)
            self.arms.colors = _lines(modes)
            self.rods.points = np.stack([p.tips, p.anchors], axis=1)
            self.rods.colors = _lines(rods)
            self.ring.points = np.stack([ring, np.roll(ring, -1, axis=0)], axis=1)
            self.plate.position, self.plate.wxyz = s.pose[:3, 3], quaternion(s.pose)
            if self.payload is not None:
                com = np.asarray(getattr(self.torso, "payload").centre_of_mass, dtype=np.float64)
                self.payload.position = s.pose[:3, :3] @ com + s.pose[:3, 3]
            for label, motor in zip(self.labels, p.motors):
                label.position = label_position(motor, centre_of_motors, 0.9 * self.torso.motor_arm_length)
        self.readout.content = readout(s, self.planned)

    # the panel

    def _build_panel(self) -> None:
        gui, torso = self.server.gui, self.torso
        reach_mm = 0.5 * (torso.motor_arm_length + torso.rod_length) * 1e3
        step_mm = 10 ** math.floor(math.log10(reach_mm / 100.0))
        with gui.add_folder("Platform pose (from home)"):
            self.sliders = {name: gui.add_slider(label, -limit, limit, step, 0.0) for name, label, limit, step in (
                ("x", "x (mm)", reach_mm, step_mm), ("y", "y (mm)", reach_mm, step_mm),
                ("z", "z (mm)", reach_mm, step_mm), ("roll", "roll (deg)", 45.0, 0.5),
                ("pitch", "pitch (deg)", 45.0, 0.5), ("yaw", "yaw (deg)", 90.0, 0.5))}
            self.body_yaw = gui.add_slider("body yaw (deg)", -180.0, 180.0, 0.5, 0.0)
            home = gui.add_button("Home")
        for slider in (*self.sliders.values(), self.body_yaw):
            slider.on_update(lambda _: self._from_sliders())
        home.on_click(lambda _: self._home())

        if self.trajectory is not None:
            with gui.add_folder("Trajectory"):
                end = float(self.trajectory.time[-1])
                self.time = gui.add_slider("time (s)", float(self.trajectory.time[0]), end,
                                           max(end / 1000.0, 1e-3), float(self.trajectory.time[0]))
                self.play = gui.add_checkbox("play", False)
            self.time.on_update(lambda _: self._from_trajectory())
            self.play.on_update(lambda _: self.playing.set() if self.play.value else self.playing.clear())
        with gui.add_folder("Readout"):
            self.readout = gui.add_html(readout(self.scene))

    def _home(self) -> None:
        for slider in (*self.sliders.values(), self.body_yaw):
            slider.value = 0.0

    def _from_sliders(self) -> None:
        v = {name: slider.value for name, slider in self.sliders.items()}
        requested = self.home @ pose(v["x"] * 1e-3, v["y"] * 1e-3, v["z"] * 1e-3, v["roll"] * DEGREE,
                                     v["pitch"] * DEGREE, v["yaw"] * DEGREE)
        self.show(requested, self.body_yaw.value * DEGREE)

    def _from_trajectory(self) -> None:
        assert self.trajectory is not None
        k = self.trajectory.at(self.time.value)
        self.show(self.trajectory.poses[k], self.body_yaw.value * DEGREE, self.trajectory.torques[k])

    def _play(self) -> None:
        assert self.trajectory is not None
        while not self.stopped.is_set():
            if not self.playing.wait(0.2):
                continue
            start, begun = float(self.time.value), time.monotonic()
            if start >= self.trajectory.time[-1]:
                start = float(self.trajectory.time[0])
            while self.playing.is_set() and not self.stopped.is_set():
                t = start + time.monotonic() - begun
                if t >= self.trajectory.time[-1]:
                    self.time.value = float(self.trajectory.time[-1])
                    self.play.value = False
                    break
                self.time.value = t
                time.sleep(1 / 30)

    def show(self, requested: Array, body_yaw: float = 0.0, planned_torques: Array | None = None) -> Scene:
        """Shows the platform at `requested` with the body turned by `body_yaw`
        (radians), and returns what is shown."""
        with self.lock:
            self.scene = solve(self.torso, self.model, requested, body_yaw, self.scene)
            self.planned = planned_torques
            self._draw()
            return self.scene

