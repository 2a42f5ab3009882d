"""How well a platform pose agrees with motor angles: for each branch, the
distance from the arm tip to the rod's anchor minus the rod length. Forward
kinematics drives the norm of these errors down; this module measures it
independently of the library's solvers, from the torso's numbers alone."""

from __future__ import annotations

import math

from pose_error import Matrix

from tavrino_torso import Torso


def rod_errors(torso: Torso, angles: list[float], pose: Matrix) -> list[float]:
    arm, rod = torso.motor_arm_length, torso.rod_length
    errors = []
    for branch, angle in zip(torso.branches, angles):
        m, b = branch.t_world_motor, branch.anchor
        tip = (arm * math.cos(angle), arm * math.sin(angle), 0.0)
        tip_world = [m[r][0] * tip[0] + m[r][1] * tip[1] + m[r][3] for r in range(3)]
        anchor_world = [pose[r][0] * b[0] + pose[r][1] * b[1] + pose[r][2] * b[2] + pose[r][3] for r in range(3)]
        errors.append(math.dist(tip_world, anchor_world) - rod)
    return errors


def rod_error_norm(torso: Torso, angles: list[float], pose: Matrix) -> float:
    return math.sqrt(sum(e * e for e in rod_errors(torso, angles, pose)))
