"""Boundary paths that ordinary calls do not reach: allocation failures inside
the interpreter, sequences and keyword dicts that change while they are being
converted, and the reference that every instance holds on its heap type."""

from __future__ import annotations

import gc
import math
import sys

import pytest

import torso_geometry as ex
from conftest import POISONED
from tavrino_torso_kinematics import TavrinoTorsoKinematics

def fail_allocation(number: int, call):
    """Runs call() with the interpreter's allocation number `number` failing."""
    testcapi = pytest.importorskip("_testcapi")
    testcapi.set_nomemory(number, number + 1)
    try:
        return call()
    finally:
        testcapi.remove_mem_hooks()


def test_result_list_allocation_failure_panics_without_poisoning(torso, panic_type, capfd):
    pose = ex.identity()
    expected = torso.inverse_kinematics(pose)
    with pytest.raises(BaseException) as caught:
        fail_allocation(0, lambda: torso.inverse_kinematics(pose))
    assert type(caught.value) is panic_type
    assert caught.value.args == ("Python API call failed",)
    err = capfd.readouterr().err
    assert "MemoryError" in err and "Python API call failed" in err
    # The lock had been released before the result was built.
    assert torso.inverse_kinematics(pose) == expected
    assert POISONED not in capfd.readouterr().err


def test_instance_allocation_failure_is_a_memory_error():
    with pytest.raises(MemoryError):
        fail_allocation(0, lambda: TavrinoTorsoKinematics(1.0, 2.0))
    assert TavrinoTorsoKinematics(1.0, 2.0).inverse_kinematics(ex.identity()) == []


class ClearsItsList:
    def __init__(self, owner: list) -> None:
        self.owner = owner

    def __float__(self) -> float:
        self.owner.clear()
        return 0.0


def test_list_emptied_while_its_items_convert_raises_index_error():
    model = TavrinoTorsoKinematics(1.0, 1.0)
    point: list = [0.0, 0.0, 0.0]
    point[0] = ClearsItsList(point)
    with pytest.raises(IndexError, match="list index out of range"):
        model.add_branch(point, ex.identity(), 1.0)
    row: list = [1.0, 0.0, 0.0, 0.0]
    pose = [row, [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
    row[1] = ClearsItsList(pose)
    with pytest.raises(IndexError, match="list index out of range"):
        model.reset_forward_kinematics(pose)


def test_item_dropped_from_its_list_during_conversion_stays_alive():
    class DropsItself:
        def __init__(self, owner: list) -> None:
            self.owner = owner

        def __float__(self) -> float:
            self.owner[0] = 0.0  # the list held the only other reference
            return 2.5

    model = TavrinoTorsoKinematics(1.0, 1.0)
    point: list = [None, 0.0, 0.0]
    point[0] = DropsItself(point)
    model.add_branch(point, ex.identity(), 1.0)
    assert len(model.inverse_kinematics(ex.identity())) == 1


def test_keyword_values_outlive_a_conversion_that_empties_the_keyword_dict():
    class Late:
        def __float__(self) -> float:
            return 2.0

    class EmptiesTheCallsKeywords:
        def __float__(self) -> float:
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and "rod_length" in referrer:
                    referrer.clear()  # drops the only reference to the Late value
            return 1.0

    model = TavrinoTorsoKinematics(**{"motor_arm_length": EmptiesTheCallsKeywords(), "rod_length": Late()})
    reference = TavrinoTorsoKinematics(1.0, 2.0)
    target = ex.make_pose((2.0, 0.0, 0.0))
    for m in (model, reference):
        m.add_branch((0.0, 0.0, 0.0), ex.identity(), 1.0)
    assert model.inverse_kinematics(target) == reference.inverse_kinematics(target)
    assert not math.isnan(model.inverse_kinematics(target)[0])


def test_instances_release_their_reference_to_the_class():
    gc.collect()
    before = sys.getrefcount(TavrinoTorsoKinematics)
    for _ in range(1000):
        TavrinoTorsoKinematics(1.0, 2.0).add_branch((0, 0, 0), ex.identity(), 1.0)
    gc.collect()
    assert sys.getrefcount(TavrinoTorsoKinematics) == before
