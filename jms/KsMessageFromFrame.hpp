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
// whose text is the body's bytes as they are.
//
// Errors: the message's priority setter raises for a priority over 9.
// Threads: no state; reentrant.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "stomp/KsStompFrame.hpp"

namespace ks {

class IMessage;
class IStompFrame;
class TKsJMSConnection;
class TKsJMSTextMessage;

// Fields, then properties, into any message.
void ApplyMessageHeaders(const TKsHeaderView* headers, std::size_t count, IMessage& message);
// The properties step alone.
void ApplyHeaderProperties(const TKsHeaderView* headers, std::size_t count, IMessage& message);
// A new received text message bound to connection.
std::shared_ptr<TKsJMSTextMessage> NewReceivedMessage(TKsJMSConnection* connection, const TKsHeaderView* headers,
                                                      std::size_t count, std::string_view body);
// The value of a header (ASCII case folded), or nullptr.
const std::string_view* FindHeaderView(const TKsHeaderView* headers, std::size_t count, std::string_view name);

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
