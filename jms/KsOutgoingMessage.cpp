#include "jms/KsOutgoingMessage.hpp"

#include "jms/KsJMSInterfaces.hpp"
#include "support/KsException.hpp"

namespace ks {

namespace {

// The content (bytes, or a serialised object) of source into copy: straight
// from one of the library's own messages, through the interface otherwise.
template <class Body>
void CopyContent(const IMessage& source, const Body& body, TKsMessage& copy) {
  if (const TKsMessage* own = AsOwnMessage(&source)) {
    copy.SetContentRef(own->GetContentRef());
  } else {
    copy.SetContentRef(body.GetContent());
  }
}

}  // namespace

TKsJMSMessage& TKsOutgoingMessage::CopyOf(const IMessage& source) {
  TKsJMSMessage& copy = BodyCopyOf(source);
  copy.CopyFieldsFrom(source);
  return copy;
}

TKsJMSMessage& TKsOutgoingMessage::BodyCopyOf(const IMessage& source) {
  // One of the library's own messages lends its body without a copy of its
  // own; an application's class is asked through its interface.
  if (const TKsJMSTextMessage* ownText = AsOwnTextMessage(&source)) {
    text_.AssignText(ownText->GetTextRef());
    return text_;
  }
  if (const auto* text = dynamic_cast<const ITextMessage*>(&source)) {
    text_.AssignText(text->GetText());
    return text_;
  }
  if (const auto* bytes = dynamic_cast<const IBytesMessage*>(&source)) {
    CopyContent(source, *bytes, bytes_);
    return bytes_;
  }
  if (const auto* object = dynamic_cast<const IObjectMessage*>(&source)) {
    CopyContent(source, *object, object_);
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
