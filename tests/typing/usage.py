"""Typed use of kedo, checked with mypy --strict against the kedo-stubs package."""

from typing import assert_type

import numpy as np
import numpy.typing as npt

import kedo

Int32Array = npt.NDArray[np.int32]


def weld(corners: npt.NDArray[np.float32], tolerance: float) -> npt.NDArray[np.float32]:
    unique, index, inverse = kedo.unique_rows(corners, tolerance, True, "sort")
    assert_type(unique, npt.NDArray[np.float32])
    assert_type(index, Int32Array)
    assert_type(inverse, Int32Array)
    return unique[inverse]


def merge(points: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], Int32Array]:
    unique, _, inverse = kedo.unique_rows(points, 1e-3, False, b"a")
    assert_type(unique, npt.NDArray[np.float64])
    return unique, inverse


def either(points: npt.NDArray[np.float32 | np.float64]) -> int:
    unique, index, _ = kedo.unique_rows(points, tolerance=1e-6, sorted_index=False, method="A")
    assert_type(unique, npt.NDArray[np.float32 | np.float64])
    assert_type(index, Int32Array)
    return len(index)


version: str = kedo.__version__

if __name__ == "__main__":
    data = np.array([[0.0, 1.0], [0.0, 1.0 + 1e-9], [2.0, 3.0]])
    assert merge(data)[0].shape == (2, 2)
    assert weld(data.astype(np.float32), 1e-6).shape == (3, 2)
    assert either(data) == 2
