"""The example torso (the toolkit's `Torso.example()`) as the module's tests use
it: its numbers, the module's object made of it, poses as lists made with the
standard library's sines and cosines (those of the C++ tests, bit for bit); and
its geometry in numpy, written from the mechanism's definition alone, to check
the module's answers by what they mean rather than how they are computed."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np

from tavrino_torso import Torso
from tavrino_torso_kinematics import TavrinoTorsoKinematics

EXAMPLE = Torso.example()
MOTOR_ARM_LENGTH = EXAMPLE.motor_arm_length
ROD_LENGTH = EXAMPLE.rod_length
BRANCH_COUNT = len(EXAMPLE.branches)

Matrix = list[list[float]]


class Branch(NamedTuple):
    """A branch as add_branch takes it: add_branch(*branch)."""

    anchor: tuple[float, float, float]
    motor_pose: Matrix
    solution: float


def branches() -> list[Branch]:
    return [Branch(b.anchor, [list(row) for row in b.t_world_motor], b.solution) for b in EXAMPLE.branches]


def make_example_torso() -> TavrinoTorsoKinematics:
    return EXAMPLE.kinematics()


def identity() -> Matrix:
    return [[1.0 if r == c else 0.0 for c in range(4)] for r in range(4)]


def make_pose(
    translation: tuple[float, float, float] = (0.0, 0.0, 0.0),
    roll: float = 0.0,
    pitch: float = 0.0,
    yaw: float = 0.0,
) -> Matrix:
    """The pose with rotation Rz(yaw) Ry(pitch) Rx(roll) and the given translation."""
    cr, sr = math.cos(roll), math.sin(roll)
    cp, sp = math.cos(pitch), math.sin(pitch)
    cy, sy = math.cos(yaw), math.sin(yaw)
    x, y, z = translation
    return [
        [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr, x],
        [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr, y],
        [-sp, cp * sr, cp * cr, z],
        [0.0, 0.0, 0.0, 1.0],
    ]


MOTOR_POSES = np.array([b.motor_pose for b in branches()])
ANCHORS = np.array([b.anchor for b in branches()])


def z_rotation(angle: float) -> np.ndarray:
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, -s, 0, 0], [s, c, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1.0]])


def arm_tips(angles, body_yaw: float = 0.0) -> np.ndarray:
    """World positions of the arm tips, the body turned by body_yaw about world z."""
    q = np.asarray(angles, dtype=float)
    local = np.stack([MOTOR_ARM_LENGTH * np.cos(q), MOTOR_ARM_LENGTH * np.sin(q),
                      np.zeros(6), np.ones(6)], axis=1)
    motors = z_rotation(body_yaw) @ MOTOR_POSES
    return np.einsum("bij,bj->bi", motors, local)[:, :3]


def anchors(pose) -> np.ndarray:
    homogeneous = np.hstack([ANCHORS, np.ones((6, 1))])
    return (np.asarray(pose, dtype=float) @ homogeneous.T).T[:, :3]


def rod_errors(angles, pose, body_yaw: float = 0.0) -> np.ndarray:
    """How much each rod would have to stretch to join its arm tip to its anchor."""
    distances = np.linalg.norm(arm_tips(angles, body_yaw) - anchors(pose), axis=1)
    return distances - ROD_LENGTH


def residual_norm(angles, pose) -> float:
    return float(np.linalg.norm(rod_errors(angles, pose)))


def _tips_in_platform(estimate: np.ndarray, local_tips: np.ndarray) -> np.ndarray:
    return np.einsum("bij,bj->bi", np.linalg.inv(estimate) @ MOTOR_POSES, local_tips)[:, :3]


def _axis_angle(w: np.ndarray) -> np.ndarray:
    theta = np.linalg.norm(w)
    if not theta > 1e-6:
        return np.eye(3)
    u = w / theta
    skew = np.array([[0.0, -u[2], u[1]], [u[2], 0.0, -u[0]], [-u[1], u[0], 0.0]])
    return math.cos(theta) * np.eye(3) + math.sin(theta) * skew + (1 - math.cos(theta)) * np.outer(u, u)


def reference_step(angles, estimate) -> np.ndarray:
    """One forward kinematics step by its definition: the pseudo-inverse (absolute
    threshold 1e-6) of the unnormalised rod Jacobian applied to the rod errors,
    taken on the right of the estimate, at full size and then at halves until the
    residual norm drops; the estimate itself when none does or it is within 1e-6."""
    q = np.asarray(angles, dtype=float)
    local = np.stack([MOTOR_ARM_LENGTH * np.cos(q), MOTOR_ARM_LENGTH * np.sin(q),
                      np.zeros(6), np.ones(6)], axis=1)
    estimate = np.asarray(estimate, dtype=float)
    tips = _tips_in_platform(estimate, local)
    errors = ANCHORS - tips
    jacobian = np.hstack([errors, np.cross(ANCHORS, errors)])
    residuals = ROD_LENGTH - np.linalg.norm(errors, axis=1)
    start = np.linalg.norm(residuals)
    if not start > 1e-6:
        return estimate
    u, s, vt = np.linalg.svd(jacobian)
    step = vt.T @ (np.where(s > 1e-6, 1.0 / s, 0.0) * (u.T @ residuals))
    for _ in range(16):
        increment = np.eye(4)
        increment[:3, :3], increment[:3, 3] = _axis_angle(step[3:]), step[:3]
        candidate = estimate @ increment
        errors = ANCHORS - _tips_in_platform(candidate, local)
        if start > np.linalg.norm(ROD_LENGTH - np.linalg.norm(errors, axis=1)):
            return candidate
        step = step * 0.5
    return estimate
