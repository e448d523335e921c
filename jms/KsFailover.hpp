// KsFailover: TKsFailover, the reconnecting link of a connection made from
// a failover URI ("failover:(stomp://h1:61613,stomp+ssl://h2:61612)?..."):
// it keeps the connection's link to one broker of a list up, notices its
// loss, connects again with back-off, lets its owner put back what the link
// carried, and holds the owner's operations back meanwhile. A connection
// made from a plain URI has none, and nothing of this runs for it.
//
// States (one enum, changed in one function that logs each change at DEBUG
// with its cause):
//   Idle          made; Open has not connected yet. Operations pass.
//   Connected     the link is up. Operations pass, each under a lease.
//   Interrupted   the link was lost: its socket is shut down (cut), the
//                 operations on it end, and the next attempt waits for its
//                 back-off delay. Operations wait.
//   Reconnecting  an attempt: each broker of the list once, in order (or
//                 shuffled), until one accepts the log-in. Operations wait.
//   Resumed       logged in again; the owner restores its subscriptions
//                 (restore). Operations wait. Then Connected, or back to
//                 Interrupted when the new link failed meanwhile.
//   GivenUp       maxReconnectAttempts attempts failed, or a broker refused
//                 the log-in: for good. Operations raise.
//   Closed        Close was called. Operations pass (and meet a closed
//                 connection); those that were waiting raise.
//
// Back-off: ReconnectDelay gives the delay before attempt n of a streak
// (initial delay times the multiplier to the n-th power, at most the
// maximum, moved by up to 20 % either way at random, and kept within the
// initial delay and the maximum). A link that stayed up for kStablePeriod
// starts the next outage's streak at 0; after a shorter one the streak goes
// on, so a link that keeps failing is tried less and less often.
//
// Leases: every operation of the owner that uses the link holds a lease
// (Enter) while it does; the link is replaced only when no lease is held,
// so nothing meant for one link ever reaches the next. While Connected a
// lease costs two atomic operations and never waits.
//
// Hooks (THooks) run on the failover thread unless said otherwise:
//   connect(broker) opens a link to the broker of that index and logs in
//                   (on the caller's thread when Open runs it); answers the
//                   link's id. Raises EKsLoginRefused for a log-in the
//                   broker refused, which is never tried again, and
//                   anything else for a failure worth another attempt.
//   cut()           shuts the link's socket down, so that operations
//                   blocked on it return. On the thread that reported the
//                   loss, or the one that calls Close.
//   restore(link)   puts the subscriptions back on the new link.
//   interrupted(cause), resumed(broker), gaveUp(cause): tell the
//                   application; once per outage each.
//   waiting(attempt, delay): optional; told the delay chosen before each
//                   attempt of an outage (for tests and traces).
//
// Ownership: owned by its connection, which outlives every lease. The
// failover thread keeps the state it uses alive by itself, so the owner may
// be destroyed from inside the hooks that tell the application (the thread
// then ends when the hook returns, touching nothing of the owner).
// Threads: Interrupted, Enter and the leases from any thread; Open and
// Close from the owner's threads (Close also from inside a hook).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "jms/KsJMSInterfaces.hpp"

namespace ks {

// The link an operation used went down under it; an operation that cannot
// wait for the next link (one on the reader thread, or inside a hook of
// the failover thread) raises it at once.
class EKsLinkInterrupted : public EConnectionFailedException {
 public:
  using EConnectionFailedException::EConnectionFailedException;
};

// A broker answered the log-in with an ERROR (wrong credentials, virtual
// host or version): reconnecting would only repeat it. The text is the
// broker's.
class EKsLoginRefused : public Exception {
 public:
  using Exception::Exception;
};

struct TKsBackOff {
  std::chrono::milliseconds initial{100};
  std::chrono::milliseconds maximum{30000};
  double multiplier = 2.0;
  double jitter = 0.2;  // the largest share of a delay it may move by
};

// The delay before attempt (0 for the first of a streak); random in [0, 1)
// picks the jitter (0.5: none).
std::chrono::milliseconds ReconnectDelay(const TKsBackOff& backOff, std::uint32_t attempt, double random);

// The failover parameters of a failover URI, with their defaults.
struct TKsFailoverOptions {
  TKsBackOff backOff;                            // initialReconnectDelay, maxReconnectDelay, backOffMultiplier
  std::int32_t maxReconnectAttempts = -1;        // per outage; -1: never give up, 0: no reconnect
  std::int32_t startupMaxReconnectAttempts = 0;  // further attempts of the first Open
  bool randomize = false;                        // brokers in a shuffled order
  std::int32_t reconnectTimeout = -1;            // ms an operation may wait for the link; -1: as long as it takes
};

class TKsFailover {
 public:
  enum class TState : std::uint8_t { Idle, Connected, Interrupted, Reconnecting, Resumed, GivenUp, Closed };
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kStablePeriod{30};

  struct THooks {
    std::function<std::uint64_t(std::size_t broker)> connect;
    std::function<void()> cut;
    std::function<void(std::uint64_t link)> restore;
    std::function<void(const std::string& cause)> interrupted;
    std::function<void(const std::string& broker)> resumed;
    std::function<void(const std::string& cause)> gaveUp;
    std::function<void(std::uint32_t attempt, std::chrono::milliseconds delay)> waiting;
  };

  // What every operation touches: the state, the link's id, the count of
  // leases, and the lock and condition the rest waits on. The failover
  // thread's own state extends it (TCore, in the source).
  struct TGate {
    std::mutex mutex;
    std::condition_variable changed;          // the state moved on, or the last lease went
    std::atomic<TState> state{TState::Idle};  // written under mutex
    std::atomic<std::uint64_t> link{0};       // the id of the link that is (or was last) up
    std::atomic<int> leases{0};               // leases held
    // Ends a lease; the last one of a link that is down wakes the failover
    // thread.
    [[gnu::always_inline]] void Leave() noexcept {
      if (leases.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
          state.load(std::memory_order_seq_cst) != TState::Connected) {
        std::lock_guard<std::mutex> guard(mutex);
        changed.notify_all();
      }
    }
  };
  struct TCore;

  // Held while an operation uses the link. A lease taken in Idle or Closed
  // holds nothing.
  class TLease {
   public:
    TLease() = default;
    TLease(TLease&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)), link_(other.link_) {}
    TLease& operator=(TLease&& other) noexcept {
      if (this != &other) {
        if (gate_ != nullptr) gate_->Leave();
        gate_ = std::exchange(other.gate_, nullptr);
        link_ = other.link_;
      }
      return *this;
    }
    TLease(const TLease&) = delete;
    TLease& operator=(const TLease&) = delete;
    [[gnu::always_inline]] ~TLease() {
      if (gate_ != nullptr) gate_->Leave();
    }
    std::uint64_t Link() const noexcept { return link_; }

   private:
    friend class TKsFailover;
    TLease(TGate* gate, std::uint64_t link) noexcept : gate_(gate), link_(link) {}
    TGate* gate_ = nullptr;
    std::uint64_t link_ = 0;
  };

  // brokers: the names the hooks and the application get (the addresses as
  // the URI wrote them); now: the clock of the stable period (the steady
  // clock when empty), for tests.
  TKsFailover(std::vector<std::string> brokers, const TKsFailoverOptions& options, THooks hooks,
              std::function<TClock::time_point()> now = {});
  ~TKsFailover();
  TKsFailover(const TKsFailover&) = delete;
  TKsFailover& operator=(const TKsFailover&) = delete;

  // The first connect, on the caller's thread: every broker once, then
  // startupMaxReconnectAttempts more times with back-off. Raises the last
  // attempt's error (a refused log-in at once). Does nothing unless Idle.
  void Open();
  // The link of that id was lost, for cause (reported by whoever saw it
  // first; later reports, and reports about older links, do nothing).
  void Interrupted(std::uint64_t link, const std::string& cause);
  // Ends failover for good; waiting operations raise. Answers whether the
  // link was up, so that the owner may still log out on it.
  bool Close();

  TState GetState() const noexcept;
  // The id of the link that is (or was last) up.
  std::uint64_t GetLink() const noexcept;
  // A lease on the link, waiting while it is down: at most until deadline
  // (then none) and, with a reconnect time-out, that long (then
  // EConnectionFailedException). Raises EConnectionFailedException with
  // the cause once failover gave up, EIllegalStateException "The connection
  // is closed" when Close came while it waited, and EKsLinkInterrupted at
  // once when it may not wait (mayWait false, or on the failover thread);
  // while the link is being restored (Resumed) a caller that may not wait
  // (the reader of the new link) gets its lease at once. With throughOutage
  // false it answers none at once while the link is down (Interrupted,
  // Reconnecting) and waits only while it is being restored (Resumed), so
  // that what the restore does and what the caller does never cross.
  std::optional<TLease> Enter(TClock::time_point deadline, bool mayWait, bool throughOutage = true);
  // The lease of the usual case, without a wait, into lease (which holds
  // nothing): true while Connected; false otherwise (then Enter).
  [[gnu::always_inline]] bool TryEnter(TLease& lease) noexcept {
    gate_->leases.fetch_add(1, std::memory_order_seq_cst);
    if (gate_->state.load(std::memory_order_seq_cst) == TState::Connected) {
      lease.gate_ = gate_;
      lease.link_ = gate_->link.load(std::memory_order_acquire);
      return true;
    }
    gate_->Leave();
    return false;
  }
  std::optional<TLease> TryEnter() noexcept {
    TLease lease;
    if (!TryEnter(lease)) return std::nullopt;
    return lease;
  }
  // True when the link the lease was taken on is no longer the link that
  // is up (a lease that holds nothing: false).
  bool LinkWentDown(const TLease& lease) const noexcept;
  // The cause of the current (or last) outage.
  std::string GetCause() const;

 private:
  std::shared_ptr<TCore> core_;
  TGate* gate_;  // core_'s, which lives at least as long as this object
};

}  // namespace ks
