"""What Python sees of the module and its one class."""

from __future__ import annotations

import importlib
import subprocess
import sys
import weakref

import pytest

import tavrino_torso_kinematics
from tavrino_torso_kinematics import TavrinoTorsoKinematics

METHOD_SIGNATURES = {
    "add_branch": "($self, branch_platform, t_world_motor, solution)",
    "inverse_kinematics": "($self, t_world_platform, body_yaw=None)",
    "reset_forward_kinematics": "($self, t_world_platform)",
    "forward_kinematics": "($self, joint_angles, body_yaw=None)",
    "inverse_kinematics_safe":
        "($self, t_world_platform, body_yaw=None, max_relative_yaw=None, max_body_yaw=None)",
}


def test_reimport_yields_the_same_module_object():
    first = tavrino_torso_kinematics
    assert importlib.import_module("tavrino_torso_kinematics") is first
    del sys.modules["tavrino_torso_kinematics"]
    try:
        again = importlib.import_module("tavrino_torso_kinematics")
    finally:
        sys.modules["tavrino_torso_kinematics"] = first
    assert again is first
    assert again.TavrinoTorsoKinematics is TavrinoTorsoKinematics


def test_module_attributes():
    assert tavrino_torso_kinematics.__all__ == ["TavrinoTorsoKinematics"]
    assert tavrino_torso_kinematics.__doc__ == ""
    assert not hasattr(tavrino_torso_kinematics, "PanicException")


def test_class_names_doc_and_signature():
    cls = TavrinoTorsoKinematics
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == "TavrinoTorsoKinematics"
    assert cls.__text_signature__ == "(motor_arm_length, rod_length)"
    assert cls.__doc__ == ""


def test_exactly_five_methods_with_signatures_and_no_doc():
    own = {name for name in vars(TavrinoTorsoKinematics) if not name.startswith("__")}
    assert own == set(METHOD_SIGNATURES)
    for name, signature in METHOD_SIGNATURES.items():
        method = getattr(TavrinoTorsoKinematics, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None


def test_not_subclassable():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (TavrinoTorsoKinematics,), {})


def test_instances_take_no_attributes_and_no_weak_references():
    obj = TavrinoTorsoKinematics(1.0, 1.0)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.foo = 1
    with pytest.raises(AttributeError):
        obj.add_branch = None
    with pytest.raises(TypeError):
        weakref.ref(obj)


def import_in_a_second_interpreter(isolated: bool) -> str:
    """Imports the module in a new interpreter of this process and returns the
    report of the exception that ended it ("" if none did). An isolated
    interpreter refuses single-phase modules itself: 3.12 after running their
    initialiser in it, 3.13 after running it in the main interpreter. A legacy
    one (the only kind before 3.12) takes the module if its initialiser agrees."""
    code = "import tavrino_torso_kinematics"
    if sys.version_info >= (3, 13):
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create("isolated" if isolated else "legacy")
        try:
            failure = interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        return "" if failure is None else failure.formatted
    interpreters = pytest.importorskip("_xxsubinterpreters")
    if sys.version_info >= (3, 12):
        interp = interpreters.create(isolated=isolated)
    elif isolated:
        pytest.skip("isolated interpreters came with Python 3.12")
    else:
        interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    except interpreters.RunFailedError as failure:
        return str(failure)
    finally:
        interpreters.destroy(interp)
    return ""


def test_the_initialiser_refuses_a_second_interpreter():
    report = import_in_a_second_interpreter(isolated=False)
    assert "ImportError" in report
    assert "do not yet support subinterpreters" in report


def test_an_isolated_interpreter_refuses_the_module():
    report = import_in_a_second_interpreter(isolated=True)
    assert "ImportError" in report
    assert "subinterpreters" in report


SECOND_INTERPRETER_FIRST = r"""
import sys
kind = sys.argv[1]
code = ("from tavrino_torso_kinematics import TavrinoTorsoKinematics as K; "
        "assert K(1.0, 1.0).inverse_kinematics([[1, 0, 0, 0]] * 4) == []")
if sys.version_info >= (3, 13):
    import _interpreters as interpreters
    interp = interpreters.create(kind)
    failure = interpreters.run_string(interp, code)
    print("ok" if failure is None else failure.formatted.strip().splitlines()[-1])
else:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(**({"isolated": kind == "isolated"} if sys.version_info >= (3, 12) else {}))
    try:
        interpreters.run_string(interp, code)
        print("ok")
    except interpreters.RunFailedError as failure:
        print(failure)
interpreters.destroy(interp)
try:
    exec(code)
    print("ok")
except ImportError as error:
    print("ImportError:", error)
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_an_import_the_interpreter_refuses_claims_nothing(kind):
    """A new interpreter imports first, then the main one. Exactly one of them
    gets a working module, and an isolated interpreter never does, so the main
    interpreter has it then. 3.13 runs the initialiser of a legacy interpreter's
    import in the main interpreter first, which then holds the module; before
    3.13 the legacy interpreter keeps it."""
    if kind == "isolated" and sys.version_info < (3, 12):
        pytest.skip("isolated interpreters came with Python 3.12")
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    result = subprocess.run([sys.executable, "-c", SECOND_INTERPRETER_FIRST, kind],
                            capture_output=True, text=True, timeout=120, check=False)
    assert (result.returncode, result.stderr) == (0, "")
    second, main = result.stdout.splitlines()
    if kind == "legacy" and sys.version_info < (3, 13):
        assert second == "ok"
        assert main.startswith("ImportError:") and "do not yet support subinterpreters" in main
    else:
        assert "ImportError" in second and "subinterpreters" in second
        assert main == "ok"


# The class is mutable, so __new__ can be replaced with one that skips the
# module's constructor. That changes the class for the whole process, hence a
# process of its own.
HOLLOW_INSTANCES = r"""
from tavrino_torso_kinematics import TavrinoTorsoKinematics as K
I = [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
built = K(1.0, 1.0)
K.__new__ = staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))
calls = [
    lambda m: m.add_branch((0.0, 0.0, 0.0), I, 1.0),
    lambda m: m.inverse_kinematics(I),
    lambda m: m.inverse_kinematics_safe(I, 0.0, 1.0, 1.0),
    lambda m: m.reset_forward_kinematics(I),
    lambda m: m.forward_kinematics([0.0] * 6),
    lambda m: m.add_branch(),
]
for call in calls:
    hollow = K(1.0, 1.0)
    try:
        print("returned", call(hollow))
    except TypeError as error:
        print(error)
    del hollow
built.add_branch((0.0, 0.0, 0.0), I, -1.0)
print(built.inverse_kinematics(I))
"""


def test_instance_that_skipped_the_constructor_refuses_every_method():
    result = subprocess.run([sys.executable, "-c", HOLLOW_INSTANCES],
                            capture_output=True, text=True, timeout=120, check=False)
    assert (result.returncode, result.stderr) == (0, "")
    refused = "'TavrinoTorsoKinematics' object was not initialised by its constructor"
    assert result.stdout.splitlines() == [refused] * 5 + [
        # The argument list is still checked first.
        "TavrinoTorsoKinematics.add_branch() missing 3 required positional arguments: "
        "'branch_platform', 't_world_motor', and 'solution'",
        "[0.0]",
    ]
