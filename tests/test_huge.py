"""Extents at and beyond 32 bits."""

import os

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import kedo

METHODS = ["sort", "a"]  # sort method, Uff method


def zero_stride(shape, dtype):
    # Every element aliases one: any shape costs one element of memory.
    return as_strided(np.zeros(1, dtype=dtype), shape=shape, strides=(0, 0))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("dtype", [np.float32, ">f8"])
@pytest.mark.parametrize(
    "shape, axis",
    [((2**31, 2), 0), ((2, 2**31), 1), ((2**40, 1), 0), ((5, 2**40), 1), ((2**31, 2**24), 0)],
)
def test_extent_beyond_int32_is_refused_before_copying(method, dtype, shape, axis):
    query = zero_stride(shape, dtype)
    with pytest.raises(ValueError, match=rf"^unique_rows: extent {shape[axis]} of axis {axis}"):
        kedo.unique_rows(query, 0.5, True, method)


@pytest.mark.skipif(
    os.environ.get("KEDO_HUGE_TESTS") != "1",
    reason="needs about 12 GB; set KEDO_HUGE_TESTS=1",
)
@pytest.mark.parametrize("sorted_index", [False, True])
@pytest.mark.parametrize("method", METHODS)
def test_more_than_2_31_elements(method, sorted_index):
    width = 2**30
    # Zero pages are mapped lazily; only the changed page is written.
    query = np.zeros((3, width), dtype=np.float32)
    query[2, width - 1] = 1.0  # element offset 3 * 2**30 - 1
    unique, index, inverse = kedo.unique_rows(query, 0.5, sorted_index, method)
    assert inverse[0] == inverse[1] != inverse[2]
    if sorted_index:
        assert index.tolist() == [0, 2]
    else:
        assert sorted(index.tolist()) in ([0, 2], [1, 2])
    assert unique.shape == (2, width)
    for group, row in enumerate(index.tolist()):
        assert inverse[row] == group
        last = np.float32(1.0 if row == 2 else 0.0)
        assert unique[group, -1] == last
        assert np.count_nonzero(unique[group, :-1]) == 0
    del unique
