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
#include <cstdint>

namespace ks {

// The cache's parts that the inline functions below use; nothing else is
// to touch them.
namespace blockcache {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kCaching = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kCaching = false;
#else
inline constexpr bool kCaching = true;
#endif
#else
inline constexpr bool kCaching = true;
#endif

inline constexpr std::size_t kClassBytes = 64;
inline constexpr std::size_t kClasses = 16;  // blocks of up to 1 KiB
inline constexpr std::uint16_t kBlocksPerClass = 32;

struct TFreeBlock {
  TFreeBlock* next;
};

// Where a thread's cache stands: kNotArmed until the thread keeps its first
// block; kKeeping while the thread's end will free the blocks it keeps;
// kEnding once it did (blocks go straight back to the allocator). One
// byte, so that a release asks one question.
enum TCacheState : std::uint8_t { kNotArmed, kKeeping, kEnding };

// One thread's cache. Trivially destructible, so that it stays usable
// while the thread's other objects are destroyed; its blocks are freed
// when the thread ends.
struct TThreadCache {
  TFreeBlock* heads[kClasses];
  std::uint16_t counts[kClasses];
  // How many blocks of a class a release may keep without a further look:
  // kBlocksPerClass while kKeeping, else 0 (the release takes the slow
  // way, which arms the cache or gives the block back).
  std::uint16_t keepLimit;
  TCacheState state;
};

extern constinit thread_local TThreadCache tCache;

// The ways the inline functions do not take: a new block, a block given
// back to the allocator, the first block a thread keeps.
void* AllocateSlow(std::size_t bytes);
void DeallocateSlow(void* block, std::size_t bytes) noexcept;

}  // namespace blockcache

// A block of at least bytes bytes, aligned as operator new aligns.
inline void* CachedAllocate(std::size_t bytes) {
  using namespace blockcache;
  if (kCaching && bytes - 1 < kClasses * kClassBytes) {
    const std::size_t index = (bytes - 1) / kClassBytes;
    TThreadCache& cache = tCache;
    if (TFreeBlock* block = cache.heads[index]) {
      cache.heads[index] = block->next;
      --cache.counts[index];
      return block;
    }
  }
  return AllocateSlow(bytes);
}

// Gives back a block CachedAllocate made for the same bytes.
inline void CachedDeallocate(void* block, std::size_t bytes) noexcept {
  using namespace blockcache;
  if (kCaching && block != nullptr && bytes - 1 < kClasses * kClassBytes) {
    const std::size_t index = (bytes - 1) / kClassBytes;
    TThreadCache& cache = tCache;
    if (cache.counts[index] < cache.keepLimit) {
      auto* freed = static_cast<TFreeBlock*>(block);
      freed->next = cache.heads[index];
      cache.heads[index] = freed;
      ++cache.counts[index];
      return;
    }
  }
  DeallocateSlow(block, bytes);
}

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
