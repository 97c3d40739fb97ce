"""The Uff method from Python: driver edge cases, refusals, the brute-force sweep."""

import numpy as np
import pytest
from reference import assert_identical, assert_well_formed, bits, ref_uff

import kedo

NAN = float("nan")


def run(x, tolerance, sorted_index, method="a"):
    result = kedo.unique_rows(x, tolerance, sorted_index, method)
    assert_well_formed(x, result)
    return result


@pytest.mark.parametrize("width", [0, 1, 4])
def test_no_rows(width, dtype, sorted_index):
    unique, index, inverse = run(np.empty((0, width), dtype), 0.1, sorted_index)
    assert unique.shape == (0, width) and index.shape == (0,) and inverse.shape == (0,)


def test_one_row(dtype, sorted_index):
    x = np.array([[np.nan, 2.0, -0.0]], dtype)
    unique, index, inverse = run(x, 0.1, sorted_index)
    assert index.tolist() == [0] and inverse.tolist() == [0]


def test_five_identical_rows(dtype, sorted_index):
    x = np.tile(np.array([[0.25, -3.0]], dtype), (5, 1))
    _, index, inverse = run(x, 0.5, sorted_index)
    assert index.tolist() == [0] and inverse.tolist() == [0] * 5


@pytest.mark.parametrize("tolerance", [0.0, -0.0, -0.5, -np.inf, NAN])
def test_identical_rows_stay_apart_without_positive_tolerance(tolerance, dtype, sorted_index):
    x = np.tile(np.array([[1.0, 2.0, 3.0]], dtype), (4, 1))
    _, index, inverse = run(x, tolerance, sorted_index)
    assert index.tolist() == inverse.tolist() == [0, 1, 2, 3]


def test_tolerance_whose_square_underflows(sorted_index):
    x = np.zeros((3, 2), np.float32)
    assert run(x, 1e-30, sorted_index)[1].tolist() == [0, 1, 2]  # (1e-30f)^2 == 0
    assert run(x.astype(np.float64), 1e-30, sorted_index)[1].tolist() == [0]


@pytest.mark.parametrize(
    "sorted_index, index, inverse", [(False, [1, 2], [1, 0, 1]), (True, [0, 1], [0, 1, 0])]
)
def test_row_moves_to_later_group(sorted_index, index, inverse, dtype):
    # Keys 0.2, 0, 0.1: row 1 opens group 0 and takes row 0; row 2 opens group 1
    # and takes row 0 over (row 2 is too far from row 1).
    x = np.array([[0.4, -0.2], [0.0, 0.0], [0.8, -0.7]], dtype)
    unique, got_index, got_inverse = run(x, 1.0, sorted_index)
    assert got_index.tolist() == index and got_inverse.tolist() == inverse
    np.testing.assert_array_equal(bits(unique), bits(x[index]))


def test_key_window_keeps_close_rows_apart(dtype, sorted_index):
    # Distance about 0.85 < 1, but the sums 0 and 1.2 differ by more than 1.
    x = np.array([[0.0, 0.0], [0.6, 0.6]], dtype)
    assert run(x, 1.0, sorted_index)[1].tolist() == [0, 1]
    # In the sort method they match.
    assert kedo.unique_rows(x, 1.0, sorted_index, "sort")[1].size == 1


def test_boundaries_are_strict(dtype, sorted_index):
    # Key difference equal to the tolerance: outside the window.
    x = np.array([[0.0], [1.0]], dtype)
    assert run(x, 1.0, sorted_index)[1].size == 2
    # Sums equal, squared distance equal to the tolerance squared: not taken.
    y = np.array([[0.0, 0.0], [0.5, -0.5]], dtype)
    assert run(y, np.sqrt(0.5), sorted_index)[1].size == (
        1 if dtype(np.sqrt(0.5)) ** 2 > dtype(0.5) else 2
    )
    z = np.array([[0.0, 0.0], [3.0, -4.0]], dtype)
    assert run(z, 5.0, sorted_index)[1].size == 2
    assert run(z, np.nextafter(dtype(5.0), dtype(6.0)), sorted_index)[1].size == 1


@pytest.mark.parametrize("tolerance", [1.0, 1e30, np.inf])
def test_nan_and_infinite_rows_never_merge(tolerance, dtype, sorted_index):
    x = np.array(
        [
            [0.0, 0.0],
            [0.0, 0.0],
            [NAN, 0.0],
            [NAN, 0.0],
            [np.inf, 0.0],
            [np.inf, 0.0],
            [-np.inf, 1.0],
            [-np.inf, 1.0],
            [np.inf, -np.inf],
        ],
        dtype,
    )
    _, index, inverse = run(x, tolerance, sorted_index)
    assert index.size == 8
    assert inverse[0] == inverse[1] and len(set(inverse[1:].tolist())) == 8


def test_infinite_key_takes_nothing(sorted_index):
    # Keys -inf, 0, 0.5: the -inf row takes nothing, the others merge.
    x = np.array([[0.5], [-np.inf], [0.0]])
    _, index, inverse = run(x, 1.0, sorted_index)
    assert inverse[0] == inverse[2] != inverse[1] and index.size == 2


@pytest.mark.parametrize(
    "tolerance, groups", [(0.1, 1), (np.inf, 1), (0.0, 6), (-1.0, 6), (NAN, 6)]
)
def test_no_columns(tolerance, groups, dtype, sorted_index):
    unique, index, inverse = run(np.empty((6, 0), dtype), tolerance, sorted_index)
    assert unique.shape == (groups, 0)
    assert index.tolist() == list(range(groups))
    assert inverse.tolist() == ([0] * 6 if groups == 1 else list(range(6)))


def test_no_columns_float32_tiny_tolerance():
    assert run(np.empty((3, 0), np.float32), 1e-30, False)[1].tolist() == [0, 1, 2]


@pytest.mark.parametrize("shape, axis", [((), 0), ((3,), 1), ((0,), 1)])
@pytest.mark.parametrize("method", ["a", "A", b"a", "Anything"])
def test_fewer_than_two_dimensions(shape, axis, method, dtype, sorted_index):
    with pytest.raises(IndexError) as excinfo:
        kedo.unique_rows(np.zeros(shape, dtype), 0.1, sorted_index, method)
    assert str(excinfo.value) == f"invalid axis: {axis} (ndim = {len(shape)})"


@pytest.mark.parametrize("shape", [(2, 3, 1), (2, 0, 3), (3, 2, 0), (0, 2, 2), (1, 1, 1, 1)])
def test_more_than_two_dimensions(shape, dtype, sorted_index):
    with pytest.raises(RuntimeError) as excinfo:
        kedo.unique_rows(np.zeros(shape, dtype), 0.1, sorted_index, "a")
    assert str(excinfo.value) == "input array must be 2D"


def random_rows(rng, dtype, tolerance):
    """NaN-free rows near each other on the scale of the tolerance, with duplicates."""
    n = int(rng.integers(1, 70))
    width = int(rng.integers(1, 5))
    scale = tolerance if np.isfinite(tolerance) and tolerance > 0 else 1.0
    centres = rng.normal(size=(max(1, n // 4), width)) * scale * 2
    x = centres[rng.integers(0, len(centres), size=n)]
    x += rng.normal(size=x.shape) * scale * rng.choice([0.0, 0.1, 0.5])
    x[rng.random(n) < 0.15] = x[0]
    if rng.random() < 0.3:  # grid values: sums and distances land on the boundaries
        x = np.round(x / scale * 2) * scale / 2
    special = rng.random(x.shape)
    x[special < 0.03] = -0.0
    x[special > 0.98] = np.inf
    return x.astype(dtype)


@pytest.mark.parametrize("seed", range(25))
@pytest.mark.parametrize("tolerance", [1.0, 0.1, 1e-3, 0.0, -1.0, np.inf, NAN])
def test_random_rows_match_reference(seed, tolerance, dtype, sorted_index):
    rng = np.random.default_rng(seed)
    x = random_rows(rng, dtype, tolerance)
    assert_identical(run(x, tolerance, sorted_index), ref_uff(x, tolerance, sorted_index))


@pytest.mark.parametrize("seed", range(5))
def test_many_rows_in_one_window_match_reference(seed, dtype):
    # All sums within one window: every anchor sweeps many candidates.
    rng = np.random.default_rng(50 + seed)
    x = rng.uniform(-1, 1, size=(150, 2)).astype(dtype)
    x[:, 1] = -x[:, 0] + rng.uniform(0, 0.05, size=150).astype(dtype)
    for sorted_index in (False, True):
        assert_identical(run(x, 0.3, sorted_index), ref_uff(x, 0.3, sorted_index))


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("leading", [0, 1])
@pytest.mark.parametrize("offset", [0.0, 1e12])
def test_points_on_a_plane_match_reference(seed, leading, offset, dtype):
    # Every sum is about 1, so each key window holds nearly all later rows and
    # the sweep looks only at rows near each anchor. Some rows lie beyond
    # where the sweep can place them (1e14 from the rest) or hold NaN or an
    # infinity; a leading column of one value must not hide how the others
    # spread. The offset moves the points far from zero, as coordinates in
    # metres on a map are.
    rng = np.random.default_rng(80 + seed)
    n, tolerance = 420, 0.05
    xy = rng.integers(0, 12, size=(n, 2)) * 0.06 + rng.normal(0, 0.01, size=(n, 2)) + offset
    xy[rng.random(n) < 0.05, 0] = 1e14 * rng.choice([-1, 1])
    x = np.column_stack([xy, 1.0 - xy.sum(axis=1)])
    x[rng.random(n) < 0.03, 1] = rng.choice([np.nan, np.inf, -np.inf])
    x[rng.integers(0, n, size=40)] = x[rng.integers(0, n, size=40)]
    x = np.column_stack([np.full((n, leading), 3.0), x]).astype(dtype)
    for sorted_index in (False, True):
        assert_identical(run(x, tolerance, sorted_index), ref_uff(x, tolerance, sorted_index))


@pytest.mark.parametrize("tolerance", [0.0, -0.0, -1.0, NAN])
def test_without_positive_tolerance_every_row_stands_alone(tolerance, dtype, sorted_index):
    # Enough rows for the radix argsort; NaN, infinite and repeated keys.
    rng = np.random.default_rng(7)
    x = rng.normal(size=(2000, 3))
    x[rng.integers(0, 2000, 300)] = x[5]
    x[rng.random(x.shape) < 0.02] = np.nan
    x[rng.random(x.shape) < 0.02] = -np.inf
    x[rng.random(x.shape) < 0.02] = -0.0
    x = x.astype(dtype)
    assert_identical(run(x, tolerance, sorted_index), ref_uff(x, tolerance, sorted_index))
