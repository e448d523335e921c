// KsLightLock: TKsLightLock, a mutual-exclusion lock for a short section
// taken very often, mostly by one thread at a time: an uncontended lock and
// unlock is one atomic read-modify-write each, with no call into the C
// library. A thread that finds the lock taken sleeps on it (a futex-style
// wait of std::atomic) until the holder releases it; it does not spin, so a
// holder may keep it for long (a write that blocks while a socket is full).
// Not recursive, not fair.
//
// It meets the standard Lockable requirements (lock, try_lock, unlock):
// std::lock_guard and std::unique_lock take it, and a condition wait with it
// is std::condition_variable_any's.
//
// Ownership: a plain member of whatever it guards.
// Threads: any thread; unlock only by the thread that holds it.
#pragma once

#include <atomic>

namespace ks {

class TKsLightLock {
 public:
  TKsLightLock() = default;
  TKsLightLock(const TKsLightLock&) = delete;
  TKsLightLock& operator=(const TKsLightLock&) = delete;

  void lock() noexcept {
    int expected = kFree;
    if (!state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
        [[unlikely]] {
      LockContended();
    }
  }
  bool try_lock() noexcept {
    int expected = kFree;
    return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void unlock() noexcept {
    // Only a release that may leave a sleeper behind wakes one.
    if (state_.exchange(kFree, std::memory_order_release) == kWaitedFor) [[unlikely]] WakeOne();
  }

 private:
  // kWaitedFor: held, and a thread may sleep on it.
  enum : int { kFree = 0, kHeld = 1, kWaitedFor = 2 };

  void LockContended() noexcept;
  void WakeOne() noexcept;

  std::atomic<int> state_{kFree};
};

}  // namespace ks
