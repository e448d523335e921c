#include "support/KsWatchdog.hpp"

#include <utility>

#include "support/KsThread.hpp"

namespace ks {

// The watchdog's thread: one TimerStep per iteration until it is ended.
class TKsWatchdog::TTimer : public TKsThread {
 public:
  explicit TTimer(TKsWatchdog* owner) : owner_(owner) {}
  ~TTimer() override { TerminateAndWaitFor(); }

 protected:
  void Run() override { owner_->TimerStep(*this); }

 private:
  TKsWatchdog* owner_;  // joins this thread before it goes
};

TKsWatchdog::TKsWatchdog(std::function<void()> action) : action_(std::move(action)) {}

TKsWatchdog::~TKsWatchdog() {
  if (!timer_) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    timer_->Terminate();  // under the lock, so that the wait cannot miss it
  }
  changed_.notify_all();
  timer_.reset();
}

void TKsWatchdog::SetState(TState state) {
  state_ = state;
  changed_.notify_all();
}

TKsWatchdog::TState TKsWatchdog::GetState() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_;
}

void TKsWatchdog::Arm(std::chrono::milliseconds after) {
  std::lock_guard<std::mutex> guard(lock_);
  deadline_ = Clock::now() + after;
  SetState(TState::Armed);
  if (!timer_) {
    timer_ = std::make_unique<TTimer>(this);
    timer_->Start();
  }
}

bool TKsWatchdog::Disarm() {
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] { return !acting_; });
  const bool fired = state_ == TState::Fired;
  SetState(TState::Idle);
  return fired;
}

void TKsWatchdog::TimerStep(const TTimer& self) {
  std::unique_lock<std::mutex> lock(lock_);
  if (self.Terminated()) return;
  if (state_ != TState::Armed) {
    changed_.wait(lock, [this, &self] { return self.Terminated() || state_ == TState::Armed; });
    return;
  }
  const Clock::time_point deadline = deadline_;
  if (changed_.wait_until(lock, deadline, [this, &self, deadline] {
        return self.Terminated() || state_ != TState::Armed || deadline_ != deadline;
      })) {
    return;  // disarmed, re-armed or ending: look again
  }
  SetState(TState::Fired);
  acting_ = true;
  lock.unlock();
  try {
    action_();
  } catch (...) {
    // The action's own trouble must not end the thread silently mid-state.
  }
  lock.lock();
  acting_ = false;
  changed_.notify_all();
}

}  // namespace ks
