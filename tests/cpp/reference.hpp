// Shared helpers of the core tests: guarded buffers and brute-force models of
// the grouping routines, written from their definitions rather than the code.
#ifndef KEDO_TESTS_REFERENCE_HPP
#define KEDO_TESTS_REFERENCE_HPP

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numeric>
#include <vector>

namespace kedo_test {

// A buffer of `size` elements with `guard` canaries on each side, all of the
// buffer filled with `fill`; Intact() tells whether the canaries survived.
template <typename V>
class Guarded {
 public:
  static constexpr std::size_t kGuard = 16;

  Guarded(std::size_t size, V fill, V canary)
      : canary_(canary), storage_(size + 2 * kGuard, canary), size_(size) {
    std::fill(begin(), end(), fill);
  }

  V* begin() { return storage_.data() + kGuard; }
  V* end() { return begin() + size_; }
  V& operator[](std::size_t i) { return begin()[i]; }
  std::vector<V> Contents() const {
    return std::vector<V>(storage_.data() + kGuard, storage_.data() + kGuard + size_);
  }

  bool Intact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (!Same(storage_[i], canary_) || !Same(storage_[kGuard + size_ + i], canary_)) {
        return false;
      }
    }
    return true;
  }

  // Bitwise equality, so NaN canaries and -0.0 compare as intended.
  static bool Same(const V& a, const V& b) { return std::memcmp(&a, &b, sizeof(V)) == 0; }

 private:
  V canary_;
  std::vector<V> storage_;
  std::size_t size_;
};

template <typename V>
bool SameBits(const std::vector<V>& a, const std::vector<V>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(V)) == 0);
}

inline bool IsPermutationOfRange(const std::vector<int>& values, std::size_t n) {
  if (values.size() != n) return false;
  std::vector<bool> seen(n, false);
  for (int v : values) {
    if (v < 0 || static_cast<std::size_t>(v) >= n || seen[static_cast<std::size_t>(v)]) {
      return false;
    }
    seen[static_cast<std::size_t>(v)] = true;
  }
  return true;
}

// A row-major matrix of test data.
template <typename T>
struct Matrix {
  int height = 0;
  int width = 0;
  std::vector<T> values;

  const T* Row(int r) const {
    return values.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
  }
  std::vector<T> RowCopy(int r) const { return std::vector<T>(Row(r), Row(r) + width); }
};

template <typename T>
Matrix<T> MakeMatrix(int width, std::vector<T> values) {
  Matrix<T> m;
  m.width = width;
  m.height = width == 0 ? 0 : static_cast<int>(values.size()) / width;
  m.values = std::move(values);
  return m;
}

// ---------------------------------------------------------------------------
// Sort method: rows match when no column differs by more than the tolerance;
// a NaN difference matches.
template <typename T>
bool ModelMatch(const Matrix<T>& m, int a, int b, T tolerance) {
  for (int c = 0; c < m.width; ++c) {
    const T difference = std::abs(m.Row(a)[c] - m.Row(b)[c]);
    if (difference > tolerance) return false;
  }
  return true;
}

struct Grouping {
  std::vector<int> sorted_ids;
  std::vector<int> unique_ids;
  std::vector<int> inverse;
};

// Cuts a given order into runs that match their first row and numbers them.
template <typename T>
Grouping GroupByHeads(const Matrix<T>& m, T tolerance, std::vector<int> order) {
  Grouping g;
  g.sorted_ids = std::move(order);
  g.inverse.assign(static_cast<std::size_t>(m.height), -1);
  int head_row = -1;
  for (std::size_t p = 0; p < g.sorted_ids.size(); ++p) {
    const int row = g.sorted_ids[p];
    if (p == 0 || !ModelMatch(m, head_row, row, tolerance)) {
      head_row = row;
      g.unique_ids.push_back(static_cast<int>(p));
    }
    g.inverse[static_cast<std::size_t>(row)] = static_cast<int>(g.unique_ids.size()) - 1;
  }
  return g;
}

// The stable sort method for inputs where the row comparator is plain
// lexicographic order: tolerance 0 on NaN-free data, or data on an integer
// grid with a tolerance of at most 1.
template <typename T>
Grouping ModelLexicographic(const Matrix<T>& m, T tolerance) {
  std::vector<int> order(static_cast<std::size_t>(m.height));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&m](int a, int b) {
    return std::lexicographical_compare(m.Row(a), m.Row(a) + m.width, m.Row(b), m.Row(b) + m.width);
  });
  return GroupByHeads(m, tolerance, std::move(order));
}

// ---------------------------------------------------------------------------
// Uff method: a plain sweep over the rows in key order.
template <typename T>
struct UffResult {
  std::vector<T> unique;  // count rows
  std::vector<int> index;
  int count = 0;
  std::vector<int> inverse;
};

template <typename T>
std::vector<T> ModelKeys(const Matrix<T>& m, const std::vector<T>& projection) {
  std::vector<T> keys;
  for (int r = 0; r < m.height; ++r) {
    T sum = 0;
    for (int c = 0; c < m.width; ++c) sum += projection[static_cast<std::size_t>(c)] * m.Row(r)[c];
    keys.push_back(sum);
  }
  return keys;
}

// `order` is the key order to use; empty means a stable sort of the keys.
template <typename T>
UffResult<T> ModelUff(const Matrix<T>& m, const std::vector<T>& projection, T tolerance,
                      bool sorted_index, std::vector<int> order = {}) {
  const std::vector<T> keys = ModelKeys(m, projection);
  const auto n = static_cast<std::size_t>(m.height);
  if (order.empty()) {
    order.resize(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&keys](int a, int b) {
      return keys[static_cast<std::size_t>(a)] < keys[static_cast<std::size_t>(b)];
    });
  }
  auto key = [&keys](int r) { return keys[static_cast<std::size_t>(r)]; };

  // Sweep: an ungrouped row opens a group and takes every later row inside
  // its key window and its distance, the last taker winning.
  std::vector<int> group(n, -1);
  std::vector<int> anchors;
  for (std::size_t p = 0; p < n; ++p) {
    const int anchor = order[p];
    if (group[static_cast<std::size_t>(anchor)] != -1) continue;
    const int g = static_cast<int>(anchors.size());
    anchors.push_back(anchor);
    group[static_cast<std::size_t>(anchor)] = g;
    for (std::size_t q = p + 1; q < n; ++q) {
      const int r = order[q];
      if (!(key(r) - key(anchor) < tolerance)) break;
      T d2 = 0;
      for (int c = 0; c < m.width; ++c) {
        const T d = m.Row(anchor)[c] - m.Row(r)[c];
        d2 += d * d;
      }
      if (d2 < tolerance * tolerance) group[static_cast<std::size_t>(r)] = g;
    }
  }

  UffResult<T> out;
  out.count = static_cast<int>(anchors.size());
  std::vector<int> representative = anchors;
  std::vector<int> number(anchors.size());
  std::iota(number.begin(), number.end(), 0);
  if (sorted_index) {
    // Each group is represented by its lowest row; groups ascend by it.
    for (std::size_t r = n; r-- > 0;) {
      representative[static_cast<std::size_t>(group[r])] = static_cast<int>(r);
    }
    std::vector<int> by_representative(anchors.size());
    std::iota(by_representative.begin(), by_representative.end(), 0);
    std::sort(by_representative.begin(), by_representative.end(), [&](int a, int b) {
      return representative[static_cast<std::size_t>(a)] <
             representative[static_cast<std::size_t>(b)];
    });
    for (std::size_t k = 0; k < by_representative.size(); ++k) {
      number[static_cast<std::size_t>(by_representative[k])] = static_cast<int>(k);
    }
  }
  out.index.resize(anchors.size());
  for (std::size_t g = 0; g < anchors.size(); ++g) {
    out.index[static_cast<std::size_t>(number[g])] = representative[g];
  }
  for (int row : out.index) {
    const std::vector<T> values = m.RowCopy(row);
    out.unique.insert(out.unique.end(), values.begin(), values.end());
  }
  for (std::size_t r = 0; r < n; ++r) {
    out.inverse.push_back(number[static_cast<std::size_t>(group[r])]);
  }
  return out;
}

}  // namespace kedo_test

#endif  // KEDO_TESTS_REFERENCE_HPP
