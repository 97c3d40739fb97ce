// The sort method's scratch stays within its bound of bytes per row, on every
// path, and the Uff sweep gives the same groups when the memory it only uses
// to go faster is refused. Every allocation of this program is counted, so it
// runs on its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "kedo/uff.hpp"
#include "kedo/unique_ids.hpp"

namespace {

std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;
bool counting = false;
// Allocations that may fail (std::nothrow) of this many bytes or more fail.
std::size_t refuse_optional_from = std::numeric_limits<std::size_t>::max();

}  // namespace

namespace {

// Each block carries its size in front of it. Null when malloc fails.
void* Allocate(std::size_t bytes) noexcept {
  void* block = std::malloc(bytes + alignof(std::max_align_t));
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = bytes;
  if (counting) {
    live_bytes += bytes;
    if (live_bytes > peak_bytes) peak_bytes = live_bytes;
  }
  return static_cast<char*>(block) + alignof(std::max_align_t);
}

void* AllocateOrThrow(std::size_t bytes) {
  void* memory = Allocate(bytes);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* AllocateOptional(std::size_t bytes) noexcept {
  return bytes >= refuse_optional_from ? nullptr : Allocate(bytes);
}

void Release(void* memory) noexcept {
  if (memory == nullptr) return;
  char* block = static_cast<char*>(memory) - alignof(std::max_align_t);
  if (counting) live_bytes -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t bytes) { return AllocateOrThrow(bytes); }
void* operator new[](std::size_t bytes) { return AllocateOrThrow(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  return AllocateOptional(bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  return AllocateOptional(bytes);
}
void operator delete(void* memory) noexcept { Release(memory); }
void operator delete[](void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }

namespace {

enum class Rows {
  kDistinct,
  kClusteredFirst,
  kTiedFirst,
  kNoisyTiedFirst,
  kDense,
  kHalfNaNFirst,
  kOneFirstValue,
  kFourFirstValues
};

template <typename T>
std::vector<T> MakeRows(Rows kind, std::size_t n, std::size_t width) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<T> data(n * width);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < width; ++c) {
      const double u = unit(random);
      T value = static_cast<T>(u);
      if (kind == Rows::kDistinct) value = static_cast<T>(u * 1e6);
      if (kind == Rows::kClusteredFirst && c == 0)
        value = static_cast<T>(std::floor(u * static_cast<double>(n)));
      // Ten first values: long runs for the second column to order.
      if (kind == Rows::kTiedFirst && c == 0) value = static_cast<T>(std::floor(u * 10));
      // The same, each a little apart: a double's upper half still ties them.
      if (kind == Rows::kNoisyTiedFirst && c == 0)
        value = static_cast<T>((1.0 + std::floor(u * 10)) * (1.0 + 1e-12 * unit(random)));
      if (kind == Rows::kOneFirstValue && c == 0) value = T(0.5);
      // Runs of a quarter of the rows each.
      if (kind == Rows::kFourFirstValues && c == 0) value = static_cast<T>(std::floor(u * 4));
      if (kind == Rows::kHalfNaNFirst && c == 0 && random() % 2 == 0)
        value = std::numeric_limits<T>::quiet_NaN();
      data[r * width + c] = value;
    }
  }
  return data;
}

// Peak bytes per row held during one call, the two output vectors included.
template <bool stable, typename T>
double PeakPerRow(const std::vector<T>& data, std::size_t n, T tolerance, bool with_inverse) {
  std::vector<int> inverse(with_inverse ? n : 0);
  kedo::IndexVector<int> sorted_ids;
  kedo::IndexVector<int> unique_ids;
  live_bytes = peak_bytes = 0;
  counting = true;
  kedo::UniqueIds<stable, T, int>(data.data(), static_cast<int>(n), 3, tolerance, sorted_ids,
                                  unique_ids, with_inverse ? inverse.data() : nullptr);
  counting = false;
  return static_cast<double>(peak_bytes) / static_cast<double>(n);
}

// One bound for each element type: the largest block is the keyed copy of
// the rows (a row number with the first value beside it); at tolerance 0 the
// hash table and the first rows take its place. Without an inverse the call
// keeps each row's group itself.
template <typename T>
void ExpectWithinBound(Rows kind, T tolerance) {
  for (const std::size_t n : {174763u, 200000u}) {
    const std::vector<T> data = MakeRows<T>(kind, n, 3);
    for (const bool with_inverse : {true, false}) {
      const bool exact = tolerance == T(0) && kind != Rows::kHalfNaNFirst;
      const double bound = (sizeof(T) == 8 || (exact && !with_inverse)) ? 20.5 : 16.5;
      SCOPED_TRACE(::testing::Message() << "n " << n << " inverse " << with_inverse);
      EXPECT_LE((PeakPerRow<true, T>(data, n, tolerance, with_inverse)), bound);
      EXPECT_LE((PeakPerRow<false, T>(data, n, tolerance, with_inverse)), bound);
    }
  }
}

TEST(ScratchMemory, DistinctRowsAtToleranceZero) {
  ExpectWithinBound<double>(Rows::kDistinct, 0.0);
  ExpectWithinBound<float>(Rows::kDistinct, 0.0f);
}

TEST(ScratchMemory, FirstValuesInClusters) {
  ExpectWithinBound<double>(Rows::kClusteredFirst, 0.5);
  ExpectWithinBound<float>(Rows::kClusteredFirst, 0.5f);
}

TEST(ScratchMemory, FirstValuesTiedInLongRuns) {
  ExpectWithinBound<double>(Rows::kTiedFirst, 0.01);
  ExpectWithinBound<float>(Rows::kTiedFirst, 0.01f);
}

TEST(ScratchMemory, FirstValuesNearlyTiedInLongRuns) {
  ExpectWithinBound<double>(Rows::kNoisyTiedFirst, 0.01);
  ExpectWithinBound<double>(Rows::kNoisyTiedFirst, 0.0);
}

TEST(ScratchMemory, FirstValuesDenseAgainstTheTolerance) {
  ExpectWithinBound<double>(Rows::kDense, 0.1);
  ExpectWithinBound<float>(Rows::kDense, 0.1f);
}

// All first values equal: the second column keys the presort.
TEST(ScratchMemory, OneFirstValue) {
  ExpectWithinBound<double>(Rows::kOneFirstValue, 0.0);
  ExpectWithinBound<float>(Rows::kOneFirstValue, 0.0f);
  ExpectWithinBound<double>(Rows::kOneFirstValue, 0.01);
}

// Runs longer than an eighth of the rows, sorted in place by their second values.
TEST(ScratchMemory, FourFirstValues) {
  ExpectWithinBound<double>(Rows::kFourFirstValues, 0.0);
  ExpectWithinBound<float>(Rows::kFourFirstValues, 0.01f);
  ExpectWithinBound<double>(Rows::kFourFirstValues, 0.01);
}

TEST(ScratchMemory, HalfTheFirstValuesNaN) {
  ExpectWithinBound<double>(Rows::kHalfNaNFirst, 0.5);
  ExpectWithinBound<float>(Rows::kHalfNaNFirst, 0.5f);
  ExpectWithinBound<double>(Rows::kHalfNaNFirst, 0.0);
}

// Points on a plane, so that key windows are long and the sweep keeps them in
// a grid. Refusing the grid's memory at any size, whether it is being built or
// grows while in use, leaves the groups as they are.
TEST(ScratchMemory, UffGroupsStayWhenItsGridIsRefused) {
  const int n = 6000;
  std::mt19937 random(11);
  std::uniform_int_distribution<int> site(0, 70);
  std::normal_distribution<double> noise(0.0, 0.002);
  std::vector<double> data;
  for (int r = 0; r < n; ++r) {
    const double x = site(random) * 0.03 + noise(random);
    const double y = site(random) * 0.03 + noise(random);
    data.insert(data.end(), {x, y, 1.0 - x - y});
  }
  const std::vector<double> projection(3, 1.0);
  auto run = [&](std::size_t refuse_from) {
    std::vector<double> unique(data.size());
    std::vector<int> index(n);
    std::vector<int> inverse(n);
    int count = 0;
    refuse_optional_from = refuse_from;
    kedo::Uff<false>(data.data(), n, 3, projection.data(), 0.01, false, unique.data(), index.data(),
                     count, inverse.data());
    refuse_optional_from = std::numeric_limits<std::size_t>::max();
    inverse.push_back(count);
    return inverse;
  };
  const std::vector<int> want = run(std::numeric_limits<std::size_t>::max());
  for (const std::size_t refuse_from : {1u, 1024u, 4096u, 16384u, 24001u, 65536u, 131072u}) {
    EXPECT_EQ(run(refuse_from), want) << "refusing from " << refuse_from << " bytes";
  }
}

// Noisy copies of grid points whose first values tie in a double's upper
// half: refusing any of the sort method's scratch (its presort then declines
// or sorts a run of ties by merging) leaves the result as it is.
TEST(ScratchMemory, SortResultStaysWhenItsScratchIsRefused) {
  const int n = 20000;
  std::mt19937 random(13);
  std::uniform_int_distribution<int> site(0, 9);
  std::normal_distribution<double> noise(0.0, 1e-4);
  std::vector<double> data;
  for (int r = 0; r < n; ++r) {
    const double first = (1 + site(random)) * (1.0 + 1e-12 * noise(random));
    data.insert(data.end(),
                {first, 0.1 * site(random) + noise(random), 0.1 * site(random) + noise(random)});
  }
  for (const bool stable : {true, false}) {
    auto run = [&](std::size_t refuse_from) {
      std::vector<int> inverse(n);
      kedo::IndexVector<int> sorted_ids;
      kedo::IndexVector<int> unique_ids;
      refuse_optional_from = refuse_from;
      if (stable) {
        kedo::UniqueIds<true, double, int>(data.data(), n, 3, 0.01, sorted_ids, unique_ids,
                                           inverse.data());
      } else {
        kedo::UniqueIds<false, double, int>(data.data(), n, 3, 0.01, sorted_ids, unique_ids,
                                            inverse.data());
      }
      refuse_optional_from = std::numeric_limits<std::size_t>::max();
      std::vector<int> all(sorted_ids.begin(), sorted_ids.end());
      all.insert(all.end(), unique_ids.begin(), unique_ids.end());
      all.insert(all.end(), inverse.begin(), inverse.end());
      return all;
    };
    const std::vector<int> want = run(std::numeric_limits<std::size_t>::max());
    for (const std::size_t refuse_from : {1u, 4096u, 30000u, 80001u, 160000u, 240001u}) {
      EXPECT_EQ(run(refuse_from), want) << "stable " << stable << " refusing from " << refuse_from;
    }
  }
}

}  // namespace
