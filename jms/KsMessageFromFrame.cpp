#include "jms/KsMessageFromFrame.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSMessage.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

// The header fields of a message, by name with ASCII case folded.
enum TField { kMessageId, kCorrelationId, kExpires, kPersistent, kPriority, kReplyTo, kTimestamp, kType,
              kRedelivered, kFieldCount, kNone = kFieldCount };

TField FieldOf(std::string_view name) {
  switch (name.size()) {
    case 4: return SameText(name, "type") ? kType : kNone;
    case 7: return SameText(name, "expires") ? kExpires : kNone;
    case 8:
      if (SameText(name, "priority")) return kPriority;
      return SameText(name, "reply-to") ? kReplyTo : kNone;
    case 9: return SameText(name, "timestamp") ? kTimestamp : kNone;
    case 10:
      if (SameText(name, "message-id")) return kMessageId;
      return SameText(name, "persistent") ? kPersistent : kNone;
    case 11: return SameText(name, "redelivered") ? kRedelivered : kNone;
    case 14: return SameText(name, "correlation-id") ? kCorrelationId : kNone;
    default: return kNone;
  }
}

// The ten names (exact spelling) that never become properties.
bool IsStandardHeader(std::string_view name) {
  switch (name.size()) {
    case 4: return name == "type";
    case 7: return name == "expires";
    case 8: return name == "priority" || name == "reply-to";
    case 9: return name == "timestamp";
    case 10: return name == "message-id" || name == "persistent";
    case 11: return name == "destination" || name == "redelivered";
    case 14: return name == "correlation-id";
    default: return false;
  }
}

using TFieldValues = std::string_view[kFieldCount];

TDateTime WireTime(std::string_view value) {
  return TKsJMSClient::WireToDateTime(value.empty() ? 0 : StrToInt64Def(value, 0));
}

// A text field: straight from the view into one of the library's own
// messages (own), through the interface's setter into any other.
void SetTextField(TField field, std::string_view value, TKsMessage* own, IMessage& message) {
  if (own != nullptr) {
    if (field == kMessageId) own->AssignMessageID(value);
    if (field == kCorrelationId) own->AssignCorrelationID(value);
    if (field == kType) own->AssignType(value);
    return;
  }
  if (field == kMessageId) message.SetJMSMessageID(std::string(value));
  if (field == kCorrelationId) message.SetJMSCorrelationID(std::string(value));
  if (field == kType) message.SetJMSType(std::string(value));
}

void SetFields(const TFieldValues& v, IMessage& message) {
  TKsMessage* own = AsOwnMessage(&message);
  SetTextField(kMessageId, v[kMessageId], own, message);
  SetTextField(kCorrelationId, v[kCorrelationId], own, message);
  message.SetJMSExpiration(WireTime(v[kExpires]));
  message.SetJMSDeliveryMode(v[kPersistent] == "true" ? TDeliveryMode::Persistent : TDeliveryMode::NonPersistent);
  message.SetJMSPriority(StrToInt32Def(v[kPriority], 4));
  if (!v[kReplyTo].empty()) message.SetJMSReplyTo(TKsJMSClient::CreateDestinationFromStompName(std::string(v[kReplyTo])));
  message.SetJMSTimestamp(WireTime(v[kTimestamp]));
  SetTextField(kType, v[kType], own, message);
  message.SetJMSRedelivered(v[kRedelivered] == "true");
}

// Properties into an empty map of the library's own: sized once, appended
// in order. False when the fast way does not apply.
bool AppendProperties(const TKsHeaderView* headers, std::size_t count, TPrimitiveMap& map) {
  if (!map.Empty() || count > 64) return false;
  std::uint64_t chosen = 0;
  std::size_t entries = 0;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const TKsHeaderView& h = headers[i];
    if (IsStandardHeader(h.first)) continue;
    // A name with "=" takes the map's own rule for it.
    if (h.first.find('=') != std::string_view::npos) return false;
    chosen |= std::uint64_t{1} << i;
    ++entries;
    bytes += h.first.size() + h.second.size();
  }
  map.Reserve(entries, bytes);
  for (std::size_t i = 0; i < count; ++i) {
    if ((chosen >> i) & 1u) map.Append(headers[i].first, headers[i].second);
  }
  return true;
}

}  // namespace

const std::string_view* FindHeaderView(const TKsHeaderView* headers, std::size_t count, std::string_view name) {
  for (std::size_t i = 0; i < count; ++i) {
    if (SameText(headers[i].first, name)) return &headers[i].second;
  }
  return nullptr;
}

void ApplyHeaderProperties(const TKsHeaderView* headers, std::size_t count, IMessage& message) {
  // A final class of the library's has no override of SetStringProperty to
  // honour: its map is written directly.
  TKsJMSTextMessage* own = AsOwnTextMessage(&message);
  if (own != nullptr && AppendProperties(headers, count, own->GetProperties())) return;
  for (std::size_t i = 0; i < count; ++i) {
    const TKsHeaderView& h = headers[i];
    if (IsStandardHeader(h.first)) continue;
    if (own != nullptr) {
      own->GetProperties().SetString(std::string(h.first), std::string(h.second));
    } else {
      message.SetStringProperty(std::string(h.first), std::string(h.second));
    }
  }
}

void ApplyMessageHeaders(const TKsHeaderView* headers, std::size_t count, IMessage& message) {
  // A frame holds one entry per folded name, so the first entry found for a
  // field is its only one.
  TFieldValues values = {};
  for (std::size_t i = 0; i < count; ++i) {
    const TField field = FieldOf(headers[i].first);
    if (field != kNone && values[field].data() == nullptr) values[field] = headers[i].second;
  }
  SetFields(values, message);
  ApplyHeaderProperties(headers, count, message);
}

std::shared_ptr<TKsJMSTextMessage> NewReceivedMessage(TKsJMSConnection* connection, const TKsHeaderView* headers,
                                                      std::size_t count, std::string_view body) {
  auto message = TKsJMSTextMessage::Create(connection);
  ApplyMessageHeaders(headers, count, *message);
  message->SetReceived(true);
  // Bytes that are not valid UTF-8 are kept as they are.
  message->AssignText(body);
  return message;
}

TKsFrameHeaderViews::TKsFrameHeaderViews(const IStompFrame& frame) {
  if (const TKsStompFrame* own = TKsStompFrame::Own(frame)) {
    views_.reserve(own->HeaderList().size());
    for (const auto& h : own->HeaderList()) views_.emplace_back(h.first, h.second);
    return;
  }
  items_ = frame.GetHeaders();
  views_.reserve(items_.size());
  for (const TStompHeaderItem& item : items_) views_.emplace_back(item.Name, item.Value);
}

}  // namespace ks
