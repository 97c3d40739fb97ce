// The safe sorts: any comparator leaves a permutation and touches nothing
// outside the range; a valid ordering sorts like the standard sorts, in
// O(n log n) comparisons. The radix sorts: the stable order, within their
// buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "kedo/sorting.hpp"
#include "kedo/unique_ids.hpp"
#include "reference.hpp"

namespace {

namespace ki = kedo::internal;
using kedo_test::Guarded;

enum class Algo { kInsertion, kHeap, kUnstable, kStable, kSortStable, kSortUnstable, kNoBuffer };

struct AlgoCase {
  Algo algo;
  const char* name;
  bool stable;
};

std::ostream& operator<<(std::ostream& os, const AlgoCase& c) { return os << c.name; }

template <typename T, typename Less>
void RunSort(Algo algo, T* first, T* last, Less less) {
  switch (algo) {
    case Algo::kInsertion:
      ki::InsertionSort(first, last, less);
      break;
    case Algo::kHeap:
      ki::HeapSort(first, last, less);
      break;
    case Algo::kUnstable:
      ki::UnstableSort(first, last, less);
      break;
    case Algo::kStable:
      ki::StableSort(first, last, less);
      break;
    case Algo::kSortStable:
      ki::Sort<true>(first, last, less);
      break;
    case Algo::kSortUnstable:
      ki::Sort<false>(first, last, less);
      break;
    case Algo::kNoBuffer:
      ki::MergeSortRecursive(first, last, static_cast<T*>(nullptr), less);
      break;
  }
}

// Wraps a comparator: counts calls and notes any argument outside [0, limit),
// which can only come from a read outside the range being sorted.
template <typename Less>
struct Watched {
  Less less;
  std::uint64_t* calls;
  bool* strayed;
  int limit;

  bool operator()(int a, int b) {
    ++*calls;
    if (a < 0 || b < 0 || a >= limit || b >= limit) {
      *strayed = true;
      return false;
    }
    return less(a, b);
  }
};

enum class Pattern { kRandom, kSorted, kReversed, kOrganPipe, kAllEqual, kFewDistinct, kManyDups };

constexpr Pattern kPatterns[] = {Pattern::kRandom,    Pattern::kSorted,   Pattern::kReversed,
                                 Pattern::kOrganPipe, Pattern::kAllEqual, Pattern::kFewDistinct,
                                 Pattern::kManyDups};

// n values, all in [0, n).
std::vector<int> MakeInput(Pattern pattern, std::size_t n, std::mt19937& rng) {
  std::vector<int> v(n);
  std::iota(v.begin(), v.end(), 0);
  const int size = static_cast<int>(n);
  switch (pattern) {
    case Pattern::kRandom:
      std::shuffle(v.begin(), v.end(), rng);
      break;
    case Pattern::kSorted:
      break;
    case Pattern::kReversed:
      std::reverse(v.begin(), v.end());
      break;
    case Pattern::kOrganPipe:
      for (int i = 0; i < size; ++i) v[static_cast<std::size_t>(i)] = std::min(i, size - 1 - i);
      break;
    case Pattern::kAllEqual:
      std::fill(v.begin(), v.end(), size / 2);
      break;
    case Pattern::kFewDistinct:
      for (auto& x : v) x = static_cast<int>(rng() % 4u) % std::max(size, 1);
      break;
    case Pattern::kManyDups:
      for (auto& x : v) x = static_cast<int>(rng() % static_cast<unsigned>(size / 10 + 1));
      break;
  }
  return v;
}

constexpr std::size_t kSizes[] = {0,   1,   2,   3,   4,   5,   7,   8,   15,  16,   23,
                                  24,  25,  26,  31,  32,  33,  34,  48,  63,  64,   65,
                                  100, 127, 128, 129, 130, 200, 255, 256, 257, 1000, 4099};
constexpr std::size_t kLarge = 100000;

double NLogN(std::size_t n) {
  const double x = static_cast<double>(std::max<std::size_t>(n, 2));
  return x * std::log2(x);
}

struct RandomAnswer {
  std::shared_ptr<std::mt19937> rng;
  bool operator()(int, int) { return ((*rng)() & 1u) != 0; }
};

// A row matrix of n rows whose comparator is no strict weak ordering: close
// values within a positive tolerance, and NaN in some rows.
struct NanRows {
  std::vector<double> data;
  explicit NanRows(std::size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(0, 9);
    for (std::size_t i = 0; i < 2 * n; ++i) {
      const int k = pick(rng);
      data.push_back(k == 0 ? std::numeric_limits<double>::quiet_NaN() : 0.3 * k);
    }
  }
  ki::RowLess<double> Less() const { return ki::RowLess<double>{data.data(), 2, 0.5}; }
};

// Calls f(name, comparator) with each hostile comparator.
template <typename F>
void ForEachHostile(std::mt19937& rng, const std::shared_ptr<NanRows>& rows, F f) {
  f("always true", [](int, int) { return true; });
  f("always false", [](int, int) { return false; });
  f("less or equal", [](int a, int b) { return a <= b; });
  f("random", RandomAnswer{std::make_shared<std::mt19937>(rng())});
  f("rock paper scissors", [](int a, int b) { return (a % 3 + 1) % 3 == b % 3; });
  const ki::RowLess<double> row_less = rows->Less();
  f("rows with NaN", [row_less](int a, int b) { return row_less(a, b); });
}

class SafeSort : public ::testing::TestWithParam<AlgoCase> {};

TEST_P(SafeSort, HostileComparatorsLeaveAPermutationInPlace) {
  const Algo algo = GetParam().algo;
  std::mt19937 rng(12345);
  std::vector<std::size_t> sizes(std::begin(kSizes), std::end(kSizes));
  if (algo != Algo::kInsertion) sizes.push_back(kLarge);
  for (std::size_t n : sizes) {
    const auto rows = std::make_shared<NanRows>(n, rng);
    for (Pattern pattern : kPatterns) {
      const std::vector<int> input = MakeInput(pattern, n, rng);
      ForEachHostile(rng, rows, [&](const char* name, auto less) {
        SCOPED_TRACE(::testing::Message()
                     << name << ", n = " << n << ", pattern " << static_cast<int>(pattern));
        Guarded<int> buffer(n, 0, INT_MIN);
        std::copy(input.begin(), input.end(), buffer.begin());
        std::uint64_t calls = 0;
        bool strayed = false;
        RunSort(algo, buffer.begin(), buffer.end(),
                Watched<decltype(less)>{less, &calls, &strayed, static_cast<int>(n)});
        ASSERT_TRUE(buffer.Intact()) << "wrote outside the range";
        ASSERT_FALSE(strayed) << "read outside the range";
        std::vector<int> got = buffer.Contents();
        std::vector<int> want = input;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        ASSERT_EQ(got, want) << "not a permutation of the input";
        // Whatever the answers, O(n log n) comparisons (about 4 n log2 n at
        // worst, with "always true").
        if (algo != Algo::kInsertion) {
          ASSERT_LE(static_cast<double>(calls), 8.0 * NLogN(n) + 64.0);
        }
      });
    }
  }
}

TEST_P(SafeSort, ValidOrderingSortsLikeTheStandardSorts) {
  const AlgoCase param = GetParam();
  std::mt19937 rng(777);
  std::vector<std::size_t> sizes(std::begin(kSizes), std::end(kSizes));
  if (param.algo != Algo::kInsertion) sizes.push_back(kLarge);
  // Keys with many ties: stability shows in the order of the distinct values.
  const auto by_key = [](int a, int b) { return a % 7 < b % 7; };
  for (std::size_t n : sizes) {
    for (Pattern pattern : kPatterns) {
      SCOPED_TRACE(::testing::Message()
                   << "n = " << n << ", pattern " << static_cast<int>(pattern));
      const std::vector<int> input = MakeInput(pattern, n, rng);

      std::vector<int> got = input;
      RunSort(param.algo, got.data(), got.data() + got.size(), std::less<int>());
      std::vector<int> want = input;
      std::sort(want.begin(), want.end());
      ASSERT_EQ(got, want);

      got = input;
      RunSort(param.algo, got.data(), got.data() + got.size(), by_key);
      want = input;
      std::stable_sort(want.begin(), want.end(), by_key);
      if (param.stable) {
        ASSERT_EQ(got, want);
      } else {
        ASSERT_TRUE(std::is_sorted(got.begin(), got.end(), by_key));
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        ASSERT_EQ(got, want);
      }
    }
  }
}

TEST_P(SafeSort, ValidOrderingTakesAboutNLogNComparisons) {
  const Algo algo = GetParam().algo;
  std::mt19937 rng(99);
  const std::size_t n = algo == Algo::kInsertion ? 2000 : kLarge;
  // About 3 n log2 n at worst (organ pipe, unstable); quadratic would be
  // thousands of times more. Insertion sort: one pass on sorted input, at
  // most n (n - 1) / 2 comparisons on any.
  for (Pattern pattern : kPatterns) {
    double bound = 4.0 * NLogN(n);
    if (algo == Algo::kInsertion) {
      bound = static_cast<double>(pattern == Pattern::kSorted ? n - 1 : n * (n - 1) / 2);
    }
    std::vector<int> v = MakeInput(pattern, n, rng);
    std::uint64_t calls = 0;
    RunSort(algo, v.data(), v.data() + v.size(), [&calls](int a, int b) {
      ++calls;
      return a < b;
    });
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    EXPECT_LE(static_cast<double>(calls), bound) << "pattern " << static_cast<int>(pattern);
  }
}

// McIlroy's adversary ("A killer adversary for quicksort"): every element
// starts as "gas", above all solid values, and a gas element is frozen to the
// next solid value only when the sort compares it with another gas element,
// choosing the one that looks like the pivot. The answers stay a strict weak
// ordering, yet a quicksort without a fallback is driven to n^2 / 2.
struct GasAdversary {
  std::vector<int> value;
  int gas;
  int next_solid = 0;
  int candidate = 0;

  explicit GasAdversary(int n) : value(static_cast<std::size_t>(n), n), gas(n) {}

  bool Less(int a, int b) {
    int& va = value[static_cast<std::size_t>(a)];
    int& vb = value[static_cast<std::size_t>(b)];
    if (va == gas && vb == gas) (a == candidate ? va : vb) = next_solid++;
    if (va == gas) {
      candidate = a;
    } else if (vb == gas) {
      candidate = b;
    }
    return va < vb;
  }
};

TEST_P(SafeSort, AdaptiveAdversaryCannotForceQuadraticComparisons) {
  const Algo algo = GetParam().algo;
  if (algo == Algo::kInsertion) GTEST_SKIP() << "quadratic by design";
  const int n = static_cast<int>(kLarge);
  auto adversary = std::make_shared<GasAdversary>(n);
  std::vector<int> v(kLarge);
  std::iota(v.begin(), v.end(), 0);
  std::uint64_t calls = 0;
  RunSort(algo, v.data(), v.data() + v.size(), [&calls, adversary](int a, int b) {
    ++calls;
    return adversary->Less(a, b);
  });
  // Its answers are consistent, so the result must be sorted by the values it
  // froze; quadratic would be n / (8 log2 n) = 750 times the bound.
  std::vector<int> sorted_values(kLarge);
  std::transform(v.begin(), v.end(), sorted_values.begin(),
                 [&adversary](int i) { return adversary->value[static_cast<std::size_t>(i)]; });
  EXPECT_TRUE(std::is_sorted(sorted_values.begin(), sorted_values.end()));
  EXPECT_LE(static_cast<double>(calls), 8.0 * NLogN(kLarge));
}

// Elements that own memory must be moved, never lost or duplicated.
TEST_P(SafeSort, MovesElementsThatOwnMemory) {
  std::mt19937 rng(5);
  for (std::size_t n : {std::size_t{3}, std::size_t{40}, std::size_t{300}, std::size_t{3000}}) {
    std::vector<std::string> input;
    for (std::size_t i = 0; i < n; ++i) {
      input.push_back(std::string(40, 'a') + std::to_string(rng() % (n / 2)));
    }
    auto random_answer = [state = std::make_shared<std::mt19937>(rng())](const std::string&,
                                                                         const std::string&) {
      return ((*state)() & 1u) != 0;
    };
    for (int round = 0; round < 2; ++round) {
      std::vector<std::string> got = input;
      if (round == 0) {
        RunSort(GetParam().algo, got.data(), got.data() + got.size(), std::less<std::string>());
        EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
      } else {
        RunSort(GetParam().algo, got.data(), got.data() + got.size(), random_answer);
      }
      std::vector<std::string> want = input;
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want) << "n = " << n;
    }
  }
}

// The radix sorts on keys that make every pass, some passes or none run (an
// odd number of them ends in the scratch): the stable order by the sorted
// bits, ids moved with their keys, nothing written outside the buffers.
template <typename U>
std::vector<U> RadixKeys(std::mt19937_64& rng, std::size_t n, int shape) {
  std::vector<U> keys(n);
  for (U& key : keys) {
    const auto bits = static_cast<U>(rng());
    switch (shape) {
      case 0:  // every bit
        key = bits;
        break;
      case 1:  // all equal: every pass skipped
        key = static_cast<U>(0x5a5a5a5a5a5a5a5aULL);
        break;
      case 2:  // one byte above the lowest varies: one pass
        key = static_cast<U>(0x1234u) ^ static_cast<U>((bits & 0xff) << 8);
        break;
      case 3:  // few values in the top and bottom bytes: ties; two passes from bit 0, else one
        key = static_cast<U>((bits & 3) << (8 * sizeof(U) - 8)) | static_cast<U>((bits >> 8) & 3);
        break;
    }
  }
  return keys;
}

// Whether a radix sort left `ids` (first 0, 1, ...) in the stable order of
// `input` by the bits from `low_bit` up, each key beside its id.
template <typename U, typename Ids, typename Keys>
::testing::AssertionResult InStableOrder(const std::vector<U>& input, int low_bit, const Ids& ids,
                                         const Keys& keys) {
  std::vector<int> want(input.size());
  std::iota(want.begin(), want.end(), 0);
  std::stable_sort(want.begin(), want.end(), [&](int a, int b) {
    return (input[static_cast<std::size_t>(a)] >> low_bit) <
           (input[static_cast<std::size_t>(b)] >> low_bit);
  });
  for (std::size_t p = 0; p < want.size(); ++p) {
    if (ids[p] != want[p]) {
      return ::testing::AssertionFailure()
             << "id " << ids[p] << " at position " << p << ", want " << want[p];
    }
    if (keys[p] != input[static_cast<std::size_t>(want[p])]) {
      return ::testing::AssertionFailure()
             << "key at position " << p << " is not id " << want[p] << "'s";
    }
  }
  return ::testing::AssertionSuccess();
}

template <typename U>
void CheckRadixSortPairsWith(int low_bit) {
  std::mt19937_64 rng(77 + static_cast<unsigned>(low_bit));
  constexpr U kCanaryKey = static_cast<U>(0xdeadbeefdeadbeefULL);
  for (const std::size_t n : {0u, 1u, 2u, 257u, 5000u}) {
    for (int shape = 0; shape < 4; ++shape) {
      SCOPED_TRACE(::testing::Message() << "n = " << n << ", shape " << shape << ", low bit "
                                        << low_bit << ", key bytes " << sizeof(U));
      const std::vector<U> input = RadixKeys<U>(rng, n, shape);
      Guarded<U> keys(n, U(0), kCanaryKey);
      Guarded<int> ids(n, 0, INT_MIN);
      std::copy(input.begin(), input.end(), keys.begin());
      std::iota(ids.begin(), ids.end(), 0);
      Guarded<U> key_scratch(n, U(0), kCanaryKey);
      Guarded<int> id_scratch(n, 0, INT_MIN);
      Guarded<std::size_t> counts(ki::RadixCountTables<U>() * ki::kRadixBuckets, 0, SIZE_MAX);
      ki::RadixSortPairsWith(keys.begin(), ids.begin(), n, low_bit, key_scratch.begin(),
                             id_scratch.begin(), counts.begin());
      ASSERT_TRUE(keys.Intact() && ids.Intact() && key_scratch.Intact() && id_scratch.Intact() &&
                  counts.Intact())
          << "wrote outside a buffer";
      ASSERT_TRUE(InStableOrder(input, low_bit, ids.Contents(), keys.Contents()));
    }
  }
}

TEST(RadixSort, PairsSortStablyByTheBitsFromTheLowBitUp) {
  CheckRadixSortPairsWith<std::uint32_t>(0);
  CheckRadixSortPairsWith<std::uint64_t>(0);
  CheckRadixSortPairsWith<std::uint64_t>(5);
  CheckRadixSortPairsWith<std::uint64_t>(32);
}

TEST(RadixSort, ByHighHalfSortsStablyByTheWholeKey) {
  std::mt19937_64 rng(5);
  for (const std::size_t n : {0u, 1u, 40u, 5000u}) {
    for (int shape = 0; shape < 4; ++shape) {
      // Upper halves from a few values: short and long runs to finish.
      std::vector<std::uint64_t> keys = RadixKeys<std::uint64_t>(rng, n, shape);
      for (std::uint64_t& key : keys) key ^= (rng() % (1 + n / 64)) << 32;
      const std::vector<std::uint64_t> input = keys;
      std::vector<int> ids(n);
      std::iota(ids.begin(), ids.end(), 0);
      ASSERT_TRUE(ki::RadixSortByHighHalf(keys.data(), ids.data(), n));
      ASSERT_TRUE(InStableOrder(input, 0, ids, keys)) << "n = " << n << ", shape " << shape;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sorts, SafeSort,
                         ::testing::Values(AlgoCase{Algo::kInsertion, "InsertionSort", true},
                                           AlgoCase{Algo::kHeap, "HeapSort", false},
                                           AlgoCase{Algo::kUnstable, "UnstableSort", false},
                                           AlgoCase{Algo::kStable, "StableSort", true},
                                           AlgoCase{Algo::kSortStable, "SortStable", true},
                                           AlgoCase{Algo::kSortUnstable, "SortUnstable", false},
                                           AlgoCase{Algo::kNoBuffer, "MergeWithoutBuffer", true}),
                         [](const ::testing::TestParamInfo<AlgoCase>& case_info) {
                           return std::string(case_info.param.name);
                         });

}  // namespace
