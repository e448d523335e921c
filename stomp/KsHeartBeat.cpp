#include "stomp/KsHeartBeat.hpp"

#include <algorithm>

#include "support/KsLogFactory.hpp"

namespace ks {

namespace {

const char* StateName(TKsHeartBeat::TState state) {
  switch (state) {
    case TKsHeartBeat::TState::Idle: return "Idle";
    case TKsHeartBeat::TState::Watching: return "Watching";
    case TKsHeartBeat::TState::Lost: return "Lost";
    case TKsHeartBeat::TState::Stopped: return "Stopped";
  }
  return "?";
}

}  // namespace

TKsHeartBeat::TKsHeartBeat(IKsHeartBeatLink& link, TLostEvent onLost) : link_(link), onLost_(std::move(onLost)) {}

TKsHeartBeat::~TKsHeartBeat() {
  Stop();
  // Destroyed from inside OnLost: that thread touches nothing of this
  // object any more.
  if (retired_.joinable()) retired_.detach();
}

TKsHeartBeat::TState TKsHeartBeat::GetState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

std::string TKsHeartBeat::LostCause() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lostCause_;
}

void TKsHeartBeat::ChangeState(TState next, const std::string& cause) {
  if (next == state_) return;
  if (const auto logger = TLogFactory::GetLogger("TKsHeartBeat"); logger && logger->IsDebugEnabled()) {
    logger->Debug(std::string("TKsHeartBeat: ") + StateName(state_) + " -> " + StateName(next) + ": " + cause);
  }
  state_ = next;
}

void TKsHeartBeat::ArmLocked(const TKsHeartBeatTimes& times, TClock::time_point now) {
  times_ = times;
  silenceLimit_ = std::chrono::milliseconds(
      static_cast<std::int64_t>(static_cast<double>(times.incoming.count()) * std::max(times.grace, 1.0)));
  lastSent_ = link_.BytesSent();
  lastReceived_ = link_.BytesReceived();
  lastWaiting_ = link_.BytesWaiting();
  lastWrite_ = lastArrival_ = now;
  lostCause_.clear();
}

void TKsHeartBeat::Start(const TKsHeartBeatTimes& times) {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  ChangeState(TState::Idle, "started anew");
  if (times.outgoing.count() <= 0 && times.incoming.count() <= 0) return;
  ArmLocked(times, TClock::now());
  ChangeState(TState::Watching,
              "every " + std::to_string(times.outgoing.count()) + " ms out, " + std::to_string(times.incoming.count()) +
                  " ms in");
  thread_ = std::thread([this] { Run(); });
}

void TKsHeartBeat::Arm(const TKsHeartBeatTimes& times, TClock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  ArmLocked(times, now);
  ChangeState(TState::Watching, "armed");
}

TKsHeartBeat::TClock::time_point TKsHeartBeat::Step(TClock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  return StepLocked(now);
}

TKsHeartBeat::TClock::time_point TKsHeartBeat::StepLocked(TClock::time_point now) {
  TClock::time_point next = TClock::time_point::max();
  if (state_ != TState::Watching) return next;
  if (times_.incoming.count() > 0) {
    const std::uint64_t received = link_.BytesReceived();
    const std::uint64_t waiting = received != lastReceived_ ? lastWaiting_ : link_.BytesWaiting();
    if (received != lastReceived_ || waiting != lastWaiting_ || waiting >= kManyWaiting) {
      lastReceived_ = received;
      lastWaiting_ = link_.BytesWaiting();
      lastArrival_ = now;
    } else if (now - lastArrival_ >= silenceLimit_) {
      lostCause_ = "Missed heart-beats: nothing received from the broker for " +
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastArrival_).count()) +
                   " ms (heart-beat interval " + std::to_string(times_.incoming.count()) + " ms)";
      ChangeState(TState::Lost, lostCause_);
      return next;
    }
    // Looked at twice per interval, and when the limit runs out.
    next = std::min(lastArrival_ + silenceLimit_, now + times_.incoming / 2);
  }
  if (times_.outgoing.count() > 0) {
    const auto half = times_.outgoing / 2;
    const std::uint64_t sent = link_.BytesSent();
    if (sent != lastSent_) {
      lastSent_ = sent;
      lastWrite_ = now;
    } else if (now - lastWrite_ >= half) {
      if (link_.TryWriteBeat()) {
        lastSent_ = link_.BytesSent();
        lastWrite_ = now;
      } else {
        // Busy with a send, or the socket takes nothing: not idle; look
        // again soon.
        next = std::min(next, now + std::max(half / 4, std::chrono::milliseconds(1)));
      }
    }
    next = std::min(next, std::max(lastWrite_ + half, now + std::chrono::milliseconds(1)));
  }
  return next;
}

void TKsHeartBeat::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (state_ == TState::Watching) {
    const TClock::time_point next = StepLocked(TClock::now());
    if (state_ != TState::Watching) break;
    changed_.wait_until(lock, next, [this] { return state_ != TState::Watching; });
  }
  if (state_ != TState::Lost) return;
  // Copies on this thread's stack: OnLost may stop, even destroy, this
  // object; nothing of it is touched afterwards.
  const TLostEvent onLost = onLost_;
  const std::string cause = lostCause_;
  lock.unlock();
  if (onLost) onLost(cause);
}

void TKsHeartBeat::Stop() {
  std::thread running;
  std::thread retired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == TState::Watching || state_ == TState::Lost) ChangeState(TState::Stopped, "stopped");
    running = std::move(thread_);
    retired = std::move(retired_);
  }
  changed_.notify_all();
  Finish(std::move(running));
  Finish(std::move(retired));
}

void TKsHeartBeat::Finish(std::thread thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    // Stopped from inside OnLost: the thread ends when OnLost returns and
    // is joined by the next Stop or the destructor on another thread.
    std::lock_guard<std::mutex> lock(mutex_);
    retired_ = std::move(thread);
    return;
  }
  thread.join();
}

}  // namespace ks
