"""The torso as a MuJoCo model (MJCF), for simulation: `mjcf(torso)` gives the
XML text, `tavrino-torso export-mjcf` writes it to a file.

The model is the closed chain as built, assembled at home:

- each motor a hinge joint `motor0` ... `motor5` about its motor axis, whose
  value is the motor angle of the library (the joint's `ref` is the angle at
  home), driven by a position actuator of the same name;
- each arm a body turning on that joint, balanced (its centre of mass on the
  axis), with its moment of inertia about the axis;
- each rod a light body on a ball joint at the arm tip;
- the body `platform`, on a free joint, whose frame is the platform frame, and
  which carries the payload's mass and inertia (a light body without one);
- the six loops closed by equality constraints that hold each rod's far end on
  its anchor;
- the keyframe `home`: the mechanism at home, the actuators holding it there.

Contacts are off: the parts are drawn as simple shapes that overlap at the
joints. Command the actuators with angles unwrapped against the current ones
(`tavrino_torso.unwrap`): a position actuator turns the long way round to an
angle that differs by a turn.
"""

from __future__ import annotations

import math
import xml.etree.ElementTree as ET
from typing import Any

import numpy as np
import numpy.typing as npt

from .poses import quaternion
from .torso import Torso

Array = npt.NDArray[np.float64]

# The actuators' gains: a stiffness that holds a payload of a few kilograms
# within a few milliradians of the command, and a damping that settles the arm
# without overshoot.
POSITION_GAIN = 50.0  # N m / rad
VELOCITY_GAIN = 0.5  # N m s / rad
# Without a torso file's values: the arm's (and rotor's) moment of inertia
# about its axis, and the platform as a light body.
ARM_INERTIA = 3.5e-5  # kg m^2
PLATFORM_MASS = 0.05  # kg
# The rods are massless in the kinematics; a simulated body needs some mass,
# little enough to leave the motor torques as they are to a part in a thousand.
ROD_MASS = 1e-4  # kg
ARM_MASS = 0.02  # kg, on the axis: it loads the motor bearing, not the motor
TIMESTEP = 0.0005  # s
GRAVITY = (0.0, 0.0, -9.81)  # m/s^2


def _text(values: Any) -> str:
    return " ".join(repr(float(v)) for v in np.ravel(values))


def _axes(rotation: Array) -> str:
    """MJCF's xyaxes: the frame's x and y axes."""
    return _text(np.concatenate([rotation[:, 0], rotation[:, 1]]))


def _rotation_z(angle: float) -> Array:
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def _frame_along(direction: Array) -> Array:
    """A rotation whose x axis is `direction` (a unit vector)."""
    helper = np.array([0.0, 0.0, 1.0]) if abs(direction[2]) < 0.9 else np.array([1.0, 0.0, 0.0])
    y = np.cross(helper, direction)
    y /= np.linalg.norm(y)
    return np.column_stack([direction, y, np.cross(direction, y)])


def _inertial(body: ET.Element, mass: float, position: Array, inertia: Array) -> None:
    """A body's mass, centre of mass and inertia (3x3, about the centre of mass)."""
    ET.SubElement(body, "inertial", pos=_text(position), mass=repr(float(mass)),
                  fullinertia=_text([inertia[0, 0], inertia[1, 1], inertia[2, 2], inertia[0, 1], inertia[0, 2],
                                     inertia[1, 2]]))


def mjcf(torso: Torso, *, position_gain: float = POSITION_GAIN, velocity_gain: float = VELOCITY_GAIN,
         timestep: float = TIMESTEP) -> str:
    """The MJCF text of the torso at home (see the module's description).
    Raises ValueError when home is out of reach: the model could not be
    assembled there."""
    home = np.asarray(torso.home, dtype=np.float64)
    angles = torso.model().inverse_kinematics(home)
    if np.isnan(angles).any():
        out = ", ".join(str(i) for i in np.flatnonzero(np.isnan(angles)))
        raise ValueError(f"home is out of reach of branch {out}: the model cannot be assembled")
    payload, motors = getattr(torso, "payload", None), getattr(torso, "motors", None)
    arm_inertia = getattr(motors, "arm_inertia", None) or ARM_INERTIA
    torque_limit = getattr(motors, "torque_limit", None)
    gravity = getattr(torso, "gravity", None) or GRAVITY
    arm, rod = torso.motor_arm_length, torso.rod_length
    size = 0.1 * arm  # of the shapes drawn

    root = ET.Element("mujoco", model="torso")
    ET.SubElement(root, "compiler", angle="radian", autolimits="true", inertiafromgeom="false")
    option = ET.SubElement(root, "option", timestep=repr(timestep), integrator="implicitfast", gravity=_text(gravity))
    ET.SubElement(option, "flag", contact="disable")
    visual = ET.SubElement(root, "visual")
    ET.SubElement(visual, "global", azimuth="120", elevation="-20")
    world = ET.SubElement(root, "worldbody")
    ET.SubElement(world, "light", pos=_text([0.0, 0.0, 10 * (arm + rod)]), dir="0 0 -1", directional="true")
    equality, actuators = ET.Element("equality"), ET.Element("actuator")
    platform_rotation, platform_origin = home[:3, :3], home[:3, 3]
    key_qpos: list[float] = []
    for i, (branch, angle) in enumerate(zip(torso.branches, angles.tolist())):
        motor = np.asarray(branch.t_world_motor, dtype=np.float64)
        axis, origin = motor[:3, 2], motor[:3, 3]
        ET.SubElement(world, "geom", name=f"motor{i}", type="cylinder", size=_text([1.5 * size, size]),
                      pos=_text(origin - 1.2 * size * axis), zaxis=_text(axis), rgba="0.2 0.2 0.2 1")
        arm_rotation = motor[:3, :3] @ _rotation_z(angle)  # the arm's frame at home: x along the arm
        arm_body = ET.SubElement(world, "body", name=f"arm{i}", pos=_text(origin), xyaxes=_axes(arm_rotation))
        ET.SubElement(arm_body, "joint", name=f"motor{i}", type="hinge", axis="0 0 1", ref=repr(angle))
        _inertial(arm_body, ARM_MASS, np.zeros(3), np.eye(3) * arm_inertia)
        colour = "0.12 0.47 0.71 1" if branch.solution > 0 else "1 0.5 0.05 1"
        ET.SubElement(arm_body, "geom", type="capsule", fromto=_text([0, 0, 0, arm, 0, 0]), size=repr(0.6 * size),
                      rgba=colour)
        tip = origin + arm_rotation[:, 0] * arm
        anchor = platform_rotation @ np.asarray(branch.anchor) + platform_origin
        along = (anchor - tip) / np.linalg.norm(anchor - tip)
        rod_rotation = arm_rotation.T @ _frame_along(along)  # in the arm's frame
        rod_body = ET.SubElement(arm_body, "body", name=f"rod{i}", pos=_text([arm, 0, 0]), xyaxes=_axes(rod_rotation))
        # Damped, because nothing else stops a rod spinning about its own length.
        ET.SubElement(rod_body, "joint", name=f"rod{i}", type="ball", damping="1e-6")
        transverse = ROD_MASS * rod * rod / 12.0
        _inertial(rod_body, ROD_MASS, np.array([rod / 2, 0.0, 0.0]), np.diag([transverse / 10, transverse, transverse]))
        ET.SubElement(rod_body, "geom", type="capsule", fromto=_text([0, 0, 0, rod, 0, 0]), size=repr(0.3 * size),
                      rgba="0.45 0.45 0.45 1")
        ET.SubElement(rod_body, "site", name=f"rod{i}_end", pos=_text([rod, 0, 0]))
        ET.SubElement(equality, "connect", name=f"loop{i}", site1=f"rod{i}_end", site2=f"anchor{i}",
                      solref="0.004 1", solimp="0.99 0.999 0.001")
        actuator = ET.SubElement(actuators, "position", name=f"motor{i}", joint=f"motor{i}", kp=repr(position_gain),
                                 kv=repr(velocity_gain))
        if torque_limit is not None:
            actuator.set("forcerange", _text([-torque_limit, torque_limit]))
        key_qpos += [angle, 1.0, 0.0, 0.0, 0.0]

    anchors = np.array([b.anchor for b in torso.branches])
    platform = ET.SubElement(world, "body", name="platform", pos=_text(platform_origin),
                             xyaxes=_axes(platform_rotation))
    ET.SubElement(platform, "freejoint", name="platform")
    if payload is not None:
        _inertial(platform, payload.mass, np.asarray(payload.centre_of_mass), np.asarray(payload.inertia))
    else:
        radius = float(np.linalg.norm(anchors[:, :2] - anchors[:, :2].mean(axis=0), axis=1).mean())
        disc = PLATFORM_MASS * radius * radius / 4.0
        _inertial(platform, PLATFORM_MASS, anchors.mean(axis=0), np.diag([disc, disc, 2.0 * disc]))
    ring = anchors[np.argsort(np.arctan2(anchors[:, 1] - anchors[:, 1].mean(), anchors[:, 0] - anchors[:, 0].mean()))]
    for k in range(len(ring)):
        ET.SubElement(platform, "geom", type="capsule", fromto=_text([ring[k], ring[(k + 1) % len(ring)]]),
                      size=repr(0.8 * size), rgba="0.17 0.63 0.17 1")
    for i, point in enumerate(anchors):
        ET.SubElement(platform, "site", name=f"anchor{i}", pos=_text(point), size=repr(size), rgba="0.17 0.63 0.17 1")
    if payload is not None:
        ET.SubElement(platform, "site", name="payload", pos=_text(payload.centre_of_mass), size=repr(1.5 * size),
                      rgba="0.8 0.1 0.1 1")
    root.append(equality)
    root.append(actuators)
    keyframes = ET.SubElement(root, "keyframe")
    key_qpos += [*platform_origin, *quaternion(home)]
    ET.SubElement(keyframes, "key", name="home", qpos=_text(key_qpos), ctrl=_text(angles))
    ET.indent(root)
    gains = (f" Position actuators: kp = {position_gain:g} N m/rad, kv = {velocity_gain:g} N m s/rad"
             f"{'' if torque_limit is None else f', force range +-{torque_limit:g} N m'}. ")
    comment = (" A six-branch torso, assembled at home (keyframe 'home'). Lengths in metres, angles in radians,"
               " masses in kg." + gains)
    return f"<!--{comment}-->\n" + ET.tostring(root, encoding="unicode") + "\n"
