"""The sort method on arrays of hundreds to thousands of rows.

Arrays this large are sorted by first value before the comparator finishes
the order. Where the comparator is a strict weak ordering (clusters of noisy
copies far apart against the tolerance) the result must be the stable model's,
bit for bit; elsewhere the grouping must keep its guarantees.
"""

import numpy as np
import pytest
from reference import (
    assert_identical,
    assert_well_formed,
    element_tolerance,
    partition,
    ref_sort,
    sort_match,
)

import kedo


def separated(rng, n, width, dtype, nan_rows):
    """Noisy copies of grid points 1 apart; tolerance 0.1 keeps them apart."""
    centres = rng.integers(0, n // 3 + 1, (n, width)).astype(np.float64)
    x = (centres + rng.normal(0.0, 0.01, (n, width))).astype(dtype)
    if nan_rows:
        x[rng.integers(0, n, 5), rng.integers(0, max(width, 1), 5)] = np.nan
    return x


def chained(rng, n, width, dtype):
    """First values 0.06 apart with gaps, later ones on a grid of 0.25: with
    tolerance 0.1 near rows chain, and the order among them is inconsistent."""
    x = rng.integers(0, 5, (n, width)) * 0.25
    x[:, 0] = rng.integers(0, n, n) * 0.06
    return x.astype(dtype)


def check_grouping(x, tolerance, results):
    """What the sort method guarantees for any data and tolerance."""
    match = sort_match(x, tolerance)
    for result in results.values():
        assert_well_formed(x, result)
        _, index, inverse = result
        for r, g in enumerate(inverse.tolist()):
            assert r == index[g] or match(int(index[g]), r)
    index = results[False][1].tolist()
    for a, b in zip(index, index[1:], strict=False):
        assert not match(a, b)
    assert (np.diff(results[True][1]) > 0).all()


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("width", [1, 2, 3, 5])
@pytest.mark.parametrize("n", [300, 1500])
def test_consistent_data_gives_the_stable_model(dtype, width, n):
    rng = np.random.default_rng(n * 10 + width)
    for nan_rows in (False, True):
        x = separated(rng, n, width, dtype, nan_rows)
        results = {s: kedo.unique_rows(x, 0.1, s, "sort") for s in (False, True)}
        check_grouping(x, 0.1, results)
        if not nan_rows:
            assert_identical(results[True], ref_sort(x, 0.1, True))
            expected = ref_sort(x, 0.1, False)
            assert partition(results[False][2]) == partition(expected[2])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("width", [1, 2, 4])
def test_inconsistent_data_keeps_the_guarantees(dtype, width):
    rng = np.random.default_rng(width)
    for n in (300, 2000):
        x = chained(rng, n, width, dtype)
        x[rng.integers(0, n, 7), rng.integers(0, width, 7)] = np.nan
        for tolerance in (0.1, 0.3, 1e-3):
            results = {s: kedo.unique_rows(x, tolerance, s, "sort") for s in (False, True)}
            check_grouping(x, tolerance, results)
            # Rows at least the tolerance apart in the first column never share
            # a group, unless NaN sits there.
            tol = element_tolerance(x, tolerance)
            for _, _, inverse in results.values():
                first = x[:, 0]
                order = np.argsort(inverse, kind="stable")
                groups = np.split(order, np.flatnonzero(np.diff(inverse[order])) + 1)
                for rows in groups:
                    values = first[rows]
                    values = values[~np.isnan(values)]
                    if len(values) > 1:
                        assert values.max() - values.min() <= 2 * tol


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("stretch_count", [1, 2, 5, 40])
def test_stretches_of_first_values_keep_their_order(dtype, stretch_count):
    """First values in steps of 0.1 (chained under tolerance 1) in stretches
    2.1 or more apart, later columns on a grid of 1, so the order inside a
    stretch is inconsistent. Few stretches hold far more than an eighth of the
    rows each, many hold few: both ways the stretches must come in order of
    their first values and no group may span two of them."""
    rng = np.random.default_rng(stretch_count)
    n = 2000
    x = rng.integers(0, 3, (n, 3)).astype(np.float64)
    stretch_of_row = rng.integers(0, stretch_count, n)
    x[:, 0] = rng.permutation(stretch_count)[stretch_of_row] * 5.0 + rng.integers(0, 30, n) * 0.1
    x = x.astype(dtype)
    stretch = (x[:, 0] // 5).astype(np.int64)
    for sorted_index in (False, True):
        _, index, inverse = kedo.unique_rows(x, 1.0, sorted_index, "sort")
        assert (stretch[index][inverse] == stretch).all()
        if not sorted_index:
            assert (np.diff(stretch[index]) >= 0).all()


def tied_first(rng, n, dtype, special, first_noise=0.0):
    """A few first values 1 apart, each shared by about 300 rows in random
    order (up to `first_noise` apart); later columns noisy copies of grid
    points 1 apart, the second also NaN, infinities and zeros of both signs
    when `special`."""
    x = rng.integers(0, 4, (n, 3)) + rng.normal(0.0, 0.005, (n, 3))
    x[:, 0] = rng.integers(0, n // 300, n) + rng.uniform(0.0, first_noise, n)
    if special:
        rows = rng.permutation(n)[: n // 5]
        x[rows, 1] = np.resize([np.nan, np.inf, -np.inf, 0.0, -0.0], len(rows))
    return x.astype(dtype)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("special", [False, True])
@pytest.mark.parametrize("first_noise", [0.0, 1e-9, 0.05])
def test_long_runs_of_one_first_value_give_the_stable_model(dtype, special, first_noise):
    """Such runs, and runs whose first values differ by less than the
    tolerance (by 1e-9 a double's upper half ties them too), are ordered by
    the second column before the comparator finishes them; the result must
    not change."""
    rng = np.random.default_rng(31)
    x = tied_first(rng, 4000, dtype, special, first_noise)
    for tolerance in (0.1, -1.0):
        results = {s: kedo.unique_rows(x, tolerance, s, "sort") for s in (False, True)}
        check_grouping(x, tolerance, results)
        assert_identical(results[True], ref_sort(x, tolerance, True))
        assert partition(results[False][2]) == partition(ref_sort(x, tolerance, False)[2])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_bunches_of_second_values_keep_their_order_within_a_first_value(dtype):
    """Second values in steps of 0.1 (chained under tolerance 1) in bunches 5
    apart, first values tied in runs of about 300 rows, third column on a grid
    of 1: no group may span two bunches, and the bunches of each first value
    come in order."""
    rng = np.random.default_rng(37)
    n = 4000
    x = rng.integers(0, 3, (n, 3)).astype(np.float64)
    x[:, 0] = rng.integers(0, 13, n) * 5.0
    x[:, 1] = rng.integers(0, 4, n) * 5.0 + rng.integers(0, 30, n) * 0.1
    x = x.astype(dtype)
    bunch = (x[:, 0] // 5).astype(np.int64) * 10 + (x[:, 1] // 5).astype(np.int64)
    for sorted_index in (False, True):
        _, index, inverse = kedo.unique_rows(x, 1.0, sorted_index, "sort")
        assert (bunch[index][inverse] == bunch).all()
        if not sorted_index:
            assert (np.diff(bunch[index]) >= 0).all()
