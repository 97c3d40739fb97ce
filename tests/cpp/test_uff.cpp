// The Uff method's core: ArgSort and the key-ordered sweep Uff.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kedo/uff.hpp"
#include "reference.hpp"

namespace {

using kedo_test::Guarded;
using kedo_test::Matrix;
using kedo_test::UffResult;

template <typename T>
class UffTest : public ::testing::Test {
 protected:
  static constexpr T kNaN = std::numeric_limits<T>::quiet_NaN();
  static constexpr T kInf = std::numeric_limits<T>::infinity();
  static constexpr T kCanary = T(-777.25);
  static constexpr int kIndexCanary = -9;

  // Calls Uff with caller-sized buffers full of canaries, checks that nothing
  // is written outside rows and entries 0 .. count - 1, that the compile-time
  // flag changes nothing, and returns the written part.
  static UffResult<T> Run(const Matrix<T>& m, const std::vector<T>& projection, T tolerance,
                          bool sorted_index) {
    const auto h = static_cast<std::size_t>(m.height);
    const auto w = static_cast<std::size_t>(m.width);
    UffResult<T> results[2];
    for (int b = 0; b < 2; ++b) {
      Guarded<T> unique(h * w, kCanary, kCanary);
      Guarded<int> index(h, kIndexCanary, kIndexCanary);
      Guarded<int> inverse(h, kIndexCanary, kIndexCanary);
      int count = 12345;
      if (b == 0) {
        kedo::Uff<true>(m.values.data(), m.height, m.width, projection.data(), tolerance,
                        sorted_index, unique.begin(), index.begin(), count, inverse.begin());
      } else {
        kedo::Uff<false>(m.values.data(), m.height, m.width, projection.data(), tolerance,
                         sorted_index, unique.begin(), index.begin(), count, inverse.begin());
      }
      EXPECT_TRUE(unique.Intact() && index.Intact() && inverse.Intact());
      EXPECT_GE(count, m.height > 0 ? 1 : 0);
      EXPECT_LE(count, m.height);
      const auto used = static_cast<std::size_t>(std::clamp(count, 0, m.height));
      for (std::size_t i = used * w; i < h * w; ++i) {
        EXPECT_TRUE(Guarded<T>::Same(unique[i], kCanary)) << "unique written past count";
      }
      for (std::size_t i = used; i < h; ++i) {
        EXPECT_EQ(index[i], kIndexCanary) << "index written past count";
      }
      UffResult<T>& r = results[b];
      r.count = count;
      r.unique.assign(unique.begin(), unique.begin() + static_cast<std::ptrdiff_t>(used * w));
      r.index.assign(index.begin(), index.begin() + static_cast<std::ptrdiff_t>(used));
      r.inverse = inverse.Contents();
    }
    EXPECT_EQ(results[0].count, results[1].count);
    EXPECT_EQ(results[0].index, results[1].index);
    EXPECT_EQ(results[0].inverse, results[1].inverse);
    EXPECT_TRUE(kedo_test::SameBits(results[0].unique, results[1].unique));
    CheckConsistent(m, results[0], sorted_index);
    return results[0];
  }

  static UffResult<T> Run(const Matrix<T>& m, T tolerance, bool sorted_index) {
    return Run(m, std::vector<T>(static_cast<std::size_t>(m.width), T(1)), tolerance, sorted_index);
  }

  // What holds for any input: representatives are copied bit for bit and
  // belong to their own group; group numbers are in range.
  static void CheckConsistent(const Matrix<T>& m, const UffResult<T>& r, bool sorted_index) {
    for (int g = 0; g < r.count; ++g) {
      const int row = r.index[static_cast<std::size_t>(g)];
      ASSERT_GE(row, 0);
      ASSERT_LT(row, m.height);
      EXPECT_EQ(r.inverse[static_cast<std::size_t>(row)], g);
      const std::vector<T> copy(r.unique.begin() + static_cast<std::ptrdiff_t>(g) * m.width,
                                r.unique.begin() + static_cast<std::ptrdiff_t>(g + 1) * m.width);
      EXPECT_TRUE(kedo_test::SameBits(copy, m.RowCopy(row)));
      if (sorted_index && g > 0) {
        EXPECT_LT(r.index[static_cast<std::size_t>(g - 1)], row);
      }
    }
    for (int r_ = 0; r_ < m.height; ++r_) {
      const int g = r.inverse[static_cast<std::size_t>(r_)];
      ASSERT_GE(g, 0);
      ASSERT_LT(g, r.count);
      if (sorted_index) {
        EXPECT_LE(r.index[static_cast<std::size_t>(g)], r_);
      }
    }
  }

  // Both modes against the model, given the model's key order (empty: the
  // model sorts the keys itself).
  static void ExpectModel(const Matrix<T>& m, const std::vector<T>& projection, T tolerance,
                          const std::vector<int>& order = {}) {
    for (bool sorted_index : {false, true}) {
      SCOPED_TRACE(sorted_index ? "ordered mode" : "unordered mode");
      const UffResult<T> got = Run(m, projection, tolerance, sorted_index);
      const UffResult<T> want = kedo_test::ModelUff(m, projection, tolerance, sorted_index, order);
      EXPECT_EQ(got.count, want.count);
      EXPECT_EQ(got.index, want.index);
      EXPECT_EQ(got.inverse, want.inverse);
      EXPECT_TRUE(kedo_test::SameBits(got.unique, want.unique));
    }
  }
};

using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(UffTest, ElementTypes);

template <typename T>
Matrix<T> Rows(int width, std::initializer_list<T> values) {
  return kedo_test::MakeMatrix<T>(width, std::vector<T>(values));
}

template <typename T>
Matrix<T> Repeated(int height, std::vector<T> row) {
  std::vector<T> values;
  for (int r = 0; r < height; ++r) values.insert(values.end(), row.begin(), row.end());
  return kedo_test::MakeMatrix<T>(static_cast<int>(row.size()), values);
}

std::vector<int> Iota(int n) {
  std::vector<int> v(static_cast<std::size_t>(n));
  std::iota(v.begin(), v.end(), 0);
  return v;
}

TYPED_TEST(UffTest, OneRow) {
  using T = TypeParam;
  for (bool sorted_index : {false, true}) {
    const UffResult<T> r = this->Run(Rows<T>(2, {T(3), T(-4)}), T(0.5), sorted_index);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.index, std::vector<int>{0});
    EXPECT_EQ(r.inverse, std::vector<int>{0});
    EXPECT_EQ(r.unique, (std::vector<T>{T(3), T(-4)}));
  }
}

TYPED_TEST(UffTest, IdenticalRowsFormOneGroupUnderAPositiveTolerance) {
  using T = TypeParam;
  for (bool sorted_index : {false, true}) {
    const UffResult<T> r = this->Run(Repeated<T>(5, {T(1.5), T(-2), T(7)}), T(0.5), sorted_index);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.index, std::vector<int>{0});
    EXPECT_EQ(r.inverse, std::vector<int>(5, 0));
  }
}

// The key window never holds: every row is a group, identical rows included.
TYPED_TEST(UffTest, NoPositiveToleranceKeepsIdenticalRowsApart) {
  using T = TypeParam;
  for (T tolerance : {T(0), T(-1), this->kNaN, -this->kInf}) {
    for (bool sorted_index : {false, true}) {
      const UffResult<T> r = this->Run(Repeated<T>(5, {T(1), T(2)}), tolerance, sorted_index);
      EXPECT_EQ(r.count, 5);
      EXPECT_EQ(r.index, Iota(5));
      EXPECT_EQ(r.inverse, Iota(5));
    }
  }
}

// 1e-30 squared underflows to 0 in float but not in double.
TYPED_TEST(UffTest, ToleranceWhoseSquareUnderflows) {
  using T = TypeParam;
  const UffResult<T> r = this->Run(Repeated<T>(4, {T(0.25), T(8)}), T(1e-30), false);
  if (std::is_same_v<T, float>) {
    EXPECT_EQ(r.count, 4);
    EXPECT_EQ(r.inverse, Iota(4));
  } else {
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.inverse, std::vector<int>(4, 0));
  }
}

// Keys 0.2, 0, 0.1: row 1 opens group 0 and takes row 0; row 2 opens group 1
// and takes row 0 over.
TYPED_TEST(UffTest, RowMovesToALaterGroup) {
  using T = TypeParam;
  const Matrix<T> m = Rows<T>(2, {T(0.4), T(-0.2), T(0), T(0), T(0.8), T(-0.7)});
  UffResult<T> r = this->Run(m, T(1), false);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.index, (std::vector<int>{1, 2}));
  EXPECT_EQ(r.inverse, (std::vector<int>{1, 0, 1}));
  EXPECT_EQ(r.unique, (std::vector<T>{T(0), T(0), T(0.8), T(-0.7)}));

  r = this->Run(m, T(1), true);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.index, (std::vector<int>{0, 1}));
  EXPECT_EQ(r.inverse, (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(r.unique, (std::vector<T>{T(0.4), T(-0.2), T(0), T(0)}));
}

// Both tests are strict: a key difference or a distance equal to the
// tolerance keeps rows apart.
TYPED_TEST(UffTest, CloseRowsWithDistantSumsStayApart) {
  using T = TypeParam;
  const Matrix<T> cases[] = {
      Rows<T>(2, {T(0), T(0), T(0.6), T(0.6)}),  // distance 0.85, sums 1.2 apart
      Rows<T>(2, {T(0), T(0), T(0.5), T(0.5)}),  // sums exactly 1 apart
  };
  for (const Matrix<T>& m : cases) {
    for (bool sorted_index : {false, true}) {
      const UffResult<T> r = this->Run(m, T(1), sorted_index);
      EXPECT_EQ(r.count, 2);
      EXPECT_EQ(r.index, (std::vector<int>{0, 1}));
      EXPECT_EQ(r.inverse, (std::vector<int>{0, 1}));
    }
  }
}

TYPED_TEST(UffTest, DistanceEqualToToleranceKeepsRowsApart) {
  using T = TypeParam;
  // Keys 0 and -1; squared distance exactly 25.
  const Matrix<T> m = Rows<T>(2, {T(0), T(0), T(3), T(-4)});
  UffResult<T> r = this->Run(m, T(5), false);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.index, (std::vector<int>{1, 0}));
  EXPECT_EQ(r.inverse, (std::vector<int>{1, 0}));
  r = this->Run(m, T(5.001), false);
  EXPECT_EQ(r.count, 1);
  EXPECT_EQ(r.index, (std::vector<int>{1}));
}

// An infinite key is never within the window of another, nor another of it.
TYPED_TEST(UffTest, InfiniteRowsAreNeverMerged) {
  using T = TypeParam;
  const T inf = this->kInf;
  const Matrix<T> m = Rows<T>(2, {T(0), T(0), inf, T(0), T(0.1), T(0), inf, T(0), -inf, T(1),
                                  T(0.05), T(0), -inf, T(1), T(1), inf});
  const std::vector<T> ones{T(1), T(1)};
  this->ExpectModel(m, ones, T(0.5));
  const UffResult<T> r = this->Run(m, T(0.5), true);
  EXPECT_EQ(r.count, 6);
  EXPECT_EQ(r.index, (std::vector<int>{0, 1, 3, 4, 6, 7}));
  EXPECT_EQ(r.inverse, (std::vector<int>{0, 1, 0, 2, 3, 0, 4, 5}));
}

// NaN keys land somewhere in the key order; a row with NaN stays alone and
// everything else follows the sweep over that order.
TYPED_TEST(UffTest, NanRowsAreNeverMerged) {
  using T = TypeParam;
  const T nan = this->kNaN;
  const Matrix<T> m = Rows<T>(2, {T(0), T(0), nan, T(0), T(0.1), T(0), nan, T(0), T(0.2), nan,
                                  T(0.05), T(0), this->kInf, nan, T(0.3), T(0.1)});
  const std::vector<T> ones{T(1), T(1)};
  const std::vector<int> order = kedo::ArgSort<int>(kedo_test::ModelKeys(m, ones));
  this->ExpectModel(m, ones, T(0.5), order);
  for (bool sorted_index : {false, true}) {
    const UffResult<T> r = this->Run(m, T(0.5), sorted_index);
    for (int row : {1, 3, 4, 6}) {
      const int g = r.inverse[static_cast<std::size_t>(row)];
      EXPECT_EQ(std::count(r.inverse.begin(), r.inverse.end(), g), 1) << "row " << row;
    }
  }
}

TYPED_TEST(UffTest, NoColumns) {
  using T = TypeParam;
  Matrix<T> m;
  m.height = 4;
  m.width = 0;
  const std::vector<T> none;
  for (bool sorted_index : {false, true}) {
    UffResult<T> r = this->Run(m, none, T(1), sorted_index);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.index, std::vector<int>{0});
    EXPECT_EQ(r.inverse, std::vector<int>(4, 0));
    for (T tolerance : {T(0), T(-1), this->kNaN}) {
      r = this->Run(m, none, tolerance, sorted_index);
      EXPECT_EQ(r.count, 4);
      EXPECT_EQ(r.index, Iota(4));
      EXPECT_EQ(r.inverse, Iota(4));
    }
  }
}

TYPED_TEST(UffTest, NoRowsWritesNothing) {
  using T = TypeParam;
  const T data[2] = {T(1), T(2)};
  const T projection[2] = {T(1), T(1)};
  Guarded<T> unique(4, this->kCanary, this->kCanary);
  Guarded<int> index(2, -9, -9);
  Guarded<int> inverse(2, -9, -9);
  // No rows form no key, so no weights need be given either.
  const T* const weights[2] = {projection, nullptr};
  for (bool sorted_index : {false, true}) {
    for (const T* weight : weights) {
      int count = 5;
      kedo::Uff<false>(data, 0, 2, weight, T(1), sorted_index, unique.begin(), index.begin(), count,
                       inverse.begin());
      EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(index.Contents(), (std::vector<int>{-9, -9}));
    EXPECT_EQ(inverse.Contents(), (std::vector<int>{-9, -9}));
    EXPECT_EQ(unique.Contents(), std::vector<T>(4, this->kCanary));
    EXPECT_TRUE(unique.Intact() && index.Intact() && inverse.Intact());
  }
}

// Random clusters with exact and near duplicates, against the model.
TYPED_TEST(UffTest, MatchesTheModelOnRandomData) {
  using T = TypeParam;
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> centre(-3.0, 3.0);
  std::normal_distribution<double> noise(0.0, 0.15);
  const T tolerances[] = {T(0.3), T(0.05), T(1), T(0), T(-0.5), T(0.7)};
  for (int trial = 0; trial < 120; ++trial) {
    const int width = 1 + trial % 4;
    const int height = static_cast<int>(rng() % 300u);
    std::vector<std::vector<double>> centres(1 + rng() % 12u);
    for (auto& c : centres) {
      for (int k = 0; k < width; ++k) c.push_back(centre(rng));
    }
    std::vector<T> values;
    for (int r = 0; r < height; ++r) {
      const auto& c = centres[rng() % centres.size()];
      const bool exact = rng() % 4u == 0;
      for (int k = 0; k < width; ++k) {
        values.push_back(static_cast<T>(c[static_cast<std::size_t>(k)] + (exact ? 0 : noise(rng))));
      }
    }
    std::vector<T> projection(static_cast<std::size_t>(width), T(1));
    if (trial % 3 == 1) {
      for (auto& p : projection) p = static_cast<T>(centre(rng));  // any weights
    } else if (trial % 3 == 2) {
      for (std::size_t k = 0; k < projection.size(); ++k) projection[k] = T(0.5) * T(k % 3) - T(1);
    }
    SCOPED_TRACE(::testing::Message() << "trial " << trial);
    this->ExpectModel(kedo_test::MakeMatrix(width, values), projection, tolerances[trial % 6]);
  }
}

// Without a positive tolerance, or with one whose square underflows, every
// row stands alone; enough rows for the radix argsort, with NaN, infinite and
// repeated keys, against the model.
TYPED_TEST(UffTest, WithoutPositiveToleranceMatchesTheModel) {
  using T = TypeParam;
  std::mt19937 rng(23);
  std::uniform_int_distribution<int> small(-4, 4);
  const T specials[] = {this->kNaN, this->kInf, -this->kInf, T(-0.0)};
  std::vector<T> values;
  for (int i = 0; i < 3 * 900; ++i) {
    values.push_back(rng() % 25u == 0 ? specials[rng() % 4u] : static_cast<T>(small(rng)));
  }
  const Matrix<T> m = kedo_test::MakeMatrix(3, values);
  const std::vector<T> projection{T(1), T(-0.5), T(2)};
  // The key order the model is to follow: ascending, NaN keys last.
  const std::vector<T> keys = kedo_test::ModelKeys(m, projection);
  std::vector<int> order(keys.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&keys](int a, int b) {
    const T x = keys[static_cast<std::size_t>(a)];
    const T y = keys[static_cast<std::size_t>(b)];
    return x < y || (y != y && x == x);
  });
  // The smallest subnormal, and a normal number whose square underflows.
  const T tiny = std::numeric_limits<T>::denorm_min();
  const T underflowing = std::sqrt(std::numeric_limits<T>::denorm_min()) / T(4);
  ASSERT_EQ(underflowing * underflowing, T(0));
  for (T tolerance : {T(0), T(-0.0), T(-2), this->kNaN, -this->kInf, tiny, underflowing}) {
    SCOPED_TRACE(::testing::Message() << "tolerance " << tolerance);
    this->ExpectModel(m, projection, tolerance, order);
  }
  // Keys that lie within such a tolerance of each other: subnormal rows.
  std::vector<T> small_values;
  for (int i = 0; i < 3 * 600; ++i) small_values.push_back(tiny * static_cast<T>(rng() % 7u));
  const Matrix<T> subnormal = kedo_test::MakeMatrix(3, small_values);
  const std::vector<T> ones(3, T(1));
  for (T tolerance : {tiny * T(4), underflowing}) {
    SCOPED_TRACE(::testing::Message() << "tolerance " << tolerance);
    this->ExpectModel(subnormal, ones, tolerance,
                      kedo::ArgSort<int>(kedo_test::ModelKeys(subnormal, ones)));
  }
}

// ---------------------------------------------------------------------------
// ArgSort

template <typename T>
class ArgSortTest : public ::testing::Test {};
TYPED_TEST_SUITE(ArgSortTest, ElementTypes);

TYPED_TEST(ArgSortTest, SmallCases) {
  using T = TypeParam;
  EXPECT_TRUE(kedo::ArgSort<int>(std::vector<T>{}).empty());
  EXPECT_EQ(kedo::ArgSort<int>(std::vector<T>{T(4)}), std::vector<int>{0});
  EXPECT_EQ(kedo::ArgSort<int>(std::vector<T>{T(3), T(1), T(3), T(1), T(2)}),
            (std::vector<int>{1, 3, 4, 0, 2}));
  // -0.0 and 0.0 are equal keys: index order decides.
  EXPECT_EQ(kedo::ArgSort<int>(std::vector<T>{T(0.0), T(-0.0), T(0.0), T(-0.0), T(-1)}),
            (std::vector<int>{4, 0, 1, 2, 3}));
  EXPECT_EQ(kedo::ArgSort<int>(std::vector<T>{T(-0.0), T(0.0)}), (std::vector<int>{0, 1}));
}

TYPED_TEST(ArgSortTest, StableOnManyTies) {
  using T = TypeParam;
  std::mt19937 rng(3);
  for (std::size_t n : {std::size_t{7}, std::size_t{33}, std::size_t{1000}, std::size_t{50000}}) {
    std::vector<T> values;
    for (std::size_t i = 0; i < n; ++i) values.push_back(static_cast<T>(rng() % 20u) - T(10));
    std::vector<int> want(n);
    std::iota(want.begin(), want.end(), 0);
    std::stable_sort(want.begin(), want.end(), [&values](int a, int b) {
      return values[static_cast<std::size_t>(a)] < values[static_cast<std::size_t>(b)];
    });
    EXPECT_EQ(kedo::ArgSort<int>(values), want) << "n = " << n;
  }
}

TYPED_TEST(ArgSortTest, NanKeysStillGiveAPermutation) {
  using T = TypeParam;
  std::mt19937 rng(11);
  for (std::size_t n : {std::size_t{2}, std::size_t{40}, std::size_t{5000}}) {
    std::vector<T> values;
    for (std::size_t i = 0; i < n; ++i) {
      values.push_back(rng() % 3u == 0 ? std::numeric_limits<T>::quiet_NaN()
                                       : static_cast<T>(rng() % 50u));
    }
    const std::vector<int> order = kedo::ArgSort<int>(values);
    EXPECT_TRUE(kedo_test::IsPermutationOfRange(order, n));
    // Numbers first, stably sorted by <; then the NaN keys in index order.
    std::vector<int> want(n);
    std::iota(want.begin(), want.end(), 0);
    std::stable_partition(want.begin(), want.end(),
                          [&](int i) { return !std::isnan(values[static_cast<std::size_t>(i)]); });
    const auto numbers = std::find_if(want.begin(), want.end(), [&](int i) {
      return std::isnan(values[static_cast<std::size_t>(i)]);
    });
    std::stable_sort(want.begin(), numbers, [&](int a, int b) {
      return values[static_cast<std::size_t>(a)] < values[static_cast<std::size_t>(b)];
    });
    EXPECT_EQ(order, want) << "n = " << n;
  }
}

// Rows whose sums lie within one key window but which lie far apart. Shapes:
// 0, clusters of near copies spread over the plane of sum 1; 1, the same
// with NaN, infinities and values too large for the sweep's grid mixed in;
// 2, rows on a lattice less than two tolerances wide in every column but
// the last, so that a grid over any two columns saves little; 3, sums spread over twenty
// tolerances, so the window slides along the rows; 4, shape 0 moved more than
// 2^40 cells of 2 tol away from zero in every column.
template <typename T>
std::vector<T> LongWindowRows(std::mt19937& rng, int shape, int width, int height, T tolerance) {
  const double tol = static_cast<double>(tolerance);
  std::uniform_int_distribution<int> site(0, 40);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.3 * tol);
  const double far = 3.0 * tol * 1099511627776.0;  // beyond 2^40 cells of 2 tol
  std::vector<T> values;
  std::vector<double> row(static_cast<std::size_t>(width));
  for (int r = 0; r < height; ++r) {
    double sum = 0.0;
    for (int c = 0; c + 1 < width; ++c) {
      double v = site(rng) * 1.5 * tol + noise(rng) + (shape == 4 ? far : 0.0);
      if (shape == 2) v = (site(rng) % 5) * 0.45 * tol;
      row[static_cast<std::size_t>(c)] = v;
      sum += v;
    }
    if (shape == 1 && r % 7 == 3 && width > 1) {
      const double wild = (r % 21 == 3 ? -far : far) * (1 + r % 2);
      sum += wild - row[0];
      row[0] = wild;
    }
    const double target = shape == 3 ? 1.0 + 20.0 * tol * unit(rng) : 1.0;
    row[static_cast<std::size_t>(width - 1)] = target - sum;
    if (shape == 1 && r % 11 == 5) {
      const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                            -std::numeric_limits<T>::infinity()};
      row[static_cast<std::size_t>(r % width)] = static_cast<double>(specials[r % 3]);
    }
    for (const double v : row) values.push_back(static_cast<T>(v));
  }
  // Some exact copies, shuffled in.
  for (int r = 0; r < height / 10; ++r) {
    const auto from = static_cast<std::size_t>(rng() % static_cast<unsigned>(height));
    const auto to = static_cast<std::size_t>(rng() % static_cast<unsigned>(height));
    std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(from) * width, width,
                values.begin() + static_cast<std::ptrdiff_t>(to) * width);
  }
  return values;
}

TYPED_TEST(UffTest, LongKeyWindowsMatchTheModel) {
  using T = TypeParam;
  std::mt19937 rng(29);
  for (const int shape : {0, 1, 2, 3, 4}) {
    for (const int width : {2, 3, 4, 6}) {
      if (shape == 2 && width < 4) continue;
      for (const T tolerance : {T(0.01), T(0.37)}) {
        SCOPED_TRACE(::testing::Message()
                     << "shape " << shape << " width " << width << " tol " << tolerance);
        const auto m =
            kedo_test::MakeMatrix(width, LongWindowRows(rng, shape, width, 2500, tolerance));
        const std::vector<T> projection(static_cast<std::size_t>(width), T(1));
        const auto keys = kedo_test::ModelKeys(m, projection);
        this->ExpectModel(m, projection, tolerance, kedo::ArgSort<int>(keys));
      }
    }
  }
}

// One column under a zero weight: every key is 0, so the window holds every
// row, and the grid works on the column itself.
TYPED_TEST(UffTest, ZeroProjectionMatchesTheModel) {
  using T = TypeParam;
  std::mt19937 rng(31);
  std::uniform_int_distribution<int> site(-300, 300);
  std::normal_distribution<double> noise(0.0, 0.2);
  std::vector<T> values;
  for (int r = 0; r < 2000; ++r) values.push_back(static_cast<T>(site(rng) * 1.3 + noise(rng)));
  this->ExpectModel(kedo_test::MakeMatrix(1, values), {T(0)}, T(1));
}

// The grid's contract, on rows placed at and across cell borders, rows too
// far out for the grid and rows that are not finite, near zero and shifted
// beyond 2^40 cells from it: every visited position is in [front, back) and
// visited once, and every row within the tolerance of the query is visited.
// Rows near the grid's origins get cells.
TYPED_TEST(UffTest, KeyWindowGridVisitsEveryRowWithinTheTolerance) {
  using T = TypeParam;
  std::mt19937 rng(37);
  const T tolerance = T(0.125);
  const double cell = 2.0 * static_cast<double>(tolerance);
  for (const double shift : {0.0, -std::ldexp(cell, 44)})
    for (const int width : {1, 2, 3, 5}) {
      SCOPED_TRACE(::testing::Message() << "shift " << shift << " width " << width);
      std::uniform_int_distribution<int> site(-6, 6);
      std::uniform_int_distribution<int> kind(0, 19);
      const int rows = 3000;
      std::vector<T> values;
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < width; ++c) {
          double v = site(rng) * cell;
          switch (kind(rng)) {
            case 0:
              v += static_cast<double>(tolerance);
              break;
            case 1:
              v = std::nextafter(v, -1e300);
              break;
            case 2:
              v = 1e15 * site(rng);
              break;
            case 3:
              v = static_cast<double>(std::numeric_limits<T>::infinity());
              break;
            case 4:
              v = static_cast<double>(std::numeric_limits<T>::quiet_NaN());
              break;
            case 5:
              v = std::ldexp(cell, 40) + 0.2 * (static_cast<double>(rng() % 1000u) / 1000.0 - 0.5);
              break;
            default:
              v += 0.3 * cell * (static_cast<double>(rng() % 1000u) / 1000.0);
          }
          values.push_back(static_cast<T>(v + shift));
        }
      }
      std::vector<int> order(static_cast<std::size_t>(rows));
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), rng);
      kedo::internal::KeyWindowGrid<T, int> grid(values.data(), rows, width, order.data(),
                                                 tolerance);
      ASSERT_TRUE(grid.Assign(0, 200));
      const T tolerance_squared = tolerance * tolerance;
      int placed_queries = 0;
      while (grid.back() < rows) {
        if (rng() % 3u != 0) {
          ASSERT_TRUE(grid.PushBack());
        } else if (grid.front() < grid.back()) {
          grid.PopFront();
        }
        const int query = static_cast<int>(rng() % static_cast<unsigned>(rows));
        const T* query_row = values.data() + static_cast<std::ptrdiff_t>(query) * width;
        std::vector<int> seen(static_cast<std::size_t>(rows), 0);
        const bool placed = grid.ForEachNear(query_row, [&](std::ptrdiff_t q) {
          ASSERT_GE(q, grid.front());
          ASSERT_LT(q, grid.back());
          ++seen[static_cast<std::size_t>(q)];
        });
        bool finite = true;
        for (const int axis : {0, 1}) {
          const std::ptrdiff_t c = axis == 0 ? grid.x_column() : grid.y_column();
          if (c < 0) continue;
          const double origin = axis == 0 ? grid.x_origin() : grid.y_origin();
          const double cells = (static_cast<double>(query_row[c]) - origin) * (1.0 / cell);
          finite = finite && std::fabs(cells) < std::ldexp(1.0, 40);
        }
        ASSERT_EQ(placed, finite);
        if (!placed) continue;
        ++placed_queries;
        for (std::ptrdiff_t q = grid.front(); q < grid.back(); ++q) {
          const T* row = values.data() +
                         static_cast<std::ptrdiff_t>(order[static_cast<std::size_t>(q)]) * width;
          const T d2 = kedo::internal::SquaredDistance<0>(query_row, row, width);
          ASSERT_LE(seen[static_cast<std::size_t>(q)], 1);
          if (tolerance_squared > d2) {
            ASSERT_EQ(seen[static_cast<std::size_t>(q)], 1) << "position " << q;
          }
        }
      }
      EXPECT_GT(placed_queries, rows / 2);
    }
}

// Rows whose values change while the grid holds them, as when another thread
// writes the caller's array during a call: the grid goes on visiting only the
// positions it holds, each once, and writes nothing outside its memory.
TYPED_TEST(UffTest, KeyWindowGridStaysIntactWhenHeldRowsChange) {
  using T = TypeParam;
  std::mt19937 rng(41);
  for (const int width : {1, 3}) {
    const int rows = 3000;
    auto random_value = [&rng] {
      switch (rng() % 8u) {
        case 0:
          return std::numeric_limits<T>::quiet_NaN();
        case 1:
          return T(1e30);  // too far out for the grid
        default:
          return static_cast<T>(static_cast<int>(rng() % 9u) - 4) * T(0.25) + T(0.01);
      }
    };
    std::vector<T> values(static_cast<std::size_t>(rows * width));
    for (T& v : values) v = random_value();
    std::vector<int> order(static_cast<std::size_t>(rows));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    kedo::internal::KeyWindowGrid<T, int> grid(values.data(), rows, width, order.data(), T(0.125));
    ASSERT_TRUE(grid.Assign(0, 100));
    while (grid.back() < rows) {
      for (int k = 0; k < 4; ++k) values[rng() % values.size()] = random_value();
      if (rng() % 3u != 0) {
        ASSERT_TRUE(grid.PushBack());
      } else if (grid.front() < grid.back()) {
        grid.PopFront();
      }
      std::vector<int> seen(static_cast<std::size_t>(rows), 0);
      const T* query = values.data() + static_cast<std::ptrdiff_t>(rng() % 9u) * width;
      ASSERT_NO_THROW(grid.ForEachNear(query, [&](std::ptrdiff_t q) {
        if (q < grid.front() || q >= grid.back() || seen[static_cast<std::size_t>(q)]++ > 0) {
          throw std::out_of_range("position " + std::to_string(q));
        }
      }));
    }
  }
}

// The sweep's work stays in proportion to the rows when long key windows
// alternate with short ones. Shape 0: a 400 x 400 lattice, whose windows are
// its lines of one sum, each ending in short windows; those below 256 rows
// are compared plainly, about 35 compares per row. Shape 1: lines of 1000
// lattice points of one sum, each followed by 9000 rows of spread sums, where
// the grid no longer pays; it must be built again for the next line.
TYPED_TEST(UffTest, SweepWorkStaysLinearWhenWindowLengthsVary) {
  using T = TypeParam;
  const int rows = 160000;
  for (const int shape : {0, 1}) {
    SCOPED_TRACE(::testing::Message() << "shape " << shape);
    std::vector<T> values;
    for (int r = 0; r < rows; ++r) {
      const int block = r / 10000;
      const int k = r % 10000;
      const T base = T(20000 * block);
      const T lattice[] = {T(r % 400), T(r / 400), T(0)};
      const T on_line[] = {T(k), T(-k), base};
      const T spread[] = {T(0), T(0), base + T(2 * k)};
      const T* row = shape == 0 ? lattice : k < 1000 ? on_line : spread;
      values.insert(values.end(), row, row + 3);
    }
    const Matrix<T> m = kedo_test::MakeMatrix(3, values);
    const std::vector<T> keys = kedo_test::ModelKeys(m, std::vector<T>(3, T(1)));
    const std::vector<int> order = kedo::ArgSort<int>(keys);
    std::vector<T> sorted_keys;
    for (const int r : order) sorted_keys.push_back(keys[static_cast<std::size_t>(r)]);
    std::vector<T> unique(values.size());
    std::vector<int> index(static_cast<std::size_t>(rows));
    std::vector<int> inverse(static_cast<std::size_t>(rows));
    int count = 0;
    const std::ptrdiff_t work = kedo::internal::UffSweep<T, int, 3>(
        m.Row(0), rows, 3, order.data(), sorted_keys.data(), T(0.5), false, unique.data(),
        index.data(), count, inverse.data());
    // The rows lie a whole unit apart: each opens its own group, in key order.
    EXPECT_EQ(count, rows);
    for (int p = 0; p < rows; ++p) {
      ASSERT_EQ(inverse[static_cast<std::size_t>(order[static_cast<std::size_t>(p)])], p);
    }
    EXPECT_LT(work, (shape == 0 ? 48 : 12) * std::ptrdiff_t{rows});
  }
}

// Rows that agree in their first columns: the grid forms its cells over the
// columns where they differ.
TYPED_TEST(UffTest, KeyWindowGridFormsCellsOverTheColumnsThatVary) {
  using T = TypeParam;
  std::vector<T> values;
  for (int r = 0; r < 300; ++r) {
    const T row[] = {T(7), T(-2), T(r % 17), T(5), T(r / 17), T(r % 3)};
    values.insert(values.end(), row, row + 6);
  }
  std::vector<int> order(300);
  std::iota(order.begin(), order.end(), 0);
  kedo::internal::KeyWindowGrid<T, int> grid(values.data(), 300, 6, order.data(), T(0.1));
  ASSERT_TRUE(grid.Assign(10, 300));
  EXPECT_EQ(std::min(grid.x_column(), grid.y_column()), 2);
  EXPECT_EQ(std::max(grid.x_column(), grid.y_column()), 4);
}

TYPED_TEST(UffTest, NanRowDoesNotStopTheSweep) {
  using T = TypeParam;
  const T nan = this->kNaN;
  // Row 1's key is NaN; rows 0 and 2 are close and must still meet.
  const Matrix<T> m = Rows<T>(2, {T(0), T(0), nan, T(0), T(0), T(0.001)});
  for (const bool sorted_index : {false, true}) {
    const auto result = this->Run(m, T(0.1), sorted_index);
    EXPECT_EQ(result.count, 2);
    EXPECT_EQ(result.inverse[0], result.inverse[2]);
    EXPECT_NE(result.inverse[0], result.inverse[1]);
  }
}

}  // namespace
