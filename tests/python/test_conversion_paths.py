"""Exact lists and tuples of exact floats are read directly; every other
sequence goes the generic way. The same inputs through both must give the same
values bit for bit, the same errors with the same messages, and leave every
reference count as it was."""

from __future__ import annotations

import math
import random
import struct
import sys

import numpy as np
import pytest

import example_torso as ex
from tavrino_torso_kinematics import TavrinoTorsoKinematics


class ListSubclass(list):
    pass


class TupleSubclass(tuple):
    pass


class FloatSubclass(float):
    pass


def as_exact_lists(rows):
    return [list(row) for row in rows]


def as_exact_tuples(rows):
    return tuple(tuple(row) for row in rows)


def as_list_subclasses(rows):
    return ListSubclass(ListSubclass(row) for row in rows)


def as_tuple_subclasses(rows):
    return TupleSubclass(TupleSubclass(row) for row in rows)


def as_mixed(rows):
    """Exact outer list, one row a subclass: the whole pose goes the generic way."""
    out = [list(row) for row in rows]
    out[2] = ListSubclass(out[2])
    return out


def with_float_subclass(rows):
    """Exact containers, one item a float subclass: the generic way again."""
    out = [list(row) for row in rows]
    out[3][1] = FloatSubclass(out[3][1])
    return out


FAST = [as_exact_lists, as_exact_tuples]
GENERIC = [as_list_subclasses, as_tuple_subclasses, as_mixed, with_float_subclass]


def bits(values):
    return [struct.pack("<d", v) for v in values]


def random_target(rng):
    turn = [rng.uniform(-0.2, 0.2) for _ in range(3)]
    shift = tuple(rng.uniform(-0.008, 0.008) for _ in range(3))
    return [[float(v) for v in row] for row in ex.make_pose(shift, *turn)]


def test_poses_give_the_same_angles_on_both_paths():
    torso = ex.make_example_torso()
    rng = random.Random(5)
    for _ in range(100):
        target = random_target(rng)
        expected = bits(torso.inverse_kinematics(np.array(target)))
        for make in FAST + GENERIC:
            assert bits(torso.inverse_kinematics(make(target))) == expected, make.__name__
            assert bits(torso.inverse_kinematics(make(target), 0.25)) == bits(
                torso.inverse_kinematics(np.array(target), 0.25)
            )


def special_pose(rng):
    """Signed zeros, infinities, NaNs and extremes everywhere but where they
    could make the determinant exactly zero: the 3x3 block is triangular with a
    plain diagonal, the bottom row is (+-0, +-0, +-0, 1)."""
    specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -1.5, 1e308]
    pose = [[rng.choice(specials) for _ in range(4)] for _ in range(4)]
    for r in range(3):
        pose[r][r] = rng.choice([1.0, -1.5, 2.0, -0.75])
        for c in range(r):
            pose[r][c] = rng.choice([0.0, -0.0])
    pose[3] = [rng.choice([0.0, -0.0]) for _ in range(3)] + [1.0]
    return pose


def test_special_values_are_stored_unchanged_on_both_paths():
    torso = ex.make_example_torso()
    rng = random.Random(7)
    for _ in range(50):
        pose = special_pose(rng)
        for make in FAST + GENERIC:
            torso.reset_forward_kinematics(make(pose))
            stored = torso.forward_kinematics([math.nan] * 6)  # no step: the estimate as stored
            assert [bits(row) for row in stored] == [bits(row) for row in pose], make.__name__


def test_short_sequences_give_the_same_values_on_both_paths():
    torso = ex.make_example_torso()
    angles = torso.inverse_kinematics(ex.identity())
    start = ex.make_pose((0.002, 0.0, -0.001), 0.03, 0.0, -0.02)
    steps = []
    for make in (list, tuple, ListSubclass, TupleSubclass, np.array):
        torso.reset_forward_kinematics(start)
        steps.append(torso.forward_kinematics(make(angles)))
    assert all(step == steps[0] for step in steps)
    solved = []
    for make in (list, tuple, ListSubclass, lambda v: [v[0], FloatSubclass(v[1]), v[2]]):
        model = TavrinoTorsoKinematics(1.0, 1.0)
        model.add_branch(make([0.25, -0.5, 0.0]), ex.identity(), 1.0)
        solved.append(bits(model.inverse_kinematics(ex.make_pose((1.0, 0.5, 0.25), 0.0, 0.0, 0.0))))
    assert all(s == solved[0] for s in solved)


def message_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), str(caught.value)


@pytest.mark.parametrize(
    "broken",
    [
        lambda rows: rows[:3],                                   # three rows
        lambda rows: rows + [rows[0]],                           # five rows
        lambda rows: [rows[0], rows[1], rows[2][:3], rows[3]],   # a short row
        lambda rows: [rows[0], rows[1] + [1.0], rows[2], rows[3]],
        lambda rows: [rows[0], rows[1], rows[2], rows[3][:2] + ["x", 1.0]],
        lambda rows: [rows[0], rows[1], rows[2], rows[3][:2] + [None, 1.0]],
        lambda rows: [rows[0], 3.0, rows[2], rows[3]],           # a row that is no sequence
        lambda rows: [rows[0], rows[1], rows[2], rows[3][:3] + [2**2000]],
    ],
)
def test_errors_are_the_same_on_both_paths(broken):
    torso = ex.make_example_torso()
    rows = [list(row) for row in ex.identity()]
    exact = broken(rows)
    subclassed = ListSubclass(ListSubclass(r) if isinstance(r, list) else r for r in exact)
    expected = message_of(lambda: torso.inverse_kinematics(subclassed))
    assert message_of(lambda: torso.inverse_kinematics(exact)) == expected
    as_tuple = tuple(tuple(r) if isinstance(r, list) else r for r in exact)
    assert message_of(lambda: torso.inverse_kinematics(as_tuple)) == expected


def test_reading_exact_floats_takes_and_leaves_no_references():
    torso = ex.make_example_torso()
    rows = [[float(v) + 0.5 for v in row] for row in ex.identity()]
    pose = [list(row) for row in rows]
    before = [sys.getrefcount(pose)] + [sys.getrefcount(row) for row in pose]
    items = [sys.getrefcount(item) for row in pose for item in row]
    for _ in range(100):
        torso.inverse_kinematics(pose)
        torso.reset_forward_kinematics(pose)
    assert [sys.getrefcount(pose)] + [sys.getrefcount(row) for row in pose] == before
    assert [sys.getrefcount(item) for row in pose for item in row] == items
