// KsOutgoingMessage: the edge of the send path. Whatever message an
// application sends (one of the library's own classes, or its own
// implementation of the text, bytes or object interface) is copied here,
// once, into one of the library's own message classes; every later step
// (stamping, the one SEND builder) sees only that class.
//
// The copies are kept and reused from send to send, so their buffers keep
// their capacity; a session leases them through a TKsScratch, whose trim
// step drops the references a copy holds once a send is over.
//
// Threads: no lock; one send at a time uses an object (the scratch's lease
// ensures it).
#pragma once

#include "jms/KsJMSMessage.hpp"
#include "support/KsScratch.hpp"

namespace ks {

class IMessage;

class TKsOutgoingMessage {
 public:
  TKsOutgoingMessage() : text_(nullptr), bytes_(nullptr), object_(nullptr) {}
  TKsOutgoingMessage(const TKsOutgoingMessage&) = delete;
  TKsOutgoingMessage& operator=(const TKsOutgoingMessage&) = delete;

  // The library's copy of source: its body (text, bytes, or serialised
  // object and object reference) and its fields and properties. Valid until
  // the next CopyOf. Raises Exception "Unknown Message type" for a message
  // with none of the three body interfaces.
  TKsJMSMessage& CopyOf(const IMessage& source);
  // Drops the destinations and the object the copies refer to.
  void ReleaseReferences() noexcept;

 private:
  TKsJMSMessage& BodyCopyOf(const IMessage& source);

  TKsJMSTextMessage text_;
  TKsJMSBytesMessage bytes_;
  TKsJMSObjectMessage object_;
};

// A reused copy keeps no destination or object alive between sends.
template <>
struct TKsScratchTrim<TKsOutgoingMessage> {
  static void Apply(TKsOutgoingMessage& value) { value.ReleaseReferences(); }
};

}  // namespace ks
