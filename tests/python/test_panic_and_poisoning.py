"""PanicException, the internal error seen from Python, and the poisoned lock it
leaves behind when it happens while an object's lock is held."""

from __future__ import annotations

import gc
import math
import re

import pytest

from conftest import NAN6, POISONED, SINGULAR, WRONG_BRANCH_COUNT, poison, unit_model
from torso_geometry import identity

IDENTITY = identity()

EVERY_METHOD = {
    "add_branch": lambda m: m.add_branch((0.0, 0.0, 0.0), IDENTITY, 1.0),
    "inverse_kinematics": lambda m: m.inverse_kinematics(IDENTITY),
    "inverse_kinematics_safe": lambda m: m.inverse_kinematics_safe(IDENTITY),
    "reset_forward_kinematics": lambda m: m.reset_forward_kinematics(IDENTITY),
    "forward_kinematics": lambda m: m.forward_kinematics(NAN6),
}


def catch_panic(call):
    try:
        call()
    except Exception:  # noqa: BLE001 - a PanicException must not land here
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as error:  # noqa: BLE001
        return error
    pytest.fail("no exception raised")


def test_panic_exception_class(panic_type):
    error = catch_panic(lambda: unit_model(1.0).forward_kinematics([0.0] * 6))
    assert type(error) is panic_type
    assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert "Like SystemExit, this exception is derived from BaseException so that" in panic_type.__doc__
    assert error.args == (WRONG_BRANCH_COUNT,)
    assert str(error) == WRONG_BRANCH_COUNT


def test_panic_writes_one_diagnostic_line_and_nothing_else_does(capfd, torso):
    capfd.readouterr()
    torso.inverse_kinematics(IDENTITY)
    with pytest.raises(ValueError):
        torso.forward_kinematics([0.0])
    assert capfd.readouterr().err == ""
    catch_panic(lambda: unit_model(1.0).forward_kinematics([0.0] * 6))
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1 and WRONG_BRANCH_COUNT in lines[0]


def test_singular_motor_pose_panics_in_inverse_kinematics(panic_type):
    model = unit_model(1.0)
    model.add_branch((0.0, 0.0, 0.0), [[0.0] * 4] * 4, 1.0)  # accepted: nothing is validated
    with pytest.raises(panic_type) as failure:
        model.inverse_kinematics(IDENTITY)
    assert failure.value.args == (SINGULAR,)
    with pytest.raises(panic_type, match=re.escape(POISONED)):
        model.add_branch((0.0, 0.0, 0.0), IDENTITY, 1.0)


def test_nan_motor_pose_is_no_failure():
    model = unit_model(1.0)
    model.add_branch((0.0, 0.0, 0.0), [[math.nan] * 4] * 4, 1.0)
    angles = model.inverse_kinematics(IDENTITY)
    assert not math.isnan(angles[0]) and math.isnan(angles[1])


@pytest.mark.parametrize("method", EVERY_METHOD)
def test_every_method_fails_once_poisoned(panic_type, method):
    model = unit_model(1.0, -1.0, 1.0, -1.0, 1.0, -1.0)
    poison(model)
    with pytest.raises(panic_type) as failure:
        EVERY_METHOD[method](model)
    assert failure.value.args == (POISONED,)


def test_poisoned_object_still_reports_bad_arguments_first():
    model = unit_model(1.0)
    poison(model)
    with pytest.raises(ValueError, match=r"^expected a sequence of length 4 \(got 3\)$"):
        model.inverse_kinematics(IDENTITY[:3])
    with pytest.raises(TypeError, match="^TavrinoTorsoKinematics.add_branch\\(\\) missing"):
        model.add_branch()
    with pytest.raises(TypeError, match="^argument 'body_yaw': "):
        model.forward_kinematics(NAN6, "x")


def test_poison_stays_with_its_object(capfd):
    healthy = unit_model(1.0)
    before = healthy.inverse_kinematics(IDENTITY)
    doomed = unit_model(1.0)
    poison(doomed)
    assert healthy.inverse_kinematics(IDENTITY) == before
    capfd.readouterr()
    del doomed
    gc.collect()
    assert capfd.readouterr().err == ""


def test_panic_raised_by_user_code_during_conversion_is_resumed(panic_type, capfd):
    raised = panic_type("boom")

    class ExplodingRow:
        def __len__(self):
            return 4

        def __getitem__(self, index):
            raise raised

    model = unit_model(1.0)
    capfd.readouterr()
    with pytest.raises(panic_type) as failure:
        model.inverse_kinematics([ExplodingRow()] * 4)
    assert failure.value is not raised
    assert failure.value.args == ("boom",)
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err and "boom" in err
    # The panic came before the lock was taken: nothing is poisoned.
    assert model.inverse_kinematics(IDENTITY) == unit_model(1.0).inverse_kinematics(IDENTITY)



class Unprintable:
    def __str__(self) -> str:
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    ("arguments", "message"),
    [(("boom",), "boom"), (("",), ""), ((), ""), ((Unprintable(),), "Unwrapped panic from Python code")],
    ids=["text", "empty text", "no arguments", "str() fails"],
)
def test_resumed_panic_keeps_the_message_str_gives(panic_type, arguments, message):
    class PanickingFloat:
        def __float__(self) -> float:
            raise panic_type(*arguments)

    with pytest.raises(panic_type) as failure:
        unit_model(1.0).inverse_kinematics(IDENTITY, PanickingFloat())
    assert failure.value.args == (message,)
