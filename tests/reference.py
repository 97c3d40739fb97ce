"""Brute-force models of both methods, in scalar arithmetic of the element type.

Every difference, sum and comparison below is done on NumPy scalars of the
array's dtype (np.float32 or np.float64), one column at a time in column order,
so the results match the module's own arithmetic bit for bit.
"""

import functools

import numpy as np


def element_tolerance(x, tolerance):
    """The tolerance as the module hands it to the core: narrowed for float32."""
    with np.errstate(over="ignore"):
        return x.dtype.type(tolerance)


def _rows(x):
    return [tuple(row) for row in x]


# ---------------------------------------------------------------- sort method


def sort_less(x, tolerance):
    """Whether row a sorts before row b: the first decided column decides.

    A column is undecided when its values are equal (two NaNs included) or
    differ by less than the tolerance; NaN sorts after every number.
    """
    rows = _rows(x)
    tol = element_tolerance(x, tolerance)

    def less(a, b):
        with np.errstate(invalid="ignore", over="ignore"):
            for va, vb in zip(rows[a], rows[b], strict=True):
                if va == vb or (va != va and vb != vb):
                    continue
                if va != va or vb != vb:
                    return bool(vb != vb)
                d = va - vb
                if abs(d) < tol:
                    continue
                return bool(d < 0)
        return False

    return less


def sort_match(x, tolerance):
    """Whether rows a and b match: no column differs by more than the tolerance."""
    rows = _rows(x)
    tol = element_tolerance(x, tolerance)

    def match(a, b):
        with np.errstate(invalid="ignore", over="ignore"):
            return not any(tol < abs(va - vb) for va, vb in zip(rows[a], rows[b], strict=True))

    return match


def ref_sort(x, tolerance, sorted_index):
    """The sort method with a stable sort.

    Only valid where the row comparator is a strict weak ordering on x (for
    example tolerance 0 or negative on NaN-free data, or clusters far apart
    compared with the tolerance): then every stable sort gives this order.
    """
    n = x.shape[0]
    less = sort_less(x, tolerance)
    match = sort_match(x, tolerance)

    def cmp(a, b):
        return -1 if less(a, b) else (1 if less(b, a) else 0)

    order = sorted(range(n), key=functools.cmp_to_key(cmp))
    heads = []
    for p in range(n):
        if not heads or not match(order[heads[-1]], order[p]):
            heads.append(p)
    inverse = [0] * n
    group = -1
    for p in range(n):
        if group + 1 < len(heads) and heads[group + 1] == p:
            group += 1
        inverse[order[p]] = group
    index = [order[h] for h in heads]
    if sorted_index:
        renumber = {
            old: new for new, old in enumerate(sorted(range(len(index)), key=index.__getitem__))
        }
        index = sorted(index)
        inverse = [renumber[g] for g in inverse]
    return _result(x, index, inverse)


# ----------------------------------------------------------------- Uff method


def uff_keys(x):
    """Row sums accumulated in column order in the element type."""
    T = x.dtype.type
    keys = []
    with np.errstate(invalid="ignore", over="ignore"):
        for row in _rows(x):
            s = T(0)
            for v in row:
                s = s + T(1) * v
            keys.append(s)
    return keys


def uff_distance2(x, a, b):
    """Squared Euclidean distance of rows a and b, in column order in the element type."""
    T = x.dtype.type
    d2 = T(0)
    with np.errstate(invalid="ignore", over="ignore"):
        for va, vb in zip(x[a], x[b], strict=True):
            d = va - vb
            d2 = d2 + d * d
    return d2


def ref_uff(x, tolerance, sorted_index):
    """The Uff sweep; rows whose key is NaN come last in key order."""
    n = x.shape[0]
    T = x.dtype.type
    tol = element_tolerance(x, tolerance)
    with np.errstate(over="ignore", invalid="ignore"):
        tol2 = tol * tol
    keys = uff_keys(x)
    order = sorted(range(n), key=lambda r: (bool(np.isnan(keys[r])), keys[r]))  # stable
    inverse = [-1] * n
    anchors = []
    with np.errstate(invalid="ignore", over="ignore"):
        for p, a in enumerate(order):
            if inverse[a] != -1:
                continue
            group = len(anchors)
            anchors.append(a)
            inverse[a] = group
            for r in order[p + 1 :]:
                if not (keys[r] - keys[a] < tol):
                    break
                if tol2 > T(uff_distance2(x, a, r)):
                    inverse[r] = group
    if not sorted_index:
        return _result(x, anchors, inverse)
    remap = {}
    index = []
    for j in range(n):
        if inverse[j] not in remap:
            remap[inverse[j]] = len(index)
            index.append(j)
        inverse[j] = remap[inverse[j]]
    return _result(x, index, inverse)


def _result(x, index, inverse):
    index = np.asarray(index, dtype=np.int32)
    inverse = np.asarray(inverse, dtype=np.int32)
    unique = x[index] if len(index) else np.empty((0, x.shape[1]), x.dtype)
    return unique, index, inverse


# ------------------------------------------------------------------- helpers


def bits(a):
    """The bit pattern of a float array, for exact comparisons (NaN, -0.0)."""
    a = np.ascontiguousarray(a, dtype=a.dtype.newbyteorder("="))
    return a.view(np.uint32 if a.dtype.itemsize == 4 else np.uint64)


def partition(inverse):
    """The groups as a set of frozensets of row numbers."""
    groups = {}
    for r, g in enumerate(np.asarray(inverse).tolist()):
        groups.setdefault(g, set()).add(r)
    return {frozenset(s) for s in groups.values()}


def assert_identical(result, expected):
    """Same dtypes, shapes and bits."""
    unique, index, inverse = result
    e_unique, e_index, e_inverse = expected
    assert unique.dtype == e_unique.dtype and unique.shape == e_unique.shape
    assert index.dtype == np.int32 and inverse.dtype == np.int32
    np.testing.assert_array_equal(bits(unique), bits(e_unique))
    np.testing.assert_array_equal(index, e_index)
    np.testing.assert_array_equal(inverse, e_inverse)


def assert_well_formed(x, result):
    """The result layout shared by both methods, for any input and tolerance."""
    unique, index, inverse = result
    n, w = x.shape
    for a in result:
        assert isinstance(a, np.ndarray) and type(a) is np.ndarray
        assert a.flags.c_contiguous and a.flags.writeable
        assert not np.shares_memory(a, x)
    assert unique.dtype == x.dtype and index.dtype == np.int32 and inverse.dtype == np.int32
    count = index.shape[0]
    assert unique.shape == (count, w) and inverse.shape == (n,)
    assert (count == 0) == (n == 0) and count <= n
    np.testing.assert_array_equal(bits(unique), bits(x[index]))
    assert ((inverse >= 0) & (inverse < count)).all()
    np.testing.assert_array_equal(inverse[index], np.arange(count))
