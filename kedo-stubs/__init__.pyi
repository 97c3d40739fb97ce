"""Type information for kedo: distinct rows of float32/float64 matrices within a tolerance."""

from typing import SupportsFloat, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

__version__: str

type _Method = str | bytes | bytearray
type _Tolerance = SupportsFloat | SupportsIndex
type _Int32Array = npt.NDArray[np.int32]

# An empty dtype would satisfy both of the first two overloads; mypy flags that.
@overload
def unique_rows(  # type: ignore[overload-overlap]
    query: npt.NDArray[np.float32],
    tolerance: _Tolerance,
    sorted_index: bool,
    method: _Method,
) -> tuple[npt.NDArray[np.float32], _Int32Array, _Int32Array]:
    """Distinct rows of a 2-D float32/float64 array, rows within `tolerance` counting as one.

    Returns ``(unique, index, inverse)``: ``unique[i]`` is input row ``index[i]``
    bit for bit, and ``inverse[r]`` is the number of the unique row that input
    row ``r`` joined, so ``unique[inverse]`` rebuilds the input with each row
    replaced by its group's representative. ``unique`` has the input's dtype in
    native byte order; ``index`` and ``inverse`` are int32.

    query:        2-D numpy.ndarray of float32 or float64, any layout or byte
                  order. Other dtypes raise RuntimeError; other dimensions raise
                  RuntimeError (IndexError below 2-D for the Uff method);
                  extents of 2**31 or more raise ValueError.
    tolerance:    float; rounded to float32 for float32 input. In the sort
                  method 0 is exact deduplication, and a negative tolerance
                  merges two rows only where each column holds NaN in one of
                  them or the same infinity in both; in the Uff method a
                  tolerance of 0 or below merges nothing.
    sorted_index: True numbers the groups by their representatives' row
                  numbers, ascending (the Uff method then takes each group's
                  lowest row as its representative, the sort method a stable
                  sort); False numbers them in the order the method found
                  them.
    method:       first letter "a" or "A": the Uff method, a row joins the group
                  of an earlier anchor within `tolerance` in Euclidean distance
                  whose row sum is less than `tolerance` below its own.
                  Anything else: the sort method, a row joins the group whose
                  head it matches within `tolerance` in every column.

    All four arguments are required.
    """

@overload
def unique_rows(
    query: npt.NDArray[np.float64],
    tolerance: _Tolerance,
    sorted_index: bool,
    method: _Method,
) -> tuple[npt.NDArray[np.float64], _Int32Array, _Int32Array]: ...
@overload
def unique_rows(
    query: npt.NDArray[np.float32 | np.float64],
    tolerance: _Tolerance,
    sorted_index: bool,
    method: _Method,
) -> tuple[npt.NDArray[np.float32 | np.float64], _Int32Array, _Int32Array]: ...
