"""Calibration against a synthetic ground truth: the example torso perturbed as a
build would be (positions by up to 1 mm, axes and encoder zeros by up to 1 degree,
lengths by up to 0.3 mm), measured at designed poses with tracker and encoder
noise, then identified from its nominal drawing."""

from __future__ import annotations

import math

import numpy as np
import pytest

pytest.importorskip("scipy", reason="calibration needs scipy (the calibrate extras)")

from tavrino_torso import Branch, Torso
from tavrino_torso.calibration import Measurements, calibrate, calibration_poses, validate
from tavrino_torso.calibration.design import conditioning, predicted_angles
from tavrino_torso.calibration.model import Layout, residuals, residuals_and_jacobian, rotation_exp, rotation_log, samples

DEGREE = math.pi / 180.0
POSE_NOISE, TURN_NOISE, ANGLE_NOISE = 10e-6, 0.01 * DEGREE, 0.01 * DEGREE


def perturbed(torso: Torso, rng: np.random.Generator) -> Torso:
    branches = []
    for b in torso.branches:
        motor = np.array(b.t_world_motor)
        motor[:3, :3] = motor[:3, :3] @ rotation_exp(rng.uniform(-DEGREE, DEGREE, 3))  # tilts and encoder zero
        motor[:3, 3] += rng.uniform(-1e-3, 1e-3, 3)
        branches.append(Branch(np.array(b.anchor) + rng.uniform(-1e-3, 1e-3, 3), motor, b.solution))
    arm, rod = rng.uniform(-0.3e-3, 0.3e-3, 2)
    return Torso(torso.motor_arm_length + arm, torso.rod_length + rod, tuple(branches))


def measured(truth: Torso, poses: np.ndarray, rng: np.random.Generator | None) -> Measurements:
    """The exact angles of the true torso at the poses, then (with rng) noise on both."""
    angles = predicted_angles(truth, poses)
    if rng is None:
        return Measurements(poses, angles)
    noisy = poses.copy()
    noisy[:, :3, 3] += rng.normal(0.0, POSE_NOISE, (len(poses), 3))
    noisy[:, :3, :3] = rotation_exp(rng.normal(0.0, TURN_NOISE, (len(poses), 3))) @ poses[:, :3, :3]
    return Measurements(noisy, angles + rng.normal(0.0, ANGLE_NOISE, angles.shape))


def true_parameters(nominal: Torso, truth: Torso) -> np.ndarray:
    """The truth in the calibration's parameters (motor turns relative to the nominal frames)."""
    values = []
    for n, t in zip(nominal.branches, truth.branches, strict=True):
        turn = rotation_log(np.array(n.t_world_motor)[:3, :3].T @ np.array(t.t_world_motor)[:3, :3])
        values += [*np.array(t.t_world_motor)[:3, 3], *turn, *t.anchor]
    return np.array(values + [truth.motor_arm_length, truth.rod_length])


@pytest.fixture(scope="module")
def world():
    rng = np.random.default_rng(16)
    nominal = Torso.example()
    truth = perturbed(nominal, rng)
    poses, held_out = calibration_poses(nominal, 80), calibration_poses(nominal, 200, seed=1)
    return {
        "nominal": nominal,
        "truth": truth,
        "poses": poses,
        "held_out": held_out,
        "exact": measured(truth, poses, None),
        "noisy": measured(truth, poses, rng),
        "test": measured(truth, held_out, rng),
        "rng": rng,
    }


def test_noise_free_measurements_give_the_true_torso(world):
    result = calibrate(world["nominal"], world["exact"])
    truth = world["truth"]
    assert result.unidentifiable == ()
    assert abs(result.torso.motor_arm_length - truth.motor_arm_length) < 1e-9
    assert abs(result.torso.rod_length - truth.rod_length) < 1e-9
    for ours, theirs in zip(result.torso.branches, truth.branches, strict=True):
        assert np.abs(np.subtract(ours.t_world_motor, theirs.t_world_motor)).max() < 1e-9
        assert np.abs(np.subtract(ours.anchor, theirs.anchor)).max() < 1e-9
        assert ours.solution == theirs.solution
    assert validate(result, measured(truth, world["held_out"], None)).angle_rms < 1e-9
    assert result.after.rod_rms < 1e-12 and result.before.rod_rms > 1e-4


def test_noisy_calibration_predicts_angles_to_the_noise_floor(world):
    nominal, truth = world["nominal"], world["truth"]
    result = calibrate(nominal, world["noisy"])
    floor = validate(truth, world["test"]).angle_rms  # what the noise alone gives
    assert validate(result, world["test"]).angle_rms < 1.5 * floor
    assert validate(nominal, world["test"]).angle_rms > 30.0 * floor
    assert result.after.angle_rms < result.before.angle_rms / 30.0
    estimate = np.array([p.estimate for p in result.parameters])
    error = np.array([p.standard_error for p in result.parameters])
    assert np.all(np.abs(estimate - true_parameters(nominal, truth)) < 4.0 * error)
    assert 0.0 < error.max() < 1e-3  # all well determined, none held


def test_soft_l1_keeps_gross_outliers_from_spoiling_the_fit(world):
    rng, noisy = world["rng"], world["noisy"]
    poses, angles = noisy.poses.copy(), noisy.angles.copy()
    bad = rng.choice(len(poses), 4, replace=False)  # 5 %: millimetres off, or a degree or more
    poses[bad[:2], :3, 3] += rng.choice([-1.0, 1.0], (2, 3)) * rng.uniform(1e-3, 3e-3, (2, 3))
    angles[bad[2:], rng.integers(0, 6, 2)] += rng.choice([-1.0, 1.0], 2) * rng.uniform(1.0, 3.0, 2) * DEGREE
    floor = validate(world["truth"], world["test"]).angle_rms
    robust = calibrate(world["nominal"], Measurements(poses, angles), loss="soft_l1")
    assert validate(robust, world["test"]).angle_rms < 2.0 * floor
    plain = calibrate(world["nominal"], Measurements(poses, angles))
    assert validate(plain, world["test"]).angle_rms > 2.0 * floor  # the outliers do matter


def test_a_fitted_tracker_frame_keeps_the_documented_gauge(world):
    nominal, truth = world["nominal"], world["truth"]
    tracker = np.eye(4)
    tracker[:3, :3], tracker[:3, 3] = rotation_exp(np.array([0.01, -0.02, 0.015])), (2e-3, -1e-3, 3e-3)
    in_tracker = np.linalg.inv(tracker)
    exact = world["exact"]
    result = calibrate(nominal, Measurements(in_tracker @ exact.poses, exact.angles), fit_tracker_frame=True)
    test = measured(truth, world["held_out"], None)
    assert validate(result, Measurements(in_tracker @ test.poses, test.angles)).angle_rms < 1e-9
    # The gauge: the motor origins' centroid and the sum of the motor frames' world turns are nominal.
    ours = np.array([b.t_world_motor for b in result.torso.branches])
    drawn = np.array([b.t_world_motor for b in nominal.branches])
    assert np.abs(ours[:, :3, 3].mean(axis=0) - drawn[:, :3, 3].mean(axis=0)).max() < 1e-12
    turns = rotation_log(ours[:, :3, :3] @ np.swapaxes(drawn[:, :3, :3], 1, 2))
    assert np.abs(turns.sum(axis=0)).max() < 1e-12


def test_what_the_poses_cannot_show_is_named_and_held_at_nominal(world):
    # Without turning the platform, a motor origin and its anchor moving together change nothing.
    nominal = world["nominal"]
    poses = np.tile(np.eye(4), (60, 1, 1))
    poses[:, :3, 3] = world["rng"].uniform(-8e-3, 8e-3, (60, 3))
    result = calibrate(nominal, measured(world["truth"], poses, None))
    expected = {
        f"branch[{i}].motor_origin.{c} +1 mm & branch[{i}].anchor.{c} +1 mm" for i in range(6) for c in "xyz"
    }
    assert set(result.unidentifiable) == expected
    for ours, drawn in zip(result.torso.branches, nominal.branches, strict=True):
        held = np.array(ours.t_world_motor)[:3, 3] + ours.anchor
        assert np.abs(held - (np.array(drawn.t_world_motor)[:3, 3] + drawn.anchor)).max() < 1e-12
    assert result.after.rod_rms < 1e-12 and result.after.angle_rms < 1e-9
    # Turns of a degree or less determine those moves worse than the drawing's millimetre: held too.
    poses[:, :3, :3] = rotation_exp(world["rng"].uniform(-0.01, 0.01, (60, 3)) * DEGREE)
    weak = calibrate(nominal, measured(world["truth"], poses, world["rng"]))
    assert len(weak.unidentifiable) >= 18
    assert max(p.standard_error for p in weak.parameters if p.unit == "m") < 1e-3


@pytest.mark.parametrize("fit_tracker_frame", [False, True])
def test_the_jacobian_is_the_derivative_of_the_residuals(world, fit_tracker_frame):
    layout = Layout(world["nominal"], fit_tracker_frame)
    rng = np.random.default_rng(3)
    x = rng.normal(0.0, 0.3, layout.size) * layout.tolerances() * 50.0  # turns of up to a radian
    data = samples(world["noisy"].poses[:7], world["noisy"].angles[:7])
    _, jacobian = residuals_and_jacobian(layout, x, data)
    step = 1e-7
    for j in range(layout.size):
        up, down = x.copy(), x.copy()
        up[j] += step
        down[j] -= step
        numeric = (residuals(layout, up, data) - residuals(layout, down, data)) / (2.0 * step)
        assert np.abs(jacobian[..., j] - numeric).max() < 1e-7, layout.names[j]


def test_calibration_poses_are_reachable_clear_of_singularities_and_reproducible(world):
    nominal, poses = world["nominal"], world["poses"]
    assert poses.shape == (80, 4, 4)
    np.testing.assert_array_equal(poses, calibration_poses(nominal, 80))
    assert not np.array_equal(poses, world["held_out"][:80])
    angles = predicted_angles(nominal, poses)
    assert not np.isnan(angles).any()
    home = np.eye(4)[None]
    transmission, condition = conditioning(nominal, poses, angles)
    home_transmission, home_condition = conditioning(nominal, home, predicted_angles(nominal, home))
    assert transmission.min() >= 0.5 * home_transmission[0] and condition.min() >= 0.5 * home_condition[0]
    with pytest.raises(ValueError, match="count must be a positive integer"):
        calibration_poses(nominal, 0)
