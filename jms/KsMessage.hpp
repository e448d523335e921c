// KsMessage: TKsMessage, the base of the library's message classes: every
// JMS header field, the application properties, the connection
// back-reference, the transaction id of an outgoing copy and the raw content
// (the body of bytes and object messages).
//
// A new message has priority 4, delivery mode NonPersistent and every other
// field empty, zero or false. Getters never raise.
//
// Ownership: messages are shared through IMessage references. The connection
// is an uncounted back-reference: the connection outlives its messages.
// Threads: no lock; a message belongs to one thread at a time and may be
// handed to another.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "jms/KsFieldTexts.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "jms/KsPrimitiveMap.hpp"

namespace ks {

class TKsJMSConnection;

class TKsMessage : public virtual IMessage {
 public:
  ~TKsMessage() override = default;

  void SetJMSMessageID(const std::string& value) override;
  std::string GetJMSMessageID() const override;
  std::shared_ptr<IDestination> GetJMSDestination() const override;
  void SetJMSReplyTo(const std::shared_ptr<IDestination>& value) override;
  std::shared_ptr<IDestination> GetJMSReplyTo() const override;
  void SetJMSPriority(std::int32_t value) override;
  std::int32_t GetJMSPriority() const override;
  void SetJMSDeliveryMode(TDeliveryMode value) override;
  TDeliveryMode GetJMSDeliveryMode() const override;
  void SetJMSRedelivered(bool value) override;
  bool GetJMSRedelivered() const override;
  void SetJMSExpiration(TDateTime value) override;
  TDateTime GetJMSExpiration() const override;
  void SetJMSCorrelationID(const std::string& value) override;
  std::string GetJMSCorrelationID() const override;
  std::string GetJMSType() const override;
  void SetJMSType(const std::string& value) override;
  TStringArray GetPropertyNames() const override;
  bool GetBooleanProperty(const std::string& name) const override;
  void SetBooleanProperty(const std::string& name, bool value) override;
  std::int32_t GetIntProperty(const std::string& name) const override;
  void SetIntProperty(const std::string& name, std::int32_t value) override;
  std::string GetStringProperty(const std::string& name) const override;
  void SetStringProperty(const std::string& name, const std::string& value) override;
  void SetJMSTimestamp(TDateTime value) override;
  TDateTime GetJMSTimestamp() const override;
  void Acknowledge() override;

  // Used by the session's send path on its outgoing copy.
  void SetJMSDestination(const std::shared_ptr<IDestination>& value);

  // Drops the destination and reply-to references (a reused copy keeps no
  // destination alive between sends).
  void ReleaseReferences() noexcept {
    replyTo_.reset();
    destination_.reset();
  }

  // Non-copying accessors for the frame conversion.
  std::string_view GetMessageIDRef() const noexcept { return properties_.Front(); }
  std::string_view GetCorrelationIDRef() const noexcept { return texts_.Get(TKsFieldTexts::kCorrelationId); }
  std::string_view GetTypeRef() const noexcept { return texts_.Get(TKsFieldTexts::kType); }
  // SetJMSPriority's check: Exception "JMS_MAX_PRIORITY" for a priority
  // over 9.
  static void CheckPriority(std::int32_t value) {
    if (value > 9) throw Exception("JMS_MAX_PRIORITY");
  }
  // A time as a message keeps it: a TDateTime (wireSize 0, head holds its
  // bits), or the text of a received wire time of wireSize bytes, nine to
  // sixteen (head holds its first eight bytes and tail its last eight, as
  // memcpy reads them), which is read only when asked for, by
  // TKsJMSClient::WireTextToDateTime, giving the value that reading it on
  // receipt would have given.
  struct TKeptTime {
    std::uint64_t head;
    std::uint64_t tail;
    std::uint8_t wireSize;
  };
  // Setters of the text fields from views (the receive path).
  void AssignMessageID(std::string_view value) { properties_.SetFront(value); }
  void AssignCorrelationID(std::string_view value) { texts_.Set(TKsFieldTexts::kCorrelationId, value); }
  void AssignType(std::string_view value) { texts_.Set(TKsFieldTexts::kType, value); }
  const std::shared_ptr<IDestination>& GetReplyToRef() const noexcept { return replyTo_; }
  const std::shared_ptr<IDestination>& GetDestinationRef() const noexcept { return destination_; }

  // The transaction id of an outgoing copy ("transaction" header).
  std::string_view GetTransactionID() const noexcept { return texts_.Get(TKsFieldTexts::kTransactionId); }
  void SetTransactionID(std::string_view value) { texts_.Set(TKsFieldTexts::kTransactionId, value); }
  void ClearTransactionID() noexcept { texts_.Set(TKsFieldTexts::kTransactionId, std::string_view()); }

  // The raw content: the body of bytes and object messages.
  const std::string& GetContentRef() const noexcept { return content_; }
  void SetContentRef(const std::string& value) { content_ = value; }
  void SetContentRef(std::string&& value) noexcept { content_ = std::move(value); }

  TPrimitiveMap& GetProperties() noexcept { return properties_; }
  const TPrimitiveMap& GetProperties() const noexcept { return properties_; }

  TKsJMSConnection* GetConnection() const noexcept { return connection_; }
  void SetConnection(TKsJMSConnection* connection) noexcept {
    if (connection != connection_) AssignConnection(connection);
  }

  // True for a message built from a frame the broker delivered: on a send
  // of it (a forward, a bridge), the headers the broker added on delivery
  // ("content-length", "subscription" and the other reserved names) are
  // left out instead of refused.
  bool GetReceived() const noexcept { return received_; }
  void SetReceived(bool value, std::uint64_t link = 0) noexcept {
    received_ = value;
    link_ = link;
  }
  // The link of its connection a received message came on (see
  // TKsStompCustomClient::GetLink); 0 for a message made here. Only an
  // acknowledgement on that same link means anything to the broker.
  std::uint64_t GetLink() const noexcept { return link_; }

  // Copies every header field and property of `source` (any IMessage) into
  // this message; the body, the connection and the transaction id are left
  // alone. Fast path when source is a TKsMessage.
  void CopyFieldsFrom(const IMessage& source);

 protected:
  explicit TKsMessage(TKsJMSConnection* connection) noexcept;
  // A received message (GetReceived), in place, for a caller that has read
  // the connection's serial number (TKsJMSConnection::GetSerial; 0 for no
  // connection) already. Its value fields and properties are set here
  // instead of after, each member made once with its value, from an object
  // of the caller's that answers them: Expiration() (a TDateTime),
  // DeliveryMode(), Redelivered(), Priority() (passed CheckPriority),
  // Timestamp() (a TKeptTime), Link() (see GetLink) and Properties() (the
  // map, message id in front, made where it lies). Each is asked once,
  // after the message's memory is taken, so that the caller need not hold
  // the values while it is. The text fields and reply-to, which few
  // messages carry, are the caller's to set after.
  template <class ReceivedFields>
  TKsMessage(TKsJMSConnection* connection, std::uint64_t serial, const ReceivedFields& fields) noexcept
      : expiration_(fields.Expiration()),
        deliveryMode_(fields.DeliveryMode()),
        redelivered_(fields.Redelivered()),
        received_(true),
        priority_(fields.Priority()),
        timestamp_(fields.Timestamp()),
        connection_(connection),
        connectionSerial_(serial),
        link_(fields.Link()),
        properties_(fields.Properties()) {}
  void AssignConnection(TKsJMSConnection* connection) noexcept;
  TKsMessage(const TKsMessage&) = default;
  TKsMessage& operator=(const TKsMessage&) = default;

 private:
  TDateTime expiration_ = 0.0;
  TDeliveryMode deliveryMode_ = TDeliveryMode::NonPersistent;
  bool redelivered_ = false;
  bool received_ = false;
  std::int32_t priority_ = 4;
  std::shared_ptr<IDestination> replyTo_;
  std::shared_ptr<IDestination> destination_;
  TKeptTime timestamp_ = {};
  // Used only through connectionSerial_ (TKsJMSConnection::WithLive), so a
  // message may outlive its connection.
  TKsJMSConnection* connection_;
  std::uint64_t connectionSerial_ = 0;
  std::uint64_t link_ = 0;
  TKsFieldTexts texts_;  // correlation id, type, transaction id
  std::string content_;
  TPrimitiveMap properties_;  // also holds the message id (its Front)
};

}  // namespace ks
