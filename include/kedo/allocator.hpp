// Allocator adaptor whose value-initialisation is default-initialisation, so
// growing a vector of trivial elements leaves the new elements unwritten.
#ifndef KEDO_ALLOCATOR_HPP
#define KEDO_ALLOCATOR_HPP

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace kedo {

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

// The vector of row numbers, group heads and group numbers used by the core.
template <typename I>
using IndexVector = std::vector<I, DefaultInitializationAllocator<I, std::allocator<I>>>;

}  // namespace kedo

#endif  // KEDO_ALLOCATOR_HPP
