// KsJMSConnection: TKsJMSConnection, one logical link to one broker, and
// TKsJMSSession, the unit of work inside it.
//
// The connection owns its protocol client (TKsJMSClient), keeps its sessions
// in creation order, connects on Start (a connect failure is stored and
// raised as EConnectionFailedException; a later Start retries), routes every
// incoming message to the consumer of its subscription, and holds messages
// for synchronous consumers until they receive them. Close never raises,
// returns within about the receipt time-out whatever other threads do (a
// send blocked behind a broker that reads no more is ended, and raises
// EConnectionFailedException), and may be called any number of times, from
// any thread, listeners included.
//
// A session creates producers, consumers, destinations and messages, holds
// the acknowledge mode and (when transacted) the current transaction id
// "tx<n>", serialises the sends of a transacted session under one re-entrant
// lock (the transport keeps the frames of concurrent plain sends whole), and
// hands each incoming message to the listener of the consumer whose id
// equals the message's "subscription" property.
//
// Ownership: sessions are shared (ISession); the connection's list holds a
// reference until the session is closed. Producers and consumers keep their
// session alive (a counted reference, released when they are closed or the
// session closes). A session keeps an uncounted back-reference to its
// connection: when the connection is destroyed, its sessions are closed
// first, so that every later call on a session, producer or consumer that
// outlived it raises EIllegalStateException instead of reaching freed
// memory. Messages reach their connection only through its serial number.
// Threads: configuration, Start, Stop and the create operations belong to
// the application's thread. Close may run on several threads at once: one
// closes, and the others wait until it has (a Close from inside a listener
// or on a thread of the connection's own returns at once instead, since the
// Close under way may be waiting for that very thread). Dispatch runs on the
// thread that read the frame. ReceiveFor may run on several application threads at once: one of
// them reads the socket at a time and hands the others their messages
// through the holding area (guarded by its own lock). The session and
// consumer lists are copy-on-write lists under small locks, so sessions and
// consumers may be created or closed while messages arrive; a message's
// consumer is looked up under the connection's list lock and then the
// session's (always in that order), and no list lock is held while a
// listener runs. A plain send takes no lock but the transport's write lock (or
// the batch's); a transacted or confirmed one holds its session's lock too.
//
// Failover (a connection made from a failover URI, see KsFailover.hpp): the
// connection's link to the broker may be interrupted and resumed, on the
// same broker or another. Every operation that uses the link runs through
// OnLink, which holds a lease on the link while it does and says what
// happens when the link is down or goes down under the operation. When the
// link comes back the connection restores it (RestoreLink): messages held
// for synchronous consumers are dropped (the broker delivers them again),
// batched sends not yet written are written, every consumer subscribes
// again under its id and options, and the reader thread starts again for
// listeners. Deliveries of an older link are stale: acknowledging one sends
// nothing. A transacted session whose transaction did work on a link that
// went down rolls it back at its next Commit (ETransactionRolledBackException)
// and begins a new one on the new link; a confirmed send (syncSend) whose
// receipt had not come is sent again. Lock order: a lease before a
// session's send lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "jms/KsConsumerRoutes.hpp"
#include "jms/KsFailover.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsOutgoingMessage.hpp"
#include "jms/KsTransactionContext.hpp"
#include "stomp/KsSSLOptions.hpp"
#include "support/KsErrors.hpp"
#include "support/KsScratch.hpp"
#include "support/KsSnapshotList.hpp"

namespace ks {

class IURI;
class TKsCommAdapter;
class TKsMessage;
class TKsJMSClient;
struct TKsSendStamp;
struct TKsSkippedFrame;
class TKsJMSSession;
class TKsMessageConsumer;
class TKsMessageProducer;
class TKsSendHead;

// How long a synchronous receive may wait. Buffered (the connection's own
// first try) takes only a frame that is already whole in the input buffer.
enum class TKsReceiveWait { Blocking, Timed, NoWait, Buffered };

// How an operation meets a link that is down, or that goes down under it
// (TKsJMSConnection::OnLink; without failover only a lost connection counts,
// and it raises):
//   Retry  waits for the link, and after an interruption waits for the next
//          one and runs again (sends, receives);
//   Once   waits for the link; an interruption under the operation raises
//          EKsLinkInterrupted (commit, rollback, durable unsubscribe);
//   IfUp   runs only on a link that is up (waiting while one is being
//          restored, so that it and the restore never cross), and otherwise
//          (also when the link goes down under it) does nothing and
//          answers R{} (acknowledgements, subscribing and unsubscribing,
//          which the restore of the next link takes care of).
enum class TKsLinkUse : std::uint8_t { Retry, Once, IfUp };

// One broker of a failover URI with the settings of its own.
struct TKsLinkTarget {
  std::string name;            // the address as the URI wrote it
  std::shared_ptr<IURI> uri;   // parsed, port defaulted
  TKsSSLOptions ssl;
  std::int32_t connectTimeout = 0;  // 0: the adapter's own
  std::string virtualHost;
};

class TKsJMSConnection : public IMessageTransformerHost,
                         public IConnection,
                         public virtual IStoppable,
                         public virtual IStartable,
                         public std::enable_shared_from_this<TKsJMSConnection> {
 public:
  // Takes ownership of client and makes itself its dispatch target (Dispatch).
  explicit TKsJMSConnection(std::unique_ptr<TKsJMSClient> client);
  static std::shared_ptr<TKsJMSConnection> Create(std::unique_ptr<TKsJMSClient> client);
  ~TKsJMSConnection() override;

  TKsJMSConnection(const TKsJMSConnection&) = delete;
  TKsJMSConnection& operator=(const TKsJMSConnection&) = delete;

  // IMessageTransformerHost. Set raises Exception "Connection started already!"
  // while started; only sessions created later take the new transformer.
  std::shared_ptr<IMessageTransformer> GetMessageTransformer() const override;
  void SetMessageTransformer(const std::shared_ptr<IMessageTransformer>& value) override;

  // IConnection
  std::string GetClientID() const override;
  void SetClientID(const std::string& clientId) override;
  void Start() override;
  void Stop() override;
  // Sends DISCONNECT with a receipt request and waits for the RECEIPT (at
  // most the receipt time-out) before closing the socket; when it does not
  // come, the exception listener is told (unless the connection was lost,
  // which it was told already). A write that cannot go out within the
  // receipt time-out (behind a send blocked by a broker that reads no more)
  // ends with the socket, shut down for it. Never raises.
  void Close() override;
  std::shared_ptr<ISession> CreateSession(bool transacted, std::uint8_t acknowledgeMode) override;
  std::shared_ptr<IExceptionListener> GetExceptionListener() const override;
  void SetExceptionListener(const std::shared_ptr<IExceptionListener>& listener) override;
  std::string GetProtocolVersion() const override;
  std::shared_ptr<ITransportListener> GetTransportListener() const override;
  void SetTransportListener(const std::shared_ptr<ITransportListener>& listener) override;

  // Makes this a failover connection over targets (in order; at least
  // one), before Start. Start then connects through the failover.
  void EnableFailover(std::vector<TKsLinkTarget> targets, const TKsFailoverOptions& options);
  // The failover's state (Idle for a connection without failover).
  TKsFailover::TState GetFailoverState() const noexcept;
  bool HasFailover() const noexcept { return failover_ != nullptr; }

  // Runs op(link) on the connection's link, link being its id (see
  // TKsStompCustomClient::GetLink; 0 without failover, where there is only
  // one link). Without failover: raises EConnectionFailedException once
  // the connection is lost, then runs op once. With failover: as use says (TKsLinkUse), waiting at most until
  // deadline (then answering R{}) and raising what TKsFailover::Enter
  // raises. On the reader thread and inside a listener it never waits.
  template <class Op>
  auto OnLink(TKsLinkUse use, Op&& op,
              std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max())
      -> decltype(op(std::uint64_t{})) {
    if (!failover_) [[likely]] {
      CheckNotLost();
      return op(std::uint64_t{0});
    }
    return OnFailoverLink(use, op, deadline);
  }
  // The same for a member function Step, as (object->*Step)(link, args...),
  // for the per-message paths: without failover the call goes straight
  // through.
  template <auto Step, class Object, class... Args>
  [[gnu::always_inline]] auto OnLink(TKsLinkUse use, Object* object, Args&&... args) {
    if (!failover_) [[likely]] {
      CheckNotLost();
      return (object->*Step)(std::uint64_t{0}, std::forward<Args>(args)...);
    }
    return OnFailoverStep<Step>(use, object, args...);
  }
  // True when the link of that id is no longer the link that is up (always
  // false without failover).
  bool LinkChanged(std::uint64_t link) const noexcept;
  // Raises EConnectionFailedException once the connection is lost, and
  // EKsLinkInterrupted when the link of that id went down.
  void CheckLinkUp(std::uint64_t link) const;
  // Writes one ACK for a received message on the link it came on; nothing
  // when that link is gone (the broker delivers it again).
  void Acknowledge(const TKsMessage& message);

  // Configuration used by the factory right after construction.
  void SetConnectTimeout(std::int32_t milliseconds);
  std::int32_t GetConnectTimeout() const noexcept { return connectTimeout_; }
  void SetSendTimeout(std::int32_t milliseconds) noexcept { sendTimeout_ = milliseconds; }
  std::int32_t GetSendTimeout() const noexcept { return sendTimeout_; }
  // How long Close, Commit, Rollback and confirmed sends wait for the
  // broker's RECEIPT (milliseconds; default 10 000).
  void SetReceiptTimeout(std::int32_t milliseconds) noexcept { receiptTimeout_ = milliseconds; }
  std::int32_t GetReceiptTimeout() const noexcept { return receiptTimeout_; }
  // Confirmed sends: every Send asks for a RECEIPT and returns only once it
  // came (default off).
  void SetSyncSend(bool value) noexcept { syncSend_ = value; }
  bool GetSyncSend() const noexcept { return syncSend_; }
  // Batched sending (default off): sends are gathered and written together,
  // at the latest delayMs milliseconds after the first unwritten one, and
  // before every other frame, receive and close. A failed batched write is
  // reported to the exception listener and raised by the next call. Set
  // before Start.
  void SetBatchSend(bool enabled, std::int32_t delayMs);
  // The factory's client id step: id on the client, SetClientID, flag set.
  void FactorySetClientID(const std::string& clientId);

  // For sessions, producers, consumers and messages.
  TKsJMSClient& GetClient() const noexcept { return *client_; }
  bool GetStarted() const noexcept { return started_.load(std::memory_order_acquire); }
  bool GetClosed() const noexcept { return closed_.load(std::memory_order_acquire); }
  void AddSession(const std::shared_ptr<TKsJMSSession>& session);
  void RemoveSession(const TKsJMSSession* session);
  // EJMSException unless a client id was set explicitly.
  void CheckClientIdSet() const;
  void UnsubscribeDurable(const std::string& destinationName, const std::string& subscriptionName);
  // The transformer's ITransformationName, or empty text.
  std::string GetTransformationName() const;
  // "Connection is closed" after Close; EConnectionFailedException with the
  // stored text after a failed connect.
  void CheckConnection() const;
  // EConnectionFailedException with the cause once the connection is lost;
  // sends, receives, commits, rollbacks and acknowledgements check it first.
  [[gnu::always_inline]] void CheckNotLost() const {
    if (lost_.load(std::memory_order_acquire)) [[unlikely]] RaiseLost();
  }
  bool GetLost() const noexcept { return lost_.load(std::memory_order_acquire); }

  // A new receipt id that AwaitReceipt will recognise; ask for it before
  // the frame that carries it is sent.
  std::string ExpectReceipt();
  // Waits until the RECEIPT for id has arrived (true) or the receipt
  // time-out has passed or the connection is lost (false). Frames read on
  // the way are dispatched as usual. Raises the broker's ERROR, and
  // EKsInvalidContentLength when the stream stops at a frame that cannot
  // be cut. Forgets id in every case.
  bool AwaitReceipt(const std::string& id);

  // The client's message callback: finds the consumer whose id equals the
  // message's "subscription". A consumer with a listener gets it at once; a
  // consumer without one finds it in the holding area at its next receive;
  // a message that no consumer of this connection owns (one already closed,
  // say) is logged and dropped. Listener errors propagate to the code that
  // delivered the frame. subscription is the frame's header when it had
  // one; otherwise the message's property is used.
  // The client calls it directly (its dispatch target).
  void Dispatch(std::shared_ptr<IMessage>&& message, const std::string_view* subscription) {
    if (subscription != nullptr && message) [[likely]] {
      DispatchTo(*subscription, std::move(message));
      return;
    }
    DispatchUnnamed(std::move(message));
  }

  // Marks the connection lost (once; later calls do nothing), shuts the
  // socket down (so that no write or read waits on it any more) and tells
  // the exception listener with an EConnectionFailedException carrying
  // cause, followed by how many batched messages that Send had accepted
  // were not written, when there are any. With failover, the link is
  // interrupted instead (KsFailover.hpp), and the connection is lost only
  // when failover gives up.
  void ConnectionLost(const std::string& cause);
  // A frame the transport dropped for its size: a MESSAGE is told to the
  // exception listener as EMessageSkippedException and marks its consumer
  // (see TKsMessageConsumer::NoteSkipped); any other frame as EJMSException.
  void FrameSkipped(const TKsSkippedFrame& skipped);
  // Before an ACK of a message of subscription: EIllegalStateException when
  // a message of that subscription was skipped, since the ACK would
  // acknowledge it as well. One check of a flag while nothing was skipped.
  void CheckAcknowledgeable(std::string_view subscription) const;
  // Tells the exception listener about error (a frame's fault, a close the
  // broker did not confirm); the listener's own errors are swallowed.
  void ReportException(const Exception& error);

  // The synchronous receive of the given consumer: the next
  // message of that subscription, in arrival order, or none when the wait
  // ends first. Frames for other consumers read on the way are held for
  // them; RECEIPT frames are read past. While one thread reads the socket,
  // receives on other threads wait for it to hand their messages over.
  // Timed: timeout milliseconds in all (0 or less: no limit). NoWait: only
  // what has already arrived (each check for bytes waits up to 50 ms).
  // Raises EIllegalStateException when the holding area is full (see
  // kMaxHeldMessages), and the transport's errors.
  std::shared_ptr<IMessage> ReceiveFor(const TKsMessageConsumer* consumer, TKsReceiveWait wait,
                                       std::int32_t timeout);
  // Drops the messages held for a consumer that is going away.
  void DropHeld(const TKsMessageConsumer* consumer);
  // How many messages are held for consumers that have not received them yet.
  std::size_t HeldCount() const;

  // The holding area's bound: messages read for one consumer while another
  // receives wait there, at most this many (or kMaxHeldBytes of bodies).
  // Past it, a receive that would read further raises instead, and nothing
  // is dropped: the other consumers must receive first.
  static constexpr std::size_t kMaxHeldMessages = 10000;
  static constexpr std::size_t kMaxHeldBytes = 64u * 1024u * 1024u;

  // Every connection has a serial number that is never reused; Acknowledge
  // of a message finds its connection through it, so a message that outlives
  // its connection never touches freed memory.
  std::uint64_t GetSerial() const noexcept { return serial_; }
  // Runs call with the live connection of that serial number, which stays
  // alive until call returns; EIllegalStateException "The connection is
  // closed" when it is gone.
  static void WithLive(std::uint64_t serial, const std::function<void(TKsJMSConnection&)>& call);

  // Counts the changes to which consumer owns which subscription: consumers
  // coming and going (a new session has none), sessions leaving,
  // subscriptions renewed. Shared with the sessions, which bump it and may
  // outlive this connection.
  using TChangeCount = std::shared_ptr<std::atomic<std::uint64_t>>;
  const TChangeCount& ConsumerChanges() const noexcept { return consumerChanges_; }

 private:
  [[noreturn]] void RaiseLost() const;
  using TSessionList = TKsSnapshotList<TKsJMSSession>::TList;
  // OnLink with failover, out of the way of the calls without; a wait for
  // the link lasts at most until deadline.
  template <class Op>
  [[gnu::noinline]] auto OnFailoverLink(TKsLinkUse use, Op& op, std::chrono::steady_clock::time_point deadline)
      -> decltype(op(std::uint64_t{}));
  // The member-function OnLink with failover: the usual case (the link is
  // up and stays up) without more than the lease, inside the caller's frame
  // (a frame of its own cost a per-message path a few per cent more).
  template <auto Step, class Object, class... Args>
  [[gnu::always_inline]] auto OnFailoverStep(TKsLinkUse use, Object* object, Args&... args) {
    using R = decltype((object->*Step)(std::uint64_t{0}, args...));
    {
      TKsFailover::TLease lease;
      if (failover_->TryEnter(lease)) {
        try {
          return (object->*Step)(lease.Link(), args...);
        } catch (...) {
          if (!LinkTroubleUnder(lease)) throw;
        }
        if (use != TKsLinkUse::Retry) return LinkWentDownFor<R>(use);
      }
    }
    return OnFailoverStepLater<Step>(use, object, args...);
  }
  // OnFailoverStep once the link is down, or went down under the step.
  template <auto Step, class Object, class... Args>
  [[gnu::noinline]] auto OnFailoverStepLater(TKsLinkUse use, Object* object, Args&... args) {
    using R = decltype((object->*Step)(std::uint64_t{0}, args...));
    auto op = [&](std::uint64_t link) -> R { return (object->*Step)(link, args...); };
    return OnFailoverLink(use, op, std::chrono::steady_clock::time_point::max());
  }
  // Inside a catch block of an operation under lease: true when what it
  // caught is the link going down under it (a loss it saw itself is
  // reported first); false for anything else, which the caller raises.
  bool LinkTroubleUnder(const TKsFailover::TLease& lease);
  // What an operation of that use answers when its link went down under
  // it: IfUp none, Once EKsLinkInterrupted.
  template <class R>
  R LinkWentDownFor(TKsLinkUse use) {
    if (use == TKsLinkUse::Once) throw EKsLinkInterrupted(failover_->GetCause());
    if constexpr (!std::is_void_v<R>) return R{};
  }
  // The receive proper, on a link that is up; tells the deadline of a
  // limited timed receive, once it takes one, in *deadlineOut.
  [[gnu::always_inline]] std::shared_ptr<IMessage> ReceiveOnLink(
      const TKsMessageConsumer* consumer, TKsReceiveWait wait, std::int32_t timeout,
      std::chrono::steady_clock::time_point* deadlineOut = nullptr);
  // ReceiveFor with failover: the usual case (the link is up and stays
  // up), and the rest once the link is down or went down under the receive
  // (started: the receive's deadline when it took one).
  std::shared_ptr<IMessage> ReceiveOverFailover(const TKsMessageConsumer* consumer, TKsReceiveWait wait,
                                                std::int32_t timeout);
  std::shared_ptr<IMessage> ReceiveAcrossOutage(const TKsMessageConsumer* consumer, TKsReceiveWait wait,
                                                std::int32_t timeout, std::chrono::steady_clock::time_point deadline);
  // False on the reader thread and inside a listener: a wait for the link
  // there would hold up the reconnect that it waits for.
  bool MayWaitForLink() const noexcept;
  // True when the connection is lost, or its link is down for now.
  bool LinkBroken() const noexcept;
  // The failover's hooks (KsFailover.hpp).
  std::uint64_t OpenLink(std::size_t target);
  void CutLink();
  void RestoreLink(std::uint64_t link);
  // The connection is lost for good: later calls raise, the exception
  // listener is told once.
  void MarkLost(const std::string& cause);
  // A listener slot, read and replaced under listenerLock_.
  template <class T>
  std::shared_ptr<T> LoadListener(const std::shared_ptr<T>& slot) const;
  template <class T>
  void StoreListener(std::shared_ptr<T>& slot, const std::shared_ptr<T>& listener);
  std::shared_ptr<const TSessionList> SessionSnapshot() const { return sessions_.Snapshot(); }
  // Reads at most one frame for ReceiveFor; false when the wait is over.
  // leftMs: the time left until deadline when the caller has just taken it
  // (-1: taken here from the clock). Inlined into ReadAsTheReader.
  [[gnu::always_inline]] inline bool ReadOneFrame(TKsReceiveWait wait, std::chrono::steady_clock::time_point deadline,
                                                  bool limited, std::int32_t leftMs = -1);
  std::shared_ptr<IMessage> TakeHeldLocked(const TKsMessageConsumer* consumer);

  struct THeld {
    const TKsMessageConsumer* consumer;  // identity only; its messages go when it does
    std::shared_ptr<IMessage> message;
    std::size_t bytes;
  };
  // Hands message to the listener of consumer. A delivery that begins while
  // this thread is already inside a listener of this connection (a listener
  // whose Commit reads frames while it waits for the receipt) is queued and
  // made after that listener returns, in arrival order.
  // Inlined into DispatchTo: it is on the path of every listener's message.
  [[gnu::always_inline]] inline void Deliver(const std::shared_ptr<TKsMessageConsumer>& consumer,
                                             const std::shared_ptr<IMessage>& message);
  // Queues a delivery for after the listener that runs on this thread.
  void Defer(const std::shared_ptr<TKsMessageConsumer>& consumer, const std::shared_ptr<IMessage>& message);
  // After a delivery that failed (first is its error) or that queued others:
  // makes the queued deliveries, then raises first.
  void FinishDelivery(std::exception_ptr& first);
  // The deliveries queued while a listener ran; the first error is kept in
  // first (when it is empty), later ones are reported.
  void DeliverDeferred(std::exception_ptr& first);
  // A consumer as the index knows it (see TKsConsumerRoutes).
  using TIndexed = TKsConsumerRoutes::TRoute;
  // The entry found last, when the index is current and that entry is
  // subscription's (a run of one subscription's messages, or the one
  // consumer), else nullptr: a few checks without a call. Inlined into
  // DispatchTo.
  [[gnu::always_inline]] inline const TIndexed* LastFound(std::string_view subscription) const;
  // The index entry of the consumer of this connection whose subscription
  // is subscription, or nullptr: one look-up in the index below, without a
  // lock, once the index is current (rebuilt when the change count has
  // moved). The entry stays valid until the next call. Only after
  // LastFound has answered nullptr for subscription.
  const TIndexed* FindConsumer(std::string_view subscription) const;
  // True when the message of found's consumer went straight to the receive
  // on this thread that reads for that consumer (message is then empty).
  [[gnu::always_inline]] static inline bool TakenByReceive(const TIndexed& found, std::shared_ptr<IMessage>& message);
  // The index as it is at change count changes: every consumer of every
  // session under its current subscription id, taken under the list locks.
  void RebuildConsumerIndex(std::uint64_t changes) const;
  std::shared_ptr<TKsMessageConsumer> SearchConsumer(std::string_view subscription) const;
  // Dispatch once the message's subscription is known. Its usual cases
  // (the receive's own message, and the first look of every other) make no
  // call of their own: the rest is left to the two below.
  void DispatchTo(std::string_view subscription, std::shared_ptr<IMessage>&& message);
  // DispatchTo when the entry found last is not subscription's (kept out
  // of DispatchTo, whose usual cases then need no saved registers).
  [[gnu::noinline]] void DispatchLookedUp(std::string_view subscription, std::shared_ptr<IMessage>&& message);
  // DispatchTo for the consumer of found (none: nullptr) when no receive on
  // this thread took the message: its listener, or the holding area.
  [[gnu::noinline]] void DispatchFound(const TIndexed* found, std::string_view subscription, std::shared_ptr<IMessage>&& message);
  // Dispatch without the frame's header: the message's property names the
  // subscription (nothing happens without a message).
  void DispatchUnnamed(std::shared_ptr<IMessage>&& message);
  // Puts message into the holding area for consumer and wakes the receives.
  void Hold(const TKsMessageConsumer* consumer, const std::shared_ptr<IMessage>& message);
  // Waits (lock held on entry and exit) for what another reader hands over,
  // until deadline, or reads one frame itself; false when the time is up.
  // True when the connection's reader thread reads the stream (and this is
  // another thread).
  [[gnu::always_inline]] inline bool ReaderThreadReads();
  // Takes the reading role (reading_) when nothing is held and nobody else
  // reads; the caller then reads with ReadAsTheReader.
  [[gnu::always_inline]] inline bool FreeToRead();
  // ReceiveFor past its first reads: under the lock, a held message of
  // consumer, or the wait for one (reading in turn) until deadline.
  std::shared_ptr<IMessage> ReceiveHeldOrWait(const TKsMessageConsumer* consumer, TKsReceiveWait wait,
                                              std::chrono::steady_clock::time_point deadline, bool limited);
  // Reads one frame with reading_ already set by the caller, clears it and
  // wakes the waiters; the lock is not held.
  // Inlined into its few callers: it is on the path of every receive.
  [[gnu::always_inline]] inline bool ReadAsTheReader(TKsReceiveWait wait,
                                                     std::chrono::steady_clock::time_point deadline, bool limited,
                                                     const TKsMessageConsumer* consumer,
                                                     std::shared_ptr<IMessage>* result, std::int32_t leftMs = -1);
  // A read's fault, caught by the reader: stored in error to be raised
  // once reading_ is cleared; a lost stream first marks the connection lost.
  // Called inside the catch block.
  void ReadFault(std::exception_ptr& error);
  // Clears reading_ and wakes the receives that wait for it.
  [[gnu::always_inline]] inline void EndReading();
  void WakeWaiters();
  // ReceiveOnLink past its first read: the read that waits, then the
  // holding area; *result is empty on entry.
  void ReceiveWaiting(const TKsMessageConsumer* consumer, TKsReceiveWait wait, std::int32_t timeout,
                      std::chrono::steady_clock::time_point* deadlineOut, std::shared_ptr<IMessage>& result);
  // A read for consumer hands its message straight to *result.
  bool WaitOrRead(std::unique_lock<std::mutex>& lock, TKsReceiveWait wait,
                  std::chrono::steady_clock::time_point deadline, bool limited,
                  const TKsMessageConsumer* consumer = nullptr, std::shared_ptr<IMessage>* result = nullptr);

  void OnReceipt(const std::string& id);
  // Close's work, on the one thread that closes; answers what went wrong,
  // for the exception listener.
  std::string CloseOnce();
  // Ends every blocked read and write of the transport (the socket is shut
  // down); any thread.
  void ShutdownTransport();
  // The cause to report for a transport error seen on a read or write: the
  // adapter's own when it gave the link up, else seen.
  std::string CauseOfLoss(const std::string& seen) const;

  mutable std::mutex heldLock_;  // guards held_, heldBytes_ and the receipts
  std::condition_variable heldChanged_;
  std::deque<THeld> held_;
  std::size_t heldBytes_ = 0;
  std::atomic<std::size_t> heldCount_{0};  // held_.size(), read without the lock
  std::atomic<bool> reading_{false};       // one thread reads the socket for the receives
  std::atomic<int> waiters_{0};            // threads waiting on heldChanged_ for a hand-over
  struct TDeferred {
    std::shared_ptr<TKsMessageConsumer> consumer;
    std::shared_ptr<IMessage> message;
  };
  std::mutex deferredLock_;
  std::deque<TDeferred> deferred_;  // deliveries waiting for the listener that runs
  std::atomic<std::size_t> deferredCount_{0};  // deferred_.size(), read without the lock
  // The client's adapter as the library's own adapter class (none for an
  // adapter of another kind); the client keeps the adapter it was given.
  TKsCommAdapter* ownAdapter_ = nullptr;
  std::vector<std::string> awaitedReceipts_;  // receipt ids asked for and not yet arrived
  std::vector<std::string> arrivedReceipts_;  // awaited ids whose RECEIPT came
  std::uint64_t nextReceipt_ = 0;
  std::int32_t receiptTimeout_ = 10000;
  bool syncSend_ = false;
  std::atomic<bool> lost_{false};
  std::string lostCause_;  // written once, before lost_ is set
  mutable std::mutex listenerLock_;
  std::shared_ptr<IExceptionListener> exceptionListener_;
  std::shared_ptr<ITransportListener> transportListener_;  // guarded by listenerLock_
  std::vector<TKsLinkTarget> targets_;   // the brokers of a failover URI
  std::unique_ptr<TKsFailover> failover_;  // none without a failover URI
  const std::uint64_t serial_;

  std::string clientId_;
  TKsSnapshotList<TKsJMSSession> sessions_;
  TChangeCount consumerChanges_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  // The consumers by subscription id as they were at a change count, and
  // the route found last (a run of one subscription's messages, or the one
  // consumer, finds it again without a hash). Used only by the thread
  // reading frames (one at a time).
  struct TConsumerIndex {
    TKsConsumerRoutes routes;
    const TIndexed* last = nullptr;
    std::uint64_t changes = ~std::uint64_t{0};
  };
  mutable TConsumerIndex consumerIndex_;
  std::unique_ptr<TKsJMSClient> client_;
  std::atomic<bool> started_{false};
  std::atomic<bool> closed_{false};
  std::mutex closeLock_;                     // held by the thread that closes
  std::atomic<std::thread::id> closingThread_{};  // that thread, while it does
  std::atomic<bool> skipsNoted_{false};      // a message was skipped (FrameSkipped)
  std::int32_t connectTimeout_ = 0;
  bool connectTimeoutGiven_ = false;
  std::int32_t sendTimeout_ = -1;
  bool connectFailed_ = false;
  std::string connectFailureText_;
  std::shared_ptr<IMessageTransformer> messageTransformer_;
  bool clientIdSetExplicitly_ = false;
};

class TKsJMSSession : public IMessageDispatch,
                      public virtual IStoppable,
                      public virtual IStartable,
                      public ISession,
                      public std::enable_shared_from_this<TKsJMSSession> {
 public:
  // Called by TKsJMSConnection::CreateSession only; starts at once when the
  // connection is started.
  TKsJMSSession(TKsJMSConnection* connection, std::uint8_t acknowledgeMode);
  static std::shared_ptr<TKsJMSSession> Create(TKsJMSConnection* connection, std::uint8_t acknowledgeMode);
  ~TKsJMSSession() override;

  TKsJMSSession(const TKsJMSSession&) = delete;
  TKsJMSSession& operator=(const TKsJMSSession&) = delete;

  // IMessageDispatch: hands the message to the listener consumer whose id
  // equals its "subscription"; an assertion failure "Found no Matching
  // Consumer for message" when this session has listener consumers and none
  // matches.
  void Dispatch(const std::shared_ptr<IMessage>& message) override;
  // The consumer of this session whose id is subscription, or none.
  // listenerSeen is set when this session has a listener consumer.
  std::shared_ptr<TKsMessageConsumer> FindConsumer(std::string_view subscription, bool& listenerSeen) const;
  // Appends this session's consumers to out, in creation order.
  void ListConsumers(std::vector<std::shared_ptr<TKsMessageConsumer>>& out) const;
  // The connection is going away: the session closes without a frame and
  // lets go of its consumers and producers. Every later operation that needs
  // the connection raises EIllegalStateException "The session is closed".
  void Orphan();
  // IStartable / IStoppable. Stop stops every consumer and pauses once
  // after the last (TKsMessageConsumer::Stop's pause).
  void Start() override;
  void Stop() override;
  // Stop without the pause; true when a consumer was stopped (the pause is
  // then due).
  bool StopConsumers();

  // ISession
  void Close() override;
  void Commit() override;
  std::shared_ptr<IBytesMessage> CreateBytesMessage() override;
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination) override;
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                   const std::string& messageSelector) override;
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                   const std::string& messageSelector, bool noLocal) override;
  std::shared_ptr<ITopicSubscriber> CreateDurableSubscriber(const std::shared_ptr<ITopic>& topic,
                                                            const std::string& name) override;
  std::shared_ptr<IMessage> CreateMessage() override;
  std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>& destination) override;
  std::shared_ptr<IQueue> CreateQueue(const std::string& name) override;
  // Under the "activemq" and "rabbitmq" dialects a "/temp-queue/" (and,
  // for ActiveMQ, "/temp-topic/") destination with a random name; under
  // "jms" EJMSException "Feature not supported", and RabbitMQ's temporary
  // topic EUnsupportedOperationException.
  std::shared_ptr<IQueue> CreateTemporaryQueue() override;
  std::shared_ptr<ITopic> CreateTemporaryTopic() override;
  std::shared_ptr<IObjectMessage> CreateObjectMessage() override;
  std::shared_ptr<IObjectMessage> CreateObjectMessage(void* object) override;
  std::shared_ptr<ITextMessage> CreateTextMessage() override;
  std::shared_ptr<ITextMessage> CreateTextMessage(const std::string& text) override;
  std::shared_ptr<ITopic> CreateTopic(const std::string& name) override;
  std::uint8_t GetAcknowledgeMode() const override;
  bool GetTransacted() const override;
  void Rollback() override;
  void Unsubscribe(const std::string& destinationName, const std::string& subscriptionName) override;

  // The send path of producers: stamps delivery mode, priority, expiration
  // and (when transacted) the transaction over the message's own fields
  // (the caller's object is never changed; one of an application's own
  // message classes is copied into one of the library's first) and hands
  // it to the client. A transacted or confirmed send holds the session's
  // lock throughout; a plain one takes none of the session's.
  void Send(TKsMessageProducer* producer, const std::shared_ptr<IDestination>& destination,
            const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode, std::uint8_t priority,
            std::uint32_t timeToLive, std::int32_t sendTimeout);
  // Send's usual case, for a producer that knows the wire name of its own
  // destination and sends to it with the stamp at its defaults (not
  // persistent, priority 4, no time to live): an own text message without
  // fields or properties, no transaction, no confirmation and no failover
  // goes to the client with the producer's head written already
  // (TKsJMSClient::SendUsual); any other message goes Send's general way
  // to wireName, tried only once. Raises as Send. head and wireName: the
  // producer's (TKsMessageProducer::UsualHead, KnownWireName).
  void SendUsual(const TKsSendHead& head, const std::string& wireName, const std::shared_ptr<IMessage>& message,
                 std::int32_t sendTimeout) {
    CheckNotClosed();
    if (UsualSends() && SendUsualOpen(head, message.get(), sendTimeout)) [[likely]] return;
    SendDefaultsTo(wireName, message, sendTimeout);
  }

  // A transacted session acknowledges every message it delivers inside its
  // current transaction (an ACK with the transaction id), so that Commit
  // consumes it and Rollback gives it back; other sessions do nothing here.
  void AcknowledgeDelivered(TKsMessageConsumer& consumer, const IMessage& message);
  // The UNSUBSCRIBE of a consumer that is closed. On RabbitMQ, a transacted
  // session sends it only once the current transaction has ended (after
  // COMMIT or ABORT, before the NACKs of a rollback), when the consumer
  // delivered in it: the broker refuses the transaction's ACKs for a
  // subscription that has gone.
  void EndSubscription(const TKsMessageConsumer& consumer);
  // GetTransacted without a virtual call.
  bool IsTransacted() const noexcept { return acknowledgeMode_ == SESSION_TRANSACTED; }
  // True when an ACK of one of the session's subscriptions acknowledges
  // every earlier message of that subscription as well ("ack:client": client
  // acknowledgement and transacted sessions).
  bool AcknowledgesCumulatively() const noexcept {
    return acknowledgeMode_ == CLIENT_ACKNOWLEDGE || acknowledgeMode_ == SESSION_TRANSACTED;
  }
  // True when the session's subscriptions are acknowledged by the client
  // (client and individual acknowledgement, transacted sessions).
  bool AcknowledgesByClient() const noexcept {
    return acknowledgeMode_ == CLIENT_ACKNOWLEDGE || acknowledgeMode_ == SESSION_TRANSACTED ||
           acknowledgeMode_ == INDIVIDUAL_ACKNOWLEDGE;
  }

  // After a reconnect: every consumer not yet subscribed on link
  // subscribes again, under its id and with its options. On the failover
  // thread, while no operation uses the link.
  void RestoreSubscriptions(std::uint64_t link);
  // True when a consumer of this session has a listener.
  bool HasListenerConsumer() const;

  // Noted by consumers when a listener is set; lets CheckNoListener skip
  // sessions that never had one.
  void NoteListenerSet() noexcept { listenerEverSet_.store(true, std::memory_order_release); }
  // EIllegalStateException "Cannot synchronously receive a message when a
  // MessageListener is set" when any consumer of this session has a listener.
  void CheckNoListener() const {
    // A session whose consumers never had a listener needs no look.
    if (listenerEverSet_.load(std::memory_order_acquire)) [[unlikely]] CheckNoListenerSet();
  }
  // EIllegalStateException "The session is closed".
  void CheckNotClosed() const {
    if (closed_) [[unlikely]] RaiseClosed();
  }

  void AddConsumer(const std::shared_ptr<TKsMessageConsumer>& consumer);
  void RemoveConsumer(const TKsMessageConsumer* consumer);
  void AddProducer(const std::shared_ptr<TKsMessageProducer>& producer);
  void RemoveProducer(const TKsMessageProducer* producer);

  std::shared_ptr<IMessageTransformer> GetMessageTransformer() const { return messageTransformer_; }
  TKsJMSConnection* GetConnection() const noexcept { return connection_; }
  bool GetStarted() const noexcept { return started_.load(std::memory_order_acquire); }
  bool GetClosed() const noexcept { return closed_; }
  // True once the connection is gone (Orphan): GetConnection must not be used.
  bool GetOrphaned() const noexcept { return orphaned_.load(std::memory_order_acquire); }
  const std::string& GetTransactionId() const noexcept { return transactionContext_.GetTransactionId(); }

 private:
  [[noreturn]] static void RaiseClosed();
  using TConsumerList = TKsSnapshotList<TKsMessageConsumer>::TList;

  void BeginTransaction();
  // COMMIT (commit) or ABORT with a receipt, then BEGIN of the next
  // transaction; raises when the broker does not confirm in time. After an
  // ABORT, every consumer that delivered messages in the transaction
  // subscribes anew, so that the broker delivers them again. A transaction
  // that lost its link is rolled back instead of committed
  // (ETransactionRolledBackException); a rollback whose link goes down is
  // done (the broker dropped the transaction).
  void EndTransaction(bool commit, TKsLinkUse use = TKsLinkUse::Once);
  // sendLock_ held, under a lease on link: a transaction begun on another
  // link went with it. When it did any work it is rolled back at the next
  // Commit; a new one begins on link.
  void FollowLink(std::uint64_t link) {
    if (link != transactionLink_ && link != 0 && acknowledgeMode_ == SESSION_TRANSACTED) BeginOnNewLink();
  }
  void BeginOnNewLink();
  // SUBSCRIBE for consumer under its current subscription id.
  void Subscribe(TKsMessageConsumer& consumer);
  // Subscribe for a new consumer, unless its link is down (then the
  // restore subscribes it).
  void SubscribeNew(TKsMessageConsumer& consumer);
  // A random name for a temporary destination.
  static std::string TemporaryName();
  // EUnsupportedOperationException for individual acknowledgement on a
  // connection that speaks STOMP 1.0.
  void CheckAckModeSupported() const;
  // After an ABORT: ends consumer's subscription and subscribes it anew.
  void Resubscribe(TKsMessageConsumer& consumer);
  void CloseSession();
  std::shared_ptr<const TConsumerList> ConsumerSnapshot() const { return consumers_.Snapshot(); }
  // Dispose every consumer, then every producer, last made first, and
  // empty both lists.
  void DisposeChildren();
  // Counts a change of which consumer owns which subscription.
  void NoteConsumerChange() const noexcept { consumerChanges_->fetch_add(1, std::memory_order_acq_rel); }
  std::shared_ptr<IMessageConsumer> NewConsumer(const std::shared_ptr<IDestination>& destination,
                                                const std::string& messageSelector, bool noLocal);
  // True when the session's sends may take SendUsual's way at all: not
  // transacted, no confirmed sends, no failover. In place, so that the
  // sends that may not cost only these looks before the general way.
  bool UsualSends() const noexcept {
    return acknowledgeMode_ != SESSION_TRANSACTED && !connection_->GetSyncSend() && !connection_->HasFailover();
  }
  // SendTo with the stamp at its defaults, out of SendUsual's way.
  [[gnu::noinline]] void SendDefaultsTo(const std::string& wireName, const std::shared_ptr<IMessage>& message,
                                        std::int32_t sendTimeout);
  // SendUsual once the session is known to be open and UsualSends.
  bool SendUsualOpen(const TKsSendHead& head, const IMessage* message, std::int32_t sendTimeout);
  // Send to a destination other than the producer's own: named first.
  void SendNamed(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message,
                 TDeliveryMode deliveryMode, std::uint8_t priority, std::uint32_t timeToLive,
                 std::int32_t sendTimeout);
  // Send once the destination's wire name is known: the stamp is made and
  // the send runs on the link (SendOnLink).
  [[gnu::always_inline]] void SendTo(const std::string& destinationName, const std::shared_ptr<IMessage>& message,
                                     TDeliveryMode deliveryMode, std::uint8_t priority, std::uint32_t timeToLive,
                                     std::int32_t sendTimeout);
  // Send once the stamp is made, on the link of that id (see
  // TKsJMSConnection::OnLink): the transaction joins the stamp, and the
  // message (or the library's copy of it) goes to SendOwn.
  [[gnu::always_inline]] void SendOnLink(std::uint64_t link, const IMessage& message, TKsSendStamp& stamp,
                                         const std::string& destinationName, std::int32_t sendTimeout);
  // SendOnLink for a transacted or confirmed send: under the session's
  // send lock.
  void SendLocked(std::uint64_t link, const IMessage& message, TKsSendStamp& stamp,
                  const std::string& destinationName, std::int32_t sendTimeout);
  // One of the library's own message classes goes to SendOwn as it is;
  // any other is first copied into one (SendCopy).
  [[gnu::always_inline]] void SendStamped(const IMessage& message, const TKsSendStamp& stamp,
                                          const std::string& destinationName, std::int32_t sendTimeout);
  void SendCopy(const IMessage& message, const TKsSendStamp& stamp, const std::string& destinationName,
                std::int32_t sendTimeout);
  // The message to the client (SendConfirmed for a confirmed send).
  [[gnu::always_inline]] void SendOwn(const TKsJMSMessage& message, const TKsSendStamp& stamp,
                                      const std::string& destinationName, std::int32_t sendTimeout);
  // The send with a receipt request, and the wait for the receipt.
  void SendConfirmed(const TKsJMSMessage& message, const TKsSendStamp& stamp, const std::string& destinationName,
                     std::int32_t sendTimeout);

  // CheckNoListener's look at each consumer, once a listener was set.
  void CheckNoListenerSet() const;

  std::atomic<bool> closed_{false};
  std::atomic<bool> orphaned_{false};
  std::atomic<bool> listenerEverSet_{false};
  std::recursive_mutex sendLock_;
  std::uint8_t acknowledgeMode_;
  TKsSnapshotList<TKsMessageConsumer> consumers_;
  TKsSnapshotList<TKsMessageProducer> producers_;
  TKsJMSConnection* connection_;  // the connection outlives its sessions
  TKsJMSConnection::TChangeCount consumerChanges_;  // the connection's count
  TKsTransactionContext transactionContext_;
  // The messages consumed in the current transaction, as NACK names them,
  // kept (under sendLock_) only where a rollback must hand them back one by
  // one (RabbitMQ).
  struct TConsumed {
    std::string messageId;
    std::string subscription;
    std::string ackId;
    std::string consumer;  // the consumer's subscription id, in every version
  };
  std::vector<TConsumed> consumedInTransaction_;
  // The transaction's link (its BEGIN went there; 0: none yet), whether it
  // sent or acknowledged anything, and whether its next Commit must roll
  // it back instead (its work went with a link). Under sendLock_.
  std::uint64_t transactionLink_ = 0;
  bool transactionUsed_ = false;
  bool rollbackOnly_ = false;
  // Subscription ids whose UNSUBSCRIBE waits for the end of the current
  // transaction (see EndSubscription); under sendLock_.
  std::vector<std::string> closedInTransaction_;
  std::shared_ptr<IMessageTransformer> messageTransformer_;
  std::atomic<bool> started_{false};
  // The library's copies of sent messages of the application's own classes.
  TKsScratch<TKsOutgoingMessage> outgoing_;
};

template <class Op>
auto TKsJMSConnection::OnFailoverLink(TKsLinkUse use, Op& op, std::chrono::steady_clock::time_point deadline)
    -> decltype(op(std::uint64_t{})) {
  using R = decltype(op(std::uint64_t{}));
  for (;;) {
    std::optional<TKsFailover::TLease> lease = failover_->TryEnter();
    if (!lease) lease = failover_->Enter(deadline, MayWaitForLink(), use != TKsLinkUse::IfUp);
    if (!lease) {
      if constexpr (std::is_void_v<R>) {
        return;
      } else {
        return R{};
      }
    }
    try {
      return op(lease->Link());
    } catch (...) {
      if (!LinkTroubleUnder(*lease)) throw;
    }
    if (use != TKsLinkUse::Retry) return LinkWentDownFor<R>(use);
  }
}

}  // namespace ks
