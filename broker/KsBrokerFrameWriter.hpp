// KsBrokerFrameWriter: renders the frames Cistern sends into an output
// buffer.
//
// Every frame is the command, LF, "name:value" LF per header, LF, the body,
// NUL and exactly one LF. Header names and values are escaped for the
// version of the connection the frame goes to (KsBrokerEscape); under 1.0
// they must not hold LF or CR (SanitizeHeaderValue makes any text safe). An
// ERROR body must not hold NUL (the client reads such a body up to the first
// NUL).
//
// Threads: plain functions; the buffer belongs to the caller.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "broker/KsBrokerBuffer.hpp"
#include "broker/KsBrokerEscape.hpp"

namespace ks {

struct TBrokerMessage;

using THeaderList = std::initializer_list<std::pair<std::string_view, std::string_view>>;

void AppendFrame(TByteBuffer& out, std::string_view command, THeaderList headers, std::string_view body = {},
                 TBrokerVersion version = TBrokerVersion::V1_0);

// A MESSAGE frame for one delivery to a connection of version:
// "destination", "message-id", "subscription", "ack" when ackId is not
// empty, "redelivered" when set, the message's own header block,
// "content-length" when its SEND had one, then the body. A header of the
// block that 1.0 cannot carry reaches a 1.0 connection with each LF and CR
// of its name and value as a blank.
void AppendMessage(TByteBuffer& out, const TBrokerMessage& message, std::string_view subscription, bool redelivered,
                   TBrokerVersion version = TBrokerVersion::V1_0, std::string_view ackId = {});

// The text with CR, LF and NUL replaced by blanks.
std::string SanitizeHeaderValue(std::string_view text);

}  // namespace ks
