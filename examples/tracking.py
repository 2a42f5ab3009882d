"""Forward kinematics used the way it is built to be used: one call per control
tick, each refining the estimate the previous call left in the object.

`track` follows a moving platform from its measured motor angles; `converge`
keeps calling with fixed angles until the estimate stops moving. Both report
the error against the true pose in metres and radians."""

from __future__ import annotations

from typing import NamedTuple

from pose_error import Matrix, position_error, rotation_error


class Tick(NamedTuple):
    time_s: float
    angles: list[float]  # the measured motor angles (here: inverse kinematics of the target)
    estimate: Matrix  # what forward kinematics returned at this tick
    position_error: float
    rotation_error: float


def track(torso, ticks: list[tuple[float, Matrix]], home: Matrix) -> list[Tick]:
    """Resets the estimate to `home`, then one inverse and one forward call per tick."""
    torso.reset_forward_kinematics(home)
    result = []
    for time_s, target in ticks:
        angles = torso.inverse_kinematics(target)
        estimate = torso.forward_kinematics(angles)
        result.append(Tick(time_s, angles, estimate,
                           position_error(estimate, target), rotation_error(estimate, target)))
    return result


def converge(torso, angles: list[float], start: Matrix, truth: Matrix, max_calls: int = 100) -> list[Tick]:
    """Resets to `start`, then calls forward kinematics with fixed angles until the
    returned pose stops changing (the rod errors are within the solver's 1e-6, or
    no step helps). One Tick per call; the last is the converged pose."""
    torso.reset_forward_kinematics(start)
    previous = start
    history = []
    for call in range(1, max_calls + 1):
        estimate = torso.forward_kinematics(angles)
        history.append(Tick(float(call), angles, estimate,
                            position_error(estimate, truth), rotation_error(estimate, truth)))
        if estimate == previous:
            history.pop()  # this call took no step: the previous one was the last that moved
            break
        previous = estimate
    return history
