"""The result types of Model's solvers: named tuples of numpy arrays.

Each field has the broadcast batch shape of the call's arguments in front of
the shape given here; a single sample gives arrays of that shape alone (0-d for
a per-sample scalar).
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

__all__ = ["Conditioning", "ForwardKinematicsResult", "Inertia", "VelocityJacobians"]


class ForwardKinematicsResult(NamedTuple):
    """What Model.solve_forward_kinematics found for each sample."""

    poses: NDArray[np.float64]
    """(..., 4, 4) the platform poses in the world, rigid."""
    status: NDArray[np.str_]
    """(...) "converged", "iteration_limit", "assembly_mismatch", "singular",
    "not_finite" or "invalid_model". "converged": the angles hold the pose, in
    the model's assembly modes; they may hold other, distant poses too
    (Model.assemblies lists them)."""
    iterations: NDArray[np.int64]
    """(...) Newton iterations taken."""
    rod_error: NDArray[np.float64]
    """(...) the largest rod length error at the pose, in the model's length unit."""


class VelocityJacobians(NamedTuple):
    """The velocity kinematics at a pose: platform @ twist == joint * joint_velocities."""

    platform: NDArray[np.float64]
    """(..., 6, 6) from the platform twist (v, w), world coordinates, to the rods."""
    joint: NDArray[np.float64]
    """(..., 6) from each motor's angular velocity to its rod."""


class Conditioning(NamedTuple):
    """How well the torso transmits motion at a pose."""

    transmission: NDArray[np.float64]
    """(..., 6) per branch, 1 ideal, 0 at the edge of its reach."""
    inverse_condition: NDArray[np.float64]
    """(...) 1 / condition number of the platform Jacobian, 0 at a platform singularity."""


class Inertia(NamedTuple):
    """The mass properties that Model.inverse_dynamics uses (Model.set_inertia)."""

    mass: float
    """The platform with its payload, one rigid body, in kg."""
    centre_of_mass: NDArray[np.float64]
    """(3,) its centre of mass, in platform coordinates."""
    inertia: NDArray[np.float64]
    """(3, 3) its inertia tensor about the centre of mass, platform axes, in kg m^2."""
    arm_inertia: float
    """Each arm with its motor's rotor, about the motor axis, in kg m^2."""
