"""What a calibration found (`Calibration`, with its `Parameter` values and the
`Errors` before and after), and its report: as text, as plain data for JSON,
and as a picture.

Lengths are shown in millimetres (rod residuals in micrometres), angles in degrees;
the plain data stay in metres and radians.
"""

from __future__ import annotations

import dataclasses
import math
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

from ..torso import Torso
from .model import rotation_log

DISPLAY = {"m": (1e3, "mm"), "rad": (180.0 / math.pi, "deg")}
MICROMETRE = 1e6
DEGREE = 180.0 / math.pi


class Errors(NamedTuple):
    """How well a torso explains a set of measurements.

    rod_residuals (N, B): the distance from each arm tip to its anchor less the rod
    length, metres. angle_errors (N, B): inverse kinematics of the measured pose
    minus the measured angle, wrapped into [-pi, pi), radians; NaN where the torso
    cannot reach the measured pose. The RMS figures are over all samples (angles:
    over the reachable ones); `unreachable` counts the samples with a NaN angle.
    """

    rod_residuals: np.ndarray
    angle_errors: np.ndarray
    rod_rms: float
    angle_rms: float
    unreachable: int


class Parameter(NamedTuple):
    """One identified parameter: nominal value, estimate and standard error, in `unit`.

    Motor-frame turns (axis_tilt, encoder_zero) and the tracker frame are increments
    on the nominal geometry, so their nominal value is zero. standard_error is None
    for a parameter that a held direction moves (not identified): its estimate keeps
    part of the drawing's value, whose error the data cannot tell.
    """

    name: str
    unit: str
    nominal: float
    estimate: float
    standard_error: float | None

    @property
    def change(self) -> float:
        return self.estimate - self.nominal


class NoiseLevels(NamedTuple):
    """Standard deviations of the measurement errors: the tracker's position (metres)
    and turn (radians), each per axis, and each encoder's angle (radians).
    `estimated` names those that were estimated from the data rather than given."""

    tracker_position: float
    tracker_angle: float
    encoder: float
    estimated: tuple[str, ...] = ()


@dataclasses.dataclass(frozen=True)
class Calibration:
    """What `calibrate` found.

    torso: the calibrated torso. parameters: every parameter with its standard error
    (None where not identified). unidentifiable: the parameter combinations held at
    their nominal values, each written as the direction that the data cannot see (or
    see too weakly), by its main terms. before and after: the errors of the nominal
    and the calibrated torso on all the measurements; after_inliers: on those left
    after the outliers (None without outliers). tracker_frame: world from tracker
    (4x4) when fitted.

    noise: the noise levels that weighed the residuals (None for an unweighted fit);
    noise_ratio: the weighted residuals' RMS per degree of freedom, 1 when the noise
    levels explain them. outliers: 0-based indices of the samples named outliers;
    outliers_kept: whether the fit kept them all the same.
    branch_misfit: per branch, the rod residuals' RMS over what the noise explains.
    misfit: what the residuals say the model cannot explain, and its likely cause.
    warnings: anything else to look at.
    """

    torso: Torso
    nominal: Torso
    parameters: tuple[Parameter, ...]
    unidentifiable: tuple[str, ...]
    before: Errors
    after: Errors
    tracker_frame: np.ndarray | None
    iterations: int
    evaluations: int
    loss: str
    f_scale: float
    message: str
    noise: NoiseLevels | None = None
    noise_ratio: float = math.nan
    degrees_of_freedom: int = 0
    outliers: tuple[int, ...] = ()
    outliers_kept: bool = False
    after_inliers: Errors | None = None
    branch_misfit: tuple[float, ...] = ()
    misfit: tuple[str, ...] = ()
    warnings: tuple[str, ...] = ()

    def moved(self) -> tuple[Parameter, ...]:
        """The parameters whose change exceeds their standard error, and those not identified."""
        return tuple(p for p in self.parameters if p.standard_error is None or abs(p.change) > p.standard_error)

    def report(self, validation: Errors | None = None) -> str:
        """The report as text; `validation`, the errors on held-out samples, adds a column."""
        return report(self, validation)

    def as_dict(self) -> dict[str, Any]:
        """Everything as plain data (metres, radians), for JSON."""
        return as_dict(self)

    def draw(self, path: str | Path, validation: Errors | None = None) -> None:
        """Draw the residuals per branch, before and after, into a PNG (needs matplotlib)."""
        draw_residuals(self, path, validation)


def error_rows(errors: dict[str, Errors]) -> list[str]:
    """The error figures side by side, one column per set of errors."""
    heads = "".join(f"{name:>16}" for name in errors)
    rows = [f"  {'':26}{heads}"]
    rows.append(f"  {'rod residual RMS (um)':26}" + "".join(f"{e.rod_rms * MICROMETRE:16.2f}" for e in errors.values()))
    rows.append(f"  {'motor angle RMS (deg)':26}" + "".join(f"{e.angle_rms * DEGREE:16.4f}" for e in errors.values()))
    rows.append(f"  {'unreachable samples':26}" + "".join(f"{e.unreachable:16d}" for e in errors.values()))
    return rows


def noise_text(calibration: Calibration) -> str:
    """The noise levels that weighed the fit, and how they were found."""
    c = calibration
    if c.noise is None:
        return "Unweighted: every rod residual weighs alike"
    n = c.noise
    how = "given"
    if n.estimated:
        how = ("estimated from the residuals by restricted maximum likelihood" if len(n.estimated) == 3 else
               f"{', '.join(name.replace('_', ' ') for name in n.estimated)} estimated from the residuals "
               "by restricted maximum likelihood, the rest given")
    return (f"Noise levels ({how}): tracker {n.tracker_position * MICROMETRE:.2f} um and "
            f"{n.tracker_angle * DEGREE:.4f} deg per axis, encoders {n.encoder * DEGREE:.4f} deg; "
            f"the weighted residuals are {c.noise_ratio:.2f}x what they explain")


def report(calibration: Calibration, validation: Errors | None = None) -> str:
    """The report: the errors before and after, the noise, outliers and misfit, the
    parameters that moved by more than their standard error, the directions held at
    nominal and the tracker frame."""
    c = calibration
    samples = len(c.before.rod_residuals)
    lines = [
        f"Calibration from {samples} samples: {len(c.parameters)} parameters, loss {c.loss}"
        + (f" (scale {c.f_scale * MICROMETRE:.1f} um)" if c.loss != "linear" else "")
        + f", {c.iterations} iterations ({c.message.rstrip('.')})",
        noise_text(c),
        "",
        "Errors on the measurements:",
    ]
    errors = {"before": c.before, "after": c.after}
    if c.after_inliers is not None:
        errors["after, inliers"] = c.after_inliers
    if validation is not None:
        errors["held-out, after"] = validation
    lines += error_rows(errors)
    if c.outliers:
        rows = ", ".join(str(i + 1) for i in c.outliers)
        one = len(c.outliers) == 1
        lines += ["", f"Outliers: {len(c.outliers)} sample{'' if one else 's'} (data row{'' if one else 's'} {rows}) "
                      f"stand{'s' if one else ''} out from the noise (whitened residuals beyond the chi-square limit)"
                      + ("" if c.outliers_kept else f"; the fit leaves {'it' if one else 'them'} out")]
    if c.branch_misfit:
        lines += ["", "Rod residuals per branch over what the noise explains: "
                  + "  ".join(f"{i}: {r:.2f}" for i, r in enumerate(c.branch_misfit))]
        lines += [f"  {text}" for text in c.misfit]
    moved = c.moved()
    lines += ["", f"Parameters that moved by more than their standard error: {len(moved)} of {len(c.parameters)}"]
    if moved:
        lines.append(f"  {'parameter':34}{'nominal':>12}{'estimate':>12}{'change':>11}{'std error':>15}")
        for p in moved:
            scale, unit = DISPLAY[p.unit]
            se = "not identified" if p.standard_error is None else f"{p.standard_error * scale:.4f}"
            lines.append(
                f"  {p.name + ' (' + unit + ')':34}{p.nominal * scale:12.4f}{p.estimate * scale:12.4f}"
                f"{p.change * scale:+11.4f}{se:>15}"
            )
    if c.unidentifiable:
        lines += ["", "Held at nominal: the data cannot tell these moves apart from no move:"]
        lines += [f"  {text}" for text in c.unidentifiable]
    if c.tracker_frame is not None:
        t = c.tracker_frame[:3, 3] * 1e3
        r = rotation_log(c.tracker_frame[:3, :3]) * DEGREE
        lines += [
            "",
            f"Tracker frame in the world: translation ({t[0]:+.3f}, {t[1]:+.3f}, {t[2]:+.3f}) mm, "
            f"rotation vector ({r[0]:+.4f}, {r[1]:+.4f}, {r[2]:+.4f}) deg",
        ]
    if c.warnings:
        lines += ["", "Warnings:"] + [f"  {text}" for text in c.warnings]
    return "\n".join(lines)


def errors_dict(errors: Errors) -> dict[str, Any]:
    return {
        "rod_rms": None if math.isnan(errors.rod_rms) else errors.rod_rms,
        "angle_rms": None if math.isnan(errors.angle_rms) else errors.angle_rms,
        "unreachable": errors.unreachable,
    }


def as_dict(calibration: Calibration) -> dict[str, Any]:
    """Plain data (metres, radians) for JSON; docs/calibrating-a-torso.md describes every field."""
    c = calibration
    return {
        "samples": len(c.before.rod_residuals),
        "loss": c.loss,
        "f_scale": c.f_scale,
        "iterations": c.iterations,
        "evaluations": c.evaluations,
        "message": c.message,
        "degrees_of_freedom": c.degrees_of_freedom,
        "noise": None if c.noise is None else {
            "tracker_position": c.noise.tracker_position,
            "tracker_angle": c.noise.tracker_angle,
            "encoder": c.noise.encoder,
            "estimated": list(c.noise.estimated),
        },
        "noise_ratio": c.noise_ratio,
        "before": errors_dict(c.before),
        "after": errors_dict(c.after),
        "after_inliers": None if c.after_inliers is None else errors_dict(c.after_inliers),
        "outliers": list(c.outliers),
        "outliers_kept": c.outliers_kept,
        "branch_misfit": list(c.branch_misfit),
        "misfit": list(c.misfit),
        "parameters": [
            {
                "name": p.name,
                "unit": p.unit,
                "nominal": p.nominal,
                "estimate": p.estimate,
                "standard_error": p.standard_error,
            }
            for p in c.parameters
        ],
        "unidentifiable": list(c.unidentifiable),
        "tracker_frame": None if c.tracker_frame is None else c.tracker_frame.tolist(),
        "warnings": list(c.warnings),
    }


def draw_residuals(calibration: Calibration, path: str | Path, validation: Errors | None = None) -> None:
    """Per branch, the size of the rod residuals and of the motor-angle errors before
    and after calibration (box plots on a logarithmic scale), into a PNG."""
    from ..plot import figure, save

    sets = [("before", calibration.before, "#bbbbbb"), ("after", calibration.after, "tab:green")]
    if validation is not None:
        sets.append(("held-out, after", validation, "tab:blue"))
    fig = figure(figsize=(10.0, 4.2), layout="constrained")
    axes = fig.subplots(1, 2)
    branches = calibration.before.rod_residuals.shape[1]
    width = 0.8 / len(sets)
    panels = (
        (axes[0], "rod_residuals", MICROMETRE, "|rod length error| (um)"),
        (axes[1], "angle_errors", DEGREE, "|motor angle error| (deg)"),
    )
    outliers = np.array(calibration.outliers, dtype=int)
    for ax, field, scale, label in panels:
        for k, (name, errors, colour) in enumerate(sets):
            values = np.abs(getattr(errors, field)) * scale
            columns = [v[np.isfinite(v) & (v > 0.0)] for v in values.T]
            positions = np.arange(branches) + (k - (len(sets) - 1) / 2) * width
            box = ax.boxplot(
                columns, positions=positions, widths=width * 0.85, patch_artist=True, whis=(5.0, 95.0),
                showfliers=True, flierprops={"marker": ".", "markersize": 3, "markeredgecolor": colour},
                medianprops={"color": "black"}, manage_ticks=False,
            )
            for patch in box["boxes"]:
                patch.set_facecolor(colour)
            if name == "after" and len(outliers):
                # The samples named outliers, each branch's value of them marked.
                shown = values[outliers]
                ax.plot(np.broadcast_to(positions, shown.shape).ravel(), shown.ravel(), "x", color="tab:red",
                        markersize=5, label="outliers, after" if ax is axes[0] else None)
            if ax is axes[0]:  # one legend entry per set, for the figure's legend
                ax.plot([], [], "s", color=colour, label=name)
        ax.set_yscale("log")
        ax.set_xticks(range(branches), [str(i) for i in range(branches)])
        ax.set_xlabel("branch")
        ax.set_ylabel(label)
        ax.grid(True, axis="y", which="major", alpha=0.3)
    inliers = calibration.after_inliers
    fig.suptitle(
        f"Residuals per branch (boxes: quartiles, whiskers: 5 to 95 %, dots beyond)\nRMS before and after: "
        f"rod {calibration.before.rod_rms * MICROMETRE:.1f} and {calibration.after.rod_rms * MICROMETRE:.1f} um, "
        f"angle {calibration.before.angle_rms * DEGREE:.3f} and {calibration.after.angle_rms * DEGREE:.4f} deg"
        + ("" if inliers is None else
           f"; without the {len(outliers)} outliers (red): rod {inliers.rod_rms * MICROMETRE:.1f} um, "
           f"angle {inliers.angle_rms * DEGREE:.4f} deg"),
        fontsize="medium",
    )
    fig.legend(loc="outside lower center", ncols=len(sets), fontsize="small")
    save(fig, path, dpi=110)
