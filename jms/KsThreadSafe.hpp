// KsThreadSafe: TKsThreadSafe, an object owning one re-entrant lock, and
// TKsThreadSafeIntegerSequence, a counter whose Next answers 0, 1, 2, ...
// atomically.
//
// Ownership: plain objects, owned by value or std::unique_ptr.
// Threads: any thread; Lock/Unlock pair up on the same thread.
#pragma once

#include <cstdint>
#include <mutex>

namespace ks {

class TKsThreadSafe {
 public:
  TKsThreadSafe() = default;
  virtual ~TKsThreadSafe() = default;
  TKsThreadSafe(const TKsThreadSafe&) = delete;
  TKsThreadSafe& operator=(const TKsThreadSafe&) = delete;

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

 private:
  std::recursive_mutex lock_;
};

class TKsThreadSafeIntegerSequence : public TKsThreadSafe {
 public:
  // The current value, then adds 1; the first call answers 0.
  std::int32_t Next();

 private:
  std::int32_t value_ = 0;
};

}  // namespace ks
