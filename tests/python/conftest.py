"""Shared fixtures: the example torso, a unit-length mechanism whose angles are
known exactly, and the PanicException class (reachable only through a caught
instance, since the module does not export it)."""

from __future__ import annotations

import math
import sys

import pytest

import torso_geometry as ex
from tavrino_torso_kinematics import TavrinoTorsoKinematics

POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
SINGULAR = "called `Option::unwrap()` on a `None` value"
WRONG_BRANCH_COUNT = "Forward kinematics requires exactly 6 joint angles"
NAN6 = [math.nan] * 6


def translated(x: float, y: float, z: float) -> list[list[float]]:
    pose = ex.identity()
    pose[0][3], pose[1][3], pose[2][3] = x, y, z
    return pose


def unit_model(*solutions: float) -> TavrinoTorsoKinematics:
    """Arm and rod of length 1, every motor at the world origin, every anchor at
    the platform origin: the anchor in the motor frame is the target's translation."""
    model = TavrinoTorsoKinematics(1.0, 1.0)
    for s in solutions:
        model.add_branch((0.0, 0.0, 0.0), ex.identity(), s)
    return model


def poison(model: TavrinoTorsoKinematics) -> None:
    """Poisons the lock with an invalid yaw band, which fails while the lock is held."""
    with pytest.raises(BaseException) as caught:
        model.inverse_kinematics_safe(ex.identity(), 0.0, -1.0)
    assert type(caught.value).__name__ == "PanicException"


@pytest.fixture
def torso() -> TavrinoTorsoKinematics:
    return ex.make_example_torso()


@pytest.fixture(scope="module")
def panic_type() -> type[BaseException]:
    with pytest.raises(BaseException) as caught:
        TavrinoTorsoKinematics(1.0, 1.0).forward_kinematics([0.0] * 6)
    return type(caught.value)


@pytest.fixture
def fast_switching():
    """Threads take turns every 10 microseconds instead of every 5 milliseconds."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)
