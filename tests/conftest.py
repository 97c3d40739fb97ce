"""Hypothesis profiles and shared fixtures.

KEDO_HYPOTHESIS_PROFILE selects the profile: "ci" (default, 1000 examples
per property, well under a minute) or "long" (10 000 examples per property).
"""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci",
    max_examples=1000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "long",
    max_examples=10_000,
    deadline=None,
    suppress_health_check=list(HealthCheck),
)
settings.load_profile(os.environ.get("KEDO_HYPOTHESIS_PROFILE", "ci"))

DTYPES = [np.float32, np.float64]
SORT_METHODS = ["sort", ""]
UFF_METHODS = ["a", "Uff"]


@pytest.fixture(params=DTYPES, ids=["float32", "float64"])
def dtype(request):
    return request.param


@pytest.fixture(params=[False, True], ids=["unsorted", "sorted"])
def sorted_index(request):
    return request.param


@pytest.fixture(params=["sort", "a"], ids=["sort", "uff"])
def method(request):
    return request.param
