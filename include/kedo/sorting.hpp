// Sorts that stay safe with any comparator.
//
// The row comparator of the sort method is not a strict weak ordering for a
// positive tolerance or for data holding NaN, and the standard library's sorts
// may then read and write outside the range. Every routine here, whatever the
// comparator answers (inconsistent, cyclic, random, always true):
//   * reads and writes only elements of [first, last) and of its own scratch;
//   * leaves a permutation of the elements it was given;
//   * terminates within O(n log n) comparisons (O(n log^2 n) for the stable
//     sort when no scratch buffer can be had).
// For a strict weak ordering they sort as std::sort / std::stable_sort would.
// The comparator must not throw: one that does leaves the range unspecified
// (kedo's own comparators only compare values).
#ifndef KEDO_SORTING_HPP
#define KEDO_SORTING_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "kedo/allocator.hpp"

namespace kedo::internal {

// A comparator may offer Prefetch(element) to announce the memory that a
// comparison of that element will read; the sorts call it a few elements
// ahead of their scans, only for elements inside the range.
template <typename Less, typename T, typename = void>
struct HasPrefetch : std::false_type {};
template <typename Less, typename T>
struct HasPrefetch<
    Less, T, std::void_t<decltype(std::declval<const Less&>().Prefetch(std::declval<const T&>()))>>
    : std::true_type {};

inline constexpr std::ptrdiff_t kPrefetchDistance = 8;

// Asks for the `width` values at `row` by the first and the last: a row of
// up to a cache line then arrives whole, however it is aligned. Nothing for
// no values.
template <typename T>
inline void PrefetchRow(const T* row, std::ptrdiff_t width) {
  if (width <= 0) return;
  __builtin_prefetch(row);
  __builtin_prefetch(row + (width - 1));
}

// Announces every element of a short range before it is sorted by insertion.
template <typename T, typename Less>
inline void PrefetchRange(const T* first, const T* last, const Less& less) {
  if constexpr (HasPrefetch<Less, T>::value) {
    for (const T* at = first; at != last; ++at) less.Prefetch(*at);
  } else {
    (void)first;
    (void)last;
    (void)less;
  }
}

// Announces base[offset] when it lies in [first, last); base lies in it too.
template <typename T, typename Less>
inline void PrefetchIn(const T* base, std::ptrdiff_t offset, const T* first, const T* last,
                       const Less& less) {
  if constexpr (HasPrefetch<Less, T>::value) {
    if (offset >= 0 ? last - base > offset : base - first >= -offset) less.Prefetch(base[offset]);
  } else {
    (void)base;
    (void)offset;
    (void)first;
    (void)last;
    (void)less;
  }
}

// Sorts [first, last) by insertion. Stable: an element moves left only past
// elements that compare greater than it. Never reads before `first`.
template <typename T, typename Less>
void InsertionSort(T* first, T* last, Less& less) {
  if (last - first < 2) return;
  for (T* current = first + 1; current != last; ++current) {
    T value = std::move(*current);
    T* hole = current;
    while (hole != first && less(value, *(hole - 1))) {
      *hole = std::move(*(hole - 1));
      --hole;
    }
    *hole = std::move(value);
  }
}

// Restores the max-heap property below `hole` in the heap [first, first + n).
template <typename T, typename Less>
void SiftDown(T* first, std::ptrdiff_t n, std::ptrdiff_t hole, Less& less) {
  T value = std::move(first[hole]);
  for (;;) {
    std::ptrdiff_t child = 2 * hole + 1;
    if (child >= n) break;
    if (child + 1 < n && less(first[child], first[child + 1])) ++child;
    if (!less(value, first[child])) break;
    first[hole] = std::move(first[child]);
    hole = child;
  }
  first[hole] = std::move(value);
}

// Heapsort of [first, last): the fallback that bounds the unstable sort.
template <typename T, typename Less>
void HeapSort(T* first, T* last, Less& less) {
  const std::ptrdiff_t n = last - first;
  for (std::ptrdiff_t i = n / 2; i-- > 0;) SiftDown(first, n, i, less);
  for (std::ptrdiff_t end = n - 1; end > 0; --end) {
    std::swap(first[0], first[end]);
    SiftDown(first, end, 0, less);
  }
}

// Orders a, b, c so that, for a consistent comparator, *b is their median.
template <typename T, typename Less>
void SortThree(T* a, T* b, T* c, Less& less) {
  if (less(*b, *a)) std::swap(*a, *b);
  if (less(*c, *b)) std::swap(*b, *c);
  if (less(*b, *a)) std::swap(*a, *b);
}

// Moves elements that compare less than the pivot *first to its left, puts
// the pivot between the two sides and returns its position.
inline constexpr std::ptrdiff_t kPartitionBlock = 64;

template <typename T, typename Less>
T* PartitionRight(T* first, T* last, Less& less) {
  T pivot = std::move(*first);
  T* lo = first + 1;
  // Blocks first: answers for kPartitionBlock elements at each end are
  // gathered without branching on them, then the k-th misplaced element from
  // the left is swapped with the k-th misplaced one from the right, exactly
  // the pairs that the scans below make. Each element is asked about once,
  // so for a comparator whose answer depends only on its arguments the
  // result is the scans' result. The next block at each end is fetched
  // while this one is classified.
  constexpr std::ptrdiff_t kBlock = kPartitionBlock;
  unsigned char left_offsets[kBlock];
  unsigned char right_offsets[kBlock];
  std::ptrdiff_t left_count = 0;
  std::ptrdiff_t left_start = 0;
  std::ptrdiff_t right_count = 0;
  std::ptrdiff_t right_start = 0;
  T* end = last;
  while (end - lo >= 2 * kBlock) {
    if (left_count == 0) {
      left_start = 0;
      if (end - lo >= 3 * kBlock) PrefetchRange(lo + kBlock, lo + 2 * kBlock, less);
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        left_offsets[left_count] = static_cast<unsigned char>(i);
        left_count += !less(lo[i], pivot);
      }
    }
    if (right_count == 0) {
      right_start = 0;
      if (end - lo >= 3 * kBlock) PrefetchRange(end - 2 * kBlock, end - kBlock, less);
      for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
        right_offsets[right_count] = static_cast<unsigned char>(i);
        right_count += less(*(end - 1 - i), pivot);
      }
    }
    const std::ptrdiff_t pairs = std::min(left_count, right_count);
    for (std::ptrdiff_t j = 0; j < pairs; ++j) {
      std::swap(lo[left_offsets[left_start + j]], *(end - 1 - right_offsets[right_start + j]));
    }
    left_count -= pairs;
    right_count -= pairs;
    left_start += pairs;
    right_start += pairs;
    if (left_count == 0) lo += kBlock;
    if (right_count == 0) end -= kBlock;
  }
  // The scans, from where the blocks stopped: already paired elements answer
  // as they did and are passed over.
  T* hi = end - 1;
  for (;;) {
    while (lo <= hi && less(*lo, pivot)) {
      ++lo;
      PrefetchIn(lo, kPrefetchDistance, first, last, less);
    }
    while (lo <= hi && !less(*hi, pivot)) {
      --hi;
      PrefetchIn(hi, -kPrefetchDistance, first, last, less);
    }
    if (lo > hi) break;
    std::swap(*lo, *hi);
    ++lo;
    --hi;
  }
  T* pivot_position = lo - 1;
  *first = std::move(*pivot_position);
  *pivot_position = std::move(pivot);
  return pivot_position;
}

// Moves elements that the pivot *first does not precede to its left. Used
// when the pivot equals its predecessor, so a run of equal elements is placed
// in one linear pass. Returns the pivot's position.
template <typename T, typename Less>
T* PartitionLeft(T* first, T* last, Less& less) {
  T pivot = std::move(*first);
  T* lo = first + 1;
  T* hi = last - 1;
  for (;;) {
    while (lo <= hi && !less(pivot, *lo)) {
      ++lo;
      PrefetchIn(lo, kPrefetchDistance, first, last, less);
    }
    while (lo <= hi && less(pivot, *hi)) {
      --hi;
      PrefetchIn(hi, -kPrefetchDistance, first, last, less);
    }
    if (lo > hi) break;
    std::swap(*lo, *hi);
    ++lo;
    --hi;
  }
  T* pivot_position = lo - 1;
  *first = std::move(*pivot_position);
  *pivot_position = std::move(pivot);
  return pivot_position;
}

inline constexpr std::ptrdiff_t kInsertionSortThreshold = 24;
inline constexpr std::ptrdiff_t kNintherThreshold = 128;

template <typename T, typename Less>
void IntroSortLoop(T* begin, T* first, T* last, int depth_budget, Less& less) {
  while (last - first > kInsertionSortThreshold) {
    if (depth_budget-- == 0) {
      HeapSort(first, last, less);
      return;
    }
    const std::ptrdiff_t n = last - first;
    T* middle = first + n / 2;
    if (n > kNintherThreshold) {
      SortThree(first, middle, last - 1, less);
      SortThree(first + 1, middle - 1, last - 2, less);
      SortThree(first + 2, middle + 1, last - 3, less);
      SortThree(middle - 1, middle, middle + 1, less);
    } else {
      SortThree(first, middle, last - 1, less);
    }
    std::swap(*first, *middle);
    // The element before `first` is an earlier pivot that precedes nothing
    // here when the ordering is consistent; if the new pivot equals it, this
    // range is full of equal elements: skip them in one pass.
    if (first != begin && !less(*(first - 1), *first)) {
      first = PartitionLeft(first, last, less) + 1;
      continue;
    }
    T* pivot = PartitionRight(first, last, less);
    // Recurse into the smaller side to bound the stack depth.
    if (pivot - first < last - (pivot + 1)) {
      IntroSortLoop(begin, first, pivot, depth_budget, less);
      first = pivot + 1;
    } else {
      IntroSortLoop(begin, pivot + 1, last, depth_budget, less);
      last = pivot;
    }
  }
  PrefetchRange(first, last, less);
  InsertionSort(first, last, less);
}

// Unstable sort of [first, last): introsort with guarded partitions, equal-run
// skipping and a heapsort fallback at depth 2 log2 n.
template <typename T, typename Less>
void UnstableSort(T* first, T* last, Less less) {
  int depth_budget = 0;
  for (std::ptrdiff_t n = last - first; n > 1; n >>= 1) depth_budget += 2;
  IntroSortLoop(first, first, last, depth_budget, less);
}

// Merges the sorted runs [first, middle) and [middle, last), taking from the
// right run only when its element is less than the left run's. `buffer` holds
// at least middle - first elements.
template <typename T, typename Less>
void MergeWithBuffer(T* first, T* middle, T* last, T* buffer, Less& less) {
  T* buffer_end = std::move(first, middle, buffer);
  T* left = buffer;
  T* right = middle;
  T* out = first;
  while (left != buffer_end && right != last) {
    // The same comparisons as a branching merge, without a branch on them.
    const bool take_right = less(*right, *left);
    *out++ = std::move(take_right ? *right : *left);
    right += take_right;
    left += !take_right;
  }
  std::move(left, buffer_end, out);  // the rest of `right` is already in place
}

// First position in [first, last) whose element `value` precedes.
template <typename T, typename Less>
T* UpperBound(T* first, T* last, const T& value, Less& less) {
  std::ptrdiff_t count = last - first;
  while (count > 0) {
    const std::ptrdiff_t step = count / 2;
    if (!less(value, first[step])) {
      first += step + 1;
      count -= step + 1;
    } else {
      count = step;
    }
  }
  return first;
}

// First position in [first, last) whose element does not precede `value`.
template <typename T, typename Less>
T* LowerBound(T* first, T* last, const T& value, Less& less) {
  std::ptrdiff_t count = last - first;
  while (count > 0) {
    const std::ptrdiff_t step = count / 2;
    if (less(first[step], value)) {
      first += step + 1;
      count -= step + 1;
    } else {
      count = step;
    }
  }
  return first;
}

// Stable merge without scratch memory, by rotations.
template <typename T, typename Less>
void MergeInPlace(T* first, T* middle, T* last, Less& less) {
  while (first != middle && middle != last) {
    if (last - first == 2) {
      if (less(*middle, *first)) std::swap(*first, *middle);
      return;
    }
    T* left_cut;
    T* right_cut;
    if (middle - first > last - middle) {
      left_cut = first + (middle - first) / 2;
      right_cut = LowerBound(middle, last, *left_cut, less);
    } else {
      right_cut = middle + (last - middle) / 2;
      left_cut = UpperBound(first, middle, *right_cut, less);
    }
    T* new_middle = std::rotate(left_cut, middle, right_cut);
    // Recurse into the smaller half, loop on the larger.
    if ((new_middle - first) < (last - new_middle)) {
      MergeInPlace(first, left_cut, new_middle, less);
      first = new_middle;
      middle = right_cut;
    } else {
      MergeInPlace(new_middle, right_cut, last, less);
      last = new_middle;
      middle = left_cut;
    }
  }
}

inline constexpr std::ptrdiff_t kStableRunLength = 32;

template <typename T, typename Less>
void MergeSortRecursive(T* first, T* last, T* buffer, Less& less) {
  if (last - first <= kStableRunLength) {
    PrefetchRange(first, last, less);
    InsertionSort(first, last, less);
    return;
  }
  T* middle = first + (last - first) / 2;
  MergeSortRecursive(first, middle, buffer, less);
  MergeSortRecursive(middle, last, buffer, less);
  if (!less(*middle, *(middle - 1))) return;  // already in order
  if (buffer != nullptr) {
    MergeWithBuffer(first, middle, last, buffer, less);
  } else {
    MergeInPlace(first, middle, last, less);
  }
}

// Stable sort of [first, last): top-down merge sort. Elements that compare
// equivalent keep their incoming order. Scratch of (n + 1) / 2 elements is
// requested without throwing; without it the merges run in place.
template <typename T, typename Less>
void StableSort(T* first, T* last, Less less) {
  const std::ptrdiff_t n = last - first;
  if (n < 2) return;
  std::unique_ptr<T[]> buffer;
  if (n > kStableRunLength) {
    buffer.reset(new (std::nothrow) T[static_cast<std::size_t>((n + 1) / 2)]);
    if (buffer) AdviseHugePages(buffer.get(), static_cast<std::size_t>((n + 1) / 2) * sizeof(T));
  }
  MergeSortRecursive(first, last, buffer.get(), less);
}

// Dispatches on the compile-time choice of stability.
template <bool stable, typename T, typename Less>
void Sort(T* first, T* last, Less less) {
  if constexpr (stable) {
    StableSort(first, last, less);
  } else {
    UnstableSort(first, last, less);
  }
}

// Calls visit(std::integral_constant<std::ptrdiff_t, W>) with W = width for
// the widths that get their own code, and W = 0 (width at run time) otherwise.
template <typename Visit>
void WithWidth(std::ptrdiff_t width, Visit&& visit) {
  switch (width) {
    case 1:
      visit(std::integral_constant<std::ptrdiff_t, 1>{});
      break;
    case 2:
      visit(std::integral_constant<std::ptrdiff_t, 2>{});
      break;
    case 3:
      visit(std::integral_constant<std::ptrdiff_t, 3>{});
      break;
    case 4:
      visit(std::integral_constant<std::ptrdiff_t, 4>{});
      break;
    case 8:
      visit(std::integral_constant<std::ptrdiff_t, 8>{});
      break;
    default:
      visit(std::integral_constant<std::ptrdiff_t, 0>{});
      break;
  }
}

// The unsigned integer of the same size as the floating-point type T.
template <typename T>
using BitsOf = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;

// The bits of v with -0 made +0, so that values equal by == have equal bits
// (for values that are not NaN).
template <typename T>
BitsOf<T> CanonicalBits(T v) {
  const T value = v == T(0) ? T(0) : v;
  BitsOf<T> bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// An unsigned key whose order is the order of the values by `<`, with -0 and
// +0 tied; meaningless for NaN.
template <typename T>
BitsOf<T> OrderedBits(T v) {
  using U = BitsOf<T>;
  constexpr U kSign = U(1) << (8 * sizeof(U) - 1);
  const U bits = CanonicalBits(v);
  return (bits & kSign) != 0 ? U(~bits) : U(bits | kSign);
}

// The value whose OrderedBits are `key` (+0 for a zero).
template <typename T>
T FromOrderedBits(BitsOf<T> key) {
  using U = BitsOf<T>;
  constexpr U kSign = U(1) << (8 * sizeof(U) - 1);
  const U bits = (key & kSign) != 0 ? U(key & ~kSign) : U(~key);
  T value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline constexpr int kRadixDigitBits = 8;
inline constexpr std::size_t kRadixBuckets = std::size_t{1} << kRadixDigitBits;

// The number of count tables that RadixSortPairsWith needs for keys of U.
template <typename U>
constexpr std::size_t RadixCountTables() {
  return (8 * sizeof(U) + kRadixDigitBits - 1) / kRadixDigitBits;
}

// Stable LSD radix sort of keys[0 .. n) with ids[0 .. n) moved alongside,
// 8 bits per pass, on the bits from `low_bit` up: keys that agree on those
// keep their order. Passes whose digit is the same for all keys are skipped.
// key_scratch and id_scratch hold n elements each, counts
// RadixCountTables<U>() * kRadixBuckets; all three are overwritten.
template <typename U, typename I>
void RadixSortPairsWith(U* keys, I* ids, std::size_t n, int low_bit, U* key_scratch, I* id_scratch,
                        std::size_t* counts) {
  constexpr std::size_t kMask = kRadixBuckets - 1;
  const int passes =
      (8 * static_cast<int>(sizeof(U)) - low_bit + kRadixDigitBits - 1) / kRadixDigitBits;
  if (n < 2) return;
  std::fill(counts, counts + static_cast<std::size_t>(passes) * kRadixBuckets, std::size_t{0});
  for (std::size_t i = 0; i < n; ++i) {
    const U key = keys[i];
    for (int pass = 0; pass < passes; ++pass) {
      ++counts[static_cast<std::size_t>(pass) * kRadixBuckets +
               static_cast<std::size_t>((key >> (low_bit + pass * kRadixDigitBits)) & kMask)];
    }
  }
  U* key_from = keys;
  I* id_from = ids;
  U* key_to = key_scratch;
  I* id_to = id_scratch;
  for (int pass = 0; pass < passes; ++pass) {
    std::size_t* count = counts + static_cast<std::size_t>(pass) * kRadixBuckets;
    const int shift = low_bit + pass * kRadixDigitBits;
    if (count[static_cast<std::size_t>((key_from[0] >> shift) & kMask)] == n) continue;
    std::size_t offset = 0;
    for (std::size_t b = 0; b < kRadixBuckets; ++b) {
      const std::size_t size = count[b];
      count[b] = offset;
      offset += size;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const U key = key_from[i];
      const std::size_t at = count[static_cast<std::size_t>((key >> shift) & kMask)]++;
      key_to[at] = key;
      id_to[at] = id_from[i];
    }
    std::swap(key_from, key_to);
    std::swap(id_from, id_to);
  }
  if (key_from != keys) {
    std::copy(key_from, key_from + n, keys);
    std::copy(id_from, id_from + n, ids);
  }
}

// Scratch for RadixSortPairsWith over up to n pairs, allocated without
// throwing; usable when `ok`.
template <typename U, typename I>
struct RadixScratch {
  std::unique_ptr<std::size_t[]> counts;
  std::unique_ptr<U[]> keys;
  std::unique_ptr<I[]> ids;

  explicit RadixScratch(std::size_t n)
      : counts(new (std::nothrow) std::size_t[RadixCountTables<U>() * kRadixBuckets]),
        keys(new (std::nothrow) U[n]),
        ids(new (std::nothrow) I[n]) {
    if (ok()) {
      AdviseHugePages(keys.get(), n * sizeof(U));
      AdviseHugePages(ids.get(), n * sizeof(I));
    }
  }
  bool ok() const { return counts && keys && ids; }
};

// RadixSortPairsWith on the whole key, with its own scratch. Returns false,
// having changed nothing, when the scratch cannot be had.
template <typename U, typename I>
bool RadixSortPairs(U* keys, I* ids, std::size_t n) {
  if (n < 2) return true;
  RadixScratch<U, I> scratch(n);
  if (!scratch.ok()) return false;
  RadixSortPairsWith(keys, ids, n, 0, scratch.keys.get(), scratch.ids.get(), scratch.counts.get());
  return true;
}

// As RadixSortPairs, in fewer passes for 64-bit keys: by their upper halves,
// then each run of equal upper halves by the whole key (by insertion when
// short).
template <typename U, typename I>
bool RadixSortByHighHalf(U* keys, I* ids, std::size_t n) {
  constexpr int kHalf = 4 * static_cast<int>(sizeof(U));
  if constexpr (sizeof(U) < 8) return RadixSortPairs(keys, ids, n);
  if (n < 2) return true;
  RadixScratch<U, I> scratch(n);
  if (!scratch.ok()) return false;
  RadixSortPairsWith(keys, ids, n, kHalf, scratch.keys.get(), scratch.ids.get(),
                     scratch.counts.get());
  constexpr std::size_t kShortRun = 32;
  std::size_t start = 0;
  for (std::size_t p = 1; p <= n; ++p) {
    if (p < n && (keys[p] >> kHalf) == (keys[start] >> kHalf)) continue;
    if (p - start <= kShortRun) {
      for (std::size_t q = start + 1; q < p; ++q) {
        const U key = keys[q];
        const I id = ids[q];
        std::size_t hole = q;
        for (; hole > start && key < keys[hole - 1]; --hole) {
          keys[hole] = keys[hole - 1];
          ids[hole] = ids[hole - 1];
        }
        keys[hole] = key;
        ids[hole] = id;
      }
    } else {
      RadixSortPairsWith(keys + start, ids + start, p - start, 0, scratch.keys.get(),
                         scratch.ids.get(), scratch.counts.get());
    }
    start = p;
  }
  return true;
}

}  // namespace kedo::internal

#endif  // KEDO_SORTING_HPP
