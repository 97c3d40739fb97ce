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


def rows_crafted_to_collide(count):
    """Distinct float64 values whose row hashes in kedo's exact path are 1, 2, 3, ...
    (the hash inverted step by step), so that they all share one home slot; every
    third row repeats an earlier one."""
    mask = (1 << 64) - 1

    def undo_xorshift(h, shift):
        x = h
        for _ in range(64 // shift + 1):
            x = h ^ (x >> shift)
        return x & mask

    values = []
    target = 0
    while len(values) < count:
        if len(values) % 3 == 2:
            values.append(values[len(values) // 2])
            continue
        target += 1
        h = undo_xorshift(target, 31) * pow(0xBF58476D1CE4E5B9, -1, 1 << 64) & mask
        h = undo_xorshift(h, 29) * pow(0x9E3779B97F4A7C15, -1, 1 << 64) & mask
        value = np.array([h ^ 0x243F6A8885A308D3], dtype=np.uint64).view(np.float64)[0]
        if np.isfinite(value) and not (value == 0 and np.signbit(value)):
            values.append(value)
    return np.array(values).reshape(-1, 1)


@pytest.mark.parametrize("sorted_index", [False, True])
def test_rows_crafted_to_collide_in_the_hash_table_give_numpy_unique_groups(sorted_index):
    # Plain linear probing would take quadratic time here; the table gives up and
    # the sort answers, with the same result.
    x = rows_crafted_to_collide(30_000)
    unique, index, inverse = kedo.unique_rows(x, 0.0, sorted_index, "sort")
    expected, first, expected_inverse = np.unique(x, axis=0, return_index=True, return_inverse=True)
    assert len(index) == len(first) == 20_000
    if sorted_index:
        np.testing.assert_array_equal(index, first[np.argsort(first)])
    else:
        np.testing.assert_array_equal(unique, expected)
        np.testing.assert_array_equal(inverse, expected_inverse.reshape(-1))
    np.testing.assert_array_equal(x[index], unique)
    np.testing.assert_array_equal(unique[inverse], x)
