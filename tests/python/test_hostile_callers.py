"""Thousands of calls from hostile callers (see hostile_callers.py), replayed from
fixed seeds: each ends in a result, an ordinary exception or PanicException
with the poisoning it implies, and none of them changes what a new object
computes. Longer runs are driven by hand with tools/fuzz-hostile-callers."""

from __future__ import annotations

import gc
import random

import pytest

from hostile_callers import Storm, answers_of_a_fresh_torso


# One seed everywhere; the default Python's session tries two more.
@pytest.mark.parametrize("seed", [7, pytest.param(1009, marks=pytest.mark.once), pytest.param(65537, marks=pytest.mark.once)])
def test_hostile_calls_end_only_in_allowed_ways(seed, panic_type):
    before = answers_of_a_fresh_torso()
    storm = Storm(random.Random(seed), panic_type)
    storm.run(2000)
    storm.verify_pool()
    del storm
    gc.collect()
    assert answers_of_a_fresh_torso() == before
