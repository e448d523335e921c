// KsJMSMessage: the concrete message classes. TKsJMSMessage has no body;
// TKsJMSTextMessage carries a UTF-8 text; TKsJMSBytesMessage carries raw
// bytes (the content of TKsMessage); TKsJMSObjectMessage carries its
// serialised content and an uncounted object reference.
//
// Each class answers a type query (dynamic_pointer_cast) only for IMessage
// and its own body interface: the body interfaces are added on leaf classes
// only, so a bytes message is never an IObjectMessage and the other way round.
//
// Ownership: made with Create(connection) (in memory from the thread's block
// cache, KsBlockCache.hpp) and shared through IMessage references; the
// constructors are public so that a short-lived copy may also live on the
// stack. The connection is an uncounted back-reference.
// Threads: no lock; a message belongs to one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

#include "jms/KsMessage.hpp"
#include "support/KsBlockCache.hpp"
#include "support/KsTextBuffer.hpp"

namespace ks {

class TKsJMSMessage : public TKsMessage {
 public:
  explicit TKsJMSMessage(TKsJMSConnection* connection) noexcept : TKsMessage(connection) {}
  // A received message (see TKsMessage).
  template <class ReceivedFields>
  TKsJMSMessage(TKsJMSConnection* connection, std::uint64_t serial, const ReceivedFields& fields) noexcept
      : TKsMessage(connection, serial, fields) {}
  static std::shared_ptr<TKsJMSMessage> Create(TKsJMSConnection* connection);
};

class TKsJMSTextMessage final : public TKsJMSMessage, public virtual ITextMessage {
 public:
  explicit TKsJMSTextMessage(TKsJMSConnection* connection) noexcept : TKsJMSMessage(connection) {}
  template <class ReceivedFields>
  TKsJMSTextMessage(TKsJMSConnection* connection, std::uint64_t serial, const ReceivedFields& fields) noexcept
      : TKsJMSMessage(connection, serial, fields), text_(fields.Body()) {}
  static std::shared_ptr<TKsJMSTextMessage> Create(TKsJMSConnection* connection);
  // A received message, in place, for the receive path, which has read the
  // connection's serial number (TKsJMSConnection::GetSerial; 0 for no
  // connection) already and answers the frame's fields and properties (see
  // TKsMessage's received constructor) and, as Body(), the text.
  template <class ReceivedFields>
  static std::shared_ptr<TKsJMSTextMessage> Create(TKsJMSConnection* connection, std::uint64_t serial,
                                                   const ReceivedFields& fields) {
    return std::allocate_shared<TKsJMSTextMessage>(TKsCachedAllocator<TKsJMSTextMessage>(), connection, serial,
                                                   fields);
  }

  // Defined here, so that the class has no key function: its virtual
  // tables are then known in every unit that makes one, which lets the
  // compiler write the object's table pointers once instead of reading the
  // construction tables as it would from another unit's.
  void SetText(const std::string& value) override { AssignText(value); }
  std::string GetText() const override { return std::string(text_.View()); }

  std::string_view GetTextRef() const noexcept { return text_.View(); }
  // Copies into the existing buffer (keeps its capacity).
  void AssignText(std::string_view value) { text_.Assign(value); }

 private:
  TKsTextBuffer text_;
};

class TKsJMSBytesMessage final : public TKsJMSMessage, public virtual IBytesMessage {
 public:
  explicit TKsJMSBytesMessage(TKsJMSConnection* connection) noexcept : TKsJMSMessage(connection) {}
  static std::shared_ptr<TKsJMSBytesMessage> Create(TKsJMSConnection* connection);

  void SetContent(const std::string& value) override;
  std::string GetContent() const override;
};

class TKsJMSObjectMessage final : public TKsJMSMessage, public virtual IObjectMessage {
 public:
  explicit TKsJMSObjectMessage(TKsJMSConnection* connection) noexcept : TKsJMSMessage(connection) {}
  static std::shared_ptr<TKsJMSObjectMessage> Create(TKsJMSConnection* connection);

  void SetContent(const std::string& value) override;
  std::string GetContent() const override;
  void SetObject(void* value) override;
  void* GetObject() const override;

 private:
  void* object_ = nullptr;  // not owned: the application keeps it alive
};

// Type queries for the send and dispatch paths. They answer exactly what
// dynamic_cast answers (nullptr for none and for the application's own
// message classes), but when the message is one of the three leaf classes
// above they cost one type comparison instead of a walk of the class graph
// (IMessage is a virtual base, which makes dynamic_cast expensive).
const TKsMessage* AsOwnMessage(const IMessage* message) noexcept;
TKsMessage* AsOwnMessage(IMessage* message) noexcept;
// (In place: the usual send asks it once per message.)
[[gnu::always_inline]] inline const TKsJMSTextMessage* AsOwnTextMessage(const IMessage* message) noexcept {
  if (message == nullptr || typeid(*message) != typeid(TKsJMSTextMessage)) return nullptr;
  // The most derived object, whose address dynamic_cast<const void*> reads
  // from the virtual table.
  return static_cast<const TKsJMSTextMessage*>(dynamic_cast<const void*>(message));
}
TKsJMSTextMessage* AsOwnTextMessage(IMessage* message) noexcept;
// The message itself when it is exactly one of the three leaf classes above
// (which the send path writes as they are), else nullptr. A text message,
// the usual one, is told in place (the send path asks once per message);
// AsOwnOtherLeafMessage answers for the two others.
const TKsJMSMessage* AsOwnOtherLeafMessage(const IMessage* message) noexcept;
[[gnu::always_inline]] inline const TKsJMSMessage* AsOwnLeafMessage(const IMessage* message) noexcept {
  if (const TKsJMSTextMessage* text = AsOwnTextMessage(message)) return text;
  return AsOwnOtherLeafMessage(message);
}
// The same for a message already known to be one of the library's (in
// place: the send path asks it once per message).
inline const TKsJMSTextMessage* AsOwnTextMessage(const TKsJMSMessage* message) noexcept {
  if (message == nullptr || typeid(*message) != typeid(TKsJMSTextMessage)) return nullptr;
  return static_cast<const TKsJMSTextMessage*>(message);
}
const TKsJMSBytesMessage* AsOwnBytesMessage(const TKsJMSMessage* message) noexcept;
const TKsJMSObjectMessage* AsOwnObjectMessage(const TKsJMSMessage* message) noexcept;

}  // namespace ks
