// The per-thread block cache of the message paths.
#include "support/KsBlockCache.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace ks {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCaching = false;  // every request goes to the allocator
#else
constexpr bool kCaching = true;
#endif

TEST(BlockCache, AReleasedBlockServesLaterRequestsOfItsSizeClassOnly) {
  if (!kCaching) GTEST_SKIP() << "the cache is off under AddressSanitizer";
  // A request of 100 bytes has the room of its whole class (65 to 128).
  void* block = CachedAllocate(100);
  std::memset(block, 'x', 128);
  CachedDeallocate(block, 100);
  void* smaller = CachedAllocate(64);
  void* larger = CachedAllocate(129);
  EXPECT_NE(smaller, block);
  EXPECT_NE(larger, block);
  void* again = CachedAllocate(128);
  EXPECT_EQ(again, block);
  CachedDeallocate(smaller, 64);
  CachedDeallocate(larger, 129);
  // Requests past the largest class, and blocks released on a thread that
  // then ends, go back to the allocator.
  void* huge = CachedAllocate(1u << 20);
  std::memset(huge, 'y', 1u << 20);
  CachedDeallocate(huge, 1u << 20);
  std::thread([again] { CachedDeallocate(again, 128); }).join();
  // Messages and their texts use it: one made here and dropped on another
  // thread is whole there.
  using TText = std::basic_string<char, std::char_traits<char>, TKsCachedAllocator<char>>;
  auto text = std::allocate_shared<TText>(TKsCachedAllocator<TText>(), 300, 't');
  std::thread([moved = std::move(text)]() mutable {
    EXPECT_EQ(moved->size(), 300u);
    moved.reset();
  }).join();
}

}  // namespace
}  // namespace ks
