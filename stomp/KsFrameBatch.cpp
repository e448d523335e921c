#include "stomp/KsFrameBatch.hpp"

#include <atomic>
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

void TKsFrameBatch::RaiseKept() const {
  if (suspended_) std::rethrow_exception(suspended_);
  if (kept_) std::rethrow_exception(kept_);
}

void TKsFrameBatch::WriteHeld() {
  if (buffer_.empty()) return;
  ++generation_;
  try {
    writer_(buffer_, bufferTimeout_);
  } catch (...) {
    kept_ = std::current_exception();
    buffer_.clear();
    unwritten_ += std::exchange(bufferFrames_, 0);
    throw;
  }
  buffer_.clear();
  bufferFrames_ = 0;
}

void TKsFrameBatch::StartTimerLocked() {
  if (timer_) return;
  timer_ = std::make_unique<TTimer>(this);
  timer_->Start();
}

void TKsFrameBatch::Add(std::string_view frame, std::int32_t sendTimeout) {
  std::lock_guard<std::mutex> guard(lock_);
  RaiseKept();
  if (!buffer_.empty() && (sendTimeout != bufferTimeout_ || buffer_.size() + frame.size() > kCapacity)) {
    WriteHeld();
  }
  const bool first = buffer_.empty();
  if (first) {
    if (buffer_.capacity() < kCapacity) buffer_.reserve(kCapacity);
    bufferTimeout_ = sendTimeout;
    firstHeld_ = Clock::now();
  }
  if (frame.size() >= kCapacity) {
    // Too large to gather: written on its own, as the only held frame.
    buffer_.assign(frame);
    bufferFrames_ = 1;
    WriteHeld();
    std::string().swap(buffer_);
    return;
  }
  buffer_.append(frame);
  ++bufferFrames_;
  if (buffer_.size() == kCapacity) {
    WriteHeld();
    return;
  }
  if (first) {
    StartTimerLocked();
    changed_.notify_one();
  }
}

void TKsFrameBatch::WriteThrough(const std::string& frame, std::int32_t sendTimeout) {
  std::lock_guard<std::mutex> guard(lock_);
  RaiseKept();
  WriteHeld();
  try {
    writer_(frame, sendTimeout);
  } catch (...) {
    kept_ = std::current_exception();
    throw;
  }
}

void TKsFrameBatch::Flush() {
  std::lock_guard<std::mutex> guard(lock_);
  RaiseKept();
  WriteHeld();
}

void TKsFrameBatch::Stop(bool write) {
  std::unique_ptr<TTimer> timer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (write && !kept_ && !suspended_) {
      try {
        WriteHeld();
      } catch (...) {
        // Kept: the next call raises it.
      }
    }
    buffer_.clear();
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
  std::lock_guard<std::mutex> guard(lock_);
  buffer_.clear();
  bufferFrames_ = 0;
  unwritten_ = 0;
  kept_ = nullptr;
  suspended_ = nullptr;
}

void TKsFrameBatch::Suspend(std::exception_ptr cause) {
  std::lock_guard<std::mutex> guard(lock_);
  suspended_ = std::move(cause);
}

void TKsFrameBatch::Resume() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    suspended_ = nullptr;
    kept_ = nullptr;
    // The held bytes are due from now on.
    firstHeld_ = Clock::now();
  }
  changed_.notify_all();
}

bool TKsFrameBatch::HoldsBytes() {
  std::lock_guard<std::mutex> guard(lock_);
  return !buffer_.empty();
}

std::size_t TKsFrameBatch::Abandon() {
  std::lock_guard<std::mutex> guard(lock_);
  buffer_.clear();
  unwritten_ += std::exchange(bufferFrames_, 0);
  return std::exchange(unwritten_, 0);
}

void TKsFrameBatch::TimerStep(const TTimer& self) {
  std::unique_lock<std::mutex> lock(lock_);
  if (self.Terminated()) return;
  if (buffer_.empty() || suspended_) {
    changed_.wait(lock, [this, &self] { return self.Terminated() || (!buffer_.empty() && !suspended_); });
    return;
  }
  const auto due = firstHeld_ + std::chrono::milliseconds(delayMs_);
  const std::uint64_t generation = generation_;
  if (Clock::now() < due) {
    // Only a stop wakes this wait early; a write by another thread is seen
    // when it ends.
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
