#include "stomp/KsStompTypes.hpp"

namespace ks {

const std::array<std::string_view, 21> StompHeaderNames = {
    "login",          "passcode",   "transaction", "session",     "message",    "destination",
    "id",             "ack",        "client-id",   "selector",    "type",       "content-length",
    "correlation-id", "expires",    "persistent",  "priority",    "redelivered", "reply-to",
    "message-id",     "timestamp",  "transformation"};

}  // namespace ks
