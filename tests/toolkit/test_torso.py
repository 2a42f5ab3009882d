"""The Torso value: the built-in example is the C++ core's example torso bit
for bit, and a torso, with its payload, motors and gravity, survives the trip
through a file exactly."""

from __future__ import annotations

import math
import re

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tavrino_torso import Branch, DescriptionError, Motors, Payload, Torso

from .support import DRAWN_FILE, EXAMPLE_FILE, ROOT


def branch_angle(branch: int, spread_degrees: float) -> float:
    """The C++ ExampleTorso's: branches 2k and 2k + 1 at 120k degrees minus and plus the spread."""
    degree = 3.141592653589793 / 180.0
    return (120.0 * (branch // 2) + (-1.0 if branch % 2 == 0 else 1.0) * spread_degrees) * degree


def test_the_example_is_the_cpp_example_torso_bit_for_bit():
    # ExampleTorso's definition, with its operations in its order: motors 20 degrees
    # either side of their pair's centre on a 50 mm circle, x along the tangent, y
    # up, z outwards; anchors 10 degrees either side, 40 mm out and 85 mm up.
    torso = Torso.example()
    assert (torso.motor_arm_length, torso.rod_length, torso.home) == (0.04, 0.09, tuple(map(tuple, np.eye(4))))
    for i, branch in enumerate(torso.branches):
        motor, anchor = branch_angle(i, 20.0), branch_angle(i, 10.0)
        c, s = math.cos(motor), math.sin(motor)
        assert branch.t_world_motor == ((-s, 0.0, c, 0.05 * c), (c, 0.0, s, 0.05 * s), (0.0, 1.0, 0.0, 0.0),
                                        (0.0, 0.0, 0.0, 1.0))
        assert branch.anchor == (0.04 * math.cos(anchor), 0.04 * math.sin(anchor), 0.085)
        assert branch.solution == (1.0 if i % 2 == 0 else -1.0)
    assert Torso.example() == Torso.from_toml(EXAMPLE_FILE)


def test_the_examples_file_is_the_packaged_one():
    assert (ROOT / "examples" / "example_torso.toml").read_bytes() == EXAMPLE_FILE.read_bytes()


def test_the_drawn_file_is_the_example_torso_to_its_fifteen_decimals():
    from_file, built_in = Torso.from_toml(DRAWN_FILE), Torso.example()
    assert from_file.home == built_in.home
    for a, b in zip(from_file.branches, built_in.branches, strict=True):
        assert a.solution == b.solution
        assert np.allclose(a.anchor, b.anchor, rtol=0, atol=1e-15)
        assert np.allclose(a.t_world_motor, b.t_world_motor, rtol=0, atol=1e-14)


def test_a_torso_written_to_a_file_reads_back_exactly(tmp_path):
    turned = tuple(Branch(b.anchor, b.t_world_motor, -b.solution) for b in Torso.example().branches)
    home = ((1.0, 0.0, 0.0, -0.0), (0.0, 1.0, 0.0, 1e-310), (0.0, 0.0, 1.0, 0.123456789012345678), (0, 0, 0, 1))
    payload = Payload(1e-300, (-0.0, 5e-324, 999.0), ((1e300, 0, 1e290), (0, 1e300, 0), (1e290, 0, 1e300)))
    odd = Torso(1e-6, 1e3, turned, home, payload, Motors(0.0, torque_limit=0.1), (1e-310, -0.0, 1.5))
    for torso in (Torso.example(), odd, Torso(0.04, 0.09, turned, motors=Motors())):
        torso.to_toml(tmp_path / "torso.toml")
        again = Torso.from_toml(tmp_path / "torso.toml")
        assert again == torso
        assert repr(again) == repr(torso)  # -0.0 and denormals too


def test_values_are_checked_and_converted_when_a_torso_is_made():
    branch = Torso.example().branches[0]
    made = Branch([1, 2, 3], [list(row) for row in branch.t_world_motor], 1)
    assert made.anchor == (1.0, 2.0, 3.0) and type(made.anchor[0]) is float and made.solution == 1.0
    with pytest.raises(DescriptionError, match=r"^anchor: must be a list of 3 numbers, got 2 items$"):
        Branch((0.0, 0.0), branch.t_world_motor, 1.0)
    with pytest.raises(DescriptionError, match=r"^branches: must be a list of 6 Branch values, got 5 items$"):
        Torso(0.04, 0.09, Torso.example().branches[:5])
    with pytest.raises(DescriptionError, match=r"^rod_length: must be a length between 1e-06 and 1000 m, got 0 m$"):
        Torso(0.04, 0.0, Torso.example().branches)


ODD_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=3)
    | st.builds(np.array, st.lists(st.floats(), max_size=5)),
    lambda inner: st.lists(inner, max_size=5) | st.tuples(inner, inner, inner) | st.dictionaries(st.text(max_size=2),
                                                                                                  inner, max_size=2),
    max_leaves=20)


@given(anchor=ODD_VALUES | st.just((0.0, 0.0, 0.085)), pose=ODD_VALUES | st.just(np.eye(4)),
       solution=ODD_VALUES | st.just(1), length=ODD_VALUES | st.just(0.04),
       inertia=ODD_VALUES | st.just(np.diag([1.0, 1.0, 1.5])), limit=ODD_VALUES | st.just(7.0))
def test_a_torso_made_of_anything_is_made_or_refused_with_a_description_error(anchor, pose, solution, length,
                                                                               inertia, limit):
    try:
        branch = Branch(anchor, pose, solution)
        torso = Torso(length, 0.09, (branch,) * 6, payload=Payload(1.0, (0, 0, 0), inertia),
                      motors=Motors(speed_limit=limit))
    except DescriptionError as error:
        assert re.match(r"^(anchor|t_world_motor|solution|motor_arm_length|inertia|speed_limit)(\[\d\])*: ",
                        str(error))
    else:
        assert all(type(v) is float for v in (*branch.anchor, *sum(branch.t_world_motor, ()), branch.solution,
                                              torso.motor_arm_length))


LAYOUT = dict(motor_radius=0.05, motor_spread=np.radians(20), anchor_radius=0.04, anchor_spread=np.radians(10),
              motor_arm_length=0.04, rod_length=0.09, home_height=0.085)


def test_the_symmetric_layout_builds_the_example_and_its_tangential_twin():
    for ours, example in zip(Torso.symmetric(**LAYOUT).branches, Torso.example().branches, strict=True):
        assert np.allclose(ours.t_world_motor, example.t_world_motor, rtol=0, atol=1e-15)
        assert np.allclose(ours.anchor, example.anchor, rtol=0, atol=1e-15) and ours.solution == example.solution
    for branch in Torso.symmetric(**LAYOUT, axis="tangential", solutions=(1,) * 6).branches:
        m = np.array(branch.t_world_motor)
        origin, x, y, z = m[:3, 3], m[:3, 0], m[:3, 1], m[:3, 2]
        assert np.allclose(np.cross(origin / 0.05, z), [0, 0, 1])  # along the circle, counter-clockwise
        assert np.allclose(x, -origin / 0.05) and np.allclose(y, [0, 0, 1])  # arm at zero inwards, y up
    with pytest.raises(DescriptionError, match=r"^axis: must be 'radial' or 'tangential', got 'up'$"):
        Torso.symmetric(**LAYOUT, axis="up")
