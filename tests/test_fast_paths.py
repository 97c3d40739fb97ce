"""kedo at tolerance 0 against numpy.unique, which deduplicates exactly and orders rows
lexicographically; the data mix ties, +0/-0 and infinities so that both kedo's hashed
exact path and its renumbering by row number are exercised. NaN data take the general
path and must still give a sound partition."""

import numpy as np
import pytest

import kedo


def mixed_rows(rng, height, width, dtype, levels):
    choices = np.array([-np.inf, np.inf, 0.0, -0.0, *np.arange(levels) * 0.5 - 1.0])
    return rng.choice(choices, (height, width)).astype(dtype)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("width", [1, 2, 3, 4, 7, 8])
@pytest.mark.parametrize("levels", [2, 50])
@pytest.mark.parametrize("sorted_index", [False, True])
def test_tolerance_zero_matches_numpy_unique(dtype, width, levels, sorted_index):
    rng = np.random.default_rng(width * 100 + levels)
    x = mixed_rows(rng, 3000, width, dtype, levels)
    unique, index, inverse = kedo.unique_rows(x, 0.0, sorted_index, "sort")

    # numpy.unique sees -0 and +0 as equal values too; add 0 to print them alike.
    expected, first, expected_inverse = np.unique(
        x + dtype(0), axis=0, return_index=True, return_inverse=True
    )
    expected_inverse = expected_inverse.reshape(-1)
    if sorted_index:
        order = np.argsort(first)
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        expected, first, expected_inverse = expected[order], first[order], rank[expected_inverse]
        np.testing.assert_array_equal(index, first)
    assert unique.dtype == dtype
    np.testing.assert_array_equal(unique + dtype(0), expected)
    np.testing.assert_array_equal(inverse, expected_inverse)
    np.testing.assert_array_equal(unique.view(np.uint8), x[index].view(np.uint8))


@pytest.mark.parametrize("sorted_index", [False, True])
@pytest.mark.parametrize("tolerance", [0.0, 0.6])
def test_nan_rows_keep_a_sound_partition(sorted_index, tolerance):
    rng = np.random.default_rng(5)
    x = mixed_rows(rng, 2000, 3, np.float64, 4)
    x[rng.random(x.shape) < 0.05] = np.nan
    unique, index, inverse = kedo.unique_rows(x, tolerance, sorted_index, "sort")
    assert inverse.min() == 0 and inverse.max() == len(index) - 1
    np.testing.assert_array_equal(inverse[index], np.arange(len(index)))
    np.testing.assert_array_equal(unique.view(np.uint8), x[index].view(np.uint8))
    # Every row matches its representative: no column differs by more than the tolerance.
    with np.errstate(invalid="ignore"):
        difference = np.abs(x - x[index][inverse])
    assert not (difference > tolerance).any()
    if sorted_index:
        assert (np.diff(index) > 0).all()
