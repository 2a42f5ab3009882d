"""The solve: the geometry that explains the measurements, found by least squares
on the rod-length residuals of calibration.model, with the directions that the
data cannot determine held at their nominal values.

How the fit weighs its data. A sample's six rod residuals share the error of its
tracker measurement, so they are correlated. Their covariance follows, to first
order, from the noise levels of the tracker (position and turn, per axis) and of the
encoders; each sample's residuals are whitened with the Cholesky factor of that
covariance, and the fit, the outlier rule and the standard errors all work on the
whitened residuals. Noise levels not given are estimated from the residuals by
restricted maximum likelihood (REML).

The order of the work: the frame (with fit_tracker_frame, estimated first from the
forward kinematics of the drawing); a robust first pass (soft_l1); outliers named
on it; the final fit without them, with the requested loss; standard errors from
the weighted problem at the solution (with a robust loss, the sandwich form).
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np

from ..torso import Torso
from .design import predicted_angles, wrap_angle
from .measurements import Measurements, MeasurementError, as_measurements
from .model import (
    BRANCH_PARAMETERS,
    Layout,
    Samples,
    covariances,
    one_blas_thread,
    residuals,
    residuals_and_jacobian,
    rotation_exp,
    rotation_log,
    samples,
    sensitivities,
)
from .report import DISPLAY, Calibration, Errors, NoiseLevels, Parameter

__all__ = ["IDENTIFIABLE_RCOND", "LOSSES", "calibrate", "validate"]

# A direction of the scaled Jacobian (parameters in 1 mm and 1 degree) whose
# singular value is below this fraction of the largest is one that no data of the
# kind given can show: exactly blind directions (poses that never turn the
# platform) sit near 1e-15, while the 80 poses of calibration_poses put the
# smallest near 1e-2. Directions the data show too weakly for the noise are found
# after the solve, by their standard error (docs/calibrating-a-torso.md).
IDENTIFIABLE_RCOND = 1e-7
LOSSES = ("linear", "soft_l1", "huber", "cauchy", "arctan")
# The chance that a clean data set has any sample named an outlier.
OUTLIER_FALSE_ALARM = 0.01
# The chance that a model which does hold is said to misfit.
MISFIT_FALSE_ALARM = 0.001
# A calibrated motor or anchor this far from the drawing is no build error: most
# likely the poses were measured in a frame other than the world.
FAR_MOVE = 5e-3
FAR_TURN = math.radians(3.0)
_TOLERANCE = 1e-12  # the solver's ftol and xtol: noise-free data converge to rounding
_ROBUST_ROUNDS = 6
_WEAK_ROUNDS = 3
_WEIGHT_ROUNDS = 2  # the weights follow the solution; they barely move after one round
_MAX_EVALUATIONS = 200  # per solve; a calibration from a drawing converges in a few dozen
_FAR_OFF = 0.1  # of the rod length: the median rod error beyond which measurements cannot be this torso's
_NOISE_NAMES = ("tracker_position", "tracker_angle", "encoder")
# Rod residuals below this fraction of the rod are rounding, not measurement noise:
# no sample is an outlier, and no branch misfits, below it.
_ROUNDING = 1e-6


def validate(torso: Torso | Calibration, measurements: Any, *, fit_tracker_frame: bool = False) -> Errors:
    """The error figures of a torso (or of a calibration, with its tracker frame) on measurements.

    fit_tracker_frame: the poses are in a tracker's frame, unknown: it is estimated
    from the torso's forward kinematics at the measured angles (the mean of world
    from tracker over the samples) before the errors are taken.
    """
    if isinstance(torso, Calibration):
        calibrated, tracker = torso.torso, torso.tracker_frame
    else:
        calibrated, tracker = torso, None
    data = as_measurements(measurements, len(calibrated.branches))
    if fit_tracker_frame:
        frame = _tracker_estimate(calibrated, data)
        if frame is None:
            raise MeasurementError("the tracker frame cannot be estimated: the torso's forward kinematics "
                                   "does not reach most of the measured angles", row=None, column=None)
        tracker = _frame_matrix(frame)
    return _errors(calibrated, data, tracker)


def _frame_matrix(frame: np.ndarray) -> np.ndarray:
    matrix = np.eye(4)
    matrix[:3, :3], matrix[:3, 3] = rotation_exp(frame[3:]), frame[:3]
    return matrix


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
        rod_rms=float(np.sqrt(np.mean(rod**2))) if rod.size else math.nan,
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
    tracker_noise: tuple[float, float] | None = None,
    encoder_noise: float | None = None,
    weighted: bool = True,
    reject_outliers: bool = True,
    progress: Callable[[int, float], None] | None = None,
) -> Calibration:
    """Identify the geometry of a built torso from measured poses and encoder angles.

    measurements: a `Measurements` (poses (N, 4, 4) in the world frame, or in the
    tracker frame with fit_tracker_frame; angles (N, B) radians) or an array of
    rows x, y, z, qw, qx, qy, qz, q0, ..., q5 in metres and radians. Refused when
    the distinct samples leave no residual degrees of freedom (equations beyond the
    rank of the problem).

    tracker_noise: (position in metres, angle in radians), the standard deviations of
    the tracker's errors per axis; encoder_noise: the encoders' standard deviation in
    radians. They weigh the residuals; those not given are estimated from the data
    (REML). weighted=False weighs every rod residual alike (the plain fit, for
    comparison).

    loss: passed to scipy.optimize.least_squares for the final fit; "soft_l1" (or
    "huber", "cauchy", "arctan") limits the pull of the remaining large residuals.
    Their scale f_scale, in metres of rod residual, is by default estimated from the
    residuals themselves (1.4826 times their median absolute value, refined until it
    settles).

    Outliers are named on a robust first pass (soft_l1): a sample whose whitened
    residuals' squared norm exceeds the chi-square quantile with one chance in
    100 N of being passed by noise, against a scale from their median. With
    reject_outliers (the default) the final fit leaves them out.

    fit_tracker_frame: also identify the pose of the measuring frame in the world.
    It is first estimated from the forward kinematics of the drawing at the measured
    angles, then refined with the rest. The whole torso and the tracker can move
    together unseen; the calibration fixes that freedom by keeping the centroid of
    the motor origins and the sum of the motor frames' rotation vectors (world frame)
    at their nominal values.

    progress(iteration, rod_rms): called once per solver iteration.

    Raises ValueError (MeasurementError for the measurements) on bad input and
    ImportError without scipy.
    """
    with one_blas_thread():
        return _calibrate(
            torso, measurements, loss, fit_tracker_frame, f_scale, tracker_noise, encoder_noise,
            weighted, reject_outliers, progress,
        )


def _positive(value: Any, what: str) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number, not {value!r}") from None
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(f"{what} must be a finite number, zero or more, not {value!r}")
    return number


def _given_levels(tracker_noise: Any, encoder_noise: Any) -> list[float | None]:
    given: list[float | None] = [None, None, None]
    if tracker_noise is not None:
        try:
            position, angle = tracker_noise
        except (TypeError, ValueError):
            raise ValueError(f"tracker_noise must be (position, angle), not {tracker_noise!r}") from None
        given[0] = _positive(position, "tracker_noise's position")
        given[1] = _positive(angle, "tracker_noise's angle")
    if encoder_noise is not None:
        given[2] = _positive(encoder_noise, "encoder_noise")
    if all(level is not None for level in given) and given[0] == 0.0 and given[2] == 0.0:
        raise ValueError("the tracker's position noise and the encoders' cannot both be zero")
    return given


class _Noise:
    """The noise levels and the whitening of each sample's residuals they give."""

    def __init__(self, layout: Layout, given: list[float | None], weighted: bool) -> None:
        self.layout = layout
        self.weighted = weighted
        self.free = np.array([level is None for level in given])
        # Without levels, each source starts out giving the rod residual the same
        # scale: a tenth of a micrometre... of position, the same at the anchors'
        # lever for a turn, and at the arm's for an encoder. Only the ratios matter
        # until the estimate replaces them.
        lever = float(np.median(np.linalg.norm(layout.nominal_anchors, axis=1))) or layout.nominal_rod
        guess = np.array([1e-5, 1e-5 / lever, 1e-5 / layout.nominal_arm])
        self.levels = np.array([guess[k] if level is None else level for k, level in enumerate(given)])

    def covariance(self, x: np.ndarray, data: Samples) -> np.ndarray:
        c = covariances(sensitivities(self.layout, x, data), *self.levels)
        # A level of zero may leave a direction without noise: keep the factor regular.
        c += 1e-12 * np.trace(c, axis1=1, axis2=2).max() / c.shape[1] * np.eye(c.shape[1])
        return c

    def whitening(self, x: np.ndarray, data: Samples) -> np.ndarray | None:
        """L^-1 (N, B, B) with L L^T the covariance of each sample's residuals; None unweighted."""
        if not self.weighted:
            return None
        factor = np.linalg.cholesky(self.covariance(x, data))
        whitening: np.ndarray = np.linalg.inv(factor)
        return whitening

    def estimate(self, x: np.ndarray, data: Samples, basis: np.ndarray) -> None:
        """The free levels by restricted maximum likelihood on the residuals at x.

        REML counts the degrees of freedom that the fit takes from the residuals: it
        maximises the likelihood of the residuals alone, -1/2 (sum log det C_n +
        sum e_n^T C_n^-1 e_n + log det J^T C^-1 J), over the logarithms of the free
        levels.
        """
        if not (self.weighted and self.free.any()):
            return
        from scipy.optimize import minimize  # type: ignore[import-untyped,unused-ignore]

        error, jac = residuals_and_jacobian(self.layout, x, data)
        jac = jac @ basis
        s = sensitivities(self.layout, x, data)
        branches = error.shape[1]
        # The covariance is sum_k level_k^2 M_k: one M per source of noise.
        parts = np.stack([
            covariances(s, 1.0, 0.0, 0.0), covariances(s, 0.0, 1.0, 0.0), covariances(s, 0.0, 0.0, 1.0),
        ])[self.free]
        fixed = covariances(s, *np.where(self.free, 0.0, self.levels))
        jitter = 1e-12 * max(float(np.trace(fixed + parts.sum(axis=0), axis1=1, axis2=2).max()), 1e-300) / branches
        flat = jac.reshape(-1, jac.shape[-1])

        def objective(t: np.ndarray) -> tuple[float, np.ndarray]:
            squares = np.exp(2.0 * t)
            c = fixed + np.einsum("k,knij->nij", squares, parts) + jitter * np.eye(branches)
            signs, logdets = np.linalg.slogdet(c)
            if not np.all(signs > 0):
                return math.inf, np.zeros_like(t)
            inverse = np.linalg.inv(c)
            a = np.einsum("nij,nj->ni", inverse, error)
            k = inverse @ jac
            information = flat.T @ k.reshape(flat.shape)
            sign, restricted = np.linalg.slogdet(information)
            if sign <= 0:
                return math.inf, np.zeros_like(t)
            g_inverse = np.linalg.inv(information)
            projector = inverse - k @ g_inverse @ np.swapaxes(k, 1, 2)
            # d/dt_k = sum_n tr(P_n dC_n) - a_n^T dC_n a_n, with dC_n = 2 level_k^2 M_kn.
            gradient = 2.0 * squares * (np.einsum("nij,knji->k", projector, parts)
                                        - np.einsum("ni,knij,nj->k", a, parts, a))
            return float(np.sum(logdets) + np.sum(a * error) + restricted), gradient

        start = np.log(self.levels[self.free])
        bounds = [(t - 12.0, t + 12.0) for t in start]
        found = minimize(objective, start, jac=True, method="L-BFGS-B", bounds=bounds)
        if np.all(np.isfinite(found.x)) and found.fun <= objective(start)[0]:
            self.levels[self.free] = np.exp(found.x)

    def result(self) -> NoiseLevels | None:
        if not self.weighted:
            return None
        estimated = tuple(name for name, free in zip(_NOISE_NAMES, self.free) if free)
        position, angle, encoder = (float(level) for level in self.levels)
        return NoiseLevels(position, angle, encoder, estimated)


def _whiten(values: np.ndarray, whitening: np.ndarray | None) -> np.ndarray:
    """Each sample's residuals (N, B) or Jacobian (N, B, P) times its whitening."""
    if whitening is None:
        return values
    if values.ndim == 2:
        whitened: np.ndarray = np.einsum("nij,nj->ni", whitening, values)
        return whitened
    product: np.ndarray = whitening @ values
    return product


def _calibrate(
    torso: Torso,
    measurements: Any,
    loss: str,
    fit_tracker_frame: bool,
    f_scale: float | None,
    tracker_noise: Any,
    encoder_noise: Any,
    weighted: bool,
    reject_outliers: bool,
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
    noise = _Noise(layout, _given_levels(tracker_noise, encoder_noise), weighted)
    data = as_measurements(measurements, layout.branch_count)
    count, branches = data.angles.shape
    if count == 0:
        raise MeasurementError("no samples to calibrate from", row=None, column=None)
    arranged = samples(data.poses, data.angles)
    warnings: list[str] = []

    # The frame first: the rough-fit check below judges the torso in it.
    x0 = np.zeros(layout.size)
    frame = _tracker_estimate(torso, data)
    if fit_tracker_frame and frame is not None:
        x0[layout.tracker : layout.tracker + 6] = frame
    _check_roughly_fits(layout, x0, arranged, fit_tracker_frame, frame)

    # Parameters in drawing tolerances (1 mm, 1 degree), free of the tracker gauge.
    gauge, free = layout.gauge_basis()
    scaled = gauge * layout.tolerances()[free]
    _, jacobian = residuals_and_jacobian(layout, x0, arranged)
    _, singular, vt = np.linalg.svd(jacobian.reshape(-1, layout.size) @ scaled, full_matrices=False)
    # Directions that no data of this kind can show: held at nominal from the start.
    structural = singular <= IDENTIFIABLE_RCOND * singular[0]
    rank = int(np.count_nonzero(~structural))
    basis = scaled @ vt[~structural].T
    blind = [scaled @ vt[structural].T]

    repeats, distinct = _repeats(data)
    if branches * distinct - rank < 1:
        raise MeasurementError(
            f"the measurements leave no residual degrees of freedom: {distinct} distinct "
            f"sample{'s give' if distinct != 1 else ' gives'} {branches * distinct} equations for {rank} identifiable "
            f"parameter combinations" + (f"; {_repeat_text(repeats)}" if repeats else ""),
            row=None,
            column=None,
        )
    if repeats:
        warnings.append(f"{_repeat_text(repeats)}: each counts as a measurement of its own")

    iteration = [0]
    evaluations = [0]
    message = [""]

    def solve(z: np.ndarray, keep: np.ndarray, whitening: np.ndarray | None, how: str,
              scale: float | None) -> tuple[np.ndarray, float]:
        """Least squares over the kept samples with fixed weights; the scale of a
        robust loss from the residuals' median unless given (whitened units)."""
        part = Samples(*(field[keep] for field in arranged))
        white = None if whitening is None else whitening[keep]

        def evaluate(zz: np.ndarray) -> np.ndarray:
            return _whiten(residuals(layout, basis @ zz, part), white).ravel()

        def jacobian_of(zz: np.ndarray) -> np.ndarray:
            error, jac = residuals_and_jacobian(layout, basis @ zz, part)
            if progress is not None:
                progress(iteration[0], float(np.sqrt(np.mean(error**2))))
            iteration[0] += 1
            reduced: np.ndarray = _whiten(jac, white).reshape(-1, layout.size) @ basis
            return reduced

        robust = how != "linear" and scale is None
        used = 1.0 if scale is None else scale
        if robust:
            used = _robust_scale(evaluate(z))
        for _ in range(_ROBUST_ROUNDS if robust else 1):
            solution = least_squares(
                evaluate, z, jac=jacobian_of, method="trf", tr_solver="exact", loss=how, f_scale=used,
                ftol=_TOLERANCE, xtol=_TOLERANCE,
                gtol=None,  # the gradient scales with the residuals: no absolute test fits
                max_nfev=_MAX_EVALUATIONS,
            )
            z = solution.x
            evaluations[0] += solution.nfev
            if not robust:
                break
            # The scale of the inliers' residuals, refined until it settles.
            settled = _robust_scale(solution.fun)
            if abs(settled - used) <= 0.05 * used:
                break
            used = settled
        message[0] = str(solution.message)
        return z, used

    everyone = np.ones(count, dtype=bool)
    z = np.linalg.lstsq(basis, x0, rcond=None)[0]

    # A robust first pass: the outliers cannot pull it far, so they stand out on it.
    z, _ = solve(z, everyone, noise.whitening(basis @ z, arranged), "soft_l1", None)

    def named(z_robust: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The outliers, and the solution of a plain fit without the candidates."""
        candidates = _outliers(noise, basis @ z_robust, arranged, basis, chi2)
        if not candidates.any() or branches * len(_distinct_rows(data, ~candidates)) - rank < 1:
            return candidates & False, z_robust
        z_clean, _ = solve(z_robust, ~candidates, noise.whitening(basis @ z_robust, arranged), "linear", None)
        return _confirmed(noise, basis @ z_clean, arranged, basis, candidates, chi2), z_clean

    outliers, z = named(z)
    if noise.free.any() and weighted:
        noise.estimate(basis @ z, Samples(*(f[~outliers] for f in arranged)), basis)
        outliers, z = named(z)
    keep = ~outliers if reject_outliers else everyone
    if branches * len(_distinct_rows(data, keep)) - rank < 1:
        keep = everyone
        warnings.append("the outliers are kept in the fit: without them nothing would be left to judge it by")

    # The final fit, its weights following the solution.
    scale_used = math.nan
    f_white = None
    for _ in range(_WEIGHT_ROUNDS):
        x = basis @ z
        f_white = None if f_scale is None else f_scale / _typical_sigma(noise, x, arranged)
        z, scale_used = solve(z, keep, noise.whitening(x, arranged), loss, f_white)
        if weighted and noise.free.any():
            noise.estimate(basis @ z, Samples(*(f[keep] for f in arranged)), basis)
    x = basis @ z
    kept = Samples(*(f[keep] for f in arranged))

    def covariance_of(basis_now: np.ndarray, x_now: np.ndarray, x_jacobian: np.ndarray
                      ) -> tuple[np.ndarray, float, np.ndarray, np.ndarray]:
        whitening = noise.whitening(x_now, arranged)
        white_kept = None if whitening is None else whitening[keep]
        error, jac = residuals_and_jacobian(layout, x_now, kept)
        if x_jacobian is not x_now:
            jac = residuals_and_jacobian(layout, x_jacobian, kept)[1]
        e = _whiten(error, white_kept).ravel()
        j = _whiten(jac, white_kept).reshape(-1, layout.size) @ basis_now
        return _covariance(loss, e, j, scale_used), _variance(e, j.shape[1]), e, j

    for _ in range(_WEAK_ROUNDS):
        # Directions that the data determine worse than the drawing does: standard
        # error above one tolerance unit. Held at nominal, then solved again.
        # Judged where the structural directions were, at the start: far along a
        # weak direction the solution may have wandered where the directions differ.
        cov_z, _, _, _ = covariance_of(basis, x, x0)
        values, vectors = np.linalg.eigh(cov_z)
        weak = ~(values <= 1.0)
        if not weak.any():
            break
        blind.append(basis @ vectors[:, weak])
        basis = basis @ vectors[:, ~weak]
        z = np.linalg.lstsq(basis, x0, rcond=None)[0]
        for _ in range(_WEIGHT_ROUNDS):
            z, scale_used = solve(z, keep, noise.whitening(basis @ z, arranged), loss, f_white)
        x = basis @ z

    cov_z, variance, e_white, j_white = covariance_of(basis, x, x)
    covariance = basis @ cov_z @ basis.T
    held = np.concatenate(blind, axis=1)
    standard_errors = _standard_errors(covariance, held, layout)

    nominal_values = layout.nominal_values()
    estimates = nominal_values + x
    # Turns and the tracker frame are increments: their nominal values are zero.
    parameters = tuple(
        Parameter(name, unit, float(nominal), float(estimate), se)
        for name, unit, nominal, estimate, se in zip(
            layout.names, layout.units, nominal_values, estimates, standard_errors
        )
    )
    tracker = None
    if fit_tracker_frame:
        g = layout.geometry(x)
        tracker = np.eye(4)
        tracker[:3, :3], tracker[:3, 3] = g.tracker_rotation, g.tracker_translation
    else:
        warnings += _far_moves(layout, x)
    calibrated = layout.torso_of(x)
    after = _errors(calibrated, data, tracker)
    branch_misfit, misfit = _misfit(noise, layout, x, kept, j_white, e_white, variance, chi2)
    return Calibration(
        torso=calibrated,
        nominal=torso,
        parameters=parameters,
        unidentifiable=_describe(held, layout),
        before=_errors(torso, data, None),
        after=after,
        tracker_frame=tracker,
        iterations=iteration[0],
        evaluations=evaluations[0],
        loss=loss,
        f_scale=float(scale_used * _typical_sigma(noise, x, arranged)),
        message=message[0],
        noise=noise.result(),
        noise_ratio=math.sqrt(variance),
        degrees_of_freedom=int(len(e_white) - j_white.shape[1]),
        outliers=tuple(int(i) for i in np.flatnonzero(outliers)),
        outliers_kept=bool(outliers.any() and keep[outliers].all()),
        after_inliers=_errors(calibrated, data.subset(~outliers), tracker) if outliers.any() else None,
        branch_misfit=branch_misfit,
        misfit=misfit,
        warnings=tuple(warnings),
    )


class _ChiSquare:
    """The chi-square quantiles used here, from scipy.special (scipy.stats takes a
    second to import)."""

    @staticmethod
    def isf(p: float, k: Any) -> Any:
        from scipy.special import gammainccinv  # type: ignore[import-untyped,unused-ignore]

        return 2.0 * gammainccinv(np.asarray(k) / 2.0, p)

    @classmethod
    def median(cls, k: Any) -> Any:
        return cls.isf(0.5, k)


chi2 = _ChiSquare()


def _f_survival(statistic: float, k: int, remaining: int) -> float:
    """P(F > statistic) for the F distribution with (k, remaining) degrees of freedom."""
    from scipy.special import betainc  # type: ignore[import-untyped,unused-ignore]

    return float(betainc(remaining / 2.0, k / 2.0, remaining / (remaining + k * statistic)))


def _tracker_estimate(torso: Torso, data: Measurements) -> np.ndarray | None:
    """The tracker frame in the world, (translation, rotation vector), from the drawing.

    The drawing's forward kinematics at the measured angles puts each sample's
    platform in the world to within the build's errors; world from tracker is then
    that pose times the inverse of the measured one. Their mean (the rotations'
    projected onto a rotation) is the estimate: no start is needed, whatever the
    offset. None when the forward kinematics finds too few of the poses.
    """
    model = torso.model()
    with np.errstate(all="ignore"):
        found = model.solve_forward_kinematics(data.angles, start=np.asarray(torso.home, dtype=float))
    good = np.isfinite(found.rod_error) & (found.rod_error <= 1e-6 * torso.rod_length)
    if np.count_nonzero(good) < max(3, len(good) // 4):
        return None
    world, measured = found.poses[good], data.poses[good]
    rotations = world[:, :3, :3] @ np.swapaxes(measured[:, :3, :3], 1, 2)
    u, _, vt = np.linalg.svd(np.sum(rotations, axis=0))
    rotation = u @ np.diag([1.0, 1.0, np.linalg.det(u @ vt)]) @ vt
    translation = np.mean(world[:, :3, 3] - measured[:, :3, 3] @ rotation.T, axis=0)
    estimate: np.ndarray = np.concatenate([translation, rotation_log(rotation)])
    return estimate


def _check_roughly_fits(layout: Layout, x0: np.ndarray, data: Samples, fitting_frame: bool,
                        frame: np.ndarray | None) -> None:
    # A drawing is off by millimetres, not by a tenth of its rods: measurements that
    # far from it are in other units, another frame or another angle order.
    misfit = float(np.median(np.abs(residuals(layout, x0, data))))
    if misfit <= _FAR_OFF * layout.nominal_rod:
        return
    hint = "the length and angle units, the order of the angles and the frame the poses are measured in"
    if fitting_frame:
        hint = "the length and angle units and the order of the angles"
    elif frame is not None:
        # Would the torso fit in the frame that its forward kinematics suggests?
        moved = Layout(layout.torso, True)
        x = np.zeros(moved.size)
        x[moved.tracker : moved.tracker + 6] = frame
        if float(np.median(np.abs(residuals(moved, x, data)))) <= _FAR_OFF * layout.nominal_rod:
            hint = (f"the poses look measured in a frame {np.linalg.norm(frame[:3]) * 1e3:.1f} mm and "
                    f"{math.degrees(np.linalg.norm(frame[3:])):.1f} deg off the world: fit the tracker frame "
                    f"(--fit-tracker-frame)")
    raise MeasurementError(
        f"the measurements do not fit the torso even roughly: the median rod length error is "
        f"{misfit * 1e3:.4g} mm, more than {_FAR_OFF:.0%} of the rod; check {hint}",
        row=None,
        column=None,
    )


def _rows_key(data: Measurements) -> np.ndarray:
    return np.ascontiguousarray(np.concatenate([data.poses.reshape(len(data.poses), -1), data.angles], axis=1))


def _distinct_rows(data: Measurements, keep: np.ndarray) -> np.ndarray:
    rows: np.ndarray = np.unique(_rows_key(data)[keep], axis=0)
    return rows


def _repeats(data: Measurements) -> tuple[list[int], int]:
    """The 0-based samples that repeat an earlier one exactly, and the number of distinct samples."""
    _, first, inverse = np.unique(_rows_key(data), axis=0, return_index=True, return_inverse=True)
    inverse = inverse.ravel()
    return [i for i in range(len(inverse)) if first[inverse[i]] != i], len(first)


def _ranges(rows: list[int]) -> str:
    """1-based row numbers, runs written as first-last."""
    parts, start = [], 0
    for k in range(1, len(rows) + 1):
        if k == len(rows) or rows[k] != rows[k - 1] + 1:
            first, last = rows[start] + 1, rows[k - 1] + 1
            parts.append(str(first) if first == last else f"{first}-{last}")
            start = k
    shown = ", ".join(parts[:8])
    return shown + (f" and {len(parts) - 8} more runs" if len(parts) > 8 else "")


def _repeat_text(repeats: list[int]) -> str:
    return f"{len(repeats)} rows repeat earlier rows exactly (rows {_ranges(repeats)})"


def _robust_scale(error: np.ndarray) -> float:
    """1.4826 times the median absolute residual: the standard deviation of the inliers."""
    value = 1.4826 * float(np.median(np.abs(error)))
    return value if value > 0.0 else 1e-12


def _typical_sigma(noise: _Noise, x: np.ndarray, data: Samples) -> float:
    """The RMS standard deviation of one rod residual (metres): a whitened unit in metres."""
    if not noise.weighted:
        return 1.0
    c = covariances(sensitivities(noise.layout, x, data), *noise.levels)
    return float(np.sqrt(np.mean(np.diagonal(c, axis1=1, axis2=2))))


def _outliers(noise: _Noise, x: np.ndarray, data: Samples, basis: np.ndarray, chi2: Any) -> np.ndarray:
    """Samples whose whitened residuals stand out.

    Each sample's whitened residuals w_n are studentized by their own leverage,
    d_n^2 = w_n^T (I - H_nn)^-1 w_n with H_nn the sample's block of the hat matrix
    (a sample that pins parameters of its own has smaller residuals than the noise),
    and a sample is an outlier when d_n^2 exceeds the chi-square quantile with B
    degrees of freedom that noise passes once in 100 N data sets, in units of the
    typical d^2 (their median over the chi-square median): one chance in a hundred
    that a clean data set names any.
    """
    whitening = noise.whitening(x, data)
    error, jac = residuals_and_jacobian(noise.layout, x, data)
    w = _whiten(error, whitening)
    count, branches = w.shape
    j = _whiten(jac, whitening).reshape(count * branches, -1) @ basis
    q = np.linalg.qr(j)[0].reshape(count, branches, -1)
    free = np.eye(branches) - q @ np.swapaxes(q, 1, 2)
    values, vectors = np.linalg.eigh(free)
    # Directions that the sample's own parameters take nearly all of (1 - h below a
    # tenth) tell nothing about it: they are left out, with their degrees of freedom.
    usable = values >= 0.1
    projected = np.einsum("nbk,nb->nk", vectors, w)
    norms = np.sum(np.where(usable, projected**2 / np.maximum(values, 0.1), 0.0), axis=1)
    freedom = np.count_nonzero(usable, axis=1)
    judged = freedom > 0
    flagged = np.zeros(count, dtype=bool)
    if not judged.any():
        return flagged
    scale = float(np.median(norms[judged] / chi2.median(freedom[judged])))
    limit = chi2.isf(OUTLIER_FALSE_ALARM / count, np.maximum(freedom, 1))
    flagged[judged] = norms[judged] > limit[judged] * max(scale, 1e-300)
    return flagged


def _confirmed(noise: _Noise, x: np.ndarray, data: Samples, basis: np.ndarray, candidates: np.ndarray,
               chi2: Any) -> np.ndarray:
    """The candidates whose residuals stand out from a plain fit without them.

    Each candidate's whitened residuals w_n at the fit x without the candidates
    are predictions, of covariance s^2 (I + J_n (J^T J)^-1 J_n^T); the candidate is
    an outlier when w_n^T of its inverse times w_n exceeds the chi-square quantile
    (B degrees of freedom) that noise passes once in 100 N data sets.
    """
    whitening = noise.whitening(x, data)
    error, jac = residuals_and_jacobian(noise.layout, x, data)
    w = _whiten(error, whitening)
    count, branches = w.shape
    j = _whiten(jac, whitening) @ basis
    inliers = j[~candidates].reshape(-1, basis.shape[1])
    variance = _variance(w[~candidates].ravel(), basis.shape[1])
    inverse = np.linalg.pinv(inliers.T @ inliers, rcond=1e-14, hermitian=True)
    spread = variance * (np.eye(branches) + j[candidates] @ inverse @ np.swapaxes(j[candidates], 1, 2))
    norms = np.einsum("nb,nb->n", w[candidates], np.linalg.solve(spread, w[candidates][..., None])[..., 0])
    confirmed = np.zeros(count, dtype=bool)
    above_rounding = np.abs(error[candidates]).max(axis=1) > _ROUNDING * noise.layout.nominal_rod
    confirmed[np.flatnonzero(candidates)] = (norms > chi2.isf(OUTLIER_FALSE_ALARM / count, branches)) & above_rounding
    return confirmed


def _variance(e: np.ndarray, parameters: int) -> float:
    return float(np.sum(e * e) / max(len(e) - parameters, 1))


def _loss_derivatives(loss: str, z: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """rho'(z) and rho''(z) of scipy's losses, z the squared scaled residual."""
    if loss == "soft_l1":
        return 1.0 / np.sqrt(1.0 + z), -0.5 / (1.0 + z) ** 1.5
    if loss == "huber":
        big = z > 1.0
        safe = np.where(big, z, 1.0)
        return np.where(big, 1.0 / np.sqrt(safe), 1.0), np.where(big, -0.5 / safe**1.5, 0.0)
    if loss == "cauchy":
        return 1.0 / (1.0 + z), -1.0 / (1.0 + z) ** 2
    if loss == "arctan":
        return 1.0 / (1.0 + z * z), -2.0 * z / (1.0 + z * z) ** 2
    return np.ones_like(z), np.zeros_like(z)


def _covariance(loss: str, e: np.ndarray, j: np.ndarray, f_scale: float) -> np.ndarray:
    """The covariance of the estimate (in the columns of j) from the whitened residuals e.

    Linear: the residuals' variance per degree of freedom times (J^T J)^-1. A robust
    loss: the sandwich A^-1 B A^-1 of its estimating equation sum psi(e) J = 0, with
    psi(e) = rho'(z) e, A = J^T diag(psi'(e)) J and B = J^T diag(psi(e)^2) J, B scaled
    by m / (m - p) for the degrees of freedom the fit takes.
    """
    m, p = j.shape
    if loss == "linear":
        information = j.T @ j
        inverse = np.linalg.pinv(information, rcond=1e-14, hermitian=True)
        scaled: np.ndarray = inverse * _variance(e, p)
        return scaled
    z = (e / f_scale) ** 2
    first, second = _loss_derivatives(loss, z)
    psi = first * e
    slope = np.maximum(first + 2.0 * z * second, 0.0)  # a redescending loss may turn negative
    bread = np.linalg.pinv(j.T @ (slope[:, None] * j), rcond=1e-14, hermitian=True)
    meat = j.T @ ((psi * psi)[:, None] * j) * (m / max(m - p, 1))
    sandwich: np.ndarray = bread @ meat @ bread
    return sandwich


def _standard_errors(covariance: np.ndarray, held: np.ndarray, layout: Layout) -> list[float | None]:
    """Each parameter's standard error, or None where the held directions move it more.

    A held direction keeps the drawing's value, which is off by up to a tolerance
    unit (1 mm, 1 degree); a parameter that such a move shifts by more than its
    standard error from the fit has an error the data cannot tell.
    """
    tolerances = layout.tolerances()
    se = np.sqrt(np.maximum(np.diag(covariance), 0.0))
    moved = np.zeros(layout.size)
    if held.shape[1]:
        q, r = np.linalg.qr(held / tolerances[:, None])
        q = q[:, np.abs(np.diag(r)) > 1e-12 * np.abs(np.diag(r)).max()]
        moved = np.linalg.norm(q, axis=1) * tolerances
    return [float(s) if s > 0.0 and math.isfinite(s) and m <= s else None for s, m in zip(se, moved)]


def _far_moves(layout: Layout, x: np.ndarray) -> list[str]:
    """Motors or anchors moved by far more than a build's errors: an offset frame, most likely."""
    per_branch = x[: layout.shared].reshape(layout.branch_count, BRANCH_PARAMETERS)
    far = []
    for i, row in enumerate(per_branch):
        moves = {"motor": np.linalg.norm(row[0:3]), "anchor": np.linalg.norm(row[6:9])}
        tilt = float(np.linalg.norm(row[3:5]))
        for what, distance in moves.items():
            if distance > FAR_MOVE:
                far.append(f"branch {i}'s {what} moved {distance * 1e3:.1f} mm")
        if tilt > FAR_TURN:
            far.append(f"branch {i}'s motor axis tilted {math.degrees(tilt):.1f} deg")
    if not far:
        return []
    return [
        f"{'; '.join(far)}: far more than a build's errors (over {FAR_MOVE * 1e3:g} mm or "
        f"{math.degrees(FAR_TURN):g} deg). Were the poses measured in a frame other than the world? "
        "Then fit the tracker frame (--fit-tracker-frame)"
    ]


def _misfit(noise: _Noise, layout: Layout, x: np.ndarray, data: Samples, j: np.ndarray, e: np.ndarray,
            variance: float, chi2: Any) -> tuple[tuple[float, ...], tuple[str, ...]]:
    """Per branch, the rod residuals' RMS over what the noise explains, and what the model misses.

    The likely cause tested: arms or rods that differ from branch to branch, which
    one shared arm and one shared rod length cannot represent. The fit's whitened
    residuals are regressed on per-branch lengths beyond the fit's own parameters;
    an F test on the reduction says whether they explain more than noise would.
    """
    if not noise.weighted:
        return (), ()
    error = residuals(layout, x, data)
    count, branches = error.shape
    c = covariances(sensitivities(layout, x, data), *noise.levels)
    expected = np.diagonal(c, axis1=1, axis2=2).sum(axis=0) * (1.0 - j.shape[1] / max(len(e), 1))
    ratios = np.sqrt(np.sum(error * error, axis=0) / np.maximum(expected, 1e-300))
    limit = math.sqrt(float(chi2.isf(MISFIT_FALSE_ALARM, count)) / count)
    if math.sqrt(np.mean(error * error)) <= _ROUNDING * layout.nominal_rod:
        return tuple(float(r) for r in ratios), ()
    lines = []
    over = [i for i in range(branches) if ratios[i] > limit]
    if not noise.free.all() and math.sqrt(variance) > limit:
        lines.append(f"The residuals are {math.sqrt(variance):.2f}x what the given noise levels explain")
    if over:
        lines.append("Branches whose residuals exceed what the noise explains: "
                     + ", ".join(f"{i} ({ratios[i]:.2f}x)" for i in over))

    # Per-branch arm and rod lengths, as extra columns of the whitened problem.
    _, jac = residuals_and_jacobian(layout, x, data)
    extra = np.zeros((count, branches, 2 * branches))
    for i in range(branches):
        extra[:, i, i] = jac[:, i, layout.shared]
        extra[:, i, branches + i] = jac[:, i, layout.shared + 1]
    white = noise.whitening(x, data)
    extra_w = _whiten(extra, white).reshape(len(e), -1)
    projected = extra_w - j @ np.linalg.lstsq(j, extra_w, rcond=None)[0]
    u, singular, _ = np.linalg.svd(projected, full_matrices=False)
    k = int(np.count_nonzero(singular > 1e-8 * max(singular[0], 1e-300)))
    remaining = len(e) - j.shape[1] - k
    if k and remaining > 0:
        explained = float(np.sum((u[:, :k].T @ e) ** 2))
        rest = max(float(e @ e) - explained, 1e-300)
        statistic = (explained / k) / (rest / remaining)
        if _f_survival(statistic, k, remaining) < MISFIT_FALSE_ALARM:
            both = np.concatenate([j, extra_w], axis=1)
            steps = np.linalg.lstsq(both, -e, rcond=None)[0][j.shape[1]:]
            arms, rods = steps[:branches] - steps[:branches].mean(), steps[branches:] - steps[branches:].mean()
            lines.append(
                "Likely cause: the branches' arm or rod lengths differ, which one shared arm length and one "
                "shared rod length cannot represent; the residuals suggest, per branch in mm, arm "
                + " ".join(f"{a * 1e3:+.3f}" for a in arms) + " and rod " + " ".join(f"{r * 1e3:+.3f}" for r in rods)
            )
    if (over or (not noise.free.all() and math.sqrt(variance) > limit)) and not any(
        line.startswith("Likely cause") for line in lines
    ):
        lines.append("Likely cause: something the model does not describe (joint play, compliance, "
                     "encoder errors; see the guide), or noise levels stated too low")
    return tuple(float(r) for r in ratios), tuple(lines)


def _describe(blind: np.ndarray, layout: Layout) -> tuple[str, ...]:
    """Name each blind direction by its main moves, in millimetres and degrees.

    The directions are rearranged so that each has one parameter of its own that no
    other one moves (a pivoted QR picks them); each is then written with its largest
    move as 1, by its terms of at least a tenth of that (six at most).
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
        main = [j for j in moved if abs(direction[j]) >= 0.1][:6]
        text = " & ".join(f"{layout.names[j]} {direction[j]:+.3g} {DISPLAY[layout.units[j]][1]}" for j in main)
        if len(moved) > len(main):
            text += f" (& {len(moved) - len(main)} smaller terms)"
        described.append((min(main), text))
    return tuple(text for _, text in sorted(described))
