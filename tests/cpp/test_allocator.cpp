// DefaultInitializationAllocator behaves as a normal allocator for a vector:
// written elements survive growth and shrinking; explicit values are kept.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <type_traits>
#include <vector>

#include "kedo/allocator.hpp"

namespace {

using kedo::DefaultInitializationAllocator;
using kedo::IndexVector;

static_assert(std::is_same_v<IndexVector<int>::allocator_type,
                             DefaultInitializationAllocator<int, std::allocator<int>>>);
static_assert(
    std::is_same_v<std::allocator_traits<DefaultInitializationAllocator<int>>::rebind_alloc<double>,
                   DefaultInitializationAllocator<double, std::allocator<double>>>);

TEST(DefaultInitializationAllocator, GrowthIntoNewStorageKeepsWrittenElements) {
  IndexVector<int> v;
  v.resize(5);
  std::iota(v.begin(), v.end(), 100);
  const int* old_storage = v.data();
  v.resize(5000);  // far past the capacity: the elements move to new storage
  ASSERT_EQ(v.size(), 5000u);
  EXPECT_NE(v.data(), old_storage);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(v[static_cast<std::size_t>(i)], 100 + i);
  std::iota(v.begin() + 5, v.end(), 105);
  v.resize(20000);
  for (std::size_t i = 0; i < 5000; ++i) ASSERT_EQ(v[i], static_cast<int>(100 + i));
  // A block large enough to be advised huge pages: still all of it usable.
  v.resize(std::size_t{3} << 20);
  for (std::size_t i = 0; i < 5000; ++i) ASSERT_EQ(v[i], static_cast<int>(100 + i));
  std::iota(v.begin() + 5000, v.end(), 5100);
  EXPECT_EQ(v.back(), static_cast<int>(100 + v.size() - 1));
}

TEST(DefaultInitializationAllocator, ShrinkDropsTheTailAndKeepsTheHead) {
  IndexVector<int> v(10);
  std::iota(v.begin(), v.end(), 0);
  v.resize(3);
  EXPECT_EQ(v, (IndexVector<int>{0, 1, 2}));
  v.resize(6);  // grows within capacity
  v[3] = 7;
  v[4] = 8;
  v[5] = 9;
  EXPECT_EQ(v, (IndexVector<int>{0, 1, 2, 7, 8, 9}));
  v.clear();
  EXPECT_TRUE(v.empty());
}

TEST(DefaultInitializationAllocator, ExplicitValuesAreStillWritten) {
  IndexVector<int> v(4, -3);
  EXPECT_EQ(v, (IndexVector<int>{-3, -3, -3, -3}));
  v.resize(6, 11);
  EXPECT_EQ(v, (IndexVector<int>{-3, -3, -3, -3, 11, 11}));
  v.push_back(5);
  v.emplace_back(6);
  v.insert(v.begin(), 2, 1);
  EXPECT_EQ(v, (IndexVector<int>{1, 1, -3, -3, -3, -3, 11, 11, 5, 6}));
  const IndexVector<int> copy = v;
  EXPECT_EQ(copy, v);
}

// Default initialisation still runs constructors of class types.
TEST(DefaultInitializationAllocator, ClassTypesAreConstructed) {
  struct WithDefault {
    int value = 7;
  };
  std::vector<WithDefault, DefaultInitializationAllocator<WithDefault>> v(3);
  v.resize(40);
  for (const auto& element : v) EXPECT_EQ(element.value, 7);

  std::vector<std::string, DefaultInitializationAllocator<std::string>> strings(2);
  strings[0] = std::string(100, 'x');
  strings.resize(50);
  EXPECT_EQ(strings[0], std::string(100, 'x'));
  EXPECT_TRUE(strings[1].empty());
  EXPECT_TRUE(strings[49].empty());
}

}  // namespace
