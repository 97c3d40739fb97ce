"""Every memory layout of the input reads as the same rows; the input is never written."""

import tracemalloc

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided
from reference import assert_identical, assert_well_formed, bits

import kedo

RNG = np.random.default_rng(20261208)


def base_data(dtype):
    # Clusters of near-equal rows plus exact duplicates, so both methods merge rows.
    centres = RNG.integers(-3, 4, size=(6, 3)).astype(dtype)
    rows = centres[RNG.integers(0, 6, size=40)]
    rows[::3] += RNG.uniform(-0.01, 0.01, size=rows[::3].shape).astype(dtype)
    return rows


class Sub(np.ndarray):
    pass


def misaligned(x):
    raw = bytearray(x.nbytes + 1)
    view = np.frombuffer(raw, dtype=x.dtype, count=x.size, offset=1).reshape(x.shape)
    view[...] = x
    assert not view.flags.aligned
    return view


def read_only(x):
    x = x.copy()
    x.flags.writeable = False
    return x


def big_endian(x):
    y = x.astype(x.dtype.newbyteorder(">"))
    assert y.dtype.char == x.dtype.char
    return y


def padded_slice(x):
    # The rows inside a larger array: strided in both dimensions.
    big = np.full((2 * x.shape[0] + 1, 3 * x.shape[1] + 2), np.nan, dtype=x.dtype)
    big[1::2, 2::3] = x
    return big[1::2, 2::3]


def reversed_rows(x):
    return np.ascontiguousarray(x[::-1])[::-1]


def reversed_both(x):
    return np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1]


def broadcast(x):
    # A zero-stride view of one row repeated; compared with the same rows materialised.
    return np.broadcast_to(x[3], x.shape)


LAYOUTS = {
    "F-order": np.asfortranarray,
    "transposed": lambda x: np.ascontiguousarray(x.T).T,
    "slices": padded_slice,
    "negative-rows": reversed_rows,
    "negative-both": reversed_both,
    "big-endian": big_endian,
    "big-endian-F": lambda x: np.asfortranarray(big_endian(x)),
    "read-only": read_only,
    "subclass": lambda x: x.copy().view(Sub),
    # Read as its data, mask ignored, as the README says.
    "masked": lambda x: np.ma.masked_array(x, mask=np.arange(x.size).reshape(x.shape) % 3 == 0),
    "misaligned": misaligned,
    "broadcast": broadcast,
    "zero-stride-columns": lambda x: np.broadcast_to(x[:, :1], x.shape),
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
@pytest.mark.parametrize("tolerance", [0.0, 0.05])
def test_layout_reads_same_rows(layout, tolerance, dtype, method, sorted_index):
    x = LAYOUTS[layout](base_data(dtype))
    fresh = np.array(x, dtype=dtype, order="C")  # native, C-contiguous copy
    saved = x.copy()
    writeable = x.flags.writeable
    got = kedo.unique_rows(x, tolerance, sorted_index, method)
    assert_identical(got, kedo.unique_rows(fresh, tolerance, sorted_index, method))
    assert_well_formed(fresh, got)
    np.testing.assert_array_equal(bits(x), bits(saved))
    assert x.dtype == saved.dtype and x.flags.writeable == writeable


def test_input_never_written(dtype, method, sorted_index):
    # A native C-contiguous array is read in place; its bytes stay as they were.
    x = base_data(dtype)
    x[5] = np.nan
    x[7, 1] = -0.0
    saved = x.tobytes()
    kedo.unique_rows(x, 0.5, sorted_index, method)
    assert x.tobytes() == saved
    x.flags.writeable = False
    assert_identical(
        kedo.unique_rows(x, 0.5, sorted_index, method),
        kedo.unique_rows(x.copy(), 0.5, sorted_index, method),
    )


def peak_traced(fn):
    """Peak bytes that NumPy and Python allocate while fn runs."""
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("dtype", [np.float32, np.float64], ids=["float32", "float64"])
def test_native_c_array_not_copied(dtype, method):
    # Many duplicates: the results are small, so any copy of the input shows in the peak.
    x = np.zeros((100_000, 16), dtype=dtype)
    x[::2] = 1
    # Uff allocates unique at full size before shrinking it.
    bound = x.nbytes * (1.5 if method == "a" else 0.5)
    copied = peak_traced(lambda: kedo.unique_rows(np.asfortranarray(x), 0.0, False, method))
    in_place = peak_traced(lambda: kedo.unique_rows(x, 0.0, False, method))
    assert copied - in_place >= x.nbytes * 0.9
    assert in_place < bound


@pytest.mark.parametrize(
    "shape, axis",
    [((2**31, 2), 0), ((2, 2**31), 1), ((2**31, 2**20), 0), ((2**40, 0), 0), ((0, 2**33), 1)],
)
@pytest.mark.parametrize("dtype", [np.float32, np.float64], ids=["float32", "float64"])
def test_extent_too_large_refused_without_copy(shape, axis, dtype, method, sorted_index):
    x = as_strided(np.zeros(1, dtype=dtype), shape=shape, strides=(0, 0))
    peak = peak_traced(
        lambda: pytest.raises(ValueError, kedo.unique_rows, x, 0.1, sorted_index, method)
    )
    assert peak < 1 << 20
    with pytest.raises(ValueError, match=f"extent {shape[axis]} of axis {axis}"):
        kedo.unique_rows(x, 0.1, sorted_index, method)


# Extents large enough that a copy would show; small enough that one would not hurt.
@pytest.mark.parametrize(
    "shape, method, error, message",
    [
        ((2**24,), "sort", RuntimeError, "input array must be 2D"),
        ((2**24,), "a", IndexError, "invalid axis: 1 (ndim = 1)"),
        ((2**22, 2, 2), "sort", RuntimeError, "input array must be 2D"),
        ((2**22, 2, 2), "a", RuntimeError, "input array must be 2D"),
        ((4, 2**24, 0), "a", RuntimeError, "input array must be 2D"),
    ],
)
def test_wrong_dimensions_refused_without_copy(shape, method, error, message):
    x = as_strided(np.zeros(1, np.float32), shape=shape, strides=(0,) * len(shape))
    peak = peak_traced(lambda: pytest.raises(error, kedo.unique_rows, x, 0.1, False, method))
    assert peak < 1 << 20
    with pytest.raises(error) as excinfo:
        kedo.unique_rows(x, 0.1, False, method)
    assert str(excinfo.value) == message
