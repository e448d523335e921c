#include "jms/KsJMSClient.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsQueue.hpp"
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

// Incoming headers with these names become message fields, never properties.
constexpr std::string_view kStandardHeaders[] = {"message-id", "persistent", "priority",  "destination",
                                                 "reply-to",   "timestamp",  "type",      "redelivered",
                                                 "correlation-id", "expires"};

bool IsStandardHeader(std::string_view name) {
  for (std::string_view h : kStandardHeaders) {
    if (h == name) return true;
  }
  return false;
}

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

// The value of a header without a copy when the frame is one of ours.
std::string HeaderText(const IStompFrame& frame, std::string_view name) {
  if (const auto* own = dynamic_cast<const TKsStompFrame*>(&frame)) {
    const std::string* value = own->FindHeader(name);
    return value ? *value : std::string();
  }
  return frame.GetHeader(name);
}

// The body bytes a message class puts on the wire; nullptr body for a class
// that cannot be sent.
const std::string* BodyOf(const TKsJMSMessage& message, bool& isObject, bool& isBytes) {
  isObject = false;
  isBytes = false;
  if (const auto* text = dynamic_cast<const TKsJMSTextMessage*>(&message)) return &text->GetTextRef();
  if (const auto* bytes = dynamic_cast<const TKsJMSBytesMessage*>(&message)) {
    isBytes = true;
    return &bytes->GetContentRef();
  }
  if (const auto* object = dynamic_cast<const TKsJMSObjectMessage*>(&message)) {
    isObject = true;
    return &object->GetContentRef();  // held as UTF-8 already
  }
  return nullptr;
}

// Marks the per-thread send frame as in use, so that a nested send on the
// same thread (not expected) builds its own.
struct TFrameSlot {
  static thread_local TKsStompFrame frame;
  static thread_local bool inUse;
  TKsStompFrame local;
  bool owner = false;
  TKsStompFrame& Get() { return owner ? frame : local; }
  TFrameSlot() {
    if (!inUse) {
      inUse = true;
      owner = true;
      frame.Clear();
    }
  }
  ~TFrameSlot() {
    if (owner) inUse = false;
  }
  TFrameSlot(const TFrameSlot&) = delete;
  TFrameSlot& operator=(const TFrameSlot&) = delete;
};

thread_local TKsStompFrame TFrameSlot::frame;
thread_local bool TFrameSlot::inUse = false;

}  // namespace

TKsJMSClient::TKsJMSClient() {
  if (AdapterClassCount() == 0) throw EKsNoCommAdapterInstalled("No communication adapter registered");
  Log("Set default communication adapter");
  SetAdapter(CreateDefaultAdapter());
}

TKsJMSClient::~TKsJMSClient() {
  // The adapter (and with it any reader thread that calls back into this
  // client) goes while this object is still whole.
  SetAdapter(nullptr);
}

const char* TKsJMSClient::ClassName() const { return "TKsJMSClient"; }

void TKsJMSClient::Log(const std::string& text) {
  if (!DebugEnabled()) return;
  GetLogger()->Trace("TKsJMSClient: " + text);
}

std::string TKsJMSClient::GetDestinationName(const std::shared_ptr<IDestination>& destination) {
  if (!destination) return std::string();
  switch (destination->GetDestinationType()) {
    case TDestinationType::Topic: {
      std::string name(kTopicPrefix);
      name += IntfCast<ITopic>(destination)->GetTopicName();
      return name;
    }
    case TDestinationType::Queue: {
      std::string name(kQueuePrefix);
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
  throw Exception("CreateDestinationFromStompName");
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

TDateTime TKsJMSClient::WireToDateTime(std::int64_t millis) {
  std::int64_t seconds = millis / 1000;
  return static_cast<double>(seconds) / 86400.0 + kUnixEpochDateTime;
}

// Headers 1 to 8 of a SEND frame (fields, transaction, properties).
static void WriteMessageHeaders(const TKsJMSMessage& message, IStompFrame& frame) {
  char buffer[24];
  frame.SetHeader("correlation-id", message.GetCorrelationIDRef());
  const TDateTime expiration = message.GetJMSExpiration();
  if (expiration != 0.0) frame.SetHeader("expires", Decimal(buffer, TKsJMSClient::DateTimeToWire(expiration)));
  if (message.GetJMSDeliveryMode() == TDeliveryMode::Persistent) frame.SetHeader("persistent", "true");
  const std::int32_t priority = message.GetJMSPriority();
  if (priority != 4) frame.SetHeader("priority", Decimal(buffer, priority));
  if (const auto& replyTo = message.GetReplyToRef()) {
    frame.SetHeader("reply-to", TKsJMSClient::GetDestinationName(replyTo));
  }
  frame.SetHeader("type", message.GetTypeRef());
  frame.SetHeader("transaction", message.GetTransactionID());
  const TPrimitiveMap& properties = message.GetProperties();
  const std::size_t count = properties.Count();
  for (std::size_t i = 0; i < count; ++i) {
    std::string_view name = properties.NameAt(i);
    if (IsReservedName(name)) RaiseReserved(name);
    frame.SetHeader(name, properties.ValueAt(i));
  }
}

void TKsJMSClient::MessageToFrame(const TKsJMSMessage& message, IStompFrame& frame) const {
  WriteMessageHeaders(message, frame);
  bool isObject = false;
  bool isBytes = false;
  const std::string* body = BodyOf(message, isObject, isBytes);
  if (body == nullptr) throw EJMSException("Unsupported JMS Message Type");
  if (auto* own = dynamic_cast<TKsStompFrame*>(&frame)) {
    own->AssignBody(*body);
  } else {
    frame.SetBody(*body);
  }
  if (isObject) {
    frame.SetHeader("transformation",
                    owningConnection_ ? owningConnection_->GetTransformationName() : std::string());
  }
}

void TKsJMSClient::Send(const TKsJMSMessage& message, const std::string& destinationName, std::int32_t sendTimeout) {
  bool isObject = false;
  bool isBytes = false;
  const std::string* body = BodyOf(message, isObject, isBytes);
  if (body == nullptr) throw Exception("Unsupported JMS Message Type");
  Log("Send (JMSMessage)");

  // The headers go into a reused per-thread frame; the body is passed
  // straight from the message to the frame image, never copied in between.
  TFrameSlot slot;
  TKsStompFrame& frame = slot.Get();
  WriteMessageHeaders(message, frame);
  if (isObject) {
    frame.SetHeader("transformation",
                    owningConnection_ ? owningConnection_->GetTransformationName() : std::string());
  }
  thread_local std::vector<TKsHeaderView> views;
  views.clear();
  for (const auto& h : frame.HeaderList()) views.emplace_back(h.first, h.second);
  SendViews(destinationName, *body, sendTimeout, std::string_view(), !isBytes, views.data(), views.size());
}

void TKsJMSClient::FrameToMessage(const IStompFrame& frame, IMessage& message) const {
  message.SetJMSMessageID(HeaderText(frame, "message-id"));
  message.SetJMSCorrelationID(HeaderText(frame, "correlation-id"));
  message.SetJMSExpiration(WireToDateTime(StrToInt64Def(HeaderText(frame, "expires"), 0)));
  message.SetJMSDeliveryMode(HeaderText(frame, "persistent") == "true" ? TDeliveryMode::Persistent
                                                                       : TDeliveryMode::NonPersistent);
  message.SetJMSPriority(StrToInt32Def(HeaderText(frame, "priority"), 4));
  const std::string replyTo = HeaderText(frame, "reply-to");
  if (!replyTo.empty()) message.SetJMSReplyTo(CreateDestinationFromStompName(replyTo));
  message.SetJMSTimestamp(WireToDateTime(StrToInt64Def(HeaderText(frame, "timestamp"), 0)));
  message.SetJMSType(HeaderText(frame, "type"));
  message.SetJMSRedelivered(HeaderText(frame, "redelivered") == "true");
  CopyFrameHeaders(frame, message);
}

void TKsJMSClient::CopyFrameHeaders(const IStompFrame& frame, IMessage& message) const {
  if (const auto* own = dynamic_cast<const TKsStompFrame*>(&frame)) {
    for (const auto& h : own->HeaderList()) {
      if (!IsStandardHeader(h.first)) message.SetStringProperty(h.first, h.second);
    }
    return;
  }
  for (const TStompHeaderItem& item : frame.GetHeaders()) {
    if (!IsStandardHeader(item.Name)) message.SetStringProperty(item.Name, item.Value);
  }
}

void TKsJMSClient::SetMessageCallback(TKsMessageCallback callback) { messageCallback_ = std::move(callback); }

void TKsJMSClient::SetOwningConnection(TKsJMSConnection* connection) { owningConnection_ = connection; }

TKsJMSConnection* TKsJMSClient::GetOwningConnection() const { return owningConnection_; }

void TKsJMSClient::StompFrameAvailable(const std::shared_ptr<IStompFrame>& frame) {
  TKsStompCustomClient::StompFrameAvailable(frame);
  Log("StompFrameAvailable");
  KS_ASSERT(static_cast<bool>(messageCallback_), "Assertion failure");
  KS_ASSERT(frame && frame->GetCommand() == "MESSAGE", "Assertion failure");
  lastMessage_.reset();
  const std::string transformationError = HeaderText(*frame, "transformation-error");
  if (!transformationError.empty()) throw EJMSException("Transformation error: " + transformationError);

  auto message = TKsJMSTextMessage::Create(owningConnection_);
  FrameToMessage(*frame, *message);
  // Bytes that are not valid UTF-8 are kept as they are.
  message->AssignText(frame->GetBody());
  std::shared_ptr<IMessage> delivered = message;
  lastMessage_ = delivered;
  messageCallback_(this, delivered);
}

std::shared_ptr<IMessage> TKsJMSClient::Receive() {
  lastMessage_.reset();
  if (IStompCommAdapter* adapter = GetAdapter()) adapter->WaitForFrame();
  return lastMessage_;
}

std::shared_ptr<IMessage> TKsJMSClient::Receive(std::int32_t timeout) {
  lastMessage_.reset();
  if (IStompCommAdapter* adapter = GetAdapter()) adapter->ReceiveFrame(timeout, false);
  return lastMessage_;
}

std::shared_ptr<IMessage> TKsJMSClient::ReceiveNoWait() {
  lastMessage_.reset();
  if (IStompCommAdapter* adapter = GetAdapter()) adapter->PollFrame();
  return lastMessage_;
}

}  // namespace ks
