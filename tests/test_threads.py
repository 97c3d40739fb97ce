"""Concurrent calls from Python threads give the serial results."""

import sys
import threading

import numpy as np
import pytest

import kedo
from invariants import same_result

THREADS = 8
ROUNDS = 25
CASES = [(m, s, t) for m in ("sort", "a") for s in (False, True) for t in (0.0, 0.3)]


def make_input(seed, dtype):
    rng = np.random.default_rng(seed)
    values = rng.integers(0, 4, size=(300, 3)).astype(dtype)
    return values + rng.normal(scale=0.05, size=values.shape).astype(dtype)


@pytest.fixture
def frequent_switches():
    # Hand the interpreter lock around as often as possible.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_threads_match_serial_calls(dtype, frequent_switches):
    shared = make_input(0, dtype)
    shared.flags.writeable = False
    private = [make_input(seed, dtype) for seed in range(1, THREADS + 1)]
    inputs = [shared, *private]
    serial = {(k, case): kedo.unique_rows(inputs[k], case[2], case[1], case[0])
              for k in range(len(inputs)) for case in CASES}  # fmt: skip

    barrier = threading.Barrier(THREADS)
    mismatches = []
    errors = []

    def work(thread):
        try:
            barrier.wait()
            for r in range(ROUNDS):
                for case in CASES:
                    for k in (0, thread + 1):  # the shared input, then its own
                        got = kedo.unique_rows(inputs[k], case[2], case[1], case[0])
                        if not same_result(got, serial[(k, case)]):
                            mismatches.append((thread, r, k, case))
        except Exception as error:  # reported below; a thread must not die silently
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert not mismatches
