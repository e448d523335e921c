// KsWatchdog: TKsWatchdog, a deadline for steps that may block for good.
// While armed, the watchdog runs its action once the deadline passes, on its
// own thread, to end the step that blocks (the connection's Close shuts its
// socket down, which ends a write blocked behind a broker that reads no
// more). A step that is over in time disarms it, and the action does not
// run.
//
// States, changed by Arm, Disarm and the deadline only:
//   Idle --Arm--> Armed --Disarm--> Idle
//                 Armed --deadline--> Fired (the action runs) --Disarm--> Idle
// Arm again re-arms the same watchdog for the next step.
//
// Ownership: owns its thread (started by the first Arm), which the
// destructor ends and joins.
// Threads: Arm, Disarm and the destructor on one thread; the action runs on
// the watchdog's thread, at the same time as the step it ends, and must be
// safe to run so.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace ks {

class TKsWatchdog {
 public:
  enum class TState : std::uint8_t { Idle, Armed, Fired };

  explicit TKsWatchdog(std::function<void()> action);
  ~TKsWatchdog();
  TKsWatchdog(const TKsWatchdog&) = delete;
  TKsWatchdog& operator=(const TKsWatchdog&) = delete;

  // The action runs when after passes before Disarm.
  void Arm(std::chrono::milliseconds after);
  // Back to Idle; waits for an action under way. True when the action ran
  // since the last Arm.
  bool Disarm();
  TState GetState() const;

 private:
  class TTimer;
  using Clock = std::chrono::steady_clock;

  // One wait of the timer thread: until the deadline (then the action) or a
  // change.
  void TimerStep(const TTimer& self);
  // The one place the state changes; lock_ held.
  void SetState(TState state);

  std::function<void()> action_;
  mutable std::mutex lock_;
  std::condition_variable changed_;  // armed, disarmed, fired or ending
  TState state_ = TState::Idle;
  bool acting_ = false;  // the action runs now
  Clock::time_point deadline_{};
  std::unique_ptr<TTimer> timer_;
};

}  // namespace ks
