// The fast paths against the plain algorithms they replace: the plain
// comparison sorts over row numbers with RowLess, grouping with RowsMatch,
// std::sort renumbering, a comparison argsort and the plain Uff sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "kedo/kedo.hpp"

namespace {

using kedo::IndexVector;

// Data mixing ties, +0/-0, infinities and (on request) NaN. `levels` small
// values per column make many rows equal.
template <typename T>
std::vector<T> MixedData(std::mt19937& rng, int height, int width, int levels, bool nan) {
  const T inf = std::numeric_limits<T>::infinity();
  std::uniform_int_distribution<int> pick(0, levels + 3);
  std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
  for (T& value : data) {
    const int k = pick(rng);
    if (k == levels) {
      value = T(-0.0);
    } else if (k == levels + 1) {
      value = inf;
    } else if (k == levels + 2) {
      value = -inf;
    } else if (k == levels + 3) {
      value = nan ? std::numeric_limits<T>::quiet_NaN() : T(0);
    } else {
      value = static_cast<T>(k - levels / 2) * T(0.25);
    }
  }
  return data;
}

// Rows near a few centres, so that a positive tolerance is no strict weak
// ordering on them.
template <typename T>
std::vector<T> NoisyData(std::mt19937& rng, int height, int width, bool nan) {
  std::uniform_int_distribution<int> centre(0, 5);
  std::normal_distribution<double> noise(0.0, 0.05);
  std::uniform_int_distribution<int> rare(0, 40);
  std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
  for (T& value : data) {
    value = static_cast<T>(centre(rng) * 0.1 + noise(rng));
    if (nan && rare(rng) == 0) value = std::numeric_limits<T>::quiet_NaN();
  }
  return data;
}

struct Grouping {
  IndexVector<int> sorted_ids;
  IndexVector<int> unique_ids;
  std::vector<int> inverse;
};

// The sort method as plainly written: every row number sorted with RowLess,
// groups cut by RowsMatch against the head, rows numbered by the heads.
// The grouping and inverse passes, plainly, over a given order.
template <typename T>
Grouping GroupPlainly(const std::vector<T>& data, int height, int width, T tolerance,
                      const IndexVector<int>& sorted_ids) {
  Grouping g;
  g.sorted_ids = sorted_ids;
  std::size_t head = 0;
  for (std::size_t p = 0; p < g.sorted_ids.size(); ++p) {
    if (p == 0 || !kedo::internal::RowsMatch(data.data(), width, tolerance, g.sorted_ids[head],
                                             g.sorted_ids[p])) {
      head = p;
      g.unique_ids.push_back(static_cast<int>(p));
    }
  }
  g.inverse.assign(static_cast<std::size_t>(height), -1);
  int group = -1;
  std::size_t next = 0;
  for (std::size_t p = 0; p < g.sorted_ids.size(); ++p) {
    if (next < g.unique_ids.size() && static_cast<std::size_t>(g.unique_ids[next]) == p) {
      ++group;
      ++next;
    }
    g.inverse[static_cast<std::size_t>(g.sorted_ids[p])] = group;
  }
  return g;
}

template <bool stable, typename T>
Grouping PlainUniqueIds(const std::vector<T>& data, int height, int width, T tolerance) {
  IndexVector<int> sorted_ids(static_cast<std::size_t>(height));
  std::iota(sorted_ids.begin(), sorted_ids.end(), 0);
  const kedo::internal::RowLess<T> less{data.data(), width, tolerance};
  kedo::internal::Sort<stable>(sorted_ids.data(), sorted_ids.data() + height, less);
  return GroupPlainly(data, height, width, tolerance, sorted_ids);
}

template <bool stable, typename T>
Grouping FastUniqueIds(const std::vector<T>& data, int height, int width, T tolerance) {
  Grouping g;
  g.inverse.assign(static_cast<std::size_t>(height), -1);
  kedo::UniqueIds<stable>(data.data(), height, width, tolerance, g.sorted_ids, g.unique_ids,
                          g.inverse.data());
  return g;
}

// The representative rows' numbers, in group order.
std::vector<int> Heads(const Grouping& g) {
  std::vector<int> heads;
  for (const int position : g.unique_ids) {
    heads.push_back(g.sorted_ids[static_cast<std::size_t>(position)]);
  }
  return heads;
}

// The rows of each group, by value, in group order; representatives aside.
template <typename T>
std::vector<std::vector<T>> GroupValues(const std::vector<T>& data, int width, const Grouping& g) {
  std::vector<std::vector<T>> rows;
  for (const int row : Heads(g)) {
    rows.emplace_back(data.begin() + row * width, data.begin() + (row + 1) * width);
  }
  return rows;
}

// The same group positions and the same group for every row; the order
// within groups, so which row heads one, may differ.
void ExpectSameGroups(const Grouping& fast, const Grouping& plain) {
  EXPECT_EQ(std::vector<int>(fast.unique_ids.begin(), fast.unique_ids.end()),
            std::vector<int>(plain.unique_ids.begin(), plain.unique_ids.end()));
  EXPECT_EQ(fast.inverse, plain.inverse);
}

// Each row's group representative, bit for bit: what stays the same when
// only the order among identical rows differs.
template <typename T>
std::vector<std::vector<unsigned char>> RepresentativeBits(const std::vector<T>& data, int width,
                                                           const Grouping& g) {
  std::vector<std::vector<unsigned char>> bits;
  for (const int group : g.inverse) {
    const int head =
        g.sorted_ids[static_cast<std::size_t>(g.unique_ids[static_cast<std::size_t>(group)])];
    const auto* row = reinterpret_cast<const unsigned char*>(data.data() + head * width);
    bits.emplace_back(row, row + sizeof(T) * static_cast<std::size_t>(width));
  }
  return bits;
}

template <typename T>
void ExpectSameGrouping(const Grouping& fast, const Grouping& plain) {
  EXPECT_EQ(std::vector<int>(fast.sorted_ids.begin(), fast.sorted_ids.end()),
            std::vector<int>(plain.sorted_ids.begin(), plain.sorted_ids.end()));
  ExpectSameGroups(fast, plain);
}

template <typename T>
class FastPaths : public ::testing::Test {};
using Types = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FastPaths, Types);

constexpr int kWidths[] = {1, 2, 3, 4, 5, 8, 9};

// The sorting path that the exact paths replace at tolerance 0.
template <bool stable, typename T>
Grouping SortingPathUniqueIds(const std::vector<T>& data, int height, int width) {
  Grouping g;
  g.inverse.assign(static_cast<std::size_t>(height), -1);
  kedo::internal::UniqueIdsBySorting<stable>(data.data(), height, width, T(0), g.sorted_ids,
                                             g.unique_ids, g.inverse.data());
  return g;
}

// Tolerance 0 without NaN takes the hashed path: with the stable sort it must
// give exactly the plain result; with the unstable one the same groups in the
// same order, the same values, only the choice among equal rows may differ.
TYPED_TEST(FastPaths, ExactPathMatchesPlainSort) {
  using T = TypeParam;
  std::mt19937 rng(7);
  for (const int width : kWidths) {
    for (const int height : {2, 3, 17, 300, 2000}) {
      for (const int levels : {1, 3, 40}) {
        SCOPED_TRACE(::testing::Message()
                     << "width " << width << " height " << height << " levels " << levels);
        auto data = MixedData<T>(rng, height, width, levels, false);
        // Half the time without -0, so that the unstable hashed path runs too.
        if (levels != 3) {
          for (T& v : data) v = v == T(0) ? T(0) : v;
        }
        for (const T tolerance : {T(0), T(-0.0)}) {
          ExpectSameGrouping<T>(FastUniqueIds<true>(data, height, width, tolerance),
                                PlainUniqueIds<true>(data, height, width, tolerance));
          const Grouping fast = FastUniqueIds<false>(data, height, width, tolerance);
          const Grouping plain = PlainUniqueIds<false>(data, height, width, tolerance);
          // Same group for every row, and the same rows bit for bit, group by
          // group; with -0 in the data the unstable sort itself runs.
          ExpectSameGroups(fast, plain);
          const auto fast_rows = GroupValues(data, width, fast);
          const auto plain_rows = GroupValues(data, width, plain);
          ASSERT_EQ(fast_rows.size(), plain_rows.size());
          for (std::size_t g = 0; g < fast_rows.size(); ++g) {
            EXPECT_EQ(0, std::memcmp(fast_rows[g].data(), plain_rows[g].data(),
                                     sizeof(T) * static_cast<std::size_t>(width)));
          }
          const bool negative_zero = std::any_of(data.begin(), data.end(),
                                                 [](T v) { return v == T(0) && std::signbit(v); });
          if (negative_zero) ExpectSameGrouping<T>(fast, plain);
        }
      }
    }
  }
}

// The driver's shortcut at tolerance 0 gives what UniqueIds<true> and
// SortIdsAndInverse give, or what UniqueIds<false> gives, and declines NaN data.
// With -0 in the data the unstable heads are those of the sorting path.
TYPED_TEST(FastPaths, FirstOccurrencePathMatchesSortAndRenumber) {
  using T = TypeParam;
  std::mt19937 rng(9);
  for (const int width : kWidths) {
    for (const int height : {2, 3, 300, 2000}) {
      for (const int levels : {1, 3, 40}) {
        const auto data = MixedData<T>(rng, height, width, levels, false);
        Grouping plain = PlainUniqueIds<true>(data, height, width, T(0));
        std::vector<int> ids = Heads(plain);
        kedo::SortIdsAndInverse<int>(static_cast<int>(ids.size()), ids.data(), height,
                                     plain.inverse.data());
        IndexVector<int> index;
        std::vector<int> inverse(static_cast<std::size_t>(height), -1);
        ASSERT_TRUE(kedo::internal::UniqueIdsFirstOccurrence(data.data(), height, width, T(0), true,
                                                             index, inverse.data()));
        EXPECT_EQ(std::vector<int>(index.begin(), index.end()), ids);
        EXPECT_EQ(inverse, plain.inverse);

        // Unstable: the heads in group order and the group numbers of
        // UniqueIds<false>, equal rows headed by the lowest.
        auto positive = data;
        for (T& v : positive) v = v == T(0) ? T(0) : v;
        const Grouping unstable = PlainUniqueIds<false>(positive, height, width, T(0));
        ASSERT_TRUE(kedo::internal::UniqueIdsFirstOccurrence(positive.data(), height, width, T(0),
                                                             false, index, inverse.data()));
        EXPECT_EQ(inverse, unstable.inverse);
        ASSERT_EQ(index.size(), unstable.unique_ids.size());
        for (std::size_t k = 0; k < index.size(); ++k) {
          const int head = unstable.sorted_ids[static_cast<std::size_t>(unstable.unique_ids[k])];
          EXPECT_EQ(0, std::memcmp(&positive[static_cast<std::size_t>(index[k] * width)],
                                   &positive[static_cast<std::size_t>(head * width)],
                                   sizeof(T) * static_cast<std::size_t>(width)));
          EXPECT_EQ(inverse[static_cast<std::size_t>(index[k])], static_cast<int>(k));
          EXPECT_LE(index[k], head);
        }
        const bool negative_zero =
            std::any_of(data.begin(), data.end(), [](T v) { return v == T(0) && std::signbit(v); });
        if (negative_zero) {
          const Grouping sorting = SortingPathUniqueIds<false>(data, height, width);
          ASSERT_TRUE(kedo::internal::UniqueIdsFirstOccurrence(data.data(), height, width, T(0),
                                                               false, index, inverse.data()));
          EXPECT_EQ(inverse, sorting.inverse);
          EXPECT_EQ(std::vector<int>(index.begin(), index.end()), Heads(sorting));
        }
      }
    }
  }
  auto data = MixedData<T>(rng, 10, 2, 3, false);
  data[7] = std::numeric_limits<T>::quiet_NaN();
  IndexVector<int> index;
  std::vector<int> inverse(10, -7);
  for (const bool sorted_index : {false, true}) {
    EXPECT_FALSE(kedo::internal::UniqueIdsFirstOccurrence(data.data(), 10, 2, T(0), sorted_index,
                                                          index, inverse.data()));
    EXPECT_FALSE(kedo::internal::UniqueIdsFirstOccurrence(data.data(), 10, 2, T(0.5), sorted_index,
                                                          index, inverse.data()));
  }
  EXPECT_EQ(inverse, std::vector<int>(10, -7));
}

// Copies that differ in the signs of zeros: the unstable exact path gives the
// sorting path's order exactly. That is the stable order where every class
// is one row repeated bit for bit and no first value fills more than an
// eighth of the rows (from 256 rows on), else the plain unstable sort's.
TYPED_TEST(FastPaths, ExactPathKeepsTheSortingPathsOrderWithSignedZeros) {
  using T = TypeParam;
  std::mt19937 rng(13);
  std::uniform_int_distribution<int> coin(0, 1);
  for (const int width : {1, 2, 3, 9}) {
    for (const int height : {255, 256, 257, 3000}) {
      // A pool of distinct first values, zeros of both signs elsewhere.
      const int pool_size = height / 3;
      std::vector<T> pool(static_cast<std::size_t>(pool_size * width));
      for (int k = 0; k < pool_size; ++k) {
        for (int c = 0; c < width; ++c) {
          const T zero = coin(rng) != 0 ? T(-0.0) : T(0);
          pool[static_cast<std::size_t>(k * width + c)] = c == 0 ? T(k + 1) : zero;
        }
      }
      std::uniform_int_distribution<int> draw(0, pool_size - 1);
      for (int shape = 0; shape < 5; ++shape) {
        SCOPED_TRACE(::testing::Message()
                     << "width " << width << " height " << height << " shape " << shape);
        std::vector<T> data(static_cast<std::size_t>(height * width));
        for (int r = 0; r < height; ++r) {
          std::copy_n(pool.begin() + draw(rng) * width, width, data.begin() + r * width);
        }
        // 0: copies bit for bit; 1: one copy with a zero's sign flipped;
        // 2 and 3: one first value in height / 8 rows, then one more;
        // 4: a first column of zeros of both signs.
        const int crowded = height / 8 + (shape == 3 ? 1 : 0);
        for (int r = 0; r < height; ++r) {
          T& first = data[static_cast<std::size_t>(r * width)];
          if ((shape == 2 || shape == 3) && r < crowded) {
            std::copy_n(pool.begin(), width, data.begin() + r * width);
            first = T(0.5);
          }
          if (shape == 4) first = coin(rng) != 0 ? T(-0.0) : T(0);
        }
        if (shape == 1) {
          std::copy_n(data.begin(), width, data.begin() + width);
          data[static_cast<std::size_t>(width + width - 1)] = T(-0.0);
          data[static_cast<std::size_t>(width - 1)] = T(0);
        }
        if (width == 1 && shape != 1) data[0] = T(-0.0);  // a row of its own
        const Grouping fast = FastUniqueIds<false>(data, height, width, T(0));
        ExpectSameGrouping<T>(fast, SortingPathUniqueIds<false>(data, height, width));
        if (height >= 256 && (shape == 0 || shape == 2)) {
          EXPECT_EQ(fast.sorted_ids, SortingPathUniqueIds<true>(data, height, width).sorted_ids);
        }
      }
    }
  }
}

// Inverts ExactRows<double, 1>::Hash (xor-shifts and odd multipliers undo).
std::uint64_t UndoXorShift(std::uint64_t h, int shift) {
  std::uint64_t x = h;
  for (int i = 0; i < 64 / shift + 1; ++i) x = h ^ (x >> shift);
  return x;
}
std::uint64_t InverseOdd(std::uint64_t a) {
  std::uint64_t x = a;  // Newton's iteration modulo 2^64
  for (int i = 0; i < 6; ++i) x *= 2 - a * x;
  return x;
}

// `count` distinct one-column rows, NaN-free, whose row hashes are 1, 2, 3,
// ...: all in the same home slot of any table smaller than 2^32 slots, so
// that plain linear probing would take quadratic time. Every third row
// repeats an earlier one.
std::vector<double> RowsCraftedToCollide(int count) {
  std::vector<double> data;
  for (std::uint64_t hash = 1; static_cast<int>(data.size()) < count; ++hash) {
    if (data.size() % 3 == 2) {
      data.push_back(data[data.size() / 2]);
      continue;
    }
    std::uint64_t h = UndoXorShift(hash, 31) * InverseOdd(0xbf58476d1ce4e5b9ull);
    h = UndoXorShift(h, 29) * InverseOdd(0x9e3779b97f4a7c15ull);
    const std::uint64_t bits = h ^ 0x243f6a8885a308d3ull;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value) && !(value == 0 && std::signbit(value))) data.push_back(value);
  }
  return data;
}

// The exact path's hash table gives up on rows crafted to collide, and the
// sort gives the result instead; ordinary rows never make it give up.
TEST(ExactPath, RowsCraftedToCollideFallBackToTheSort) {
  constexpr int kHeight = 6000;
  const std::vector<double> data = RowsCraftedToCollide(kHeight);
  const kedo::internal::ExactRows<double, 1> rows{data.data(), 1};
  for (int r = 0; r < kHeight; ++r) ASSERT_EQ(rows.Hash(r) >> 32, 0u) << "row " << r;

  std::vector<int> row_class(kHeight, -1);
  IndexVector<int> first_rows;
  EXPECT_FALSE(kedo::internal::FindFirstRows(rows, kHeight, row_class.data(), first_rows));
  EXPECT_TRUE(first_rows.empty());

  ExpectSameGrouping<double>(FastUniqueIds<true>(data, kHeight, 1, 0.0),
                             PlainUniqueIds<true>(data, kHeight, 1, 0.0));
  ExpectSameGroups(FastUniqueIds<false>(data, kHeight, 1, 0.0),
                   PlainUniqueIds<false>(data, kHeight, 1, 0.0));
  IndexVector<int> index;
  for (const bool sorted_index : {false, true}) {
    EXPECT_FALSE(kedo::internal::UniqueIdsFirstOccurrence(data.data(), kHeight, 1, 0.0,
                                                          sorted_index, index, row_class.data()));
  }

  std::mt19937 rng(5);
  for (const int width : {1, 3}) {
    const auto mixed = MixedData<double>(rng, 200000, width, 1000, false);
    const kedo::internal::ExactRows<double, 0> mixed_rows{mixed.data(), width};
    row_class.assign(200000, -1);
    EXPECT_TRUE(kedo::internal::FindFirstRows(mixed_rows, 200000, row_class.data(), first_rows));
  }
}

// Rows whose first values stay at least the tolerance apart, or equal, in
// clusters of at most `cluster` rows: small clusters of noisy copies.
template <typename T>
std::vector<T> SeparatedData(std::mt19937& rng, int height, int width, int cluster) {
  std::uniform_int_distribution<int> pick(0, height / cluster);
  std::normal_distribution<double> noise(0.0, 0.01);
  std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
  for (int r = 0; r < height; ++r) {
    const int centre = pick(rng);
    for (int c = 0; c < width; ++c) {
      data[static_cast<std::size_t>(r * width + c)] =
          static_cast<T>(centre * (c == 0 ? 1.0 : 0.37 * (c + 1)) + noise(rng));
    }
  }
  return data;
}

// Whether the first column alone puts row a before row b.
template <typename T>
bool FirstColumnDecides(const std::vector<T>& data, int width, T tolerance, int a, int b) {
  const T x = data[static_cast<std::size_t>(a * width)];
  const T y = data[static_cast<std::size_t>(b * width)];
  if (x != x) return false;
  if (y != y) return true;
  return !(x == y) && !(std::abs(x - y) < tolerance) && x < y;
}

// Where the comparator is a strict weak ordering (tolerance 0, -1 or NaN, or
// rows in clusters far apart), the fast sorts must give exactly the plain
// sort's permutation, with either stability. Elsewhere they must still order
// every pair that the first column decides, give a permutation and keep the
// grouping's invariants; the stable sort leaves no neighbours out of order.
TYPED_TEST(FastPaths, FastSortsMatchPlainSortOnConsistentOrderings) {
  using T = TypeParam;
  std::mt19937 rng(11);
  const T nan = std::numeric_limits<T>::quiet_NaN();
  for (const int width : kWidths) {
    for (const int height : {1, 2, 33, 500, 3000}) {
      for (const bool with_nan : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << "width " << width << " height " << height << " nan " << with_nan);
        const auto mixed = MixedData<T>(rng, height, width, 5, with_nan);
        // The same with leading columns that order nothing: one value (-0 and
        // +0 among them) in the first column, or in the first two, unless a
        // NaN among them orders its rows last.
        auto leading = mixed;
        for (int r = 0; r < height; ++r) {
          for (int c = 0; c < std::min(width - 1, 1 + r % 2); ++c) {
            leading[static_cast<std::size_t>(r * width + c)] =
                with_nan && r % 17 == 5 ? nan : (r % 3 == 0 ? T(-0.0) : T(0));
          }
        }
        for (const T tolerance : {T(0), T(-1), nan}) {
          for (const std::vector<T>* data : {&mixed, &std::as_const(leading)}) {
            ExpectSameGrouping<T>(FastUniqueIds<true>(*data, height, width, tolerance),
                                  PlainUniqueIds<true>(*data, height, width, tolerance));
            if (with_nan || tolerance != T(0)) {
              ExpectSameGrouping<T>(FastUniqueIds<false>(*data, height, width, tolerance),
                                    PlainUniqueIds<false>(*data, height, width, tolerance));
            }
          }
        }
        auto separated = SeparatedData<T>(rng, height, width, 3);
        if (with_nan) separated[static_cast<std::size_t>(width) * 7 % separated.size()] = nan;
        ExpectSameGrouping<T>(FastUniqueIds<true>(separated, height, width, T(0.1)),
                              PlainUniqueIds<true>(separated, height, width, T(0.1)));
        ExpectSameGrouping<T>(FastUniqueIds<false>(separated, height, width, T(0.1)),
                              PlainUniqueIds<false>(separated, height, width, T(0.1)));
      }
    }
  }
}

// First values on a grid of 0.06 with gaps, later columns on a grid of 0.25:
// with tolerance 0.1 neighbours chain into small clusters and the later
// columns order them inconsistently.
template <typename T>
std::vector<T> ChainedData(std::mt19937& rng, int height, int width, bool nan) {
  std::uniform_int_distribution<int> step(0, height);
  std::uniform_int_distribution<int> level(0, 4);
  std::uniform_int_distribution<int> rare(0, 50);
  std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = i % static_cast<std::size_t>(width) == 0 ? static_cast<T>(step(rng) * 0.06)
                                                       : static_cast<T>(level(rng) * 0.25);
    if (nan && rare(rng) == 0) data[i] = std::numeric_limits<T>::quiet_NaN();
  }
  return data;
}

// The presorted sort on inconsistent orderings: a permutation in which every
// pair that the first column decides is in order and no two neighbours are
// out of order, equivalent neighbours by ascending row number (rows with NaN
// first go last and are sorted plainly).
// Exact copies of separated rows: equivalent rows are equal bit for bit, so
// the unstable variant keeps its own order; the groups, their order and their
// rows are the plain unstable sort's, only which copy heads a group may differ.
TYPED_TEST(FastPaths, UnstablePresortKeepsOrderWhenEquivalentRowsAreCopies) {
  using T = TypeParam;
  std::mt19937 rng(19);
  for (const int width : {1, 3, 5}) {
    const int height = 900;
    std::uniform_int_distribution<int> pick(0, 199);
    std::vector<T> data(static_cast<std::size_t>(height * width));
    for (int r = 0; r < height; ++r) {
      const int centre = pick(rng);
      for (int c = 0; c < width; ++c) {
        data[static_cast<std::size_t>(r * width + c)] = static_cast<T>(centre * (c + 1) % 37);
      }
    }
    std::vector<int> ids(static_cast<std::size_t>(height));
    std::iota(ids.begin(), ids.end(), 0);
    EXPECT_TRUE((kedo::internal::SortRowIdsByFirstValue<false, T, int, 0>(
        data.data(), width, T(0.1), ids.data(), ids.size())));
    const Grouping fast = FastUniqueIds<false>(data, height, width, T(0.1));
    const Grouping plain = PlainUniqueIds<false>(data, height, width, T(0.1));
    ExpectSameGroups(fast, plain);
    EXPECT_EQ(GroupValues(data, width, fast), GroupValues(data, width, plain));
    // Two rows equivalent but different, last by first value, so that the
    // presort declines only after its last cluster: the plain sort still runs.
    auto late = data;
    for (int c = 0; c < width; ++c) {
      late[static_cast<std::size_t>(c)] = T(40);
      late[static_cast<std::size_t>(width + c)] = T(40.05);
    }
    ExpectSameGrouping<T>(FastUniqueIds<false>(late, height, width, T(0.1)),
                          PlainUniqueIds<false>(late, height, width, T(0.1)));
    // The same with rows of zeros and of -0, first by first value.
    for (int c = 0; c < width; ++c) {
      data[static_cast<std::size_t>(c)] = T(0);
      data[static_cast<std::size_t>(width + c)] = T(-0.0);
    }
    ExpectSameGrouping<T>(FastUniqueIds<false>(data, height, width, T(0.1)),
                          PlainUniqueIds<false>(data, height, width, T(0.1)));
  }
}

// Whether row a's second value is at least `gap` below row b's, their first
// values being equal.
template <typename T>
bool SecondColumnApart(const std::vector<T>& data, int width, T gap, int a, int b) {
  const T first_a = data[static_cast<std::size_t>(a * width)];
  const T first_b = data[static_cast<std::size_t>(b * width)];
  if (width < 2 || !(first_a == first_b)) return false;
  return data[static_cast<std::size_t>(b * width + 1)] -
             data[static_cast<std::size_t>(a * width + 1)] >=
         gap;
}

// With a `second_gap` above 0, rows of one first value whose second values
// are that far apart must be in order too (for data whose second values
// bunch with gaps of at least the tolerance between the bunches).
template <bool stable, typename T>
void ExpectPresortedSortSound(const std::vector<T>& data, int height, int width, T tolerance,
                              T second_gap = T(0)) {
  std::vector<int> ids(static_cast<std::size_t>(height));
  std::iota(ids.begin(), ids.end(), 0);
  ASSERT_TRUE((kedo::internal::SortRowIdsByFirstValue<stable, T, int, 0>(
      data.data(), width, tolerance, ids.data(), ids.size())));
  std::vector<int> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  for (int r = 0; r < height; ++r) ASSERT_EQ(sorted[static_cast<std::size_t>(r)], r);
  for (int p = 0; p < height; ++p) {
    for (int q = p + 1; q < height; ++q) {
      const int later = ids[static_cast<std::size_t>(q)];
      const int earlier = ids[static_cast<std::size_t>(p)];
      ASSERT_FALSE(FirstColumnDecides(data, width, tolerance, later, earlier))
          << "positions " << p << " and " << q;
      ASSERT_FALSE(second_gap > T(0) && SecondColumnApart(data, width, second_gap, later, earlier))
          << "positions " << p << " and " << q;
    }
  }
  // Neighbours, up to the rows whose first value is NaN (sorted plainly).
  const kedo::internal::RowLess<T> less{data.data(), width, tolerance};
  for (std::size_t p = 0; p + 1 < ids.size(); ++p) {
    const T next_first = data[static_cast<std::size_t>(ids[p + 1] * width)];
    if (next_first != next_first) break;
    ASSERT_FALSE(less(ids[p + 1], ids[p])) << "position " << p;
    if (!less(ids[p], ids[p + 1])) {
      ASSERT_LT(ids[p], ids[p + 1]) << "equivalent at " << p;
    }
  }
}

TYPED_TEST(FastPaths, PresortedSortIsSoundOnInconsistentOrderings) {
  using T = TypeParam;
  std::mt19937 rng(13);
  for (const int width : kWidths) {
    for (const int height : {300, 2000}) {
      for (const bool with_nan : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << "width " << width << " height " << height << " nan " << with_nan);
        const auto data = ChainedData<T>(rng, height, width, with_nan);
        ExpectPresortedSortSound<true>(data, height, width, T(0.1));
        if (width > 1) ExpectPresortedSortSound<false>(data, height, width, T(0.1));
        // UniqueIds groups while it sorts: as the plain passes over its order.
        for (const Grouping& fast : {FastUniqueIds<true>(data, height, width, T(0.1)),
                                     FastUniqueIds<false>(data, height, width, T(0.1))}) {
          ExpectSameGrouping<T>(fast, GroupPlainly(data, height, width, T(0.1), fast.sorted_ids));
        }
      }
    }
  }
}

// First values 1 apart, each shared by about `tied` rows in random order,
// each value raised by up to `first_spread` (so that they tie only within
// the tolerance).
// Later columns: with `chained`, second values 0.06 apart in bunches 1 apart
// and the rest on a grid of 0.25, so that under tolerance 0.1 rows chain
// within a bunch; otherwise noisy
// copies of grid points 1 apart (a third of them closer than the upper half
// of a double's bits tell apart), and the second column also holds NaN,
// infinities and zeros of both signs, so that the order is strict weak.
template <typename T>
std::vector<T> TiedFirstData(std::mt19937& rng, int height, int width, int tied, bool chained,
                             double first_spread = 0.0) {
  const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                        -std::numeric_limits<T>::infinity(), T(0), T(-0.0)};
  std::uniform_int_distribution<int> first(0, std::max(1, height / tied) - 1);
  std::uniform_int_distribution<int> centre(0, 3);
  std::uniform_int_distribution<int> step(0, 3);
  std::uniform_int_distribution<int> rare(0, 24);
  std::normal_distribution<double> noise(0.0, 0.005);
  std::uniform_real_distribution<double> spread(0.0, first_spread);
  std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
  for (int r = 0; r < height; ++r) {
    T* row = data.data() + static_cast<std::ptrdiff_t>(r) * width;
    row[0] = static_cast<T>(first(rng) + (first_spread > 0.0 ? spread(rng) : 0.0));
    for (int c = 1; c < width; ++c) {
      row[c] = chained
                   ? static_cast<T>(c == 1 ? centre(rng) + step(rng) * 0.06 : centre(rng) * 0.25)
                   : static_cast<T>(centre(rng) + noise(rng) * (r % 3 == 0 ? 1e-6 : 1.0));
    }
    const int special = rare(rng);
    if (!chained && width > 1 && special < 5) row[1] = specials[special];
  }
  return data;
}

// Runs of one first value, in random order, are ordered by the second column
// before the comparator sorts what that leaves tied: on a strict weak
// ordering the result is still the plain sort's, on a chained one it is
// sound and the second column decides across its gaps. (Runs of 40 rows are
// left to the comparator's sort; longer ones are too long to be checked for
// consistency, so on chained data the unstable variant declines.) First
// values that differ by less than the tolerance (0.05, or 1e-9, which the
// upper half of a double's bits cannot tell apart) decide no pair either.
// Runs of 750 rows (four first values) are longer than an eighth of the
// rows and are sorted in place; with one first value for all 3000 rows the
// second column keys the presort. There the unstable variant gives the
// plain unstable sort's order exactly, copies included.
TYPED_TEST(FastPaths, TiedFirstValuesAreOrderedBySecondColumn) {
  using T = TypeParam;
  std::mt19937 rng(29);
  const T nan = std::numeric_limits<T>::quiet_NaN();
  for (const double first_spread : {0.0, 1e-9, 0.05}) {
    for (const int width : {2, 3, 5, 9}) {
      for (const int tied : {40, 150, 300, 750, 3000}) {
        const int height = 3000;
        SCOPED_TRACE(::testing::Message()
                     << "width " << width << " tied " << tied << " spread " << first_spread);
        const auto strict = TiedFirstData<T>(rng, height, width, tied, false, first_spread);
        for (const T tolerance : {T(0.1), T(0), T(-1), nan}) {
          SCOPED_TRACE(::testing::Message() << "tolerance " << tolerance);
          ExpectSameGrouping<T>(FastUniqueIds<true>(strict, height, width, tolerance),
                                PlainUniqueIds<true>(strict, height, width, tolerance));
          // Unstable: identical rows may come in another order (and, under a
          // negative tolerance, stay apart), so only which copy stands for a
          // row may differ.
          const Grouping fast = FastUniqueIds<false>(strict, height, width, tolerance);
          const Grouping plain = PlainUniqueIds<false>(strict, height, width, tolerance);
          if (tied > height / 8) {
            ExpectSameGrouping<T>(fast, plain);
            // Distinct second values: the presort takes these rows.
            std::vector<int> ids(static_cast<std::size_t>(height));
            std::iota(ids.begin(), ids.end(), 0);
            EXPECT_TRUE(tolerance != T(0) ||
                        (kedo::internal::SortRowIdsByFirstValue<true, T, int, 0>(
                            strict.data(), width, tolerance, ids.data(), ids.size())));
          }
          EXPECT_EQ(std::vector<int>(fast.unique_ids.begin(), fast.unique_ids.end()),
                    std::vector<int>(plain.unique_ids.begin(), plain.unique_ids.end()));
          EXPECT_EQ(RepresentativeBits(strict, width, fast),
                    RepresentativeBits(strict, width, plain));
        }
        // One first value: the second values' bunches are too wide to key
        // the presort, which declines.
        if (tied == height) continue;
        const auto chained = TiedFirstData<T>(rng, height, width, tied, true, first_spread);
        ExpectPresortedSortSound<true>(chained, height, width, T(0.1), T(0.5));
        if (tied < 64) ExpectPresortedSortSound<false>(chained, height, width, T(0.1), T(0.5));
      }
    }
  }
}

// Clusters of first values 0, 0.06 and 0.12 (plus 10 apart per cluster)
// under tolerance 0.1, so that the first column decides only 0 against 0.12;
// second values 0, 1 or 2 for the 0.06 rows, 5, 6 or 7 for the others. A
// strict weak ordering all the same (0.06 rows, then 0 rows, then 0.12 rows,
// each by second value), in which the first column's one decision must
// hold: the cluster's span reaches the tolerance, so it is not sorted by its
// second values alone.
TYPED_TEST(FastPaths, ClustersSpanningTheToleranceKeepTheirFirstColumnDecisions) {
  using T = TypeParam;
  std::mt19937 rng(37);
  std::uniform_int_distribution<int> cluster(0, 9);
  std::uniform_int_distribution<int> step(0, 2);
  for (const int width : {2, 3}) {
    const int height = 3000;
    std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
    for (int r = 0; r < height; ++r) {
      T* row = data.data() + static_cast<std::ptrdiff_t>(r) * width;
      const int s = step(rng);
      row[0] = static_cast<T>(10 * cluster(rng) + 0.06 * s);
      row[1] = static_cast<T>((s == 1 ? 0 : 5) + step(rng));
      if (width > 2) row[2] = T(1);
    }
    for (const bool stable : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "width " << width << " stable " << stable);
      const Grouping fast = stable ? FastUniqueIds<true>(data, height, width, T(0.1))
                                   : FastUniqueIds<false>(data, height, width, T(0.1));
      const Grouping plain = stable ? PlainUniqueIds<true>(data, height, width, T(0.1))
                                    : PlainUniqueIds<false>(data, height, width, T(0.1));
      ExpectSameGroups(fast, plain);
      EXPECT_EQ(GroupValues(data, width, fast), GroupValues(data, width, plain));
    }
  }
}

// The plain unstable sort of the given row numbers.
template <typename T>
std::vector<int> PlainUnstableOrder(const std::vector<T>& data, int width, T tolerance,
                                    std::vector<int> ids) {
  const kedo::internal::RowLess<T> less{data.data(), width, tolerance};
  kedo::internal::Sort<false>(ids.data(), ids.data() + ids.size(), less);
  return ids;
}

// Declining, the presorted sort leaves the ids as they came: the unstable
// variant on a consistent ordering of noisy copies whose row numbers are not
// consecutive, either variant where one cluster holds more than an eighth of
// the rows (first values dense against the tolerance). With consecutive row
// numbers the unstable variant gives the plain unstable sort's order instead.
TYPED_TEST(FastPaths, PresortedSortDeclinesLeavingIdsAsTheyCame) {
  using T = TypeParam;
  std::mt19937 rng(17);
  const int height = 1000;
  const int width = 3;
  const auto separated = SeparatedData<T>(rng, height, width, 3);
  const auto dense = NoisyData<T>(rng, height, width, false);  // first values within 0.5
  std::vector<int> ids(static_cast<std::size_t>(height));
  std::iota(ids.begin(), ids.end(), 0);
  const std::vector<int> ascending = ids;
  for (const bool stable : {false, true}) {
    EXPECT_FALSE(stable ? (kedo::internal::SortRowIdsByFirstValue<true, T, int, 3>(
                              dense.data(), width, T(0.1), ids.data(), ids.size()))
                        : (kedo::internal::SortRowIdsByFirstValue<false, T, int, 3>(
                              dense.data(), width, T(0.1), ids.data(), ids.size())));
    EXPECT_EQ(ids, ascending);
  }
  EXPECT_TRUE((kedo::internal::SortRowIdsByFirstValue<true, T, int, 3>(
      separated.data(), width, T(0.1), ids.data(), ids.size())));
  // Other ascending ids: every other row comes back as it came; a
  // consecutive range that does not start at 0 is sorted as plainly.
  std::vector<int> evens(static_cast<std::size_t>(height / 2));
  std::vector<int> tail(static_cast<std::size_t>(height - 7));
  for (std::size_t i = 0; i < evens.size(); ++i) evens[i] = static_cast<int>(2 * i);
  std::iota(tail.begin(), tail.end(), 7);
  for (std::vector<int> given : {ascending, evens, tail}) {
    const bool consecutive = given[1] == given[0] + 1;
    const std::vector<int> want =
        consecutive ? PlainUnstableOrder(separated, width, T(0.1), given) : given;
    EXPECT_EQ((kedo::internal::SortRowIdsByFirstValue<false, T, int, 3>(
                  separated.data(), width, T(0.1), given.data(), given.size())),
              consecutive);
    EXPECT_EQ(given, want);
  }
}

// Whenever the column-by-column test passes, the comparator is a strict weak
// ordering on the rows and they are in its order, as the pairwise test finds,
// and whenever it refutes that, they are not: small sets of awkward values
// (signed zeros, infinities, NaN, differences at and around the tolerance),
// sorted or not. Runs that are not tight are left unknown (checked 0), checked
// pairwise when short (checked 3), or always (checked 64, above every height:
// then it answers exactly as the pairwise test does).
TYPED_TEST(FastPaths, ColumnsShowConsistentOrderOnlyWhenItIs) {
  using T = TypeParam;
  using kedo::internal::Consistency;
  const T inf = std::numeric_limits<T>::infinity();
  const T palette[] = {T(0),    T(-0.0), T(0.05), T(0.1),
                       T(0.15), T(0.3),  T(1),    T(1.05),
                       T(1.1),  inf,     -inf,    std::numeric_limits<T>::quiet_NaN()};
  std::mt19937 rng(29);
  std::uniform_int_distribution<int> pick(0, 11);
  std::uniform_int_distribution<int> few(0, 3);
  std::uniform_int_distribution<int> near_one(6, 8);
  const std::size_t checks[] = {0, 3, 64};
  int shown[3] = {0, 0, 0};
  int refuted[3] = {0, 0, 0};
  int not_shown_consistent = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const int width = 1 + trial % 3;
    const int height = 2 + trial % 11;
    std::vector<T> data(static_cast<std::size_t>(width * height));
    for (T& value : data) {
      const int kind = trial % 4;
      value = palette[kind == 0 ? pick(rng) : kind == 1 ? near_one(rng) : few(rng) * 3];
    }
    using Keyed = kedo::internal::KeyedRow<T, int>;
    std::vector<Keyed> rows;
    for (int r = 0; r < height; ++r)
      rows.push_back(Keyed{data[static_cast<std::size_t>(r * width)], r});
    const kedo::internal::KeyedRowLess<T, 0> less{data.data(), width, T(0.1)};
    if (trial % 3 != 0) {
      kedo::internal::StableSort(rows.data(), rows.data() + rows.size(), less);
    } else {
      std::shuffle(rows.begin(), rows.end(), rng);
    }
    const bool consistent = kedo::internal::SortedRangeIsConsistent(less, rows.data(), rows.size());
    for (std::size_t k = 0; k < 3; ++k) {
      const Consistency found =
          kedo::internal::ColumnsShowConsistentOrder(less, rows.data(), rows.size(), checks[k]);
      if (found == Consistency::kShown) {
        ++shown[k];
        ASSERT_TRUE(consistent) << "trial " << trial << " checked " << checks[k];
      } else if (found == Consistency::kRefuted) {
        ++refuted[k];
        ASSERT_FALSE(consistent) << "trial " << trial << " checked " << checks[k];
      } else {
        ASSERT_NE(checks[k], 64u) << "trial " << trial;
        if (k == 0) not_shown_consistent += consistent;
      }
    }
  }
  // All answers occur, and most consistent orders are shown; checking runs
  // pairwise shows and refutes more.
  EXPECT_GT(shown[0], 2000);
  EXPECT_LT(not_shown_consistent, shown[0]);
  EXPECT_GT(shown[1], shown[0]);
  EXPECT_GT(refuted[1], refuted[0]);
  EXPECT_GT(refuted[0], 0);
}

// Noisy copies of vertices on a grid: first values on 12 lines, so that the
// clusters are long (about 250 rows), second values on 20 lines, the rest
// spread. The column-by-column test shows them consistent, and the unstable
// variant gives exactly the plain unstable sort's order and groups, from
// class numbers. A later column of NaN for some vertices is its own run.
// With the second values chained instead the comparator is no strict weak
// ordering: where a long cluster's columns refute it, the presort's order is
// kept (a permutation that holds the first column's decisions, grouped as
// the plain passes would group it); where they show nothing, the sort
// declines and the plain sort runs.
TYPED_TEST(FastPaths, UnstableSortOfLongNoisyClustersIsThePlainOne) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  std::mt19937 rng(31);
  std::uniform_int_distribution<int> vertex(0, 499);
  std::normal_distribution<double> noise(0.0, 0.003);
  const int height = 3000;
  int kept = 0;
  for (const int width : {1, 2, 3, 5}) {
    for (const bool chained : {false, true}) {
      for (const bool with_nan : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << "width " << width << " chained " << chained << " nan " << with_nan);
        std::vector<T> data(static_cast<std::size_t>(width * height));
        for (int r = 0; r < height; ++r) {
          const int v = vertex(rng);
          for (int c = 0; c < width; ++c) {
            const double centre = c == 0   ? 0.5 * (v % 12)
                                  : c == 1 ? (chained ? 0.06 : 0.5) * (v / 12 % 20)
                                           : 0.37 * v + c;
            T value = static_cast<T>(centre + noise(rng));
            if (with_nan && c == width - 1 && c > 0 && v % 5 == 0) value = nan;
            data[static_cast<std::size_t>(r * width + c)] = value;
          }
        }
        std::vector<int> ids(static_cast<std::size_t>(height));
        std::iota(ids.begin(), ids.end(), 0);
        const std::vector<int> ascending = ids;
        const std::vector<int> plain = PlainUnstableOrder(data, width, T(0.1), ids);
        const bool sorted = kedo::internal::SortRowIdsByFirstValue<false, T, int, 0>(
            data.data(), width, T(0.1), ids.data(), ids.size());
        const Grouping fast = FastUniqueIds<false>(data, height, width, T(0.1));
        if (!(chained && width > 1)) {
          EXPECT_TRUE(sorted);
          EXPECT_EQ(ids, plain);
          ExpectSameGrouping<T>(fast, PlainUniqueIds<false>(data, height, width, T(0.1)));
          continue;
        }
        const kedo::internal::RowLess<T> less{data.data(), width, T(0.1)};
        ASSERT_FALSE(kedo::internal::SortedRangeIsConsistent(less, plain.data(), plain.size()));
        if (!sorted) {
          EXPECT_EQ(ids, ascending);
          continue;
        }
        ++kept;
        std::vector<int> members = ids;
        std::sort(members.begin(), members.end());
        ASSERT_EQ(members, ascending);
        for (int p = 0; p < height; ++p) {
          for (int q = p + 1; q < height; ++q) {
            ASSERT_FALSE(FirstColumnDecides(data, width, T(0.1), ids[static_cast<std::size_t>(q)],
                                            ids[static_cast<std::size_t>(p)]))
                << "positions " << p << " and " << q;
          }
        }
        ExpectSameGrouping<T>(fast, GroupPlainly(data, height, width, T(0.1), fast.sorted_ids));
      }
    }
  }
  EXPECT_GT(kept, 0);
}

// Long clusters of noisy copies first (equivalent rows that differ in their
// bits, so that the unstable variant expects to decline and leaves such
// clusters unsorted), then chained clusters small enough to be checked and
// found inconsistent: the unstable variant keeps its order after all, which
// is then the stable variant's (no NaN), every cluster sorted.
TYPED_TEST(FastPaths, UnstablePresortSortsClustersItPassedOverWhenItKeepsItsOrder) {
  using T = TypeParam;
  std::mt19937 rng(23);
  std::uniform_int_distribution<int> site(0, 5);
  std::uniform_int_distribution<int> bunch(0, 59);
  std::normal_distribution<double> noise(0.0, 0.002);
  for (const int width : {2, 3, 5}) {
    for (const int long_rows : {0, 300, 1500}) {
      const int height = long_rows + 1200;
      SCOPED_TRACE(::testing::Message() << "width " << width << " long rows " << long_rows);
      std::vector<T> data(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
      for (int r = 0; r < height; ++r) {
        T* row = data.data() + static_cast<std::ptrdiff_t>(r) * width;
        const bool noisy = r < long_rows;
        // Noisy rows: 150 about each of the first values 0, 1, ...; chained
        // rows: bunches of three first values 0.06 apart, from 20 on.
        const int b = bunch(rng);
        row[0] = noisy ? static_cast<T>(r % (long_rows / 150) + noise(rng))
                       : static_cast<T>(20 + 1.0 * (b / 3) + 0.06 * (b % 3));
        for (int c = 1; c < width; ++c) {
          row[c] =
              noisy ? static_cast<T>(site(rng) + noise(rng)) : static_cast<T>(site(rng) * 0.06);
        }
      }
      std::vector<int> stable_ids(static_cast<std::size_t>(height));
      std::iota(stable_ids.begin(), stable_ids.end(), 0);
      std::vector<int> unstable_ids = stable_ids;
      ASSERT_TRUE((kedo::internal::SortRowIdsByFirstValue<true, T, int, 0>(
          data.data(), width, T(0.1), stable_ids.data(), stable_ids.size())));
      ASSERT_TRUE((kedo::internal::SortRowIdsByFirstValue<false, T, int, 0>(
          data.data(), width, T(0.1), unstable_ids.data(), unstable_ids.size())));
      EXPECT_EQ(unstable_ids, stable_ids);
      const Grouping fast = FastUniqueIds<false>(data, height, width, T(0.1));
      ExpectSameGrouping<T>(fast, GroupPlainly(data, height, width, T(0.1), fast.sorted_ids));
    }
  }
}

// Keyed rows in order of the upper half of their values' bits (as the radix
// sort leaves them) come out in order of value, stably: runs of one key of
// every length, in order or not, with copies and -0 beside +0, whether runs
// are sorted by radix, in place on value and row number (row numbers ascend
// within each run as it comes) or by merging.
TEST(FastPaths, KeyTiesAreOrderedByValueStably) {
  using Keyed = kedo::internal::KeyedRow<double, int>;
  std::mt19937 rng(31);
  for (const int run_length : {2, 5, 32, 33, 200, 1000}) {
    for (const bool in_order : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "run " << run_length << " in order " << in_order);
      std::vector<Keyed> elements;
      const double bases[] = {-3.0, -0.0, 0.0, 1e-300, 0.5, 1.0, 7.25};
      std::uniform_int_distribution<int> offset(0, 40);
      for (const double base : bases) {
        for (int i = 0; i < run_length; ++i) {
          // Steps of 2^-45 and 2^-30 stay within one key and vary every byte
          // of the lower half; offset 0 repeats the base.
          const double step = std::ldexp(1.0, i % 3 == 0 ? -30 : -45);
          const double value =
              base == 0.0 ? (i % 2 == 0 ? 0.0 : -0.0) : base + offset(rng) * step * std::abs(base);
          elements.push_back(Keyed{value, static_cast<int>(elements.size())});
        }
      }
      if (in_order) {
        std::stable_sort(elements.begin(), elements.end(),
                         [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
      }
      std::stable_sort(elements.begin(), elements.end(), [](const Keyed& a, const Keyed& b) {
        return kedo::internal::FirstColumnKey(a.key) < kedo::internal::FirstColumnKey(b.key);
      });
      std::vector<Keyed> want = elements;
      std::stable_sort(want.begin(), want.end(),
                       [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
      for (const std::size_t scratch_limit : {elements.size(), std::size_t{0}}) {
        for (const bool ids_ascending : {false, !in_order}) {
          std::vector<Keyed> ordered = elements;
          kedo::internal::OrderKeyTiesByValue(ordered.data(), ordered.size(), scratch_limit,
                                              ids_ascending);
          for (std::size_t i = 0; i < want.size(); ++i) {
            ASSERT_EQ(ordered[i].id, want[i].id) << "position " << i;
            ASSERT_EQ(std::memcmp(&ordered[i].key, &want[i].key, sizeof(double)), 0) << i;
          }
        }
      }
    }
  }
}

// The in-place radix sort by value and row number gives std::sort's order
// exactly, and writes nothing outside its range: values of one byte's
// spread, of every exponent, repeated, -0 beside +0, infinities and
// subnormals; ranges around the size below which std::sort takes over,
// ranges whose keys share every bit, and ranges whose first two keys do.
TYPED_TEST(FastPaths, RadixSortByValueAndIdMatchesStdSort) {
  using T = TypeParam;
  using Keyed = kedo::internal::KeyedRow<T, int>;
  const T inf = std::numeric_limits<T>::infinity();
  const T specials[] = {T(0),
                        T(-0.0),
                        inf,
                        -inf,
                        std::numeric_limits<T>::denorm_min(),
                        -std::numeric_limits<T>::denorm_min(),
                        std::numeric_limits<T>::max()};
  std::mt19937 rng(41);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> small(0, 255);
  std::uniform_int_distribution<int> exponent(-60, 60);
  std::uniform_int_distribution<int> special(0, 6);
  for (const int n : {0, 1, 2, 64, 65, 300, 5000}) {
    for (int kind = 0; kind < 6; ++kind) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " kind " << kind);
      const Keyed guard{T(-7), -1};
      std::vector<Keyed> elements(static_cast<std::size_t>(n) + 2, guard);
      for (int i = 0; i < n; ++i) {
        T value = T(1.5);  // kind 4: one value for all
        if (kind == 0) value = static_cast<T>(unit(rng));
        if (kind == 1) value = static_cast<T>(1 + small(rng) * std::ldexp(1.0, -20));
        if (kind == 2) value = static_cast<T>(std::ldexp(unit(rng) - 0.5, exponent(rng)));
        if (kind == 3) value = i % 3 == 0 ? specials[special(rng)] : static_cast<T>(small(rng));
        // The first two alike, the others apart in the low bits only.
        if (kind == 5) value = static_cast<T>(1 + (i < 2 ? 7 : small(rng)) * std::ldexp(1.0, -20));
        elements[static_cast<std::size_t>(i) + 1] = Keyed{value, n - i};
      }
      std::vector<Keyed> want(elements.begin() + 1, elements.end() - 1);
      std::sort(want.begin(), want.end(), kedo::internal::ByFirstValueAndId());
      kedo::internal::RadixSortByValueAndId(elements.data() + 1, static_cast<std::size_t>(n));
      ASSERT_EQ(elements.front().id, -1);
      ASSERT_EQ(elements.back().id, -1);
      for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(elements[i + 1].id, want[i].id) << "position " << i;
        ASSERT_EQ(std::memcmp(&elements[i + 1].key, &want[i].key, sizeof(T)), 0) << i;
      }
    }
  }
}

TEST(FastPaths, ConsistencyTestFindsCyclesAndIntransitiveTies) {
  // Tolerance 1: (0, 2), (1, 0), (0.5, 1) form a cycle.
  const std::vector<double> cycle = {0, 2, 1, 0, 0.5, 1};
  const kedo::internal::RowLess<double> cyclic{cycle.data(), 2, 1.0};
  const int order[] = {0, 1, 2};
  EXPECT_FALSE(kedo::internal::SortedRangeIsConsistent(cyclic, order, 3));
  // One column, tolerance 1: 0 ~ 0.6 ~ 1.2 but 0 before 1.2.
  const std::vector<double> chain = {0, 0.6, 1.2};
  const kedo::internal::RowLess<double> chained{chain.data(), 1, 1.0};
  EXPECT_FALSE(kedo::internal::SortedRangeIsConsistent(chained, order, 3));
  // Tolerance 0.1 on 0, 0.05, 1: two classes in order.
  const std::vector<double> classes = {0, 0.05, 1};
  const kedo::internal::RowLess<double> consistent{classes.data(), 1, 0.1};
  EXPECT_TRUE(kedo::internal::SortedRangeIsConsistent(consistent, order, 3));
  const int misordered[] = {2, 0, 1};
  EXPECT_FALSE(kedo::internal::SortedRangeIsConsistent(consistent, misordered, 3));
}

TEST(FastPaths, ArgSortAlongHeightSortsGivenIdsLikePlainSort) {
  std::mt19937 rng(5);
  const int height = 400;
  const int width = 3;
  const auto data = NoisyData<double>(rng, height, width, true);
  IndexVector<int> ids(static_cast<std::size_t>(height));
  std::iota(ids.begin(), ids.end(), 0);
  std::shuffle(ids.begin(), ids.end(), rng);
  IndexVector<int> plain = ids;
  kedo::internal::ArgSortAlongHeight<true>(data.data(), height, width, 0.1, ids);
  const kedo::internal::RowLess<double> less{data.data(), width, 0.1};
  kedo::internal::Sort<true>(plain.data(), plain.data() + height, less);
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.end()), std::vector<int>(plain.begin(), plain.end()));
}

// The scanning partition that the block partition must reproduce.
int* ScanPartition(int* first, int* last, const std::function<bool(int, int)>& less) {
  const int pivot = *first;
  int* lo = first + 1;
  int* hi = last - 1;
  for (;;) {
    while (lo <= hi && less(*lo, pivot)) ++lo;
    while (lo <= hi && !less(*hi, pivot)) --hi;
    if (lo > hi) break;
    std::swap(*lo, *hi);
    ++lo;
    --hi;
  }
  int* pivot_position = lo - 1;
  *first = *pivot_position;
  *pivot_position = pivot;
  return pivot_position;
}

// Block partitioning makes the scans' swaps for any comparator whose answer
// depends on its arguments alone: consistent, biased or arbitrary.
TEST(FastPaths, BlockPartitionMatchesScans) {
  std::mt19937 rng(23);
  const std::function<bool(int, int)> comparators[] = {
      [](int a, int b) { return a < b; },
      [](int a, int b) { return (a * 7919 + b * 104729) % 3 == 0; },
      [](int a, int b) { return ((a ^ (b * 31)) & 1) != 0; },
      [](int, int) { return true; },
      [](int, int) { return false; },
      [](int a, int b) { return a % 100 < b % 100 || a % 7 == 0; },
  };
  for (const auto& less : comparators) {
    for (const int n : {2, 5, 127, 128, 129, 200, 1000, 5000}) {
      std::vector<int> values(static_cast<std::size_t>(n));
      std::iota(values.begin(), values.end(), 0);
      std::shuffle(values.begin(), values.end(), rng);
      std::vector<int> expected = values;
      int* block_pivot = kedo::internal::PartitionRight(values.data(), values.data() + n, less);
      int* scan_pivot = ScanPartition(expected.data(), expected.data() + n, less);
      EXPECT_EQ(block_pivot - values.data(), scan_pivot - expected.data()) << n;
      EXPECT_EQ(values, expected) << n;
    }
  }
}

// SortIdsAndInverse through the bitmap and through std::sort (large ids
// decline the bitmap) agree with a plain renumbering.
TEST(FastPaths, SortIdsAndInverseMatchesPlainRenumbering) {
  std::mt19937 rng(3);
  for (const int count : {0, 1, 2, 10, 1000}) {
    for (const int spread : {1, 3, 100}) {
      const int height = count * 2;
      std::vector<int> pool(static_cast<std::size_t>(count * spread + 1));
      std::iota(pool.begin(), pool.end(), 0);
      std::shuffle(pool.begin(), pool.end(), rng);
      std::vector<int> ids(pool.begin(), pool.begin() + count);
      std::vector<int> inverse(static_cast<std::size_t>(height));
      std::uniform_int_distribution<int> group(0, std::max(0, count - 1));
      for (int& g : inverse) g = group(rng);

      std::vector<int> order(static_cast<std::size_t>(count));
      std::iota(order.begin(), order.end(), 0);
      std::sort(order.begin(), order.end(), [&](int a, int b) {
        return ids[static_cast<std::size_t>(a)] < ids[static_cast<std::size_t>(b)];
      });
      std::vector<int> renumber(static_cast<std::size_t>(count));
      for (int j = 0; j < count; ++j) {
        renumber[static_cast<std::size_t>(order[static_cast<std::size_t>(j)])] = j;
      }
      std::vector<int> expected_ids = ids;
      std::sort(expected_ids.begin(), expected_ids.end());
      std::vector<int> expected_inverse = inverse;
      if (count > 0) {
        for (int& g : expected_inverse) g = renumber[static_cast<std::size_t>(g)];
      }

      kedo::SortIdsAndInverse<int>(count, ids.data(), count > 0 ? height : 0, inverse.data());
      EXPECT_EQ(ids, expected_ids);
      if (count > 0) {
        EXPECT_EQ(inverse, expected_inverse);
      }
    }
  }
}

// Keys with ties, +0/-0, infinities and equal upper halves: the radix argsort gives the stable

// Both builds of the bitmap's rank loop count the members below each row, for
// rows at every bit of a word (0, 63) and in empty, sparse and full words.
TEST(FastPaths, BitmapRanksCountTheMembersBelow) {
  std::mt19937 rng(5);
  for (const double density : {0.0, 0.02, 0.5, 1.0}) {
    const std::size_t extent = 64 * 9 + 17;
    kedo::internal::RowBitmap<int> members(extent);
    std::vector<int> below(extent + 1, 0);
    std::bernoulli_distribution take(density);
    for (std::size_t row = 0; row < extent; ++row) {
      const bool member = take(rng) && members.Insert(row);
      below[row + 1] = below[row] + (member ? 1 : 0);
    }
    members.CountBelow();
    std::vector<int> rows(extent);
    std::iota(rows.begin(), rows.end(), 0);
    std::shuffle(rows.begin(), rows.end(), rng);
    std::vector<int> expected;
    for (const int row : rows) expected.push_back(below[static_cast<std::size_t>(row)]);

    std::vector<int> ranks(extent, -1);
    members.RankAllPortable(rows.data(), rows.size(), ranks.data());
    EXPECT_EQ(ranks, expected) << "density " << density;
    std::vector<int> in_place = rows;
    members.RankAll(in_place.data(), in_place.size(), in_place.data());
    EXPECT_EQ(in_place, expected) << "density " << density;
#if KEDO_POPCNT_DISPATCH
    if (__builtin_cpu_supports("popcnt")) {
      std::fill(ranks.begin(), ranks.end(), -1);
      members.RankAllWithPopcnt(rows.data(), rows.size(), ranks.data());
      EXPECT_EQ(ranks, expected) << "density " << density;
    }
#endif
  }
}
// comparison argsort exactly. With NaN it still returns a permutation.
TYPED_TEST(FastPaths, RadixArgSortMatchesStableSort) {
  using T = TypeParam;
  std::mt19937 rng(13);
  for (const int n : {0, 1, 2, 100, 5000}) {
    for (const bool with_nan : {false, true}) {
      for (const int spread : {0, 20, 4000}) {
        // spread > 0: values that differ only in their low bits, in runs of
        // about n / spread, so that long and short runs share upper halves.
        auto values = MixedData<T>(rng, n, 1, 50, with_nan);
        std::uniform_int_distribution<int> low(0, std::max(spread, 1) - 1);
        for (T& v : values) {
          if (spread > 0 && v == v) v = T(1) + static_cast<T>(low(rng)) * std::ldexp(T(1), -40);
        }
        const std::vector<int> order = kedo::ArgSort<int>(values);
        std::vector<int> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        std::vector<int> identity(static_cast<std::size_t>(n));
        std::iota(identity.begin(), identity.end(), 0);
        ASSERT_EQ(sorted, identity);
        if (!with_nan) {
          std::vector<int> plain = identity;
          std::stable_sort(plain.begin(), plain.end(), [&](int a, int b) {
            return values[static_cast<std::size_t>(a)] < values[static_cast<std::size_t>(b)];
          });
          EXPECT_EQ(order, plain);
        }
        // Sorting the values in place gives the same order and the values
        // in it (NaN for NaN, -0 and +0 alike).
        std::vector<T> in_place = values;
        std::vector<int> in_place_order(static_cast<std::size_t>(n), -1);
        kedo::internal::StableArgSort<int, T>(in_place.data(), in_place.size(),
                                              in_place_order.data(), in_place.data());
        EXPECT_EQ(in_place_order, order);
        for (std::size_t p = 0; p < in_place.size(); ++p) {
          const T expected = values[static_cast<std::size_t>(order[p])];
          EXPECT_TRUE(in_place[p] == expected ||
                      (in_place[p] != in_place[p] && expected != expected))
              << "position " << p;
        }
      }
    }
  }
}

// The plain Uff: comparison argsort, keys read through the order.
template <typename T>
void PlainUff(const std::vector<T>& data, int height, int width, T tolerance, bool sorted_index,
              std::vector<T>& unique, std::vector<int>& index, int& count,
              std::vector<int>& inverse) {
  std::vector<T> key(static_cast<std::size_t>(height));
  for (int r = 0; r < height; ++r) {
    T sum = T(0);
    for (int c = 0; c < width; ++c) sum += data[static_cast<std::size_t>(r * width + c)];
    key[static_cast<std::size_t>(r)] = sum;
  }
  std::vector<int> order(static_cast<std::size_t>(height));
  std::iota(order.begin(), order.end(), 0);
  kedo::internal::StableSort(order.data(), order.data() + height, [&](int a, int b) {
    const T x = key[static_cast<std::size_t>(a)];
    const T y = key[static_cast<std::size_t>(b)];
    return x < y || (std::isnan(y) && !std::isnan(x));  // NaN keys last
  });
  const T tol2 = tolerance * tolerance;
  std::fill(inverse.begin(), inverse.end(), -1);
  count = 0;
  auto at = [&](int r, int c) { return data[static_cast<std::size_t>(r * width + c)]; };
  for (int p = 0; p < height; ++p) {
    const int a = order[static_cast<std::size_t>(p)];
    if (inverse[static_cast<std::size_t>(a)] != -1) continue;
    if (!sorted_index) {
      for (int c = 0; c < width; ++c)
        unique[static_cast<std::size_t>(count * width + c)] = at(a, c);
      index[static_cast<std::size_t>(count)] = a;
    }
    inverse[static_cast<std::size_t>(a)] = count;
    for (int q = p + 1; q < height; ++q) {
      const int r = order[static_cast<std::size_t>(q)];
      if (!(key[static_cast<std::size_t>(r)] - key[static_cast<std::size_t>(a)] < tolerance)) {
        break;
      }
      T d2 = T(0);
      for (int c = 0; c < width; ++c) d2 += (at(a, c) - at(r, c)) * (at(a, c) - at(r, c));
      if (tol2 > d2) inverse[static_cast<std::size_t>(r)] = count;
    }
    ++count;
  }
  if (sorted_index) {
    std::vector<int> remap(static_cast<std::size_t>(height), -1);
    int next = 0;
    for (int r = 0; r < height; ++r) {
      int& renumbered = remap[static_cast<std::size_t>(inverse[static_cast<std::size_t>(r)])];
      if (renumbered == -1) {
        for (int c = 0; c < width; ++c)
          unique[static_cast<std::size_t>(next * width + c)] = at(r, c);
        index[static_cast<std::size_t>(next)] = r;
        renumbered = next++;
      }
      inverse[static_cast<std::size_t>(r)] = renumbered;
    }
  }
}

TYPED_TEST(FastPaths, UffMatchesPlainUff) {
  using T = TypeParam;
  std::mt19937 rng(17);
  for (const int width : kWidths) {
    for (const int height : {1, 40, 1500}) {
      for (const bool with_nan : {false, true}) {
        const auto mixed = MixedData<T>(rng, height, width, 6, with_nan);
        const auto noisy = NoisyData<T>(rng, height, width, with_nan);
        for (const auto* data : {&mixed, &noisy}) {
          for (const T tolerance : {T(0), T(0.05), T(0.3), T(0.5)}) {
            for (const bool sorted_index : {false, true}) {
              SCOPED_TRACE(::testing::Message()
                           << "width " << width << " height " << height << " nan " << with_nan
                           << " tol " << tolerance << " sorted " << sorted_index);
              const auto n = static_cast<std::size_t>(height);
              std::vector<T> unique(n * static_cast<std::size_t>(width));
              std::vector<T> plain_unique = unique;
              std::vector<int> index(n), plain_index(n), inverse(n), plain_inverse(n);
              int count = 0;
              int plain_count = 0;
              const std::vector<T> projection(static_cast<std::size_t>(width), T(1));
              if (sorted_index) {
                kedo::Uff<true>(data->data(), height, width, projection.data(), tolerance,
                                sorted_index, unique.data(), index.data(), count, inverse.data());
              } else {
                kedo::Uff<false>(data->data(), height, width, projection.data(), tolerance,
                                 sorted_index, unique.data(), index.data(), count, inverse.data());
              }
              PlainUff(*data, height, width, tolerance, sorted_index, plain_unique, plain_index,
                       plain_count, plain_inverse);
              ASSERT_EQ(count, plain_count);
              EXPECT_EQ(inverse, plain_inverse);
              index.resize(static_cast<std::size_t>(count));
              plain_index.resize(static_cast<std::size_t>(count));
              EXPECT_EQ(index, plain_index);
            }
          }
        }
      }
    }
  }
}

}  // namespace
