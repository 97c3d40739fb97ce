import numpy as np

import kedo


def test_version():
    assert kedo.__version__ == "0.1.0"


def test_exact_duplicates_merge():
    unique, index, inverse = kedo.unique_rows(np.array([[0, 1], [0, 2], [0, 1.0]]), 0.0, False, "s")
    assert index.tolist() == [0, 1] and inverse.tolist() == [0, 1, 0]
