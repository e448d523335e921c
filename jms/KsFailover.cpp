#include "jms/KsFailover.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>
#include <utility>

#include "support/KsLogFactory.hpp"

namespace ks {

std::chrono::milliseconds ReconnectDelay(const TKsBackOff& backOff, std::uint32_t attempt, double random) {
  using std::chrono::milliseconds;
  const double initial = static_cast<double>(std::max<milliseconds::rep>(backOff.initial.count(), 0));
  const double maximum = std::max(initial, static_cast<double>(backOff.maximum.count()));
  const double multiplier = std::max(backOff.multiplier, 1.0);
  // Grows until it reaches the maximum; the power is never taken past it.
  double delay = initial;
  for (std::uint32_t i = 0; i < attempt && delay < maximum; ++i) delay *= multiplier;
  delay = std::min(delay, maximum);
  const double jitter = std::clamp(backOff.jitter, 0.0, 1.0);
  delay *= 1.0 + jitter * (2.0 * std::clamp(random, 0.0, 1.0) - 1.0);
  delay = std::clamp(delay, initial, maximum);
  return milliseconds(static_cast<milliseconds::rep>(std::llround(delay)));
}

namespace {

const char* StateName(TKsFailover::TState state) {
  switch (state) {
    case TKsFailover::TState::Idle: return "Idle";
    case TKsFailover::TState::Connected: return "Connected";
    case TKsFailover::TState::Interrupted: return "Interrupted";
    case TKsFailover::TState::Reconnecting: return "Reconnecting";
    case TKsFailover::TState::Resumed: return "Resumed";
    case TKsFailover::TState::GivenUp: return "GivenUp";
    case TKsFailover::TState::Closed: return "Closed";
  }
  return "?";
}

}  // namespace

// Everything the failover thread uses: shared by the TKsFailover object and
// its thread, so that either may end first.
struct TKsFailover::TCore : TKsFailover::TGate {
  using TState = TKsFailover::TState;

  TCore(std::vector<std::string> brokerNames, const TKsFailoverOptions& opts, THooks h,
        std::function<TClock::time_point()> clock)
      : brokers(std::move(brokerNames)), options(opts), hooks(std::move(h)), now(std::move(clock)) {
    if (!now) now = [] { return TClock::now(); };
    random.seed(std::random_device{}());
  }

  const std::vector<std::string> brokers;
  const TKsFailoverOptions options;
  const THooks hooks;
  std::function<TClock::time_point()> now;

  std::string cause;        // of the current outage, or why failover gave up
  std::string pendingLoss;  // a loss of the new link reported while it was being restored
  TClock::time_point connectedSince{};
  std::uint32_t streak = 0;  // attempts since the link was last up for kStablePeriod
  std::minstd_rand random;
  std::thread thread;
  std::atomic<std::thread::id> threadId{};

  // The one place the state changes (mutex held): logs at DEBUG with the
  // cause. Closed is final.
  void ChangeState(TState next, const std::string& why) {
    const TState current = state.load(std::memory_order_relaxed);
    if (next == current || current == TState::Closed) return;
    if (const auto logger = TLogFactory::GetLogger("TKsFailover"); logger && logger->IsDebugEnabled()) {
      logger->Debug(std::string("TKsFailover: ") + StateName(current) + " -> " + StateName(next) + ": " + why);
    }
    state.store(next, std::memory_order_seq_cst);
    changed.notify_all();
  }

  bool Closed() const { return state.load(std::memory_order_relaxed) == TState::Closed; }

  double NextRandom() { return std::uniform_real_distribution<double>(0.0, 1.0)(random); }

  // The broker indexes of one attempt, in order or shuffled.
  std::vector<std::size_t> Order() {
    std::vector<std::size_t> order(brokers.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (options.randomize) std::shuffle(order.begin(), order.end(), random);
    return order;
  }

  void GiveUp(std::unique_lock<std::mutex>& lock, const std::string& why) {
    cause = why;
    ChangeState(TState::GivenUp, why);
    lock.unlock();
    if (hooks.gaveUp) hooks.gaveUp(why);
    lock.lock();
  }

  // Waits for delay; false when Close came first.
  bool Pause(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds delay) {
    return !changed.wait_for(lock, delay, [this] { return Closed(); });
  }

  // One outage, from Interrupted to Connected, GivenUp or Closed.
  void HandleOutage(std::unique_lock<std::mutex>& lock);
  // One attempt: every broker once. True when the link is up again (or
  // failover ended); lastCause is the failure otherwise.
  bool Attempt(std::unique_lock<std::mutex>& lock, std::string& lastCause);
  static void Run(const std::shared_ptr<TCore>& core);
};

void TKsFailover::TCore::Run(const std::shared_ptr<TCore>& core) {
  TCore& c = *core;
  c.threadId.store(std::this_thread::get_id());
  std::unique_lock<std::mutex> lock(c.mutex);
  for (;;) {
    c.changed.wait(lock, [&c] {
      const TState s = c.state.load(std::memory_order_relaxed);
      return s == TState::Interrupted || s == TState::Closed || s == TState::GivenUp;
    });
    if (c.state.load(std::memory_order_relaxed) != TState::Interrupted) return;
    c.HandleOutage(lock);
  }
}

void TKsFailover::TCore::HandleOutage(std::unique_lock<std::mutex>& lock) {
  const std::string lost = cause;
  if (now() - connectedSince >= kStablePeriod) streak = 0;
  // The operations on the dead link end first (its socket is shut down).
  changed.wait(lock, [this] { return leases.load(std::memory_order_seq_cst) == 0 || Closed(); });
  if (Closed()) return;
  lock.unlock();
  if (hooks.interrupted) hooks.interrupted(lost);
  lock.lock();
  std::string lastCause = lost;
  for (std::int32_t attempts = 0;; ++attempts) {
    if (Closed()) return;
    if (options.maxReconnectAttempts >= 0 && attempts >= options.maxReconnectAttempts) {
      GiveUp(lock, attempts == 0 ? lost
                                 : "Gave up after " + std::to_string(attempts) + " reconnect attempt" +
                                       (attempts == 1 ? "" : "s") + ": " + lastCause);
      return;
    }
    const std::chrono::milliseconds delay = ReconnectDelay(options.backOff, streak, NextRandom());
    if (hooks.waiting) {
      lock.unlock();
      hooks.waiting(streak, delay);
      lock.lock();
    }
    if (!Pause(lock, delay)) return;
    ++streak;
    if (Attempt(lock, lastCause)) return;
    ChangeState(TState::Interrupted, "attempt " + std::to_string(attempts + 1) + " failed: " + lastCause);
  }
}

bool TKsFailover::TCore::Attempt(std::unique_lock<std::mutex>& lock, std::string& lastCause) {
  ChangeState(TState::Reconnecting, "attempt after: " + lastCause);
  for (const std::size_t index : Order()) {
    if (Closed()) return true;
    std::uint64_t opened = 0;
    lock.unlock();
    try {
      opened = hooks.connect(index);
    } catch (const EKsLoginRefused& refused) {
      lock.lock();
      GiveUp(lock, refused.what());
      return true;
    } catch (const std::exception& error) {
      lastCause = brokers[index] + ": " + error.what();
      lock.lock();
      continue;
    }
    lock.lock();
    if (Closed()) return true;
    link.store(opened, std::memory_order_release);
    pendingLoss.clear();
    ChangeState(TState::Resumed, "logged in to " + brokers[index]);
    lock.unlock();
    bool restored = true;
    try {
      if (hooks.restore) hooks.restore(opened);
    } catch (const std::exception& error) {
      restored = false;
      lastCause = brokers[index] + ": " + error.what();
    }
    lock.lock();
    if (Closed()) return true;
    if (!restored || !pendingLoss.empty()) {
      // The new link failed already: it goes, and the outage goes on.
      if (restored) lastCause = brokers[index] + ": " + pendingLoss;
      cause = lastCause;
      lock.unlock();
      if (hooks.cut) hooks.cut();
      lock.lock();
      continue;
    }
    connectedSince = now();
    ChangeState(TState::Connected, "resumed on " + brokers[index]);
    lock.unlock();
    if (hooks.resumed) hooks.resumed(brokers[index]);
    lock.lock();
    return true;
  }
  return false;
}

// ---- TKsFailover ----------------------------------------------------------

TKsFailover::TKsFailover(std::vector<std::string> brokers, const TKsFailoverOptions& options, THooks hooks,
                         std::function<TClock::time_point()> now)
    : core_(std::make_shared<TCore>(std::move(brokers), options, std::move(hooks), std::move(now))),
      gate_(core_.get()) {}

TKsFailover::~TKsFailover() {
  Close();
  // Destroyed from inside a hook on the failover thread: the thread ends
  // when the hook returns, with the state it keeps alive.
  std::lock_guard<std::mutex> guard(core_->mutex);
  if (core_->thread.joinable()) core_->thread.detach();
}

TKsFailover::TState TKsFailover::GetState() const noexcept { return core_->state.load(std::memory_order_acquire); }

std::uint64_t TKsFailover::GetLink() const noexcept { return core_->link.load(std::memory_order_acquire); }

std::string TKsFailover::GetCause() const {
  std::lock_guard<std::mutex> guard(core_->mutex);
  return core_->cause;
}

void TKsFailover::Open() {
  TCore& c = *core_;
  std::unique_lock<std::mutex> lock(c.mutex);
  if (c.state.load(std::memory_order_relaxed) != TState::Idle) return;
  std::exception_ptr last;
  for (std::int32_t attempt = 0;; ++attempt) {
    for (const std::size_t index : c.Order()) {
      std::uint64_t opened = 0;
      lock.unlock();
      try {
        opened = c.hooks.connect(index);
      } catch (const EKsLoginRefused&) {
        throw;
      } catch (const std::exception&) {
        last = std::current_exception();
        lock.lock();
        if (c.Closed()) std::rethrow_exception(last);
        continue;
      }
      lock.lock();
      c.link.store(opened, std::memory_order_release);
      c.connectedSince = c.now();
      c.ChangeState(TState::Connected, "connected to " + c.brokers[index]);
      return;
    }
    if (attempt >= c.options.startupMaxReconnectAttempts || c.Closed()) std::rethrow_exception(last);
    const std::chrono::milliseconds delay =
        ReconnectDelay(c.options.backOff, static_cast<std::uint32_t>(attempt), c.NextRandom());
    if (c.hooks.waiting) {
      lock.unlock();
      c.hooks.waiting(static_cast<std::uint32_t>(attempt), delay);
      lock.lock();
    }
    if (!c.Pause(lock, delay)) std::rethrow_exception(last);
  }
}

void TKsFailover::Interrupted(std::uint64_t link, const std::string& cause) {
  TCore& c = *core_;
  {
    std::lock_guard<std::mutex> guard(c.mutex);
    if (link != c.link.load(std::memory_order_relaxed)) return;
    switch (c.state.load(std::memory_order_relaxed)) {
      case TState::Connected:
        c.cause = cause;
        c.ChangeState(TState::Interrupted, cause);
        // The thread comes with the first outage: a link that never fails
        // costs none.
        if (!c.thread.joinable()) c.thread = std::thread([core = core_] { TCore::Run(core); });
        break;
      case TState::Resumed:
        // The new link failed while it was being restored.
        if (c.pendingLoss.empty()) c.pendingLoss = cause;
        break;
      default:
        return;
    }
  }
  if (c.hooks.cut) c.hooks.cut();
}

bool TKsFailover::Close() {
  TCore& c = *core_;
  std::thread thread;
  bool linkUp = false;
  {
    std::lock_guard<std::mutex> guard(c.mutex);
    const TState state = c.state.load(std::memory_order_relaxed);
    if (state == TState::Closed) return false;
    linkUp = state == TState::Connected;
    c.ChangeState(TState::Closed, "closed");
    if (c.thread.joinable() && c.thread.get_id() != std::this_thread::get_id()) thread = std::move(c.thread);
  }
  // An attempt under way ends sooner without a socket to wait on.
  if (!linkUp && c.hooks.cut) c.hooks.cut();
  if (thread.joinable()) thread.join();
  return linkUp;
}

std::optional<TKsFailover::TLease> TKsFailover::Enter(TClock::time_point deadline, bool mayWait, bool throughOutage) {
  if (auto lease = TryEnter()) return lease;
  TCore& c = *core_;
  std::unique_lock<std::mutex> lock(c.mutex);
  const bool limited = c.options.reconnectTimeout >= 0;
  const TClock::time_point giveUpAt = TClock::now() + std::chrono::milliseconds(limited ? c.options.reconnectTimeout : 0);
  bool waited = false;
  for (;;) {
    const TState state = c.state.load(std::memory_order_relaxed);
    switch (state) {
      case TState::Connected:
        c.leases.fetch_add(1, std::memory_order_seq_cst);
        return TLease(&c, c.link.load(std::memory_order_relaxed));
      case TState::Idle:
        return TLease();
      case TState::Closed:
        if (waited) throw EIllegalStateException("The connection is closed");
        return TLease();
      case TState::GivenUp:
        throw EConnectionFailedException(c.cause);
      default:
        break;
    }
    const bool restoring = state == TState::Resumed;
    if (restoring && !mayWait) {
      // The reader of the new link (a listener) works on that link while
      // the rest of the restore goes on.
      c.leases.fetch_add(1, std::memory_order_seq_cst);
      return TLease(&c, c.link.load(std::memory_order_relaxed));
    }
    if (!throughOutage && !restoring) return std::nullopt;
    const TClock::time_point now = TClock::now();
    if (now >= deadline) return std::nullopt;
    if (!mayWait || c.threadId.load() == std::this_thread::get_id()) {
      if (!throughOutage) return std::nullopt;
      throw EKsLinkInterrupted(c.cause);
    }
    if (!throughOutage) {
      // A restore is short: waited for without a limit of its own.
      c.changed.wait(lock);
      waited = true;
      continue;
    }
    if (limited && now >= giveUpAt) {
      throw EConnectionFailedException("The connection was not resumed within " +
                                       std::to_string(c.options.reconnectTimeout) + " ms (" + c.cause + ")");
    }
    const TClock::time_point until = limited ? std::min(deadline, giveUpAt) : deadline;
    if (until == TClock::time_point::max()) {
      c.changed.wait(lock);
    } else {
      c.changed.wait_until(lock, until);
    }
    waited = true;
  }
}

bool TKsFailover::LinkWentDown(const TLease& lease) const noexcept {
  if (lease.gate_ == nullptr) return false;
  return gate_->state.load(std::memory_order_seq_cst) != TState::Connected ||
         gate_->link.load(std::memory_order_acquire) != lease.link_;
}

}  // namespace ks
