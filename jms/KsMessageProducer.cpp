#include "jms/KsMessageProducer.hpp"

#include <utility>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsQueue.hpp"
#include "jms/KsTopic.hpp"

namespace ks {

TKsMessageProducer::TKsMessageProducer(TKsJMSSession* session, std::int32_t sendTimeout,
                                       std::shared_ptr<IDestination> destination)
    : TKsMessageProducerSupport(session),
      destination_(std::move(destination)),
      transformer_(session->GetMessageTransformer()),
      sendTimeout_(sendTimeout) {
  const IDestination* own = destination_.get();
  if (dynamic_cast<const TKsQueue*>(own) != nullptr || dynamic_cast<const TKsTopic*>(own) != nullptr) {
    wireName_ = TKsJMSClient::GetDestinationName(destination_, session->GetConnection()->GetClient().GetDialect());
    wireNameKnown_ = true;
    usualHead_ = TKsSendHead(wireName_);
    // Transactions and failover are the session's and the connection's
    // from the start: a producer whose sends can never take the usual way
    // does not ask for it on every send.
    usualSends_ = !session->IsTransacted() && !session->GetConnection()->HasFailover();
  }
}

std::shared_ptr<TKsMessageProducer> TKsMessageProducer::Create(TKsJMSSession* session, std::int32_t sendTimeout,
                                                               std::shared_ptr<IDestination> destination) {
  auto producer = std::make_shared<TKsMessageProducer>(session, sendTimeout, std::move(destination));
  producer->sessionHold_ = session->weak_from_this().lock();
  session->AddProducer(producer);
  return producer;
}

void TKsMessageProducer::Close() {
  if (!closed_) Dispose();
}

void TKsMessageProducer::Dispose() {
  if (closed_) return;
  closed_ = true;
  session_->RemoveProducer(this);  // may release the session's reference
}

void TKsMessageProducer::CheckClosed() const { CheckOpen(); }

void TKsMessageProducer::RaiseClosed() { throw EIllegalStateException("The producer is closed"); }

inline void TKsMessageProducer::SendOpen(const std::shared_ptr<IDestination>& destination,
                                         const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode,
                                         std::uint8_t priority, std::uint32_t timeToLive) {
  if (transformer_ && SendTransformed(destination, message, deliveryMode, priority, timeToLive)) [[unlikely]] {
    return;
  }
  if (!destination) RaiseNoDestination();
  session_->Send(this, destination, message, deliveryMode, priority, timeToLive, sendTimeout_);
}

bool TKsMessageProducer::SendTransformed(const std::shared_ptr<IDestination>& destination,
                                         const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode,
                                         std::uint8_t priority, std::uint32_t timeToLive) {
  auto replaced = transformer_->ProducerTransform(session_, this, message);
  if (!replaced) return false;
  if (!destination) RaiseNoDestination();
  session_->Send(this, destination, replaced, deliveryMode, priority, timeToLive, sendTimeout_);
  return true;
}

void TKsMessageProducer::Send(const std::shared_ptr<IMessage>& message) {
  // The producer's own defaults, read after one closed check.
  CheckOpen();
  // The usual send to the producer's own destination, at the defaults,
  // untransformed, goes the session's short way (SendUsual).
  if (!transformer_ && usualSends_ && deliveryMode_ != TDeliveryMode::Persistent && priority_ == 4 &&
      timeToLive_ == 0) [[likely]] {
    session_->SendUsual(usualHead_, wireName_, message, sendTimeout_);
    return;
  }
  SendOpen(destination_, message, deliveryMode_, static_cast<std::uint8_t>(priority_), timeToLive_);
}

void TKsMessageProducer::Send(const std::shared_ptr<IDestination>& destination,
                              const std::shared_ptr<IMessage>& message) {
  CheckOpen();
  SendOpen(destination, message, deliveryMode_, static_cast<std::uint8_t>(priority_), timeToLive_);
}

void TKsMessageProducer::Send(const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode,
                              std::uint8_t priority, std::uint32_t timeToLive) {
  CheckOpen();
  SendOpen(destination_, message, deliveryMode, priority, timeToLive);
}

void TKsMessageProducer::Send(const std::shared_ptr<IDestination>& destination,
                              const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode,
                              std::uint8_t priority, std::uint32_t timeToLive) {
  CheckOpen();
  SendOpen(destination, message, deliveryMode, priority, timeToLive);
}

void TKsMessageProducer::RaiseNoDestination() const {
  throw EUnsupportedOperationException(destination_ ? "Don't understand null destinations."
                                                    : "A destination must be specified.");
}

}  // namespace ks
