"""Reference counts and memory: every reference the module takes is given back,
on success and on every error path, and nothing grows over many calls."""

from __future__ import annotations

import math
import os
import sys

import pytest

from conftest import NAN6, poison
from torso_geometry import make_example_torso, make_pose

POSE = make_pose((0.003, -0.002, 0.001), 0.1, 0.05, -0.1)


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def watched(*values):
    """The values with, for nested lists, every row and item inside them."""
    out = []
    for value in values:
        out.append(value)
        if isinstance(value, list):
            out.extend(watched(*value))
    return out


def assert_references_kept(calls, *values, repeat=500):
    objects = watched(*values)
    before = counts(objects)
    for _ in range(repeat):
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: BLE001 - error paths are exercised on purpose
                pass
    assert counts(objects) == before


def test_successful_calls_keep_reference_counts(torso):
    yaw = float("0.125")
    angles = torso.inverse_kinematics(POSE)
    point = [0.01, 0.02, 0.08]
    extra = make_example_torso()
    assert_references_kept(
        [
            lambda: torso.inverse_kinematics(POSE, yaw),
            lambda: torso.inverse_kinematics_safe(POSE, body_yaw=yaw, max_relative_yaw=yaw, max_body_yaw=yaw),
            lambda: torso.reset_forward_kinematics(POSE),
            lambda: torso.forward_kinematics(angles, body_yaw=yaw),
            lambda: extra.add_branch(point, POSE, yaw),
        ],
        torso, extra, POSE, angles, point, yaw,
    )


def test_failing_calls_keep_reference_counts(torso):
    bad_item = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, "x"], [0.0, 0.0, 0.0, 1.0]]
    short_row = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0]]
    yaw = float("0.5")
    poisoned = make_example_torso()
    poison(poisoned)
    assert_references_kept(
        [
            lambda: torso.inverse_kinematics(bad_item, yaw),
            lambda: torso.inverse_kinematics(short_row + short_row),
            lambda: torso.inverse_kinematics(POSE, yaw=yaw),
            lambda: torso.inverse_kinematics(POSE, yaw, t_world_platform=POSE),
            lambda: torso.forward_kinematics(NAN6, "x"),
            lambda: poisoned.inverse_kinematics(POSE, yaw),
            lambda: poisoned.forward_kinematics(NAN6, body_yaw=yaw),
        ],
        torso, poisoned, bad_item, short_row, POSE, NAN6, yaw,
    )


def test_results_are_owned_only_by_the_caller(torso):
    angles = torso.inverse_kinematics(POSE)
    assert sys.getrefcount(angles) == 2
    assert [sys.getrefcount(angles[i]) for i in range(6)] == [2] * 6
    pose = torso.forward_kinematics(angles)
    assert sys.getrefcount(pose) == 2
    assert [sys.getrefcount(pose[r]) for r in range(4)] == [2] * 4
    assert [sys.getrefcount(pose[r][c]) for r in range(4) for c in range(4)] == [2] * 16


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def address_sanitizer_loaded() -> bool:
    if not os.path.exists("/proc/self/maps"):
        return False
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
@pytest.mark.skipif(address_sanitizer_loaded(),
                    reason="AddressSanitizer holds freed memory in quarantine, so the resident size "
                           "grows without a leak; the reference-count tests still run")
def test_memory_stays_flat_over_many_calls(torso):
    angles = torso.inverse_kinematics(POSE)
    start = make_pose((0.005, 0.0, 0.0))

    def mixed_calls(n):
        for _ in range(n):
            torso.inverse_kinematics_safe(POSE, 0.1, 0.2, 0.3)
            torso.reset_forward_kinematics(start)
            torso.forward_kinematics(angles, 0.0)
            try:
                torso.inverse_kinematics(POSE, math)
            except TypeError:
                pass

    mixed_calls(10_000)
    before = resident_bytes()
    mixed_calls(100_000)
    assert resident_bytes() - before < 2 * 1024 * 1024
