"""Properties of both methods over any data and any tolerance."""

import math

import numpy as np
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from reference import (
    assert_identical,
    assert_well_formed,
    element_tolerance,
    partition,
    ref_sort,
    ref_uff,
    sort_match,
    uff_distance2,
    uff_keys,
)

import kedo

SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 0.25, 0.1, math.nan, math.inf, -math.inf, 1e-30, 3e38]


@st.composite
def matrices(draw):
    """Rows picked from a small pool, so duplicates and near-duplicates abound."""
    dtype = draw(st.sampled_from([np.float32, np.float64]))
    bits = 32 if dtype is np.float32 else 64
    width = draw(st.integers(0, 4))
    element = st.one_of(
        st.sampled_from(SPECIAL),
        st.floats(-4, 4, width=bits),
        st.floats(width=bits),
    )
    pool = draw(arrays(dtype, (draw(st.integers(1, 6)), width), elements=element))
    n = draw(st.integers(0, 24))
    picks = draw(arrays(np.intp, n, elements=st.integers(0, len(pool) - 1)))
    x = pool[picks]
    if draw(st.booleans()):
        noise = st.sampled_from([0.0, 0.0, 0.0, 1e-3, -1e-3, 0.05, -0.3])
        with np.errstate(invalid="ignore", over="ignore"):
            x = x + draw(arrays(dtype, x.shape, elements=noise))
    return x


tolerances = st.one_of(
    st.sampled_from(
        [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf, 1e-30, 1e-300, 1e300, 0.1, 0.5, 1.0, 2.0]
    ),
    st.floats(),
    st.floats(0, 2),
)


@given(x=matrices(), tolerance=tolerances)
def test_sort_method(x, tolerance):
    tol = element_tolerance(x, tolerance)
    match = sort_match(x, tolerance)
    results = {}
    for sorted_index in (False, True):
        unique, index, inverse = results[sorted_index] = kedo.unique_rows(
            x, tolerance, sorted_index, "sort"
        )
        assert_well_formed(x, results[sorted_index])
        # Every row matches its group's head, the representative.
        for r, g in enumerate(inverse.tolist()):
            assert r == index[g] or match(index[g], r)
    # Unsorted, groups stand in sort order: each head fails to match the one before.
    index = results[False][1].tolist()
    for a, b in zip(index, index[1:], strict=False):
        assert not match(a, b)
    assert (np.diff(results[True][1]) > 0).all()
    # Where the comparator is a strict weak ordering, the stable model decides.
    if not np.isnan(x).any() and (np.isnan(tol) or tol <= 0):
        assert_identical(results[True], ref_sort(x, tolerance, True))
        expected = ref_sort(x, tolerance, False)
        assert partition(results[False][2]) == partition(expected[2])


@given(x=matrices(), tolerance=tolerances)
def test_uff_method(x, tolerance):
    tol = element_tolerance(x, tolerance)
    with np.errstate(over="ignore", invalid="ignore"):
        tol2 = tol * tol
    keys = uff_keys(x)
    unordered = kedo.unique_rows(x, tolerance, False, "a")
    ordered = kedo.unique_rows(x, tolerance, True, "Anything")
    assert_well_formed(x, unordered)
    assert_well_formed(x, ordered)
    # The same partition in both modes.
    assert partition(unordered[2]) == partition(ordered[2])
    # Unordered: every row lies strictly within the tolerance of its anchor.
    index, inverse = unordered[1], unordered[2]
    with np.errstate(invalid="ignore", over="ignore"):
        for r, g in enumerate(inverse.tolist()):
            a = int(index[g])
            if r != a:
                assert keys[r] - keys[a] < tol and tol2 > uff_distance2(x, a, r)
    # Ordered: each group is represented by its lowest row.
    index, inverse = ordered[1], ordered[2]
    assert (np.diff(index) > 0).all()
    assert (index[inverse] <= np.arange(x.shape[0])).all()
    if not any(np.isnan(k) for k in keys):
        # Anchors in ascending key order; the whole sweep as modelled.
        anchor_keys = [keys[a] for a in unordered[1].tolist()]
        assert all(p <= q for p, q in zip(anchor_keys, anchor_keys[1:], strict=False))
        assert_identical(unordered, ref_uff(x, tolerance, False))
        assert_identical(ordered, ref_uff(x, tolerance, True))
