// KsLineAllocator: TKsLineAllocator, a standard allocator whose blocks
// begin on a cache line (64 bytes), for objects made with
// std::allocate_shared that a hot path reaches together with their
// reference counts: the shared block puts its counts at the start of the
// block and the object right after them, so the counts and the object's
// first members then share one line (a consumer that a connection delivers
// to among many others, say).
//
// Threads: stateless; any thread. Header only: the unit is one class
// template.
#pragma once

#include <cstddef>
#include <new>

namespace ks {

template <class T>
struct TKsLineAllocator {
  using value_type = T;
  static constexpr std::size_t kLineBytes = 64;

  TKsLineAllocator() noexcept = default;
  template <class U>
  TKsLineAllocator(const TKsLineAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t count) {
    return static_cast<T*>(::operator new(count * sizeof(T), std::align_val_t{kLineBytes}));
  }
  // The unsized form: every compiler declares it (clang without
  // -fsized-deallocation has no sized one).
  void deallocate(T* block, std::size_t /*count*/) noexcept { ::operator delete(block, std::align_val_t{kLineBytes}); }

  template <class U>
  bool operator==(const TKsLineAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

}  // namespace ks
