"""Conversion of arguments: what counts as a float, a sequence and a pose, and
exactly which error comes out when a value does not convert."""

from __future__ import annotations

import math
import re

import numpy as np
import pytest

from conftest import translated, unit_model
from torso_geometry import identity
from tavrino_torso_kinematics import TavrinoTorsoKinematics

# With the unit model, this target puts the anchor at (1, 1, 0) in the motor
# frame: solution +1 gives pi/2, solution -1 gives 0.
TARGET = translated(1.0, 1.0, 0.0)


class FloatSubclass(float):
    def __float__(self):
        return 99.0  # never used: the stored value is


class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    """A value whose conversion raises the given exception."""

    def __init__(self, error):
        self.error = error
        self.calls = 0

    def __float__(self):
        self.calls += 1
        raise self.error


class Rows:
    """A minimal sequence built on __len__ and __getitem__."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def ik_with_solution(value):
    model = TavrinoTorsoKinematics(1, True)
    model.add_branch((0.0, 0.0, 0.0), identity(), value)
    return model.inverse_kinematics(TARGET)


@pytest.mark.parametrize(
    "value",
    [1.0, 1, True, FloatSubclass(1.0), HasFloat(1.0), HasIndex(1), np.float64(1.0), np.int64(1)],
    ids=["float", "int", "bool", "float-subclass", "__float__", "__index__", "np.float64", "np.int64"],
)
def test_float_like_values_convert_by_value(value):
    assert ik_with_solution(value) == [math.pi / 2]


@pytest.mark.parametrize("value", [-1.0, -1, HasFloat(-1.0), HasIndex(-1)])
def test_minus_one_is_a_value_not_an_error(value):
    assert ik_with_solution(value) == [0.0]


def test_other_solution_values_are_used_unchanged():
    # sqrt(D) * 0.5 + 2 a py over the denominator 4.
    assert ik_with_solution(0.5) == [2 * math.atan2(3.0, 4.0)]


@pytest.mark.parametrize(
    "pose",
    [
        np.array(TARGET),
        np.array(TARGET, dtype=np.int64),
        tuple(tuple(row) for row in TARGET),
        [tuple(row) for row in TARGET],
        Rows([Rows(row) for row in TARGET]),
    ],
    ids=["ndarray", "int-ndarray", "tuples", "list-of-tuples", "user-sequence"],
)
def test_any_sequence_of_sequences_is_a_pose(pose):
    assert unit_model(1.0).inverse_kinematics(pose) == [math.pi / 2]


def test_bytes_items_are_ints():
    # Anchor (1, 2, 3) on the platform, target moved by (0, -1, -3): anchor at (1, 1, 0).
    from_bytes = TavrinoTorsoKinematics(1.0, 1.0)
    from_bytes.add_branch(b"\x01\x02\x03", identity(), 1.0)
    assert from_bytes.inverse_kinematics(translated(0.0, -1.0, -3.0)) == [math.pi / 2]


def test_none_means_absent_for_optional_floats_only():
    model = unit_model(1.0)
    assert model.inverse_kinematics(TARGET, None) == model.inverse_kinematics(TARGET)
    assert model.inverse_kinematics_safe(TARGET, 1.0, None, None) == model.inverse_kinematics_safe(TARGET, 1.0)
    with pytest.raises(TypeError, match="^argument 'motor_arm_length': "):
        TavrinoTorsoKinematics(None, 1.0)
    with pytest.raises(TypeError, match="^argument 'solution': "):
        model.add_branch((0, 0, 0), identity(), None)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda m: m.inverse_kinematics({}), "argument 't_world_platform': 'dict' object cannot be converted to 'Sequence'"),
        (lambda m: m.add_branch((0, 0, 0), 1.5, 1.0), "argument 't_world_motor': 'float' object cannot be converted to 'Sequence'"),
        (lambda m: m.reset_forward_kinematics([[0] * 4, 7, [0] * 4, [0] * 4]),
         "argument 't_world_platform': 'int' object cannot be converted to 'Sequence'"),
        (lambda m: m.forward_kinematics(None), "argument 'joint_angles': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda m: m.add_branch(HasFloat(1.0), identity(), 1.0),
         "argument 'branch_platform': 'HasFloat' object cannot be converted to 'Sequence'"),
    ],
)
def test_non_sequences_are_refused_with_the_parameter_name(call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call(unit_model())


def test_str_is_a_sequence_whose_items_do_not_convert():
    with pytest.raises(TypeError, match="^argument 'branch_platform': .*str"):
        unit_model().add_branch("abc", identity(), 1.0)
    with pytest.raises(ValueError, match=r"^expected a sequence of length 3 \(got 2\)$"):
        unit_model().add_branch("ab", identity(), 1.0)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda m: m.inverse_kinematics(identity()[:3]), "expected a sequence of length 4 (got 3)"),
        (lambda m: m.inverse_kinematics(identity()[:2] + [[0, 0, 1, 0, 0], [0, 0, 0, 1]]),
         "expected a sequence of length 4 (got 5)"),
        (lambda m: m.inverse_kinematics([["x"]] + identity()), "expected a sequence of length 4 (got 5)"),
        (lambda m: m.forward_kinematics([0.0] * 5), "expected a sequence of length 6 (got 5)"),
        (lambda m: m.add_branch((0, 0, 0, 0), identity(), 1.0), "expected a sequence of length 3 (got 4)"),
    ],
)
def test_length_errors_are_plain_value_errors(call, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$") as failure:
        call(unit_model())
    assert type(failure.value) is ValueError


def test_errors_that_are_not_exactly_type_error_pass_unchanged():
    class OwnTypeError(TypeError):
        pass

    for error in (ValueError("bad float"), OwnTypeError("own"), OverflowError("big")):
        with pytest.raises(type(error)) as failure:
            unit_model().inverse_kinematics([[1, 0, 0, Raises(error)]] + identity()[1:])
        assert failure.value is error
    with pytest.raises(OverflowError, match="^int too large"):
        TavrinoTorsoKinematics(10**400, 1.0)


def test_type_error_is_replaced_and_keeps_only_the_original_cause():
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError, match="^argument 'body_yaw': inner$") as failure:
        unit_model().inverse_kinematics(TARGET, Raises(inner))
    assert failure.value is not inner
    assert failure.value.__cause__ is root

    with pytest.raises(TypeError, match="^argument 'body_yaw': plain$") as failure:
        unit_model().inverse_kinematics(TARGET, Raises(TypeError("plain")))
    assert failure.value.__cause__ is None


def test_only_the_first_failing_argument_is_converted_and_reported():
    later = Raises(TypeError("never"))
    with pytest.raises(ValueError, match=r"\(got 2\)"):
        unit_model().add_branch((0, 0), None, later)
    with pytest.raises(TypeError, match="^argument 't_world_motor': "):
        unit_model().add_branch((0, 0, 0), None, later)
    with pytest.raises(TypeError, match="^argument 'max_relative_yaw': "):
        unit_model().inverse_kinematics_safe(TARGET, 0.0, "x", later)
    with pytest.raises(TypeError, match="^argument 'rod_length': "):
        TavrinoTorsoKinematics(1.0, "x")
    assert later.calls == 0


def test_a_failed_conversion_leaves_the_model_unchanged():
    model = unit_model(1.0)
    with pytest.raises(TypeError):
        model.add_branch((0, 0, 0), [[0.0] * 4] * 3 + [[0, 0, 0, "x"]], 1.0)
    assert model.inverse_kinematics(TARGET) == [math.pi / 2]
