"""Forward kinematics: one line-searched step per call from the stored estimate,
the body yaw applied to the answer only, and the failures that poison."""

from __future__ import annotations

import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import torso_geometry
from conftest import NAN6, POISONED, SINGULAR, WRONG_BRANCH_COUNT, translated
from torso_geometry import branches, identity, make_pose

TARGET = make_pose((0.004, -0.003, 0.002), 0.12, -0.08, 0.1)
PERTURBED = make_pose((0.0065, -0.001, -0.001), 0.05, -0.02, 0.15)


def test_converged_estimate_is_returned_element_for_element(torso):
    angles = torso.inverse_kinematics(TARGET)
    torso.reset_forward_kinematics(TARGET)
    assert torso.forward_kinematics(angles) == TARGET
    assert torso.forward_kinematics(angles, None) == TARGET


def test_reset_stores_any_matrix_unchanged(torso):
    # NaN angles make the residual NaN, so no step is taken and the estimate shows.
    odd = [[2.0, 0.5, 0.0, 1.0], [0.0, 3.0, 0.1, 2.0], [0.0, 0.0, 4.0, 3.0], [0.2, 0.0, 0.0, 1.0]]
    torso.reset_forward_kinematics(odd)
    assert torso.forward_kinematics(NAN6) == odd
    assert torso.forward_kinematics(np.full(6, np.inf)) == odd


def test_zero_body_yaw_changes_only_the_height_by_rounding(torso):
    torso.reset_forward_kinematics(TARGET)
    result = torso.forward_kinematics(NAN6, 0.0)
    expected = [row[:] for row in TARGET]
    expected[2][3] = (TARGET[2][3] - 0.177) + 0.177
    assert result == expected


def test_body_yaw_turns_about_the_vertical_through_the_yaw_centre(torso):
    torso.reset_forward_kinematics(translated(1.0, 2.0, 3.0))
    result = np.array(torso.forward_kinematics(NAN6, math.pi / 2))
    expected = np.array([[0, -1, 0, -2], [1, 0, 0, 1], [0, 0, 1, 3], [0, 0, 0, 1.0]])
    np.testing.assert_allclose(result, expected, rtol=0, atol=1e-15)


def test_body_yaw_never_reaches_the_stored_estimate(torso):
    angles = torso.inverse_kinematics(TARGET)
    twin = type(torso)(0.04, 0.09)
    for branch in branches():
        twin.add_branch(*branch)
    for model in (torso, twin):
        model.reset_forward_kinematics(PERTURBED)
    for _ in range(3):
        torso.forward_kinematics(angles, 0.4)
        twin.forward_kinematics(angles)
    assert torso.forward_kinematics(NAN6) == twin.forward_kinematics(NAN6)


def test_repeated_steps_never_increase_the_residual_and_converge(torso):
    angles = torso.inverse_kinematics(TARGET)
    torso.reset_forward_kinematics(PERTURBED)
    norms = [torso_geometry.residual_norm(angles, PERTURBED)]
    for _ in range(60):
        estimate = torso.forward_kinematics(angles)
        norms.append(torso_geometry.residual_norm(angles, estimate))
    assert all(later <= earlier for earlier, later in zip(norms, norms[1:]))
    assert norms[1] < norms[0]  # the first step is really taken
    # Steps stop once the residual norm is down to 1e-6, which leaves the pose
    # some micrometres and microradians off.
    assert norms[-1] <= 1e-6
    np.testing.assert_allclose(estimate, TARGET, rtol=0, atol=1e-4)
    assert torso.forward_kinematics(angles) == estimate


@pytest.mark.parametrize(
    "start",
    [PERTURBED, make_pose((-0.008, 0.006, 0.009), -0.2, 0.25, -0.3), make_pose((0.0, 0.0, 0.02))],
)
def test_one_step_is_the_line_searched_pseudo_inverse_step(torso, start):
    angles = torso.inverse_kinematics(TARGET)
    torso.reset_forward_kinematics(start)
    step = torso.forward_kinematics(angles)
    assert step != start
    np.testing.assert_allclose(step, torso_geometry.reference_step(angles, start), rtol=0, atol=1e-12)


def test_no_step_within_the_residual_tolerance(torso):
    angles = torso.inverse_kinematics(TARGET)
    near = [row[:] for row in TARGET]
    near[0][3] += 1e-8  # rods off by about 1e-8, well inside the tolerance of 1e-6
    torso.reset_forward_kinematics(near)
    assert 1e-9 < torso_geometry.residual_norm(angles, near) < 1e-6
    assert torso.forward_kinematics(angles) == near


@pytest.mark.parametrize("extra", [-1, 1])
def test_five_or_seven_branches_panic_and_poison(torso, panic_type, extra):
    model = type(torso)(0.04, 0.09)
    for branch in (branches() + branches()[:1])[: 6 + extra]:
        model.add_branch(*branch)
    with pytest.raises(panic_type, match="^" + WRONG_BRANCH_COUNT + "$"):
        model.forward_kinematics([0.0] * 6)
    with pytest.raises(panic_type, match=re.escape(POISONED)):
        model.forward_kinematics([0.0] * 6)


def test_singular_estimate_panics_and_poisons(torso, panic_type):
    torso.reset_forward_kinematics([[0.0] * 4] * 4)
    with pytest.raises(panic_type) as failure:
        torso.forward_kinematics(NAN6)
    assert failure.value.args == (SINGULAR,)
    with pytest.raises(panic_type, match=re.escape(POISONED)):
        torso.reset_forward_kinematics(identity())


INFINITE_ANCHOR = """
import math
from tavrino_torso import Torso
from tavrino_torso_kinematics import TavrinoTorsoKinematics
example = Torso.example()
model = TavrinoTorsoKinematics(example.motor_arm_length, example.rod_length)
for i, b in enumerate(example.branches):
    model.add_branch((math.inf, 0.0, 0.085) if i == 0 else b.anchor, b.t_world_motor, b.solution)
result = model.forward_kinematics([0.1] * 6)
assert len(result) == 4 and all(len(row) == 4 for row in result)
"""


def test_infinite_residual_still_ends():
    # Run apart: a solver that never ends would hold the interpreter lock for good.
    done = subprocess.run([sys.executable, "-c", INFINITE_ANCHOR], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
