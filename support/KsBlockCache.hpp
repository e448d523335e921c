// KsBlockCache: per-thread caches of small memory blocks, for the objects
// that the message paths make and drop once per message (a message object
// and its text). A thread keeps up to kBlocksPerClass freed blocks of each
// size class (multiples of 64 bytes, up to 1 KiB) and hands them out again
// before it asks the allocator, which costs far less than an allocation
// and a release each time. Larger requests, and blocks past that count, go
// to operator new and delete as usual. A block may be released on another
// thread than the one that took it: it then joins that thread's cache. The
// blocks a thread keeps are freed when the thread ends.
//
// TKsCachedAllocator is the standard allocator form of it, for
// std::allocate_shared and containers.
//
// Under AddressSanitizer every request goes to operator new and delete, so
// that a use after release is still seen.
// Threads: every function may be called from any thread; no lock (each
// thread has its own cache).
#pragma once

#include <cstddef>

namespace ks {

// A block of at least bytes bytes, aligned as operator new aligns.
void* CachedAllocate(std::size_t bytes);
// Gives back a block CachedAllocate made for the same bytes.
void CachedDeallocate(void* block, std::size_t bytes) noexcept;

template <class T>
struct TKsCachedAllocator {
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "blocks are aligned as operator new aligns");

  TKsCachedAllocator() noexcept = default;
  template <class U>
  TKsCachedAllocator(const TKsCachedAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t count) { return static_cast<T*>(CachedAllocate(count * sizeof(T))); }
  void deallocate(T* block, std::size_t count) noexcept { CachedDeallocate(block, count * sizeof(T)); }

  template <class U>
  bool operator==(const TKsCachedAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

}  // namespace ks
