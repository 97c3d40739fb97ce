"""Memory and references: no leaks on any path, MemoryError when memory runs out."""

import gc
import json
import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import kedo

CALLS = 100_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def leak_cases():
    """(arguments, expected exception or None) for every success and error path."""
    rng = np.random.default_rng(7)
    base = rng.integers(0, 3, size=(40, 3)).astype(np.float64)
    arrays = {
        "f8": base,
        "f4": base.astype(np.float32),
        "f8-F": np.asfortranarray(base),  # copied by the conversion
        "f4-swapped": base.astype(">f4"),  # copied by the conversion
        "f8-readonly": base.copy(),
        "int": base.astype(np.int64),
        "1d": np.zeros(4),
        "0d": np.zeros(()),
        "3d": np.zeros((2, 2, 2), dtype=np.float32),
        "tall": as_strided(np.zeros(1, np.float32), shape=(2**31, 2), strides=(0, 0)),
        "wide": as_strided(np.zeros(1), shape=(2, 2**31), strides=(0, 0)),
    }
    arrays["f8-readonly"].flags.writeable = False
    tolerance = 0.25
    tiny = np.zeros((1, 1))  # the TypeError message holds its repr
    sort, uff = "sort", "auff"
    cases = []
    for name in ("f8", "f4", "f8-F", "f4-swapped", "f8-readonly"):
        for method in (sort, uff):
            for sorted_index in (False, True):
                cases.append(((arrays[name], tolerance, sorted_index, method), None))
    cases += [
        ((arrays["int"], tolerance, True, sort), RuntimeError),
        ((arrays["int"], tolerance, True, uff), RuntimeError),
        ((arrays["1d"], tolerance, False, sort), RuntimeError),
        ((arrays["3d"], tolerance, False, sort), RuntimeError),
        ((arrays["3d"], tolerance, False, uff), RuntimeError),
        ((arrays["0d"], tolerance, False, uff), IndexError),
        ((arrays["1d"], tolerance, False, uff), IndexError),
        ((arrays["tall"], tolerance, False, sort), ValueError),
        ((arrays["tall"], tolerance, True, uff), ValueError),
        ((arrays["wide"], tolerance, False, sort), ValueError),
        ((arrays["wide"], tolerance, True, uff), ValueError),
        (([[1.0, 2.0]], tolerance, False, sort), TypeError),
        ((tiny, "0.1", False, sort), TypeError),
        ((tiny, tolerance, "yes", uff), TypeError),
        ((tiny, tolerance, False, None), TypeError),
        ((tiny, tolerance, np.ones(2, bool), sort), TypeError),
    ]
    return cases


def run_cases(cases, calls):
    for k in range(calls):
        arguments, error = cases[k % len(cases)]
        if error is None:
            kedo.unique_rows(*arguments)
        else:
            try:
                kedo.unique_rows(*arguments)
            except error:
                pass
            else:
                raise AssertionError(f"no {error.__name__} from case {k % len(cases)}")


@pytest.mark.no_sanitizers
def test_no_leak_and_no_reference_change_over_many_calls():
    cases = leak_cases()
    watched = {id(a): a for arguments, _ in cases for a in arguments}
    watched = list(watched.values())
    run_cases(cases, 5_000)  # warm-up: lazy lookups, allocator pools
    gc.collect()
    references = [sys.getrefcount(a) for a in watched]
    blocks = sys.getallocatedblocks()
    resident = resident_bytes()
    run_cases(cases, CALLS)
    gc.collect()
    growth = resident_bytes() - resident
    assert [sys.getrefcount(a) for a in watched] == references
    assert growth < 2**20, f"resident memory grew by {growth} bytes over {CALLS} calls"
    # A leaked array, tuple or exception object shows up here long before it does in RSS.
    assert sys.getallocatedblocks() - blocks < 100


@pytest.mark.no_sanitizers
@pytest.mark.parametrize("method", ["sort", "a"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_empty_input_costs_nothing_whatever_its_width(method, dtype):
    # No data, but a width that scratch in proportion to it would turn into gigabytes.
    query = np.broadcast_to(np.zeros((1, 1), dtype=dtype), (0, 2**31 - 1))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), hard))
    try:
        unique, index, inverse = kedo.unique_rows(query, 0.5, True, method)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert unique.shape == (0, 2**31 - 1) and unique.dtype == dtype
    assert index.shape == inverse.shape == (0,)


# Runs in a child process: sets a soft address-space limit a little above what the
# process uses, makes one big call per step, then an ordinary call, and reports.
EXHAUSTION_SCRIPT = textwrap.dedent(
    """
    import json, resource, sys
    import numpy as np
    import kedo

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    case, method = sys.argv[1], sys.argv[2]
    rows = 1 << 20
    base = np.arange(rows * 2, dtype=np.float64).reshape(rows, 2) % 1000.0
    query = {
        "f8": base,
        "f4": base.astype(np.float32),
        "f8-F": np.asfortranarray(base),
        "f8-swapped": base.astype(">f8"),
    }[case]
    small = np.array([[1.0, 2.0], [1.0, 2.0], [3.0, 4.0]])
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    start = address_space()
    for margin_mib in [*range(40), *range(40, 104, 8)]:
        limit = address_space() + (margin_mib << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        try:
            result = kedo.unique_rows(query, 0.5, True, method)
            outcome = "ok" if len(result[1]) == 500 else "wrong"
            del result
        except MemoryError as error:
            outcome = "MemoryError: " + str(error)
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        # The next ordinary call, still under the limit.
        _, index, inverse = kedo.unique_rows(small, 0.5, True, method)
        ordinary = index.tolist() == [0, 2] and inverse.tolist() == [0, 0, 1]
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        outcomes.append((margin_mib, outcome, ordinary))
    # Failed calls must give back what they took: a lost output or scratch block
    # (megabytes here) would stay mapped.
    print(json.dumps({"outcomes": outcomes, "growth": address_space() - start}))
    """
)


@pytest.mark.no_sanitizers
@pytest.mark.parametrize("method", ["sort", "a"])
@pytest.mark.parametrize("case", ["f8", "f4", "f8-F", "f8-swapped"])
def test_memory_exhaustion_raises_memory_error(case, method):
    # A fixed mmap threshold: big blocks go back to the system when freed, so the
    # address space measured in the child is what it really holds.
    environment = dict(os.environ, OPENBLAS_NUM_THREADS="1", MALLOC_MMAP_THRESHOLD_="131072")
    child = subprocess.run(
        [sys.executable, "-c", EXHAUSTION_SCRIPT, case, method],
        capture_output=True,
        text=True,
        timeout=300,
        env=environment,
    )
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    outcomes = report["outcomes"]
    assert report["growth"] < 2**20, report
    failures = [outcome for _, outcome, _ in outcomes if outcome != "ok"]
    assert all(outcome.startswith("MemoryError") for outcome in failures), outcomes
    assert outcomes[0][1] != "ok" and outcomes[-1][1] == "ok", outcomes
    assert all(ordinary for _, _, ordinary in outcomes), outcomes
    # The first allocation fails first: the conversion copy, else an output array.
    first = "(1048576, 2) and data type float64" if case in ("f8-F", "f8-swapped") else "(1048576,)"
    assert first in outcomes[0][1], outcomes
    # The core's scratch ran out somewhere too.
    assert any("std::bad_alloc" in outcome for outcome in failures), outcomes
