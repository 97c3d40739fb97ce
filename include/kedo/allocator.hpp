// Allocation of the core's scratch: vectors whose growth leaves trivial
// elements unwritten, and huge pages for large blocks.
#ifndef KEDO_ALLOCATOR_HPP
#define KEDO_ALLOCATOR_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kedo {

namespace internal {

// Asks the kernel to back the 2 MiB-aligned middle of a large, not yet
// touched block with huge pages: its first touch then takes one fault per
// 2 MiB instead of one per 4 KiB, and random accesses miss the TLB far less.
// Only advice; nothing depends on it being taken.
inline void AdviseHugePages(const void* memory, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  if (bytes < 4 * kHuge) return;
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)memory;
  (void)bytes;
#endif
}

}  // namespace internal

template <typename T, typename Base = std::allocator<T>>
class DefaultInitializationAllocator : public Base {
  using Traits = std::allocator_traits<Base>;

 public:
  template <typename U>
  struct rebind {
    using other = DefaultInitializationAllocator<U, typename Traits::template rebind_alloc<U>>;
  };

  using Base::Base;
  DefaultInitializationAllocator() = default;
  template <typename U, typename OtherBase>
  DefaultInitializationAllocator(const DefaultInitializationAllocator<U, OtherBase>& other) noexcept
      : Base(static_cast<const OtherBase&>(other)) {}

  // Large blocks are advised to take huge pages.
  typename Traits::pointer allocate(std::size_t n) {
    static_assert(std::is_pointer_v<typename Traits::pointer>, "needs a raw-pointer allocator");
    const auto memory = Traits::allocate(static_cast<Base&>(*this), n);
    internal::AdviseHugePages(memory, n * sizeof(typename Traits::value_type));
    return memory;
  }

  // Called by vector::resize: writes nothing for trivial types.
  template <typename U>
  void construct(U* where) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(where)) U;
  }
  template <typename U, typename... Args>
  void construct(U* where, Args&&... args) {
    Traits::construct(static_cast<Base&>(*this), where, std::forward<Args>(args)...);
  }
};

// The core's scratch vector of trivial elements.
template <typename T>
using ScratchVector = std::vector<T, DefaultInitializationAllocator<T, std::allocator<T>>>;

// The vector of row numbers, group heads and group numbers used by the core.
template <typename I>
using IndexVector = ScratchVector<I>;

}  // namespace kedo

#endif  // KEDO_ALLOCATOR_HPP
