"""Poses to measure for a calibration: reachable, well clear of singularities, informative.

Candidates are drawn around home, within the arm's length and 30 degrees. A
candidate is kept when every branch reaches it, and the points a third and two
thirds of the way from home, with at least half of home's transmission in every
branch (how squarely the rod pulls on the arm's tip) and half of home's platform
conditioning (how squarely the six rods together hold the platform). From the kept
ones the poses are chosen one at a time, each the one that adds most to the log
determinant of the information matrix of the calibration parameters (a greedy
D-optimal design), with parameters measured in their drawing tolerances (1 mm,
1 degree). The result is ordered as a short tour from home.
"""

from __future__ import annotations

import heapq
import math

import numpy as np
import numpy.typing as npt

from ..torso import Torso
from .model import (
    Layout,
    one_blas_thread,
    quaternion_from_matrix,
    residuals_and_jacobian,
    rotation_exp,
    samples,
)

_TURN = math.radians(30.0)
_CANDIDATES_PER_POSE = 10
_MIN_CANDIDATES = 400
_LAZY_BATCH = 32  # candidates brought up to date at once
_MAX_CANDIDATES = 3000  # beyond some hundred poses the design gains little from more choice
_MARGIN = 0.5  # of home's transmission and conditioning


def wrap_angle(angle: np.ndarray) -> np.ndarray:
    """Angles wrapped into [-pi, pi); NaN stays NaN."""
    return np.mod(np.asarray(angle) + math.pi, 2.0 * math.pi) - math.pi


def predicted_angles(torso: Torso, poses: np.ndarray) -> np.ndarray:
    """Inverse kinematics (N, 6) of the torso at poses (N, 4, 4); NaN where out of reach."""
    angles: npt.NDArray[np.float64] = torso.model().inverse_kinematics(np.ascontiguousarray(poses, dtype=float))
    return angles


def conditioning(torso: Torso, poses: np.ndarray, angles: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per pose: the smallest branch transmission and the platform's inverse condition (Model.conditioning)."""
    result = torso.model().conditioning(np.ascontiguousarray(poses, dtype=float), np.ascontiguousarray(angles))
    transmission: np.ndarray = result.transmission.min(axis=-1)
    return transmission, np.asarray(result.inverse_condition)


def calibration_poses(torso: Torso, count: int, seed: int = 0) -> np.ndarray:
    """`count` poses (count, 4, 4) to command and measure for a calibration.

    Deterministic for a given torso, count and seed. Raises ValueError when count
    is not positive or too few good poses are found around home.
    """
    if isinstance(count, bool) or not isinstance(count, int | np.integer) or count < 1:
        raise ValueError(f"count must be a positive integer, not {count!r}")
    with one_blas_thread():
        return _calibration_poses(torso, int(count), seed)


def _calibration_poses(torso: Torso, count: int, seed: int) -> np.ndarray:
    home = np.asarray(torso.home, dtype=float)
    home_angles = predicted_angles(torso, home[None])
    if np.isnan(home_angles).any():
        raise ValueError("the torso cannot reach its home pose")
    home_transmission, home_condition = conditioning(torso, home[None], home_angles)
    rng = np.random.default_rng(seed)
    wanted = min(max(_CANDIDATES_PER_POSE * count, _MIN_CANDIDATES), max(_MAX_CANDIDATES, count))
    reach = float(torso.motor_arm_length)
    kept: list[np.ndarray] = []
    kept_angles: list[np.ndarray] = []
    for _ in range(20):
        batch = 2 * wanted
        offsets = _ball(rng, batch) * reach
        turns = _ball(rng, batch) * _TURN
        good = np.ones(batch, dtype=bool)
        for fraction in (1.0 / 3.0, 2.0 / 3.0, 1.0):
            poses = _around(home, fraction * offsets, fraction * turns)
            angles = predicted_angles(torso, poses)
            reachable = ~np.isnan(angles).any(axis=1)
            transmission = np.zeros(batch)
            condition = np.zeros(batch)
            if reachable.any():
                transmission[reachable], condition[reachable] = conditioning(
                    torso, poses[reachable], angles[reachable]
                )
            good &= (transmission >= _MARGIN * home_transmission[0]) & (condition >= _MARGIN * home_condition[0])
        kept += list(poses[good])
        kept_angles += list(angles[good])
        if len(kept) >= wanted:
            break
    if len(kept) < count:
        raise ValueError(f"found only {len(kept)} good poses around home, fewer than the {count} asked for")
    candidates, angles = np.array(kept[:wanted]), np.array(kept_angles[:wanted])
    # Past the largest pool every candidate is taken: nothing is left to choose between.
    chosen = np.arange(count) if count >= len(candidates) else _d_optimal(torso, candidates, angles, count)
    chosen_poses = candidates[chosen]
    ordered: np.ndarray = chosen_poses[_tour(home, chosen_poses, reach)]
    return ordered


def _ball(rng: np.random.Generator, count: int) -> np.ndarray:
    """Points uniformly distributed in the unit ball."""
    direction = rng.normal(size=(count, 3))
    direction /= np.linalg.norm(direction, axis=1, keepdims=True)
    return direction * rng.uniform(size=(count, 1)) ** (1.0 / 3.0)


def _around(home: np.ndarray, offsets: np.ndarray, turns: np.ndarray) -> np.ndarray:
    poses = np.tile(home, (len(offsets), 1, 1))
    poses[:, :3, :3] = rotation_exp(turns) @ home[:3, :3]
    poses[:, :3, 3] = home[:3, 3] + offsets
    return poses


def _d_optimal(torso: Torso, poses: np.ndarray, angles: np.ndarray, count: int) -> np.ndarray:
    """Greedy D-optimal choice of `count` poses among the candidates.

    Candidate c adds log det(I + J_c M^-1 J_c^T) to the log determinant of the
    information matrix M. That gain only shrinks as M grows, so a gain computed
    earlier bounds the present one from above: the candidates wait in a heap under
    their last gain, and only the top one is brought up to date until it stays on
    top (lazy greedy, the same choices as recomputing every gain at every step).
    """
    layout = Layout(torso, False)
    _, jacobian = residuals_and_jacobian(layout, np.zeros(layout.size), samples(poses, angles))
    jacobian = jacobian * layout.tolerances()  # (C, B, P): residual per tolerance unit
    branches, size = jacobian.shape[1:]
    # A weak prior keeps the information matrix invertible before it has data.
    prior = 1e-6 * float(np.max(np.mean(np.sum(jacobian**2, axis=1), axis=0)))
    inverse = np.eye(size) / prior
    identity = np.eye(branches)
    first = np.linalg.slogdet(identity + np.einsum("cbp,cdp->cbd", jacobian, jacobian) / prior)[1]
    heap = [(-gain, c) for c, gain in enumerate(first.tolist())]
    heapq.heapify(heap)
    chosen: list[int] = []
    current = 0  # the number of choices the gains in the heap were computed after
    computed = np.zeros(len(first), dtype=int)
    while len(chosen) < count:
        top = [heapq.heappop(heap) for _ in range(min(_LAZY_BATCH, len(heap)))]
        if computed[top[0][1]] == current:
            c = top[0][1]
            chosen.append(c)
            # Woodbury: (M + J^T J)^-1 = M^-1 - Y^T (I + J M^-1 J^T)^-1 Y with Y = J M^-1.
            y = jacobian[c] @ inverse
            inverse -= y.T @ np.linalg.solve(identity + y @ jacobian[c].T, y)
            current += 1
            top = top[1:]
        else:  # bring the stale ones among the top few up to date together
            stale = np.array([c for _, c in top if computed[c] != current])
            projected = jacobian[stale] @ inverse
            gains = np.linalg.slogdet(identity + projected @ np.swapaxes(jacobian[stale], 1, 2))[1]
            computed[stale] = current
            fresh = dict(zip(stale.tolist(), gains.tolist()))
            top = [(-fresh[c], c) if c in fresh else (bound, c) for bound, c in top]
        for entry in top:
            heapq.heappush(heap, entry)
    return np.array(chosen)


def _tour(home: np.ndarray, poses: np.ndarray, length: float) -> np.ndarray:
    """A nearest-neighbour order through the poses, from home.

    The distance between two poses is their distance apart over `length` plus the
    angle between their orientations, 2 acos |q1 . q2| for unit quaternions: one dot
    product per pair, so that thousands of poses take a second, not a minute.
    """
    positions = poses[:, :3, 3] / length
    quaternions = quaternion_from_matrix(poses[:, :3, :3])
    index = np.arange(len(poses))
    order = np.empty(len(poses), dtype=np.intp)
    position, quaternion = home[:3, 3] / length, quaternion_from_matrix(home[:3, :3])
    for left in range(len(poses), 0, -1):
        offset = positions[:left] - position
        apart = np.sqrt(np.einsum("ij,ij->i", offset, offset))
        apart += 2.0 * np.arccos(np.minimum(np.abs(quaternions[:left] @ quaternion), 1.0))
        k = int(np.argmin(apart))
        order[len(poses) - left] = index[k]
        position, quaternion = positions[k].copy(), quaternions[k].copy()
        # The chosen one leaves: the last of those left takes its place.
        last = left - 1
        positions[k], quaternions[k], index[k] = positions[last], quaternions[last], index[last]
    return order
