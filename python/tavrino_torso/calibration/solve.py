"""The solve: the geometry that explains the measurements, found by least squares
on the rod-length residuals of calibration.model, with the directions that the
data cannot determine held at their nominal values.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np

from ..torso import Torso
from .design import predicted_angles, wrap_angle
from .measurements import Measurements, MeasurementError, as_measurements
from .model import Layout, one_blas_thread, residuals, residuals_and_jacobian, samples
from .report import DISPLAY, Calibration, Errors, Parameter

__all__ = ["IDENTIFIABLE_RCOND", "LOSSES", "calibrate", "validate"]

# A direction of the scaled Jacobian (parameters in 1 mm and 1 degree) whose
# singular value is below this fraction of the largest is one that no data of the
# kind given can show: exactly blind directions (poses that never turn the
# platform) sit near 1e-15, while the 80 poses of calibration_poses put the
# smallest near 1e-2. Directions the data show too weakly for the noise are found
# after the solve, by their standard error (docs/calibrating-a-torso.md).
IDENTIFIABLE_RCOND = 1e-7
LOSSES = ("linear", "soft_l1", "huber", "cauchy", "arctan")
_TOLERANCE = 1e-12  # the solver's ftol and xtol: noise-free data converge to rounding
_ROBUST_ROUNDS = 6
_WEAK_ROUNDS = 3
_MAX_EVALUATIONS = 200  # per solve; a calibration from a drawing converges in a few dozen
_FAR_OFF = 0.1  # of the rod length: the median rod error beyond which measurements cannot be this torso's


def validate(torso: Torso | Calibration, measurements: Any) -> Errors:
    """The error figures of a torso (or of a calibration, with its tracker frame) on measurements."""
    if isinstance(torso, Calibration):
        calibrated, tracker = torso.torso, torso.tracker_frame
    else:
        calibrated, tracker = torso, None
    return _errors(calibrated, as_measurements(measurements, len(calibrated.branches)), tracker)


def _errors(torso: Torso, data: Measurements, tracker: np.ndarray | None) -> Errors:
    poses = data.poses if tracker is None else tracker @ data.poses
    layout = Layout(torso, False)
    rod = residuals(layout, np.zeros(layout.size), samples(poses, data.angles))
    angle = wrap_angle(predicted_angles(torso, poses) - data.angles)
    reachable = ~np.isnan(angle).any(axis=1)
    angle_rms = float(np.sqrt(np.mean(angle[reachable] ** 2))) if reachable.any() else math.nan
    return Errors(
        rod_residuals=rod,
        angle_errors=angle,
        rod_rms=float(np.sqrt(np.mean(rod**2))),
        angle_rms=angle_rms,
        unreachable=int(np.count_nonzero(~reachable)),
    )


def calibrate(
    torso: Torso,
    measurements: Any,
    *,
    loss: str = "linear",
    fit_tracker_frame: bool = False,
    f_scale: float | None = None,
    progress: Callable[[int, float], None] | None = None,
) -> Calibration:
    """Identify the geometry of a built torso from measured poses and encoder angles.

    measurements: a `Measurements` (poses (N, 4, 4) in the world frame, or in the
    tracker frame with fit_tracker_frame; angles (N, B) radians) or an array of
    rows x, y, z, qw, qx, qy, qz, q0, ..., q5 in metres and radians. At least as
    many samples as parameters (56 for six branches, 62 with the tracker frame).

    loss: passed to scipy.optimize.least_squares; "soft_l1" (or "huber", "cauchy",
    "arctan") limits the pull of outliers. Their scale f_scale, in metres of rod
    residual, is by default estimated from the residuals themselves (1.4826 times
    their median absolute value, refined until it settles).

    fit_tracker_frame: also identify the pose of the measuring frame in the world.
    The whole torso and the tracker can then move together unseen; the calibration
    fixes that freedom by keeping the centroid of the motor origins and the sum of
    the motor frames' rotation vectors (world frame) at their nominal values.

    progress(iteration, rod_rms): called once per solver iteration.

    Raises ValueError (MeasurementError for the measurements) on bad input and
    ImportError without scipy.
    """
    with one_blas_thread():
        return _calibrate(torso, measurements, loss, fit_tracker_frame, f_scale, progress)


def _calibrate(
    torso: Torso,
    measurements: Any,
    loss: str,
    fit_tracker_frame: bool,
    f_scale: float | None,
    progress: Callable[[int, float], None] | None,
) -> Calibration:
    try:
        from scipy.optimize import least_squares  # type: ignore[import-untyped,unused-ignore]
    except ImportError as missing:  # pragma: no cover - depends on the installation
        raise ImportError(
            "calibrate needs scipy: pip install 'tavrino_torso_kinematics[calibrate]'"
        ) from missing
    if loss not in LOSSES:
        raise ValueError(f"loss must be one of {', '.join(LOSSES)}, not {loss!r}")
    if f_scale is not None and not (math.isfinite(f_scale) and f_scale > 0.0):
        raise ValueError(f"f_scale must be a positive number of metres, not {f_scale!r}")
    layout = Layout(torso, fit_tracker_frame)
    data = as_measurements(measurements, layout.branch_count)
    count = len(data.angles)
    if count < layout.size:
        raise MeasurementError(
            f"{count} samples are fewer than the {layout.size} parameters to identify", row=None, column=None
        )
    arranged = samples(data.poses, data.angles)
    # A drawing is off by millimetres, not by a tenth of its rods: measurements that
    # far from it are in other units, another frame or another angle order.
    misfit = float(np.median(np.abs(residuals(layout, np.zeros(layout.size), arranged))))
    if not misfit <= _FAR_OFF * layout.nominal_rod:
        raise MeasurementError(
            f"the measurements do not fit the torso even roughly: the median rod length error is "
            f"{misfit * 1e3:.4g} mm, more than {_FAR_OFF:.0%} of the rod; check the length and angle units, "
            f"the order of the angles and the frame the poses are measured in",
            row=None,
            column=None,
        )

    # Parameters in drawing tolerances (1 mm, 1 degree), free of the tracker gauge.
    gauge, free = layout.gauge_basis()
    scaled = gauge * layout.tolerances()[free]
    _, jacobian = residuals_and_jacobian(layout, np.zeros(layout.size), arranged)
    _, singular, vt = np.linalg.svd(jacobian.reshape(-1, layout.size) @ scaled, full_matrices=False)
    # Directions that no data of this kind can show: held at nominal from the start.
    structural = singular <= IDENTIFIABLE_RCOND * singular[0]
    basis = scaled @ vt[~structural].T
    blind = [scaled @ vt[structural].T]

    iteration = [0]

    def evaluate(z: np.ndarray) -> np.ndarray:
        return residuals(layout, basis @ z, arranged).ravel()

    def jacobian_of(z: np.ndarray) -> np.ndarray:
        error, jac = residuals_and_jacobian(layout, basis @ z, arranged)
        if progress is not None:
            progress(iteration[0], float(np.sqrt(np.mean(error**2))))
        iteration[0] += 1
        reduced: np.ndarray = jac.reshape(-1, layout.size) @ basis
        return reduced

    robust = loss != "linear" and f_scale is None
    scale_used = 1.0 if f_scale is None else f_scale
    if robust:
        scale_used = _robust_scale(evaluate(np.zeros(basis.shape[1])))
    evaluations = 0

    def solve(z: np.ndarray) -> Any:
        nonlocal scale_used, evaluations
        for _ in range(_ROBUST_ROUNDS if robust else 1):
            solution = least_squares(
                evaluate,
                z,
                jac=jacobian_of,
                method="trf",
                tr_solver="exact",
                loss=loss,
                f_scale=scale_used,
                ftol=_TOLERANCE,
                xtol=_TOLERANCE,
                gtol=None,  # the gradient scales with the residuals, metres squared: no absolute test fits
                max_nfev=_MAX_EVALUATIONS,
            )
            z, evaluations = solution.x, evaluations + solution.nfev
            if not robust:
                break
            # The scale of the inliers' residuals, refined until it settles.
            settled = _robust_scale(solution.fun)
            if abs(settled - scale_used) <= 0.05 * scale_used:
                break
            scale_used = settled
        return solution

    solution = solve(np.zeros(basis.shape[1]))
    for _ in range(_WEAK_ROUNDS):
        # Directions that the data determine worse than the drawing does: standard
        # error above one tolerance unit. Held at nominal, then solved again.
        error, jac = residuals_and_jacobian(layout, basis @ solution.x, arranged)
        error = error.ravel()
        weight = _loss_weight(loss, error, scale_used)
        variance = float(np.sum(weight * error**2) / max(len(error) - basis.shape[1], 1))
        weighted = np.sqrt(weight)[:, None] * (jac.reshape(-1, layout.size) @ basis)
        _, singular, vt = np.linalg.svd(weighted, full_matrices=False)
        weak = singular * singular < variance
        if not weak.any():
            break
        blind.append(basis @ vt[weak].T)
        keep = vt[~weak].T
        basis = basis @ keep
        solution = solve(keep.T @ solution.x)
    x = basis @ solution.x

    # Standard errors: the (loss-weighted) Gauss-Newton covariance in the determined directions.
    error, jac = residuals_and_jacobian(layout, x, arranged)
    error, reduced = error.ravel(), jac.reshape(-1, layout.size) @ basis
    weight = _loss_weight(loss, error, scale_used)
    variance = float(np.sum(weight * error**2) / max(len(error) - basis.shape[1], 1))
    information = reduced.T @ (weight[:, None] * reduced)
    covariance = basis @ np.linalg.pinv(information, rcond=1e-14, hermitian=True) @ basis.T
    errors_of = np.sqrt(np.maximum(np.diag(covariance) * variance, 0.0))

    nominal_values = layout.nominal_values()
    estimates = nominal_values + x
    # Turns and the tracker frame are increments: their nominal values are zero.
    parameters = tuple(
        Parameter(name, unit, float(nominal), float(estimate), float(se))
        for name, unit, nominal, estimate, se in zip(
            layout.names, layout.units, nominal_values, estimates, errors_of
        )
    )
    tracker = None
    if fit_tracker_frame:
        g = layout.geometry(x)
        tracker = np.eye(4)
        tracker[:3, :3], tracker[:3, 3] = g.tracker_rotation, g.tracker_translation
    calibrated = layout.torso_of(x)
    return Calibration(
        torso=calibrated,
        nominal=torso,
        parameters=parameters,
        unidentifiable=_describe(np.concatenate(blind, axis=1), layout),
        before=_errors(torso, data, None),
        after=_errors(calibrated, data, tracker),
        tracker_frame=tracker,
        iterations=iteration[0],
        evaluations=evaluations,
        loss=loss,
        f_scale=float(scale_used),
        message=str(solution.message),
    )


def _robust_scale(error: np.ndarray) -> float:
    """1.4826 times the median absolute residual: the standard deviation of the inliers."""
    value = 1.4826 * float(np.median(np.abs(error)))
    return value if value > 0.0 else 1e-12


def _loss_weight(loss: str, error: np.ndarray, f_scale: float) -> np.ndarray:
    """rho'(z) at z = (error / f_scale)^2: each residual's weight in the robust fit."""
    z = (error / f_scale) ** 2
    if loss == "soft_l1":
        return 1.0 / np.sqrt(1.0 + z)
    if loss == "huber":
        return np.where(z <= 1.0, 1.0, 1.0 / np.sqrt(np.maximum(z, 1.0)))
    if loss == "cauchy":
        return 1.0 / (1.0 + z)
    if loss == "arctan":
        return 1.0 / (1.0 + z * z)
    return np.ones_like(error)


def _describe(blind: np.ndarray, layout: Layout) -> tuple[str, ...]:
    """Name each blind direction by the parameters it moves, in millimetres and degrees.

    The directions are rearranged so that each has one parameter of its own that no
    other one moves (a pivoted QR picks them); each is then written with its largest
    move as 1.
    """
    if blind.shape[1] == 0:
        return ()
    from scipy.linalg import qr  # type: ignore[import-untyped,unused-ignore]

    display = blind * np.array([DISPLAY[u][0] for u in layout.units])[:, None]
    _, _, pivots = qr(display.T, pivoting=True, mode="economic")
    own = pivots[: display.shape[1]]
    directions = display @ np.linalg.inv(display[own, :])
    described = []
    for column in range(directions.shape[1]):
        direction = directions[:, column] / np.max(np.abs(directions[:, column]))
        moved = sorted(np.flatnonzero(np.abs(direction) > 1e-6), key=lambda j: (-round(abs(direction[j]), 6), j))
        text = " & ".join(f"{layout.names[j]} {direction[j]:+.3g} {DISPLAY[layout.units[j]][1]}" for j in moved)
        described.append((min(moved), text))
    return tuple(text for _, text in sorted(described))
