#include "jms/KsJMSConnection.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsMessageConsumer.hpp"
#include "jms/KsMessageProducer.hpp"
#include "jms/KsQueue.hpp"
#include "jms/KsTopic.hpp"
#include "jms/KsURI.hpp"
#include "net/KsTcpClient.hpp"
#include "stomp/KsCommAdapter.hpp"
#include "support/KsDateTime.hpp"
#include "support/KsLog.hpp"
#include "support/KsScopedValue.hpp"
#include "support/KsWatchdog.hpp"

namespace ks {

namespace {

// The SUBSCRIBE options that make a RabbitMQ subscription durable.
constexpr std::string_view kRabbitDurableOptions = "durable=true&auto-delete=false";

// Adds name=value options to a destination text, after "?" or "&"; the
// protocol client's Subscribe sends each as a header.
void AppendOptions(std::string& destination, std::string_view options) {
  destination += destination.find('?') == std::string::npos ? '?' : '&';
  destination += options;
}

std::atomic<std::uint64_t> nextSerial{1};

// The live connections by serial number, for messages that outlive theirs.
struct TLiveConnections {
  std::mutex lock;
  std::unordered_map<std::uint64_t, TKsJMSConnection*> bySerial;
};

TLiveConnections& LiveConnections() {
  static TLiveConnections live;
  return live;
}

// The subscription a received message carries.
std::string_view SubscriptionOf(const IMessage& message, std::string& copy) {
  if (const TKsMessage* own = AsOwnMessage(&message)) return own->GetProperties().Find("subscription");
  copy = message.GetStringProperty("subscription");
  return copy;
}

std::size_t BodyBytesOf(const IMessage& message) {
  if (const TKsJMSTextMessage* text = AsOwnTextMessage(&message)) return text->GetTextRef().size();
  if (const TKsMessage* own = AsOwnMessage(&message)) return own->GetContentRef().size();
  return 0;
}

// The connection whose exception listener runs on this thread right now.
thread_local const TKsJMSConnection* tReportingFor = nullptr;

// The connections whose listeners run on this thread right now, as a chain
// of marks on the stack (innermost first): entered and left in strict
// nesting, without an allocation. Like the two below it is used for every
// message, so it has the initial-exec model: the library is compiled
// position-independent, and the default model would make every access a
// call into the run-time (or, linked into a program, a sequence the
// compiler must treat as one).
struct TDeliveringMark {
  const TKsJMSConnection* connection;
  const TDeliveringMark* outer;
};
[[gnu::tls_model("initial-exec")]] thread_local const TDeliveringMark* tDelivering = nullptr;

bool IsDelivering(const TKsJMSConnection* connection) {
  for (const TDeliveringMark* mark = tDelivering; mark != nullptr; mark = mark->outer) {
    if (mark->connection == connection) return true;
  }
  return false;
}

// True while this thread runs a listener of connection (a message listener
// or its exception listener).
bool InsideListenerOf(const TKsJMSConnection* connection) {
  return tReportingFor == connection || IsDelivering(connection);
}

// A synchronous receive reading on this thread: the consumer it reads for,
// and the message of that consumer the read produced (handed over directly,
// without the holding area).
[[gnu::tls_model("initial-exec")]] thread_local const TKsMessageConsumer* tReadingFor = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local std::shared_ptr<IMessage>* tReadResult = nullptr;

}  // namespace

// ---- TKsJMSConnection -----------------------------------------------------

TKsJMSConnection::TKsJMSConnection(std::unique_ptr<TKsJMSClient> client)
    : serial_(nextSerial.fetch_add(1, std::memory_order_relaxed)),
      client_(std::move(client)) {
  {
    TLiveConnections& live = LiveConnections();
    std::lock_guard<std::mutex> guard(live.lock);
    live.bySerial[serial_] = this;
  }
  KS_ASSERT(client_ != nullptr, "Connection needs a client");
  client_->SetDispatchTarget(this);
  client_->SetOnReceipt([this](TKsStompCustomClient*, const std::shared_ptr<IStompFrame>& frame) {
    OnReceipt(frame->GetHeader("receipt-id"));
  });
  ownAdapter_ = dynamic_cast<TKsCommAdapter*>(client_->GetAdapter());
  client_->SetOnTransportError([this](const std::string& text) { ConnectionLost(CauseOfLoss(text)); });
  if (TKsCommAdapter* adapter = ownAdapter_) {
    adapter->SetOnFault([this](const std::string& text, bool connectionLost) {
      if (connectionLost) {
        ConnectionLost(text);
      } else {
        ReportException(EJMSException(text));
      }
    });
    adapter->SetOnFrameSkipped([this](const TKsSkippedFrame& skipped) { FrameSkipped(skipped); });
  }
}

std::shared_ptr<TKsJMSConnection> TKsJMSConnection::Create(std::unique_ptr<TKsJMSClient> client) {
  return std::make_shared<TKsJMSConnection>(std::move(client));
}

void TKsJMSConnection::WithLive(std::uint64_t serial, const std::function<void(TKsJMSConnection&)>& call) {
  TLiveConnections& live = LiveConnections();
  std::unique_lock<std::mutex> guard(live.lock);
  auto it = live.bySerial.find(serial);
  if (it == live.bySerial.end()) throw EIllegalStateException("The connection is closed");
  TKsJMSConnection* connection = it->second;
  // A shared-owned connection is kept alive by a reference for the call;
  // otherwise (not shared-owned, or its destructor is about to unregister
  // it) the registry's lock keeps it whole until the call returns.
  if (const auto held = connection->weak_from_this().lock()) {
    guard.unlock();
    call(*held);
    return;
  }
  call(*connection);
}

TKsJMSConnection::~TKsJMSConnection() {
  {
    TLiveConnections& live = LiveConnections();
    std::lock_guard<std::mutex> guard(live.lock);
    live.bySerial.erase(serial_);
  }
  Close();
  // Sessions (and through them producers and consumers) that the
  // application still holds must not reach this object any more.
  for (const auto snapshot = SessionSnapshot(); const auto& session : *snapshot) session->Orphan();
  const auto orphaned = sessions_.TakeAll();
  // The client must no longer call back into this object while it is freed.
  client_->SetMessageCallback(nullptr);
  client_.reset();
}

std::shared_ptr<IMessageTransformer> TKsJMSConnection::GetMessageTransformer() const { return messageTransformer_; }

void TKsJMSConnection::SetMessageTransformer(const std::shared_ptr<IMessageTransformer>& value) {
  if (started_) throw Exception("Connection started already!");
  messageTransformer_ = value;
}

std::string TKsJMSConnection::GetClientID() const { return clientId_; }

void TKsJMSConnection::SetClientID(const std::string& clientId) {
  CheckConnection();
  if (clientIdSetExplicitly_) throw EIllegalStateException("The ClientID has already been set");
  // Nothing marks a connection as used, so a fresh one always accepts its id.
  client_->SetClientID(clientId);
  clientId_ = clientId;
  clientIdSetExplicitly_ = true;
}

void TKsJMSConnection::FactorySetClientID(const std::string& clientId) {
  client_->SetClientID(clientId);
  SetClientID(clientId);
  clientIdSetExplicitly_ = true;
}

void TKsJMSConnection::SetConnectTimeout(std::int32_t milliseconds) {
  connectTimeout_ = milliseconds;
  connectTimeoutGiven_ = true;
}

void TKsJMSConnection::SetBatchSend(bool enabled, std::int32_t delayMs) { client_->SetBatchSend(enabled, delayMs); }

void TKsJMSConnection::CheckConnection() const {
  if (closed_) throw Exception("Connection is closed");
  if (connectFailed_) throw EConnectionFailedException(connectFailureText_);
}

void TKsJMSConnection::CheckClientIdSet() const {
  if (!clientIdSetExplicitly_) {
    throw EJMSException("You cannot create a durable subscriber without specifying a unique clientID on a Connection");
  }
}

void TKsJMSConnection::Start() {
  if (!closed_ && failover_ && failover_->GetState() == TKsFailover::TState::Idle) {
    // The failover makes the first connect (to its brokers in turn).
    connectFailed_ = false;
    connectFailureText_.clear();
    try {
      failover_->Open();
    } catch (const std::exception& error) {
      connectFailed_ = true;
      connectFailureText_ = error.what();
    }
  } else if (!closed_ && !failover_) {
    IStompCommAdapter* adapter = client_->GetAdapter();
    // A socket that is open without a completed log-in (the broker answered
    // CONNECT with an ERROR) counts as not connected, so Start retries.
    const bool connected = adapter != nullptr && adapter->Connected() && client_->GetLoggedIn();
    if (!connected) {
      connectFailed_ = false;
      connectFailureText_.clear();
      try {
        KS_ASSERT(adapter != nullptr, "Connection has no transport adapter");
        if (adapter->Connected()) adapter->Disconnect();
        if (connectTimeoutGiven_) adapter->SetConnectTimeout(connectTimeout_);
        client_->Connect();
        if (!adapter->Connected() || !client_->GetLoggedIn()) connectFailed_ = true;
      } catch (const std::exception& error) {
        connectFailed_ = true;
        connectFailureText_ = error.what();
      }
      if (connectFailed_ && adapter != nullptr) {
        // Leave no half-open socket behind a failed attempt.
        try {
          if (adapter->Connected()) adapter->Disconnect();
        } catch (...) {
        }
      }
    }
  }
  CheckConnection();
  const auto sessions = SessionSnapshot();
  for (const auto& session : *sessions) session->Start();
  started_ = true;
}

void TKsJMSConnection::Stop() {
  if (!started_) return;
  const auto sessions = SessionSnapshot();
  // Every consumer stops the reader; the pause that lets it settle comes
  // once, after the last, not once per consumer (a thousand consumers made
  // it twenty seconds).
  bool stopped = false;
  for (const auto& session : *sessions) stopped = session->StopConsumers() || stopped;
  if (stopped) TKsMessageConsumer::PauseAfterStop();
  started_ = false;
}

void TKsJMSConnection::Close() {
  if (closed_.load(std::memory_order_acquire)) return;
  if (closingThread_.load() == std::this_thread::get_id()) return;  // from inside this very Close
  // One thread closes; the others wait for it. A listener of this connection
  // does not wait: the Close under way may be waiting for it to return.
  std::unique_lock<std::mutex> closing(closeLock_, std::defer_lock);
  if (InsideListenerOf(this)) {
    if (!closing.try_lock()) return;
  } else {
    closing.lock();
  }
  if (closed_.load(std::memory_order_acquire)) return;
  closingThread_.store(std::this_thread::get_id());
  const std::string failure = CloseOnce();
  closed_.store(true, std::memory_order_release);
  closingThread_.store(std::thread::id());
  closing.unlock();
  // Whether everything sent arrived is unknown: as grave as a lost
  // connection for whoever must know (a loss was told already).
  if (!failure.empty() && !GetLost()) ReportException(EConnectionFailedException(failure));
}

std::string TKsJMSConnection::CloseOnce() {
  try {
    Stop();
  } catch (...) {
  }
  started_ = false;
  // Failover ends first; a link that is down is not logged out of.
  const bool linkUp = failover_ ? failover_->Close() : true;
  IStompCommAdapter* adapter = client_->GetAdapter();
  std::string failure;
  // A write below may wait behind a send that a broker which reads no more
  // holds up: past the receipt time-out the connection counts as lost,
  // which shuts the socket down and so ends them both.
  TKsWatchdog watchdog([this] {
    ConnectionLost("Close ended a write that the broker had not taken within " + std::to_string(receiptTimeout_) +
                   " ms");
  });
  const std::chrono::milliseconds bound(std::max<std::int32_t>(receiptTimeout_, 0));
  if (linkUp && client_->GetLoggedIn() && !GetLost()) {
    // DISCONNECT asks for a receipt: once it has come, the broker has
    // processed every frame sent before it.
    try {
      const std::string id = ExpectReceipt();
      watchdog.Arm(bound);
      client_->StompDisconnect(id);
      watchdog.Disarm();
      if (AwaitReceipt(id)) {
        if (auto* own = dynamic_cast<TKsCommAdapter*>(adapter)) own->SkipClosePause();
      } else if (!LinkBroken()) {
        failure = "The broker did not confirm DISCONNECT within " + std::to_string(receiptTimeout_) + " ms";
      }
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  // The socket goes in every case (also when the log-in never completed),
  // after the batch's timer. DISCONNECT has written what was gathered.
  if (client_->GetBatchSend()) {
    watchdog.Arm(bound);
    client_->StopBatch(false);
    watchdog.Disarm();
  }
  try {
    if (adapter != nullptr) adapter->Disconnect();
  } catch (...) {
  }
  return failure;
}

void TKsJMSConnection::ShutdownTransport() {
  if (ownAdapter_ != nullptr) ownAdapter_->ShutdownTransport();
}

std::string TKsJMSConnection::GetProtocolVersion() const {
  if (closed_ || !client_->GetLoggedIn()) return std::string();
  return std::string(VersionText(client_->GetVersion()));
}

template <class T>
std::shared_ptr<T> TKsJMSConnection::LoadListener(const std::shared_ptr<T>& slot) const {
  std::lock_guard<std::mutex> guard(listenerLock_);
  return slot;
}

template <class T>
void TKsJMSConnection::StoreListener(std::shared_ptr<T>& slot, const std::shared_ptr<T>& listener) {
  std::shared_ptr<T> old;  // released outside the lock
  std::lock_guard<std::mutex> guard(listenerLock_);
  old = std::exchange(slot, listener);
}

std::shared_ptr<IExceptionListener> TKsJMSConnection::GetExceptionListener() const {
  return LoadListener(exceptionListener_);
}

void TKsJMSConnection::SetExceptionListener(const std::shared_ptr<IExceptionListener>& listener) {
  StoreListener(exceptionListener_, listener);
}

void TKsJMSConnection::ReportException(const Exception& error) {
  const auto listener = GetExceptionListener();
  if (!listener) return;
  const TKsScopedValue<const TKsJMSConnection*> reporting(tReportingFor, this);
  try {
    listener->OnException(error);
  } catch (...) {
    // The listener's own trouble must not take the reporting thread down.
  }
}

std::shared_ptr<ITransportListener> TKsJMSConnection::GetTransportListener() const {
  return LoadListener(transportListener_);
}

void TKsJMSConnection::SetTransportListener(const std::shared_ptr<ITransportListener>& listener) {
  StoreListener(transportListener_, listener);
}

void TKsJMSConnection::ConnectionLost(const std::string& cause) {
  if (failover_) {
    const TKsFailover::TState state = failover_->GetState();
    // An attempt of the first Start failed: Start says so.
    if (state == TKsFailover::TState::Idle) return;
    if (state != TKsFailover::TState::Closed) {
      // The link is interrupted; the connection is lost only when failover
      // gives up (MarkLost).
      failover_->Interrupted(client_->GetLink(), cause);
      heldChanged_.notify_all();  // receives and receipts waiting for a reader
      return;
    }
  }
  MarkLost(cause);
}

void TKsJMSConnection::MarkLost(const std::string& cause) {
  std::string text;
  {
    std::lock_guard<std::mutex> guard(listenerLock_);
    if (lost_.load(std::memory_order_acquire)) return;
    // Set first, so that no other thread reports this loss again; CheckNotLost
    // waits for the lock, and so for the whole cause.
    lost_.store(true, std::memory_order_release);
    // Nothing waits on the socket any more (a write blocked behind the
    // broker would hold up the batch below).
    ShutdownTransport();
    text = cause;
    if (const std::size_t unwritten = client_->AbandonBatch()) {
      text += " (" + std::to_string(unwritten) + (unwritten == 1 ? " message that Send had accepted was"
                                                                 : " messages that Send had accepted were") +
              " not written)";
    }
    lostCause_ = text;
    client_->SetTransportLost(text);
  }
  heldChanged_.notify_all();  // receives and receipts waiting for a reader
  ReportException(EConnectionFailedException(text));
}

std::string TKsJMSConnection::CauseOfLoss(const std::string& seen) const {
  // A transport error brought about by the adapter giving the link up (the
  // broker stopped beating) is told with that cause.
  std::string cause = ownAdapter_ != nullptr ? ownAdapter_->GetLossCause() : std::string();
  return cause.empty() ? seen : cause;
}

void TKsJMSConnection::FrameSkipped(const TKsSkippedFrame& skipped) {
  const std::string text = skipped.Text();
  if (skipped.Command != "MESSAGE") {
    ReportException(EJMSException(text));
    return;
  }
  if (!skipped.Subscription.empty()) {
    const auto consumer = SearchConsumer(skipped.Subscription);
    if (consumer && consumer->NoteSkipped(text)) skipsNoted_.store(true, std::memory_order_release);
  }
  ReportException(EMessageSkippedException(text, skipped.MessageId, skipped.Destination));
}

void TKsJMSConnection::CheckAcknowledgeable(std::string_view subscription) const {
  if (!skipsNoted_.load(std::memory_order_acquire)) return;
  if (const auto consumer = SearchConsumer(subscription)) consumer->CheckNothingSkipped("Acknowledge");
}

void TKsJMSConnection::RaiseLost() const {
  std::lock_guard<std::mutex> guard(listenerLock_);
  throw EConnectionFailedException(lostCause_);
}

// ---- Failover ---------------------------------------------------------------

void TKsJMSConnection::EnableFailover(std::vector<TKsLinkTarget> targets, const TKsFailoverOptions& options) {
  KS_ASSERT(!targets.empty() && !failover_, "Failover needs its brokers, once");
  targets_ = std::move(targets);
  std::vector<std::string> names;
  for (const TKsLinkTarget& target : targets_) names.push_back(target.name);
  TKsFailover::THooks hooks;
  hooks.connect = [this](std::size_t target) { return OpenLink(target); };
  hooks.cut = [this] { CutLink(); };
  hooks.restore = [this](std::uint64_t link) { RestoreLink(link); };
  // The hooks that tell the application touch nothing of this object after
  // the listener returns: the application may let the connection go in it.
  // What the transport listener raises is dropped.
  auto tell = [this](const auto& call) {
    if (const auto listener = GetTransportListener()) {
      try {
        call(*listener);
      } catch (...) {
      }
    }
  };
  hooks.interrupted = [tell](const std::string& cause) {
    tell([&](ITransportListener& listener) { listener.OnInterrupted(EConnectionFailedException(cause)); });
  };
  hooks.resumed = [tell](const std::string& broker) {
    tell([&](ITransportListener& listener) { listener.OnResumed(broker); });
  };
  hooks.gaveUp = [this](const std::string& cause) { MarkLost(cause); };
  failover_ = std::make_unique<TKsFailover>(std::move(names), options, std::move(hooks));
}

TKsFailover::TState TKsJMSConnection::GetFailoverState() const noexcept {
  return failover_ ? failover_->GetState() : TKsFailover::TState::Idle;
}

bool TKsJMSConnection::MayWaitForLink() const noexcept {
  return !InsideListenerOf(this) && !(ownAdapter_ != nullptr && ownAdapter_->OnReaderThread());
}

bool TKsJMSConnection::LinkTroubleUnder(const TKsFailover::TLease& lease) {
  try {
    throw;
  } catch (const EKsReadTimeout&) {
    return false;
  } catch (const EKsSocketError& error) {
    ConnectionLost(CauseOfLoss(error.what()));
    return failover_->LinkWentDown(lease);
  } catch (const EConnectionFailedException&) {
    return failover_->LinkWentDown(lease);
  } catch (const EKsStompClientNotConnectedError&) {
    return failover_->LinkWentDown(lease);
  } catch (...) {
    return false;
  }
}

bool TKsJMSConnection::LinkChanged(std::uint64_t link) const noexcept {
  return failover_ != nullptr &&
         (failover_->GetState() != TKsFailover::TState::Connected || failover_->GetLink() != link);
}

bool TKsJMSConnection::LinkBroken() const noexcept {
  if (GetLost()) return true;
  if (!failover_) return false;
  const TKsFailover::TState state = failover_->GetState();
  return state != TKsFailover::TState::Connected && state != TKsFailover::TState::Idle &&
         state != TKsFailover::TState::Closed;
}

void TKsJMSConnection::CheckLinkUp(std::uint64_t link) const {
  CheckNotLost();
  if (LinkChanged(link) && failover_->GetState() != TKsFailover::TState::Closed) {
    throw EKsLinkInterrupted(failover_->GetCause());
  }
}

std::uint64_t TKsJMSConnection::OpenLink(std::size_t index) {
  const TKsLinkTarget& target = targets_.at(index);
  IStompCommAdapter* adapter = client_->GetAdapter();
  KS_ASSERT(adapter != nullptr, "Connection has no transport adapter");
  auto dropSocket = [this, adapter] {
    // What is left of a link goes without the pause of a clean close.
    if (ownAdapter_ != nullptr) ownAdapter_->SkipClosePause();
    try {
      adapter->Disconnect();
    } catch (...) {
    }
  };
  dropSocket();
  adapter->SetURI(target.uri);
  adapter->SetSSLOptions(std::make_unique<TKsSSLOptions>(target.ssl));
  if (target.connectTimeout > 0) adapter->SetConnectTimeout(target.connectTimeout);
  client_->SetVirtualHost(target.virtualHost);
  try {
    // Batched sends the last link did not write are kept for this one.
    client_->Connect(true);
  } catch (const EKsStompServerErrorMessage& refused) {
    dropSocket();
    const std::string text = refused.what();
    // ActiveMQ keeps a client id for a while after its connection died:
    // worth another attempt. Any other refusal would only come again.
    if (text.find("InvalidClientIDException") != std::string::npos ||
        text.find("already connected") != std::string::npos) {
      throw Exception(text);
    }
    throw EKsLoginRefused(text);
  } catch (...) {
    dropSocket();
    throw;
  }
  if (!client_->GetLoggedIn()) {
    dropSocket();
    throw Exception("The broker did not log the connection in");
  }
  return client_->GetLink();
}

void TKsJMSConnection::CutLink() {
  client_->SuspendLink(failover_ ? failover_->GetCause() : std::string("The connection is interrupted"));
  ShutdownTransport();
}

void TKsJMSConnection::RestoreLink(std::uint64_t link) {
  // What the last link delivered and nobody received yet comes again from
  // the broker, which never had it acknowledged.
  {
    std::lock_guard<std::mutex> guard(heldLock_);
    held_.clear();
    heldBytes_ = 0;
    heldCount_.store(0, std::memory_order_release);
  }
  client_->ResumeLink();
  bool listeners = false;
  for (const auto snapshot = SessionSnapshot(); const auto& session : *snapshot) {
    session->RestoreSubscriptions(link);
    listeners = listeners || session->HasListenerConsumer();
  }
  // The reader starts again for listeners while nothing else reads.
  if (listeners && GetStarted()) {
    if (IStompCommAdapter* adapter = client_->GetAdapter()) adapter->Start();
  }
}

void TKsJMSConnection::Acknowledge(const TKsMessage& message) {
  OnLink(TKsLinkUse::IfUp, [&](std::uint64_t link) {
    // A delivery of a link that is gone is not the broker's to match any
    // more: it delivers the message again.
    if (link != 0 && message.GetLink() != 0 && message.GetLink() != link) return;
    const TPrimitiveMap& properties = message.GetProperties();
    const std::string_view subscription = properties.Find("subscription");
    CheckAcknowledgeable(subscription);
    // The broker acknowledged it when it delivered it.
    if (TKsJMSClient::BrokerMadeSubscription(client_->GetDialect(), subscription)) return;
    if (client_->GetVersion() == TKsStompVersion::V1_0) {
      client_->Ack(std::string(properties.Front()), std::string());
    } else {
      client_->Ack(TKsAckTarget{properties.Front(), subscription, properties.Find("ack")}, std::string());
    }
  });
}

std::string TKsJMSConnection::ExpectReceipt() {
  std::lock_guard<std::mutex> guard(heldLock_);
  std::string id = "ks-" + std::to_string(++nextReceipt_);
  awaitedReceipts_.push_back(id);
  return id;
}

void TKsJMSConnection::OnReceipt(const std::string& id) {
  {
    std::lock_guard<std::mutex> guard(heldLock_);
    auto it = std::find(awaitedReceipts_.begin(), awaitedReceipts_.end(), id);
    if (it == awaitedReceipts_.end()) return;  // nobody waits for it (any more)
    awaitedReceipts_.erase(it);
    arrivedReceipts_.push_back(id);
  }
  heldChanged_.notify_all();
}

bool TKsJMSConnection::AwaitReceipt(const std::string& id) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<std::int32_t>(receiptTimeout_, 0));
  std::unique_lock<std::mutex> lock(heldLock_);
  auto forget = [this, &id] {
    awaitedReceipts_.erase(std::remove(awaitedReceipts_.begin(), awaitedReceipts_.end(), id), awaitedReceipts_.end());
    arrivedReceipts_.erase(std::remove(arrivedReceipts_.begin(), arrivedReceipts_.end(), id), arrivedReceipts_.end());
  };
  for (;;) {
    auto arrived = std::find(arrivedReceipts_.begin(), arrivedReceipts_.end(), id);
    if (arrived != arrivedReceipts_.end()) {
      arrivedReceipts_.erase(arrived);
      return true;
    }
    if (LinkBroken() || Clock::now() >= deadline) break;
    try {
      WaitOrRead(lock, TKsReceiveWait::Timed, deadline, true);
    } catch (const EKsStompServerErrorMessage&) {
      forget();
      throw;  // the broker refused what the receipt was asked for
    } catch (const EKsSocketError&) {
      break;  // the loss is recorded already
    } catch (const EConnectionFailedException&) {
      break;  // the same, as the read raised it
    } catch (const EKsInvalidContentLength&) {
      // The stream stops at a frame whose end cannot be known: every read
      // would raise this again, and no receipt can come after it.
      forget();
      throw;
    } catch (const Exception& error) {
      // A fault of some other frame read on the way: reported, and the
      // wait goes on.
      ReportException(error);
    }
  }
  forget();
  return false;
}

std::shared_ptr<ISession> TKsJMSConnection::CreateSession(bool transacted, std::uint8_t acknowledgeMode) {
  const std::uint8_t mode = transacted ? SESSION_TRANSACTED : acknowledgeMode;
  auto session = TKsJMSSession::Create(this, mode);
  AddSession(session);
  return session;
}

void TKsJMSConnection::AddSession(const std::shared_ptr<TKsJMSSession>& session) { sessions_.Add(session); }

void TKsJMSConnection::RemoveSession(const TKsJMSSession* session) {
  const auto old = sessions_.Remove(session);  // released outside the lock
  consumerChanges_->fetch_add(1, std::memory_order_acq_rel);
}

void TKsJMSConnection::UnsubscribeDurable(const std::string& destinationName, const std::string& subscriptionName) {
  CheckConnection();
  if (client_->GetDialect() != TKsDialect::RabbitMQ) {
    if (!failover_) {
      client_->UnsubscribeDurable(destinationName, subscriptionName);
      return;
    }
    OnLink(TKsLinkUse::Once, [&](std::uint64_t) { client_->UnsubscribeDurable(destinationName, subscriptionName); });
    return;
  }
  // RabbitMQ removes a durable subscription only through an UNSUBSCRIBE with
  // "durable:true" of a subscription open on this connection: it is opened
  // (taking at most one message, never acknowledged, which goes with the
  // subscription) and removed at once, confirmed by a receipt.
  OnLink(TKsLinkUse::Once, [&](std::uint64_t link) {
    std::string destination = destinationName;
    AppendOptions(destination, kRabbitDurableOptions);
    destination += "&prefetch-count=1";
    client_->Subscribe(destination, true, std::string(), false, std::string(), subscriptionName);
    const std::string receipt = ExpectReceipt();
    client_->UnsubscribeID(subscriptionName, receipt, true);
    if (!AwaitReceipt(receipt)) {
      CheckLinkUp(link);
      throw EJMSException("The broker did not confirm UNSUBSCRIBE within " + std::to_string(GetReceiptTimeout()) +
                          " ms");
    }
  });
}

std::string TKsJMSConnection::GetTransformationName() const {
  if (const auto named = std::dynamic_pointer_cast<ITransformationName>(messageTransformer_)) {
    return named->GetTransformationName();
  }
  return std::string();
}

void TKsJMSConnection::DispatchUnnamed(std::shared_ptr<IMessage>&& message) {
  if (!message) return;
  std::string copy;
  const std::string_view named = SubscriptionOf(*message, copy);
  DispatchTo(named, std::move(message));
}

inline const TKsJMSConnection::TIndexed* TKsJMSConnection::LastFound(std::string_view subscription) const {
  // Ids of other sizes are left to FindConsumer.
  const TIndexed* last = consumerIndex_.last;
  const std::size_t size = subscription.size();
  if (last == nullptr || consumerChanges_->load(std::memory_order_acquire) != consumerIndex_.changes ||
      size != last->size || !TKsConsumerRoutes::MidSize(size) ||
      !TKsConsumerRoutes::SameMidSizeBytes(subscription.data(), last->id, size)) {
    return nullptr;
  }
  return last;
}

const TKsJMSConnection::TIndexed* TKsJMSConnection::FindConsumer(std::string_view subscription) const {
  // Read before a rebuild: a change during it makes the next call rebuild.
  const std::uint64_t changes = consumerChanges_->load(std::memory_order_acquire);
  TConsumerIndex& index = consumerIndex_;
  if (changes != index.changes) {
    RebuildConsumerIndex(changes);
  } else if (!TKsConsumerRoutes::MidSize(subscription.size()) && index.last != nullptr &&
             TKsConsumerRoutes::Matches(*index.last, subscription)) {
    // LastFound compares only ids of 16 to 64 bytes with the route found
    // last.
    return index.last;
  }
  const TIndexed* found = index.routes.Find(subscription);
  if (found != nullptr) index.last = found;
  return found;
}

inline void TKsJMSConnection::Deliver(const std::shared_ptr<TKsMessageConsumer>& consumer,
                                      const std::shared_ptr<IMessage>& message) {
  if (tDelivering != nullptr && IsDelivering(this)) [[unlikely]] {
    Defer(consumer, message);
    return;
  }
  const TDeliveringMark mark{this, tDelivering};
  tDelivering = &mark;
  struct TLeave {
    const TDeliveringMark* outer;
    ~TLeave() { tDelivering = outer; }
  } leave{mark.outer};
  try {
    consumer->DeliverToListener(message);
  } catch (...) {
    std::exception_ptr first = std::current_exception();
    FinishDelivery(first);  // raises first
  }
  if (deferredCount_.load(std::memory_order_acquire) != 0) [[unlikely]] {
    std::exception_ptr none;
    FinishDelivery(none);
  }
}

namespace {

// weak.lock(), without its second look at the count once the reference is
// taken: the consumer being gone is the rare case here.
template <class T>
std::shared_ptr<T> Lock(const std::weak_ptr<T>& weak) noexcept {
  try {
    return std::shared_ptr<T>(weak);
  } catch (const std::bad_weak_ptr&) {
    return nullptr;
  }
}

}  // namespace

inline bool TKsJMSConnection::TakenByReceive(const TIndexed& found, std::shared_ptr<IMessage>& message) {
  // The consumer a receive on this thread reads for is alive while it
  // reads: its own message goes straight back to that receive.
  const TKsMessageConsumer* reading = tReadingFor;
  if (found.at != reading) return false;
  std::shared_ptr<IMessage>* result = tReadResult;
  if (result == nullptr || *result || reading->HasListener()) return false;
  result->swap(message);  // *result was empty
  return true;
}

void TKsJMSConnection::DispatchTo(std::string_view subscription, std::shared_ptr<IMessage>&& message) {
  if (const TIndexed* found = LastFound(subscription)) [[likely]] {
    if (TakenByReceive(*found, message)) return;
    DispatchFound(found, subscription, std::move(message));
    return;
  }
  DispatchLookedUp(subscription, std::move(message));
}

void TKsJMSConnection::DispatchLookedUp(std::string_view subscription, std::shared_ptr<IMessage>&& message) {
  const TIndexed* found = FindConsumer(subscription);
  if (found != nullptr && TakenByReceive(*found, message)) return;
  DispatchFound(found, subscription, std::move(message));
}

void TKsJMSConnection::DispatchFound(const TIndexed* found, std::string_view subscription,
                                     std::shared_ptr<IMessage>&& message) {
  const std::shared_ptr<TKsMessageConsumer> consumer = found != nullptr ? Lock(found->consumer) : nullptr;
  if (!consumer) {
    // A message for a consumer that no longer exists (closed while the
    // message was on its way) or that was never ours: the others go on.
    client_->GetLogger()->Warn("Dropped a message for subscription \"" + std::string(subscription) +
                               "\", which no consumer of this connection owns");
    return;
  }
  if (consumer->HasListener()) {
    Deliver(consumer, message);
  } else {
    Hold(consumer.get(), message);
  }
}

void TKsJMSConnection::RebuildConsumerIndex(std::uint64_t changes) const {
  std::vector<std::shared_ptr<TKsMessageConsumer>> consumers;
  for (const auto snapshot = SessionSnapshot(); const auto& session : *snapshot) session->ListConsumers(consumers);
  TConsumerIndex& index = consumerIndex_;
  index.last = nullptr;
  index.routes.Clear(consumers.size());
  // The first consumer in session and creation order keeps a subscription
  // that two of them share (consumers of one broker-made subscription).
  for (const auto& consumer : consumers) index.routes.Add(consumer->SubscriptionId(), consumer);
  index.changes = changes;
}

std::shared_ptr<TKsMessageConsumer> TKsJMSConnection::SearchConsumer(std::string_view subscription) const {
  // Looked up in place, under the list locks (this one, then each
  // session's): no list is copied for a message.
  bool listenerSeen = false;
  std::shared_ptr<TKsMessageConsumer> found;
  sessions_.Any([&](const std::shared_ptr<TKsJMSSession>& session) {
    found = session->FindConsumer(subscription, listenerSeen);
    return found != nullptr;
  });
  return found;
}

void TKsJMSConnection::Hold(const TKsMessageConsumer* consumer, const std::shared_ptr<IMessage>& message) {
  const std::size_t bytes = BodyBytesOf(*message);
  {
    std::lock_guard<std::mutex> guard(heldLock_);
    held_.push_back(THeld{consumer, message, bytes});
    heldBytes_ += bytes;
    heldCount_.store(held_.size(), std::memory_order_release);
  }
  heldChanged_.notify_all();
}


void TKsJMSConnection::Defer(const std::shared_ptr<TKsMessageConsumer>& consumer,
                             const std::shared_ptr<IMessage>& message) {
  std::lock_guard<std::mutex> guard(deferredLock_);
  deferred_.push_back(TDeferred{consumer, message});
  deferredCount_.fetch_add(1, std::memory_order_release);
}

void TKsJMSConnection::FinishDelivery(std::exception_ptr& first) {
  if (deferredCount_.load(std::memory_order_acquire) != 0) DeliverDeferred(first);
  if (first) std::rethrow_exception(first);
}

void TKsJMSConnection::DeliverDeferred(std::exception_ptr& first) {
  // What arrived meanwhile, in order; each listener's fault is its own.
  while (deferredCount_.load(std::memory_order_acquire) != 0) {
    TDeferred next;
    {
      std::lock_guard<std::mutex> guard(deferredLock_);
      if (deferred_.empty()) break;
      next = std::move(deferred_.front());
      deferred_.pop_front();
      deferredCount_.fetch_sub(1, std::memory_order_release);
    }
    try {
      next.consumer->DeliverToListener(next.message);
    } catch (const Exception& error) {
      if (!first) {
        first = std::current_exception();
      } else {
        ReportException(error);
      }
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
}

std::shared_ptr<IMessage> TKsJMSConnection::TakeHeldLocked(const TKsMessageConsumer* consumer) {
  for (auto it = held_.begin(); it != held_.end(); ++it) {
    if (it->consumer != consumer) continue;
    std::shared_ptr<IMessage> message = std::move(it->message);
    heldBytes_ -= it->bytes;
    held_.erase(it);
    heldCount_.store(held_.size(), std::memory_order_release);
    return message;
  }
  return nullptr;
}

void TKsJMSConnection::DropHeld(const TKsMessageConsumer* consumer) {
  std::vector<std::shared_ptr<IMessage>> dropped;  // released after the lock
  std::lock_guard<std::mutex> guard(heldLock_);
  while (auto message = TakeHeldLocked(consumer)) dropped.push_back(std::move(message));
}

std::size_t TKsJMSConnection::HeldCount() const {
  std::lock_guard<std::mutex> guard(heldLock_);
  return held_.size();
}

inline bool TKsJMSConnection::FreeToRead() {
  bool expected = false;
  return heldCount_.load(std::memory_order_acquire) == 0 && !ReaderThreadReads() &&
         reading_.compare_exchange_strong(expected, true, std::memory_order_seq_cst);
}

inline bool TKsJMSConnection::ReaderThreadReads() {
  return ownAdapter_ != nullptr && ownAdapter_->ReaderEverStarted() && ownAdapter_->ReaderActive() &&
         !ownAdapter_->OnReaderThread();
}

inline bool TKsJMSConnection::ReadOneFrame(TKsReceiveWait wait, std::chrono::steady_clock::time_point deadline,
                                           bool limited, std::int32_t leftMs) {
  IStompCommAdapter* adapter = client_->GetAdapter();
  if (adapter == nullptr) return false;
  switch (wait) {
    case TKsReceiveWait::Buffered:  // the usual case: a frame already whole in the buffer
      return ownAdapter_ != nullptr && ownAdapter_->DispatchBuffered();
    case TKsReceiveWait::Blocking:
      adapter->WaitForFrame();
      return true;
    case TKsReceiveWait::NoWait:
      if (!adapter->DataAvailable()) return false;
      adapter->ReceiveFrame(0, false);
      return true;
    case TKsReceiveWait::Timed:
      break;
  }
  if (!limited) {
    adapter->ReceiveFrame(0, false);
    return true;
  }
  using namespace std::chrono;
  const auto left = leftMs >= 0 ? leftMs : duration_cast<milliseconds>(deadline - steady_clock::now()).count();
  if (left <= 0) return false;
  adapter->ReceiveFrame(static_cast<std::int32_t>(std::min<long long>(left, INT32_MAX)), false);
  return true;
}

namespace {

// This thread reads for consumer, handing its message to *result, from
// construction to destruction.
struct TReading {
  TReading(const TKsMessageConsumer* consumer, std::shared_ptr<IMessage>* result) {
    tReadingFor = consumer;
    tReadResult = result;
  }
  ~TReading() {
    tReadingFor = nullptr;
    tReadResult = nullptr;
  }
  TReading(const TReading&) = delete;
  TReading& operator=(const TReading&) = delete;
};

}  // namespace

void TKsJMSConnection::ReadFault(std::exception_ptr& error) {
  try {
    throw;
  } catch (const EKsReadTimeout&) {
    error = std::current_exception();
  } catch (const EKsSocketError& lostError) {
    // Raised as the connection's failure, with the transport's reason.
    ConnectionLost(CauseOfLoss(lostError.what()));
    try {
      CheckNotLost();
      // Over failover the link is interrupted, not lost: the receive goes
      // on with the next one.
      if (failover_) throw EKsLinkInterrupted(failover_->GetCause());
    } catch (...) {
      error = std::current_exception();
    }
  } catch (...) {
    error = std::current_exception();
  }
}

void TKsJMSConnection::WakeWaiters() {
  std::lock_guard<std::mutex> guard(heldLock_);
  heldChanged_.notify_all();
}

inline void TKsJMSConnection::EndReading() {
  // Waiters count themselves before they look at reading_, and the reader
  // looks at the count after it clears reading_: one of the two sees the
  // other, so no hand-over is missed.
  reading_.store(false, std::memory_order_seq_cst);
  if (waiters_.load(std::memory_order_seq_cst) != 0) [[unlikely]] WakeWaiters();
}

inline bool TKsJMSConnection::ReadAsTheReader(TKsReceiveWait wait, std::chrono::steady_clock::time_point deadline,
                                       bool limited, const TKsMessageConsumer* consumer,
                                       std::shared_ptr<IMessage>* result, std::int32_t leftMs) {
  // reading_ is set by the caller. The message of consumer, when the frame
  // read is one, goes straight to *result (see Dispatch).
  const TReading reading(consumer, result);
  bool more = false;
  std::exception_ptr error;
  try {
    more = ReadOneFrame(wait, deadline, limited, leftMs);
  } catch (...) {
    ReadFault(error);
  }
  EndReading();
  if (error) [[unlikely]] std::rethrow_exception(error);
  return more;
}

bool TKsJMSConnection::WaitOrRead(std::unique_lock<std::mutex>& lock, TKsReceiveWait wait,
                                  std::chrono::steady_clock::time_point deadline, bool limited,
                                  const TKsMessageConsumer* consumer, std::shared_ptr<IMessage>* result) {
  using Clock = std::chrono::steady_clock;
  // The connection's reader thread, or another receive, is reading: what
  // is ours is handed over through the holding area. (On the reader thread
  // itself, a wait is a read of its own.)
  bool expected = false;
  if (ReaderThreadReads() || !reading_.compare_exchange_strong(expected, true, std::memory_order_seq_cst)) {
    if (wait == TKsReceiveWait::NoWait) return false;
    // Wake up now and then to notice a reader thread that stopped.
    auto until = Clock::now() + std::chrono::milliseconds(50);
    if (limited && deadline < until) until = deadline;
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    if (reading_.load(std::memory_order_seq_cst) || ReaderThreadReads()) heldChanged_.wait_until(lock, until);
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
    return !limited || Clock::now() < deadline;
  }
  lock.unlock();
  struct TRelock {
    std::unique_lock<std::mutex>& lock;
    ~TRelock() { lock.lock(); }
  } relock{lock};
  return ReadAsTheReader(wait, deadline, limited, consumer, result);
}

std::shared_ptr<IMessage> TKsJMSConnection::ReceiveFor(const TKsMessageConsumer* consumer, TKsReceiveWait wait,
                                                       std::int32_t timeout) {
  if (!failover_) [[likely]] {
    CheckNotLost();
    return ReceiveOnLink(consumer, wait, timeout);
  }
  return ReceiveOverFailover(consumer, wait, timeout);
}

std::shared_ptr<IMessage> TKsJMSConnection::ReceiveOverFailover(const TKsMessageConsumer* consumer,
                                                                TKsReceiveWait wait, std::int32_t timeout) {
  std::chrono::steady_clock::time_point deadline{};  // none taken yet
  {
    TKsFailover::TLease lease;
    if (failover_->TryEnter(lease)) {
      try {
        return ReceiveOnLink(consumer, wait, timeout, &deadline);
      } catch (...) {
        if (!LinkTroubleUnder(lease)) throw;
      }
    }
  }
  return ReceiveAcrossOutage(consumer, wait, timeout, deadline);
}

std::shared_ptr<IMessage> TKsJMSConnection::ReceiveAcrossOutage(const TKsMessageConsumer* consumer,
                                                                TKsReceiveWait wait, std::int32_t timeout,
                                                                std::chrono::steady_clock::time_point deadline) {
  // The receive waits for the link as long as its own time-out allows, and
  // goes on on the next link.
  using Clock = std::chrono::steady_clock;
  const bool limited = wait == TKsReceiveWait::Timed && timeout > 0;
  if (deadline == Clock::time_point{}) {
    deadline = limited ? Clock::now() + std::chrono::milliseconds(timeout)
               : wait == TKsReceiveWait::Timed || wait == TKsReceiveWait::Blocking ? Clock::time_point::max()
                                                                                 : Clock::time_point::min();
  }
  auto op = [&](std::uint64_t) -> std::shared_ptr<IMessage> {
    if (!limited) return ReceiveOnLink(consumer, wait, timeout);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return nullptr;
    return ReceiveOnLink(consumer, wait, static_cast<std::int32_t>(std::min<long long>(left, INT32_MAX)));
  };
  return OnFailoverLink(TKsLinkUse::Retry, op, deadline);
}

inline std::shared_ptr<IMessage> TKsJMSConnection::ReceiveOnLink(const TKsMessageConsumer* consumer, TKsReceiveWait wait,
                                                          std::int32_t timeout,
                                                          std::chrono::steady_clock::time_point* deadlineOut) {
  // Gathered sends go out before the wait: the answer to one may be what
  // this receive waits for.
  client_->FlushBatch();
  std::shared_ptr<IMessage> result;
  // The usual case, without the lock: nothing held, nobody else reading,
  // and a frame that is already whole in the buffer (no wait, so no clock
  // either).
  if (FreeToRead()) ReadAsTheReader(TKsReceiveWait::Buffered, {}, false, consumer, &result);
  if (!result) [[unlikely]] ReceiveWaiting(consumer, wait, timeout, deadlineOut, result);
  return result;
}

void TKsJMSConnection::ReceiveWaiting(const TKsMessageConsumer* consumer, TKsReceiveWait wait, std::int32_t timeout,
                                      std::chrono::steady_clock::time_point* deadlineOut,
                                      std::shared_ptr<IMessage>& result) {
  using Clock = std::chrono::steady_clock;
  const bool limited = wait == TKsReceiveWait::Timed && timeout > 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeout : 0);
  if (limited && deadlineOut != nullptr) *deadlineOut = deadline;
  if (FreeToRead()) {
    // The deadline was taken just now: the whole time-out is left.
    const bool more = ReadAsTheReader(wait, deadline, limited, consumer, &result, limited ? timeout : -1);
    if (result) return;
    if (!more && heldCount_.load(std::memory_order_acquire) == 0) return;
  }
  result = ReceiveHeldOrWait(consumer, wait, deadline, limited);
}

std::shared_ptr<IMessage> TKsJMSConnection::ReceiveHeldOrWait(const TKsMessageConsumer* consumer,
                                                              TKsReceiveWait wait,
                                                              std::chrono::steady_clock::time_point deadline,
                                                              bool limited) {
  std::shared_ptr<IMessage> direct;
  std::unique_lock<std::mutex> lock(heldLock_);
  for (;;) {
    if (!held_.empty()) {
      if (auto message = TakeHeldLocked(consumer)) return message;
    }
    if (LinkBroken()) {
      lock.unlock();
      CheckNotLost();
      if (failover_) throw EKsLinkInterrupted(failover_->GetCause());
    }
    if (!reading_.load() && (held_.size() >= kMaxHeldMessages || heldBytes_ >= kMaxHeldBytes)) {
      throw EIllegalStateException("Too many messages (" + std::to_string(held_.size()) +
                                   ") are held for other consumers of this connection; receive them first");
    }
    const bool more = WaitOrRead(lock, wait, deadline, limited, consumer, &direct);
    if (direct) return direct;
    if (!more) return held_.empty() ? nullptr : TakeHeldLocked(consumer);
  }
}

// ---- TKsJMSSession --------------------------------------------------------

TKsJMSSession::TKsJMSSession(TKsJMSConnection* connection, std::uint8_t acknowledgeMode)
    : acknowledgeMode_(acknowledgeMode), connection_(connection) {
  KS_ASSERT(connection_ != nullptr, "Session needs a connection");
  consumerChanges_ = connection_->ConsumerChanges();
  messageTransformer_ = connection_->GetMessageTransformer();
}

std::shared_ptr<TKsJMSSession> TKsJMSSession::Create(TKsJMSConnection* connection, std::uint8_t acknowledgeMode) {
  auto session = std::make_shared<TKsJMSSession>(connection, acknowledgeMode);
  if (connection->GetStarted()) session->Start();
  return session;
}

TKsJMSSession::~TKsJMSSession() = default;

void TKsJMSSession::RaiseClosed() { throw EIllegalStateException("The session is closed"); }

void TKsJMSSession::AddConsumer(const std::shared_ptr<TKsMessageConsumer>& consumer) {
  consumers_.Add(consumer);
  NoteConsumerChange();
}

void TKsJMSSession::RemoveConsumer(const TKsMessageConsumer* consumer) {
  const auto old = consumers_.Remove(consumer);  // released after the lock
  NoteConsumerChange();
}

void TKsJMSSession::AddProducer(const std::shared_ptr<TKsMessageProducer>& producer) { producers_.Add(producer); }

void TKsJMSSession::RemoveProducer(const TKsMessageProducer* producer) {
  const auto old = producers_.Remove(producer);  // released after the lock
}

void TKsJMSSession::Start() {
  started_ = true;
  const auto consumers = ConsumerSnapshot();
  for (const auto& consumer : *consumers) consumer->Start();
  // On a link that is down the transaction begins with the next link.
  if (acknowledgeMode_ == SESSION_TRANSACTED) {
    connection_->OnLink(TKsLinkUse::IfUp, [this](std::uint64_t) { BeginTransaction(); });
  }
}

void TKsJMSSession::Stop() {
  if (StopConsumers()) TKsMessageConsumer::PauseAfterStop();
}

bool TKsJMSSession::StopConsumers() {
  const auto consumers = ConsumerSnapshot();
  bool stopped = false;
  for (const auto& consumer : *consumers) stopped = consumer->StopReading() || stopped;
  started_ = false;
  return stopped;
}

void TKsJMSSession::BeginTransaction() {
  CheckNotClosed();
  if (acknowledgeMode_ != SESSION_TRANSACTED) return;
  // Under the send lock, so a send on another thread never reads the id
  // while it changes.
  std::lock_guard<std::recursive_mutex> guard(sendLock_);
  const std::string& id = transactionContext_.NewTransactionId();
  TKsJMSClient& client = connection_->GetClient();
  client.BeginTrans(id, std::string());
  transactionLink_ = client.GetLink();
  transactionUsed_ = false;
}

void TKsJMSSession::BeginOnNewLink() {
  // The transaction began on a link that is gone, and the broker dropped
  // it with that link: what it did is lost.
  if (transactionUsed_) rollbackOnly_ = true;
  consumedInTransaction_.clear();
  closedInTransaction_.clear();
  for (const auto snapshot = ConsumerSnapshot(); const auto& consumer : *snapshot) {
    consumer->TakeDeliveredInTransaction();
  }
  BeginTransaction();
}

void TKsJMSSession::Commit() { EndTransaction(true); }

void TKsJMSSession::Rollback() { EndTransaction(false); }

namespace {

constexpr const char* kRolledBack =
    "The transaction was rolled back: the connection to the broker was interrupted while it was open; repeat its "
    "work";
constexpr const char* kInDoubt =
    "The transaction is in doubt and was taken as rolled back: the connection to the broker was interrupted before "
    "the broker confirmed the COMMIT, which it may have carried out";

}  // namespace

void TKsJMSSession::EndTransaction(bool commit, TKsLinkUse use) {
  CheckNotClosed();
  if (acknowledgeMode_ != SESSION_TRANSACTED) throw EJMSException("Session is not transacted");
  connection_->OnLink(use, [&](std::uint64_t link) {
    std::lock_guard<std::recursive_mutex> guard(sendLock_);
    FollowLink(link);
    // A transaction whose work went with a link is rolled back, whatever
    // was asked (so is what it did on this link).
    const bool lostWork = std::exchange(rollbackOnly_, false);
    const bool abort = !commit || lostWork;
    if (!abort) {
      // The transaction's ACKs would acknowledge a message skipped before
      // them.
      for (const auto snapshot = ConsumerSnapshot(); const auto& consumer : *snapshot) {
        if (consumer->DeliveredInTransaction()) consumer->CheckNothingSkipped("Commit");
      }
    }
    // COMMIT and ABORT ask for a receipt: when it has come, the broker has
    // processed the transaction and every frame before it.
    const std::string receipt = connection_->ExpectReceipt();
    TKsJMSClient& client = connection_->GetClient();
    bool sent = false;
    bool confirmed = false;
    try {
      if (abort) {
        client.AbortTrans(transactionContext_.GetTransactionId(), receipt);
      } else {
        client.CommitTrans(transactionContext_.GetTransactionId(), receipt);
      }
      sent = true;
      confirmed = connection_->AwaitReceipt(receipt);
      if (!confirmed) connection_->CheckLinkUp(link);
    } catch (const Exception&) {
      if (!connection_->LinkChanged(link)) throw;
      // The link went down with the transaction, which the broker dropped
      // with it; the next link begins a new one.
      transactionUsed_ = false;
      if (!commit) return;
      throw ETransactionRolledBackException(sent && !abort ? kInDoubt : kRolledBack);
    }
    try {
      // Subscriptions of consumers closed during the transaction
      // (RabbitMQ) end now that the broker has taken the COMMIT's ACKs for
      // them, or the ABORT; what such a consumer took goes back when the
      // connection closes.
      const std::vector<std::string> closed = std::exchange(closedInTransaction_, {});
      for (const std::string& id : closed) client.UnsubscribeID(id, std::string());
      // RabbitMQ gives back what the aborted transaction consumed when told
      // so (NACK); it would keep it on this connection through an
      // UNSUBSCRIBE. Not for a subscription just ended: it refuses that
      // NACK, and a NACK before the UNSUBSCRIBE would have it deliver the
      // message once more to the subscription that is going away.
      const std::vector<TConsumed> consumed = std::exchange(consumedInTransaction_, {});
      const bool nack = abort && client.GetDialect() == TKsDialect::RabbitMQ;
      if (nack) {
        for (const TConsumed& c : consumed) {
          if (std::find(closed.begin(), closed.end(), c.consumer) != closed.end()) continue;
          client.Nack(TKsAckTarget{c.messageId, c.subscription, c.ackId});
        }
      }
      for (const auto snapshot = ConsumerSnapshot(); const auto& consumer : *snapshot) {
        if (consumer->TakeDeliveredInTransaction() && abort && !nack) Resubscribe(*consumer);
      }
      BeginTransaction();
    } catch (const Exception&) {
      // Done on the broker; what was to follow comes with the next link.
      if (!connection_->LinkChanged(link)) throw;
    }
    if (!confirmed) {
      throw EJMSException(std::string("The broker did not confirm ") + (abort ? "ABORT" : "COMMIT") + " within " +
                          std::to_string(connection_->GetReceiptTimeout()) + " ms");
    }
    if (commit && lostWork) throw ETransactionRolledBackException(kRolledBack);
  });
}

void TKsJMSSession::EndSubscription(const TKsMessageConsumer& consumer) {
  TKsJMSClient& client = connection_->GetClient();
  if (acknowledgeMode_ == SESSION_TRANSACTED && client.GetDialect() == TKsDialect::RabbitMQ &&
      consumer.DeliveredInTransaction()) {
    std::lock_guard<std::recursive_mutex> guard(sendLock_);
    closedInTransaction_.push_back(consumer.SubscriptionId());
    return;
  }
  client.UnsubscribeID(consumer.SubscriptionId(), std::string());
}

void TKsJMSSession::Resubscribe(TKsMessageConsumer& consumer) {
  // What the consumer delivered in the aborted transaction is still
  // unacknowledged at the broker, which gives it back (marked redelivered)
  // when the subscription ends: a new subscription receives it again.
  // Messages still on their way for the old one are dropped.
  connection_->GetClient().UnsubscribeID(consumer.SubscriptionId(), std::string());
  connection_->DropHeld(&consumer);
  consumer.NextSubscription();
  NoteConsumerChange();
  Subscribe(consumer);
}

void TKsJMSSession::AcknowledgeDelivered(TKsMessageConsumer& consumer, const IMessage& message) {
  if (acknowledgeMode_ != SESSION_TRANSACTED) return;
  // The broker acknowledged it already.
  if (TKsJMSClient::BrokerMadeSubscription(connection_->GetClient().GetDialect(), consumer.SubscriptionId())) return;
  const TKsMessage* own = AsOwnMessage(&message);
  const std::uint64_t delivered = own != nullptr ? own->GetLink() : 0;
  const bool done = connection_->OnLink(TKsLinkUse::IfUp, [&](std::uint64_t link) {
    std::lock_guard<std::recursive_mutex> guard(sendLock_);
    FollowLink(link);
    consumer.MarkDeliveredInTransaction();
    transactionUsed_ = true;
    if (link != 0 && delivered != 0 && delivered != link) {
      // A delivery of a link that is gone cannot be acknowledged: the
      // transaction that consumed it cannot commit.
      rollbackOnly_ = true;
      return true;
    }
    TKsJMSClient& client = connection_->GetClient();
    TConsumed named{message.GetJMSMessageID(), {}, {}, consumer.SubscriptionId()};
    if (client.GetVersion() != TKsStompVersion::V1_0) {
      named.subscription = message.GetStringProperty("subscription");
      named.ackId = message.GetStringProperty("ack");
    }
    client.Ack(TKsAckTarget{named.messageId, named.subscription, named.ackId}, transactionContext_.GetTransactionId());
    if (client.GetDialect() == TKsDialect::RabbitMQ) consumedInTransaction_.push_back(std::move(named));
    return true;
  });
  if (!done) {
    // The link is down: the transaction goes with it, and it consumed this.
    std::lock_guard<std::recursive_mutex> guard(sendLock_);
    transactionUsed_ = true;
  }
}

void TKsJMSSession::Close() {
  if (!started_ || closed_) return;
  if (acknowledgeMode_ == SESSION_TRANSACTED) {
    // A link that is down took the transaction with it: nothing to wait for.
    try {
      EndTransaction(false, TKsLinkUse::IfUp);
    } catch (...) {
    }
  }
  if (closed_) return;
  CloseSession();
}

void TKsJMSSession::Orphan() {
  orphaned_.store(true, std::memory_order_release);
  closed_ = true;
  started_ = false;
  // Releases the counted references between this session and its
  // consumers and producers; nothing is sent.
  DisposeChildren();
}

void TKsJMSSession::DisposeChildren() {
  const auto consumers = ConsumerSnapshot();
  for (auto it = consumers->rbegin(); it != consumers->rend(); ++it) (*it)->Dispose();
  const auto oldConsumers = consumers_.TakeAll();
  NoteConsumerChange();
  const auto producers = producers_.Snapshot();
  for (auto it = producers->rbegin(); it != producers->rend(); ++it) (*it)->Dispose();
  const auto oldProducers = producers_.TakeAll();
}

void TKsJMSSession::CloseSession() {
  std::exception_ptr error;
  try {
    if (IStompCommAdapter* adapter = connection_->GetClient().GetAdapter()) adapter->Stop();
    DisposeChildren();
  } catch (...) {
    error = std::current_exception();
  }
  closed_ = true;
  started_ = false;
  // May release the last reference to this session: nothing after it.
  TKsJMSConnection* connection = connection_;
  if (error) {
    connection->RemoveSession(this);
    std::rethrow_exception(error);
  }
  connection->RemoveSession(this);
}

std::shared_ptr<IBytesMessage> TKsJMSSession::CreateBytesMessage() {
  CheckNotClosed();
  return TKsJMSBytesMessage::Create(connection_);
}

std::shared_ptr<IMessageConsumer> TKsJMSSession::CreateConsumer(const std::shared_ptr<IDestination>& destination) {
  return NewConsumer(destination, std::string(), false);
}

std::shared_ptr<IMessageConsumer> TKsJMSSession::CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                                const std::string& messageSelector) {
  return NewConsumer(destination, messageSelector, false);
}

std::shared_ptr<IMessageConsumer> TKsJMSSession::CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                                const std::string& messageSelector, bool noLocal) {
  return NewConsumer(destination, messageSelector, noLocal);
}

std::shared_ptr<IMessageConsumer> TKsJMSSession::NewConsumer(const std::shared_ptr<IDestination>& destination,
                                                             const std::string& messageSelector, bool noLocal) {
  CheckNotClosed();
  // A SUBSCRIBE without a destination would only earn an ERROR frame.
  if (!destination) throw EUnsupportedOperationException("A destination must be specified.");
  const TKsDialect dialect = connection_->GetClient().GetDialect();
  if (noLocal && dialect == TKsDialect::RabbitMQ) {
    throw EUnsupportedOperationException("RabbitMQ cannot hold back a connection's own messages (noLocal)");
  }
  CheckAckModeSupported();
  const std::string destinationName = TKsJMSClient::GetDestinationName(destination, dialect);
  // A subscription the broker makes goes by the id the broker gives it.
  const bool brokerMade = TKsJMSClient::BrokerMadeSubscription(dialect, destinationName);
  auto consumer = TKsMessageConsumer::Create(
      this, nullptr, noLocal, messageSelector, destination,
      brokerMade ? std::make_unique<TKsConsumerID>(destinationName) : std::make_unique<TKsConsumerID>());
  AddConsumer(consumer);
  if (!brokerMade) SubscribeNew(*consumer);
  return consumer;
}

void TKsJMSSession::SubscribeNew(TKsMessageConsumer& consumer) {
  connection_->OnLink(TKsLinkUse::IfUp, [&](std::uint64_t link) {
    // A restore may have subscribed it on this link already.
    if (link == 0 || consumer.SubscribedOn() != link) Subscribe(consumer);
  });
}

void TKsJMSSession::RestoreSubscriptions(std::uint64_t link) {
  const TKsDialect dialect = connection_->GetClient().GetDialect();
  for (const auto snapshot = ConsumerSnapshot(); const auto& consumer : *snapshot) {
    // A subscription the broker made went with the link (and is its to make).
    if (consumer->SubscribedOn() == link || TKsJMSClient::BrokerMadeSubscription(dialect, consumer->SubscriptionId())) {
      continue;
    }
    Subscribe(*consumer);
  }
}

bool TKsJMSSession::HasListenerConsumer() const {
  return consumers_.FindIf([](const std::shared_ptr<TKsMessageConsumer>& consumer) {
           return consumer->HasListener();
         }) != nullptr;
}

void TKsJMSSession::Subscribe(TKsMessageConsumer& consumer) {
  const TKsDialect dialect = connection_->GetClient().GetDialect();
  std::string destination = TKsJMSClient::GetDestinationName(consumer.GetDestination(), dialect);
  if (const auto* durable = dynamic_cast<const TKsTopicSubscriber*>(&consumer)) {
    if (dialect == TKsDialect::RabbitMQ) {
      // The subscription's id is its name (see CreateDurableSubscriber).
      AppendOptions(destination, kRabbitDurableOptions);
    } else {
      AppendOptions(destination, "activemq.subscriptionName=" + durable->GetSubscriptionName());
    }
  }
  const TKsAckMode ack = acknowledgeMode_ == INDIVIDUAL_ACKNOWLEDGE ? TKsAckMode::ClientIndividual
                         : AcknowledgesByClient()                   ? TKsAckMode::Client
                                                                    : TKsAckMode::Auto;
  TKsJMSClient& client = connection_->GetClient();
  client.Subscribe(destination, ack, std::string(), consumer.GetNoLocalFlag(), consumer.GetMessageSelector(),
                   consumer.SubscriptionId());
  consumer.SetSubscribedOn(client.GetLink());
}

void TKsJMSSession::CheckAckModeSupported() const {
  if (acknowledgeMode_ != INDIVIDUAL_ACKNOWLEDGE) return;
  const TKsJMSClient& client = connection_->GetClient();
  if (client.GetLoggedIn() && client.GetVersion() == TKsStompVersion::V1_0) {
    throw EUnsupportedOperationException(
        "INDIVIDUAL_ACKNOWLEDGE needs STOMP 1.1 or later, and this connection speaks STOMP 1.0 (see the URI "
        "parameter acceptVersion)");
  }
}

std::shared_ptr<ITopicSubscriber> TKsJMSSession::CreateDurableSubscriber(const std::shared_ptr<ITopic>& topic,
                                                                         const std::string& name) {
  CheckNotClosed();
  connection_->CheckClientIdSet();
  if (connection_->GetClientID() != name) {
    throw EJMSException("You must specify the same clientId on the connection and subcriptionName on the subscribe");
  }
  if (!topic) throw EUnsupportedOperationException("A destination must be specified.");
  CheckAckModeSupported();
  // A broker that keys durable subscriptions by id gets the name as id, so
  // that the next connection finds the same subscription.
  auto id = connection_->GetClient().GetDialect() == TKsDialect::RabbitMQ ? std::make_unique<TKsConsumerID>(name)
                                                                         : std::make_unique<TKsConsumerID>();
  auto subscriber = TKsTopicSubscriber::Create(this, name, topic, std::move(id));
  AddConsumer(subscriber);
  SubscribeNew(*subscriber);
  return subscriber;
}

std::shared_ptr<IMessage> TKsJMSSession::CreateMessage() {
  CheckNotClosed();
  return TKsJMSMessage::Create(connection_);
}

std::shared_ptr<IMessageProducer> TKsJMSSession::CreateProducer(const std::shared_ptr<IDestination>& destination) {
  CheckNotClosed();
  return TKsMessageProducer::Create(this, connection_->GetSendTimeout(), destination);
}

std::shared_ptr<IQueue> TKsJMSSession::CreateQueue(const std::string& name) {
  CheckNotClosed();
  return TKsQueue::Create(name);
}

// The brokers of the "activemq" and "rabbitmq" dialects keep a
// "/temp-queue/NAME" or "/temp-topic/NAME" for the connection that uses it
// and remove it when that connection ends; the name only has to be unique
// for the connection, and a random one is unique everywhere.
std::shared_ptr<IQueue> TKsJMSSession::CreateTemporaryQueue() {
  CheckNotClosed();
  if (connection_->GetClient().GetDialect() == TKsDialect::Jms) throw EJMSException("Feature not supported");
  std::string name = TemporaryName();
  return TKsQueue::CreateWithWireName(name, "/temp-queue/" + name);
}

std::shared_ptr<ITopic> TKsJMSSession::CreateTemporaryTopic() {
  CheckNotClosed();
  switch (connection_->GetClient().GetDialect()) {
    case TKsDialect::Jms:
      throw EJMSException("Feature not supported");
    case TKsDialect::RabbitMQ:
      throw EUnsupportedOperationException("RabbitMQ has no temporary topics");
    case TKsDialect::ActiveMQ:
      break;
  }
  std::string name = TemporaryName();
  return TKsTopic::CreateWithWireName(name, "/temp-topic/" + name);
}

std::string TKsJMSSession::TemporaryName() {
  // The GUID's text without its braces.
  const std::string guid = TKsConsumerID::NewGUIDText();
  return guid.substr(1, guid.size() - 2);
}

std::shared_ptr<IObjectMessage> TKsJMSSession::CreateObjectMessage() {
  CheckNotClosed();
  if (!messageTransformer_) throw ENoMessageTransformer("Session has no message transformer");
  return TKsJMSObjectMessage::Create(connection_);
}

std::shared_ptr<IObjectMessage> TKsJMSSession::CreateObjectMessage(void* object) {
  auto message = CreateObjectMessage();
  message->SetObject(object);
  return message;
}

std::shared_ptr<ITextMessage> TKsJMSSession::CreateTextMessage() {
  CheckNotClosed();
  return TKsJMSTextMessage::Create(connection_);
}

std::shared_ptr<ITextMessage> TKsJMSSession::CreateTextMessage(const std::string& text) {
  CheckNotClosed();
  auto message = TKsJMSTextMessage::Create(connection_);
  message->AssignText(text);
  return message;
}

std::shared_ptr<ITopic> TKsJMSSession::CreateTopic(const std::string& name) {
  CheckNotClosed();
  return TKsTopic::Create(name);
}

std::uint8_t TKsJMSSession::GetAcknowledgeMode() const { return acknowledgeMode_; }

bool TKsJMSSession::GetTransacted() const { return acknowledgeMode_ == SESSION_TRANSACTED; }

void TKsJMSSession::Unsubscribe(const std::string& destinationName, const std::string& subscriptionName) {
  CheckNotClosed();
  connection_->UnsubscribeDurable(destinationName, subscriptionName);
}

void TKsJMSSession::CheckNoListenerSet() const {
  const auto consumers = ConsumerSnapshot();
  for (const auto& consumer : *consumers) {
    if (consumer->HasListener()) {
      throw EIllegalStateException("Cannot synchronously receive a message when a MessageListener is set");
    }
  }
}

void TKsJMSSession::Send(TKsMessageProducer* producer, const std::shared_ptr<IDestination>& destination,
                         const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode, std::uint8_t priority,
                         std::uint32_t timeToLive, std::int32_t sendTimeout) {
  CheckNotClosed();
  // The producer knows the wire name of its own destination; any other is
  // named here.
  const std::string* known = producer != nullptr ? producer->KnownWireName(destination) : nullptr;
  if (known == nullptr) [[unlikely]] {
    SendNamed(destination, message, deliveryMode, priority, timeToLive, sendTimeout);
    return;
  }
  if (deliveryMode != TDeliveryMode::Persistent && priority == 4 && timeToLive == 0 && UsualSends() &&
      SendUsualOpen(producer->UsualHead(), message.get(), sendTimeout)) {
    return;
  }
  SendTo(*known, message, deliveryMode, priority, timeToLive, sendTimeout);
}

void TKsJMSSession::SendDefaultsTo(const std::string& wireName, const std::shared_ptr<IMessage>& message,
                                   std::int32_t sendTimeout) {
  SendTo(wireName, message, TDeliveryMode::NonPersistent, 4, 0, sendTimeout);
}

bool TKsJMSSession::SendUsualOpen(const TKsSendHead& head, const IMessage* message, std::int32_t sendTimeout) {
  // SendTo's way for such a send ends in the client's first way, with the
  // same checks in the same order: the message, the link, then the rest.
  if (message == nullptr) return false;
  connection_->CheckNotLost();
  return connection_->GetClient().SendUsual(head, *message, sendTimeout);
}

void TKsJMSSession::SendNamed(const std::shared_ptr<IDestination>& destination,
                              const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode,
                              std::uint8_t priority, std::uint32_t timeToLive, std::int32_t sendTimeout) {
  const std::string named = TKsJMSClient::GetDestinationName(destination, connection_->GetClient().GetDialect());
  SendTo(named, message, deliveryMode, priority, timeToLive, sendTimeout);
}

inline void TKsJMSSession::SendTo(const std::string& destinationName, const std::shared_ptr<IMessage>& message,
                                  TDeliveryMode deliveryMode, std::uint8_t priority, std::uint32_t timeToLive,
                                  std::int32_t sendTimeout) {
  if (!message) throw Exception("Unknown Message type");
  TKsSendStamp stamp;
  stamp.deliveryMode = deliveryMode;
  stamp.priority = priority;
  if (timeToLive != 0) {
    stamp.timestamp = NowUTC();
    stamp.expiration = stamp.timestamp + static_cast<double>(timeToLive) / kMillisecondsPerDay;
  }
  connection_->OnLink<&TKsJMSSession::SendOnLink>(TKsLinkUse::Retry, this, *message, stamp, destinationName,
                                                  sendTimeout);
}

inline void TKsJMSSession::SendOwn(const TKsJMSMessage& message, const TKsSendStamp& stamp,
                                   const std::string& destinationName, std::int32_t sendTimeout) {
  // The check the stamped message's priority setter makes.
  if (stamp.priority > 9) throw Exception("JMS_MAX_PRIORITY");
  if (connection_->GetSyncSend()) {
    SendConfirmed(message, stamp, destinationName, sendTimeout);
    return;
  }
  TKsJMSClient& client = connection_->GetClient();
  client.Send(message, stamp, destinationName, sendTimeout);
  // Over failover a transaction's sends are never held in a batch across
  // a reconnect: the broker would not know their transaction.
  if (IsTransacted() && connection_->HasFailover()) client.FlushBatch();
}

inline void TKsJMSSession::SendStamped(const IMessage& message, const TKsSendStamp& stamp,
                                       const std::string& destinationName, std::int32_t sendTimeout) {
  // One of the library's own message classes goes out as it is (the stamp
  // holds what the session sets); any other is first copied into one.
  if (const TKsJMSMessage* own = AsOwnLeafMessage(&message)) [[likely]] {
    SendOwn(*own, stamp, destinationName, sendTimeout);
    return;
  }
  SendCopy(message, stamp, destinationName, sendTimeout);
}

void TKsJMSSession::SendCopy(const IMessage& message, const TKsSendStamp& stamp, const std::string& destinationName,
                             std::int32_t sendTimeout) {
  auto outgoing = outgoing_.Lease();
  SendOwn(outgoing->CopyOf(message), stamp, destinationName, sendTimeout);
}

inline void TKsJMSSession::SendOnLink(std::uint64_t link, const IMessage& message, TKsSendStamp& stamp,
                                      const std::string& destinationName, std::int32_t sendTimeout) {
  // A send that waited for the next link finds its session as it is now.
  if (link != 0) CheckNotClosed();
  // A plain send takes no lock of the session's: the transport's write lock
  // keeps frames whole. A transacted send holds the session's lock, so that
  // its transaction id cannot change under it, and so does a confirmed one.
  if (acknowledgeMode_ != SESSION_TRANSACTED && !connection_->GetSyncSend()) [[likely]] {
    SendStamped(message, stamp, destinationName, sendTimeout);
    return;
  }
  SendLocked(link, message, stamp, destinationName, sendTimeout);
}

void TKsJMSSession::SendLocked(std::uint64_t link, const IMessage& message, TKsSendStamp& stamp,
                               const std::string& destinationName, std::int32_t sendTimeout) {
  std::lock_guard<std::recursive_mutex> guard(sendLock_);
  FollowLink(link);
  if (acknowledgeMode_ == SESSION_TRANSACTED) {
    stamp.transaction = transactionContext_.GetTransactionId();
    transactionUsed_ = true;
  }
  SendStamped(message, stamp, destinationName, sendTimeout);
}

void TKsJMSSession::SendConfirmed(const TKsJMSMessage& message, const TKsSendStamp& stamp,
                                  const std::string& destinationName, std::int32_t sendTimeout) {
  // A confirmed send returns only once the broker has the message; when
  // the link goes down first, the send is made again on the next one.
  const std::string receipt = connection_->ExpectReceipt();
  TKsJMSClient& client = connection_->GetClient();
  const std::uint64_t link = client.GetLink();
  client.Send(message, stamp, destinationName, sendTimeout, receipt);
  if (!connection_->AwaitReceipt(receipt)) {
    connection_->CheckLinkUp(link);
    throw EJMSException("The broker did not confirm SEND within " + std::to_string(connection_->GetReceiptTimeout()) +
                        " ms");
  }
}

void TKsJMSSession::Dispatch(const std::shared_ptr<IMessage>& message) {
  if (!message) return;
  std::string copy;
  bool listenerSeen = false;
  auto consumer = FindConsumer(SubscriptionOf(*message, copy), listenerSeen);
  if (consumer && consumer->HasListener()) {
    consumer->Dispatch(message);
    return;
  }
  KS_ASSERT(!listenerSeen, "Found no Matching Consumer for message");
}

void TKsJMSSession::ListConsumers(std::vector<std::shared_ptr<TKsMessageConsumer>>& out) const {
  const auto consumers = ConsumerSnapshot();
  out.insert(out.end(), consumers->begin(), consumers->end());
}

std::shared_ptr<TKsMessageConsumer> TKsJMSSession::FindConsumer(std::string_view subscription,
                                                                bool& listenerSeen) const {
  // Under the list lock, without a copy of the list: only the consumer
  // found is referenced.
  return consumers_.FindIf([&](const std::shared_ptr<TKsMessageConsumer>& consumer) {
    listenerSeen = listenerSeen || consumer->HasListener();
    return consumer->OwnsSubscription(subscription);
  });
}

}  // namespace ks
