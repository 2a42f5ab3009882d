"""Torso files: the shipped example reads as the built-in torso, millimetres
become metres (kilograms and seconds stay as they are), and whatever a file
holds, a mistake is a DescriptionError that names the field (or for broken TOML
the line): never a traceback or a hang."""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tavrino_torso import DescriptionError, Torso

from .torso_files import (AXIS, BAD_FILES, DRAWN_FILE, GOOD, PAYLOAD, first_branch_with, in_millimetres,
                          six_pose_branches)


def read(tmp_path: Path, content: str | bytes) -> Torso:
    path = tmp_path / "torso.toml"
    if isinstance(content, str):
        path.write_text(content)
    else:
        path.write_bytes(content)
    return Torso.from_toml(path)


@pytest.mark.parametrize("content, message", BAD_FILES, ids=[message for _, message in BAD_FILES])
def test_a_bad_file_is_reported_with_the_field_it_concerns(tmp_path, content, message):
    with pytest.raises(DescriptionError) as caught:
        read(tmp_path, content)
    assert str(caught.value).startswith(f"{tmp_path / 'torso.toml'}: ")
    assert message in str(caught.value)


def test_what_is_not_a_readable_torso_file_is_reported_by_name(tmp_path):
    with pytest.raises(DescriptionError, match="missing.toml: cannot be read: No such file"):
        Torso.from_toml(tmp_path / "missing.toml")
    with pytest.raises(DescriptionError, match="cannot be read: Is a directory"):
        Torso.from_toml(tmp_path)
    with pytest.raises(DescriptionError, match="^/dev/zero: cannot be read: not a regular file$"):
        Torso.from_toml("/dev/zero")  # would never end
    with pytest.raises(DescriptionError, match=r"^a\\x00b: cannot be read: a file name cannot hold a null character$"):
        Torso.from_toml("a\0b")
    with pytest.raises(DescriptionError, match=r"/a\\nb\\x1b\.toml: cannot be read: No such file"):
        Torso.from_toml(tmp_path / "a\nb\x1b.toml")
    (tmp_path / "big.toml").write_text("# padding\n" * 200_000)
    with pytest.raises(DescriptionError, match="big.toml: cannot be read: larger than 1024 KB"):
        Torso.from_toml(tmp_path / "big.toml")


def test_millimetres_are_read_as_metres(tmp_path):
    metres, millimetres = Torso.from_toml(DRAWN_FILE), read(tmp_path, in_millimetres(GOOD))
    assert (millimetres.motor_arm_length, millimetres.rod_length) == (metres.motor_arm_length, metres.rod_length)
    for a, b in zip(metres.branches, millimetres.branches, strict=True):
        assert np.allclose(b.anchor, a.anchor, rtol=1e-15, atol=1e-18)
        assert np.allclose(b.t_world_motor, a.t_world_motor, rtol=1e-15, atol=1e-18)


def test_pose_branches_and_a_home_pose_in_millimetres_are_read_in_metres(tmp_path):
    text = six_pose_branches("[[1, 0, 0, 20], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]").replace(
        "rod_length = 1.0", 'rod_length = 1.0\nlength_unit = "mm"\n'
        "home_pose = [[1, 0, 0, 1.5], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]")
    torso = read(tmp_path, text + PAYLOAD.replace("[0.004, -0.003, 0.035]", "[4, -3, 35]"))
    assert (torso.motor_arm_length, torso.rod_length, torso.home[0][3]) == (0.001, 0.001, 0.0015)
    assert torso.payload is not None and torso.payload.centre_of_mass == (0.004, -0.003, 0.035)
    assert (torso.payload.mass, torso.payload.inertia[1][1]) == (1.8, 0.0047)  # kg and kg m^2 whatever the unit
    moved = ((1.0, 0.0, 0.0, 0.02), *Torso.example().home[1:])
    assert all(b.t_world_motor == moved and b.solution == 1.0 for b in torso.branches)


@pytest.mark.parametrize("axis, arm_zero, z", [
    ("[5e-324, 0, 0]", "[0, 1e-300, 0]", [1.0, 0.0, 0.0]),  # denormal: once a ZeroDivisionError
    ("[1e308, 1e308, 0]", "[-1e300, 1e300, 0]", [math.sqrt(0.5), math.sqrt(0.5), 0.0]),  # once a zero frame
])
def test_a_motor_axis_of_any_finite_size_is_a_direction(tmp_path, axis, arm_zero, z):
    torso = read(tmp_path, first_branch_with(AXIS, f"motor_axis = {axis}").replace(
        "arm_zero = [0.342020143325669, 0.939692620785908, 0.0]", f"arm_zero = {arm_zero}", 1))
    assert [row[2] for row in torso.branches[0].t_world_motor[:3]] == pytest.approx(z, abs=1e-15)
    assert all(math.isfinite(a) for a in torso.kinematics().inverse_kinematics(torso.home))


# Fuzzing: the example file as TOML values, with one field replaced by anything
# TOML can hold or removed; the reader either makes a torso or says what is wrong.
SCALARS = (st.integers() | st.floats() | st.booleans() | st.text(max_size=8) | st.dates())
VALUES = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=5)
                      | st.dictionaries(st.text(max_size=4), inner, max_size=3), max_leaves=12)
EXAMPLE_VALUES = {
    "length_unit": "m", "motor_arm_length": 0.04, "rod_length": 0.09,
    "branch": [{"anchor": [b.anchor[0] * 1.0, b.anchor[1], b.anchor[2]],
                "motor_pose": [list(row) for row in b.t_world_motor], "solution": int(b.solution)}
               for b in Torso.example().branches],
}


def toml_value(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return "nan" if math.isnan(value) else {math.inf: "inf", -math.inf: "-inf"}.get(value, repr(value))
    if isinstance(value, (int, str)):
        return json.dumps(value) if isinstance(value, str) else str(value)
    if isinstance(value, list):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{json.dumps(k)} = {toml_value(v)}" for k, v in value.items()) + "}"
    return value.isoformat()  # a date


def toml_document(values: dict[str, object]) -> str:
    return "".join(f"{json.dumps(key)} = {toml_value(value)}\n" for key, value in values.items())


@st.composite
def mutated_examples(draw: st.DrawFn) -> dict[str, object]:
    values = json.loads(json.dumps(EXAMPLE_VALUES))
    container, key = values, draw(st.sampled_from(sorted(values)))
    while isinstance(container[key], (list, dict)) and draw(st.booleans()):
        container = container[key]
        key = draw(st.integers(0, len(container) - 1)) if isinstance(container, list) else draw(
            st.sampled_from(sorted(container)))
    if draw(st.booleans()) and isinstance(container, dict):
        del container[key]
    else:
        container[key] = draw(VALUES)
    return values


@settings(max_examples=3 * settings.default.max_examples)
@given(values=mutated_examples())
def test_any_mutation_of_the_example_is_read_or_reported(tmp_path_factory, values):
    path = tmp_path_factory.mktemp("fuzz") / "torso.toml"
    path.write_text(toml_document(values))
    try:
        torso = Torso.from_toml(path)
    except DescriptionError as error:
        assert str(error).startswith(f"{path}: ") and "\n" not in str(error)
    else:
        assert len(torso.kinematics().inverse_kinematics(torso.home)) == 6


@settings(max_examples=3 * settings.default.max_examples)
@given(text=st.lists(st.sampled_from([*"[]{}=\"'#.,+-_ \n\t019eEnaifxo\\\xb5\x00", "[[branch]]\n", "anchor = ",
                                      "rod_length = ", "solution", "1e-323", "inf", '"""', "'''"])).map("".join),
       head=st.sampled_from(["", GOOD[:400], GOOD]))
def test_any_text_is_read_or_reported(tmp_path_factory, text, head):
    path = tmp_path_factory.mktemp("fuzz") / "torso.toml"
    path.write_text(head + text)
    try:
        Torso.from_toml(path)
    except DescriptionError as error:
        assert str(error).startswith(f"{path}: ")
