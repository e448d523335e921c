#include "jms/KsJMSMessage.hpp"

#include <type_traits>
#include <typeinfo>

namespace ks {

namespace {

// The Leaf object whose IMessage part is `message`, when the object's
// dynamic type is exactly Leaf. Then the Leaf is the most derived object, so
// its address is the one dynamic_cast<const void*> reads from the virtual
// table (no walk of the class graph, which a cast to Leaf would make, since
// IMessage is a virtual base).
template <class Leaf>
const Leaf* ExactLeaf(const IMessage* message) noexcept {
  static_assert(std::is_final_v<Leaf>);
  if (typeid(*message) != typeid(Leaf)) return nullptr;
  return static_cast<const Leaf*>(dynamic_cast<const void*>(message));
}

// The same from TKsJMSMessage, an ordinary base: a plain static_cast.
template <class Leaf>
const Leaf* ExactLeaf(const TKsJMSMessage* message) noexcept {
  static_assert(std::is_final_v<Leaf>);
  if (message == nullptr || typeid(*message) != typeid(Leaf)) return nullptr;
  return static_cast<const Leaf*>(message);
}

}  // namespace

const TKsJMSMessage* AsOwnOtherLeafMessage(const IMessage* message) noexcept {
  if (message == nullptr) return nullptr;
  if (const auto* bytes = ExactLeaf<TKsJMSBytesMessage>(message)) return bytes;
  return ExactLeaf<TKsJMSObjectMessage>(message);
}

const TKsMessage* AsOwnMessage(const IMessage* message) noexcept {
  if (const TKsJMSMessage* leaf = AsOwnLeafMessage(message)) return leaf;
  return message == nullptr ? nullptr : dynamic_cast<const TKsMessage*>(message);
}

TKsMessage* AsOwnMessage(IMessage* message) noexcept {
  // The object is not const; only the query is written once.
  return const_cast<TKsMessage*>(AsOwnMessage(static_cast<const IMessage*>(message)));
}

TKsJMSTextMessage* AsOwnTextMessage(IMessage* message) noexcept {
  return const_cast<TKsJMSTextMessage*>(AsOwnTextMessage(static_cast<const IMessage*>(message)));
}

const TKsJMSBytesMessage* AsOwnBytesMessage(const TKsJMSMessage* message) noexcept {
  return ExactLeaf<TKsJMSBytesMessage>(message);
}

const TKsJMSObjectMessage* AsOwnObjectMessage(const TKsJMSMessage* message) noexcept {
  return ExactLeaf<TKsJMSObjectMessage>(message);
}

std::shared_ptr<TKsJMSMessage> TKsJMSMessage::Create(TKsJMSConnection* connection) {
  return std::allocate_shared<TKsJMSMessage>(TKsCachedAllocator<TKsJMSMessage>(), connection);
}

std::shared_ptr<TKsJMSTextMessage> TKsJMSTextMessage::Create(TKsJMSConnection* connection) {
  return std::allocate_shared<TKsJMSTextMessage>(TKsCachedAllocator<TKsJMSTextMessage>(), connection);
}


std::shared_ptr<TKsJMSBytesMessage> TKsJMSBytesMessage::Create(TKsJMSConnection* connection) {
  return std::allocate_shared<TKsJMSBytesMessage>(TKsCachedAllocator<TKsJMSBytesMessage>(), connection);
}

void TKsJMSBytesMessage::SetContent(const std::string& value) { SetContentRef(value); }
std::string TKsJMSBytesMessage::GetContent() const { return GetContentRef(); }

std::shared_ptr<TKsJMSObjectMessage> TKsJMSObjectMessage::Create(TKsJMSConnection* connection) {
  return std::allocate_shared<TKsJMSObjectMessage>(TKsCachedAllocator<TKsJMSObjectMessage>(), connection);
}

void TKsJMSObjectMessage::SetContent(const std::string& value) { SetContentRef(value); }
std::string TKsJMSObjectMessage::GetContent() const { return GetContentRef(); }
void TKsJMSObjectMessage::SetObject(void* value) { object_ = value; }
void* TKsJMSObjectMessage::GetObject() const { return object_; }

}  // namespace ks
