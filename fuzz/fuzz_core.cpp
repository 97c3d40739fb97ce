// libFuzzer target over the core: UniqueIds, SortIdsAndInverse, Uff and the
// safe sorts. Every output contract is checked; a violation aborts.
//
// Input layout (through FuzzedDataProvider): a mode byte, height, width, a
// tolerance (a special value or raw bytes), the matrix (raw float/double
// bytes, or one byte per element picked from a palette of special values),
// then a sort workload with a comparator mode and the comparator's answers.
// Mode bit 16 tiles the matrix to at least 300 rows, shifted by a step that
// the mode's top three bits pick, or (those bits 1) into long runs of one
// first value.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "kedo/kedo.hpp"

namespace {

using kedo::IndexVector;

#define CHECK(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

template <typename T>
T Special(unsigned which) {
  using limits = std::numeric_limits<T>;
  static const T values[] = {T(0),
                             -T(0),
                             T(1),
                             -T(1),
                             T(0.5),
                             T(2),
                             T(1.5),
                             T(0.25),
                             limits::quiet_NaN(),
                             -limits::quiet_NaN(),
                             limits::infinity(),
                             -limits::infinity(),
                             limits::denorm_min(),
                             -limits::denorm_min(),
                             limits::min(),
                             limits::max(),
                             -limits::max(),
                             limits::epsilon(),
                             T(1) + limits::epsilon(),
                             T(1e-30),
                             T(3),
                             T(-0.5),
                             T(0.1),
                             T(100)};
  return values[which % (sizeof(values) / sizeof(values[0]))];
}

template <typename T>
T RawValue(FuzzedDataProvider& input) {
  unsigned char bytes[sizeof(T)] = {};
  input.ConsumeData(bytes, sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

template <typename T>
T DecodeValue(FuzzedDataProvider& input, bool palette) {
  if (palette) return Special<T>(input.ConsumeIntegral<std::uint8_t>());
  return RawValue<T>(input);
}

bool SameBits(const void* a, const void* b, std::size_t size) {
  return size == 0 || std::memcmp(a, b, size) == 0;
}

// a and b match: no column differs by more than the tolerance (NaN matches).
template <typename T>
bool Match(const std::vector<T>& data, int width, T tolerance, int a, int b) {
  for (int c = 0; c < width; ++c) {
    const T difference = data[static_cast<std::size_t>(a * width + c)] -
                         data[static_cast<std::size_t>(b * width + c)];
    if (tolerance < std::abs(difference)) return false;
  }
  return true;
}

void CheckPermutation(const int* values, int n) {
  std::vector<char> seen(static_cast<std::size_t>(n), 0);
  for (int i = 0; i < n; ++i) {
    CHECK(values[i] >= 0 && values[i] < n);
    CHECK(!seen[static_cast<std::size_t>(values[i])]);
    seen[static_cast<std::size_t>(values[i])] = 1;
  }
}

// Representatives index[k] and group numbers inverse[r]: every value in range
// and every representative in its own group.
void CheckGroups(const int* index, int count, const int* inverse, int height) {
  CHECK(count >= 0 && count <= height);
  CHECK(height == 0 || count >= 1);
  for (int r = 0; r < height; ++r) CHECK(inverse[r] >= 0 && inverse[r] < count);
  for (int k = 0; k < count; ++k) {
    CHECK(index[k] >= 0 && index[k] < height);
    CHECK(inverse[index[k]] == k);
  }
}

template <bool stable, typename T>
void FuzzUniqueIds(const std::vector<T>& data, int height, int width, T tolerance) {
  // Leftover contents and sizes must not matter.
  IndexVector<int> sorted_ids(7, 12345);
  IndexVector<int> unique_ids(3, -9);
  std::vector<int> inverse(static_cast<std::size_t>(height));
  kedo::UniqueIds<stable>(data.data(), height, width, tolerance, sorted_ids, unique_ids,
                          inverse.data());

  CHECK(sorted_ids.size() == static_cast<std::size_t>(height));
  CheckPermutation(sorted_ids.data(), height);
  const int count = static_cast<int>(unique_ids.size());
  CHECK(height == 0 ? count == 0 : (count >= 1 && unique_ids[0] == 0));
  for (std::size_t k = 1; k < unique_ids.size(); ++k) CHECK(unique_ids[k - 1] < unique_ids[k]);
  CHECK(count == 0 || unique_ids[static_cast<std::size_t>(count - 1)] < height);

  // Along the sorted order the group number rises by one exactly at each head,
  // every row matches its head and each head fails to match the head before.
  int group = -1;
  int next_head = 0;
  for (int p = 0; p < height; ++p) {
    const int row = sorted_ids[static_cast<std::size_t>(p)];
    if (next_head < count && unique_ids[static_cast<std::size_t>(next_head)] == p) {
      if (group >= 0) {
        const int previous_head =
            sorted_ids[static_cast<std::size_t>(unique_ids[static_cast<std::size_t>(group)])];
        CHECK(!Match(data, width, tolerance, previous_head, row));
      }
      ++group;
      ++next_head;
    }
    const int head =
        sorted_ids[static_cast<std::size_t>(unique_ids[static_cast<std::size_t>(group)])];
    CHECK(inverse[static_cast<std::size_t>(row)] == group);
    CHECK(head == row || Match(data, width, tolerance, head, row));
  }

  std::vector<int> index(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) {
    index[static_cast<std::size_t>(k)] =
        sorted_ids[static_cast<std::size_t>(unique_ids[static_cast<std::size_t>(k)])];
  }
  CheckGroups(index.data(), count, inverse.data(), height);

  // Without inverse the same order and heads come out.
  IndexVector<int> sorted_again;
  IndexVector<int> unique_again(static_cast<std::size_t>(height) + 5, 77);
  kedo::UniqueIds<stable>(data.data(), height, width, tolerance, sorted_again, unique_again,
                          static_cast<int*>(nullptr));
  CHECK(sorted_again == sorted_ids);
  CHECK(unique_again == unique_ids);

  // Renumbering by ascending representative keeps every row's representative.
  std::vector<int> ids = index;
  std::vector<int> renumbered = inverse;
  kedo::SortIdsAndInverse<int>(count, ids.data(), height, renumbered.data());
  for (int k = 1; k < count; ++k) {
    CHECK(ids[static_cast<std::size_t>(k - 1)] < ids[static_cast<std::size_t>(k)]);
  }
  std::vector<int> expected = index;
  std::sort(expected.begin(), expected.end());
  CHECK(ids == expected);
  for (int r = 0; r < height; ++r) {
    CHECK(renumbered[static_cast<std::size_t>(r)] >= 0 &&
          renumbered[static_cast<std::size_t>(r)] < count);
    CHECK(ids[static_cast<std::size_t>(renumbered[static_cast<std::size_t>(r)])] ==
          index[static_cast<std::size_t>(inverse[static_cast<std::size_t>(r)])]);
  }
  CheckGroups(ids.data(), count, renumbered.data(), height);
  std::vector<int> ids_only = index;
  kedo::SortIdsAndInverse<int>(count, ids_only.data(), height, static_cast<int*>(nullptr));
  CHECK(ids_only == ids);

  // Where the comparator is a strict weak ordering on the rows, every row's
  // representative is, bit for bit, the one that sorting the row numbers
  // plainly and cutting the order at the heads gives, whichever path ran.
  constexpr int kPlainLimit = 700;  // the consistency test is quadratic
  if (height > kPlainLimit) return;
  std::vector<int> plain(static_cast<std::size_t>(height));
  for (int r = 0; r < height; ++r) plain[static_cast<std::size_t>(r)] = r;
  const kedo::internal::RowLess<T> less{data.data(), width, tolerance};
  kedo::internal::Sort<stable>(plain.data(), plain.data() + height, less);
  if (!kedo::internal::SortedRangeIsConsistent(less, plain.data(), plain.size())) return;
  std::vector<int> plain_head(static_cast<std::size_t>(height));
  int plain_count = 0;
  int head = -1;
  for (const int row : plain) {
    if (head < 0 || !Match(data, width, tolerance, head, row)) {
      head = row;
      ++plain_count;
    }
    plain_head[static_cast<std::size_t>(row)] = head;
  }
  CHECK(plain_count == count);
  const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(T);
  for (int r = 0; r < height; ++r) {
    const int representative =
        index[static_cast<std::size_t>(inverse[static_cast<std::size_t>(r)])];
    CHECK(SameBits(
        data.data() + static_cast<std::ptrdiff_t>(representative) * width,
        data.data() + static_cast<std::ptrdiff_t>(plain_head[static_cast<std::size_t>(r)]) * width,
        row_bytes));
  }
}

template <bool ordered, typename T>
void RunUff(const std::vector<T>& data, int height, int width, const std::vector<T>& projection,
            T tolerance, std::vector<T>& unique, std::vector<int>& index, int& count,
            std::vector<int>& inverse) {
  const std::size_t elements = data.size();
  unique.assign(elements, T(0));
  if (elements > 0) std::memset(unique.data(), 0xA5, elements * sizeof(T));
  index.assign(static_cast<std::size_t>(height), 0x5A5A5A5A);
  inverse.assign(static_cast<std::size_t>(height), -7);
  count = -3;
  const bool sorted_index = ordered;
  kedo::Uff<ordered>(data.data(), height, width, projection.data(), tolerance, sorted_index,
                     unique.data(), index.data(), count, inverse.data());

  CheckGroups(index.data(), count, inverse.data(), height);
  const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(T);
  for (int k = 0; k < count; ++k) {
    CHECK(SameBits(
        unique.data() + static_cast<std::ptrdiff_t>(k) * width,
        data.data() + static_cast<std::ptrdiff_t>(index[static_cast<std::size_t>(k)]) * width,
        row_bytes));
  }
  // Nothing beyond the unique count is written.
  std::vector<T> canary(elements);
  if (elements > 0) std::memset(canary.data(), 0xA5, elements * sizeof(T));
  const std::size_t used = static_cast<std::size_t>(count) * static_cast<std::size_t>(width);
  CHECK(SameBits(unique.data() + used, canary.data() + used, (elements - used) * sizeof(T)));
  for (int k = count; k < height; ++k) CHECK(index[static_cast<std::size_t>(k)] == 0x5A5A5A5A);
  if (ordered) {
    for (int k = 1; k < count; ++k) {
      CHECK(index[static_cast<std::size_t>(k - 1)] < index[static_cast<std::size_t>(k)]);
    }
  }
}

template <typename T>
void FuzzUff(const std::vector<T>& data, int height, int width, const std::vector<T>& projection,
             T tolerance) {
  std::vector<T> unique_a, unique_b;
  std::vector<int> index_a, index_b, inverse_a, inverse_b;
  int count_a = 0;
  int count_b = 0;
  RunUff<false>(data, height, width, projection, tolerance, unique_a, index_a, count_a, inverse_a);
  RunUff<true>(data, height, width, projection, tolerance, unique_b, index_b, count_b, inverse_b);

  // The same partition in both modes, numbered differently.
  CHECK(count_a == count_b);
  std::vector<int> to_b(static_cast<std::size_t>(count_a), -1);
  for (int r = 0; r < height; ++r) {
    int& mapped = to_b[static_cast<std::size_t>(inverse_a[static_cast<std::size_t>(r)])];
    if (mapped == -1) mapped = inverse_b[static_cast<std::size_t>(r)];
    CHECK(mapped == inverse_b[static_cast<std::size_t>(r)]);
  }

  // In unordered mode each member lies within the tolerance of its anchor,
  // by the same arithmetic in the same order.
  std::vector<T> key(static_cast<std::size_t>(height));
  for (int r = 0; r < height; ++r) {
    T sum = T(0);
    for (int c = 0; c < width; ++c) {
      sum +=
          projection[static_cast<std::size_t>(c)] * data[static_cast<std::size_t>(r * width + c)];
    }
    key[static_cast<std::size_t>(r)] = sum;
  }
  auto within_tolerance = [&](int a, int b) {
    T distance_squared = T(0);
    for (int c = 0; c < width; ++c) {
      const T difference = data[static_cast<std::size_t>(a * width + c)] -
                           data[static_cast<std::size_t>(b * width + c)];
      distance_squared += difference * difference;
    }
    return tolerance * tolerance > distance_squared;
  };
  for (int r = 0; r < height; ++r) {
    const int anchor = index_a[static_cast<std::size_t>(inverse_a[static_cast<std::size_t>(r)])];
    if (anchor == r) continue;
    CHECK(key[static_cast<std::size_t>(r)] - key[static_cast<std::size_t>(anchor)] < tolerance);
    CHECK(within_tolerance(anchor, r));
  }

  // The unordered groups are those of the plain sweep, which compares each
  // anchor with every row of its key window (the core may skip rows it can
  // rule out).
  const std::vector<int> order = kedo::ArgSort<int>(key);
  std::vector<int> plain(static_cast<std::size_t>(height), -1);
  int groups = 0;
  for (std::size_t p = 0; p < order.size(); ++p) {
    const int anchor = order[p];
    if (plain[static_cast<std::size_t>(anchor)] != -1) continue;
    plain[static_cast<std::size_t>(anchor)] = groups;
    for (std::size_t q = p + 1; q < order.size(); ++q) {
      const int r = order[q];
      if (!(key[static_cast<std::size_t>(r)] - key[static_cast<std::size_t>(anchor)] < tolerance)) {
        break;
      }
      if (within_tolerance(anchor, r)) plain[static_cast<std::size_t>(r)] = groups;
    }
    ++groups;
  }
  CHECK(groups == count_a);
  CHECK(plain == inverse_a);
}

// A comparator that answers from the input, possibly inconsistently, and
// counts its calls.
struct HostileLess {
  const std::vector<std::uint8_t>* answers;
  const std::vector<int>* keys;
  int mode;
  std::size_t* calls;
  std::size_t* cursor;

  bool operator()(int a, int b) const {
    ++*calls;
    const auto ka = (*keys)[static_cast<std::size_t>(a)];
    const auto kb = (*keys)[static_cast<std::size_t>(b)];
    switch (mode) {
      case 0: {  // the input's bits, one per call
        if (answers->empty()) return false;
        const std::size_t bit = (*cursor)++;
        return ((*answers)[(bit / 8) % answers->size()] >> (bit % 8)) & 1u;
      }
      case 1:
        return true;
      case 2:
        return false;
      case 3:
        return ka < kb;
      case 4:
        return ka <= kb;
      case 5:  // deterministic per pair but not transitive
        return ((static_cast<unsigned>(a) * 2654435761u) ^ (static_cast<unsigned>(b) * 40503u) ^
                static_cast<unsigned>(ka)) &
               4u;
      default:  // within-tolerance equivalence, like the row comparator
        return std::abs(ka - kb) >= 3 && ka < kb;
    }
  }
};

std::size_t ComparisonBudget(std::size_t n) {
  std::size_t log = 1;
  while ((std::size_t{1} << log) < n + 1) ++log;
  return 8 * n * log * log + 64;
}

template <typename SortFunction>
void FuzzOneSort(SortFunction sort, const std::vector<int>& keys,
                 const std::vector<std::uint8_t>& answers, int mode, bool stable) {
  const std::size_t n = keys.size();
  std::vector<int> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<int>(i);
  std::size_t calls = 0;
  std::size_t cursor = 0;
  HostileLess less{&answers, &keys, mode, &calls, &cursor};
  sort(values.data(), values.data() + n, less);
  CheckPermutation(values.data(), static_cast<int>(n));
  CHECK(calls <= ComparisonBudget(n));
  if (mode == 3) {
    std::vector<int> expected(n);
    for (std::size_t i = 0; i < n; ++i) expected[i] = static_cast<int>(i);
    const auto by_key = [&keys](int a, int b) {
      return keys[static_cast<std::size_t>(a)] < keys[static_cast<std::size_t>(b)];
    };
    std::stable_sort(expected.begin(), expected.end(), by_key);
    if (stable) {
      CHECK(values == expected);
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        CHECK(keys[static_cast<std::size_t>(values[i])] ==
              keys[static_cast<std::size_t>(expected[i])]);
      }
    }
  }
}

void FuzzSorts(FuzzedDataProvider& input) {
  const int mode = input.ConsumeIntegralInRange(0, 6);
  const auto n = input.ConsumeIntegralInRange<std::size_t>(0, 200);
  std::vector<std::uint8_t> answers = input.ConsumeRemainingBytes<std::uint8_t>();
  std::vector<int> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = answers.empty() ? 0 : answers[i % answers.size()] % 16;
  }
  namespace in = kedo::internal;
  FuzzOneSort([](int* f, int* l, HostileLess& c) { in::Sort<true>(f, l, c); }, keys, answers, mode,
              true);
  FuzzOneSort([](int* f, int* l, HostileLess& c) { in::Sort<false>(f, l, c); }, keys, answers, mode,
              false);
  FuzzOneSort([](int* f, int* l, HostileLess& c) { in::HeapSort(f, l, c); }, keys, answers, mode,
              false);
  // The stable sort's merges without a scratch buffer.
  FuzzOneSort([](int* f, int* l,
                 HostileLess& c) { in::MergeSortRecursive(f, l, static_cast<int*>(nullptr), c); },
              keys, answers, mode, true);
  if (n <= 64) {
    FuzzOneSort([](int* f, int* l, HostileLess& c) { in::InsertionSort(f, l, c); }, keys, answers,
                mode, true);
  }
}

// Tiling shape 1 (a step of -0 would only repeat shape 0's copies).
constexpr unsigned kRunsShape = 1;

// Replaces the matrix with kRuns runs of kRunLength rows that share a first
// value: 0 and -0 (which tie, so one run of twice the length), then plus and
// minus multiples of a scale, each row's raised by 0, 1 or 2 times a jitter
// (so that a run's first values may agree only within the tolerance), and
// NaN last. Each run cycles through the input's rows, the second column
// shifted by a multiple of a step from the palette. Runs of this length that
// are at most an eighth of all rows reach the sort method's ordering by
// second value.
template <typename T>
void TileInRuns(std::vector<T>& data, int& height, int width, FuzzedDataProvider& input) {
  constexpr int kRuns = 16;
  constexpr int kRunLength = 136;
  const T scale = Special<T>(input.ConsumeIntegral<std::uint8_t>());
  const T step = Special<T>(input.ConsumeIntegral<std::uint8_t>());
  const T jitter = Special<T>(input.ConsumeIntegral<std::uint8_t>());
  std::vector<T> tiled;
  tiled.reserve(static_cast<std::size_t>(kRuns * kRunLength) * static_cast<std::size_t>(width));
  for (int run = 0; run < kRuns; ++run) {
    T first = std::numeric_limits<T>::quiet_NaN();
    if (run == 0) first = T(0);
    if (run == 1) first = -T(0);
    if (run >= 2 && run < kRuns - 1) {
      const T multiple = static_cast<T>(run / 2) * scale;
      first = run % 2 == 0 ? multiple : -multiple;
    }
    for (int j = 0; j < kRunLength; ++j) {
      const int source = (run * kRunLength + j) % height;
      for (int c = 0; c < width; ++c) {
        T value = data[static_cast<std::size_t>(source * width + c)];
        if (c == 0) {
          value = run >= 2 && run < kRuns - 1
                      ? static_cast<T>(first + static_cast<T>(j % 3) * jitter)
                      : first;
        }
        if (c == 1) value = static_cast<T>(value + static_cast<T>(j / height % 5) * step);
        tiled.push_back(value);
      }
    }
  }
  data.swap(tiled);
  height = kRuns * kRunLength;
}

template <typename T>
void FuzzMatrix(FuzzedDataProvider& input, unsigned mode) {
  const bool palette = (mode & 2u) != 0;
  const bool weighted = (mode & 4u) != 0;
  int height = input.ConsumeIntegralInRange(0, 64);
  const int width = input.ConsumeIntegralInRange(0, 6);
  const unsigned tolerance_choice = input.ConsumeIntegral<std::uint8_t>();
  const T tolerance = tolerance_choice < 200 ? Special<T>(tolerance_choice) : RawValue<T>(input);

  std::vector<T> projection(static_cast<std::size_t>(width), T(1));
  if (weighted) {
    for (T& weight : projection) weight = Special<T>(input.ConsumeIntegral<std::uint8_t>());
  }
  if (width > 0) {
    const std::size_t per_row = static_cast<std::size_t>(width) * (palette ? 1 : sizeof(T));
    height = std::min(height, static_cast<int>(input.remaining_bytes() / per_row));
  }
  std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
  for (T& value : data) value = DecodeValue<T>(input, palette);
  if ((mode & 16u) != 0 && (mode >> 5) == kRunsShape && height > 0 && width > 0) {
    TileInRuns(data, height, width, input);
  } else if ((mode & 16u) != 0 && height > 0 && width > 0) {
    // Enough rows for the sorts' large-input paths: copies of the rows, the
    // first column shifted by a multiple of a step, so that copies chain or
    // stand apart against the tolerance.
    const T step = Special<T>(mode >> 5);
    const int copies = (300 + height - 1) / height;
    std::vector<T> tiled;
    tiled.reserve(data.size() * static_cast<std::size_t>(copies));
    for (int copy = 0; copy < copies; ++copy) {
      for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
          T value = data[static_cast<std::size_t>(r * width + c)];
          if (c == 0) value = static_cast<T>(value + static_cast<T>(copy % 7) * step);
          tiled.push_back(value);
        }
      }
    }
    data.swap(tiled);
    height *= copies;
  }
  const std::vector<T> original = data;

  FuzzUniqueIds<true>(data, height, width, tolerance);
  FuzzUniqueIds<false>(data, height, width, tolerance);
  FuzzUff(data, height, width, projection, tolerance);
  CHECK(SameBits(data.data(), original.data(), data.size() * sizeof(T)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider input(bytes, size);
  const unsigned mode = input.ConsumeIntegral<std::uint8_t>();
  if ((mode & 8u) != 0) {
    FuzzSorts(input);
  } else if ((mode & 1u) != 0) {
    FuzzMatrix<double>(input, mode);
  } else {
    FuzzMatrix<float>(input, mode);
  }
  return 0;
}
