"""The toolkit package's tests (a package of their own, so that neither this
file nor the test modules clash by name with those of tests/python): the
Hypothesis profile of the whole suite."""

from __future__ import annotations

import os
from hypothesis import HealthCheck, settings

# As in tests/python: derandomized in CI, never decided by timing.
_untimed = {"deadline": None, "suppress_health_check": [HealthCheck.too_slow]}
settings.register_profile("ci", derandomize=True, database=None, **_untimed)
settings.register_profile("local", **_untimed)
settings.load_profile("ci" if "CI" in os.environ else "local")
