#include "jms/KsOutgoingMessage.hpp"

#include "jms/KsJMSInterfaces.hpp"
#include "support/KsException.hpp"

namespace ks {

TKsJMSMessage& TKsOutgoingMessage::CopyOf(const IMessage& source) {
  TKsJMSMessage& copy = BodyCopyOf(source);
  copy.CopyFieldsFrom(source);
  return copy;
}

TKsJMSMessage& TKsOutgoingMessage::BodyCopyOf(const IMessage& source) {
  // One of the library's own messages lends its body without a copy of its
  // own; an application's class is asked through its interface.
  const TKsMessage* own = AsOwnMessage(&source);
  if (const TKsJMSTextMessage* ownText = AsOwnTextMessage(&source)) {
    text_.AssignText(ownText->GetTextRef());
    return text_;
  }
  if (const auto* text = dynamic_cast<const ITextMessage*>(&source)) {
    text_.SetTextRef(text->GetText());
    return text_;
  }
  if (const auto* bytes = dynamic_cast<const IBytesMessage*>(&source)) {
    own != nullptr ? bytes_.SetContentRef(own->GetContentRef()) : bytes_.SetContentRef(bytes->GetContent());
    return bytes_;
  }
  if (const auto* object = dynamic_cast<const IObjectMessage*>(&source)) {
    own != nullptr ? object_.SetContentRef(own->GetContentRef()) : object_.SetContentRef(object->GetContent());
    object_.SetObject(object->GetObject());
    return object_;
  }
  throw Exception("Unknown Message type");
}

void TKsOutgoingMessage::ReleaseReferences() noexcept {
  text_.ReleaseReferences();
  bytes_.ReleaseReferences();
  object_.ReleaseReferences();
  object_.SetObject(nullptr);
}

}  // namespace ks
