#include "jms/KsJMSClient.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsMessageFromFrame.hpp"
#include "support/KsScopedValue.hpp"
#include "jms/KsQueue.hpp"
#include "jms/KsSendHead.hpp"
#include "jms/KsTopic.hpp"
#include "stomp/KsAdapterRegistry.hpp"
#include "stomp/KsStompFrame.hpp"
#include "support/KsLog.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

constexpr std::string_view kTopicPrefix = "jms.topic.";
constexpr std::string_view kQueuePrefix = "jms.queue.";
constexpr std::string_view kVendorPrefix = "activemq.";

bool IsReservedName(std::string_view name) {
  for (std::string_view reserved : StompHeaderNames) {
    if (reserved == name) return true;
  }
  return name.substr(0, kVendorPrefix.size()) == kVendorPrefix;
}

[[noreturn]] void RaiseReserved(std::string_view name) {
  std::string text(name);
  text += " is a reserved property name";
  throw EKsReservedProperty(text);
}

// A decimal number in a caller-provided buffer.
template <typename Int>
std::string_view Decimal(char (&buffer)[24], Int value) {
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

// The body bytes a message class puts on the wire; raises for a class that
// cannot be sent.
void TakeBodyOf(const TKsJMSMessage& message, std::string_view& body, bool& isObject, bool& isBytes) {
  isObject = false;
  isBytes = false;
  if (const auto* text = AsOwnTextMessage(&message)) {
    body = text->GetTextRef();
  } else if (const auto* bytes = AsOwnBytesMessage(&message)) {
    isBytes = true;
    body = bytes->GetContentRef();
  } else if (const auto* object = AsOwnObjectMessage(&message)) {
    isObject = true;
    body = object->GetContentRef();  // held as UTF-8 already
  } else {
    throw EJMSException("Unsupported JMS Message Type");
  }
}

}  // namespace

TKsJMSClient::TKsJMSClient() {
  if (AdapterClassCount() == 0) throw EKsNoCommAdapterInstalled("No communication adapter registered");
  SetDetour(kDetourCallback, true);  // neither a callback nor a target yet
  Log("Set default communication adapter");
  SetAdapter(CreateDefaultAdapter());
}

TKsJMSClient::~TKsJMSClient() {
  // The adapter (and with it any reader thread that calls back into this
  // client) goes while this object is still whole, after the batch's timer,
  // which writes to it.
  StopBatch(false);
  SetAdapter(nullptr);
}

const char* TKsJMSClient::ClassName() const { return "TKsJMSClient"; }

void TKsJMSClient::Log(const std::string& text) {
  if (!DebugEnabled()) return;
  GetLogger()->Trace("TKsJMSClient: " + text);
}

std::string TKsJMSClient::GetDestinationName(const std::shared_ptr<IDestination>& destination, TKsDialect dialect) {
  if (!destination) return std::string();
  if (const auto* own = dynamic_cast<const TKsDestination*>(destination.get())) {
    if (!own->GetWireName().empty()) return own->GetWireName();
  }
  switch (destination->GetDestinationType()) {
    case TDestinationType::Topic: {
      std::string name(TopicPrefix(dialect));
      name += IntfCast<ITopic>(destination)->GetTopicName();
      return name;
    }
    case TDestinationType::Queue: {
      std::string name(QueuePrefix(dialect));
      name += IntfCast<IQueue>(destination)->GetQueueName();
      return name;
    }
  }
  throw Exception("GetDestinationName");
}

std::shared_ptr<IDestination> TKsJMSClient::CreateDestinationFromStompName(const std::string& name) {
  std::string_view text = name;
  if (text.substr(0, kTopicPrefix.size()) == kTopicPrefix) {
    return TKsTopic::Create(std::string(text.substr(kTopicPrefix.size())));
  }
  if (text.substr(0, kQueuePrefix.size()) == kQueuePrefix) {
    return TKsQueue::Create(std::string(text.substr(kQueuePrefix.size())));
  }
  // Any other form brokers and clients use: the destination keeps the exact
  // text as its wire name, so a reply reaches exactly that name. The kind
  // and the plain name come from the usual prefixes.
  struct TForm {
    std::string_view prefix;
    bool topic;
  };
  static constexpr TForm kForms[] = {{"/topic/", true},         {"/temp-topic/", true}, {"/exchange/", true},
                                     {"/queue/", false},        {"/temp-queue/", false}, {"/reply-queue/", false},
                                     {"/amq/queue/", false}};
  for (const TForm& form : kForms) {
    if (text.substr(0, form.prefix.size()) != form.prefix) continue;
    const std::string plain(text.substr(form.prefix.size()));
    if (form.topic) return TKsTopic::CreateWithWireName(plain, name);
    return TKsQueue::CreateWithWireName(plain, name);
  }
  return TKsQueue::CreateWithWireName(name, name);
}

bool TKsJMSClient::BrokerMadeSubscription(TKsDialect dialect, std::string_view name) {
  return dialect == TKsDialect::RabbitMQ && name.starts_with("/temp-queue/");
}

void TKsJMSClient::CheckReservedPropertyName(const std::string& name) {
  if (IsReservedName(name)) RaiseReserved(name);
}

std::int64_t TKsJMSClient::DateTimeToWire(TDateTime value) {
  // std::nearbyint rounds ties to even in the default rounding mode.
  double seconds = std::nearbyint((value - kUnixEpochDateTime) * 86400.0);
  // Out-of-range times are clamped to what 64-bit milliseconds can hold.
  constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / 1000;
  if (std::isnan(seconds)) return 0;
  if (seconds >= static_cast<double>(kMaxSeconds)) return kMaxSeconds * 1000;
  if (seconds <= -static_cast<double>(kMaxSeconds)) return -kMaxSeconds * 1000;
  return static_cast<std::int64_t>(seconds) * 1000;
}

namespace {

// The time to live left at the message's time stamp (or now, for a message
// without one), in whole milliseconds, never below zero.
std::int64_t RelativeExpiration(TDateTime timestamp, TDateTime expiration) {
  const TDateTime from = timestamp != 0.0 ? timestamp : NowUTC();
  const double millis = std::nearbyint((expiration - from) * kMillisecondsPerDay);
  if (!(millis > 0.0)) return 0;
  constexpr double kMax = static_cast<double>(std::numeric_limits<std::int64_t>::max() / 2);
  return millis >= kMax ? static_cast<std::int64_t>(kMax) : static_cast<std::int64_t>(millis);
}

}  // namespace

inline bool TKsJMSClient::HasNoFields(const TKsJMSMessage& message) noexcept {
  return message.GetProperties().Empty() && message.GetCorrelationIDRef().empty() && message.GetTypeRef().empty() &&
         !message.GetReplyToRef();
}

inline bool TKsJMSClient::HasOnlyDefaults(const TKsJMSMessage& message, const TKsSendStamp& stamp) noexcept {
  // WriteFields and WriteProperties write nothing for such a message.
  return stamp.expiration == 0.0 && stamp.deliveryMode != TDeliveryMode::Persistent && stamp.priority == 4 &&
         stamp.transaction.empty() && HasNoFields(message);
}

TKsSendStamp TKsSendStamp::Of(const TKsJMSMessage& message) {
  return TKsSendStamp{message.GetJMSDeliveryMode(), message.GetJMSPriority(), message.GetJMSTimestamp(),
                      message.GetJMSExpiration(), message.GetTransactionID()};
}

void TKsJMSClient::BuildSend(const TKsJMSMessage& message, const TKsSendStamp& stamp, TSendParts& parts) const {
  bool isObject = false;
  TakeBodyOf(message, parts.body, isObject, parts.isBytes);
  parts.headers.Clear();
  WriteHeaders(message, stamp, isObject, parts, parts.headers);
}

template <class Headers>
void TKsJMSClient::WriteContentTypeFor(TKsStompVersion version, bool isObject, bool isBytes, Headers& headers) {
  // From 1.1 on the body says what it is (a property of the message's own
  // may say otherwise).
  if (!isObject && version != TKsStompVersion::V1_0) {
    headers.Set("content-type", isBytes ? "application/octet-stream" : "text/plain;charset=UTF-8");
  }
}

template <class Headers>
void TKsJMSClient::WriteHeaders(const TKsJMSMessage& message, const TKsSendStamp& stamp, bool isObject,
                                TSendParts& parts, Headers& headers) const {
  WriteFields(message, stamp, parts, headers);
  WriteContentType(isObject, parts.isBytes, headers);
  WriteProperties(message, headers);
  if (isObject) {
    parts.transformation = owningConnection_ ? owningConnection_->GetTransformationName() : std::string();
    headers.Set("transformation", parts.transformation);
  }
}

template <class Headers>
void TKsJMSClient::WriteFields(const TKsJMSMessage& message, const TKsSendStamp& stamp, TSendParts& parts,
                               Headers& headers) const {
  headers.Set("correlation-id", message.GetCorrelationIDRef());
  const TDateTime expiration = stamp.expiration;
  if (expiration != 0.0) {
    if (dialect_ == TKsDialect::RabbitMQ) {
      headers.Set("expiration", Decimal(parts.expires, RelativeExpiration(stamp.timestamp, expiration)));
    } else {
      headers.Set("expires", Decimal(parts.expires, DateTimeToWire(expiration)));
    }
  }
  if (stamp.deliveryMode == TDeliveryMode::Persistent) headers.Set("persistent", "true");
  const std::int32_t priority = stamp.priority;
  if (priority != 4) headers.Set("priority", Decimal(parts.priority, priority));
  if (const auto& replyTo = message.GetReplyToRef()) {
    parts.replyTo = GetDestinationName(replyTo, dialect_);
    headers.Set("reply-to", parts.replyTo);
  }
  headers.Set("type", message.GetTypeRef());
  headers.Set("transaction", stamp.transaction);
}

template <class Headers>
void TKsJMSClient::WriteProperties(const TKsJMSMessage& message, Headers& headers) {
  const bool received = message.GetReceived();
  message.GetProperties().ForEach([&headers, received](std::string_view name, std::string_view value) {
    if (IsReservedName(name)) {
      // Headers the broker added on delivery are not the message's to send.
      if (received) return;
      RaiseReserved(name);
    }
    if (received && name == "subscription") return;
    headers.Set(name, value);
  });
}

void TKsJMSClient::MessageToFrame(const TKsJMSMessage& message, IStompFrame& frame) const {
  TSendParts parts;
  BuildSend(message, TKsSendStamp::Of(message), parts);
  for (std::size_t i = 0; i < parts.headers.Size(); ++i) {
    frame.SetHeader(parts.headers.Data()[i].first, parts.headers.Data()[i].second);
  }
  if (auto* own = TKsStompFrame::Own(frame)) {
    own->AssignBody(parts.body);
  } else {
    frame.SetBody(std::string(parts.body));
  }
}

void TKsJMSClient::Send(const TKsJMSMessage& message, const TKsSendStamp& stamp, std::string_view destinationName,
                        std::int32_t sendTimeout, std::string_view receipt) {
  const bool debug = DebugEnabled();
  if (!debug) {
    // A text message with every field at its default and no properties
    // (the usual case) has no header but the content type to write.
    const TKsJMSTextMessage* text = AsOwnTextMessage(&message);
    if (text != nullptr && HasOnlyDefaults(message, stamp)) {
      TKsDistinctHeaders headers;
      WriteContentType(false, false, headers);
      if (SendDistinct(destinationName, text->GetTextRef(), sendTimeout, receipt, true, headers)) return;
    }
  }
  SendWritten(message, stamp, destinationName, sendTimeout, receipt, debug);
}

bool TKsJMSClient::SendUsual(const TKsSendHead& head, const IMessage& message, std::int32_t sendTimeout) {
  // Send's first way, with the head Send would write for it already known.
  const TKsJMSTextMessage* text = AsOwnTextMessage(&message);
  if (text == nullptr || DebugEnabled() || !HasNoFields(*text)) return false;
  const std::string_view image = head.For(GetVersion());
  if (image.empty()) return false;
  SendHead(image, text->GetTextRef(), sendTimeout);
  return true;
}

void TKsJMSClient::MakeUsualHead(std::string& out, std::string_view destination, TKsStompVersion version) {
  // The headers of Send's first way: the content type alone.
  TKsDistinctHeaders headers;
  WriteContentTypeFor(version, false, false, headers);
  MakeDistinctHead(out, destination, headers, version);
}

void TKsJMSClient::SendWritten(const TKsJMSMessage& message, const TKsSendStamp& stamp,
                               std::string_view destinationName, std::int32_t sendTimeout, std::string_view receipt,
                               bool debug) {
  if (debug) Log("Send (JMSMessage)");
  // The headers are views into the message, the stamp and the parts; the
  // body goes from the message to the transport, never copied in between.
  auto parts = sendParts_.Lease();
  bool isObject = false;
  TakeBodyOf(message, parts->body, isObject, parts->isBytes);
  if (!debug && message.GetProperties().Empty()) {
    // No properties (the usual case): every header is one of the library's
    // own, each once, so they are written as they come.
    TKsDistinctHeaders headers;
    WriteHeaders(message, stamp, isObject, *parts, headers);
    if (SendDistinct(destinationName, parts->body, sendTimeout, receipt, !parts->isBytes, headers)) return;
  }
  parts->headers.Clear();
  WriteHeaders(message, stamp, isObject, *parts, parts->headers);
  SendViews(destinationName, parts->body, sendTimeout, receipt, !parts->isBytes, parts->headers.Data(),
            parts->headers.Size(), true);
}

void TKsJMSClient::FrameToMessage(const IStompFrame& frame, IMessage& message) const {
  const TKsFrameHeaderViews views(frame);
  ApplyMessageHeaders(views.Data(), views.Size(), message);
}

void TKsJMSClient::CopyFrameHeaders(const IStompFrame& frame, IMessage& message) const {
  const TKsFrameHeaderViews views(frame);
  ApplyHeaderProperties(views.Data(), views.Size(), message);
}

void TKsJMSClient::SetMessageCallback(TKsMessageCallback callback) {
  messageCallback_ = std::move(callback);
  dispatchTarget_ = nullptr;
  SetDetour(kDetourCallback, true);
}

void TKsJMSClient::SetDispatchTarget(TKsJMSConnection* connection) {
  messageCallback_ = nullptr;
  dispatchTarget_ = connection;
  SetDetour(kDetourCallback, connection == nullptr);
}

void TKsJMSClient::SetOwningConnection(TKsJMSConnection* connection) { owningConnection_ = connection; }

TKsJMSConnection* TKsJMSClient::GetOwningConnection() const { return owningConnection_; }

template <bool Plain>
inline void TKsJMSClient::DeliverMessage(const TKsHeaderView* headers, std::size_t count, std::string_view body,
                                         bool debug) {
  if constexpr (!Plain) {
    if (debug) Log("StompFrameAvailable");
    KS_ASSERT(dispatchTarget_ != nullptr || static_cast<bool>(messageCallback_), "Assertion failure");
    if (receiveSlot_ != nullptr) receiveSlot_->reset();
  }
  const TKsHeaderScan scan(headers, count);
  const std::string_view error = scan.Value(TKsHeaderScan::kTransformationError);
  if (!error.empty()) throw EJMSException("Transformation error: " + std::string(error));
  // From 1.1 on a body declared as opaque bytes arrives as a bytes message.
  const std::string_view* type = scan.Find(TKsHeaderScan::kContentType);
  // The message remembers the link it came on: an acknowledgement of it
  // is meant for that link alone.
  const std::uint64_t link = GetLink();
  std::shared_ptr<IMessage> delivered =
      type != nullptr && GetVersion() != TKsStompVersion::V1_0 && IsBytesContentType(*type)
          ? NewReceivedBytesMessage(owningConnection_, scan, body, link)
          : NewReceivedMessage(owningConnection_, scan, body, link);
  if constexpr (!Plain) {
    if (receiveSlot_ != nullptr) *receiveSlot_ = delivered;
    if (dispatchTarget_ == nullptr) {
      messageCallback_(this, std::move(delivered), scan.Find(TKsHeaderScan::kSubscription));
      return;
    }
  }
  dispatchTarget_->Dispatch(std::move(delivered), scan.Find(TKsHeaderScan::kSubscription));
}

void TKsJMSClient::MessageAvailable(const TKsParsedFrame& parsed) {
  // A frame object is made only for an OnMessage handler; the message is
  // built from the parsed views either way.
  if (HasOnMessage()) {
    TKsStompCustomClient::MessageAvailable(parsed);
    return;
  }
  DeliverMessage<false>(parsed.Headers(), parsed.HeaderCount(), parsed.Body(), FrameDebugEnabled());
}

void TKsJMSClient::StompFrameParsed(IStompCommAdapter* sender, const TKsParsedFrame& parsed) {
  if (Detours() != 0 || parsed.Escaped() || parsed.Command() != "MESSAGE" || DebugEnabled()) [[unlikely]] {
    TKsStompCustomClient::StompFrameParsed(sender, parsed);
    return;
  }
  DeliverMessage<true>(parsed.Headers(), parsed.HeaderCount(), parsed.Body(), false);
}

void TKsJMSClient::StompFrameAvailable(const std::shared_ptr<IStompFrame>& frame) {
  TKsStompCustomClient::StompFrameAvailable(frame);
  KS_ASSERT(frame && frame->GetCommand() == "MESSAGE", "Assertion failure");
  const TKsFrameHeaderViews views(*frame);
  DeliverMessage<false>(views.Data(), views.Size(), frame->GetBody(), FrameDebugEnabled());
}

std::shared_ptr<IMessage> TKsJMSClient::Receive() { return ReadMessage(TReadWay::Wait, 0); }

std::shared_ptr<IMessage> TKsJMSClient::Receive(std::int32_t timeout) { return ReadMessage(TReadWay::UpToTimeout, timeout); }

std::shared_ptr<IMessage> TKsJMSClient::ReceiveNoWait() { return ReadMessage(TReadWay::Poll, 0); }

std::shared_ptr<IMessage> TKsJMSClient::ReadMessage(TReadWay way, std::int32_t timeout) {
  IStompCommAdapter* adapter = GetAdapter();
  if (adapter == nullptr) return nullptr;
  std::shared_ptr<IMessage> received;
  // A read from inside a handler of this one has a slot of its own; while
  // a slot is set, every MESSAGE takes the way that fills it.
  const TKsScopedValue<std::shared_ptr<IMessage>*> slot(receiveSlot_, &received);
  struct TReceiving {
    TKsJMSClient& client;
    bool outer;
    ~TReceiving() { client.SetDetour(kDetourReceiving, outer); }
  } receiving{*this, (Detours() & kDetourReceiving) != 0};
  SetDetour(kDetourReceiving, true);
  if (way == TReadWay::Wait) {
    adapter->WaitForFrame();
  } else if (way == TReadWay::UpToTimeout) {
    adapter->ReceiveFrame(timeout, false);
  } else {
    adapter->PollFrame();
  }
  return received;
}

}  // namespace ks
