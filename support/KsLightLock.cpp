#include "support/KsLightLock.hpp"

namespace ks {

void TKsLightLock::LockContended() noexcept {
  // Whoever takes the lock from here on marks it waited for: a thread may
  // still sleep on it, so its release must wake one.
  while (state_.exchange(kWaitedFor, std::memory_order_acquire) != kFree) {
    state_.wait(kWaitedFor, std::memory_order_relaxed);
  }
}

void TKsLightLock::WakeOne() noexcept { state_.notify_one(); }

}  // namespace ks
