"""Calls that the stubs must refuse; mypy has to report an error on every marked line."""

import numpy as np

import kedo

ints = np.zeros((3, 2), dtype=np.int64)
points = np.zeros((3, 2))
kedo.unique_rows(ints, 0.0, False, "sort")  # E: int64 array
kedo.unique_rows(points, "0.1", False, "sort")  # E: tolerance as a string
kedo.unique_rows(points, 0.1, False)  # E: method missing
kedo.unique_rows(points, 0.1, False, None)  # E: method None
