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
    local = np.stack([ex.MOTOR_ARM_LENGTH * np.cos(q), ex.MOTOR_ARM_LENGTH * np.sin(q),
                      np.zeros(6), np.ones(6)], axis=1)
    estimate = np.asarray(estimate, dtype=float)
    tips = _tips_in_platform(estimate, local)
    errors = ANCHORS - tips
    jacobian = np.hstack([errors, np.cross(ANCHORS, errors)])
    residuals = ex.ROD_LENGTH - np.linalg.norm(errors, axis=1)
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
        if start > np.linalg.norm(ex.ROD_LENGTH - np.linalg.norm(errors, axis=1)):
            return candidate
        step = step * 0.5
    return estimate
