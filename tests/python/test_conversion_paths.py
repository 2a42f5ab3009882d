"""Exact lists and tuples of exact floats, and exact numpy float64 arrays of the
right shape in any memory layout, are read directly; every other sequence goes
the generic way. The same inputs through both must give the same values bit for
bit, the same errors with the same messages, and leave every reference count as
it was."""

from __future__ import annotations

import math
import queue
import random
import struct
import sys
import threading

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import torso_geometry as ex
from tavrino_torso_kinematics import TavrinoTorsoKinematics


class ListSubclass(list):
    pass


class TupleSubclass(tuple):
    pass


class FloatSubclass(float):
    pass


class ArraySubclass(np.ndarray):
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


def laid_out(values, steps, axes, unaligned=False, read_only=False):
    """An exact float64 ndarray equal to `values` whose memory is laid out as
    asked: every steps[d]-th element along axis d (negative: backwards), the
    axes stored in the order `axes` (so transposed unless it is ascending),
    one byte into its buffer when unaligned, not writable when read_only."""
    values = np.asarray(values, dtype=np.float64)
    stored = [values.shape[a] * abs(steps[a]) for a in axes]
    count = math.prod(stored)
    backing = np.frombuffer(bytearray(8 * count + 1), np.float64, count, int(unaligned)).reshape(stored)
    view = backing[tuple(slice(None, None, steps[a]) for a in axes)].transpose(np.argsort(axes))
    view[...] = values
    view.flags.writeable = not read_only
    return view


def as_array(rows):
    return np.array(rows)


def as_strided_transposed_view(rows):
    return laid_out(rows, (-2, 3), (1, 0))


def as_unaligned_read_only_array(rows):
    return laid_out(rows, (1, 1), (0, 1), unaligned=True, read_only=True)


def as_big_endian_array(rows):
    return np.array(rows, dtype=">f8")


def as_object_array(rows):
    return np.array(rows, dtype=object)


def as_array_subclass(rows):
    return np.array(rows).view(ArraySubclass)


FAST = [as_exact_lists, as_exact_tuples, as_array, as_strided_transposed_view, as_unaligned_read_only_array]
GENERIC = [as_list_subclasses, as_tuple_subclasses, as_mixed, with_float_subclass,
           as_big_endian_array, as_object_array, as_array_subclass]


def bits(values):
    return [struct.pack("<d", v) for v in values]


def random_target(rng):
    turn = [rng.uniform(-0.2, 0.2) for _ in range(3)]
    shift = tuple(rng.uniform(-0.008, 0.008) for _ in range(3))
    return [[float(v) for v in row] for row in ex.make_pose(shift, *turn)]


def test_poses_give_the_same_angles_on_both_paths(torso):
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


def test_special_values_are_stored_unchanged_on_both_paths(torso):
    rng = random.Random(7)
    for _ in range(50):
        pose = special_pose(rng)
        for make in FAST + GENERIC:
            torso.reset_forward_kinematics(make(pose))
            stored = torso.forward_kinematics([math.nan] * 6)  # no step: the estimate as stored
            assert [bits(row) for row in stored] == [bits(row) for row in pose], make.__name__


def test_short_sequences_give_the_same_values_on_both_paths(torso):
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
def test_errors_are_the_same_on_both_paths(torso, broken):
    rows = [list(row) for row in ex.identity()]
    exact = broken(rows)
    subclassed = ListSubclass(ListSubclass(r) if isinstance(r, list) else r for r in exact)
    expected = message_of(lambda: torso.inverse_kinematics(subclassed))
    assert message_of(lambda: torso.inverse_kinematics(exact)) == expected
    as_tuple = tuple(tuple(r) if isinstance(r, list) else r for r in exact)
    assert message_of(lambda: torso.inverse_kinematics(as_tuple)) == expected


def test_reading_exact_floats_takes_and_leaves_no_references(torso):
    rows = [[float(v) + 0.5 for v in row] for row in ex.identity()]
    pose = [list(row) for row in rows]
    before = [sys.getrefcount(pose)] + [sys.getrefcount(row) for row in pose]
    items = [sys.getrefcount(item) for row in pose for item in row]
    for _ in range(100):
        torso.inverse_kinematics(pose)
        torso.reset_forward_kinematics(pose)
    assert [sys.getrefcount(pose)] + [sys.getrefcount(row) for row in pose] == before
    assert [sys.getrefcount(item) for row in pose for item in row] == items


def layouts(rank):
    """Any memory layout of an exact float64 array of that rank."""
    steps = st.tuples(*[st.sampled_from([-3, -2, -1, 1, 2, 3])] * rank)
    return st.builds(lambda steps, axes, unaligned, read_only: lambda values: laid_out(
        values, steps, axes, unaligned, read_only), steps, st.permutations(range(rank)), st.booleans(), st.booleans())


@given(layout=layouts(2), seed=st.integers(0, 2**32 - 1))
def test_a_float64_pose_in_any_layout_reads_as_its_list(layout, seed):
    torso = ex.make_example_torso()
    pose = special_pose(random.Random(seed))
    torso.reset_forward_kinematics(layout(pose))
    assert [bits(row) for row in torso.forward_kinematics([math.nan] * 6)] == [bits(row) for row in pose]
    assert bits(torso.inverse_kinematics(layout(pose))) == bits(torso.inverse_kinematics(pose))


@given(layout=layouts(1), seed=st.integers(0, 2**32 - 1))
def test_float64_angles_and_anchors_in_any_layout_read_as_their_lists(layout, seed):
    rng = random.Random(seed)
    torso = ex.make_example_torso()
    start = ex.make_pose((0.002, 0.0, -0.001), 0.03, 0.0, -0.02)
    angles = [a + rng.uniform(-0.01, 0.01) for a in torso.inverse_kinematics(ex.identity())]
    steps = []
    for given_angles in (angles, layout(angles)):
        torso.reset_forward_kinematics(start)
        steps.append([bits(row) for row in torso.forward_kinematics(given_angles)])
    assert steps[0] == steps[1]
    anchor = [rng.choice([0.25, -0.5, 0.0, -0.0, math.inf, math.nan, 5e-324]) for _ in range(3)]
    solved = []
    for given_anchor in (anchor, layout(anchor)):
        model = TavrinoTorsoKinematics(1.0, 1.0)
        model.add_branch(given_anchor, ex.identity(), 1.0)
        solved.append(bits(model.inverse_kinematics(ex.make_pose((1.0, 0.5, 0.25)))))
    assert solved[0] == solved[1]


def test_broadcast_arrays_with_zero_strides_read_as_their_lists(torso):
    row = np.broadcast_to(np.array([0.001, -0.002, 0.003, 1.0]), (4, 4))  # every row the same
    assert bits(torso.inverse_kinematics(row)) == bits(torso.inverse_kinematics(row.tolist()))
    column = np.broadcast_to(np.array([[0.5], [0.25], [-0.5], [1.0]]), (4, 4))
    assert bits(torso.inverse_kinematics(column)) == bits(torso.inverse_kinematics(column.tolist()))
    results = []
    for angles in (np.broadcast_to(0.1, (6,)), [0.1] * 6):
        torso.reset_forward_kinematics(ex.identity())
        results.append(torso.forward_kinematics(angles))
    assert results[0] == results[1]


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.int64, np.uint8, np.bool_, ">f8", object])
def test_arrays_of_other_dtypes_give_the_values_of_their_items(dtype):
    """The generic path converts each item; the values must be the items' own."""
    torso = ex.make_example_torso()
    values = special_pose(random.Random(3)) if np.dtype(dtype).kind in "fO" else [
        [1, 0, 0, 2], [0, 1, 0, 3], [0, 0, 1, 1], [0, 0, 0, 1]]
    with np.errstate(over="ignore"):  # 1e308 becomes an infinity in the narrow floats
        pose = np.array(values).astype(dtype)
    torso.reset_forward_kinematics(pose)
    stored = torso.forward_kinematics([math.nan] * 6)
    assert [bits(row) for row in stored] == [bits(map(float, row)) for row in pose.tolist()]


@pytest.mark.parametrize(
    "array",
    [
        np.zeros((4, 5)),
        np.zeros((3, 4)),
        np.zeros(16),
        np.zeros((1, 4, 4)),
        np.array(1.0),
        np.zeros((4, 4), dtype="datetime64[s]"),  # exports no buffer at all
        np.zeros((4, 4), dtype=[("x", "f8")]),
        np.full((4, 4), "x"),
    ],
    ids=["4x5", "3x4", "flat", "1x4x4", "0-d", "datetime", "structured", "str"],
)
def test_arrays_off_the_fast_path_fail_as_on_the_generic_path(torso, array):
    expected = message_of(lambda: torso.inverse_kinematics(array.view(ArraySubclass)))
    assert message_of(lambda: torso.inverse_kinematics(array)) == expected
    assert expected[0] in (ValueError, TypeError)


def test_an_array_changed_by_another_thread_is_read_afresh_and_whole(torso, fast_switching):
    poses = [np.array(random_target(random.Random(k))) for k in range(4)]
    expected = [bits(torso.inverse_kinematics(p.tolist())) for p in poses]
    shared = poses[0].copy()
    # Between calls: the other thread writes pose k, then this one solves it.
    requests, done = queue.Queue(), queue.Queue()

    def writer():
        while (k := requests.get()) is not None:
            shared[...] = poses[k]
            done.put(k)

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    for i in range(40):
        requests.put(i % 4)
        k = done.get(timeout=60)
        assert bits(torso.inverse_kinematics(shared)) == expected[k]
    requests.put(None)
    thread.join(60)
    # During calls: whatever the interleaving, each call reads one whole pose.
    stop = threading.Event()

    def overwrite():
        i = 0
        while not stop.is_set():
            shared[...] = poses[i % 4]
            i += 1

    thread = threading.Thread(target=overwrite, daemon=True)
    thread.start()
    try:
        seen = [bits(torso.inverse_kinematics(shared)) for _ in range(2000)]
    finally:
        stop.set()
        thread.join(60)
    assert all(s in expected for s in seen)


def test_reading_arrays_takes_and_leaves_no_references(torso):
    view = laid_out(ex.identity(), (2, -1), (1, 0))
    angles = np.array(torso.inverse_kinematics(ex.identity()))
    before = [sys.getrefcount(view), sys.getrefcount(view.base), sys.getrefcount(angles)]
    for _ in range(100):
        torso.inverse_kinematics(view)
        torso.forward_kinematics(angles)
    assert [sys.getrefcount(view), sys.getrefcount(view.base), sys.getrefcount(angles)] == before


class NegatingArray(np.ndarray):
    def __getitem__(self, index):
        return -np.asarray(self)[index]


def test_an_array_subclass_is_read_through_its_own_item_access(torso):
    pose = random_target(random.Random(2))
    negated = [[-v for v in row] for row in pose]
    assert bits(torso.inverse_kinematics(np.array(pose).view(NegatingArray))) == bits(torso.inverse_kinematics(negated))
