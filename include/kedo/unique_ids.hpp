// The sort method: order row numbers lexicographically within a tolerance,
// cut the order into groups and number every row's group.
#ifndef KEDO_UNIQUE_IDS_HPP
#define KEDO_UNIQUE_IDS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "kedo/allocator.hpp"
#include "kedo/sorting.hpp"

namespace kedo {
namespace internal {

inline constexpr const char* kVectorTooLarge = "cannot create std::vector larger than max_size()";

// For a parameter that takes no part in deducing T, so that a plain
// nullptr can be passed where a T* is asked for.
template <typename T>
struct NotDeduced {
  using type = T;
};

// A size for an index vector; a negative one is refused as the standard
// vector would refuse its unsigned image.
template <typename I>
std::size_t CheckedSize(I n) {
  if (n < 0) throw std::length_error(kVectorTooLarge);
  return static_cast<std::size_t>(n);
}

// Whether row a sorts before row b. Columns are compared in order; a column
// whose values are equal (==, so also +0/-0 and equal infinities), both NaN,
// or whose difference is strictly below the tolerance is undecided. The first
// other column decides: a before b when a's value is smaller, NaN counting as
// larger than every number. No column decided: equivalent. NaN last means a
// row holding NaN never stands between rows that would otherwise meet.
//
// For a positive tolerance this is no strict weak ordering; it is only ever
// handed to the safe sorts.
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
      if (difference != difference) {  // NaN sorts after every number
        if (row_a[c] != row_a[c] && row_b[c] != row_b[c]) continue;
        return row_b[c] != row_b[c];
      }
      if (std::abs(difference) < tolerance) continue;
      return difference < T(0);
    }
    return false;
  }
};

// The column loop is written out in each comparator on purpose: sharing it
// through a helper function measured markedly slower in the sorts.
//
// RowLess with the width fixed at compile time (kWidth > 0) or taken from
// `width` (kWidth = 0); the same answers. Prefetch lets the sorts ask for a
// row before they compare it.
template <typename T, std::ptrdiff_t kWidth>
struct FixedWidthRowLess {
  const T* data;
  std::ptrdiff_t width;
  T tolerance;

  std::ptrdiff_t Width() const { return kWidth > 0 ? kWidth : width; }

  template <typename I>
  bool operator()(I a, I b) const {
    const std::ptrdiff_t w = Width();
    const T* row_a = data + static_cast<std::ptrdiff_t>(a) * w;
    const T* row_b = data + static_cast<std::ptrdiff_t>(b) * w;
    for (std::ptrdiff_t c = 0; c < w; ++c) {
      if (row_a[c] == row_b[c]) continue;
      const T difference = row_a[c] - row_b[c];
      if (difference != difference) {  // NaN sorts after every number
        if (row_a[c] != row_a[c] && row_b[c] != row_b[c]) continue;
        return row_b[c] != row_b[c];
      }
      if (std::abs(difference) < tolerance) continue;
      return difference < T(0);
    }
    return false;
  }

  template <typename I>
  void Prefetch(I a) const {
    PrefetchRow(data + static_cast<std::ptrdiff_t>(a) * Width(), Width());
  }
};

// Whether two rows of `width` values match: no column differs by more than
// the tolerance. A NaN difference counts as matching.
template <typename T>
inline bool RowValuesMatch(const T* row_a, const T* row_b, std::ptrdiff_t width, T tolerance) {
  for (std::ptrdiff_t c = 0; c < width; ++c) {
    if (tolerance < std::abs(row_a[c] - row_b[c])) return false;
  }
  return true;
}

// A row number with the row's first value beside it, so that most
// comparisons are decided without reading the row.
#pragma pack(push, 4)
template <typename T, typename I>
struct KeyedRow {
  T key;
  I id;
};
#pragma pack(pop)

// FixedWidthRowLess on KeyedRow elements: the same answers, the first
// column read from the element.
template <typename T, std::ptrdiff_t kWidth>
struct KeyedRowLess {
  const T* data;
  std::ptrdiff_t width;
  T tolerance;

  std::ptrdiff_t Width() const { return kWidth > 0 ? kWidth : width; }

  template <typename I>
  bool operator()(const KeyedRow<T, I>& a, const KeyedRow<T, I>& b) const {
    return Order(a, b) < 0;
  }

  // -1 when a sorts before b, 1 when b sorts before a, 0 when neither does:
  // the comparator's answers both ways in one pass over the columns.
  template <typename I>
  int Order(const KeyedRow<T, I>& a, const KeyedRow<T, I>& b) const {
    if (!(a.key == b.key)) {
      const T difference = a.key - b.key;
      if (difference != difference) {
        if (!(a.key != a.key && b.key != b.key)) return b.key != b.key ? -1 : 1;
      } else if (!(std::abs(difference) < tolerance)) {
        return difference < T(0) ? -1 : 1;
      }
    }
    const std::ptrdiff_t w = Width();
    const T* row_a = data + static_cast<std::ptrdiff_t>(a.id) * w;
    const T* row_b = data + static_cast<std::ptrdiff_t>(b.id) * w;
    for (std::ptrdiff_t c = 1; c < w; ++c) {
      if (row_a[c] == row_b[c]) continue;
      const T difference = row_a[c] - row_b[c];
      if (difference != difference) {  // NaN sorts after every number
        if (row_a[c] != row_a[c] && row_b[c] != row_b[c]) continue;
        return row_b[c] != row_b[c] ? -1 : 1;
      }
      if (std::abs(difference) < tolerance) continue;
      return difference < T(0) ? -1 : 1;
    }
    return 0;
  }
  // Asks for the columns after the first.
  template <typename I>
  void Prefetch(const KeyedRow<T, I>& a) const {
    PrefetchRow(data + static_cast<std::ptrdiff_t>(a.id) * Width() + 1, Width() - 1);
  }
};

// Whether `less` is a strict weak ordering on elements[0 .. n), which it has
// sorted: each element then precedes every later one, except those of its own
// run of equivalent neighbours, which precede none of them.
template <typename Less, typename E>
bool SortedRangeIsConsistent(const Less& less, const E* elements, std::size_t n) {
  std::size_t run_start = 0;
  for (std::size_t j = 1; j < n; ++j) {
    if (less(elements[j - 1], elements[j])) run_start = j;
    for (std::size_t i = 0; i < j; ++i) {
      if (less(elements[j], elements[i]) || less(elements[i], elements[j]) != (i < run_start)) {
        return false;
      }
    }
  }
  return true;
}

// A comparator with ties between equivalent elements broken by row number.
// For a strict weak ordering the result is a strict total order, whose sorted
// order is the stable sorted order of ascending row numbers.
template <typename Less>
struct TieBrokenLess {
  Less less;
  template <typename T, typename I>
  bool operator()(const KeyedRow<T, I>& a, const KeyedRow<T, I>& b) const {
    const int order = less.Order(a, b);
    return order != 0 ? order < 0 : a.id < b.id;
  }
  template <typename T, typename I>
  void Prefetch(const KeyedRow<T, I>& a) const {
    less.Prefetch(a);
  }
};

// Orders keyed rows by their first value alone (-0 ties +0; no NaN).
struct ByFirstValue {
  template <typename T, typename I>
  bool operator()(const KeyedRow<T, I>& a, const KeyedRow<T, I>& b) const {
    return a.key < b.key;
  }
  template <typename E>
  void Prefetch(const E&) const {}
};

// Orders keyed rows by their first value, then row number (no NaN): a strict
// order on copied values.
struct ByFirstValueAndId {
  template <typename T, typename I>
  bool operator()(const KeyedRow<T, I>& a, const KeyedRow<T, I>& b) const {
    return a.key < b.key || (!(b.key < a.key) && a.id < b.id);
  }
};

// Sorts elements[0 .. n) in place by bits(element), an unsigned integer, from
// bit `shift` + 7 down: an MSD radix sort, 8 bits a level, each bucket
// permuted into place by cycles. A level whose digit every element shares
// costs one counting pass. Buckets of up to kSmall elements go to
// small_sort(first, last); elements whose bits are all alike to
// all_alike(first, last). No memory beyond the stack; reads and writes only
// elements[0 .. n).
template <typename E, typename Bits, typename SmallSort, typename AllAlike>
void RadixSortInPlace(E* elements, std::size_t n, int shift, const Bits& bits,
                      const SmallSort& small_sort, const AllAlike& all_alike) {
  constexpr std::size_t kSmall = 64;
  auto digit = [&shift, &bits](const E& e) {
    return static_cast<std::size_t>((bits(e) >> shift) & (kRadixBuckets - 1));
  };
  std::size_t count[kRadixBuckets];
  bool alike_checked = false;
  for (; n > kSmall && shift >= 0; shift -= kRadixDigitBits) {
    std::fill(count, count + kRadixBuckets, std::size_t{0});
    for (std::size_t i = 0; i < n; ++i) ++count[digit(elements[i])];
    if (count[digit(elements[0])] == n) {
      // Once, at the first digit that all share: maybe they share every bit.
      if (!alike_checked) {
        alike_checked = true;
        const auto first_bits = bits(elements[0]);
        std::size_t i = 1;
        while (i < n && bits(elements[i]) == first_bits) ++i;
        if (i == n) break;
      }
      continue;
    }
    std::size_t next[kRadixBuckets];
    std::size_t end[kRadixBuckets];
    std::size_t offset = 0;
    for (std::size_t b = 0; b < kRadixBuckets; ++b) {
      next[b] = offset;
      offset += count[b];
      end[b] = offset;
    }
    for (std::size_t b = 0; b < kRadixBuckets; ++b) {
      while (next[b] < end[b]) {
        E moving = elements[next[b]];
        for (std::size_t d = digit(moving); d != b; d = digit(moving)) {
          std::swap(moving, elements[next[d]++]);
        }
        elements[next[b]++] = moving;
      }
    }
    for (std::size_t b = 0, begin = 0; b < kRadixBuckets; begin = end[b++]) {
      if (end[b] - begin > 1) {
        RadixSortInPlace(elements + begin, end[b] - begin, shift - kRadixDigitBits, bits,
                         small_sort, all_alike);
      }
    }
    return;
  }
  if (n > kSmall) {
    all_alike(elements, elements + n);  // every bit shared
  } else {
    small_sort(elements, elements + n);
  }
}

// Sorts elements[0 .. n), keyed rows whose keys are not NaN, as std::sort
// with ByFirstValueAndId would (a strict order, so exactly that order), in
// place: RadixSortInPlace on the keys' OrderedBits from the top, then rows
// whose keys share all their bits on their row numbers (non-negative, all
// different). No memory beyond the stack; reads and writes only
// elements[0 .. n).
template <typename T, typename I>
void RadixSortByValueAndId(KeyedRow<T, I>* elements, std::size_t n,
                           int shift = 8 * static_cast<int>(sizeof(T)) - kRadixDigitBits) {
  using E = KeyedRow<T, I>;
  const auto small_sort = [](E* first, E* last) { std::sort(first, last, ByFirstValueAndId()); };
  const auto by_id = [small_sort](E* first, E* last) {
    RadixSortInPlace(
        first, static_cast<std::size_t>(last - first),
        8 * static_cast<int>(sizeof(I)) - kRadixDigitBits,
        [](const E& e) { return static_cast<std::make_unsigned_t<I>>(e.id); }, small_sort,
        small_sort);
  };
  RadixSortInPlace(
      elements, n, shift, [](const E& e) { return OrderedBits(e.key); }, small_sort, by_id);
}

// The first-column keys of the presort: the order of the values by `<` (-0
// ties +0), 32 bits wide; for double only the upper half, so that keys may
// tie for unequal values.
template <typename T>
std::uint32_t FirstColumnKey(T value) {
  return static_cast<std::uint32_t>(OrderedBits(value) >> (8 * sizeof(T) - 32));
}

// Sorts run[0 .. count), keyed rows whose values (no NaN) share their upper
// 32 OrderedBits, by value, stably: a radix sort on the lower 32 bits, 8 bits
// a pass, through `scratch` (count elements, overwritten). Passes whose digit
// is the same for every row are skipped.
template <typename T, typename I>
void RadixSortRunByLowBits(KeyedRow<T, I>* run, std::size_t count, KeyedRow<T, I>* scratch) {
  constexpr int kDigits = 4;
  constexpr std::size_t kBuckets = 256;
  std::size_t counts[kDigits][kBuckets] = {};
  auto digit = [](const KeyedRow<T, I>& element, int d) {
    return static_cast<std::size_t>((OrderedBits(element.key) >> (8 * d)) & (kBuckets - 1));
  };
  for (std::size_t i = 0; i < count; ++i) {
    for (int d = 0; d < kDigits; ++d) ++counts[d][digit(run[i], d)];
  }
  KeyedRow<T, I>* from = run;
  KeyedRow<T, I>* to = scratch;
  for (int d = 0; d < kDigits; ++d) {
    std::size_t* count_of = counts[d];
    if (count_of[digit(from[0], d)] == count) continue;
    std::size_t offset = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      const std::size_t size = count_of[b];
      count_of[b] = offset;
      offset += size;
    }
    for (std::size_t i = 0; i < count; ++i) to[count_of[digit(from[i], d)]++] = from[i];
    std::swap(from, to);
  }
  if (from != run) std::copy(from, from + count, run);
}

// After a stable radix sort by FirstColumnKey of their keys: puts keyed rows
// whose keys tied for unequal values (double only) in order of value, stably.
// Only runs of one key that are out of order are touched, each on its own: by
// insertion when short, by RadixSortRunByLowBits when the run holds at most
// `scratch_limit` elements and memory for that many can be had (noisy copies
// of one value often share a key), otherwise by a radix sort in place on value
// and row number when `ids_ascending` (each run's row numbers ascend as it
// comes: the same order), or by merging.
template <typename T, typename I>
void OrderKeyTiesByValue(KeyedRow<T, I>* elements, std::size_t count, std::size_t scratch_limit,
                         bool ids_ascending) {
  if constexpr (sizeof(T) > 4) {
    constexpr std::size_t kShortRun = 32;
    const ByFirstValue by_value;
    std::unique_ptr<KeyedRow<T, I>[]> scratch;
    std::size_t scratch_size = 0;
    std::size_t done = 0;  // runs end here or earlier
    for (std::size_t i = 1; i < count; ++i) {
      if (!(elements[i].key < elements[i - 1].key)) continue;
      // A descent lies within one run: find the run's ends.
      const std::uint32_t key = FirstColumnKey(elements[i].key);
      std::size_t start = i - 1;
      while (start > done && FirstColumnKey(elements[start - 1].key) == key) --start;
      std::size_t end = i + 1;
      while (end < count && FirstColumnKey(elements[end].key) == key) ++end;
      KeyedRow<T, I>* const run = elements + start;
      const std::size_t size = end - start;
      if (size > kShortRun && scratch_size < size && size <= scratch_limit) {
        scratch_size = std::min(scratch_limit, std::max(size, 2 * scratch_size));
        scratch.reset();
        scratch.reset(new (std::nothrow) KeyedRow<T, I>[scratch_size]);
        if (!scratch) scratch_size = 0;
      }
      if (size <= kShortRun) {
        InsertionSort(run, run + size, by_value);
      } else if (scratch_size >= size) {
        RadixSortRunByLowBits(run, size, scratch.get());
      } else if (ids_ascending) {
        // The run shares the keys' upper 32 bits: start below them.
        RadixSortByValueAndId(run, size, 32 - kRadixDigitBits);
      } else {
        std::stable_sort(run, run + size, by_value);
      }
      done = end;
      i = end;
    }
  }
}

// Where SortRowIdsByFirstValue puts the groups of the order it keeps, as
// the grouping pass of UniqueIds would: the head positions in `heads`
// (resized), and each row's group number in `inverse` unless it is null.
// `grouped` tells whether it did; an order it sorts otherwise is not grouped.
template <typename I>
struct GroupOutput {
  IndexVector<I>& heads;
  I* inverse;
  bool grouped = false;
};

// Whether the comparator's first column leaves every pair of a cluster
// undecided, from the cluster's smallest and largest first values (numbers):
// both equal, or their difference below the tolerance. Rounding is monotone,
// so no pair's difference rounds to more than that of the two ends.
template <typename T>
bool FirstColumnDecidesNone(T smallest, T largest, T tolerance) {
  return smallest == largest || largest - smallest < tolerance;
}

// Below this many rows a radix sort by the next column's values costs more,
// with its count tables, than the reads of rows that it saves.
inline constexpr std::size_t kNextColumnMinimum = 128;

template <typename T, typename I, typename TieBroken>
bool SortByNextColumn(const T* data, std::ptrdiff_t w, std::ptrdiff_t next_column, T tolerance,
                      T first, KeyedRow<T, I>* elements, std::size_t m, const TieBroken& tie_broken,
                      bool in_place = false);

// For SortByNextColumn: elements[0 .. numbers) in order of their keys, the
// values of column `column`, and NaN keys behind them up to m. Cuts the
// numbers into runs in which each key is less than the tolerance from the
// next, gives every element the first value `first` back (it answers as each
// row's own would: undecided) and sorts each run and the NaN rows with
// `tie_broken`: short ones by insertion, long ones by UnstableSort when
// `in_place`, else by StableSort. A run whose keys decide no pair of it is
// ordered by row number when `column` is the last (every pair of it is
// equivalent), and when long by SortByNextColumn on the column after, for
// the first few columns.
template <typename T, typename I, typename TieBroken>
void SortRunsOfNextColumn(const T* data, std::ptrdiff_t w, std::ptrdiff_t column,
                          KeyedRow<T, I>* elements, std::size_t m, std::size_t numbers, T tolerance,
                          T first, const TieBroken& tie_broken, bool in_place) {
  constexpr std::size_t kInsertionRun = 32;
  constexpr std::ptrdiff_t kRadixColumns = 16;
  auto sort_run = [&](std::size_t begin, std::size_t end) {
    const bool undecided =
        begin < numbers &&
        FirstColumnDecidesNone(elements[begin].key, elements[end - 1].key, tolerance);
    for (std::size_t i = begin; i < end; ++i) elements[i].key = first;
    if (undecided && column + 1 == w) {
      const auto by_id = [](const KeyedRow<T, I>& a, const KeyedRow<T, I>& b) {
        return a.id < b.id;
      };
      if (!std::is_sorted(elements + begin, elements + end, by_id)) {
        std::sort(elements + begin, elements + end, by_id);
      }
      return;
    }
    if (undecided && end - begin > kNextColumnMinimum && column + 1 < std::min(w, kRadixColumns) &&
        SortByNextColumn(data, w, column + 1, tolerance, first, elements + begin, end - begin,
                         tie_broken, in_place)) {
      return;
    }
    if (end - begin <= kInsertionRun) {
      InsertionSort(elements + begin, elements + end, tie_broken);
    } else if (in_place) {
      UnstableSort(elements + begin, elements + end, tie_broken);
    } else {
      StableSort(elements + begin, elements + end, tie_broken);
    }
  };
  constexpr std::size_t kAhead = 16;
  std::size_t start = 0;
  for (std::size_t p = 1; p <= numbers; ++p) {
    if (p + kAhead < m) tie_broken.Prefetch(elements[p + kAhead]);
    if (p < numbers) {
      const T before = elements[p - 1].key;
      const T after = elements[p].key;
      if (before == after || std::abs(before - after) < tolerance) continue;
    }
    sort_run(start, p);
    start = p;
  }
  sort_run(numbers, m);
}

// Sorts elements[0 .. m) with `tie_broken` (a TieBrokenLess over a
// KeyedRowLess) when their keys decide no pair of them (see
// FirstColumnDecidesNone; `first` is one of their keys), and neither do the
// columns before `next_column` (1 .. w - 1), the column after the keys': the
// rows are put in order of their values in `next_column` (NaN last) by a
// radix sort and cut into runs in which each value is less than the
// tolerance from the next; the comparator decides every pair from different
// runs by that column, in that order, and each run is sorted on its own.
// For a strict weak ordering that is the order the whole range sorted by
// `tie_broken` would have. Returns false, the elements as they came, when the
// range is short or the column's values are mostly in order already (the
// comparator's sort is then quicker) or memory for the scratch cannot be had.
//
// With `in_place` no scratch is taken and it always sorts: the column's
// values and row numbers are sorted in place, and long runs by UnstableSort
// (the same order for a strict weak ordering, since `tie_broken` orders every
// pair). On an inconsistent ordering the two variants' orders may differ.
template <typename T, typename I, typename TieBroken>
bool SortByNextColumn(const T* data, std::ptrdiff_t w, std::ptrdiff_t next_column, T tolerance,
                      T first, KeyedRow<T, I>* elements, std::size_t m, const TieBroken& tie_broken,
                      bool in_place) {
  constexpr std::size_t kFewDescents = 8;
  auto next_value = [&](I id) { return data[static_cast<std::ptrdiff_t>(id) * w + next_column]; };
  if (in_place) {
    for (std::size_t i = 0; i < m; ++i) elements[i].key = next_value(elements[i].id);
    const auto is_number = [](const KeyedRow<T, I>& e) { return e.key == e.key; };
    const std::size_t numbers =
        static_cast<std::size_t>(std::partition(elements, elements + m, is_number) - elements);
    RadixSortByValueAndId(elements, numbers);
    SortRunsOfNextColumn(data, w, next_column, elements, m, numbers, tolerance, first, tie_broken,
                         true);
    return true;
  }
  if (m <= kNextColumnMinimum) return false;
  // Second values mostly in order already: the merge sort is quicker.
  std::size_t descents = 0;
  for (std::size_t i = 1; i < m; ++i) {
    if (next_value(elements[i].id) < next_value(elements[i - 1].id)) ++descents;
  }
  if (descents < m / kFewDescents) return false;
  // Numbers to the front, NaN from the back. The radix sort's memory is
  // freed before the ties of its keys are ordered, which may take as much.
  std::size_t numbers = 0;
  {
    RadixScratch<std::uint32_t, I> scratch(m);
    std::unique_ptr<std::uint32_t[]> keys(new (std::nothrow) std::uint32_t[m]);
    std::unique_ptr<I[]> ids(new (std::nothrow) I[m]);
    if (!scratch.ok() || !keys || !ids) return false;
    std::size_t back = m;
    for (std::size_t i = 0; i < m; ++i) {
      const I id = elements[i].id;
      const T value = next_value(id);
      if (value == value) {
        keys[numbers] = FirstColumnKey(value);
        ids[numbers++] = id;
      } else {
        ids[--back] = id;
      }
    }
    RadixSortPairsWith(keys.get(), ids.get(), numbers, 0, scratch.keys.get(), scratch.ids.get(),
                       scratch.counts.get());
    for (std::size_t i = 0; i < numbers; ++i)
      elements[i] = KeyedRow<T, I>{next_value(ids[i]), ids[i]};
    for (std::size_t i = numbers; i < m; ++i) elements[i] = KeyedRow<T, I>{first, ids[i]};
  }
  OrderKeyTiesByValue(elements, numbers, numbers, false);
  SortRunsOfNextColumn(data, w, next_column, elements, m, numbers, tolerance, first, tie_broken,
                       false);
  return true;
}

// What a test of a sorted range for consistency found: that the comparator
// is a strict weak ordering on it (and the range in its order), that it is
// not, or neither.
enum class Consistency { kShown, kUnknown, kRefuted };

// Whether the row comparator `less` is a strict weak ordering on the keyed
// rows [0, n), which it has sorted, shown column by column along their order:
// in each column, every stretch of rows that the earlier columns leave
// undecided must fall into runs, each deciding before the next run (its
// largest value before the next one's smallest, so every pair) and each
// tight (its smallest and largest values undecided, so every pair in it) or,
// with at most `checked` rows, shown by SortedRangeIsConsistent. The
// comparator is then the lexicographic order of the runs, and the rows are in
// that order. kRefuted when SortedRangeIsConsistent fails on a run: no strict
// weak ordering sorts a range that way. kUnknown when the columns show
// neither.
template <typename T, typename I, std::ptrdiff_t kWidth>
Consistency ColumnsShowConsistentOrder(const KeyedRowLess<T, kWidth>& less,
                                       const KeyedRow<T, I>* rows, std::size_t n,
                                       std::size_t checked) {
  const T* const data = less.data;
  const std::ptrdiff_t w = less.Width();
  const T tolerance = less.tolerance;
  auto undecided = [tolerance](T a, T b) {
    return a == b || (a != a && b != b) || std::abs(a - b) < tolerance;
  };
  auto decides_before = [&](T a, T b) { return !undecided(a, b) && (a < b || (b != b && a == a)); };
  std::vector<std::pair<std::size_t, std::size_t>> stretches{{0, n}};
  std::vector<std::pair<std::size_t, std::size_t>> next;
  struct Run {
    std::size_t begin;
    T smallest;
    T largest;
  };
  std::vector<Run> runs;
  constexpr std::size_t kAhead = 16;
  for (std::ptrdiff_t c = 0; c < w && !stretches.empty(); ++c) {
    auto value = [&](std::size_t p) {
      return c == 0 ? rows[p].key : data[static_cast<std::ptrdiff_t>(rows[p].id) * w + c];
    };
    next.clear();
    for (const auto& [begin, end] : stretches) {
      // Runs as they close; a run whose smallest value does not decide
      // after the largest of the run before it is merged into that one.
      runs.clear();
      Run current{begin, value(begin), value(begin)};
      for (std::size_t p = begin + 1; p <= end; ++p) {
        if (c > 0 && p + kAhead < end) {
          __builtin_prefetch(data + static_cast<std::ptrdiff_t>(rows[p + kAhead].id) * w + c);
        }
        const T v = p < end ? value(p) : T(0);
        if (p < end && !decides_before(current.largest, v)) {
          // A number after NaN: no order of the comparator has that.
          if (current.largest != current.largest && v == v) return Consistency::kRefuted;
          if (v < current.smallest) current.smallest = v;
          if (current.largest < v) current.largest = v;
          continue;
        }
        while (!runs.empty() && !decides_before(runs.back().largest, current.smallest)) {
          const Run& before = runs.back();
          current = Run{before.begin, std::min(before.smallest, current.smallest),
                        std::max(before.largest, current.largest)};
          runs.pop_back();
        }
        runs.push_back(current);
        if (p < end) current = Run{p, v, v};
      }
      for (std::size_t k = 0; k < runs.size(); ++k) {
        const std::size_t run_begin = runs[k].begin;
        const std::size_t run_end = k + 1 < runs.size() ? runs[k + 1].begin : end;
        if (undecided(runs[k].smallest, runs[k].largest)) {
          if (run_end - run_begin >= 2) next.emplace_back(run_begin, run_end);
        } else if (run_end - run_begin > checked) {
          return Consistency::kUnknown;
        } else if (!SortedRangeIsConsistent(less, rows + run_begin, run_end - run_begin)) {
          return Consistency::kRefuted;
        }
      }
    }
    std::swap(stretches, next);
  }
  return Consistency::kShown;
}

// Marks in class_start where classes of equivalent neighbours start within
// the cluster keyed[first .. last), which `less` has sorted, and returns
// what its columns show of its consistency (see ColumnsShowConsistentOrder);
// kShown when it has at most `checked` rows, which the caller tests.
template <typename T, typename I, std::ptrdiff_t kWidth>
Consistency MarkClassesOfCluster(const KeyedRowLess<T, kWidth>& less, const KeyedRow<T, I>* keyed,
                                 std::size_t first, std::size_t last, std::size_t checked,
                                 std::vector<bool>& class_start) {
  constexpr std::size_t kAhead = 16;
  for (std::size_t p = first + 1; p < last; ++p) {
    if (p + kAhead < last) less.Prefetch(keyed[p + kAhead]);
    class_start[p] = less.Order(keyed[p - 1], keyed[p]) != 0;
  }
  if (last - first <= checked) return Consistency::kShown;
  return ColumnsShowConsistentOrder(less, keyed + first, last - first, checked);
}

// A row number and the number of its class of equivalent rows.
template <typename I>
struct RankedId {
  I rank;
  I id;
};

// Writes to ids[0 .. n) the row numbers lowest .. lowest + n - 1 in the
// order UnstableSort leaves them in from ascending order, when its
// comparator's answers are those of comparing the rows' class numbers
// class_of[0 .. n). The row comparator answers so on rows whose classes of
// equivalent rows are numbered in its order, when it is a strict weak
// ordering on them: UnstableSort then makes the same moves without reading a
// row. `ids` may be `class_of`. False, with `ids` untouched, when memory runs
// out.
template <typename I>
bool SortRowsByClassUnstably(const I* class_of, I lowest, std::size_t n, I* ids) {
  std::unique_ptr<RankedId<I>[]> ranked(new (std::nothrow) RankedId<I>[n]);
  if (!ranked) return false;
  AdviseHugePages(ranked.get(), n * sizeof(RankedId<I>));
  for (std::size_t i = 0; i < n; ++i) {
    ranked[i] = RankedId<I>{class_of[i], static_cast<I>(lowest + static_cast<I>(i))};
  }
  UnstableSort(ranked.get(), ranked.get() + n,
               [](const RankedId<I>& a, const RankedId<I>& b) { return a.rank < b.rank; });
  for (std::size_t p = 0; p < n; ++p) ids[p] = ranked[p].id;
  return true;
}

// For the unstable variant: sorts ids[0 .. n), the row numbers lowest ..
// lowest + n - 1, exactly as UnstableSort with the row comparator would sort
// them in ascending order, given keyed[0 .. n), those rows in an order of
// the comparator, which must be a strict weak ordering on them, and where
// its classes of equivalent rows start (cluster_start or class_start); see
// SortRowsByClassUnstably. Frees `keyed`. False, with `ids` overwritten, when
// memory runs out.
template <typename T, typename I>
bool SortIdsByClassRank(std::unique_ptr<KeyedRow<T, I>[]>& keyed,
                        const std::vector<bool>& cluster_start,
                        const std::vector<bool>& class_start, I lowest, I* ids, std::size_t n) {
  // Class numbers by row, in ids.
  I rank = -1;
  for (std::size_t p = 0; p < n; ++p) {
    rank += cluster_start[p] || class_start[p];
    ids[static_cast<std::size_t>(keyed[p].id - lowest)] = rank;
  }
  keyed.reset();
  return SortRowsByClassUnstably(ids, lowest, n, ids);
}

// The column whose values key the presort of the rows ids[0 .. n): the
// first one, or, when the first columns hold no NaN and decide no pair of
// the rows (see FirstColumnDecidesNone), the column after them (at most the
// last). The comparator's answers on these rows are then those of one that
// takes the key column first and the columns from the second on after it.
template <typename T, typename I>
std::ptrdiff_t KeyColumn(const T* data, std::ptrdiff_t w, T tolerance, const I* ids,
                         std::size_t n) {
  std::ptrdiff_t column = 0;
  if (n == 0) return column;
  for (; column + 1 < w; ++column) {
    const T first = data[static_cast<std::ptrdiff_t>(ids[0]) * w + column];
    T smallest = first;
    T largest = first;
    for (std::size_t i = 0; i < n; ++i) {
      const T value = data[static_cast<std::ptrdiff_t>(ids[i]) * w + column];
      if (value != value) return column;
      smallest = std::min(smallest, value);
      largest = std::max(largest, value);
      if (!FirstColumnDecidesNone(smallest, largest, tolerance)) return column;
    }
  }
  return column;
}

// The fewest rows that SortRowIdsByFirstValue sorts, and the most rows a
// cluster of first values can hold before it counts as long there.
inline constexpr std::size_t kPresortMinimum = 256;
inline constexpr std::size_t LongClusterSize(std::size_t rows) { return rows / 8; }

// Sorts `ids`, which holds strictly ascending row numbers, with
// FixedWidthRowLess<T, kWidth> (width >= 1) from an order by first values.
//
// The rows are first put in order of their first values (NaN last) by a
// radix sort; where the first columns decide no pair, the values of the
// column after them serve as first values instead (see KeyColumn). They fall
// into clusters: runs in which each first value is less than the tolerance
// from the next. The comparator decides every pair of rows from different
// clusters by the first column alone, in that order (the difference only
// grows across a cluster boundary), so each cluster is sorted on its own,
// with ties between equivalent rows broken by row number. For a strict weak
// ordering that is exactly the stable sorted order, whatever order the
// cluster started from.
//
// For the unstable variant (`stable` false) every cluster of at most
// kCheckedCluster rows is tested for consistency. When none is found
// inconsistent, the order among equivalent rows must stay as the plain
// unstable sort leaves it. If equivalent rows are all equal bit for bit, the
// presort's order is kept: only which of the copies heads which group could
// differ. Otherwise the plain unstable sort's order is made from class
// numbers where the longer clusters are shown consistent too (see
// SortIdsByClassRank), and the routine declines where they are not. A longer
// cluster whose columns show it inconsistent (see ColumnsShowConsistentOrder)
// lets the presort's order stand as a checked one does.
//
// With `groups`, a kept order is also grouped (see GroupOutput).
//
// Returns false, with `ids` as it came, when it declines or when memory for
// its scratch cannot be had; the caller then sorts the range (and groups it;
// `groups` may then hold partial output).
template <bool stable, typename T, typename I, std::ptrdiff_t kWidth>
bool SortRowIdsByFirstValue(const T* data, std::ptrdiff_t width, T tolerance, I* ids, std::size_t n,
                            GroupOutput<I>* groups = nullptr) {
  constexpr std::size_t kCheckedCluster = 64;
  constexpr std::size_t kInsertionCluster = 32;
  const std::ptrdiff_t w = kWidth > 0 ? kWidth : width;
  const std::ptrdiff_t key_column = KeyColumn(data, w, tolerance, ids, n);
  auto first_value = [&](I id) { return data[static_cast<std::ptrdiff_t>(id) * w + key_column]; };
  // Ascending ids that are consecutive need no sort to be put back.
  const bool consecutive = n > 0 && static_cast<std::size_t>(ids[n - 1] - ids[0]) == n - 1;
  const I lowest = n > 0 ? ids[0] : I(0);
  auto decline = [&] {
    if (consecutive) {
      std::iota(ids, ids + n, lowest);
    } else {
      std::sort(ids, ids + n);
    }
    return false;
  };

  // One pass over the first values: keys for the numbers, which move to the
  // front; rows whose first value is NaN go last, in their incoming order.
  // The keys and the radix sort's scratch are freed before the keyed copy is
  // made, so that at most four index-sized arrays exist at a time.
  std::size_t numbers = 0;
  {
    std::unique_ptr<std::uint32_t[]> keys(new (std::nothrow) std::uint32_t[n]);
    if (!keys) return decline();
    AdviseHugePages(keys.get(), n * sizeof(std::uint32_t));
    IndexVector<I> nan_rows;
    for (std::size_t i = 0; i < n; ++i) {
      const I id = ids[i];
      const T value = first_value(id);
      if (value == value) {
        keys[numbers] = FirstColumnKey(value);
        ids[numbers++] = id;
      } else {
        nan_rows.push_back(id);
      }
    }
    std::copy(nan_rows.begin(), nan_rows.end(), ids + numbers);
    if (!RadixSortPairs(keys.get(), ids, numbers)) return decline();
  }
  std::unique_ptr<KeyedRow<T, I>[]> keyed(new (std::nothrow) KeyedRow<T, I>[n]);
  if (!keyed) return decline();
  AdviseHugePages(keyed.get(), n * sizeof(KeyedRow<T, I>));
  constexpr std::size_t kAhead = 16;
  for (std::size_t p = 0; p < n; ++p) {
    if (p + kAhead < n) __builtin_prefetch(data + static_cast<std::ptrdiff_t>(ids[p + kAhead]) * w);
    keyed[p] = KeyedRow<T, I>{first_value(ids[p]), ids[p]};
  }
  // Ties in ascending row numbers; scratch within half a byte per row.
  OrderKeyTiesByValue(keyed.get(), numbers, numbers / 24, true);

  // Cluster starts. A cluster of more than an eighth of the rows is sorted
  // in place by the next column when its first values decide no pair; other
  // first values that dense against the tolerance gain nothing from the
  // presort. Declining on them also bounds the merge sort's scratch.
  const std::size_t long_cluster = LongClusterSize(n);
  std::vector<bool> cluster_start(n + 1, false);
  cluster_start[0] = cluster_start[numbers] = cluster_start[n] = true;
  bool has_long_cluster = false;
  std::size_t start = 0;
  for (std::size_t p = 1; p <= n; ++p) {
    if (p < numbers) {
      const T before = keyed[p - 1].key;
      const T after = keyed[p].key;
      cluster_start[p] = !(before == after || std::abs(before - after) < tolerance);
    }
    if (!cluster_start[p]) continue;
    if (p - start > long_cluster) {
      if (!(key_column + 1 < w && start < numbers &&
            FirstColumnDecidesNone(keyed[start].key, keyed[p - 1].key, tolerance))) {
        return decline();
      }
      has_long_cluster = true;
    }
    start = p;
  }

  // Each cluster from its order by first value: short ones by insertion,
  // which then moves few rows; long ones whose first column decides nothing
  // by their second values first; other long ones by merging, which skips
  // merges already in order. Once the order is sure to be kept, each sorted
  // cluster is grouped while its rows are still in the cache.
  KeyedRowLess<T, kWidth> less{data, width, tolerance};
  TieBrokenLess<KeyedRowLess<T, kWidth>> tie_broken{less};
  // Grouped positions are final: their ids go to `ids` at once, and the
  // head positions are kept in the keyed copy's spent front (a head is never
  // behind its position, and an element is 2 or 3 ids wide).
  bool keep = stable;
  std::size_t grouped = 0;
  std::size_t head_count = 0;
  static_assert(sizeof(KeyedRow<T, I>) >= sizeof(I), "a head must fit in a spent element");
  unsigned char* const spent = reinterpret_cast<unsigned char*>(keyed.get());
  const T* head_row = data;
  auto group_up_to = [&](std::size_t end) {
    // Rows of short clusters are still in the cache from their sort.
    const std::size_t fetch_end = end - grouped > kCheckedCluster ? end : grouped;
    for (std::size_t p = grouped; p < end; ++p) {
      if (p + kAhead < fetch_end) {
        PrefetchRow(data + static_cast<std::ptrdiff_t>(keyed[p + kAhead].id) * w, w);
      }
      const I id = keyed[p].id;
      ids[p] = id;
      const T* row = data + static_cast<std::ptrdiff_t>(id) * w;
      if (p == 0 || !RowValuesMatch(head_row, row, w, tolerance)) {
        head_row = row;
        const I position = static_cast<I>(p);
        std::memcpy(spent + head_count * sizeof(I), &position, sizeof(I));
        ++head_count;
      }
      if (groups->inverse != nullptr) groups->inverse[id] = static_cast<I>(head_count - 1);
    }
    grouped = end;
  };
  auto sort_cluster = [&](std::size_t first, std::size_t last) {
    if (last - first <= kInsertionCluster) {
      InsertionSort(keyed.get() + first, keyed.get() + last, tie_broken);
    } else if (last - first > long_cluster) {
      SortByNextColumn<T, I>(data, w, key_column + 1, tolerance, keyed[first].key,
                             keyed.get() + first, last - first, tie_broken, true);
    } else if (!(key_column + 1 < w &&
                 FirstColumnDecidesNone(keyed[first].key, keyed[last - 1].key, tolerance) &&
                 SortByNextColumn<T, I>(data, w, key_column + 1, tolerance, keyed[first].key,
                                        keyed.get() + first, last - first, tie_broken))) {
      StableSort(keyed.get() + first, keyed.get() + last, tie_broken);
    }
  };
  // Whether all equivalent neighbours so far are equal bit for bit. Where
  // the first column alone leaves the rows in long clusters, the unstable
  // variant does not rely on that: it makes the plain unstable sort's order
  // from class numbers or declines, so that the copy heading each group is
  // the plain sort's there too.
  bool equal_classes = stable || (key_column == 0 && !has_long_cluster);
  // Whether the plain unstable sort's order can still be made from class
  // numbers (see SortIdsByClassRank): the clusters are then all sorted, the
  // long ones shown consistent as they finish from `ranked_from` on (those
  // before, once classes stop being copies), and classes marked as they go.
  bool can_rank = !stable && consecutive && numbers == n;
  std::vector<bool> class_start(can_rank ? n : 0, false);
  std::size_t ranked_from = n;
  // Otherwise the unstable variant declines unless a checked cluster proves
  // inconsistent: clusters too long to be checked are left unsorted from
  // `unsorted_from` on, and sorted only if the order is kept.
  std::size_t unsorted_from = n;
  auto sort_unsorted = [&](std::size_t end) {
    std::size_t first = unsorted_from;
    for (std::size_t p = first + 1; p <= end && first < end; ++p) {
      if (!cluster_start[p]) continue;
      if (p - first > kCheckedCluster) sort_cluster(first, p);
      first = p;
    }
    unsorted_from = n;
  };
  // Marks the classes of a sorted cluster: ranking goes on while clusters
  // are shown consistent, and one proven inconsistent lets the order stand.
  auto mark_classes = [&](std::size_t first, std::size_t last) {
    const Consistency found =
        MarkClassesOfCluster(less, keyed.get(), first, last, kCheckedCluster, class_start);
    can_rank = found == Consistency::kShown;
    keep = found == Consistency::kRefuted;
  };
  auto finish_cluster = [&](std::size_t first, std::size_t last) {
    const std::size_t size = last - first;
    if (!keep && size >= 3 && size <= kCheckedCluster &&
        !SortedRangeIsConsistent(less, keyed.get() + first, size)) {
      keep = true;
      sort_unsorted(first);
    }
    for (std::size_t p = first + 1; !keep && equal_classes && p < last; ++p) {
      if (less.Order(keyed[p - 1], keyed[p]) != 0) continue;
      const T* before = data + static_cast<std::ptrdiff_t>(keyed[p - 1].id) * w;
      const T* after = data + static_cast<std::ptrdiff_t>(keyed[p].id) * w;
      if (std::memcmp(before, after, static_cast<std::size_t>(w) * sizeof(T)) == 0) continue;
      equal_classes = false;
      // Copies that differ only in the signs of zeros sort about as fast
      // plainly; class numbers pay off for copies that differ in value.
      can_rank = can_rank && !std::equal(before, before + w, after);
    }
    if (!keep && !equal_classes && can_rank) {
      if (ranked_from == n) ranked_from = first;
      mark_classes(first, last);
    }
    if (!keep && !equal_classes && !can_rank && unsorted_from == n) unsorted_from = last;
    if (keep && groups != nullptr) group_up_to(last);
  };
  start = 0;
  for (std::size_t p = 1; p <= numbers; ++p) {
    // A row alone in its cluster is compared with nothing; only the
    // grouping reads it.
    if (p + kAhead < numbers &&
        (groups != nullptr || !cluster_start[p + kAhead] || !cluster_start[p + kAhead + 1])) {
      less.Prefetch(keyed[p + kAhead]);
    }
    if (p < numbers && !cluster_start[p]) continue;
    if (keep || equal_classes || can_rank || p - start <= kCheckedCluster) {
      sort_cluster(start, p);
    }
    finish_cluster(start, p);
    start = p;
  }
  // The rows with NaN first sort among themselves by the later columns.
  Sort<stable>(keyed.get() + numbers, keyed.get() + n, less);
  finish_cluster(numbers, n);
  if (!keep && !equal_classes) {
    // The plain unstable sort's order, from class numbers, where it can be
    // had; the clusters before `ranked_from` are marked and shown now. All
    // clusters are sorted then, and an inconsistent one lets the order stand.
    for (std::size_t first = 0, p = 1; can_rank && p <= ranked_from; ++p) {
      if (!cluster_start[p]) continue;
      mark_classes(first, p);
      first = p;
    }
    if (!keep) {
      return (can_rank && SortIdsByClassRank(keyed, cluster_start, class_start, lowest, ids, n)) ||
             decline();
    }
  }
  // Kept: stable, or an inconsistent ordering, or a consistent one in which
  // every class of equivalent rows is one row repeated (the plain unstable
  // sort could only have picked another copy of each head).
  if (groups != nullptr) {
    group_up_to(n);
    groups->grouped = true;
  }
  for (std::size_t p = grouped; p < n; ++p) ids[p] = keyed[p].id;
  if (groups != nullptr) {
    groups->heads.resize(head_count);
    if (head_count > 0) std::memcpy(groups->heads.data(), spent, head_count * sizeof(I));
  }
  return true;
}

// Whether SortRowIdsByFirstValue may sort ids[0 .. n): enough rows to pay
// for its passes, a first column, and strictly ascending row numbers.
template <typename I>
bool PresortApplies(std::ptrdiff_t width, const I* ids, std::size_t n) {
  return n >= kPresortMinimum && width >= 1 &&
         std::adjacent_find(ids, ids + n, std::greater_equal<I>()) == ids + n;
}

// Sorts `ids` (row numbers) with FixedWidthRowLess<T, kWidth>: as
// Sort<stable> on the ids would, element for element, since the sorts see
// the same answers. The ids are sorted with their first values beside them
// (two or more columns); `ids` gives up its storage meanwhile, to bound the
// peak memory.
template <bool stable, typename T, typename I, std::ptrdiff_t kWidth>
void SortRowIdsPlain(const T* data, std::ptrdiff_t width, T tolerance, IndexVector<I>& ids) {
  const std::size_t n = ids.size();
  if (n < 2) return;
  std::unique_ptr<KeyedRow<T, I>[]> keyed;
  if (kWidth != 1 && width > 1) keyed.reset(new (std::nothrow) KeyedRow<T, I>[n]);
  if (!keyed) {  // at most one column, or no memory for the keyed copy: sort the ids
    const FixedWidthRowLess<T, kWidth> less{data, width, tolerance};
    Sort<stable>(ids.data(), ids.data() + n, less);
    return;
  }
  AdviseHugePages(keyed.get(), n * sizeof(KeyedRow<T, I>));
  for (std::size_t i = 0; i < n; ++i) {
    const I id = ids[i];
    keyed[i] = KeyedRow<T, I>{data[static_cast<std::ptrdiff_t>(id) * width], id};
  }
  IndexVector<I>().swap(ids);
  const KeyedRowLess<T, kWidth> less{data, width, tolerance};
  Sort<stable>(keyed.get(), keyed.get() + n, less);
  ids.resize(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = keyed[i].id;
}

// Sorts `ids` (row numbers) with FixedWidthRowLess<T, kWidth>: by
// SortRowIdsByFirstValue<stable> where it applies and does not decline,
// otherwise by SortRowIdsPlain<plain_stable>.
template <bool stable, typename T, typename I, std::ptrdiff_t kWidth, bool plain_stable = stable>
void SortRowIds(const T* data, std::ptrdiff_t width, T tolerance, IndexVector<I>& ids) {
  const std::size_t n = ids.size();
  if (n < 2) return;
  if (PresortApplies(width, ids.data(), n) &&
      SortRowIdsByFirstValue<stable, T, I, kWidth>(data, width, tolerance, ids.data(), n)) {
    return;
  }
  SortRowIdsPlain<plain_stable, T, I, kWidth>(data, width, tolerance, ids);
}

// Whether rows a and b match: no column differs by more than the tolerance.
// A NaN difference counts as matching; with no columns every pair matches.
template <typename T>
bool RowsMatch(const T* data, std::ptrdiff_t width, T tolerance, std::ptrdiff_t a,
               std::ptrdiff_t b) {
  return RowValuesMatch(data + a * width, data + b * width, width, tolerance);
}

// Copies rows: out[i * width .. (i + 1) * width) receives row rows[i] of
// `data` (row-major, `width` values a row), bit for bit, for i < count. Every
// rows[i] must name a row of `data`; `out` holds count * width values and does
// not overlap `data`. Reads no other row and writes nothing past out's end.
// Rows are fetched ahead, since `rows` is usually in no order.
template <typename T, typename I>
void GatherRows(const T* data, std::ptrdiff_t width, const I* rows, std::size_t count, T* out) {
  if (width <= 0) return;
  WithWidth(width, [&](auto fixed) {
    constexpr std::ptrdiff_t kWidth = decltype(fixed)::value;
    const std::ptrdiff_t w = kWidth > 0 ? kWidth : width;
    const std::size_t row_bytes = static_cast<std::size_t>(w) * sizeof(T);
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kAhead < count) {
        PrefetchRow(data + static_cast<std::ptrdiff_t>(rows[i + kAhead]) * w, w);
      }
      const T* row = data + static_cast<std::ptrdiff_t>(rows[i]) * w;
      std::memcpy(out + static_cast<std::ptrdiff_t>(i) * w, row, row_bytes);
    }
  });
}

// Sorts the row numbers in `sorted_ids` in place with RowLess; stably when
// `stable`. Throws std::runtime_error when sorted_ids does not hold `height`
// entries. Reads rows only through the numbers it is given, which must lie in
// 0 .. height - 1.
template <bool stable, typename T, typename I>
void ArgSortAlongHeight(const T* data, I height, I width, T tolerance, IndexVector<I>& sorted_ids) {
  if (static_cast<I>(sorted_ids.size()) != height ||
      sorted_ids.size() != static_cast<std::size_t>(height)) {
    throw std::runtime_error(
        "internal::ArgSortAlongHeight - input sorted_ids does not match size of "
        "arrays to be sorted.");
  }
  const auto row_width = static_cast<std::ptrdiff_t>(width);
  WithWidth(row_width, [&](auto fixed) {
    SortRowIds<stable, T, I, decltype(fixed)::value>(data, row_width, tolerance, sorted_ids);
  });
}

// Whether any value is NaN; `negative_zero` receives whether any is -0.
template <typename T>
bool ContainsNaN(const T* values, std::size_t count, bool& negative_zero) {
  constexpr BitsOf<T> kNegativeZero = BitsOf<T>(1) << (8 * sizeof(T) - 1);
  bool nan = false;
  bool zero = false;
  for (std::size_t i = 0; i < count; ++i) {
    BitsOf<T> bits;
    std::memcpy(&bits, values + i, sizeof bits);
    nan |= values[i] != values[i];
    zero |= bits == kNegativeZero;
  }
  negative_zero = zero;
  return nan;
}

#if defined(__x86_64__) && !defined(__POPCNT__) && (defined(__GNUC__) || defined(__clang__))
#define KEDO_POPCNT_DISPATCH 1
#else
#define KEDO_POPCNT_DISPATCH 0
#endif

// A set of row numbers below a given extent at one bit per row, which stays
// in the cache where a table of 4-byte entries per row would not. After
// CountBelow, the rank of a member (how many members are below it) takes two
// reads.
template <typename I>
class RowBitmap {
 public:
  explicit RowBitmap(std::size_t extent) : words_((extent + 63) / 64, 0) {}

  // Adds `row` (below the extent); false when it was there already.
  bool Insert(std::size_t row) {
    const std::uint64_t bit = std::uint64_t{1} << (row % 64);
    std::uint64_t& word = words_[row / 64];
    if ((word & bit) != 0) return false;
    word |= bit;
    return true;
  }

  // Counts the members before each word, for Rank; call after the last Insert.
  void CountBelow() {
    below_.resize(words_.size());
    I sum = 0;
    for (std::size_t w = 0; w < words_.size(); ++w) {
      below_[w] = sum;
      sum = static_cast<I>(sum + __builtin_popcountll(words_[w]));
    }
  }

  // The number of members below `row`, after CountBelow.
  I Rank(std::size_t row) const {
    const std::uint64_t lower = words_[row / 64] & ((std::uint64_t{1} << (row % 64)) - 1);
    return static_cast<I>(below_[row / 64] + __builtin_popcountll(lower));
  }

  // ranks[k] = Rank(rows[k]) for k < count, after CountBelow; `ranks` may
  // be `rows`. Portable x86-64 code counts bits by a library call, so the
  // loop is also built for the popcnt instruction and picked at run time.
  void RankAll(const I* rows, std::size_t count, I* ranks) const {
#if KEDO_POPCNT_DISPATCH
    if (__builtin_cpu_supports("popcnt")) return RankAllWithPopcnt(rows, count, ranks);
#endif
    RankAllPortable(rows, count, ranks);
  }

  // The two builds of RankAll's loop; the second exists only where RankAll
  // may pick it, and needs a CPU with popcnt.
  void RankAllPortable(const I* rows, std::size_t count, I* ranks) const {
    for (std::size_t k = 0; k < count; ++k) ranks[k] = Rank(static_cast<std::size_t>(rows[k]));
  }
#if KEDO_POPCNT_DISPATCH
  __attribute__((target("popcnt"))) void RankAllWithPopcnt(const I* rows, std::size_t count,
                                                           I* ranks) const {
    for (std::size_t k = 0; k < count; ++k) ranks[k] = Rank(static_cast<std::size_t>(rows[k]));
  }
#endif

  // Writes the members to out[0 ..), ascending.
  void Members(I* out) const {
    std::size_t j = 0;
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t left = words_[w]; left != 0; left &= left - 1) {
        out[j++] = static_cast<I>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(left)));
      }
    }
  }

 private:
  ScratchVector<std::uint64_t> words_;
  ScratchVector<I> below_;
};

// Hashing and equality of whole rows, for the exact path.
template <typename T, std::ptrdiff_t kWidth>
struct ExactRows {
  const T* data;
  std::ptrdiff_t width;

  std::ptrdiff_t Width() const { return kWidth > 0 ? kWidth : width; }
  const T* Row(std::ptrdiff_t r) const { return data + r * Width(); }

  std::uint64_t Hash(std::ptrdiff_t r) const {
    const T* row = Row(r);
    std::uint64_t h = 0x243f6a8885a308d3ull;
    for (std::ptrdiff_t c = 0; c < Width(); ++c) {
      h = (h ^ static_cast<std::uint64_t>(CanonicalBits(row[c]))) * 0x9e3779b97f4a7c15ull;
      h ^= h >> 29;
    }
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 31);
  }

  bool Equal(std::ptrdiff_t a, std::ptrdiff_t b) const {
    const T* row_a = Row(a);
    const T* row_b = Row(b);
    for (std::ptrdiff_t c = 0; c < Width(); ++c) {
      if (!(row_a[c] == row_b[c])) return false;
    }
    return true;
  }
};

// One pass of a hash table over the rows (which hold no NaN): row_class[r]
// receives the lowest row number equal to row r by ==, and first_rows
// (resized) the rows that are their own first, ascending. Returns false,
// first_rows untouched and row_class partly written, once the probes past
// rows' home slots exceed a budget linear in n: rows crafted to collide
// would otherwise take quadratic time.
template <typename Rows, typename I>
bool FindFirstRows(const Rows& rows, std::size_t n, I* row_class, IndexVector<I>& first_rows) {
  // Random rows need a few such probes each at the table's load (at most 2/3).
  constexpr std::size_t kProbesPerRow = 64;
  constexpr std::size_t kProbesSlack = 4096;
  std::size_t probes_left = kProbesPerRow * n + kProbesSlack;
  std::size_t count = 0;
  {
    int bits = 4;
    while ((std::size_t{1} << bits) < n + n / 2) ++bits;
    const int shift = 64 - bits;
    const std::size_t mask = (std::size_t{1} << bits) - 1;
    IndexVector<I> table(mask + 1);
    AdviseHugePages(table.data(), table.size() * sizeof(I));
    std::fill(table.begin(), table.end(), I(-1));
    // Hashes run kAhead rows ahead: the table slot is fetched kAhead rows
    // before use, the row it holds kAhead / 2 rows before use.
    constexpr std::size_t kAhead = 16;
    std::uint64_t hashes[kAhead];
    for (std::size_t r = 0; r < kAhead && r < n; ++r) {
      hashes[r] = rows.Hash(static_cast<std::ptrdiff_t>(r));
    }
    for (std::size_t r = 0; r < n; ++r) {
      std::size_t slot = static_cast<std::size_t>(hashes[r % kAhead] >> shift);
      if (r + kAhead < n) {
        const std::uint64_t ahead = rows.Hash(static_cast<std::ptrdiff_t>(r + kAhead));
        hashes[r % kAhead] = ahead;
        __builtin_prefetch(table.data() + (ahead >> shift));
      }
      if (r + kAhead / 2 < n) {
        const I near = table[hashes[(r + kAhead / 2) % kAhead] >> shift];
        if (near != -1) __builtin_prefetch(rows.Row(near));
      }
      for (;;) {
        const I found = table[slot];
        if (found == -1) {
          table[slot] = static_cast<I>(r);
          row_class[r] = static_cast<I>(r);
          ++count;
          break;
        }
        if (rows.Equal(found, static_cast<std::ptrdiff_t>(r))) {
          row_class[r] = found;
          break;
        }
        slot = (slot + 1) & mask;
        if (--probes_left == 0) return false;
      }
    }
  }
  // Collected once the table is gone and their number is known: a vector
  // grown while the table lives would add up to three times their size at
  // the peak. One spare slot lets every row be written without a branch.
  first_rows.resize(count + 1);
  std::size_t k = 0;
  for (std::size_t r = 0; r < n; ++r) {
    first_rows[k] = static_cast<I>(r);
    k += row_class[r] == static_cast<I>(r) ? 1 : 0;
  }
  first_rows.pop_back();
  return true;
}

// The classes of rows equal by == (NaN-free rows with columns), each
// represented by its lowest row: `index` receives the representatives,
// `inverse` every row's class number. Classes are numbered in ascending order
// of their lowest rows or, with `sorted_classes`, in the rows' sorted order.
// Returns false, `index` untouched and `inverse` partly written, when
// FindFirstRows gives up.
template <bool sorted_classes, typename T, typename I, std::ptrdiff_t kWidth>
bool NumberClassesExact(const T* data, I height, I width, IndexVector<I>& index, I* inverse) {
  const std::size_t n = static_cast<std::size_t>(height);
  const ExactRows<T, kWidth> rows{data, static_cast<std::ptrdiff_t>(width)};
  if (!FindFirstRows(rows, n, inverse, index)) return false;
  if constexpr (!sorted_classes) {
    // Classes numbered by their lowest rows: a class's number is its lowest
    // row's rank among all lowest rows.
    RowBitmap<I> first(n);
    for (const I row : index) first.Insert(static_cast<std::size_t>(row));
    first.CountBelow();
    first.RankAll(inverse, n, inverse);
    return true;
  }
  // Unequal rows: every sort gives the same order, and the plain unstable
  // sort needs no merge buffer beside the row classes.
  SortRowIds<true, T, I, kWidth, false>(data, static_cast<std::ptrdiff_t>(width), T(0), index);
  for (std::size_t k = 0; k < index.size(); ++k) {
    inverse[index[k]] = static_cast<I>(-1 - static_cast<std::ptrdiff_t>(k));
  }
  for (std::size_t r = 0; r < n; ++r) {
    const I mark = inverse[r];
    inverse[r] = mark < 0 ? -1 - mark : inverse[mark];
  }
  return true;
}

// Whether UniqueIdsBySorting<false> leaves NaN-free rows at tolerance 0 in
// the stable order, given their classes of equal rows: numbered in sorted
// order, class k of sizes[k] rows and lowest row first_rows[k]. It does where
// the presort applies, finds no long cluster of one first value, and every
// class is one row repeated bit for bit (see SortRowIdsByFirstValue).
// Otherwise its order is the plain unstable sort's.
template <typename T, typename I>
bool UnstableSortKeepsStableOrder(const T* data, std::size_t n, std::ptrdiff_t w,
                                  const IndexVector<I>& first_rows, const IndexVector<I>& sizes,
                                  const I* row_class) {
  if (n < kPresortMinimum) return false;
  // Equal rows differ in bits only where they hold zeros of either sign.
  const std::size_t row_bytes = static_cast<std::size_t>(w) * sizeof(T);
  for (std::size_t r = 0; r < n; ++r) {
    const T* row = data + static_cast<std::ptrdiff_t>(r) * w;
    if (std::find(row, row + w, T(0)) == row + w) continue;
    const I first = first_rows[static_cast<std::size_t>(row_class[r])];
    if (std::memcmp(row, data + static_cast<std::ptrdiff_t>(first) * w, row_bytes) != 0) {
      return false;
    }
  }
  auto first_value = [&](std::size_t k) {
    return data[static_cast<std::ptrdiff_t>(first_rows[k]) * w];
  };
  // A first column that decides nothing makes one long cluster.
  const std::size_t count = first_rows.size();
  std::size_t cluster = 0;
  constexpr std::size_t kAhead = 16;
  for (std::size_t k = 0; k < count; ++k) {
    if (k + kAhead < count) {
      __builtin_prefetch(data + static_cast<std::ptrdiff_t>(first_rows[k + kAhead]) * w);
    }
    const bool continues = k > 0 && first_value(k) == first_value(k - 1);
    cluster = (continues ? cluster : 0) + static_cast<std::size_t>(sizes[k]);
    if (cluster > LongClusterSize(n)) return false;
  }
  return true;
}

// UniqueIds for a tolerance of 0 on NaN-free rows with columns. The row
// comparator is then plain lexicographic order of the values (+0 and -0 tie),
// a strict weak ordering, and a group is a class of rows equal by ==. So the
// stable sorted order is unique: rows by class in lexicographic order, each
// class in ascending row numbers. It is built without sorting all rows: the
// classes are numbered in sorted order from a hash table, and a counting
// pass places every row. Unstable, with -0 in the data (`negative_zero`),
// the rows of a class may differ in the signs of zeros, and the order is the
// sorting path's: the stable one or the plain unstable sort's, which class
// numbers give (see SortRowsByClassUnstably). Returns false, with `inverse`
// partly written, when the hash table gives up (see FindFirstRows) or memory
// runs out.
template <bool stable, typename T, typename I, std::ptrdiff_t kWidth>
bool UniqueIdsExact(const T* data, I height, I width, bool negative_zero,
                    IndexVector<I>& sorted_ids, IndexVector<I>& unique_ids, I* inverse) {
  const std::size_t n = static_cast<std::size_t>(height);
  // Each row's class, kept in `inverse` when the caller gave one.
  IndexVector<I> own_class;
  I* row_class = inverse;
  if (row_class == nullptr) {
    own_class.resize(n);
    row_class = own_class.data();
  }
  IndexVector<I> first_rows;
  if (!NumberClassesExact<true, T, I, kWidth>(data, height, width, first_rows, row_class)) {
    return false;
  }
  const std::size_t count = first_rows.size();
  // unique_ids holds the size of each class, then its first position.
  unique_ids.assign(count, I(0));
  for (std::size_t r = 0; r < n; ++r) ++unique_ids[static_cast<std::size_t>(row_class[r])];
  const bool plain_order = !stable && negative_zero &&
                           !UnstableSortKeepsStableOrder(data, n, kWidth > 0 ? kWidth : width,
                                                         first_rows, unique_ids, row_class);
  I position = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const I size = unique_ids[k];
    unique_ids[k] = position;
    position += size;
  }
  sorted_ids.resize(n);
  if (plain_order) {
    IndexVector<I>().swap(first_rows);
    return SortRowsByClassUnstably(row_class, I(0), n, sorted_ids.data());
  }
  // first_rows becomes the next free position of each class.
  IndexVector<I>& next = first_rows;
  std::copy(unique_ids.begin(), unique_ids.end(), next.begin());
  for (std::size_t r = 0; r < n; ++r) {
    I& at = next[static_cast<std::size_t>(row_class[r])];
    sorted_ids[static_cast<std::size_t>(at++)] = static_cast<I>(r);
  }
  return true;
}

// Whether a tolerance and a row matrix take the exact paths: tolerance 0,
// rows with columns, no NaN. `negative_zero` receives whether a value is -0,
// so that equal rows may differ in the signs of zeros. One pass over the
// values.
template <typename T, typename I>
bool TakesExactPath(const T* data, I height, I width, T tolerance, bool& negative_zero) {
  if (!(tolerance == T(0) && height > 1 && width > 0)) return false;
  const std::size_t values = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
  return !ContainsNaN(data, values, negative_zero);
}

// Runs the sort method and takes each group's head as its representative,
// when the exact paths apply: UniqueIds<true> followed by SortIdsAndInverse
// with `sorted_index`, UniqueIds<false> without it. `index` receives the
// representatives, `inverse` (height entries) the group numbers. Equal rows
// form a group, headed by the lowest of them; for the unstable sort, which
// may pick any, only when equal rows are equal bit for bit (no -0), and
// otherwise by the row UniqueIds<false> puts first. Returns false, touching
// nothing, when the path does not apply, and with `inverse` partly written
// when its hash table gives up (see FindFirstRows) or memory runs out; the
// sort method then gives the same result.
template <typename T, typename I>
bool UniqueIdsFirstOccurrence(const T* data, I height, I width, T tolerance, bool sorted_index,
                              IndexVector<I>& index, I* inverse) {
  bool negative_zero = false;
  if (!TakesExactPath(data, height, width, tolerance, negative_zero)) return false;
  bool done = false;
  WithWidth(static_cast<std::ptrdiff_t>(width), [&](auto fixed) {
    constexpr std::ptrdiff_t kWidth = decltype(fixed)::value;
    if (sorted_index) {
      done = NumberClassesExact<false, T, I, kWidth>(data, height, width, index, inverse);
    } else if (!negative_zero) {
      done = NumberClassesExact<true, T, I, kWidth>(data, height, width, index, inverse);
    } else {
      IndexVector<I> sorted_ids;
      done = UniqueIdsExact<false, T, I, kWidth>(data, height, width, true, sorted_ids, index,
                                                 inverse);
      for (I& head : index) head = sorted_ids[static_cast<std::size_t>(head)];
    }
  });
  return done;
}

// The grouping and inverse passes of UniqueIds over sorted_ids (full size):
// each row is compared with the head of the current group only, the heads'
// positions are packed into unique_ids, and rows are numbered by the heads.
template <typename T, typename I, std::ptrdiff_t kWidth>
void GroupSorted(const T* data, std::ptrdiff_t width, T tolerance, const IndexVector<I>& sorted_ids,
                 IndexVector<I>& unique_ids, I* inverse) {
  const std::ptrdiff_t w = kWidth > 0 ? kWidth : width;
  const std::size_t n = sorted_ids.size();
  constexpr std::size_t kAhead = 24;
  std::size_t count = 0;
  const T* head_row = data;
  for (std::size_t p = 0; p < n; ++p) {
    if (p + kAhead < n) {
      PrefetchRow(data + static_cast<std::ptrdiff_t>(sorted_ids[p + kAhead]) * w, w);
    }
    const T* row = data + static_cast<std::ptrdiff_t>(sorted_ids[p]) * w;
    if (p == 0 || !RowValuesMatch(head_row, row, w, tolerance)) {
      head_row = row;
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

// Sorts `ids` in place through a RowBitmap of their values. With `rank`,
// rank[k] first receives the number of ids below ids[k], that is its
// position once sorted. Declines (returns false, nothing written) when an id
// is negative or repeated, or when the bitmap would be large. Throws
// std::bad_alloc before writing anything.
template <typename I>
bool SortIdsByBitmap(I* ids, std::size_t count, I height, I* rank) {
  if (count < 2) {
    if (count == 1 && rank != nullptr) rank[0] = 0;
    return true;
  }
  I largest = ids[0];
  for (std::size_t k = 0; k < count; ++k) {
    if (ids[k] < 0) return false;
    largest = std::max(largest, ids[k]);
  }
  const std::size_t extent = static_cast<std::size_t>(largest) + 1;
  const std::size_t bound = 4 * count + (height > 0 ? static_cast<std::size_t>(height) : 0);
  if (extent > bound) return false;
  RowBitmap<I> members(extent);
  for (std::size_t k = 0; k < count; ++k) {
    if (!members.Insert(static_cast<std::size_t>(ids[k]))) return false;
  }
  if (rank != nullptr) {
    members.CountBelow();
    members.RankAll(ids, count, rank);
  }
  members.Members(ids);
  return true;
}

// UniqueIds without its exact path: the rows sorted and grouped.
template <bool stable, typename T, typename I>
void UniqueIdsBySorting(const T* data, I height, I width, T tolerance, IndexVector<I>& sorted_ids,
                        IndexVector<I>& unique_ids, I* inverse) {
  const std::size_t n = CheckedSize(height);
  sorted_ids.resize(n);
  for (I i = 0; i < height; ++i) sorted_ids[static_cast<std::size_t>(i)] = i;
  const auto row_width = static_cast<std::ptrdiff_t>(width);
  if (PresortApplies(row_width, sorted_ids.data(), n)) {
    // The presorted sort groups as it goes; if it declines, sort plainly.
    bool grouped = false;
    WithWidth(row_width, [&](auto fixed) {
      constexpr std::ptrdiff_t kWidth = decltype(fixed)::value;
      unique_ids.clear();
      GroupOutput<I> groups{unique_ids, inverse};
      if (!SortRowIdsByFirstValue<stable, T, I, kWidth>(data, row_width, tolerance,
                                                        sorted_ids.data(), n, &groups)) {
        SortRowIdsPlain<stable, T, I, kWidth>(data, row_width, tolerance, sorted_ids);
      }
      grouped = groups.grouped;
    });
    if (grouped) return;
  } else {
    ArgSortAlongHeight<stable>(data, height, width, tolerance, sorted_ids);
  }
  unique_ids.resize(n);

  WithWidth(static_cast<std::ptrdiff_t>(width), [&](auto fixed) {
    GroupSorted<T, I, decltype(fixed)::value>(data, static_cast<std::ptrdiff_t>(width), tolerance,
                                              sorted_ids, unique_ids, inverse);
  });
}

}  // namespace internal

// Orders, groups and numbers the rows of a row matrix.
//
// data:       height x width elements of T, row-major and contiguous; read only.
// height, width: not negative (a negative height throws std::length_error).
// tolerance:  any value. Rows are ordered by internal::RowLess; a group is a
//             run of the order whose rows each match the run's first row, its
//             head (no column differs by more than the tolerance; a NaN
//             difference matches). With a negative tolerance, rows with
//             columns match only where each column holds NaN in one of them or
//             the same infinity in both.
// sorted_ids: resized to height; receives a permutation of 0 .. height - 1,
//             the sorted order. With `stable`, equivalent rows keep ascending
//             row numbers.
// unique_ids: resized to the unique count; receives the positions in
//             sorted_ids of the group heads, strictly ascending from 0.
// inverse:    null, or height entries; inverse[r] receives the group number of
//             row r, in 0 .. unique count - 1, numbered in sorted order.
template <bool stable, typename T, typename I>
void UniqueIds(const T* data, I height, I width, T tolerance, IndexVector<I>& sorted_ids,
               IndexVector<I>& unique_ids, typename internal::NotDeduced<I>::type* inverse) {
  static_cast<void>(internal::CheckedSize(height));  // a negative height throws here
  // Tolerance 0 (or -0) on NaN-free data: the same result without the full
  // sort, unless its hash table gives up. Unstable and without -0 in the
  // data, equal rows are equal bit for bit, so whichever of them heads its
  // group, the unique rows are the same.
  bool negative_zero = false;
  if (internal::TakesExactPath(data, height, width, tolerance, negative_zero)) {
    bool done = false;
    internal::WithWidth(static_cast<std::ptrdiff_t>(width), [&](auto fixed) {
      done = internal::UniqueIdsExact<stable, T, I, decltype(fixed)::value>(
          data, height, width, negative_zero, sorted_ids, unique_ids, inverse);
    });
    if (done) return;
  }
  internal::UniqueIdsBySorting<stable>(data, height, width, tolerance, sorted_ids, unique_ids,
                                       inverse);
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
void SortIdsAndInverse(I count, I* ids, I height, typename internal::NotDeduced<I>::type* inverse) {
  const std::size_t unique_count = internal::CheckedSize(count);
  // renumber[k]: the new number of group k.
  IndexVector<I> renumber(inverse != nullptr ? unique_count : 0);
  if (!internal::SortIdsByBitmap(ids, unique_count, height,
                                 inverse != nullptr ? renumber.data() : nullptr)) {
    IndexVector<I> order(unique_count);
    for (std::size_t k = 0; k < unique_count; ++k) order[k] = static_cast<I>(k);
    // Plain less-than on integers is a strict weak ordering: std::sort is safe.
    std::sort(order.begin(), order.end(), [ids](I a, I b) { return ids[a] < ids[b]; });
    IndexVector<I> sorted(unique_count);
    for (std::size_t j = 0; j < unique_count; ++j) sorted[j] = ids[order[j]];
    if (inverse != nullptr) {
      for (std::size_t j = 0; j < unique_count; ++j) {
        renumber[static_cast<std::size_t>(order[j])] = static_cast<I>(j);
      }
    }
    std::copy(sorted.begin(), sorted.end(), ids);
  }

  if (inverse == nullptr) return;
  const std::size_t rows = internal::CheckedSize(height);
  // Nothing can fail from here on: rewrite inverse in place.
  for (std::size_t r = 0; r < rows; ++r)
    inverse[r] = renumber[static_cast<std::size_t>(inverse[r])];
}

}  // namespace kedo

#endif  // KEDO_UNIQUE_IDS_HPP
