// The sort method's core: UniqueIds, ArgSortAlongHeight, SortIdsAndInverse.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kedo/unique_ids.hpp"
#include "reference.hpp"

namespace {

using kedo::IndexVector;
using kedo_test::Grouping;
using kedo_test::Guarded;
using kedo_test::Matrix;

std::vector<int> ToStd(const IndexVector<int>& v) { return std::vector<int>(v.begin(), v.end()); }

template <typename T_, bool stable_>
struct Config {
  using T = T_;
  static constexpr bool stable = stable_;
};

template <typename C>
class UniqueIdsTest : public ::testing::Test {
 protected:
  using Value = typename C::T;
  static constexpr Value kNaN = std::numeric_limits<Value>::quiet_NaN();
  static constexpr Value kInf = std::numeric_limits<Value>::infinity();

  // Runs UniqueIds on m, checks every invariant that holds for any input and
  // any tolerance, and returns the three outputs.
  static Grouping Run(const Matrix<Value>& m, Value tolerance) {
    IndexVector<int> sorted_ids{9, 9, 9};
    IndexVector<int> unique_ids{4};
    Guarded<int> inverse(static_cast<std::size_t>(m.height), -5, INT_MIN);
    kedo::UniqueIds<C::stable>(m.values.data(), m.height, m.width, tolerance, sorted_ids,
                               unique_ids, inverse.begin());
    EXPECT_TRUE(inverse.Intact());
    Grouping g{ToStd(sorted_ids), ToStd(unique_ids), inverse.Contents()};
    CheckInvariants(m, tolerance, g);

    // No inverse wanted: the same order and groups.
    IndexVector<int> sorted_again;
    IndexVector<int> unique_again;
    kedo::UniqueIds<C::stable>(m.values.data(), m.height, m.width, tolerance, sorted_again,
                               unique_again, nullptr);
    EXPECT_EQ(ToStd(sorted_again), g.sorted_ids);
    EXPECT_EQ(ToStd(unique_again), g.unique_ids);
    return g;
  }

  static void CheckInvariants(const Matrix<Value>& m, Value tolerance, const Grouping& g) {
    const auto n = static_cast<std::size_t>(m.height);
    ASSERT_TRUE(kedo_test::IsPermutationOfRange(g.sorted_ids, n));
    if (n == 0) {
      EXPECT_TRUE(g.unique_ids.empty());
      return;
    }
    ASSERT_FALSE(g.unique_ids.empty());
    EXPECT_EQ(g.unique_ids[0], 0);
    for (std::size_t k = 1; k < g.unique_ids.size(); ++k) {
      ASSERT_LT(g.unique_ids[k - 1], g.unique_ids[k]);
    }
    ASSERT_LT(g.unique_ids.back(), m.height);
    // Along the sorted order the group number rises by one exactly at each
    // head; every other row matches its head, and a head does not match the
    // head before it.
    std::size_t next = 0;
    int head_row = -1;
    for (std::size_t p = 0; p < n; ++p) {
      const int row = g.sorted_ids[p];
      if (next < g.unique_ids.size() && g.unique_ids[next] == static_cast<int>(p)) {
        if (head_row >= 0) {
          EXPECT_FALSE(kedo_test::ModelMatch(m, head_row, row, tolerance));
        }
        head_row = row;
        ++next;
      }
      EXPECT_EQ(g.inverse[static_cast<std::size_t>(row)], static_cast<int>(next) - 1);
      if (row != head_row) {
        EXPECT_TRUE(kedo_test::ModelMatch(m, head_row, row, tolerance)) << "position " << p;
      }
    }
  }

  // The outputs for a comparator that is lexicographic order: the stable sort
  // gives the model's order exactly; any sort gives its groups, and rows of
  // equal values at each position.
  static void ExpectLexicographicModel(const Matrix<Value>& m, Value tolerance) {
    const Grouping got = Run(m, tolerance);
    const Grouping want = kedo_test::ModelLexicographic(m, tolerance);
    EXPECT_EQ(got.unique_ids, want.unique_ids);
    EXPECT_EQ(got.inverse, want.inverse);
    if (C::stable) {
      EXPECT_EQ(got.sorted_ids, want.sorted_ids);
    } else {
      for (std::size_t p = 0; p < got.sorted_ids.size(); ++p) {
        const auto a = m.RowCopy(got.sorted_ids[p]);
        const auto b = m.RowCopy(want.sorted_ids[p]);
        ASSERT_TRUE(std::equal(a.begin(), a.end(), b.begin())) << "position " << p;
      }
    }
  }
};

using Configs = ::testing::Types<Config<float, false>, Config<float, true>, Config<double, false>,
                                 Config<double, true>>;
class ConfigNames {
 public:
  template <typename C>
  static std::string GetName(int) {
    return std::string(std::is_same_v<typename C::T, float> ? "float" : "double") +
           (C::stable ? "Stable" : "Unstable");
  }
};
TYPED_TEST_SUITE(UniqueIdsTest, Configs, ConfigNames);

template <typename T>
Matrix<T> Rows(int width, std::initializer_list<T> values) {
  return kedo_test::MakeMatrix<T>(width, std::vector<T>(values));
}

TYPED_TEST(UniqueIdsTest, NoRowsLeavesEmptyVectorsAndInverseUntouched) {
  using T = typename TypeParam::T;
  const T data[1] = {T(1)};
  IndexVector<int> sorted_ids{3, 2, 1};
  IndexVector<int> unique_ids{0, 1};
  Guarded<int> inverse(1, 77, INT_MIN);
  kedo::UniqueIds<TypeParam::stable>(data, 0, 1, T(0.5), sorted_ids, unique_ids, inverse.begin());
  EXPECT_TRUE(sorted_ids.empty());
  EXPECT_TRUE(unique_ids.empty());
  EXPECT_EQ(inverse[0], 77);
  EXPECT_TRUE(inverse.Intact());
}

TYPED_TEST(UniqueIdsTest, OneRow) {
  using T = typename TypeParam::T;
  const Grouping g = this->Run(Rows<T>(3, {T(1), T(2), T(3)}), T(0));
  EXPECT_EQ(g.sorted_ids, std::vector<int>{0});
  EXPECT_EQ(g.unique_ids, std::vector<int>{0});
  EXPECT_EQ(g.inverse, std::vector<int>{0});
}

TYPED_TEST(UniqueIdsTest, NoColumnsMakesOneGroup) {
  using T = typename TypeParam::T;
  Matrix<T> m;
  m.height = 6;
  m.width = 0;
  for (T tolerance : {T(0), T(1), T(-1), this->kNaN}) {
    const Grouping g = this->Run(m, tolerance);
    EXPECT_EQ(g.unique_ids, std::vector<int>{0});
    EXPECT_EQ(g.inverse, std::vector<int>(6, 0));
    if (TypeParam::stable) {
      EXPECT_EQ(g.sorted_ids, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    }
  }
}

TYPED_TEST(UniqueIdsTest, EqualRowsMakeOneGroup) {
  using T = typename TypeParam::T;
  Matrix<T> m;
  m.width = 3;
  m.height = 100;
  for (int r = 0; r < m.height; ++r) m.values.insert(m.values.end(), {T(1.5), T(-2), T(0)});
  m.values[5] = T(-0.0);  // -0 equals 0
  for (T tolerance : {T(0), T(0.25), this->kNaN}) {
    const Grouping g = this->Run(m, tolerance);
    EXPECT_EQ(g.unique_ids, std::vector<int>{0});
    EXPECT_EQ(g.inverse, std::vector<int>(100, 0));
    if (TypeParam::stable) {
      std::vector<int> identity(100);
      std::iota(identity.begin(), identity.end(), 0);
      EXPECT_EQ(g.sorted_ids, identity);
    }
  }
}

TYPED_TEST(UniqueIdsTest, ChainIsCutAtTheFirstRowTooFarFromItsHead) {
  using T = typename TypeParam::T;
  const Grouping g = this->Run(Rows<T>(1, {T(0), T(0.6), T(1.2)}), T(1));
  EXPECT_EQ(g.sorted_ids, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(g.unique_ids, (std::vector<int>{0, 2}));
  EXPECT_EQ(g.inverse, (std::vector<int>{0, 0, 1}));
}

TYPED_TEST(UniqueIdsTest, DifferenceEqualToToleranceOrdersButMatches) {
  using T = typename TypeParam::T;
  const Grouping g = this->Run(Rows<T>(1, {T(0.5), T(0)}), T(0.5));
  EXPECT_EQ(g.sorted_ids, (std::vector<int>{1, 0}));
  EXPECT_EQ(g.unique_ids, (std::vector<int>{0}));
  EXPECT_EQ(g.inverse, (std::vector<int>{0, 0}));
}

// Tolerance 0 orders lexicographically, so exact duplicates merge even when
// they are separated by a row with the same first column.
TYPED_TEST(UniqueIdsTest, ZeroToleranceMergesExactDuplicates) {
  using T = typename TypeParam::T;
  const Grouping g = this->Run(Rows<T>(2, {T(0), T(1), T(0), T(2), T(0), T(1)}), T(0));
  EXPECT_EQ(g.sorted_ids, (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(g.unique_ids, (std::vector<int>{0, 2}));
  EXPECT_EQ(g.inverse, (std::vector<int>{0, 1, 0}));
}

TYPED_TEST(UniqueIdsTest, NanColumnMatchesButOtherColumnsStillCount) {
  using T = typename TypeParam::T;
  const T nan = this->kNaN;
  // NaN sorts after 3, and the NaN column matches: one group headed by row 1.
  Grouping g = this->Run(Rows<T>(2, {nan, T(1), T(3), T(1)}), T(0.1));
  EXPECT_EQ(g.sorted_ids, (std::vector<int>{1, 0}));
  EXPECT_EQ(g.unique_ids, (std::vector<int>{0}));
  EXPECT_EQ(g.inverse, (std::vector<int>{0, 0}));

  // Two NaNs leave the column undecided; the second column orders and splits.
  g = this->Run(Rows<T>(2, {nan, T(5), nan, T(1)}), T(0.1));
  EXPECT_EQ(g.sorted_ids, (std::vector<int>{1, 0}));
  EXPECT_EQ(g.unique_ids, (std::vector<int>{0, 1}));
  EXPECT_EQ(g.inverse, (std::vector<int>{1, 0}));
}

TYPED_TEST(UniqueIdsTest, NanRowDoesNotSeparateDuplicates) {
  using T = typename TypeParam::T;
  const T nan = this->kNaN;
  // Rows 0 and 3 are equal; the NaN rows sort after every number.
  for (T tolerance : {T(0), T(0.5)}) {
    Grouping g = this->Run(Rows<T>(2, {T(1), T(0), nan, T(5), T(2), T(0), T(1), T(0), T(0), nan}),
                           tolerance);
    EXPECT_EQ(g.inverse[0], g.inverse[3]);
    EXPECT_EQ(g.unique_ids.size(), 4u);
  }
}

TEST(RowLess, NanAfterNumbersAndTwoNansUndecided) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Pairs of one-column rows, with the tolerance each pair is compared under.
  const std::vector<double> column = {nan, inf, -inf, nan,  nan, nan, -0.0, 0.0,
                                      inf, inf, 1.0,  1.25, 1.0, 1.5, 2.0,  1.0};
  const double tolerances[] = {0.0, 0.0, 0.0, 0.0, 0.5, 0.5, 0.5, nan};
  const bool a_before_b[] = {false, true, false, false, false, false, true, false};
  const bool b_before_a[] = {true, false, false, false, false, false, false, true};
  for (std::size_t k = 0; k < 8; ++k) {
    const kedo::internal::RowLess<double> less{column.data(), 1, tolerances[k]};
    const int a = static_cast<int>(2 * k);
    EXPECT_EQ(less(a, a + 1), a_before_b[k]) << "pair " << k;
    EXPECT_EQ(less(a + 1, a), b_before_a[k]) << "pair " << k;
  }
}

TYPED_TEST(UniqueIdsTest, NanToleranceMatchesEverything) {
  using T = typename TypeParam::T;
  const Grouping g =
      this->Run(Rows<T>(2, {T(3), T(0), T(1), T(9), T(2), T(-4), T(1), T(9)}), this->kNaN);
  EXPECT_EQ(g.unique_ids, (std::vector<int>{0}));
  EXPECT_EQ(g.inverse, (std::vector<int>{0, 0, 0, 0}));
  // The comparator is then lexicographic.
  if (TypeParam::stable) {
    EXPECT_EQ(g.sorted_ids, (std::vector<int>{1, 3, 2, 0}));
  }
}

TYPED_TEST(UniqueIdsTest, InfiniteToleranceMatchesEverything) {
  using T = typename TypeParam::T;
  const Grouping g = this->Run(Rows<T>(1, {T(3), T(-1e30), T(1e30), T(0)}), this->kInf);
  EXPECT_EQ(g.unique_ids, (std::vector<int>{0}));
  EXPECT_EQ(g.inverse, (std::vector<int>{0, 0, 0, 0}));
  if (TypeParam::stable) {
    EXPECT_EQ(g.sorted_ids, (std::vector<int>{0, 1, 2, 3}));
  }
}

// A negative tolerance matches no two rows with columns, not even equal ones,
// and every group number stays in range.
TYPED_TEST(UniqueIdsTest, NegativeToleranceMakesEveryRowItsOwnGroup) {
  using T = typename TypeParam::T;
  for (T tolerance : {T(-1), T(-1e-30), -this->kInf}) {
    const Grouping g =
        this->Run(Rows<T>(2, {T(1), T(1), T(1), T(1), T(0), T(0), T(1), T(1)}), tolerance);
    EXPECT_EQ(g.unique_ids, (std::vector<int>{0, 1, 2, 3}));
    if (TypeParam::stable) {
      EXPECT_EQ(g.sorted_ids, (std::vector<int>{2, 0, 1, 3}));
      EXPECT_EQ(g.inverse, (std::vector<int>{1, 2, 0, 3}));
    }
  }
}

TYPED_TEST(UniqueIdsTest, OldContentsOfTheVectorsDoNotMatter) {
  using T = typename TypeParam::T;
  const Matrix<T> m = Rows<T>(1, {T(2), T(0), T(2), T(1)});
  const Grouping fresh = this->Run(m, T(0));
  for (std::size_t old_size : {std::size_t{0}, std::size_t{2}, std::size_t{4}, std::size_t{50}}) {
    IndexVector<int> sorted_ids(old_size, 3);
    IndexVector<int> unique_ids(old_size + 1, -8);
    std::vector<int> inverse(4, 99);
    kedo::UniqueIds<TypeParam::stable>(m.values.data(), m.height, m.width, T(0), sorted_ids,
                                       unique_ids, inverse.data());
    EXPECT_EQ(ToStd(sorted_ids), fresh.sorted_ids);
    EXPECT_EQ(ToStd(unique_ids), fresh.unique_ids);
    EXPECT_EQ(inverse, fresh.inverse);
  }
  EXPECT_EQ(fresh.inverse, (std::vector<int>{2, 0, 2, 1}));
}

TYPED_TEST(UniqueIdsTest, NegativeHeightThrowsLengthError) {
  using T = typename TypeParam::T;
  const T data[1] = {T(0)};
  IndexVector<int> sorted_ids;
  IndexVector<int> unique_ids;
  int inverse[1] = {42};
  try {
    kedo::UniqueIds<TypeParam::stable>(data, -1, 1, T(0), sorted_ids, unique_ids, inverse);
    FAIL() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "cannot create std::vector larger than max_size()");
  }
  EXPECT_EQ(inverse[0], 42);
}

// Tolerance 0 on data with many duplicates, signed zeros and infinities: the
// comparator is lexicographic order and groups are exact duplicates.
TYPED_TEST(UniqueIdsTest, ZeroToleranceMatchesTheLexicographicModel) {
  using T = typename TypeParam::T;
  const T pool[] = {T(0), T(-0.0), T(1), T(-1), T(0.5), this->kInf, -this->kInf, T(1e-30)};
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 60; ++trial) {
    const int width = 1 + trial % 4;
    const int height = static_cast<int>(rng() % 300u);
    std::vector<T> values;
    for (int i = 0; i < width * height; ++i) values.push_back(pool[rng() % 8u]);
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    this->ExpectLexicographicModel(kedo_test::MakeMatrix(width, values), T(0));
  }
}

// Integer data with tolerance 1: the comparator is still lexicographic (a
// column is undecided only when equal), but rows one apart in every column
// match their head, so groups are cut from chains.
TYPED_TEST(UniqueIdsTest, IntegerGridWithToleranceOneMatchesTheModel) {
  using T = typename TypeParam::T;
  std::mt19937 rng(31);
  for (int trial = 0; trial < 60; ++trial) {
    const int width = 1 + trial % 3;
    const int height = static_cast<int>(rng() % 400u);
    std::vector<T> values;
    for (int i = 0; i < width * height; ++i) values.push_back(static_cast<T>(rng() % 6u));
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    this->ExpectLexicographicModel(kedo_test::MakeMatrix(width, values), T(1));
  }
}

// Close values and NaN: no strict weak ordering, so only the invariants hold.
TYPED_TEST(UniqueIdsTest, AnyToleranceKeepsTheInvariants) {
  using T = typename TypeParam::T;
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  const T tolerances[] = {T(0.3), T(0.05), T(0), T(-0.1), this->kNaN, T(2)};
  for (int trial = 0; trial < 48; ++trial) {
    const int width = 1 + trial % 3;
    const int height = trial == 47 ? 5000 : static_cast<int>(rng() % 200u);
    std::vector<T> values;
    for (int i = 0; i < width * height; ++i) {
      const auto k = rng() % 20u;
      values.push_back(k == 0 ? this->kNaN : k == 1 ? this->kInf : static_cast<T>(value(rng)));
    }
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    this->Run(kedo_test::MakeMatrix(width, values), tolerances[trial % 6]);
  }
}

// ---------------------------------------------------------------------------
// ArgSortAlongHeight

TEST(ArgSortAlongHeight, RefusesAVectorOfTheWrongSize) {
  const double data[3] = {2, 1, 0};
  for (std::size_t size : {std::size_t{0}, std::size_t{2}, std::size_t{4}}) {
    IndexVector<int> ids(size);
    std::iota(ids.begin(), ids.end(), 0);
    std::reverse(ids.begin(), ids.end());
    const IndexVector<int> before = ids;
    try {
      kedo::internal::ArgSortAlongHeight<true>(data, 3, 1, 0.0, ids);
      FAIL() << "no exception for size " << size;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "internal::ArgSortAlongHeight - input sorted_ids does not match size of "
                   "arrays to be sorted.");
    }
    EXPECT_EQ(ids, before);
  }
  IndexVector<int> empty;
  EXPECT_THROW(kedo::internal::ArgSortAlongHeight<false>(data, -1, 1, 0.0, empty),
               std::runtime_error);
}

// It orders the numbers it is handed, from their incoming order.
TEST(ArgSortAlongHeight, SortsTheGivenNumbersStablyWhenAsked) {
  const float data[8] = {1, 5, 0, 7, 1, 2, 0, 3};  // rows (1,5) (0,7) (1,2) (0,3)
  IndexVector<int> ids{0, 1, 2, 3};
  kedo::internal::ArgSortAlongHeight<false>(data, 4, 2, 0.0f, ids);
  EXPECT_EQ(ids, (IndexVector<int>{3, 1, 2, 0}));
  // First column alone within tolerance 10: all equivalent, order kept.
  ids = {3, 0, 2, 1};
  kedo::internal::ArgSortAlongHeight<true>(data, 4, 1, 10.0f, ids);
  EXPECT_EQ(ids, (IndexVector<int>{3, 0, 2, 1}));
  // Rows 1, 5, 0, 7 of one column.
  ids = {3, 2, 1, 0};
  kedo::internal::ArgSortAlongHeight<true>(data, 4, 1, 0.0f, ids);
  EXPECT_EQ(ids, (IndexVector<int>{2, 0, 1, 3}));
}

// ---------------------------------------------------------------------------
// SortIdsAndInverse

constexpr const char* kTooLarge = "cannot create std::vector larger than max_size()";

TEST(SortIdsAndInverse, Example) {
  std::vector<int> ids{5, 0, 3};
  std::vector<int> inverse{1, 1, 0, 2, 2, 0};
  kedo::SortIdsAndInverse(3, ids.data(), 6, inverse.data());
  EXPECT_EQ(ids, (std::vector<int>{0, 3, 5}));
  EXPECT_EQ(inverse, (std::vector<int>{0, 0, 2, 1, 1, 2}));
  // Already in order: nothing changes.
  kedo::SortIdsAndInverse(3, ids.data(), 6, inverse.data());
  EXPECT_EQ(ids, (std::vector<int>{0, 3, 5}));
  EXPECT_EQ(inverse, (std::vector<int>{0, 0, 2, 1, 1, 2}));
}

TEST(SortIdsAndInverse, EmptyInputsAndNullInverse) {
  Guarded<int> ids(0, 0, 13);
  Guarded<int> inverse(0, 0, 13);
  kedo::SortIdsAndInverse(0, ids.begin(), 0, inverse.begin());
  EXPECT_TRUE(ids.Intact());
  EXPECT_TRUE(inverse.Intact());

  std::vector<int> some{9, 4, 7};
  kedo::SortIdsAndInverse(3, some.data(), 5, nullptr);
  EXPECT_EQ(some, (std::vector<int>{4, 7, 9}));
  // The height is not looked at without an inverse.
  kedo::SortIdsAndInverse(3, some.data(), -4, nullptr);
  EXPECT_EQ(some, (std::vector<int>{4, 7, 9}));
}

TEST(SortIdsAndInverse, OneUniqueRow) {
  std::vector<int> ids{6};
  std::vector<int> inverse(8, 0);
  kedo::SortIdsAndInverse(1, ids.data(), 8, inverse.data());
  EXPECT_EQ(ids, std::vector<int>{6});
  EXPECT_EQ(inverse, std::vector<int>(8, 0));
}

TEST(SortIdsAndInverse, NegativeCountThrowsBeforeWriting) {
  std::vector<int> ids{5, 0, 3};
  std::vector<int> inverse{1, 1, 0, 2, 2, 0};
  try {
    kedo::SortIdsAndInverse(-1, ids.data(), 6, inverse.data());
    FAIL() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), kTooLarge);
  }
  EXPECT_EQ(ids, (std::vector<int>{5, 0, 3}));
  EXPECT_EQ(inverse, (std::vector<int>{1, 1, 0, 2, 2, 0}));
}

TEST(SortIdsAndInverse, NegativeHeightThrowsAfterSortingIds) {
  std::vector<int> ids{5, 0, 3};
  std::vector<int> inverse{1, 1, 0, 2, 2, 0};
  try {
    kedo::SortIdsAndInverse(3, ids.data(), -6, inverse.data());
    FAIL() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), kTooLarge);
  }
  EXPECT_EQ(ids, (std::vector<int>{0, 3, 5}));
  EXPECT_EQ(inverse, (std::vector<int>{1, 1, 0, 2, 2, 0}));
}

// Ids on both sides of 64-bit word edges, and ids just inside and just past
// the bound that sends them to std::sort instead (4 * count + height), in
// both index types: the same sorted ids and renumbering either way.
template <typename I>
void CheckWordEdgesAndBound() {
  const std::vector<I> edges{255, 0, 64, 127, 63, 191, 128, 65, 1, 192};
  const I height = 300;
  for (const std::size_t count : {std::size_t{2}, std::size_t{5}, edges.size()}) {
    const I bound = static_cast<I>(4 * static_cast<I>(count) + height);
    for (const I shift : {I(0), I(bound - 256), I(bound - 255)}) {
      for (const bool with_inverse : {false, true}) {
        std::vector<I> ids(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(count));
        for (I& id : ids) id = static_cast<I>(id + shift);
        std::vector<I> expected = ids;
        std::sort(expected.begin(), expected.end());
        std::vector<I> inverse(static_cast<std::size_t>(height));
        for (std::size_t r = 0; r < inverse.size(); ++r) inverse[r] = static_cast<I>(r % count);
        std::vector<I> expected_inverse = inverse;
        if (with_inverse) {
          for (I& g : expected_inverse) {
            const I id = ids[static_cast<std::size_t>(g)];
            g = static_cast<I>(std::lower_bound(expected.begin(), expected.end(), id) -
                               expected.begin());
          }
        }
        kedo::SortIdsAndInverse(static_cast<I>(count), ids.data(), height,
                                with_inverse ? inverse.data() : nullptr);
        EXPECT_EQ(ids, expected) << count << " " << shift;
        EXPECT_EQ(inverse, expected_inverse) << count << " " << shift;
      }
    }
  }
}

TEST(SortIdsAndInverse, WordEdgesAndTheBoundOfTheBitmap) {
  CheckWordEdgesAndBound<int>();
  CheckWordEdgesAndBound<std::int64_t>();
}

TEST(SortIdsAndInverse, EveryRowKeepsItsRepresentative) {
  std::mt19937 rng(4);
  for (int trial = 0; trial < 200; ++trial) {
    const int count = 1 + static_cast<int>(rng() % 60u);
    const int height = count + static_cast<int>(rng() % 200u);
    std::vector<int> rows(static_cast<std::size_t>(height));
    std::iota(rows.begin(), rows.end(), 0);
    std::shuffle(rows.begin(), rows.end(), rng);
    const std::vector<int> ids_before(rows.begin(), rows.begin() + count);
    // Each representative in its own group, the other rows anywhere.
    std::vector<int> inverse_before(static_cast<std::size_t>(height));
    for (auto& v : inverse_before) v = static_cast<int>(rng() % static_cast<unsigned>(count));
    for (int k = 0; k < count; ++k) {
      inverse_before[static_cast<std::size_t>(ids_before[static_cast<std::size_t>(k)])] = k;
    }

    std::vector<int> ids = ids_before;
    std::vector<int> inverse = inverse_before;
    kedo::SortIdsAndInverse(count, ids.data(), height, inverse.data());

    std::vector<int> sorted = ids_before;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(ids, sorted);
    for (std::size_t r = 0; r < inverse.size(); ++r) {
      ASSERT_GE(inverse[r], 0);
      ASSERT_LT(inverse[r], count);
      ASSERT_EQ(ids[static_cast<std::size_t>(inverse[r])],
                ids_before[static_cast<std::size_t>(inverse_before[r])]);
    }
    for (int k = 0; k < count; ++k) {
      ASSERT_EQ(inverse[static_cast<std::size_t>(ids[static_cast<std::size_t>(k)])], k);
    }
  }
}

// ---------------------------------------------------------------------------
// GatherRows copies each named row bit for bit (NaN payloads, -0,
// subnormals), in the order named, repeats included, and writes nothing
// outside its output; widths with their own code and one without.
TEST(GatherRows, CopiesTheNamedRowsBitForBitAndNothingElse) {
  std::mt19937_64 random(5);
  for (const int width : {1, 2, 3, 4, 5, 8, 13}) {
    const int height = 97;
    std::vector<double> data(static_cast<std::size_t>(height * width));
    for (double& value : data) {
      const std::uint64_t bits = random();
      std::memcpy(&value, &bits, sizeof value);  // any bits, NaN payloads included
    }
    data[0] = -0.0;
    std::uniform_int_distribution<int> pick(0, height - 1);
    std::vector<int> rows(300);
    for (int& row : rows) row = pick(random);
    const double canary = std::numeric_limits<double>::quiet_NaN();
    Guarded<double> out(rows.size() * static_cast<std::size_t>(width), 1.0, canary);
    kedo::internal::GatherRows(data.data(), width, rows.data(), rows.size(), out.begin());
    EXPECT_TRUE(out.Intact()) << "width " << width;
    const auto row_width = static_cast<std::size_t>(width);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const double* row = data.data() + static_cast<std::size_t>(rows[i]) * row_width;
      ASSERT_EQ(std::memcmp(out.begin() + i * row_width, row, sizeof(double) * row_width), 0)
          << "width " << width << " position " << i;
    }
  }
}

// Offsets past 2^31 elements: eight rows of 2^29 columns, rows 4 to 7 starting
// at element 2^31 or later. Only the first column of each row is ever read,
// so a sparse mapping suffices.
TEST(LargeMatrix, RowOffsetsAreFormedIn64Bits) {
  constexpr int kWidth = 1 << 29;
  constexpr int kHeight = 8;
  const std::size_t bytes = sizeof(float) * kHeight * static_cast<std::size_t>(kWidth);
  void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) GTEST_SKIP() << "cannot reserve " << bytes << " bytes";
  float* data = static_cast<float*>(mapping);
  const int first_column[kHeight] = {5, 3, 7, 0, 6, 1, 4, 2};
  for (std::size_t r = 0; r < kHeight; ++r) {
    data[r * static_cast<std::size_t>(kWidth)] = static_cast<float>(first_column[r]);
  }

  const IndexVector<int> want_sorted{3, 5, 7, 1, 6, 0, 4, 2};
  const IndexVector<int> want_unique{0, 1, 2, 3, 4, 5, 6, 7};
  const std::vector<int> want_inverse(std::begin(first_column), std::end(first_column));
  for (bool stable : {false, true}) {
    IndexVector<int> sorted_ids;
    IndexVector<int> unique_ids;
    std::vector<int> inverse(kHeight, -1);
    if (stable) {
      kedo::UniqueIds<true>(static_cast<const float*>(data), kHeight, kWidth, 0.5f, sorted_ids,
                            unique_ids, inverse.data());
    } else {
      kedo::UniqueIds<false>(static_cast<const float*>(data), kHeight, kWidth, 0.5f, sorted_ids,
                             unique_ids, inverse.data());
    }
    EXPECT_EQ(sorted_ids, want_sorted);
    EXPECT_EQ(unique_ids, want_unique);
    EXPECT_EQ(inverse, want_inverse);
  }
  munmap(mapping, bytes);
}

}  // namespace
