"""pytest plugin for runs against the ASan+UBSan build of kedo.

Loaded with ``-p pytest_sanitizers`` by scripts/test.d/30-sanitizers.sh. It
switches Hypothesis to a reduced profile without deadlines (instrumented code
is slower) after every conftest has chosen its own, checks that the
instrumented module is the one imported, and skips tests marked
``no_sanitizers`` (for example those that lower RLIMIT_AS, which ASan's shadow
memory cannot live with).
"""

import os

import pytest

EXAMPLES = int(os.environ.get("KEDO_SANITIZER_EXAMPLES", "25"))


@pytest.hookimpl(trylast=True)
def pytest_configure(config):
    config.addinivalue_line("markers", "no_sanitizers: cannot run under ASan")
    try:
        from hypothesis import HealthCheck, settings
    except ImportError:
        return
    current = settings()
    settings.register_profile(
        "kedo-sanitizers",
        max_examples=min(current.max_examples, EXAMPLES),
        deadline=None,
        suppress_health_check=list(HealthCheck),
        derandomize=True,
    )
    settings.load_profile("kedo-sanitizers")


def pytest_sessionstart(session):
    import kedo

    expected = os.environ.get("KEDO_SANITIZED_MODULE_DIR")
    if expected and os.path.dirname(os.path.abspath(kedo.__file__)) != os.path.abspath(expected):
        raise pytest.UsageError(f"expected the sanitized kedo from {expected}, got {kedo.__file__}")


def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason="cannot run under the sanitizers")
    for item in items:
        if item.get_closest_marker("no_sanitizers") is not None:
            item.add_marker(skip)
