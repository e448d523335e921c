#include "support/KsLightLock.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Threads that contend for the lock (sleeping on it, woken by its release)
// never run their sections at once, and a condition wait with the lock
// wakes when told.
TEST(KsLightLock, ContendedSectionsNeverOverlapAndAConditionWaitWakes) {
  ks::TKsLightLock lock;
  std::int64_t counter = 0;  // guarded by lock, deliberately not atomic
  int inside = 0;            // guarded by lock
  bool overlapped = false;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<ks::TKsLightLock> guard(lock);
        if (++inside != 1) overlapped = true;
        ++counter;
        // A longer section now and then, so that others sleep on the lock.
        if (i % 1000 == 0) std::this_thread::yield();
        --inside;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(counter, std::int64_t{kThreads} * kRounds);
  EXPECT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock());
  lock.unlock();

  std::condition_variable_any changed;
  bool told = false;
  std::thread waiter([&] {
    std::unique_lock<ks::TKsLightLock> held(lock);
    changed.wait(held, [&] { return told; });
  });
  {
    std::lock_guard<ks::TKsLightLock> guard(lock);
    told = true;
  }
  changed.notify_all();
  waiter.join();
  EXPECT_TRUE(told);
}

}  // namespace
