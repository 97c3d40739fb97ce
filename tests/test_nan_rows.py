"""Rows holding NaN must not change how the other rows are grouped."""

import numpy as np
import pytest
from reference import assert_identical, assert_well_formed, partition, ref_sort, ref_uff

import kedo

NAN = float("nan")


def groups_of(inverse, rows):
    """The partition of `inverse` restricted to `rows`, as sets of row numbers."""
    return partition(np.asarray(inverse)[rows]) if len(rows) else []


def with_nan_rows(rng, x, count):
    """x with `count` rows holding NaN inserted at random places; returns (y, clean rows)."""
    nan_rows = rng.choice(x, size=count).copy()
    for row in nan_rows:
        row[rng.random(row.size) < 0.5] = np.nan
        row[rng.integers(row.size)] = np.nan
    y = np.concatenate([x, nan_rows])
    order = rng.permutation(len(y))
    y = y[order]
    clean = np.flatnonzero(order < len(x))
    return y, clean, order[clean]


@pytest.mark.parametrize("method", ["sort", "a"])
def test_nan_row_between_duplicates(method, dtype, sorted_index):
    x = np.array([[1.0, 0.0], [NAN, 5.0], [1.0, 0.0], [NAN, 9.0]], dtype)
    tolerance = 0.0 if method == "sort" else 0.1
    unique, index, inverse = kedo.unique_rows(x, tolerance, sorted_index, method)
    assert_well_formed(x, (unique, index, inverse))
    assert inverse[0] == inverse[2]
    assert len({inverse[0], inverse[1], inverse[3]}) == 3


def test_uff_nan_key_does_not_stop_the_sweep(dtype, sorted_index):
    x = np.array([[0.0, 0.0], [NAN, 0.0], [0.0, 1e-3]], dtype)
    _, index, inverse = kedo.unique_rows(x, 0.1, sorted_index, "a")
    assert partition(inverse) == partition([0, 1, 0])


@pytest.mark.parametrize("seed", range(20))
def test_sort_method_exact_groups_ignore_nan_rows(seed, dtype, sorted_index):
    rng = np.random.default_rng(seed)
    pool = rng.choice([-1.0, -0.0, 0.0, 2.5, np.inf, -np.inf], size=(6, 3)).astype(dtype)
    x = pool[rng.integers(len(pool), size=40)]
    y, clean, original = with_nan_rows(rng, x, 5)
    _, _, inverse_x = kedo.unique_rows(x, 0.0, sorted_index, "sort")
    result = kedo.unique_rows(y, 0.0, sorted_index, "sort")
    assert_well_formed(y, result)
    assert groups_of(result[2], clean) == groups_of(inverse_x, original)
    if sorted_index:
        assert_identical(result, ref_sort(y, 0.0, True))


@pytest.mark.parametrize("seed", range(20))
def test_uff_groups_ignore_nan_rows(seed, dtype, sorted_index):
    rng = np.random.default_rng(seed)
    centres = rng.random((8, 3))
    x = (centres[rng.integers(8, size=40)] + rng.normal(scale=1e-4, size=(40, 3))).astype(dtype)
    y, clean, original = with_nan_rows(rng, x, 5)
    _, _, inverse_x = kedo.unique_rows(x, 0.01, sorted_index, "a")
    result = kedo.unique_rows(y, 0.01, sorted_index, "a")
    assert groups_of(result[2], clean) == groups_of(inverse_x, original)
    assert_identical(result, ref_uff(y, 0.01, sorted_index))


def test_sort_method_orders_nan_last(dtype, sorted_index):
    x = np.array([[NAN, 1.0], [2.0, 5.0], [2.0, 1.0], [-1.0, 7.0], [NAN, 1.0]], dtype)
    result = kedo.unique_rows(x, 0.0, sorted_index, "sort")
    if sorted_index:
        assert_identical(result, ref_sort(x, 0.0, True))
    else:
        np.testing.assert_array_equal(result[0], [[-1.0, 7.0], [2.0, 1.0], [2.0, 5.0], [NAN, 1.0]])
        assert result[2].tolist() == [3, 2, 1, 0, 3]
