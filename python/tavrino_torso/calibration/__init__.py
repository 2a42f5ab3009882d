"""Calibration: identify a built torso's geometry from measured poses and motor angles.

A built torso is never its drawing: parts are off by a millimetre, motor axes by a
degree, and every encoder has its own zero. Command the torso to a few dozen poses
(`calibration_poses`), measure each platform pose with a tracker and read the six
encoder angles, then `calibrate` finds the geometry that explains the measurements:
the torso whose rods fit between the arm tips and the anchors in every sample.
`validate` gives the same error figures for held-out samples.

    from tavrino_torso import Torso
    from tavrino_torso.calibration import calibrate, read_measurements

    result = calibrate(Torso.example(), read_measurements("measured.csv"))
    print(result.report())
    result.torso.to_toml("calibrated.toml")

scipy is needed by `calibrate` only: pip install 'tavrino_torso_kinematics[calibrate]'.
The model, its parameters and its gauge are described in calibration/model.py and in
docs/calibrating-a-torso.md.

The rooms, from the bottom: `model` (the parameters and the rod residuals),
`measurements` (the samples and their CSV file), `design` (the poses to measure),
`report` (what a calibration found, as text, data and a picture) and `solve`.
"""

from .design import calibration_poses
from .measurements import MeasurementError, Measurements, read_measurements, write_measurements
from .report import Calibration, Errors, NoiseLevels, Parameter
from .solve import IDENTIFIABLE_RCOND, LOSSES, calibrate, validate

__all__ = [
    "IDENTIFIABLE_RCOND",
    "LOSSES",
    "Calibration",
    "Errors",
    "MeasurementError",
    "Measurements",
    "NoiseLevels",
    "Parameter",
    "calibrate",
    "calibration_poses",
    "read_measurements",
    "validate",
    "write_measurements",
]
