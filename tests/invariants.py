"""Checks and input builders shared by the hardening tests."""

import numpy as np

import kedo

FLOAT_DTYPES = ("<f4", ">f4", "<f8", ">f8")


class Subclass(np.ndarray):
    """An ndarray subclass, as a caller might pass one."""


def native(values):
    """A fresh C-contiguous copy of values in native byte order."""
    values = np.asarray(values)
    return np.ascontiguousarray(values.astype(values.dtype.newbyteorder("="), copy=True))


def bits(values):
    """Element bits of a native float array, so NaN payloads and -0.0 compare exactly."""
    values = np.ascontiguousarray(values)
    return values.view(np.uint32 if values.dtype.itemsize == 4 else np.uint64)


def lay_out(values, layout):
    """Returns (query, owner): query holds the same elements as values in the given
    layout; owner is the buffer the query views, to check it is left untouched."""
    values = np.asarray(values)
    h, w = values.shape
    if layout == "C":
        query = np.ascontiguousarray(values)
        return query, query
    if layout == "F":
        query = np.asfortranarray(values)
        return query, query
    if layout == "strided":
        owner = np.full((2 * h + 1, 3 * w + 2), -7.0, dtype=values.dtype)
        owner[1::2, 2::3] = values
        return owner[1::2, 2::3], owner
    if layout == "reversed":
        owner = np.ascontiguousarray(values[::-1, ::-1])
        return owner[::-1, ::-1], owner
    if layout == "transposed":
        owner = np.ascontiguousarray(values.T)
        return owner.T, owner
    if layout == "readonly":
        query = np.array(values, copy=True)
        query.flags.writeable = False
        return query, query
    if layout == "subclass":
        query = np.array(values, copy=True).view(Subclass)
        return query, query
    if layout == "unaligned":
        size = values.size * values.itemsize
        owner = np.zeros(size + 1, dtype=np.uint8)
        query = owner[1:].view(values.dtype).reshape(values.shape)
        query[...] = values
        return query, owner
    raise ValueError(layout)


LAYOUTS = ("C", "F", "strided", "reversed", "transposed", "readonly", "subclass", "unaligned")


def snapshot(query, owner):
    """Everything a call must leave unchanged: bytes, flags, shape, strides, dtype."""
    flags = {k: query.flags[k] for k in ("C", "F", "O", "W", "A", "X")}
    return (
        owner.tobytes(order="A"),
        query.tobytes(order="A"),
        flags,
        query.shape,
        query.strides,
        query.dtype.str,
        type(query),
    )


def check_result(values, tolerance, sorted_index, method, result):
    """Structural contract of a result, against the query's values (any layout)."""
    reference = native(values)
    height, width = reference.shape
    unique, index, inverse = result
    assert isinstance(result, tuple) and len(result) == 3
    assert type(unique) is np.ndarray and type(index) is np.ndarray
    assert type(inverse) is np.ndarray
    assert unique.dtype == reference.dtype and unique.dtype.isnative
    assert index.dtype == np.int32 and inverse.dtype == np.int32
    assert unique.flags.c_contiguous and unique.flags.owndata or unique.size == 0
    count = index.shape[0]
    assert unique.shape == (count, width) and index.ndim == 1
    assert inverse.shape == (height,)
    assert (count == 0) == (height == 0)
    assert count <= height
    # Representatives are real rows, copied bit for bit.
    assert np.all((index >= 0) & (index < height))
    np.testing.assert_array_equal(bits(unique), bits(reference[index]))
    # Every row belongs to a group; each representative heads its own group.
    assert np.all((inverse >= 0) & (inverse < count))
    np.testing.assert_array_equal(inverse[index], np.arange(count))
    if sorted_index:
        assert np.all(np.diff(index) > 0)


def call_checked(query, tolerance, sorted_index, method):
    result = kedo.unique_rows(query, tolerance, sorted_index, method)
    check_result(query, tolerance, sorted_index, method, result)
    return result


def same_result(a, b):
    """Whether two results agree bit for bit."""
    return (
        a[0].dtype == b[0].dtype
        and a[0].shape == b[0].shape
        and np.array_equal(bits(a[0]), bits(b[0]))
        and np.array_equal(a[1], b[1])
        and np.array_equal(a[2], b[2])
    )
