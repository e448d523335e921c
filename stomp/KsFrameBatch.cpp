#include "stomp/KsFrameBatch.hpp"

#include <atomic>
#include <cstring>
#include <thread>
#include <utility>

#include "support/KsThread.hpp"

namespace ks {

// The timer thread: one TimerStep per iteration until it is terminated.
class TKsFrameBatch::TTimer : public TKsThread {
 public:
  explicit TTimer(TKsFrameBatch* batch) : batch_(batch) {}
  ~TTimer() override { TerminateAndWaitFor(); }

  bool IsCurrentThread() const { return threadId_.load() == std::this_thread::get_id(); }

 protected:
  void Run() override {
    threadId_.store(std::this_thread::get_id());
    batch_->TimerStep(*this);
  }

 private:
  TKsFrameBatch* batch_;  // the owner; it joins this thread before it goes
  std::atomic<std::thread::id> threadId_{};
};

TKsFrameBatch::TKsFrameBatch(TWriter writer, std::int32_t delayMs, TErrorEvent onTimerError)
    : writer_(std::move(writer)), onTimerError_(std::move(onTimerError)), delayMs_(delayMs < 0 ? 0 : delayMs) {}

TKsFrameBatch::~TKsFrameBatch() {
  Stop(false);
  retired_.reset();
}

void TKsFrameBatch::RaiseKeptNow() const {
  std::rethrow_exception(suspended_ ? suspended_ : kept_);
}

void TKsFrameBatch::WriteHeld() {
  if (bufferSize_ == 0) return;
  ++generation_;
  try {
    const std::string_view held(buffer_.get(), bufferSize_);
    writer_(&held, 1, bufferTimeout_);
  } catch (...) {
    kept_ = std::current_exception();
    bufferSize_ = 0;
    unwritten_ += std::exchange(bufferFrames_, 0);
    throw;
  }
  bufferSize_ = 0;
  bufferFrames_ = 0;
}

void TKsFrameBatch::StartTimerLocked() {
  if (timer_) return;
  timer_ = std::make_unique<TTimer>(this);
  timer_->Start();
}

void TKsFrameBatch::WriteDirect(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout,
                                std::size_t frames) {
  try {
    writer_(parts, count, sendTimeout);
  } catch (...) {
    kept_ = std::current_exception();
    unwritten_ += frames;
    throw;
  }
}

char* TKsFrameBatch::ReserveOther(std::size_t size, std::int32_t sendTimeout) {
  RaiseKept();
  if (bufferSize_ != 0 && (sendTimeout != bufferTimeout_ || bufferSize_ + size > kCapacity)) WriteHeld();
  if (bufferSize_ == 0) {
    if (!buffer_) buffer_ = std::make_unique<char[]>(kCapacity);
    bufferTimeout_ = sendTimeout;
    firstHeld_ = Clock::now();
  }
  return buffer_.get() + bufferSize_;
}

void TKsFrameBatch::CommitOther(std::size_t size) {
  if (bufferSize_ == kCapacity) {
    WriteHeld();
    return;
  }
  if (bufferSize_ == size) {
    StartTimerLocked();
    // A timer that waits for an earlier frame's due time needs no wake-up:
    // it finds the new due time when that wait ends. Only an idle timer is
    // woken, so a stream of full buffers costs the timer one wake-up per
    // delay, not one per buffer.
    // (A timer being stopped may wait beside a new one, hence all.)
    if (idleTimers_ != 0) changed_.notify_all();
  }
}

void TKsFrameBatch::Add(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < count; ++i) size += parts[i].size();
  if (size >= kCapacity) {
    // Too large to gather: written on its own, from where its parts lie.
    WriteAfterHeld(parts, count, sendTimeout, 1);
    return;
  }
  AddInPlace(size, sendTimeout, [parts, count](char* at) {
    for (std::size_t i = 0; i < count; ++i) {
      if (parts[i].empty()) continue;
      std::memcpy(at, parts[i].data(), parts[i].size());
      at += parts[i].size();
    }
  });
}

void TKsFrameBatch::WriteThrough(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) {
  WriteAfterHeld(parts, count, sendTimeout, 0);
}

void TKsFrameBatch::WriteAfterHeld(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout,
                                   std::size_t frames) {
  std::lock_guard<TKsLightLock> guard(lock_);
  RaiseKept();
  WriteHeld();
  WriteDirect(parts, count, sendTimeout, frames);
}

void TKsFrameBatch::Flush() {
  std::lock_guard<TKsLightLock> guard(lock_);
  RaiseKept();
  WriteHeld();
}

void TKsFrameBatch::Stop(bool write) {
  std::unique_ptr<TTimer> timer;
  {
    std::lock_guard<TKsLightLock> guard(lock_);
    if (write && !kept_ && !suspended_) {
      try {
        WriteHeld();
      } catch (...) {
        // Kept: the next call raises it.
      }
    }
    bufferSize_ = 0;
    bufferFrames_ = 0;
    timer = std::move(timer_);
    // Under the lock, so that the timer's wait cannot miss it.
    if (timer) timer->Terminate();
  }
  if (!timer) return;
  changed_.notify_all();
  if (timer->IsCurrentThread()) {
    // Stopped from a handler on the timer thread: it ends when the handler
    // returns and is joined later.
    retired_ = std::move(timer);
    return;
  }
  timer->TerminateAndWaitFor();
}

void TKsFrameBatch::Reset() {
  std::lock_guard<TKsLightLock> guard(lock_);
  bufferSize_ = 0;
  bufferFrames_ = 0;
  unwritten_ = 0;
  kept_ = nullptr;
  suspended_ = nullptr;
}

void TKsFrameBatch::Suspend(std::exception_ptr cause) {
  std::lock_guard<TKsLightLock> guard(lock_);
  suspended_ = std::move(cause);
}

void TKsFrameBatch::Resume() {
  {
    std::lock_guard<TKsLightLock> guard(lock_);
    suspended_ = nullptr;
    kept_ = nullptr;
    // The held bytes are due from now on.
    firstHeld_ = Clock::now();
  }
  changed_.notify_all();
}

bool TKsFrameBatch::HoldsBytes() {
  std::lock_guard<TKsLightLock> guard(lock_);
  return bufferSize_ != 0;
}

std::size_t TKsFrameBatch::Abandon() {
  std::lock_guard<TKsLightLock> guard(lock_);
  bufferSize_ = 0;
  unwritten_ += std::exchange(bufferFrames_, 0);
  return std::exchange(unwritten_, 0);
}

void TKsFrameBatch::TimerStep(const TTimer& self) {
  std::unique_lock<TKsLightLock> lock(lock_);
  if (self.Terminated()) return;
  if (bufferSize_ == 0 || suspended_) {
    ++idleTimers_;
    changed_.wait(lock, [this, &self] { return self.Terminated() || (bufferSize_ != 0 && !suspended_); });
    --idleTimers_;
    return;
  }
  const auto due = firstHeld_ + std::chrono::milliseconds(delayMs_);
  const std::uint64_t generation = generation_;
  if (Clock::now() < due) {
    // Only a stop or a resume wakes this wait early; a write by another
    // thread, and the frames held after it, are seen when it ends.
    changed_.wait_until(lock, due, [this, &self, generation] { return self.Terminated() || generation_ != generation; });
    if (self.Terminated() || generation_ != generation || Clock::now() < due || suspended_) return;
  }
  try {
    WriteHeld();
  } catch (const std::exception& error) {
    const std::string text = error.what();
    lock.unlock();
    if (onTimerError_) onTimerError_(text);
  }
}

}  // namespace ks
