"""Shared test settings: hypothesis profiles chosen by ENGINE_HYPOTHESIS_PROFILE.

"ci" (the default) keeps the suite quick, "sanitize" runs fewer examples under the
slower sanitizer build, and "long" is for long local runs.
"""

import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "sanitize", max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "long", max_examples=20000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("ENGINE_HYPOTHESIS_PROFILE", "ci"))
