import os

from hypothesis import HealthCheck, settings

# "ci" is the default; KEDO_HYPOTHESIS_PROFILE=long runs 10_000 examples per property.
settings.register_profile(
    "ci", max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "long", max_examples=10_000, deadline=None, suppress_health_check=list(HealthCheck)
)
settings.load_profile(os.environ.get("KEDO_HYPOTHESIS_PROFILE", "ci"))
