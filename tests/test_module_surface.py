"""The module surface: version, argument conversion, errors, dtype and method dispatch."""

import array
import re
import struct

import numpy as np
import pytest
from reference import assert_identical, bits, ref_sort, ref_uff

import kedo

SIGNATURE = "(query: numpy.ndarray, tolerance: float, sorted_index: bool, method: str) -> tuple"
HEADER = (
    "unique_rows(): incompatible function arguments. The following argument types are "
    "supported:\n    1. " + SIGNATURE + "\n\nInvoked with: "
)
DTYPE_MESSAGE = (
    "KEDO supports float32 and float64. For integer types, use `np.unique(data, axis=0)`"
)

# Exact duplicate rows: the sort method merges them at tolerance 0, Uff never does.
DUPLICATES = np.array([[0.0, 1.0], [0.0, 2.0], [0.0, 1.0]])


def call(*args, **kwargs):
    return kedo.unique_rows(*args, **kwargs)


def invoked_with(excinfo):
    message = str(excinfo.value)
    assert message.startswith(HEADER), message
    return message[len(HEADER) :]


def chose_uff(method):
    """Which method ran, told apart by the duplicates at tolerance 0."""
    _, index, inverse = call(DUPLICATES, 0.0, True, method)
    if index.tolist() == [0, 1] and inverse.tolist() == [0, 1, 0]:
        return False
    assert index.tolist() == [0, 1, 2] and inverse.tolist() == [0, 1, 2]
    return True


def test_version_and_doc():
    assert kedo.__version__ == "0.1.0" and type(kedo.__version__) is str
    assert kedo.unique_rows.__doc__ == "unique_rows" + SIGNATURE + "\n"
    assert [n for n in dir(kedo) if not n.startswith("__")] == ["unique_rows"]


# ---------------------------------------------------------------- arguments


class ArrayLike:
    def __array__(self, dtype=None, copy=None):
        return np.zeros((2, 2))


@pytest.mark.parametrize(
    "query",
    [
        [[0.0, 1.0]],
        ((0.0, 1.0),),
        1.0,
        None,
        np.float64(1.0),
        memoryview(array.array("d", [0.0, 1.0])),
        array.array("d", [0.0, 1.0]),
        ArrayLike(),
    ],
    ids=["list", "tuple", "float", "None", "np-scalar", "memoryview", "array", "__array__"],
)
def test_query_must_be_ndarray(query):
    with pytest.raises(TypeError) as excinfo:
        call(query, 0.1, False, "sort")
    assert invoked_with(excinfo) == f"{query!r}, 0.1, False, 'sort'"


class Floaty:
    def __float__(self):
        return 0.5


class Indexy:
    def __index__(self):
        return 1


# Tolerances that must act as the given float: 1 as 1.0 merges rows 1 apart.
@pytest.mark.parametrize(
    "tolerance, expected",
    [
        (1.5, 1.5),
        (1, 1.0),
        (True, 1.0),
        (Floaty(), 0.5),
        (Indexy(), 1.0),
        (np.float32(1.5), 1.5),
        (np.float64(0.5), 0.5),
        (np.int64(1), 1.0),
        (np.float16(1.5), 1.5),
    ],
    ids=[
        "float",
        "int",
        "bool",
        "__float__",
        "__index__",
        "np.float32",
        "np.float64",
        "np.int64",
        "np.float16",
    ],
)
def test_tolerance_conversion(tolerance, expected, method):
    x = np.array([[0.0], [0.5], [1.0], [1.5], [2.25]])
    assert (
        call(x, tolerance, True, method)[2].tolist() == call(x, expected, True, method)[2].tolist()
    )


@pytest.mark.parametrize(
    "tolerance",
    ["0.1", None, 1j, complex(0.5, 0), 10**400, [0.1], b"1"],
    ids=["str", "None", "complex", "complex-real", "huge-int", "list", "bytes"],
)
def test_tolerance_refused(tolerance):
    x = np.zeros((2, 2))
    with pytest.raises(TypeError) as excinfo:
        call(x, tolerance, False, "sort")
    assert invoked_with(excinfo).endswith(f", {tolerance!r}, False, 'sort'")


@pytest.mark.parametrize(
    "flag, expected",
    [
        (None, False),
        (False, False),
        (True, True),
        (0, False),
        (1, True),
        (2.5, True),
        (0.0, False),
        (np.bool_(True), True),
        (np.bool_(False), False),
        (np.int8(1), True),
        (np.array([1]), True),
        (np.array([[0]]), False),
    ],
)
def test_sorted_index_conversion(flag, expected, method):
    # Groups found in another order than row order: only sorted_index sorts index.
    x = np.array([[3.0], [1.0], [2.0], [1.0]])
    index = call(x, 0.0, flag, method)[1]
    want = call(x, 0.0, expected, method)[1]
    np.testing.assert_array_equal(index, want)
    assert (np.diff(index) > 0).all() == expected


@pytest.mark.parametrize(
    "flag",
    ["", "yes", [True], (), np.array([1, 0]), np.zeros(0)],
    ids=["empty-str", "str", "list", "tuple", "two-elements", "no-elements"],
)
def test_sorted_index_refused(flag):
    with pytest.raises(TypeError):
        call(np.zeros((2, 2)), 0.1, flag, "sort")


@pytest.mark.parametrize(
    "method",
    [None, 1, ["a"], "\ud800", "a\udfff"],
    ids=["None", "int", "list", "surrogate", "late-surrogate"],
)
def test_method_refused(method):
    with pytest.raises(TypeError) as excinfo:
        call(DUPLICATES, 0.0, False, method)
    assert invoked_with(excinfo).endswith(f", 0.0, False, {method!r}")


def test_keywords_in_any_order():
    expected = call(DUPLICATES, 0.0, True, "sort")
    for kwargs in (
        dict(method="sort", sorted_index=True, tolerance=0.0, query=DUPLICATES),
        dict(sorted_index=True, query=DUPLICATES, method="sort", tolerance=0.0),
    ):
        got = call(**kwargs)
        for a, b in zip(got, expected, strict=True):
            np.testing.assert_array_equal(a, b)
    got = call(DUPLICATES, 0.0, method="sort", sorted_index=True)
    np.testing.assert_array_equal(got[2], expected[2])


@pytest.mark.parametrize(
    "args, kwargs, invoked",
    [
        ((), {}, ""),
        ((1.5,), {}, "1.5"),
        ((1.5, 0.1, False), {}, "1.5, 0.1, False"),
        ((1.5, 0.1, False, "s", 5), {}, "1.5, 0.1, False, 's', 5"),
        ((1.5, 0.1, False), {"methd": "s"}, "1.5, 0.1, False; kwargs: methd='s'"),
        ((1.5, 0.1, False, "s"), {"extra": 1}, "1.5, 0.1, False, 's'; kwargs: extra=1"),
        (
            (1.5, 0.1, False),
            {"method": "s", "query": 2.5},
            "1.5, 0.1, False; kwargs: method='s', query=2.5",
        ),
        ((), {"query": 1.5, "tolerance": 0.1}, "kwargs: query=1.5, tolerance=0.1"),
    ],
    ids=["none", "one", "three", "five", "misspelt", "unknown", "twice", "kw-only"],
)
def test_wrong_arguments(args, kwargs, invoked):
    with pytest.raises(TypeError) as excinfo:
        call(*args, **kwargs)
    assert invoked_with(excinfo) == invoked


def test_wrong_arguments_with_valid_array_named():
    # Everything valid but one argument too many: no call, the array's repr shown.
    x = np.zeros((1, 2), np.float32)
    with pytest.raises(TypeError) as excinfo:
        call(x, 0.1, False, "s", extra=None)
    assert invoked_with(excinfo) == f"{x!r}, 0.1, False, 's'; kwargs: extra=None"


# ------------------------------------------------------------------- dtypes


@pytest.mark.parametrize(
    "dtype",
    [
        np.int32,
        np.int64,
        np.uint8,
        np.float16,
        np.longdouble,
        np.complex64,
        np.complex128,
        np.bool_,
        object,
        "U3",
        "S3",
        "datetime64[s]",
        [("a", np.float64), ("b", np.float64)],
    ],
    ids=lambda d: np.dtype(d).str if not isinstance(d, list) else "structured",
)
@pytest.mark.parametrize("method", ["sort", "a", "A", b"a", ""])
@pytest.mark.parametrize("shape", [(3, 2), (4,), ()])
def test_dtype_refused(dtype, method, shape):
    if np.dtype(dtype) == np.dtype(np.float64):  # longdouble on platforms where it is double
        pytest.skip("longdouble is float64 here")
    x = np.zeros(shape, dtype=dtype)
    with pytest.raises(RuntimeError) as excinfo:
        call(x, 0.1, False, method)
    assert str(excinfo.value) == DTYPE_MESSAGE


# ----------------------------------------------------------------- dispatch


@pytest.mark.parametrize(
    "method, uff",
    [
        ("a", True),
        ("A", True),
        ("Anything", True),
        ("apple", True),
        (b"a", True),
        (b"A", True),
        (bytearray(b"A"), True),
        (bytearray(b"aardvark"), True),
        ("", False),
        (" a", False),
        ("sort", False),
        ("b", False),
        ("á", False),
        ("Á", False),
        ("\x00a", False),
        (b"", False),
        (bytearray(), False),
        ("!", False),
        ("\u0100", False),
    ],
)
def test_dispatch_by_first_byte(method, uff):
    assert chose_uff(method) is uff


def test_dispatch_every_first_byte():
    uff = [b for b in range(256) if chose_uff(bytes([b, ord("x")]))]
    assert uff == [ord("A"), ord("a")]


# ---------------------------------------------------------------- tolerance


def test_float32_tolerance_rounds_to_nearest(method):
    # 0.1 narrows to the nearest float32, 0.1f. Rows 0 and 0.1f, and 0 and its
    # two neighbours, tell it from both neighbours of 0.1f whatever the method.
    tol = np.float32(0.1)
    assert float(tol) != 0.1
    model = ref_uff if method == "a" else ref_sort
    for value in (tol, np.nextafter(tol, np.float32(0)), np.nextafter(tol, np.float32(1))):
        x = np.array([[0.0], [value]], dtype=np.float32)
        got = call(x, 0.1, False, method)
        assert_identical(got, model(x, tol, False))
    # Sort method: |d| <= tolerance matches.
    x = np.array([[0.0], [tol]], dtype=np.float32)
    assert call(x, 0.1, False, "sort")[1].size == 1
    assert call(x.astype(np.float64), 0.1, False, "sort")[1].size == 2


def test_float32_tolerance_beyond_range_is_infinite(sorted_index):
    # A difference of inf is within an infinite tolerance and beyond any finite one.
    x = np.array([[np.inf], [0.0], [-np.inf], [5.0]], dtype=np.float32)
    assert call(x, 1e300, sorted_index, "sort")[2].tolist() == [0, 0, 0, 0]
    assert call(x, 1e39, sorted_index, "sort")[2].tolist() == [0, 0, 0, 0]
    assert call(x, -1e300, sorted_index, "sort")[1].size == 4
    assert call(x.astype(np.float64), 1e300, sorted_index, "sort")[1].size == 3  # 0 and 5 merge
    # Uff: an infinite tolerance takes every finite row whose squared distance stays finite.
    y = np.array([[1e18, -1e18], [0.0, 0.0], [-1e18, 1e18], [1.0, 2.0]], dtype=np.float32)
    assert call(y, 1e300, sorted_index, "a")[2].tolist() == [0, 0, 0, 0]
    assert call(y, -1e300, sorted_index, "a")[1].size == 4


def test_float32_tolerance_largest_finite():
    # Just below the rounding boundary the tolerance narrows to FLT_MAX, not inf,
    # so a difference of inf is more than the tolerance; at the boundary it is inf.
    just_below = struct.unpack("<d", struct.pack("<Q", 0x47EFFFFFEFFFFFFF))[0]
    boundary = struct.unpack("<d", struct.pack("<Q", 0x47EFFFFFF0000000))[0]
    assert np.float32(just_below) == np.finfo(np.float32).max
    x = np.array([[np.inf], [0.0]], dtype=np.float32)
    assert call(x, just_below, False, "sort")[1].size == 2
    assert call(x, boundary, False, "sort")[1].size == 1
    assert call(x, -boundary, False, "sort")[1].size == 2
    assert call(x, float("nan"), False, "sort")[1].size == 1


@pytest.mark.parametrize(
    "base, delta",
    [(b, d) for b in (0.0, 1.0, -7.25) for d in (0.1, 0.3, 1.0 / 3.0, 12345.678, 1e-7)]
    + [(0.0, 1e-300), (1e-300, 2e-300)],
)
def test_float64_tolerance_passed_bit_for_bit(base, delta):
    # A difference exactly equal to the tolerance matches for the sort method
    # (|d| <= tol) but not for Uff (strict). One ulp less splits the sort
    # method's group; one ulp more joins the Uff rows where d^2 stays below.
    x = np.array([[base], [base + delta]])
    d = float(x[1, 0] - x[0, 0])
    assert call(x, d, False, "sort")[1].size == 1
    assert call(x, np.nextafter(d, 0.0), False, "sort")[1].size == 2
    assert call(x, d, False, "a")[1].size == 2
    bigger = float(np.nextafter(d, 1.0))
    assert call(x, bigger, False, "a")[1].size == (1 if bigger * bigger > d * d else 2)


def test_results_are_new_arrays(method, dtype):
    x = np.array([[1.0, 2.0], [1.0, 2.0], [0.0, 5.0]], dtype=dtype)
    saved = x.copy()
    unique, index, inverse = call(x, 0.5, False, method)
    for a in (unique, index, inverse):
        assert type(a) is np.ndarray and a.flags.c_contiguous and a.flags.owndata
        assert a.flags.writeable and not np.shares_memory(a, x)
    unique[...] = 7
    np.testing.assert_array_equal(bits(x), bits(saved))
    assert re.fullmatch(r"float(32|64)", unique.dtype.name) and unique.dtype == x.dtype
