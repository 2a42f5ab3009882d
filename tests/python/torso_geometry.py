"""The example torso's geometry in numpy, written from the mechanism's definition
alone, to check the module's answers by what they mean rather than how they are
computed."""

from __future__ import annotations

import math

import numpy as np

import example_torso as ex

MOTOR_POSES = np.array([b.motor_pose for b in ex.branches()])
ANCHORS = np.array([b.anchor for b in ex.branches()])


def z_rotation(angle: float) -> np.ndarray:
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, -s, 0, 0], [s, c, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1.0]])


def arm_tips(angles, body_yaw: float = 0.0) -> np.ndarray:
    """World positions of the arm tips, the body turned by body_yaw about world z."""
    q = np.asarray(angles, dtype=float)
    local = np.stack([ex.MOTOR_ARM_LENGTH * np.cos(q), ex.MOTOR_ARM_LENGTH * np.sin(q),
                      np.zeros(6), np.ones(6)], axis=1)
    motors = z_rotation(body_yaw) @ MOTOR_POSES
    return np.einsum("bij,bj->bi", motors, local)[:, :3]


def anchors(pose) -> np.ndarray:
    homogeneous = np.hstack([ANCHORS, np.ones((6, 1))])
    return (np.asarray(pose, dtype=float) @ homogeneous.T).T[:, :3]


def rod_errors(angles, pose, body_yaw: float = 0.0) -> np.ndarray:
    """How much each rod would have to stretch to join its arm tip to its anchor."""
    distances = np.linalg.norm(arm_tips(angles, body_yaw) - anchors(pose), axis=1)
    return distances - ex.ROD_LENGTH


def residual_norm(angles, pose) -> float:
    return float(np.linalg.norm(rod_errors(angles, pose)))
