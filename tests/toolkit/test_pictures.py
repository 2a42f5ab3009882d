"""What the pictures show where: each branch's label beside its own motor."""

from __future__ import annotations

import numpy as np
import pytest

from tavrino_torso import Torso
from tavrino_torso.plot import MILLIMETRE, BranchDrawing

from .test_torso import LAYOUT


@pytest.mark.parametrize("axis", ["radial", "tangential"])
def test_each_label_sits_nearer_its_own_motor_than_any_other(axis):
    torso = Torso.symmetric(**{**LAYOUT, "motor_spread": np.radians(12)}, axis=axis)
    centre = np.mean([np.array(b.t_world_motor)[:3, 3] for b in torso.branches], axis=0) * MILLIMETRE
    drawings = [BranchDrawing(b, torso.motor_arm_length, np.eye(4), 0.5, centre) for b in torso.branches]
    motors = np.array([d.motor for d in drawings])
    for i, d in enumerate(drawings):
        assert np.argmin(np.linalg.norm(motors - d.label, axis=1)) == i
