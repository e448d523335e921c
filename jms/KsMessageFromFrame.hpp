// KsMessageFromFrame: the one way a received MESSAGE frame becomes a message.
// The frame comes as its header list (views, by the frame's rules: one entry
// per name with ASCII case folded, no empty values) and its body, whether it
// was parsed straight from the wire or is a frame object.
//
// The header fields (message-id, correlation-id, expires, persistent,
// priority, reply-to, timestamp, type, redelivered; names with ASCII case
// folded) fill the message's fields; every header whose name is not exactly
// one of the ten standard names (those nine and destination) becomes a
// string property, in list order. A received message is a text message
// whose text is the body's bytes as they are; NewReceivedBytesMessage makes
// a bytes message instead, for a frame whose "content-type" says its body is
// opaque bytes (see IsBytesContentType).
//
// Errors: the message's priority setter raises for a priority over 9.
// Threads: no state; reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "stomp/KsStompFrame.hpp"

namespace ks {

class IMessage;
class IStompFrame;
class TKsJMSConnection;
class TKsJMSTextMessage;

// One pass over a received frame's header list: the values of the header
// fields and of "subscription" and "transformation-error" (the first entry
// per folded name), and which entries become properties. The list must
// outlive the scan.
class TKsHeaderScan {
 public:
  // The slots of the scan: the nine header fields, then the two names the
  // delivery looks at.
  enum TSlot { kMessageId, kCorrelationId, kExpires, kPersistent, kPriority, kReplyTo, kTimestamp, kType,
               kRedelivered, kFieldCount, kSubscription = kFieldCount, kTransformationError, kContentType,
               kSlotCount };

  TKsHeaderScan(const TKsHeaderView* headers, std::size_t count);
  // The value in slot, or nullptr when the list has no such header.
  const std::string_view* Find(TSlot slot) const { return slots_[slot + 1]; }
  std::string_view Value(TSlot slot) const {
    return slots_[slot + 1] != nullptr ? *slots_[slot + 1] : std::string_view();
  }
  const TKsHeaderView* Headers() const { return headers_; }
  std::size_t Count() const { return count_; }
  // Calls put(name, value) for each entry that becomes a property (its name
  // is not one of the ten standard names), in list order, skipping the
  // others without a look. Only for a list that is Appendable.
  template <class Put>
  void ForEachProperty(Put&& put) const {
    for (std::uint64_t left = chosen_; left != 0; left &= left - 1) {
      const TKsHeaderView& h = headers_[static_cast<std::size_t>(__builtin_ctzll(left))];
      put(h.first, h.second);
    }
  }
  // The one entry ForEachProperty visits, for a list that is Appendable
  // with a PropertyCount of 1.
  const TKsHeaderView& OnlyProperty() const {
    return headers_[static_cast<std::size_t>(__builtin_ctzll(chosen_))];
  }
  // True when the properties may be appended to an empty map as they are
  // (at most 64 entries, no name with "="), then their count and bytes.
  bool Appendable() const { return appendable_; }
  std::size_t PropertyCount() const { return propertyCount_; }
  std::size_t PropertyBytes() const { return propertyBytes_; }

 private:
  // The entries before left, last to first, by the general rule, after
  // the quick look has taken those from left on.
  void ScanRest(std::size_t left);

  const TKsHeaderView* headers_;
  std::size_t count_;
  // Slot s is at s + 1; at 0 goes "destination", which has no slot, so that
  // every name the quick look knows is stored without a test. The slots
  // are a whole number of 16-byte stores, which clear them.
  const std::string_view* slots_[kSlotCount + 1];
  std::uint64_t chosen_;
  std::size_t propertyCount_;
  std::size_t propertyBytes_;
  bool appendable_;
};

// Fields, then properties, into any message.
void ApplyMessageHeaders(const TKsHeaderView* headers, std::size_t count, IMessage& message);
// The properties step alone.
void ApplyHeaderProperties(const TKsHeaderView* headers, std::size_t count, IMessage& message);
// A new received text message bound to connection, from a scanned list,
// delivered on link (TKsMessage::GetLink).
std::shared_ptr<TKsJMSTextMessage> NewReceivedMessage(TKsJMSConnection* connection, const TKsHeaderScan& scan,
                                                      std::string_view body, std::uint64_t link = 0);
// The same as a bytes message whose content is the body.
std::shared_ptr<IMessage> NewReceivedBytesMessage(TKsJMSConnection* connection, const TKsHeaderScan& scan,
                                                  std::string_view body, std::uint64_t link = 0);
// True for a "content-type" that names opaque bytes: "application/
// octet-stream" (any case, parameters aside). Every other type, and none,
// is read as text.
bool IsBytesContentType(std::string_view type);

// The header list of any frame as views into it.
class TKsFrameHeaderViews {
 public:
  explicit TKsFrameHeaderViews(const IStompFrame& frame);
  const TKsHeaderView* Data() const { return views_.data(); }
  std::size_t Size() const { return views_.size(); }

 private:
  TStompHeaders items_;  // a frame of the application's own: its copies
  std::vector<TKsHeaderView> views_;
};

}  // namespace ks
