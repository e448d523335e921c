// KsMessageConsumer: TKsMessageConsumer, one subscription of a session to one
// destination, and TKsTopicSubscriber, the durable topic subscriber.
//
// A consumer receives either synchronously (Receive, Receive(time-out),
// ReceiveNoWait: the next message of its own subscription, read on the
// caller's thread through the connection, which holds messages read for
// other consumers until they receive them) or through a message listener
// called on the connection's reader thread. A receive on a connection the
// broker has closed raises EConnectionFailedException with the transport's
// reason.
// Close sends UNSUBSCRIBE (every time it is called, while its session is
// open; on RabbitMQ a transacted session may send it at the end of the
// transaction, see TKsJMSSession::EndSubscription) and drops the messages
// held for it; Dispose only leaves the session's list. Operations on a closed consumer raise EIllegalStateException "The
// consumer is closed", and on a consumer whose session is closed (or whose
// connection is gone) "The session is closed".
//
// Ownership: made by Create and added to its session's list by the session.
// The consumer keeps its session alive with a counted reference; it owns its
// id.
// Threads: receives run on the application's thread (several consumers of
// one connection may receive on several threads at once); Dispatch and the
// listener on the reader thread. The listener reference is guarded so that
// it may be set while messages arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "jms/KsConsumerID.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSInterfaces.hpp"

namespace ks {

class TKsJMSSession;

class TKsMessageConsumer : public virtual IMessageConsumer,
                           public IConsumerIdentity,
                           public virtual IStoppable,
                           public virtual IStartable,
                           public virtual IDisposable {
 public:
  // Starts at once (Start) when the connection is already started. The
  // session adds the consumer to its list.
  TKsMessageConsumer(TKsJMSSession* session, std::shared_ptr<IMessageListener> listener, bool noLocal,
                     std::string messageSelector, std::shared_ptr<IDestination> destination,
                     std::unique_ptr<TKsConsumerID> consumerId);
  static std::shared_ptr<TKsMessageConsumer> Create(TKsJMSSession* session,
                                                    std::shared_ptr<IMessageListener> listener, bool noLocal,
                                                    std::string messageSelector,
                                                    std::shared_ptr<IDestination> destination,
                                                    std::unique_ptr<TKsConsumerID> consumerId);
  ~TKsMessageConsumer() override;

  // IMessageConsumer
  std::shared_ptr<IMessageListener> GetMessageListener() const override;
  void SetMessageListener(const std::shared_ptr<IMessageListener>& listener) override;
  std::string GetMessageSelector() const override;
  std::shared_ptr<IMessage> Receive() override;
  std::shared_ptr<IMessage> Receive(std::int32_t timeout) override;
  std::shared_ptr<IMessage> ReceiveNoWait() override;
  void Close() override;
  void Dispatch(const std::shared_ptr<IMessage>& message) override;
  // Dispatch for a caller that keeps the consumer alive until the call
  // returns (the connection): unless another such call runs meanwhile, the
  // listener runs without a reference taken for the message (see
  // listenerUse_).
  void DeliverToListener(const std::shared_ptr<IMessage>& message) {
    std::uint32_t idle = 0;
    if (!plainDelivery_ ||
        !listenerUse_.compare_exchange_strong(idle, kListenerInUse, std::memory_order_seq_cst)) [[unlikely]] {
      Dispatch(message);
      return;
    }
    const TListenerClaim claim{this};
    if (IMessageListener* listener = listenerAt_.load(std::memory_order_seq_cst)) listener->OnMessage(message);
  }

  // IConsumerIdentity
  const TKsConsumerID& GetConsumerID() const override;
  // IStartable: starts the connection's reader when a listener is set.
  void Start() override;
  // IStoppable: stops the connection's reader, then pauses 20 ms.
  void Stop() override;
  // Stop without the pause, for a session or connection that stops all its
  // consumers and pauses once after the last; false when nothing was told
  // to stop (the session has no connection any more).
  bool StopReading();
  // The pause after a stop, which lets the reader settle.
  static void PauseAfterStop();
  // IDisposable: leaves the session's list; nothing is sent.
  void Dispose() override;

  bool HasListener() const { return listenerAt_.load(std::memory_order_acquire) != nullptr; }
  // The id of the consumer's current subscription on the wire: the consumer
  // id, then "." and a number once the subscription was renewed (after a
  // rolled-back transaction).
  std::string SubscriptionId() const;
  // True when subscription (a MESSAGE's "subscription") is the current one.
  bool OwnsSubscription(std::string_view subscription) const;
  // The next subscription id (the session then subscribes under it); what
  // was skipped under the old one no longer counts.
  void NextSubscription();
  // Set when the consumer delivered a message inside its session's
  // transaction; Take answers and clears it.
  void MarkDeliveredInTransaction() { deliveredInTransaction_.store(true, std::memory_order_release); }
  bool TakeDeliveredInTransaction() { return deliveredInTransaction_.exchange(false, std::memory_order_acq_rel); }
  bool DeliveredInTransaction() const { return deliveredInTransaction_.load(std::memory_order_acquire); }
  // A message of the current subscription was skipped for its size (text
  // says which). Where an ACK is cumulative (client acknowledgement,
  // transacted sessions) any later ACK of the subscription would
  // acknowledge the skipped message as well, so from now on
  // CheckNothingSkipped refuses; true then. Any thread.
  bool NoteSkipped(const std::string& text);
  // EIllegalStateException "<what> refused: ..." after NoteSkipped.
  void CheckNothingSkipped(const char* what) const;
  bool GetClosed() const noexcept { return closed_; }
  // The link the consumer last subscribed on (0: none yet).
  std::uint64_t SubscribedOn() const noexcept { return subscribedOn_.load(std::memory_order_acquire); }
  void SetSubscribedOn(std::uint64_t link) noexcept { subscribedOn_.store(link, std::memory_order_release); }
  bool GetNoLocalFlag() const noexcept { return noLocal_; }
  const std::shared_ptr<IDestination>& GetDestination() const noexcept { return destination_; }

 protected:
  // EIllegalStateException "The consumer is closed" when closed, and the
  // session's "The session is closed" when the session (or its connection)
  // is gone.
  void CheckClosed() const {
    if (closed_) [[unlikely]] RaiseClosed();
    // A consumer that outlived its session (or its connection) must not
    // reach the transport any more.
    session_->CheckNotClosed();
  }
  // Takes the counted reference to the session (when the session is
  // shared-owned); called by Create.
  void HoldSession();

 private:
  std::shared_ptr<IMessage> DoReceive(TKsReceiveWait wait, std::int32_t timeout);
  // Ends DeliverToListener's claim on the listener, also when the listener
  // raises.
  struct TListenerClaim {
    TKsMessageConsumer* consumer;
    ~TListenerClaim() {
      if (consumer->listenerUse_.fetch_sub(kListenerInUse, std::memory_order_acq_rel) != kListenerInUse) [[unlikely]] {
        consumer->ReleaseRetired();
      }
    }
  };
  // Releases the listeners replaced while a claim was held, and clears the
  // claim's state; called when the claim ends.
  void ReleaseRetired() noexcept;
  // EIllegalStateException "The consumer is closed".
  [[noreturn]] static void RaiseClosed();

  // What a delivery to the listener reads and writes comes first, next to
  // the reference counts that precede the object in its allocation (see
  // Create): with many consumers, a message then touches one or two cache
  // lines of its consumer.
  // listener_'s object, for DeliverToListener to call without a reference,
  // and for the checks made on every message (HasListener).
  std::atomic<IMessageListener*> listenerAt_;
  // DeliverToListener's claim on listenerAt_: kListenerInUse while a call
  // runs the listener without a reference (one call at a time; another
  // meanwhile takes a reference), plus kListenerRetired once a listener
  // replaced meanwhile waits in retired_. The call that ends the claim
  // releases what waits, then clears the state; a replacement made while no
  // claim is held releases the old listener itself, as it always did.
  static constexpr std::uint32_t kListenerInUse = 1;
  static constexpr std::uint32_t kListenerRetired = 2;
  std::atomic<std::uint32_t> listenerUse_{0};
  // Neither a transacted session nor a transformer: delivery only calls the
  // listener. Fixed at construction.
  bool plainDelivery_;
  // The listener: read without a lock; replaced under listenerLock_ (which
  // orders replacements with listenerAt_ and retired_).
  mutable std::mutex listenerLock_;
  std::atomic<std::shared_ptr<IMessageListener>> listener_;
  std::vector<std::shared_ptr<IMessageListener>> retired_;  // under listenerLock_
  std::shared_ptr<IDestination> destination_;
  std::unique_ptr<TKsConsumerID> consumerId_;
  TKsJMSSession* session_;  // kept alive by sessionHold_ (or by its owner)
  std::shared_ptr<TKsJMSSession> sessionHold_;
  std::string messageSelector_;
  std::shared_ptr<IMessageTransformer> transformer_;
  bool noLocal_;
  bool closed_ = false;
  std::atomic<std::uint32_t> subscriptionGeneration_{0};
  std::atomic<bool> deliveredInTransaction_{false};
  std::atomic<std::uint64_t> subscribedOn_{0};
  mutable std::mutex skippedLock_;
  std::string skipped_;  // the first skip's text, under skippedLock_
};

class TKsTopicSubscriber : public TKsMessageConsumer, public virtual ITopicSubscriber {
 public:
  TKsTopicSubscriber(TKsJMSSession* session, std::string name, std::shared_ptr<ITopic> topic,
                     std::unique_ptr<TKsConsumerID> consumerId);
  static std::shared_ptr<TKsTopicSubscriber> Create(TKsJMSSession* session, std::string name,
                                                    std::shared_ptr<ITopic> topic,
                                                    std::unique_ptr<TKsConsumerID> consumerId);

  bool GetNoLocal() const override;
  std::shared_ptr<ITopic> GetTopic() const override;
  const std::string& GetSubscriptionName() const noexcept { return name_; }

 private:
  std::string name_;
};

}  // namespace ks
