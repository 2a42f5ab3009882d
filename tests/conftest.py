"""The Hypothesis profiles of the whole Python suite (tests/python and
tests/toolkit)."""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

# In CI every run must see the same examples: derandomized, and without the
# database that would replay failures found by earlier runs. Locally the
# exploration stays random and remembers what it found. Neither profile lets
# timing decide a result (the sanitized run is many times slower).
#
# TTK_TEST_EXAMPLES sets how many examples a property draws (Hypothesis's 100
# otherwise). The test command lowers it where the same properties have been
# explored already in the same run: under the sanitizers, which look for memory
# errors rather than for more inputs, and on the other Python versions, whose
# difference lies in the boundary rather than in the arithmetic.
_common = {"deadline": None, "suppress_health_check": [HealthCheck.too_slow]}
if os.environ.get("TTK_TEST_EXAMPLES"):
    _common["max_examples"] = int(os.environ["TTK_TEST_EXAMPLES"])
settings.register_profile("ci", derandomize=True, database=None, **_common)
settings.register_profile("local", **_common)
settings.load_profile("ci" if "CI" in os.environ else "local")
