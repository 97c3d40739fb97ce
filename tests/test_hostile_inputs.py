"""Contract properties over every float dtype, byte order, layout and tolerance."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import kedo
from invariants import (
    FLOAT_DTYPES,
    LAYOUTS,
    call_checked,
    lay_out,
    native,
    same_result,
    snapshot,
)

# Few distinct values so that rows repeat and nearly repeat, plus the awkward ones.
SPECIAL_VALUES = [
    0.0, -0.0, 1.0, -1.0, 1.0 + 2**-23, 1.0 + 2**-52, 0.5, 2.0, 1e-3,
    float("nan"), float("inf"), -float("inf"),
    5e-324, 1e-45, 1.17549435e-38, 3.4028235e38, 1.7976931348623157e308, -3.0e38, 1e300,
]  # fmt: skip
TOLERANCES = [
    0.0, -0.0, -1.0, -1e-9, float("nan"), float("inf"), -float("inf"), 5e-324, 1e-45,
    1e-300, 1e-7, 0.5, 1.0, 3.4028235e38, 3.5e38, 1e39, 1e300, 1.7976931348623157e308,
]  # fmt: skip
METHODS = ["sort", "s", "", "a", "A", "Auff"]  # a/A: Uff, else sort


@st.composite
def matrices(draw):
    dtype = np.dtype(draw(st.sampled_from(FLOAT_DTYPES)))
    shape = draw(st.tuples(st.integers(0, 12), st.integers(0, 5)))
    pool = st.sampled_from(SPECIAL_VALUES) | st.floats(
        width=32 if dtype.itemsize == 4 else 64, min_value=-4, max_value=4
    )
    with np.errstate(over="ignore"):
        values = draw(hnp.arrays(dtype, shape, elements=pool.map(dtype.type)))
    if draw(st.booleans()) and shape[0] > 1:
        # Repeat and nudge rows so groups of near-equal rows come up often.
        picks = draw(st.lists(st.integers(0, shape[0] - 1), min_size=shape[0], max_size=shape[0]))
        values = values[picks]
        if shape[1] and draw(st.booleans()):
            step = dtype.type(draw(st.sampled_from([1e-7, 1e-3, 0.25])))
            with np.errstate(over="ignore", invalid="ignore"):
                values[::2, 0] = values[::2, 0] + step
    return values


tolerances = st.sampled_from(TOLERANCES) | st.floats(allow_nan=True, allow_infinity=True)
settings_axes = dict(
    tolerance=tolerances, sorted_index=st.booleans(), method=st.sampled_from(METHODS)
)


@given(values=matrices(), layout=st.sampled_from(LAYOUTS), **settings_axes)
def test_contract_holds_and_input_untouched(values, layout, tolerance, sorted_index, method):
    query, owner = lay_out(values, layout)
    before = snapshot(query, owner)
    call_checked(query, tolerance, sorted_index, method)
    assert snapshot(query, owner) == before


@given(values=matrices(), layout=st.sampled_from(LAYOUTS), **settings_axes)
def test_result_independent_of_layout_and_byte_order(
    values, layout, tolerance, sorted_index, method
):
    query, _ = lay_out(values, layout)
    got = kedo.unique_rows(query, tolerance, sorted_index, method)
    want = kedo.unique_rows(native(values), tolerance, sorted_index, method)
    assert same_result(got, want)


@given(values=matrices(), tolerance=tolerances, method=st.sampled_from(METHODS))
def test_sorted_index_gives_the_same_partition(values, tolerance, method):
    # Renumbering the groups must not change which rows go together.
    _, index_a, inverse_a = kedo.unique_rows(values, tolerance, False, method)
    _, index_b, inverse_b = kedo.unique_rows(values, tolerance, True, method)
    assert len(index_a) == len(index_b)
    pairs = set(zip(inverse_a.tolist(), inverse_b.tolist(), strict=True))
    assert len(pairs) == len(index_a)


@pytest.mark.parametrize("method", ["sort", "a"])
@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (4, 0), (1, 1), (1, 0)])
@pytest.mark.parametrize("tolerance", [0.0, -1.0, float("nan"), 0.5])
def test_empty_extents(method, dtype, shape, tolerance):
    values = np.zeros(shape, dtype=dtype)
    for sorted_index in (False, True):
        for layout in LAYOUTS:
            query, _ = lay_out(values, layout)
            call_checked(query, tolerance, sorted_index, method)


def test_float32_tolerance_overflow_acts_as_infinity():
    # A tolerance beyond float's range must not wrap or turn into NaN.
    values = np.array([[0.0, 1.0], [3e38, -3e38], [1.0, 0.0]], dtype=np.float32)
    for method in ("sort", "a"):
        for sorted_index in (False, True):
            huge = kedo.unique_rows(values, 1e39, sorted_index, method)
            inf = kedo.unique_rows(values, float("inf"), sorted_index, method)
            assert same_result(huge, inf)


@pytest.mark.parametrize("method", ["sort", "a"])
@pytest.mark.parametrize(
    "shape, error",
    [
        ((), {"sort": RuntimeError, "a": IndexError}),
        ((3,), {"sort": RuntimeError, "a": IndexError}),
        ((2, 2, 2), {"sort": RuntimeError, "a": RuntimeError}),
        ((2, 0, 2), {"sort": RuntimeError, "a": RuntimeError}),
    ],
)
@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_wrong_dimensions_are_refused(method, shape, error, dtype):
    with pytest.raises(error[method]):
        kedo.unique_rows(np.zeros(shape, dtype=dtype), 0.1, False, method)
