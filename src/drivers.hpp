// The drivers of unique_rows: turn a C-contiguous NumPy array into the core's
// inputs and the core's outputs into the result tuple.
#ifndef KEDO_SRC_DRIVERS_HPP
#define KEDO_SRC_DRIVERS_HPP

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kedo/uff.hpp"
#include "kedo/unique_ids.hpp"

namespace kedo {

namespace py = pybind11;

// An array of T that the entry has made C-contiguous, aligned and native.
template <typename T>
using RowMatrixArray = py::array_t<T, py::array::c_style>;

using IndexArray = py::array_t<std::int32_t>;

// Narrows an extent to int, refusing what does not fit.
inline int CheckedExtent(py::ssize_t extent, int axis) {
  if (extent > INT_MAX) {
    throw py::value_error("unique_rows: extent " + std::to_string(extent) + " of axis " +
                          std::to_string(axis) + " exceeds the supported maximum of " +
                          std::to_string(INT_MAX));
  }
  return static_cast<int>(extent);
}

template <typename T>
const T* RowMatrixData(const RowMatrixArray<T>& query) {
  if ((query.flags() & py::array::c_style) == 0) {
    throw std::logic_error("unique_rows: row matrix is not C-contiguous");
  }
  return query.data();
}

// Copies the representative rows index[0 .. count) into a new (count, width) array.
template <typename T>
py::array_t<T> GatherRows(const T* data, int width, const std::int32_t* index, int count) {
  py::array_t<T> unique({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(width)});
  internal::GatherRows(data, width, index, static_cast<std::size_t>(count), unique.mutable_data());
  return unique;
}

template <typename T>
py::tuple UniqueRowsBySort(const RowMatrixArray<T>& query, bool sorted_index, T tolerance) {
  const py::buffer_info buffer = query.request(false);
  if (buffer.ndim != 2) throw std::runtime_error("input array must be 2D");
  const int height = CheckedExtent(buffer.shape[0], 0);
  const int width = CheckedExtent(buffer.shape[1], 1);
  const T* data = RowMatrixData(query);

  IndexVector<int> sorted_ids;
  IndexVector<int> unique_ids;
  IndexArray inverse(height);
  std::int32_t* inverse_data = inverse.mutable_data();
  // Tolerance 0 on NaN-free data: the same result straight from a hash table.
  if (internal::UniqueIdsFirstOccurrence(data, height, width, tolerance, sorted_index, unique_ids,
                                         inverse_data)) {
    const int count = static_cast<int>(unique_ids.size());
    IndexArray index(count);
    std::copy(unique_ids.begin(), unique_ids.end(), index.mutable_data());
    py::array_t<T> unique = GatherRows(data, width, index.data(), count);
    return py::make_tuple(std::move(unique), std::move(index), std::move(inverse));
  }
  // Otherwise, or when its hash table gave up, the rows are sorted and grouped.
  if (sorted_index) {
    internal::UniqueIdsBySorting<true>(data, height, width, tolerance, sorted_ids, unique_ids,
                                       inverse_data);
  } else {
    internal::UniqueIdsBySorting<false>(data, height, width, tolerance, sorted_ids, unique_ids,
                                        inverse_data);
  }

  const int count = static_cast<int>(unique_ids.size());
  IndexArray index(count);
  std::int32_t* index_data = index.mutable_data();
  for (int i = 0; i < count; ++i) index_data[i] = sorted_ids[unique_ids[i]];
  if (sorted_index) SortIdsAndInverse<int>(count, index_data, height, inverse_data);

  py::array_t<T> unique = GatherRows(data, width, index_data, count);
  return py::make_tuple(std::move(unique), std::move(index), std::move(inverse));
}

template <typename T>
py::tuple UniqueRowsByUff(const RowMatrixArray<T>& query, bool sorted_index, T tolerance) {
  const int height = CheckedExtent(query.shape(0), 0);  // IndexError below 2D
  if (query.ndim() > 2) throw std::runtime_error("input array must be 2D");
  const int width = CheckedExtent(query.shape(1), 1);
  const T* data = RowMatrixData(query);

  // Without rows no key is formed: an empty input, however wide, needs no weights.
  const std::vector<T> projection(height > 0 ? static_cast<std::size_t>(width) : 0, T(1));
  IndexArray index(height);
  IndexArray inverse(height);
  int count = 0;
  py::array_t<T> unique({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
  if (sorted_index) {
    Uff<true>(data, height, width, projection.data(), tolerance, sorted_index,
              unique.mutable_data(), index.mutable_data(), count, inverse.mutable_data());
  } else {
    Uff<false>(data, height, width, projection.data(), tolerance, sorted_index,
               unique.mutable_data(), index.mutable_data(), count, inverse.mutable_data());
  }
  unique.resize({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(width)}, false);
  index.resize({static_cast<py::ssize_t>(count)}, false);
  return py::make_tuple(std::move(unique), std::move(index), std::move(inverse));
}

}  // namespace kedo

#endif  // KEDO_SRC_DRIVERS_HPP
