// The Uff method: rows reduced to a projection key, visited in key order,
// each ungrouped row collecting the later rows within the tolerance.
#ifndef KEDO_UFF_HPP
#define KEDO_UFF_HPP

#include <algorithm>
#include <cstddef>
#include <vector>

#include "kedo/sorting.hpp"

namespace kedo {

// Returns the permutation 0 .. n - 1 that orders `values` ascending by `<`.
// Stable: equal values (-0.0 and 0.0 among them) keep ascending index order.
// A NaN compares neither less nor greater than anything; where NaNs end up is
// unspecified, but the result is always a permutation.
template <typename I, typename T>
std::vector<I> ArgSort(const std::vector<T>& values) {
  std::vector<I> order(values.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<I>(i);
  const T* keys = values.data();
  internal::StableSort(order.data(), order.data() + order.size(),
                       [keys](I a, I b) { return keys[a] < keys[b]; });
  return order;
}

// Groups the rows of a row matrix around anchors visited in key order.
//
// data:       height x width elements of T, row-major and contiguous; read only.
// height, width: not negative.
// projection: width weights; key[r] = sum of projection[c] * row r, column order.
// tolerance:  any value. A row r after anchor a in key order joins a's group
//             while key[r] - key[a] < tolerance and its squared Euclidean
//             distance to a is below tolerance squared; it may leave an
//             earlier group for it.
// sorted_index: false numbers groups in sweep order, represented by their
//             anchors; true numbers them by their lowest row number, which
//             then represents the group. The partition is the same.
// unique:     room for height x width elements; rows 0 .. count - 1 receive
//             the representatives.
// index:      room for height entries; 0 .. count - 1 receive their row numbers.
// count:      receives the number of groups.
// inverse:    height entries; inverse[r] receives row r's group number.
// Nothing else is written. Throws std::bad_alloc for scratch; the outputs
// may then hold partial results.
template <bool B, typename T, typename I>
void Uff(const T* data, const I& height, const I& width, const T* projection,
         const T& tolerance, const bool& sorted_index, T* unique, I* index, I& count,
         I* inverse) {
  const std::ptrdiff_t rows = height;
  const std::ptrdiff_t columns = width;
  const T tolerance_squared = tolerance * tolerance;

  std::vector<T> key(static_cast<std::size_t>(rows));
  for (std::ptrdiff_t r = 0; r < rows; ++r) {
    const T* row = data + r * columns;
    T sum = T(0);
    for (std::ptrdiff_t c = 0; c < columns; ++c) sum += projection[c] * row[c];
    key[static_cast<std::size_t>(r)] = sum;
  }
  const std::vector<I> key_order = ArgSort<I>(key);

  std::fill(inverse, inverse + rows, I(-1));
  count = 0;
  for (std::ptrdiff_t p = 0; p < rows; ++p) {
    const std::ptrdiff_t anchor = key_order[static_cast<std::size_t>(p)];
    if (inverse[anchor] != -1) continue;
    const I group = count;
    const T* anchor_row = data + anchor * columns;
    if (!sorted_index) {
      std::copy(anchor_row, anchor_row + columns, unique + group * columns);
      index[group] = static_cast<I>(anchor);
    }
    inverse[anchor] = group;
    const T anchor_key = key[static_cast<std::size_t>(anchor)];
    for (std::ptrdiff_t q = p + 1; q < rows; ++q) {
      const std::ptrdiff_t candidate = key_order[static_cast<std::size_t>(q)];
      if (!(key[static_cast<std::size_t>(candidate)] - anchor_key < tolerance)) break;
      const T* candidate_row = data + candidate * columns;
      T distance_squared = T(0);
      for (std::ptrdiff_t c = 0; c < columns; ++c) {
        const T difference = anchor_row[c] - candidate_row[c];
        distance_squared += difference * difference;
      }
      if (tolerance_squared > distance_squared) inverse[candidate] = group;
    }
    ++count;
  }

  if (sorted_index) {
    std::vector<I> remap(static_cast<std::size_t>(rows), I(-1));
    I next = 0;
    for (std::ptrdiff_t r = 0; r < rows; ++r) {
      const I group = inverse[r];
      I& renumbered = remap[static_cast<std::size_t>(group)];
      if (renumbered == -1) {
        const T* row = data + r * columns;
        std::copy(row, row + columns, unique + static_cast<std::ptrdiff_t>(next) * columns);
        index[next] = static_cast<I>(r);
        renumbered = next++;
      }
      inverse[r] = renumbered;
    }
  }
}

}  // namespace kedo

#endif  // KEDO_UFF_HPP
