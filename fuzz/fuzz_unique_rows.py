#!/usr/bin/env python3
"""Fuzzes kedo.unique_rows with atheris.

The input bytes choose a dtype (float32, float64 or a refused one), a byte
order, a shape (0 to 3 dimensions, empty extents, huge zero-stride extents), a
memory layout, the values, the tolerance, sorted_index and method. A call may
only fail with the exception that its arguments call for (or MemoryError); a
result must satisfy the invariants of the result tuple and must not depend on
the layout or byte order of the input, which stays untouched.

    python fuzz/fuzz_unique_rows.py [libFuzzer flags] [corpus dirs or files]
    python fuzz/fuzz_unique_rows.py --random N [--seed S] [--module-dir D]  # without atheris
"""

import math
import os
import random
import sys
import traceback

import numpy as np

import kedo

np.seterr(all="ignore")  # casts of huge values to float32 overflow on purpose
NAN = math.nan
INF = math.inf
PALETTE = np.array(
    [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1.5, NAN, -NAN, INF, -INF, 5e-324, 1.4e-45, 1e-30, 3.4e38,
     1.7e308, 1e-7, 0.1, 3.0, 1.0 + 2**-23, 1.0 + 2**-52, 100.0]
)  # fmt: skip
TOLERANCES = [0.0, -0.0, 1e-30, 1e-7, 0.1, 0.5, 1.0, 2.0, 3.0, -1.0, NAN, INF, -INF, 1e300,
              5e-324, 3.5e38, 1e-45, 2**-24]  # fmt: skip
REFUSED = [np.int32, np.int64, np.uint8, np.float16, np.longdouble, np.complex64, np.bool_,
           np.object_, np.dtype("S4"), np.dtype([("x", np.float64)])]  # fmt: skip
METHODS = ["a", "A", "auto", "s", "sort", "", " a", "b", "\u00e1", b"a", bytearray(b"A"), b"s"]
BAD_METHODS = [None, 1, ["a"], "\ud800"]
FLAGS = [True, False, None, 0, 1, 2.5, np.True_, np.float64(0.0), np.array([1])]
BAD_FLAGS = ["x", [True], np.array([1, 0])]
HUGE = 2**31


class SubArray(np.ndarray):
    pass


class Case:
    """One call: its arguments and the exception they call for (None: success)."""

    def __init__(self):
        self.query = None
        self.tolerance = 0.0
        self.sorted_index = False
        self.method = "s"
        self.expected = None


def element_type(dtype):
    return {"f": np.float32, "d": np.float64}.get(np.dtype(dtype).char)


def make_values(fdp, count, dtype):
    """count values of a float dtype: palette picks or raw bytes."""
    if count == 0:
        return np.zeros(0, dtype)
    if fdp.ConsumeBool():
        picks = np.frombuffer(fdp.ConsumeBytes(count).ljust(count, b"\0"), np.uint8)
        return PALETTE[picks % len(PALETTE)].astype(dtype)
    size = count * np.dtype(dtype).itemsize
    return np.frombuffer(fdp.ConsumeBytes(size).ljust(size, b"\0"), dtype).copy()


def lay_out(fdp, logical):
    """An array equal to `logical` in one of several memory layouts."""
    layout = fdp.ConsumeIntInRange(0, 8)
    if layout == 1:
        return np.asfortranarray(logical)
    if layout == 2 and logical.ndim >= 1:  # strided along every axis
        big = np.zeros(tuple(2 * n for n in logical.shape), logical.dtype)
        view = big[tuple(slice(None, None, 2) for _ in logical.shape)]
        view[...] = logical
        return view
    if layout == 3 and logical.ndim >= 1:  # negative strides
        flipped = np.ascontiguousarray(logical[tuple(slice(None, None, -1) for _ in logical.shape)])
        return flipped[tuple(slice(None, None, -1) for _ in logical.shape)]
    if layout == 4:
        frozen = logical.copy()
        frozen.flags.writeable = False
        return frozen
    if layout == 5:
        return logical.copy().view(SubArray)
    if layout == 6 and not logical.dtype.hasobject:  # misaligned
        raw = np.zeros(logical.nbytes + 1, np.uint8)
        view = raw[1:].view(logical.dtype).reshape(logical.shape)
        view[...] = logical
        return view
    if layout == 7 and logical.ndim == 2:  # transposed copy
        return np.ascontiguousarray(logical.T).T
    return logical.copy()


def make_query(fdp, case):
    kind = fdp.ConsumeIntInRange(0, 31)
    if kind == 0:
        case.query = [[1.0, 2.0], [1.0, 2.0]]
        case.expected = TypeError
        return
    if kind == 1:
        case.query = None
        case.expected = TypeError
        return
    if kind == 2:  # extents beyond int, without the memory behind them
        dtype = np.float32 if fdp.ConsumeBool() else np.float64
        shape = [(HUGE, 1), (1, HUGE), (HUGE, 0), (0, HUGE), (HUGE + 5, 2)][
            fdp.ConsumeIntInRange(0, 4)
        ]
        case.query = np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape, (0, 0))
        case.expected = ValueError
        return
    refused = kind == 3
    if refused:
        dtype = np.dtype(REFUSED[fdp.ConsumeIntInRange(0, len(REFUSED) - 1)])
    else:
        dtype = np.dtype(np.float32 if fdp.ConsumeBool() else np.float64)
    ndim = [2, 2, 2, 2, 0, 1, 3, 2][fdp.ConsumeIntInRange(0, 7)]
    shape = tuple(fdp.ConsumeIntInRange(0, 12 if axis == 0 else 5) for axis in range(ndim))
    count = math.prod(shape)
    if refused:
        logical = np.zeros(shape, dtype)
        case.expected = RuntimeError
    else:
        logical = make_values(fdp, count, dtype).reshape(shape)
        if fdp.ConsumeIntInRange(0, 3) == 0:
            logical = logical.astype(dtype.newbyteorder())
    case.query = lay_out(fdp, logical)


def make_arguments(fdp, case):
    choice = fdp.ConsumeIntInRange(0, 15)
    if choice < len(TOLERANCES):
        case.tolerance = TOLERANCES[choice]
    elif choice == 15:
        case.tolerance = [None, "0.1", 10**400, 1j][fdp.ConsumeIntInRange(0, 3)]
        case.expected = TypeError
    else:
        case.tolerance = [fdp.ConsumeFloat(), 1, np.float32(0.5), np.float64(0.25)][choice - 12]

    if fdp.ConsumeIntInRange(0, 15) == 0:
        case.sorted_index = BAD_FLAGS[fdp.ConsumeIntInRange(0, len(BAD_FLAGS) - 1)]
        case.expected = TypeError
    else:
        case.sorted_index = FLAGS[fdp.ConsumeIntInRange(0, len(FLAGS) - 1)]

    if fdp.ConsumeIntInRange(0, 15) == 0:
        case.method = BAD_METHODS[fdp.ConsumeIntInRange(0, len(BAD_METHODS) - 1)]
        case.expected = TypeError
    else:
        case.method = METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)]


def selects_uff(method):
    first = method[:1].encode() if isinstance(method, str) else bytes(method[:1])
    return first in (b"a", b"A")


def expected_failure(case):
    """The exception the call must raise, or None."""
    if case.expected in (TypeError, ValueError):
        return case.expected
    query = case.query
    if element_type(query.dtype) is None:
        return RuntimeError
    if selects_uff(case.method):
        if query.ndim < 2:
            return IndexError
        return RuntimeError if query.ndim > 2 else None
    return None if query.ndim == 2 else RuntimeError


MESSAGES = {
    RuntimeError: ("KEDO supports float32 and float64", "input array must be 2D"),
    IndexError: ("invalid axis",),
    ValueError: ("exceeds the supported maximum",),
}


def bits(array):
    return np.ascontiguousarray(array).reshape(-1).view(np.uint8)


def check_result(case, result):
    query = case.query
    native = query.astype(query.dtype.newbyteorder("="), copy=False)
    assert isinstance(result, tuple) and len(result) == 3
    unique, index, inverse = result
    height, width = query.shape
    count = index.shape[0]
    assert type(unique) is np.ndarray and unique.dtype == native.dtype
    assert index.dtype == np.int32 and inverse.dtype == np.int32
    assert unique.shape == (count, width) and inverse.shape == (height,)
    assert unique.flags.c_contiguous and unique.flags.writeable
    assert (count >= 1) if height else count == 0
    assert np.all((index >= 0) & (index < height))
    assert np.all((inverse >= 0) & (inverse < count))
    assert np.array_equal(inverse[index], np.arange(count))
    assert np.array_equal(bits(unique), bits(native[index]))
    if case.sorted_index is not None and bool(case.sorted_index):
        assert np.all(np.diff(index) > 0)


def call(case):
    return kedo.unique_rows(case.query, case.tolerance, case.sorted_index, case.method)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    case = Case()
    make_query(fdp, case)
    make_arguments(fdp, case)
    expected = expected_failure(case)
    before = (
        bytes(bits(case.query)) if isinstance(case.query, np.ndarray) and not expected else None
    )
    try:
        result = call(case)
    except MemoryError:
        return
    except Exception as error:  # noqa: BLE001
        if expected is None or type(error) is not expected:
            raise AssertionError(f"{type(error).__name__}: {error}; expected {expected}") from error
        prefixes = MESSAGES.get(expected, ("",))
        assert any(p in str(error) for p in prefixes) or expected is TypeError, str(error)
        return
    assert expected is None, f"no {expected.__name__} raised"
    check_result(case, result)
    assert bytes(bits(case.query)) == before, "input modified"
    # The same answer for the same values in native C order.
    plain = Case()
    plain.__dict__.update(case.__dict__)
    plain.query = np.ascontiguousarray(case.query, case.query.dtype.newbyteorder("="))
    again = call(plain)
    for mine, theirs in zip(result, again, strict=True):
        assert np.array_equal(bits(mine), bits(theirs)) and mine.shape == theirs.shape


class RandomProvider:
    """The part of atheris.FuzzedDataProvider the harness uses, over random bytes."""

    def __init__(self, data):
        self._rng = random.Random(data)

    def ConsumeBool(self):  # noqa: N802
        return self._rng.random() < 0.5

    def ConsumeIntInRange(self, low, high):  # noqa: N802
        return self._rng.randint(low, high)

    def ConsumeBytes(self, count):  # noqa: N802
        return self._rng.randbytes(count)

    def ConsumeFloat(self):  # noqa: N802
        return np.frombuffer(self._rng.randbytes(8), np.float64)[0].item()


def run_random(count, seed):
    failures = 0
    for i in range(count):
        data = seed.to_bytes(8, "little") + i.to_bytes(8, "little")
        try:
            test_one_input(data)
        except Exception as error:  # noqa: BLE001
            failures += 1
            where = traceback.extract_tb(error.__traceback__)[-1]
            print(f"input {data.hex()}: line {where.lineno}: {error!r}", file=sys.stderr)
    print(f"fuzz_unique_rows: {count - failures} passed, {failures} failed")
    return 1 if failures else 0


def main(argv):
    global atheris
    if "--random" in argv:
        import types

        atheris = types.SimpleNamespace(FuzzedDataProvider=RandomProvider)
        count = int(argv[argv.index("--random") + 1])
        seed = int(argv[argv.index("--seed") + 1]) if "--seed" in argv else 0
        if "--module-dir" in argv:  # make sure the intended build is under test
            expected = os.path.abspath(argv[argv.index("--module-dir") + 1])
            assert os.path.dirname(os.path.abspath(kedo.__file__)) == expected, kedo.__file__
        return run_random(count, seed)
    import atheris as fuzzer

    atheris = fuzzer
    for function in (make_values, lay_out, make_query, make_arguments, expected_failure):
        atheris.instrument_func(function)
    atheris.Setup(argv, atheris.instrument_func(test_one_input))
    atheris.Fuzz()
    return 0


atheris = None

if __name__ == "__main__":
    sys.exit(main(sys.argv))
