#include "jms/KsJMSMessage.hpp"

namespace ks {

std::shared_ptr<TKsJMSMessage> TKsJMSMessage::Create(TKsJMSConnection* connection) {
  return std::make_shared<TKsJMSMessage>(connection);
}

std::shared_ptr<TKsJMSTextMessage> TKsJMSTextMessage::Create(TKsJMSConnection* connection) {
  return std::make_shared<TKsJMSTextMessage>(connection);
}

void TKsJMSTextMessage::SetText(const std::string& value) { text_ = value; }
std::string TKsJMSTextMessage::GetText() const { return text_; }

std::shared_ptr<TKsJMSBytesMessage> TKsJMSBytesMessage::Create(TKsJMSConnection* connection) {
  return std::make_shared<TKsJMSBytesMessage>(connection);
}

void TKsJMSBytesMessage::SetContent(const std::string& value) { SetContentRef(value); }
std::string TKsJMSBytesMessage::GetContent() const { return GetContentRef(); }

std::shared_ptr<TKsJMSObjectMessage> TKsJMSObjectMessage::Create(TKsJMSConnection* connection) {
  return std::make_shared<TKsJMSObjectMessage>(connection);
}

void TKsJMSObjectMessage::SetContent(const std::string& value) { SetContentRef(value); }
std::string TKsJMSObjectMessage::GetContent() const { return GetContentRef(); }
void TKsJMSObjectMessage::SetObject(void* value) { object_ = value; }
void* TKsJMSObjectMessage::GetObject() const { return object_; }

}  // namespace ks
