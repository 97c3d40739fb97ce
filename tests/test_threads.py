"""Concurrent calls from Python threads give the serial results."""

import sys
import threading
import time

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


@pytest.mark.parametrize("method", ["sort", "a"])
def test_query_written_during_calls(method, frequent_switches):
    """A thread writing the query while calls read it (NumPy drops the interpreter
    lock in its loops) gets some grouping back: never a crash, a hang or a result
    that contradicts itself."""
    rng = np.random.default_rng(7)
    height = 60_000
    patterns = [
        rng.integers(0, 50, size=(height, 3)) * 0.01,  # many equal row sums: long windows
        rng.normal(size=(height, 3)),
        np.where(rng.random((height, 3)) < 0.3, np.nan, rng.integers(0, 5, size=(height, 3))),
    ]
    query = patterns[0].copy()
    stop = threading.Event()

    def write():
        k = 0
        while not stop.is_set():
            np.copyto(query, patterns[k % len(patterns)])
            k += 1

    writer = threading.Thread(target=write)
    writer.start()
    try:
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            for sorted_index in (False, True):
                unique, index, inverse = kedo.unique_rows(query, 0.005, sorted_index, method)
                count = index.shape[0]
                assert unique.shape == (count, 3) and inverse.shape == (height,)
                assert np.all((index >= 0) & (index < height))
                assert np.all((inverse >= 0) & (inverse < count))
                np.testing.assert_array_equal(inverse[index], np.arange(count))
    finally:
        stop.set()
        writer.join()
