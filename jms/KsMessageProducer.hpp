// KsMessageProducer: TKsMessageProducer, the producer a session hands out.
// It checks its state and the destination, offers the message to the
// session's transformer, and passes everything else to the session's send.
//
// Ownership: made by Create, which registers the producer in its session's
// list; Close or Dispose takes it out again. The producer keeps its session
// alive with a counted reference; a send after the session closed (or its
// connection went away) raises "The session is closed".
// Threads: no lock of its own; several threads may send at once (the
// transport keeps their frames whole, a transacted session serialises them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "jms/KsMessageProducerSupport.hpp"
#include "jms/KsSendHead.hpp"

namespace ks {

class TKsMessageProducer : public TKsMessageProducerSupport, public virtual IDisposable {
 public:
  TKsMessageProducer(TKsJMSSession* session, std::int32_t sendTimeout, std::shared_ptr<IDestination> destination);
  // Builds the producer and adds it to the session's producer list.
  static std::shared_ptr<TKsMessageProducer> Create(TKsJMSSession* session, std::int32_t sendTimeout,
                                                    std::shared_ptr<IDestination> destination);

  void Close() override;
  void Send(const std::shared_ptr<IMessage>& message) override;
  void Send(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message) override;
  void Send(const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode, std::uint8_t priority,
            std::uint32_t timeToLive) override;
  // EUnsupportedOperationException "A destination must be specified." /
  // "Don't understand null destinations." when destination is none.
  void Send(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message,
            TDeliveryMode deliveryMode, std::uint8_t priority, std::uint32_t timeToLive) override;

  // IDisposable: leave the session's list and be closed.
  void Dispose() override;

  bool GetClosed() const noexcept { return closed_; }
  std::int32_t GetSendTimeout() const noexcept { return sendTimeout_; }
  // The wire name of destination when it is the producer's own and one of
  // the library's destination classes (whose names never change), worked
  // out once when the producer was made; else nullptr.
  const std::string* KnownWireName(const std::shared_ptr<IDestination>& destination) const noexcept {
    return destination == destination_ && wireNameKnown_ ? &wireName_ : nullptr;
  }
  // The head of a usual send to the wire name KnownWireName answers (see
  // TKsSendHead); valid whenever that name is.
  const TKsSendHead& UsualHead() const noexcept { return usualHead_; }

 protected:
  // EIllegalStateException "The producer is closed".
  void CheckClosed() const override;

 private:
  // CheckClosed without the virtual call (the send path's).
  void CheckOpen() const {
    if (closed_) [[unlikely]] RaiseClosed();
  }
  [[noreturn]] static void RaiseClosed();
  // EUnsupportedOperationException for a send without a destination.
  [[noreturn]] void RaiseNoDestination() const;
  // The transformer's replacement of message, when it makes one, sent in
  // its place (true); false when it makes none.
  bool SendTransformed(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message,
                       TDeliveryMode deliveryMode, std::uint8_t priority, std::uint32_t timeToLive);
  // Send once the producer is known to be open: the transformer, the
  // destination check, then the session's send.
  [[gnu::always_inline]] void SendOpen(const std::shared_ptr<IDestination>& destination,
                                       const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode,
                                       std::uint8_t priority, std::uint32_t timeToLive);

  std::shared_ptr<IDestination> destination_;
  std::string wireName_;  // see KnownWireName
  bool wireNameKnown_ = false;
  TKsSendHead usualHead_;  // see UsualHead
  bool usualSends_ = false;  // the wire name is known, no transaction, no failover: see Send
  bool closed_ = false;
  std::shared_ptr<IMessageTransformer> transformer_;
  std::int32_t sendTimeout_;
  // Keeps the session alive while the producer exists (empty for a session
  // that is not shared-owned).
  std::shared_ptr<TKsJMSSession> sessionHold_;
};

}  // namespace ks
