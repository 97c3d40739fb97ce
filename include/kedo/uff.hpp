// The Uff method: rows reduced to a projection key, visited in key order,
// each ungrouped row collecting the later rows within the tolerance.
#ifndef KEDO_UFF_HPP
#define KEDO_UFF_HPP

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "kedo/allocator.hpp"
#include "kedo/sorting.hpp"

namespace kedo {

namespace internal {

// Fills order[0 .. n) with the stable ascending argsort of values[0 .. n)
// by `<` and, when sorted_values is not null, sorted_values[p] with a value
// equal (==) to values[order[p]]. Without NaN a radix sort of the ordered
// bits does it (-0 and +0 tie, as `<` has them); with NaN, or without
// memory for the radix sort, the merge sort, which puts NaN last.
template <typename I, typename T>
void StableArgSort(const T* values, std::size_t n, I* order, T* sorted_values) {
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) nan |= values[i] != values[i];
  std::unique_ptr<BitsOf<T>[]> keys;
  // Below a few hundred keys the merge sort is as fast and needs no tables.
  constexpr std::size_t kRadixMinimum = 512;
  if (!nan && n >= kRadixMinimum) keys.reset(new (std::nothrow) BitsOf<T>[n]);
  if (keys) {
    AdviseHugePages(keys.get(), n * sizeof(BitsOf<T>));
    for (std::size_t i = 0; i < n; ++i) {
      keys[i] = OrderedBits(values[i]);
      order[i] = static_cast<I>(i);
    }
    if (RadixSortByHighHalf(keys.get(), order, n)) {
      if (sorted_values != nullptr) {
        for (std::size_t p = 0; p < n; ++p) sorted_values[p] = FromOrderedBits<T>(keys[p]);
      }
      return;
    }
  }
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<I>(i);
  // `<`, with NaN after every number: a NaN key then never stops a sweep
  // that still has numbers ahead of it.
  StableSort(order, order + n, [values](I a, I b) {
    const T x = values[a];
    const T y = values[b];
    return x < y || (y != y && x == x);
  });
  if (sorted_values != nullptr) {
    for (std::size_t p = 0; p < n; ++p) sorted_values[p] = values[order[p]];
  }
}

// The sweep of Uff for a width fixed at compile time (kWidth > 0) or given
// by `columns` (kWidth = 0). sorted_key[p] equals key[key_order[p]].
template <typename T, typename I, std::ptrdiff_t kWidth>
void UffSweep(const T* data, std::ptrdiff_t rows, std::ptrdiff_t columns, const I* key_order,
              const T* sorted_key, T tolerance, bool sorted_index, T* unique, I* index, I& count,
              I* inverse) {
  const std::ptrdiff_t w = kWidth > 0 ? kWidth : columns;
  const T tolerance_squared = tolerance * tolerance;
  constexpr std::ptrdiff_t kAhead = 24;
  std::fill(inverse, inverse + rows, I(-1));
  count = 0;
  for (std::ptrdiff_t p = 0; p < rows; ++p) {
    if (p + kAhead < rows) {
      const std::ptrdiff_t ahead = key_order[p + kAhead];
      __builtin_prefetch(inverse + ahead);
      __builtin_prefetch(data + ahead * w);
    }
    const std::ptrdiff_t anchor = key_order[p];
    if (inverse[anchor] != -1) continue;
    const I group = count;
    const T* anchor_row = data + anchor * w;
    if (!sorted_index) {
      std::copy(anchor_row, anchor_row + w, unique + group * w);
      index[group] = static_cast<I>(anchor);
    }
    inverse[anchor] = group;
    const T anchor_key = sorted_key[p];
    for (std::ptrdiff_t q = p + 1; q < rows; ++q) {
      if (!(sorted_key[q] - anchor_key < tolerance)) break;
      const std::ptrdiff_t candidate = key_order[q];
      const T* candidate_row = data + candidate * w;
      T distance_squared = T(0);
      for (std::ptrdiff_t c = 0; c < w; ++c) {
        const T difference = anchor_row[c] - candidate_row[c];
        distance_squared += difference * difference;
      }
      if (tolerance_squared > distance_squared) inverse[candidate] = group;
    }
    ++count;
  }
}

}  // namespace internal

// Returns the permutation 0 .. n - 1 that orders `values` ascending by `<`.
// Stable: equal values (-0.0 and 0.0 among them) keep ascending index order.
// NaN values come after every number, in ascending index order.
template <typename I, typename T>
std::vector<I> ArgSort(const std::vector<T>& values) {
  std::vector<I> order(values.size());
  internal::StableArgSort<I, T>(values.data(), values.size(), order.data(), nullptr);
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
void Uff(const T* data, const I& height, const I& width, const T* projection, const T& tolerance,
         const bool& sorted_index, T* unique, I* index, I& count, I* inverse) {
  const std::ptrdiff_t rows = height;
  const std::ptrdiff_t columns = width;
  // No positive tolerance: no key difference is below it, so every row is a
  // group of its own, and with sorted_index the outputs are the identity.
  const bool singletons = !(tolerance > T(0));
  if (singletons && sorted_index) {
    if (rows > 0 && columns > 0) std::copy(data, data + rows * columns, unique);
    for (std::ptrdiff_t r = 0; r < rows; ++r) index[r] = inverse[r] = static_cast<I>(r);
    count = static_cast<I>(rows);
    return;
  }
  ScratchVector<T> key(static_cast<std::size_t>(rows));
  for (std::ptrdiff_t r = 0; r < rows; ++r) {
    const T* row = data + r * columns;
    T sum = T(0);
    for (std::ptrdiff_t c = 0; c < columns; ++c) sum += projection[c] * row[c];
    key[static_cast<std::size_t>(r)] = sum;
  }
  ScratchVector<I> key_order(static_cast<std::size_t>(rows));
  if (singletons) {
    internal::StableArgSort<I, T>(key.data(), key.size(), key_order.data(), nullptr);
    constexpr std::ptrdiff_t kAhead = 16;
    for (std::ptrdiff_t p = 0; p < rows; ++p) {
      if (p + kAhead < rows) {
        const std::ptrdiff_t ahead = key_order[static_cast<std::size_t>(p + kAhead)];
        __builtin_prefetch(data + ahead * columns);
        __builtin_prefetch(inverse + ahead);
      }
      const std::ptrdiff_t r = key_order[static_cast<std::size_t>(p)];
      std::copy(data + r * columns, data + (r + 1) * columns, unique + p * columns);
      index[p] = static_cast<I>(r);
      inverse[r] = static_cast<I>(p);
    }
    count = static_cast<I>(rows);
    return;
  }
  {
    // The keys in key order, then the keys themselves are no longer needed.
    ScratchVector<T> sorted_key(static_cast<std::size_t>(rows));
    internal::StableArgSort<I, T>(key.data(), key.size(), key_order.data(), sorted_key.data());
    ScratchVector<T>().swap(key);
    internal::WithWidth(columns, [&](auto fixed) {
      internal::UffSweep<T, I, decltype(fixed)::value>(data, rows, columns, key_order.data(),
                                                       sorted_key.data(), tolerance, sorted_index,
                                                       unique, index, count, inverse);
    });
  }

  if (sorted_index) {
    std::vector<I> remap(static_cast<std::size_t>(count), I(-1));
    I next = 0;
    constexpr std::ptrdiff_t kAhead = 16;
    for (std::ptrdiff_t r = 0; r < rows; ++r) {
      if (r + kAhead < rows) __builtin_prefetch(remap.data() + inverse[r + kAhead]);
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
