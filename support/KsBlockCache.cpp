#include "support/KsBlockCache.hpp"

#include <cstdint>
#include <new>

namespace ks {

namespace blockcache {

constinit thread_local TThreadCache tCache{};

namespace {

// Frees the thread's cached blocks when the thread ends.
struct TReaper {
  bool armed = false;
  ~TReaper() {
    TThreadCache& cache = tCache;
    cache.state = kEnding;
    cache.keepLimit = 0;
    for (std::size_t index = 0; index < kClasses; ++index) {
      while (TFreeBlock* block = cache.heads[index]) {
        cache.heads[index] = block->next;
        ::operator delete(block);
      }
      cache.counts[index] = 0;
    }
  }
};

thread_local TReaper tReaper;

void Keep(TThreadCache& cache, void* block, std::size_t index) noexcept {
  auto* freed = static_cast<TFreeBlock*>(block);
  freed->next = cache.heads[index];
  cache.heads[index] = freed;
  ++cache.counts[index];
}

// The first block a thread keeps sets up its reaper (out of the common
// path, which then needs no call).
[[gnu::noinline]] void KeepFirst(void* block, std::size_t index) noexcept {
  TThreadCache& cache = tCache;
  cache.state = kKeeping;
  cache.keepLimit = kBlocksPerClass;
  tReaper.armed = true;
  Keep(cache, block, index);
}

}  // namespace

void* AllocateSlow(std::size_t bytes) {
  if (!kCaching || bytes == 0 || bytes > kClasses * kClassBytes) return ::operator new(bytes);
  // A whole block of the class, so that it can serve any request of it.
  return ::operator new(((bytes - 1) / kClassBytes + 1) * kClassBytes);
}

void DeallocateSlow(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (!kCaching || bytes == 0 || bytes > kClasses * kClassBytes) {
    ::operator delete(block);
    return;
  }
  const std::size_t index = (bytes - 1) / kClassBytes;
  TThreadCache& cache = tCache;
  if (cache.counts[index] >= kBlocksPerClass || cache.state == kEnding) {
    ::operator delete(block);
    return;
  }
  if (cache.state == kNotArmed) {
    KeepFirst(block, index);
    return;
  }
  Keep(cache, block, index);
}

}  // namespace blockcache
}  // namespace ks
