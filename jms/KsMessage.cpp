#include "jms/KsMessage.hpp"

#include <bit>
#include <cstring>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSMessage.hpp"

namespace ks {

void TKsMessage::SetJMSMessageID(const std::string& value) { properties_.SetFront(value); }
std::string TKsMessage::GetJMSMessageID() const { return std::string(properties_.Front()); }
std::shared_ptr<IDestination> TKsMessage::GetJMSDestination() const { return destination_; }
void TKsMessage::SetJMSDestination(const std::shared_ptr<IDestination>& value) { destination_ = value; }
void TKsMessage::SetJMSReplyTo(const std::shared_ptr<IDestination>& value) { replyTo_ = value; }
std::shared_ptr<IDestination> TKsMessage::GetJMSReplyTo() const { return replyTo_; }

void TKsMessage::SetJMSPriority(std::int32_t value) {
  CheckPriority(value);
  priority_ = value;
}

std::int32_t TKsMessage::GetJMSPriority() const { return priority_; }
void TKsMessage::SetJMSDeliveryMode(TDeliveryMode value) { deliveryMode_ = value; }
TDeliveryMode TKsMessage::GetJMSDeliveryMode() const { return deliveryMode_; }
void TKsMessage::SetJMSRedelivered(bool value) { redelivered_ = value; }
bool TKsMessage::GetJMSRedelivered() const { return redelivered_; }
void TKsMessage::SetJMSExpiration(TDateTime value) { expiration_ = value; }
TDateTime TKsMessage::GetJMSExpiration() const { return expiration_; }
void TKsMessage::SetJMSCorrelationID(const std::string& value) { AssignCorrelationID(value); }
std::string TKsMessage::GetJMSCorrelationID() const { return std::string(GetCorrelationIDRef()); }
std::string TKsMessage::GetJMSType() const { return std::string(GetTypeRef()); }
void TKsMessage::SetJMSType(const std::string& value) { AssignType(value); }
TStringArray TKsMessage::GetPropertyNames() const { return properties_.GetNames(); }
bool TKsMessage::GetBooleanProperty(const std::string& name) const { return properties_.GetBoolean(name); }
void TKsMessage::SetBooleanProperty(const std::string& name, bool value) { properties_.SetBoolean(name, value); }
std::int32_t TKsMessage::GetIntProperty(const std::string& name) const { return properties_.GetInteger(name); }
void TKsMessage::SetIntProperty(const std::string& name, std::int32_t value) { properties_.SetInteger(name, value); }
std::string TKsMessage::GetStringProperty(const std::string& name) const { return properties_.GetString(name); }
void TKsMessage::SetStringProperty(const std::string& name, const std::string& value) {
  properties_.SetString(name, value);
}
void TKsMessage::SetJMSTimestamp(TDateTime value) {
  timestamp_.head = std::bit_cast<std::uint64_t>(value);
  timestamp_.wireSize = 0;
}

TDateTime TKsMessage::GetJMSTimestamp() const {
  const std::size_t size = timestamp_.wireSize;
  if (size == 0) return std::bit_cast<TDateTime>(timestamp_.head);
  // The received text again: its first eight bytes, then its last eight.
  char text[16];
  std::memcpy(text, &timestamp_.head, 8);
  std::memcpy(text + size - 8, &timestamp_.tail, 8);
  return TKsJMSClient::WireTextToDateTime(std::string_view(text, size));
}

TKsMessage::TKsMessage(TKsJMSConnection* connection) noexcept
    : connection_(connection), connectionSerial_(connection != nullptr ? connection->GetSerial() : 0) {}

void TKsMessage::AssignConnection(TKsJMSConnection* connection) noexcept {
  connection_ = connection;
  connectionSerial_ = connection != nullptr ? connection->GetSerial() : 0;
}

void TKsMessage::Acknowledge() {
  // A message made without a connection has nowhere to send its ACK.
  if (connection_ == nullptr) throw EIllegalStateException("The message has no connection");
  TKsJMSConnection::WithLive(connectionSerial_, [this](TKsJMSConnection& connection) { connection.Acknowledge(*this); });
}

void TKsMessage::CopyFieldsFrom(const IMessage& source) {
  if (const TKsMessage* own = AsOwnMessage(&source)) {
    if (own == this) return;
    // The message id goes with the properties (their map holds it).
    AssignCorrelationID(own->GetCorrelationIDRef());
    replyTo_ = own->replyTo_;
    destination_ = own->destination_;
    deliveryMode_ = own->deliveryMode_;
    redelivered_ = own->redelivered_;
    AssignType(own->GetTypeRef());
    expiration_ = own->expiration_;
    priority_ = own->priority_;
    timestamp_ = own->timestamp_;
    properties_ = own->properties_;
    received_ = own->received_;
    return;
  }
  properties_.SetFront(source.GetJMSMessageID());
  AssignCorrelationID(source.GetJMSCorrelationID());
  replyTo_ = source.GetJMSReplyTo();
  destination_ = source.GetJMSDestination();
  deliveryMode_ = source.GetJMSDeliveryMode();
  redelivered_ = source.GetJMSRedelivered();
  AssignType(source.GetJMSType());
  expiration_ = source.GetJMSExpiration();
  priority_ = source.GetJMSPriority();
  TKsMessage::SetJMSTimestamp(source.GetJMSTimestamp());
  received_ = false;
  properties_.Clear();
  for (const auto& name : source.GetPropertyNames()) properties_.SetString(name, source.GetStringProperty(name));
}

}  // namespace ks
