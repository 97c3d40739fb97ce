// The sort method: order row numbers lexicographically within a tolerance,
// cut the order into groups and number every row's group.
#ifndef KEDO_UNIQUE_IDS_HPP
#define KEDO_UNIQUE_IDS_HPP

#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "kedo/allocator.hpp"
#include "kedo/sorting.hpp"

namespace kedo {
namespace internal {

inline constexpr const char* kVectorTooLarge =
    "cannot create std::vector larger than max_size()";

// A size for an index vector; a negative one is refused as the standard
// vector would refuse its unsigned image.
template <typename I>
std::size_t CheckedSize(I n) {
  if (n < 0) throw std::length_error(kVectorTooLarge);
  return static_cast<std::size_t>(n);
}

// Whether row a sorts before row b. Columns are compared in order; a column
// whose values are equal (==, so also +0/-0 and equal infinities) or whose
// difference is strictly below the tolerance is undecided. The first other
// column decides: a before b when a's value is smaller. A NaN difference
// decides "not before". No column decided: equivalent.
//
// For a positive tolerance, or with NaN in the data, this is no strict weak
// ordering; it is only ever handed to the safe sorts.
template <typename T>
struct RowLess {
  const T* data;
  std::ptrdiff_t width;
  T tolerance;

  template <typename I>
  bool operator()(I a, I b) const {
    const T* row_a = data + static_cast<std::ptrdiff_t>(a) * width;
    const T* row_b = data + static_cast<std::ptrdiff_t>(b) * width;
    for (std::ptrdiff_t c = 0; c < width; ++c) {
      if (row_a[c] == row_b[c]) continue;
      const T difference = row_a[c] - row_b[c];
      if (std::abs(difference) < tolerance) continue;
      return difference < T(0);
    }
    return false;
  }
};

// Whether rows a and b match: no column differs by more than the tolerance.
// A NaN difference counts as matching; with no columns every pair matches.
template <typename T>
bool RowsMatch(const T* data, std::ptrdiff_t width, T tolerance, std::ptrdiff_t a,
               std::ptrdiff_t b) {
  const T* row_a = data + a * width;
  const T* row_b = data + b * width;
  for (std::ptrdiff_t c = 0; c < width; ++c) {
    if (tolerance < std::abs(row_a[c] - row_b[c])) return false;
  }
  return true;
}

// Sorts the row numbers in `sorted_ids` in place with RowLess; stably when
// `stable`. Throws std::runtime_error when sorted_ids does not hold `height`
// entries. Reads rows only through the numbers it is given, which must lie in
// 0 .. height - 1.
template <bool stable, typename T, typename I>
void ArgSortAlongHeight(const T* data, I height, I width, T tolerance,
                        IndexVector<I>& sorted_ids) {
  if (static_cast<I>(sorted_ids.size()) != height ||
      sorted_ids.size() != static_cast<std::size_t>(height)) {
    throw std::runtime_error(
        "internal::ArgSortAlongHeight - input sorted_ids does not match size of "
        "arrays to be sorted.");
  }
  RowLess<T> less{data, static_cast<std::ptrdiff_t>(width), tolerance};
  Sort<stable>(sorted_ids.data(), sorted_ids.data() + sorted_ids.size(), less);
}

}  // namespace internal

// Orders, groups and numbers the rows of a row matrix.
//
// data:       height x width elements of T, row-major and contiguous; read only.
// height, width: not negative (a negative height throws std::length_error).
// tolerance:  any value. Rows are ordered by internal::RowLess; a group is a
//             run of the order whose rows each match the run's first row, its
//             head (no column differs by more than the tolerance). With a
//             negative tolerance no two rows with columns match.
// sorted_ids: resized to height; receives a permutation of 0 .. height - 1,
//             the sorted order. With `stable`, equivalent rows keep ascending
//             row numbers.
// unique_ids: resized to the unique count; receives the positions in
//             sorted_ids of the group heads, strictly ascending from 0.
// inverse:    null, or height entries; inverse[r] receives the group number of
//             row r, in 0 .. unique count - 1, numbered in sorted order.
template <bool stable, typename T, typename I>
void UniqueIds(const T* data, I height, I width, T tolerance, IndexVector<I>& sorted_ids,
               IndexVector<I>& unique_ids, I* inverse) {
  const std::size_t n = internal::CheckedSize(height);
  sorted_ids.resize(n);
  unique_ids.resize(n);
  for (I i = 0; i < height; ++i) sorted_ids[static_cast<std::size_t>(i)] = i;

  internal::ArgSortAlongHeight<stable>(data, height, width, tolerance, sorted_ids);

  // Grouping: compare each row with the head of the current group only.
  const auto row_width = static_cast<std::ptrdiff_t>(width);
  std::size_t count = 0;
  std::size_t head = 0;
  for (std::size_t p = 0; p < n; ++p) {
    if (p == 0 ||
        !internal::RowsMatch(data, row_width, tolerance, sorted_ids[head], sorted_ids[p])) {
      head = p;
      unique_ids[count++] = static_cast<I>(p);
    }
  }
  unique_ids.resize(count);

  // Number each row by the heads just found, with no second comparison.
  if (inverse != nullptr) {
    I group = -1;
    std::size_t next_head = 0;
    for (std::size_t p = 0; p < n; ++p) {
      if (next_head < count && static_cast<std::size_t>(unique_ids[next_head]) == p) {
        ++group;
        ++next_head;
      }
      inverse[sorted_ids[p]] = group;
    }
  }
}

// Sorts the representatives `ids` ascending and renumbers `inverse` to match.
//
// count:   the number of entries of ids; negative throws std::length_error
//          before anything is written.
// ids:     count distinct, non-negative row numbers; sorted in place.
// height:  the number of entries of inverse; negative with inverse given
//          throws std::length_error after ids is sorted, inverse untouched.
// inverse: null, or height values in 0 .. count - 1; afterwards every row
//          refers to the same representative as before:
//          ids_after[inverse_after[r]] == ids_before[inverse_before[r]].
// Throws std::bad_alloc; each array is then either untouched or rewritten.
template <typename I>
void SortIdsAndInverse(I count, I* ids, I height, I* inverse) {
  const std::size_t unique_count = internal::CheckedSize(count);
  IndexVector<I> order(unique_count);
  for (std::size_t k = 0; k < unique_count; ++k) order[k] = static_cast<I>(k);
  // Plain less-than on integers is a strict weak ordering: std::sort is safe.
  std::sort(order.begin(), order.end(), [ids](I a, I b) { return ids[a] < ids[b]; });

  IndexVector<I> sorted(unique_count);
  for (std::size_t j = 0; j < unique_count; ++j) sorted[j] = ids[order[j]];
  std::copy(sorted.begin(), sorted.end(), ids);

  if (inverse == nullptr) return;
  const std::size_t rows = internal::CheckedSize(height);
  // renumber is the inverse permutation of order.
  IndexVector<I> renumber(unique_count);
  for (std::size_t j = 0; j < unique_count; ++j) {
    renumber[static_cast<std::size_t>(order[j])] = static_cast<I>(j);
  }
  IndexVector<I> renumbered(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    renumbered[r] = renumber[static_cast<std::size_t>(inverse[r])];
  }
  std::copy(renumbered.begin(), renumbered.end(), inverse);
}

}  // namespace kedo

#endif  // KEDO_UNIQUE_IDS_HPP
