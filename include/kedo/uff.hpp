// The Uff method: rows reduced to a projection key, visited in key order,
// each ungrouped row collecting the later rows within the tolerance.
#ifndef KEDO_UFF_HPP
#define KEDO_UFF_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "kedo/allocator.hpp"
#include "kedo/sorting.hpp"

namespace kedo {

namespace internal {

// Fills order[0 .. n) with the stable ascending argsort of values[0 .. n)
// by `<` and, when sorted_values is not null, sorted_values[p] with a value
// equal (==) to values[order[p]] (or NaN where that is NaN); sorted_values
// may be `values` itself. Without NaN a radix sort of the ordered bits does
// it (-0 and +0 tie, as `<` has them); with NaN, or without memory for the
// radix sort, the merge sort, which puts NaN last. Throws std::bad_alloc
// only when sorting in place falls back to the merge sort.
template <typename I, typename T>
void StableArgSort(const T* values, std::size_t n, I* order, T* sorted_values) {
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) nan |= values[i] != values[i];
  std::unique_ptr<BitsOf<T>[]> keys;
  // Below a few hundred keys the merge sort is as fast and needs no tables.
  constexpr std::size_t kRadixMinimum = 512;
  if (!nan && n >= kRadixMinimum) keys.reset(new (std::nothrow) BitsOf<T>[n]);
  if (keys) {
    AdviseHugePages(keys.get(), n * sizeof(BitsOf<T>));
    for (std::size_t i = 0; i < n; ++i) {
      keys[i] = OrderedBits(values[i]);
      order[i] = static_cast<I>(i);
    }
    if (RadixSortByHighHalf(keys.get(), order, n)) {
      if (sorted_values != nullptr) {
        for (std::size_t p = 0; p < n; ++p) sorted_values[p] = FromOrderedBits<T>(keys[p]);
      }
      return;
    }
  }
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<I>(i);
  // `<`, with NaN after every number: a NaN key then never stops a sweep
  // that still has numbers ahead of it.
  StableSort(order, order + n, [values](I a, I b) {
    const T x = values[a];
    const T y = values[b];
    return x < y || (y != y && x == x);
  });
  if (sorted_values == values) {
    const ScratchVector<T> unsorted(values, values + n);
    for (std::size_t p = 0; p < n; ++p) {
      sorted_values[p] = unsorted[static_cast<std::size_t>(order[p])];
    }
  } else if (sorted_values != nullptr) {
    for (std::size_t p = 0; p < n; ++p) sorted_values[p] = values[order[p]];
  }
}

// Squared Euclidean distance of two rows of kWidth (when > 0) or `columns`
// columns, accumulated in column order in T.
template <std::ptrdiff_t kWidth, typename T>
inline T SquaredDistance(const T* a, const T* b, std::ptrdiff_t columns) {
  const std::ptrdiff_t w = kWidth > 0 ? kWidth : columns;
  T sum = T(0);
  for (std::ptrdiff_t c = 0; c < w; ++c) {
    const T difference = a[c] - b[c];
    sum += difference * difference;
  }
  return sum;
}

// The rows at the key-order positions [front, back), bucketed by a grid with
// cells twice the tolerance wide over one column (two when there are three or
// more): those in which a sample of the rows falls in the most cells.
// Positions enter at the back and leave at the front, so each cell's list,
// linked through next_, stays in position order, and the positions that left
// are at its head; they are unlinked when the list is next walked.
//
// A row whose squared distance to the query, in T, is below the tolerance
// squared differs from it by less than the tolerance in every column, so by
// less than half a cell. Cells are counted from an origin in each column,
// zero or a value the window's rows hold, so that rows far from zero but near
// each other still get cells. The quotients that place rows in cells are kept
// below 2^40 cells from it, where rounding (of the difference from the origin
// and of the quotient) moves them by less than 2^-11 of a cell; so such a row
// lies in the query's cell or in the neighbour on the side of the cell's
// middle where the query lies (both neighbours within 2^-10 of the middle):
// 2 cells, or 4 over two columns. The rows that have no cell (a value
// too far out for the grid, or not finite) are visited by every query. Cells
// are stored modulo 2^32 in each column; cells that share a slot that way only
// add rows to look at.
template <typename T, typename I>
class KeyWindowGrid {
 public:
  // Over the rows[0 .. rows) of `data` in the order key_order[0 .. rows).
  KeyWindowGrid(const T* data, std::ptrdiff_t rows, std::ptrdiff_t columns, const I* key_order,
                T tolerance)
      : data_(data),
        rows_(rows),
        columns_(columns),
        key_order_(key_order),
        cells_per_unit_(1.0 / (2.0 * static_cast<double>(tolerance))) {}

  std::ptrdiff_t front() const { return front_; }
  std::ptrdiff_t back() const { return back_; }
  // The columns the cells are formed over (y_column() is -1 for one), and
  // the values their cells are counted from.
  std::ptrdiff_t x_column() const { return x_column_; }
  std::ptrdiff_t y_column() const { return y_column_; }
  double x_origin() const { return x_origin_; }
  double y_origin() const { return y_origin_; }
  // Table probes and list steps since the last call.
  std::ptrdiff_t TakeWork() { return std::exchange(work_, 0); }

  // Makes the grid hold the positions [front, back). False, with the grid
  // unusable, when memory runs out.
  bool Assign(std::ptrdiff_t front, std::ptrdiff_t back) {
    if (!next_) {
      next_.reset(new (std::nothrow) I[static_cast<std::size_t>(rows_)]);
      if (!next_) return false;
    }
    if (capacity_ != kFirstCapacity) {
      slots_.reset(new (std::nothrow) Slot[kFirstCapacity]);
      capacity_ = slots_ ? kFirstCapacity : 0;
      if (!slots_) return false;
    }
    for (std::size_t s = 0; s < capacity_; ++s) slots_[s].tail = kFree;
    used_ = 0;
    orphans_ = Slot{0, 0, -1, -1};
    ChooseColumns(front, back);
    front_ = back_ = front;
    while (back_ < back) {
      if (!PushBack()) return false;
    }
    return true;
  }

  // Starts an empty window at `position`, which must not lie below back();
  // the cells stay allocated.
  void Restart(std::ptrdiff_t position) { front_ = back_ = position; }

  // Adds position back(), which must be below `rows`. False, with the grid
  // unusable, when memory runs out.
  bool PushBack() {
    if (4 * (used_ + 1) > 3 * capacity_ && !Rehash()) return false;
    Slot& list = ListOf(Row(back_));
    Next(back_) = -1;
    if (list.head == -1) {
      list.head = static_cast<I>(back_);
    } else {
      Next(list.tail) = static_cast<I>(back_);
    }
    list.tail = static_cast<I>(back_);
    ++back_;
    return true;
  }

  // Removes position front().
  void PopFront() { ++front_; }

  // Calls visit(position) for every position in the grid whose row may lie
  // within the tolerance of `row`. False, without calls, when `row` has no
  // cell.
  template <typename Visit>
  bool ForEachNear(const T* row, Visit&& visit) {
    double qx = 0;
    double qy = 0;
    if (!QuotientsOf(row, qx, qy)) return false;
    const double x = std::floor(qx);
    const double y = std::floor(qy);
    const std::uint32_t x_first = Near(qx - x, true);
    const std::uint32_t x_last = Near(qx - x, false);
    const std::uint32_t y_first = y_column_ >= 0 ? Near(qy - y, true) : 0;
    const std::uint32_t y_last = y_column_ >= 0 ? Near(qy - y, false) : 0;
    for (std::uint32_t dx = x_first; dx != x_last + 1; ++dx) {
      for (std::uint32_t dy = y_first; dy != y_last + 1; ++dy) {
        Slot* cell = Find(Wrap(x) + dx, Wrap(y) + dy);
        if (cell != nullptr) Walk(*cell, visit);
      }
    }
    Walk(orphans_, visit);
    return true;
  }

 private:
  static constexpr I kFree = -2;
  static constexpr std::size_t kFirstCapacity = 64;
  struct Slot {
    std::uint32_t x;
    std::uint32_t y;
    I head;  // -1: empty list
    I tail;  // kFree: slot not in use
  };

  // Moves the cells that hold rows into a table with room for twice as many
  // and drops the empty ones.
  bool Rehash() {
    std::size_t held = 0;
    for (std::size_t s = 0; s < capacity_; ++s) {
      if (slots_[s].tail == kFree) continue;
      Prune(slots_[s]);
      held += slots_[s].head != -1;
    }
    std::size_t capacity = kFirstCapacity;
    while (capacity < 2 * (held + 1)) capacity *= 2;
    std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[capacity]);
    if (!slots) return false;
    for (std::size_t s = 0; s < capacity; ++s) slots[s].tail = kFree;
    std::swap(slots, slots_);
    const std::size_t old_capacity = std::exchange(capacity_, capacity);
    work_ += static_cast<std::ptrdiff_t>(old_capacity + capacity);
    for (std::size_t s = 0; s < old_capacity; ++s) {
      const Slot& slot = slots[s];
      if (slot.tail == kFree || slot.head == -1) continue;
      std::size_t t = Home(slot.x, slot.y);
      while (slots_[t].tail != kFree) t = (t + 1) & (capacity_ - 1);
      slots_[t] = slot;
    }
    used_ = held;
    return true;
  }

  I& Next(std::ptrdiff_t position) { return next_[static_cast<std::size_t>(position)]; }

  const T* Row(std::ptrdiff_t position) const {
    return data_ + static_cast<std::ptrdiff_t>(key_order_[position]) * columns_;
  }

  static constexpr double kLimit = 1099511627776.0;  // 2^40 cells

  // Sets x_column_ and y_column_ to the column (and, with three or more, the
  // second column) whose values in a sample of the rows [front, back) fall in
  // the most distinct cells; ties go to the lower column. A column's cells
  // are counted from zero or from the middle finite value of its sample,
  // whichever gives more (ties: zero).
  void ChooseColumns(std::ptrdiff_t front, std::ptrdiff_t back) {
    constexpr std::ptrdiff_t kSample = 128;
    const std::ptrdiff_t held = back - front;
    const std::ptrdiff_t samples = std::min(held, kSample);
    double values[kSample];
    double cells[kSample];
    // The distinct cells of values[0 .. n) counted from `origin`.
    auto distinct_cells = [&](std::ptrdiff_t n, double origin) {
      std::ptrdiff_t placed = 0;
      for (std::ptrdiff_t k = 0; k < n; ++k) {
        const double q = (values[k] - origin) * cells_per_unit_;
        if (std::fabs(q) < kLimit) cells[placed++] = std::floor(q);
      }
      std::sort(cells, cells + placed);
      return std::unique(cells, cells + placed) - cells;
    };
    std::ptrdiff_t best[2] = {0, -1};
    double best_origins[2] = {0.0, 0.0};
    std::ptrdiff_t best_counts[2] = {-1, -1};
    for (std::ptrdiff_t c = 0; c < columns_; ++c) {
      std::ptrdiff_t n = 0;
      for (std::ptrdiff_t k = 0; k < samples; ++k) {
        const double value = static_cast<double>(Row(front + k * held / samples)[c]);
        if (std::isfinite(value)) values[n++] = value;
      }
      double origin = 0.0;
      std::ptrdiff_t count = distinct_cells(n, origin);
      if (n > 0) {
        std::nth_element(values, values + n / 2, values + n);
        const std::ptrdiff_t from_middle = distinct_cells(n, values[n / 2]);
        if (from_middle > count) {
          origin = values[n / 2];
          count = from_middle;
        }
      }
      if (count > best_counts[0]) {
        best[1] = best[0];
        best_origins[1] = best_origins[0];
        best_counts[1] = best_counts[0];
        best[0] = c;
        best_origins[0] = origin;
        best_counts[0] = count;
      } else if (count > best_counts[1]) {
        best[1] = c;
        best_origins[1] = origin;
        best_counts[1] = count;
      }
    }
    x_column_ = best[0];
    x_origin_ = best_origins[0];
    y_column_ = columns_ > 2 ? best[1] : -1;
    y_origin_ = columns_ > 2 ? best_origins[1] : 0.0;
  }

  // The row's position in cells; false when the row has no cell.
  bool QuotientsOf(const T* row, double& qx, double& qy) const {
    qx = (static_cast<double>(row[x_column_]) - x_origin_) * cells_per_unit_;
    qy = y_column_ >= 0 ? (static_cast<double>(row[y_column_]) - y_origin_) * cells_per_unit_ : 0.0;
    return std::fabs(qx) < kLimit && std::fabs(qy) < kLimit;
  }

  static std::uint32_t Wrap(double cell) {
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(cell));
  }

  // The first (-1 or 0) or last (0 or 1) cell offset to visit for a query at
  // `fraction` of its cell.
  static std::uint32_t Near(double fraction, bool first) {
    constexpr double kMargin = 1.0 / 1024;
    if (first) return fraction < 0.5 + kMargin ? ~0u : 0u;
    return fraction > 0.5 - kMargin ? 1u : 0u;
  }

  bool CellOf(const T* row, std::uint32_t& x, std::uint32_t& y) const {
    double qx = 0;
    double qy = 0;
    if (!QuotientsOf(row, qx, qy)) return false;
    x = Wrap(std::floor(qx));
    y = Wrap(std::floor(qy));
    return true;
  }

  std::size_t Home(std::uint32_t x, std::uint32_t y) const {
    std::uint64_t h = (std::uint64_t{x} << 32 | y) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<std::size_t>(h) & (capacity_ - 1);
  }

  Slot* Find(std::uint32_t x, std::uint32_t y) {
    for (std::size_t s = Home(x, y);; s = (s + 1) & (capacity_ - 1)) {
      ++work_;
      Slot& slot = slots_[s];
      if (slot.tail == kFree) return nullptr;
      if (slot.x == x && slot.y == y) return &slot;
    }
  }

  // The list of `row`'s cell, created empty if the cell has no slot yet, or
  // the list of the rows without a cell.
  Slot& ListOf(const T* row) {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    if (!CellOf(row, x, y)) return orphans_;
    std::size_t s = Home(x, y);
    for (;; s = (s + 1) & (capacity_ - 1)) {
      ++work_;
      Slot& slot = slots_[s];
      if (slot.tail == kFree) break;
      if (slot.x == x && slot.y == y) return slot;
    }
    ++used_;
    slots_[s] = Slot{x, y, -1, -1};
    return slots_[s];
  }

  // Unlinks the positions before the front from the head of `list`.
  void Prune(Slot& list) {
    while (list.head != -1 && list.head < front_) {
      ++work_;
      list.head = Next(list.head);
    }
  }

  template <typename Visit>
  void Walk(Slot& list, Visit& visit) {
    Prune(list);
    for (I q = list.head; q != -1; q = Next(q)) {
      ++work_;
      visit(static_cast<std::ptrdiff_t>(q));
    }
  }

  const T* data_;
  std::ptrdiff_t rows_;
  std::ptrdiff_t columns_;
  const I* key_order_;
  std::ptrdiff_t x_column_ = 0;
  std::ptrdiff_t y_column_ = -1;
  double x_origin_ = 0.0;
  double y_origin_ = 0.0;
  double cells_per_unit_;
  std::unique_ptr<I[]> next_;
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  Slot orphans_{0, 0, -1, -1};
  std::ptrdiff_t front_ = 0;
  std::ptrdiff_t back_ = 0;
  std::ptrdiff_t work_ = 0;
};

// The sweep of Uff for a width fixed at compile time (kWidth > 0) or given
// by `columns` (kWidth = 0). sorted_key[p] equals key[key_order[p]].
//
// Each anchor compares itself with every row of its key window. When a
// window grows long (rows whose sums are close but which lie far apart), the
// sweep keeps the window's rows in a KeyWindowGrid and compares each anchor
// only with the rows near it: the same rows pass, so the result is the same.
// It returns to the plain sweep when the grid saves too little. The savings
// are banked (up to a cap) across checks, so that the short windows at the
// end of each run of close keys do not end a grid that pays overall.
//
// Returns the work done: rows compared plus the grid's table probes and list
// steps.
template <typename T, typename I, std::ptrdiff_t kWidth>
std::ptrdiff_t UffSweep(const T* data, std::ptrdiff_t rows, std::ptrdiff_t columns,
                        const I* key_order, const T* sorted_key, T tolerance, bool sorted_index,
                        T* unique, I* index, I& count, I* inverse) {
  const std::ptrdiff_t w = kWidth > 0 ? kWidth : columns;
  const T tolerance_squared = tolerance * tolerance;
  constexpr std::ptrdiff_t kAhead = 24;
  // A window this long makes the grid worth building.
  constexpr std::ptrdiff_t kLongWindow = 256;
  // Anchors between checks that the grid still pays.
  constexpr std::ptrdiff_t kCheckEvery = 64;
  // The most saved work a grid may bank against later checks.
  constexpr std::ptrdiff_t kMaxCredit = 4 * kLongWindow * kCheckEvery;
  std::fill(inverse, inverse + rows, I(-1));
  count = 0;

  // Opens a group at position p unless its row is in one already (false).
  auto open = [&](std::ptrdiff_t p) {
    if (p + kAhead < rows) {
      const std::ptrdiff_t ahead = key_order[p + kAhead];
      __builtin_prefetch(inverse + ahead);
      PrefetchRow(data + ahead * w, w);
    }
    const std::ptrdiff_t anchor = key_order[p];
    if (inverse[anchor] != -1) return false;
    const T* anchor_row = data + anchor * w;
    if (!sorted_index) {
      std::copy(anchor_row, anchor_row + w, unique + static_cast<std::ptrdiff_t>(count) * w);
      index[count] = static_cast<I>(anchor);
    }
    inverse[anchor] = count;
    return true;
  };
  std::ptrdiff_t compared = 0;
  std::ptrdiff_t probed = 0;
  auto compare = [&](const T* anchor_row, std::ptrdiff_t q) {
    ++compared;
    const std::ptrdiff_t candidate = key_order[q];
    if (tolerance_squared > SquaredDistance<kWidth>(anchor_row, data + candidate * w, w)) {
      inverse[candidate] = count;
    }
  };

  KeyWindowGrid<T, I> grid(data, rows, w, key_order, tolerance);
  I no_grid_before = 0;  // no grid is built until there are more groups than this
  std::ptrdiff_t backoff = kCheckEvery;
  std::ptrdiff_t p = 0;
  while (p < rows) {
    // The plain sweep, up to and including an anchor with a long window.
    std::ptrdiff_t window_end = -1;
    for (; p < rows; ++p) {
      if (!open(p)) continue;
      const T* anchor_row = data + key_order[p] * w;
      const T anchor_key = sorted_key[p];
      std::ptrdiff_t q = p + 1;
      for (; q < rows && sorted_key[q] - anchor_key < tolerance; ++q) compare(anchor_row, q);
      ++count;
      if (q - p > kLongWindow && count > no_grid_before && w > 0) {
        window_end = q;
        ++p;
        break;
      }
    }
    if (window_end < 0) break;
    if (!grid.Assign(p, window_end)) {
      no_grid_before = std::numeric_limits<I>::max();  // out of memory: plain from here
      continue;
    }

    // The grid sweep, until the grid no longer pays. Keys ascend along the
    // order, so the rows in the grid stay in the window of every later anchor.
    std::ptrdiff_t window_work = 0;  // rows the plain sweep would compare
    std::ptrdiff_t grid_work = 0;
    std::ptrdiff_t credit = 0;  // window work less twice the grid work, banked
    bool paid = false;          // a check has passed since the grid was built
    probed += grid.TakeWork();
    I next_check = static_cast<I>(
        std::min<std::ptrdiff_t>(count + kCheckEvery, std::numeric_limits<I>::max()));
    for (; p < rows; ++p) {
      if (grid.back() > p) {
        grid.PopFront();
      } else {
        grid.Restart(p + 1);
      }
      if (!open(p)) continue;
      const T* anchor_row = data + key_order[p] * w;
      const T anchor_key = sorted_key[p];
      bool gridded = grid.back() == p + 1 || sorted_key[grid.back() - 1] - anchor_key < tolerance;
      while (gridded && grid.back() < rows && sorted_key[grid.back()] - anchor_key < tolerance) {
        gridded = grid.PushBack();
      }
      if (!gridded) {
        // Out of memory: this anchor's window plainly, and no grid again.
        for (std::ptrdiff_t q = p + 1; q < rows && sorted_key[q] - anchor_key < tolerance; ++q) {
          compare(anchor_row, q);
        }
        ++count;
        ++p;
        no_grid_before = std::numeric_limits<I>::max();
        break;
      }
      window_work += grid.back() - p - 1;
      if (!grid.ForEachNear(anchor_row, [&](std::ptrdiff_t q) { compare(anchor_row, q); })) {
        for (std::ptrdiff_t q = p + 1; q < grid.back(); ++q) compare(anchor_row, q);
        grid_work += grid.back() - p - 1;
      }
      ++count;
      if (count >= next_check) {
        const std::ptrdiff_t probes = grid.TakeWork();
        probed += probes;
        credit += window_work - 2 * (grid_work + probes);
        if (credit < 0) {
          // A grid that paid before lost to shorter windows: try again soon.
          if (paid) backoff = kCheckEvery;
          no_grid_before = static_cast<I>(
              std::min<std::ptrdiff_t>(count + backoff, std::numeric_limits<I>::max()));
          backoff *= 2;
          ++p;
          break;
        }
        credit = std::min(credit, kMaxCredit);
        paid = true;
        window_work = grid_work = 0;
        next_check = static_cast<I>(
            std::min<std::ptrdiff_t>(count + kCheckEvery, std::numeric_limits<I>::max()));
      }
    }
  }
  return compared + probed + grid.TakeWork();
}

}  // namespace internal

// Returns the permutation 0 .. n - 1 that orders `values` ascending by `<`.
// Stable: equal values (-0.0 and 0.0 among them) keep ascending index order.
// NaN values come after every number, in ascending index order.
template <typename I, typename T>
std::vector<I> ArgSort(const std::vector<T>& values) {
  std::vector<I> order(values.size());
  internal::StableArgSort<I, T>(values.data(), values.size(), order.data(), nullptr);
  return order;
}

// Groups the rows of a row matrix around anchors visited in key order.
//
// data:       height x width elements of T, row-major and contiguous; read only.
// height, width: not negative.
// projection: width weights; key[r] = sum of projection[c] * row r, column order.
//             Not read when height is 0 (it may then be null).
// tolerance:  any value. A row r after anchor a in key order joins a's group
//             while key[r] - key[a] < tolerance and its squared Euclidean
//             distance to a is below tolerance squared; it may leave an
//             earlier group for it.
// sorted_index: false numbers groups in sweep order, represented by their
//             anchors; true numbers them by their lowest row number, which
//             then represents the group. The partition is the same.
// unique:     room for height x width elements; rows 0 .. count - 1 receive
//             the representatives.
// index:      room for height entries; 0 .. count - 1 receive their row numbers.
// count:      receives the number of groups.
// inverse:    height entries; inverse[r] receives row r's group number.
// Nothing else is written. Throws std::bad_alloc for scratch; the outputs
// may then hold partial results.
template <bool B, typename T, typename I>
void Uff(const T* data, const I& height, const I& width, const T* projection, const T& tolerance,
         const bool& sorted_index, T* unique, I* index, I& count, I* inverse) {
  const std::ptrdiff_t rows = height;
  const std::ptrdiff_t columns = width;
  // No positive tolerance: no key difference is below it. A tolerance whose
  // square is not positive in T (it underflows): no distance is below that.
  // Either way every row is a group of its own, and with sorted_index the
  // outputs are the identity. The second case would otherwise compare every
  // pair of rows whose keys lie within the tolerance: all pairs, for
  // identical rows.
  const bool singletons = !(tolerance > T(0)) || !(tolerance * tolerance > T(0));
  if (singletons && sorted_index) {
    if (rows > 0 && columns > 0) std::copy(data, data + rows * columns, unique);
    for (std::ptrdiff_t r = 0; r < rows; ++r) index[r] = inverse[r] = static_cast<I>(r);
    count = static_cast<I>(rows);
    return;
  }
  ScratchVector<T> key(static_cast<std::size_t>(rows));
  for (std::ptrdiff_t r = 0; r < rows; ++r) {
    const T* row = data + r * columns;
    T sum = T(0);
    for (std::ptrdiff_t c = 0; c < columns; ++c) sum += projection[c] * row[c];
    key[static_cast<std::size_t>(r)] = sum;
  }
  ScratchVector<I> key_order(static_cast<std::size_t>(rows));
  if (singletons) {
    internal::StableArgSort<I, T>(key.data(), key.size(), key_order.data(), nullptr);
    constexpr std::ptrdiff_t kAhead = 16;
    for (std::ptrdiff_t p = 0; p < rows; ++p) {
      if (p + kAhead < rows) {
        const std::ptrdiff_t ahead = key_order[static_cast<std::size_t>(p + kAhead)];
        internal::PrefetchRow(data + ahead * columns, columns);
        __builtin_prefetch(inverse + ahead);
      }
      const std::ptrdiff_t r = key_order[static_cast<std::size_t>(p)];
      std::copy(data + r * columns, data + (r + 1) * columns, unique + p * columns);
      index[p] = static_cast<I>(r);
      inverse[r] = static_cast<I>(p);
    }
    count = static_cast<I>(rows);
    return;
  }
  {
    // The keys put in key order where they are.
    internal::StableArgSort<I, T>(key.data(), key.size(), key_order.data(), key.data());
    internal::WithWidth(columns, [&](auto fixed) {
      internal::UffSweep<T, I, decltype(fixed)::value>(data, rows, columns, key_order.data(),
                                                       key.data(), tolerance, sorted_index, unique,
                                                       index, count, inverse);
    });
  }

  if (sorted_index) {
    std::vector<I> remap(static_cast<std::size_t>(count), I(-1));
    I next = 0;
    constexpr std::ptrdiff_t kAhead = 16;
    for (std::ptrdiff_t r = 0; r < rows; ++r) {
      if (r + kAhead < rows) __builtin_prefetch(remap.data() + inverse[r + kAhead]);
      const I group = inverse[r];
      I& renumbered = remap[static_cast<std::size_t>(group)];
      if (renumbered == -1) {
        const T* row = data + r * columns;
        std::copy(row, row + columns, unique + static_cast<std::ptrdiff_t>(next) * columns);
        index[next] = static_cast<I>(r);
        renumbered = next++;
      }
      inverse[r] = renumbered;
    }
  }
}

}  // namespace kedo

#endif  // KEDO_UFF_HPP
