#include "jms/KsMessageConsumer.hpp"

#include <charconv>
#include <chrono>
#include <thread>
#include <utility>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "support/KsLineAllocator.hpp"

namespace ks {

TKsMessageConsumer::TKsMessageConsumer(TKsJMSSession* session, std::shared_ptr<IMessageListener> listener,
                                       bool noLocal, std::string messageSelector,
                                       std::shared_ptr<IDestination> destination,
                                       std::unique_ptr<TKsConsumerID> consumerId)
    : listenerAt_(listener.get()),
      plainDelivery_(!session->GetMessageTransformer() && !session->IsTransacted()),
      listener_(listener),
      destination_(std::move(destination)),
      consumerId_(std::move(consumerId)),
      session_(session),
      messageSelector_(std::move(messageSelector)),
      transformer_(session->GetMessageTransformer()),
      noLocal_(noLocal) {
  KS_ASSERT(consumerId_ != nullptr, "Consumer needs an id");
  if (listener) session_->NoteListenerSet();
  if (session_->GetConnection()->GetStarted()) Start();
}

std::shared_ptr<TKsMessageConsumer> TKsMessageConsumer::Create(TKsJMSSession* session,
                                                               std::shared_ptr<IMessageListener> listener,
                                                               bool noLocal, std::string messageSelector,
                                                               std::shared_ptr<IDestination> destination,
                                                               std::unique_ptr<TKsConsumerID> consumerId) {
  // On a line of its own with its counts: see the first members.
  auto consumer = std::allocate_shared<TKsMessageConsumer>(TKsLineAllocator<TKsMessageConsumer>(), session,
                                                           std::move(listener), noLocal, std::move(messageSelector),
                                                           std::move(destination), std::move(consumerId));
  consumer->HoldSession();
  return consumer;
}

TKsMessageConsumer::~TKsMessageConsumer() = default;

void TKsMessageConsumer::HoldSession() { sessionHold_ = session_->weak_from_this().lock(); }

void TKsMessageConsumer::RaiseClosed() { throw EIllegalStateException("The consumer is closed"); }

std::shared_ptr<IMessageListener> TKsMessageConsumer::GetMessageListener() const {
  return listener_.load(std::memory_order_acquire);
}

void TKsMessageConsumer::SetMessageListener(const std::shared_ptr<IMessageListener>& listener) {
  CheckClosed();
  if (listener) session_->NoteListenerSet();
  std::shared_ptr<IMessageListener> old;  // released outside the lock
  {
    std::lock_guard<std::mutex> guard(listenerLock_);
    // Room for the old listener, should it have to wait: nothing below raises.
    retired_.reserve(retired_.size() + 1);
    old = listener_.exchange(listener, std::memory_order_acq_rel);
    listenerAt_.store(listener.get(), std::memory_order_seq_cst);
    // A DeliverToListener call that holds the claim may be running the old
    // listener: the old one then waits until that call ends, which releases
    // it.
    std::uint32_t use = listenerUse_.load(std::memory_order_seq_cst);
    while (old && (use & kListenerInUse) != 0) {
      if (listenerUse_.compare_exchange_weak(use, use | kListenerRetired, std::memory_order_seq_cst)) {
        retired_.push_back(std::move(old));
      }
    }
  }
  if (listener && session_->GetStarted()) Start();
}

std::string TKsMessageConsumer::GetMessageSelector() const { return messageSelector_; }

std::shared_ptr<IMessage> TKsMessageConsumer::DoReceive(TKsReceiveWait wait, std::int32_t timeout) {
  CheckClosed();
  session_->CheckNoListener();
  // Nothing to do with the message but return it (the usual case).
  if (plainDelivery_) [[likely]] return session_->GetConnection()->ReceiveFor(this, wait, timeout);
  std::shared_ptr<IMessage> message = session_->GetConnection()->ReceiveFor(this, wait, timeout);
  if (message && session_->IsTransacted()) session_->AcknowledgeDelivered(*this, *message);
  if (transformer_) {
    if (auto replaced = transformer_->ConsumerTransform(session_, this, message)) message = std::move(replaced);
  }
  return message;
}

std::shared_ptr<IMessage> TKsMessageConsumer::Receive() { return DoReceive(TKsReceiveWait::Blocking, 0); }

std::shared_ptr<IMessage> TKsMessageConsumer::Receive(std::int32_t timeout) {
  return DoReceive(TKsReceiveWait::Timed, timeout);
}

std::shared_ptr<IMessage> TKsMessageConsumer::ReceiveNoWait() { return DoReceive(TKsReceiveWait::NoWait, 0); }

void TKsMessageConsumer::Close() {
  const bool sessionOpen = !session_->GetClosed();
  Dispose();
  // Closed also when the UNSUBSCRIBE cannot be written: the consumer has
  // already left its session.
  closed_ = true;
  // Without its session (closed, or gone with its connection) there is no
  // subscription left to end; nor is there on a link that is down, or on
  // one it never subscribed on.
  if (!sessionOpen) return;
  TKsJMSConnection* connection = session_->GetConnection();
  // A subscription the broker made cannot be ended (it ends with the
  // connection).
  if (TKsJMSClient::BrokerMadeSubscription(connection->GetClient().GetDialect(), SubscriptionId())) return;
  connection->OnLink(TKsLinkUse::IfUp, [&](std::uint64_t link) {
    const std::uint64_t subscribed = SubscribedOn();
    if (link != 0 && subscribed != 0 && subscribed != link) return;
    session_->EndSubscription(*this);
  });
}

void TKsMessageConsumer::ReleaseRetired() noexcept {
  std::vector<std::shared_ptr<IMessageListener>> released;  // released outside the lock
  std::lock_guard<std::mutex> guard(listenerLock_);
  released.swap(retired_);
  listenerUse_.store(0, std::memory_order_release);
}

void TKsMessageConsumer::Dispatch(const std::shared_ptr<IMessage>& message) {
  // Inside the transaction before the listener runs, so that a Commit of
  // the listener covers this message.
  if (message && session_->IsTransacted()) session_->AcknowledgeDelivered(*this, *message);
  if (!transformer_) {
    if (const auto listener = GetMessageListener()) listener->OnMessage(message);
    return;
  }
  std::shared_ptr<IMessage> held = message;
  if (auto replaced = transformer_->ConsumerTransform(session_, this, held)) held = std::move(replaced);
  if (const auto listener = GetMessageListener()) listener->OnMessage(held);
}

const TKsConsumerID& TKsMessageConsumer::GetConsumerID() const { return *consumerId_; }

void TKsMessageConsumer::NextSubscription() {
  subscriptionGeneration_.fetch_add(1, std::memory_order_acq_rel);
  std::lock_guard<std::mutex> guard(skippedLock_);
  skipped_.clear();
}

bool TKsMessageConsumer::NoteSkipped(const std::string& text) {
  if (!session_->AcknowledgesCumulatively()) return false;
  std::lock_guard<std::mutex> guard(skippedLock_);
  if (skipped_.empty()) skipped_ = text;
  return true;
}

void TKsMessageConsumer::CheckNothingSkipped(const char* what) const {
  std::lock_guard<std::mutex> guard(skippedLock_);
  if (skipped_.empty()) return;
  throw EIllegalStateException(std::string(what) + " refused: " + skipped_ +
                               ", and an acknowledgement of a later message of its subscription would acknowledge "
                               "it as well");
}

std::string TKsMessageConsumer::SubscriptionId() const {
  const std::uint32_t generation = subscriptionGeneration_.load(std::memory_order_acquire);
  if (generation == 0) return consumerId_->GetID();
  return consumerId_->GetID() + "." + std::to_string(generation);
}

bool TKsMessageConsumer::OwnsSubscription(std::string_view subscription) const {
  const std::string& base = consumerId_->GetID();
  if (subscription.substr(0, base.size()) != base) return false;
  const std::uint32_t generation = subscriptionGeneration_.load(std::memory_order_acquire);
  if (subscription.size() == base.size()) return generation == 0;
  if (generation == 0 || subscription[base.size()] != '.') return false;
  std::uint32_t value = 0;
  const char* first = subscription.data() + base.size() + 1;
  const char* last = subscription.data() + subscription.size();
  auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last && value == generation;
}

void TKsMessageConsumer::Start() {
  if (!HasListener() || session_->GetOrphaned()) return;
  if (IStompCommAdapter* adapter = session_->GetConnection()->GetClient().GetAdapter()) adapter->Start();
}

void TKsMessageConsumer::Stop() {
  if (StopReading()) PauseAfterStop();
}

bool TKsMessageConsumer::StopReading() {
  if (session_->GetOrphaned()) return false;
  if (IStompCommAdapter* adapter = session_->GetConnection()->GetClient().GetAdapter()) adapter->Stop();
  return true;
}

void TKsMessageConsumer::PauseAfterStop() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

void TKsMessageConsumer::Dispose() {
  session_->RemoveConsumer(this);
  // Messages held for this consumer have nobody left to receive them.
  if (!session_->GetOrphaned()) session_->GetConnection()->DropHeld(this);
}

// ---- TKsTopicSubscriber ---------------------------------------------------

TKsTopicSubscriber::TKsTopicSubscriber(TKsJMSSession* session, std::string name, std::shared_ptr<ITopic> topic,
                                       std::unique_ptr<TKsConsumerID> consumerId)
    : TKsMessageConsumer(session, nullptr, false, std::string(), std::move(topic), std::move(consumerId)),
      name_(std::move(name)) {}

std::shared_ptr<TKsTopicSubscriber> TKsTopicSubscriber::Create(TKsJMSSession* session, std::string name,
                                                               std::shared_ptr<ITopic> topic,
                                                               std::unique_ptr<TKsConsumerID> consumerId) {
  auto subscriber = std::allocate_shared<TKsTopicSubscriber>(TKsLineAllocator<TKsTopicSubscriber>(), session,
                                                             std::move(name), std::move(topic), std::move(consumerId));
  subscriber->HoldSession();
  return subscriber;
}

bool TKsTopicSubscriber::GetNoLocal() const { return GetNoLocalFlag(); }

std::shared_ptr<ITopic> TKsTopicSubscriber::GetTopic() const { return IntfCast<ITopic>(GetDestination()); }

}  // namespace ks
