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
#include <cstdint>
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

// The "ack" of a SUBSCRIBE: auto, client (an ACK covers the messages before
// it too) or client-individual (that message alone; STOMP 1.1 and later).
enum class TKsAckMode : std::uint8_t { Auto, Client, ClientIndividual };

// What names a received message in ACK and NACK: its "message-id", its
// "subscription" and its "ack" header (STOMP 1.2). Views; the texts must
// outlive the call they are given to.
struct TKsAckTarget {
  std::string_view messageId;
  std::string_view subscription;
  std::string_view ackId;
};


}  // namespace ks
