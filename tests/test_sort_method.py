"""The sort method from Python: edge cases, numpy.unique at tolerance 0, the reference model."""

import numpy as np
import pytest
from reference import (
    assert_identical,
    assert_well_formed,
    bits,
    partition,
    ref_sort,
    sort_less,
)

import kedo

NAN = float("nan")


def run(x, tolerance, sorted_index):
    result = kedo.unique_rows(x, tolerance, sorted_index, "sort")
    assert_well_formed(x, result)
    return result


def assert_matches_reference(x, tolerance, sorted_index):
    """Compare with the stable model; unstable runs may pick other equivalent heads."""
    got = run(x, tolerance, sorted_index)
    expected = ref_sort(x, tolerance, sorted_index)
    if sorted_index:
        assert_identical(got, expected)
        return
    assert partition(got[2]) == partition(expected[2])
    less = sort_less(x, tolerance)
    for a, b in zip(got[1].tolist(), expected[1].tolist(), strict=True):
        assert not less(a, b) and not less(b, a)
    np.testing.assert_array_equal(got[2][got[1]], np.arange(got[1].size))


@pytest.mark.parametrize("width", [0, 1, 3])
def test_no_rows(width, dtype, sorted_index):
    unique, index, inverse = run(np.empty((0, width), dtype), 0.1, sorted_index)
    assert unique.shape == (0, width) and index.shape == (0,) and inverse.shape == (0,)


@pytest.mark.parametrize("tolerance", [0.1, 0.0, -1.0, NAN])
def test_no_columns_one_group(tolerance, dtype, sorted_index):
    unique, index, inverse = run(np.empty((5, 0), dtype), tolerance, sorted_index)
    assert unique.shape == (1, 0) and index.size == 1 and inverse.tolist() == [0] * 5
    if sorted_index:
        assert index.tolist() == [0]


@pytest.mark.parametrize("shape", [(), (3,), (0,), (2, 3, 1), (2, 0, 3), (0, 2, 2), (1, 1, 1, 1)])
def test_not_two_dimensional(shape, dtype, sorted_index):
    with pytest.raises(RuntimeError) as excinfo:
        kedo.unique_rows(np.zeros(shape, dtype), 0.1, sorted_index, "sort")
    assert str(excinfo.value) == "input array must be 2D"


@pytest.mark.parametrize(
    "rows, tolerance, sorted_index, index, inverse",
    [
        # Each row is compared with the head, not its neighbour: 1.2 starts a group.
        ([[0.0], [0.6], [1.2]], 1.0, True, [0, 2], [0, 0, 1]),
        # A difference equal to the tolerance decides the order but matches.
        ([[0.5], [0.0]], 0.5, False, [1], [0, 0]),
        ([[0.5], [0.0]], 0.5, True, [1], [0, 0]),
        # Exact duplicates merge at tolerance 0.
        ([[0.0, 1.0], [0.0, 2.0], [0.0, 1.0]], 0.0, True, [0, 1], [0, 1, 0]),
        # A NaN column matches; the other column decides the match. NaN sorts
        # after numbers, so the NaN-free row heads the group.
        ([[NAN, 1.0], [3.0, 1.0]], 0.1, True, [1], [0, 0]),
        ([[NAN, 1.0], [NAN, 5.0]], 0.1, True, [0, 1], [0, 1]),
        # Within tolerance: the head row represents, never an average.
        ([[0.2], [0.1], [0.0]], 0.5, True, [0], [0, 0, 0]),
        # Lexicographic within tolerance: the second column orders near-equal firsts.
        ([[1.0, 9.0], [1.05, 2.0], [0.98, 5.0]], 0.1, False, [1, 2, 0], [2, 0, 1]),
    ],
)
def test_examples(rows, tolerance, sorted_index, index, inverse, dtype):
    x = np.array(rows, dtype)
    unique, got_index, got_inverse = run(x, tolerance, sorted_index)
    assert got_index.tolist() == index and got_inverse.tolist() == inverse
    np.testing.assert_array_equal(bits(unique), bits(x[index]))


def test_exact_duplicates_unsorted(dtype):
    x = np.array([[0.0, 1.0], [0.0, 2.0], [0.0, 1.0]], dtype)
    _, index, inverse = run(x, 0.0, False)
    assert index.tolist() in ([0, 1], [2, 1]) and inverse.tolist() == [0, 1, 0]


@pytest.mark.parametrize("tolerance", [0.0, 0.5, 1e30, np.inf])
def test_all_rows_equal(tolerance, dtype, sorted_index):
    x = np.tile(np.array([[1.5, -0.0, np.inf]], dtype), (7, 1))
    _, index, inverse = run(x, tolerance, sorted_index)
    assert index.size == 1 and inverse.tolist() == [0] * 7
    if sorted_index:
        assert index.tolist() == [0]


def test_nan_tolerance_one_group(dtype, sorted_index):
    x = np.random.default_rng(1).normal(size=(30, 3)).astype(dtype) * 100
    x[4, 1] = np.nan
    x[9] = np.inf
    _, index, inverse = run(x, NAN, sorted_index)
    assert index.size == 1 and not inverse.any()


@pytest.mark.parametrize("tolerance", [-0.0, -1e-30, -1.0, -np.inf])
def test_negative_tolerance_every_row_alone(tolerance, dtype, sorted_index):
    rng = np.random.default_rng(2)
    x = rng.integers(0, 2, size=(40, 2)).astype(dtype)  # many exact duplicates
    _, index, inverse = run(x, tolerance, sorted_index)
    if tolerance == 0:  # -0.0 is a tolerance of 0: duplicates merge
        assert index.size == len({tuple(r) for r in x.tolist()})
        return
    assert index.size == 40 and sorted(inverse.tolist()) == list(range(40))
    if sorted_index:
        assert index.tolist() == inverse.tolist() == list(range(40))
    assert_matches_reference(x, tolerance, sorted_index)


def test_negative_tolerance_merges_only_nan_differences(dtype, sorted_index):
    """Below 0 a column matches only where its difference is NaN: NaN in one
    row, or the same infinity in both."""
    inf = np.inf
    x = np.array([[inf], [inf], [-inf], [NAN], [3.0]], dtype)
    _, _, inverse = run(x, -1.0, sorted_index)
    assert partition(inverse) == partition(np.array([0, 0, 1, 0, 2]))
    # Equal rows stay apart; the NaN row joins whichever copy the sort put
    # last before it, the later one for the stable sort.
    x = np.array([[inf, NAN], [inf, 5.0], [inf, 5.0], [-inf, 5.0], [3.0, 5.0]], dtype)
    _, index, inverse = run(x, -1.0, sorted_index)
    assert index.size == 4 and inverse[0] in (inverse[1], inverse[2])
    assert len({inverse[1], inverse[2], inverse[3], inverse[4]}) == 4
    if sorted_index:
        assert inverse[0] == inverse[2]


def special_rows(rng, dtype, n, width):
    x = rng.integers(-2, 3, size=(n, width)).astype(dtype)
    mask = rng.random(x.shape)
    x[mask < 0.1] = -0.0
    x[mask > 0.95] = np.inf
    x[(mask > 0.9) & (mask <= 0.95)] = -np.inf
    return x


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("width", [1, 2, 4])
def test_tolerance_zero_matches_numpy_unique(seed, width, dtype, sorted_index):
    rng = np.random.default_rng(seed)
    x = special_rows(rng, dtype, int(rng.integers(1, 300)), width)
    unique, index, inverse = run(x, 0.0, sorted_index)
    np_unique, np_index, np_inverse = np.unique(x, axis=0, return_index=True, return_inverse=True)
    np_inverse = np_inverse.reshape(-1)
    np.testing.assert_array_equal(unique[inverse], x)
    if sorted_index:
        np.testing.assert_array_equal(index, np.sort(np_index))
        np.testing.assert_array_equal(bits(unique), bits(x[np.sort(np_index)]))
    else:
        np.testing.assert_array_equal(unique, np_unique)  # same rows, same order
        np.testing.assert_array_equal(inverse, np_inverse)


def clustered(rng, dtype, n, width, tolerance):
    """Rows scattered within tolerance/4 of integer points: clusters far apart.

    On such data the row comparator is a strict weak ordering (equivalent
    exactly within a cluster), so every stable sort gives the same order.
    """
    centres = rng.integers(-3, 4, size=(max(1, n // 3), width))
    x = centres[rng.integers(0, len(centres), size=n)].astype(np.float64)
    x += rng.uniform(-tolerance / 4, tolerance / 4, size=x.shape) * (rng.random(x.shape) < 0.7)
    x[rng.random(n) < 0.2] = x[0]  # some exact duplicates
    return x.astype(dtype)


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("tolerance", [0.001, 0.1, 0.3])
def test_clustered_rows_match_reference(seed, tolerance, dtype, sorted_index):
    rng = np.random.default_rng(100 + seed)
    width = int(rng.integers(1, 5))
    x = clustered(rng, dtype, int(rng.integers(1, 80)), width, tolerance)
    assert_matches_reference(x, tolerance, sorted_index)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("tolerance", [0.0, -0.5])
def test_exact_tolerances_match_reference(seed, tolerance, dtype, sorted_index):
    rng = np.random.default_rng(200 + seed)
    x = special_rows(rng, dtype, int(rng.integers(1, 60)), int(rng.integers(1, 4)))
    assert_matches_reference(x, tolerance, sorted_index)


@pytest.mark.parametrize("leading", ["one value", "four values", "two columns of one value"])
@pytest.mark.parametrize("tolerance", [0.0, 0.1])
def test_leading_columns_that_order_nothing_match_reference(
    leading, tolerance, dtype, sorted_index
):
    # Enough rows for kedo's presorted sort, whose first column (or first two)
    # decides no pair of rows, or splits them into a few long runs.
    rng = np.random.default_rng(300)
    x = clustered(rng, dtype, 1500, 4, 0.1)
    if leading == "four values":
        x[:, 0] = rng.integers(0, 4, len(x))
    else:
        x[:, 0] = 2.5
    if leading == "two columns of one value":
        x[:, 1] = -1.0
    assert_matches_reference(x, tolerance, sorted_index)


def test_labelled_rows_chained_within_the_tolerance_are_grouped_soundly(dtype, sorted_index):
    # Four labels first, then second values 0.06 apart in bunches 1 apart and
    # third values that disagree: under tolerance 0.1 no strict weak ordering,
    # and each label's run of rows too long to be compared pairwise. Whatever
    # order the sort settles on, its groups must hold: labels never mix, and
    # every row lies within the tolerance of its representative.
    rng = np.random.default_rng(301)
    n = 4000
    x = np.empty((n, 3))
    x[:, 0] = rng.integers(0, 4, n)
    x[:, 1] = rng.integers(0, 100, n) + rng.integers(0, 3, n) * 0.06
    x[:, 2] = rng.integers(0, 3, n)
    x = x.astype(dtype)
    unique, index, inverse = run(x, 0.1, sorted_index)
    np.testing.assert_array_equal(unique[inverse, 0], x[:, 0])
    assert np.all(np.abs(unique[inverse] - x) <= dtype(0.1))


def test_groups_by_head_and_chain():
    # A chain of rows each within tolerance of the next: a group ends at the
    # first row farther than the tolerance from its head, in any column.
    x = np.array([[0.0, 0.0], [0.4, 0.1], [0.8, 0.2], [1.2, 0.3], [1.6, 0.4]])
    _, index, inverse = run(x, 0.5, True)
    assert index.tolist() == [0, 2, 4] and inverse.tolist() == [0, 0, 1, 1, 2]


def test_sorted_index_renumbers_consistently(dtype):
    rng = np.random.default_rng(7)
    x = clustered(rng, dtype, 200, 3, 0.2)
    u0, i0, v0 = run(x, 0.2, False)
    u1, i1, v1 = run(x, 0.2, True)
    assert partition(v0) == partition(v1)
    assert (np.diff(i1) > 0).all() and not (np.diff(i0) > 0).all()
    # Stable sort: each group is represented by its lowest row.
    for g in range(i1.size):
        assert i1[g] == np.flatnonzero(v1 == g).min()
