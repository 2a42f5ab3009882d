"""Calibration against a synthetic ground truth: the example torso perturbed as a
build would be (positions by up to 1 mm, axes and encoder zeros by up to 1 degree,
lengths by up to 0.3 mm), measured at designed poses with tracker and encoder
noise, then identified from its nominal drawing. Every random draw comes from a
fixed seed."""

from __future__ import annotations

import math

import numpy as np
import pytest

pytest.importorskip("scipy", reason="calibration needs scipy (the calibrate extras)")

from tavrino_torso import Branch, Torso
from tavrino_torso.calibration import MeasurementError, Measurements, calibrate, calibration_poses, validate
from tavrino_torso.calibration.design import conditioning, predicted_angles
from tavrino_torso.calibration.model import (Layout, residuals, residuals_and_jacobian, rotation_exp, rotation_log,
                                             samples, sensitivities)

DEGREE = math.pi / 180.0
POSE_NOISE, TURN_NOISE, ANGLE_NOISE = 10e-6, 0.01 * DEGREE, 0.01 * DEGREE
STATED = {"tracker_noise": (POSE_NOISE, TURN_NOISE), "encoder_noise": ANGLE_NOISE}


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
    assert 0.0 < error.min() and error.max() < 1e-3  # all well determined, none held
    assert result.outliers == () and result.misfit == () and result.warnings == ()
    # The noise levels come out of the residuals, near those simulated.
    levels = np.array(result.noise[:3]) / (POSE_NOISE, TURN_NOISE, ANGLE_NOISE)
    assert np.all((0.7 < levels) & (levels < 1.4)) and abs(result.noise_ratio - 1.0) < 0.1
    # Twenty samples are 120 equations for 56 parameters: enough.
    assert calibrate(nominal, world["noisy"].subset(slice(20))).degrees_of_freedom > 0


@pytest.mark.once
def test_standard_errors_cover_the_truth_as_they_claim():
    """Over repetitions with fresh noise and build errors, about 95 % of the estimates lie
    within two standard errors of the truth: for the default fit (noise levels estimated)
    and for soft_l1 with stated levels, whose covariance takes the loss's weights."""
    nominal = Torso.example()
    poses = calibration_poses(nominal, 40)
    within = {"linear": [], "soft_l1": []}
    for seed in range(24):
        rng = np.random.default_rng(1000 + seed)
        truth = perturbed(nominal, rng)
        loss = "linear" if seed % 2 else "soft_l1"
        kwargs = {} if loss == "linear" else {"loss": loss, **STATED}
        result = calibrate(nominal, measured(truth, poses, rng), **kwargs)
        estimate, error = np.array([(p.estimate, p.standard_error) for p in result.parameters]).T
        within[loss].append(np.abs(estimate - true_parameters(nominal, truth)) < 2.0 * error)
    for loss, hits in within.items():
        assert 0.9 < np.mean(hits) < 0.99, loss
    lengths = np.concatenate([np.array(hits)[:, -2:] for hits in within.values()])
    assert np.mean(lengths) > 0.8  # the arm and the rod as well, not only the many positions


@pytest.mark.once
def test_weighing_by_the_noise_beats_weighing_alike():
    nominal, targets = Torso.example(), calibration_poses(Torso.example(), 100, seed=1)
    ratios = []
    for seed in range(4):
        rng = np.random.default_rng(2000 + seed)
        truth = perturbed(nominal, rng)
        data = measured(truth, calibration_poses(nominal, 80), rng)
        wanted = predicted_angles(truth, targets)
        weighted, plain = calibrate(nominal, data, **STATED), calibrate(nominal, data, weighted=False)
        assert plain.noise is None and weighted.noise.estimated == ()
        errors = [np.sqrt(np.mean((predicted_angles(r.torso, targets) - wanted) ** 2)) for r in (weighted, plain)]
        ratios.append(errors[0] / errors[1])
    assert np.mean(ratios) < 0.85


@pytest.mark.once
def test_two_tracker_glitches_are_named_and_kept_out_of_the_fit(world):
    noisy, floor = world["noisy"], validate(world["truth"], world["test"]).angle_rms
    poses, angles = noisy.poses.copy(), noisy.angles.copy()
    bad = [17, 40, 52]
    poses[[17, 52], :3, 3] += [[5e-3, 0.0, 0.0], [0.0, -3e-3, 4e-3]]  # 5 mm off
    angles[40, 3] += 2.0 * DEGREE  # and an encoder read while still turning
    glitched = Measurements(poses, angles)
    clean = validate(calibrate(world["nominal"], noisy), world["test"]).angle_rms
    result = calibrate(world["nominal"], glitched)
    assert result.outliers == tuple(bad) and result.unidentifiable == () and not result.outliers_kept
    assert validate(result, world["test"]).angle_rms < 1.5 * clean
    assert result.after_inliers.rod_rms < result.after.rod_rms / 10.0
    assert result.as_dict()["outliers"] == bad
    kept = calibrate(world["nominal"], glitched, reject_outliers=False)
    assert validate(kept, world["test"]).angle_rms > 3.0 * floor  # the glitches do matter
    # A robust loss over them all keeps them from pulling far too.
    robust = calibrate(world["nominal"], glitched, reject_outliers=False, loss="soft_l1")
    assert robust.outliers_kept and validate(robust, world["test"]).angle_rms < 2.0 * floor


def test_rods_that_differ_from_branch_to_branch_are_named_as_the_likely_misfit(world):
    truth, poses, rng = world["truth"], world["poses"], np.random.default_rng(7)
    differences = np.array([0.2, -0.2, 0.2, 0.2, -0.2, -0.2]) * 1e-3
    angles = np.stack([predicted_angles(Torso(truth.motor_arm_length, truth.rod_length + d, truth.branches),
                                        poses)[:, i] for i, d in enumerate(differences)], axis=1)
    noisy = measured(truth, poses, rng)
    result = calibrate(world["nominal"], Measurements(noisy.poses, angles + noisy.angles - world["exact"].angles))
    cause = [line for line in result.misfit if line.startswith("Likely cause: the branches' arm or rod lengths")]
    assert len(cause) == 1
    rods = np.array(cause[0].rsplit(" and rod ", 1)[1].split(), dtype=float)
    assert np.abs(rods - (differences - differences.mean()) * 1e3).max() < 0.1


def test_a_tracker_frame_3_degrees_and_20_mm_off_is_fitted_keeping_the_documented_gauge(world):
    nominal, truth = world["nominal"], world["truth"]
    tracker = np.eye(4)
    tracker[:3, :3], tracker[:3, 3] = rotation_exp(np.array([1.0, -2.0, 1.5]) / math.sqrt(7.25) * 3 * DEGREE), (
        16e-3, -8e-3, 9e-3)  # 3 degrees, 20 mm
    in_tracker = np.linalg.inv(tracker)
    exact = world["exact"]
    data = Measurements(in_tracker @ exact.poses, exact.angles)
    result = calibrate(nominal, data, fit_tracker_frame=True)
    # Targets measured in the tracker frame, commanded through the fitted frame, are reached.
    targets = in_tracker @ world["held_out"]
    reached = truth.model().solve_forward_kinematics(
        predicted_angles(result.torso, result.tracker_frame @ targets), start=world["held_out"]).poses
    assert np.abs(reached - world["held_out"]).max() < 1e-9
    # The gauge: the motor origins' centroid and the sum of the motor frames' world turns are nominal.
    ours = np.array([b.t_world_motor for b in result.torso.branches])
    drawn = np.array([b.t_world_motor for b in nominal.branches])
    assert np.abs(ours[:, :3, 3].mean(axis=0) - drawn[:, :3, 3].mean(axis=0)).max() < 1e-12
    turns = rotation_log(ours[:, :3, :3] @ np.swapaxes(drawn[:, :3, :3], 1, 2))
    assert np.abs(turns.sum(axis=0)).max() < 1e-12
    # Without the flag the offset is absorbed into motors moved by centimetres, but not in silence.
    absorbed = calibrate(nominal, data)
    assert any("fit the tracker frame" in text for text in absorbed.warnings)


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
    assert all(p.standard_error is None for p in result.parameters if "motor_origin" in p.name or "anchor" in p.name)
    # Turns of a degree or less determine those moves worse than the drawing's millimetre: held too,
    # and named by their few main terms.
    poses[:, :3, :3] = rotation_exp(world["rng"].uniform(-0.01, 0.01, (60, 3)) * DEGREE)
    weak = calibrate(nominal, measured(world["truth"], poses, world["rng"]))
    assert len(weak.unidentifiable) >= 18
    assert all(text.count(" & ") <= 5 for text in weak.unidentifiable)
    errors = [p.standard_error for p in weak.parameters if p.unit == "m" and p.standard_error is not None]
    assert max(errors) < 1e-3
    assert not any(p.standard_error is not None and "motor_origin" in p.name for p in weak.parameters)


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
    # And with respect to the measurements: the tracker's position and turn, the encoders.
    poses, angles = world["noisy"].poses[:7], world["noisy"].angles[:7]
    s = sensitivities(layout, x, data)
    for k in range(3):
        d = np.eye(3)[k] * step
        moved = [poses.copy(), poses.copy()]
        moved[0][:, :3, 3] += d
        moved[1][:, :3, 3] -= d
        numeric = np.subtract(*(residuals(layout, x, samples(p, angles)) for p in moved)) / (2.0 * step)
        assert np.abs(s.position[..., k] - numeric).max() < 1e-7
        turned = [rotation_exp(sign * d) @ poses[:, :3, :3] for sign in (1.0, -1.0)]
        numeric = np.subtract(*(residuals(layout, x, samples(np.concatenate([np.concatenate(
            [r, poses[:, :3, 3:]], axis=2), poses[:, 3:]], axis=1), angles)) for r in turned)) / (2.0 * step)
        assert np.abs(s.turn[..., k] - numeric).max() < 1e-7
    numeric = (residuals(layout, x, samples(poses, angles + step)) - residuals(layout, x, samples(poses, angles - step)))
    assert np.abs(s.encoder - numeric / (2.0 * step)).max() < 1e-7


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
