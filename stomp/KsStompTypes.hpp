// KsStompTypes: the shared vocabulary of the STOMP layer: header items and
// lists, the table of header names, and the protocol error classes.
//
// TStompHeaders carries extra headers between layers (the messaging layer
// builds one per SEND). StompHeaderNames is the fixed table of the 21 header
// names that message properties may not use.
//
// Thread safety: values only; the table is immutable.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "support/KsErrors.hpp"
#include "support/KsException.hpp"

namespace ks {

struct TStompHeaderItem {
  std::string Name;
  std::string Value;
};

using TStompHeaders = std::vector<TStompHeaderItem>;

// "login", "passcode", "transaction", "session", "message", "destination",
// "id", "ack", "client-id", "selector", "type", "content-length",
// "correlation-id", "expires", "persistent", "priority", "redelivered",
// "reply-to", "message-id", "timestamp", "transformation" (indices 0 to 20).
extern const std::array<std::string_view, 21> StompHeaderNames;


}  // namespace ks
