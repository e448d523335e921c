// KsBrokerFrameWriter: renders the frames Cistern sends into an output
// buffer.
//
// Every frame is the command, LF, "name:value" LF per header, LF, the body,
// NUL and exactly one LF. Header values given here must not hold LF or CR
// (SanitizeHeaderValue makes any text safe); an ERROR body must not hold NUL
// (the client reads such a body up to the first NUL).
//
// Threads: plain functions; the buffer belongs to the caller.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "broker/KsBrokerBuffer.hpp"

namespace ks {

struct TBrokerMessage;

using THeaderList = std::initializer_list<std::pair<std::string_view, std::string_view>>;

void AppendFrame(TByteBuffer& out, std::string_view command, THeaderList headers, std::string_view body = {});

// A MESSAGE frame for one delivery: "destination", "message-id",
// "subscription", "redelivered" when set, the message's own header block,
// "content-length" when its SEND had one, then the body.
void AppendMessage(TByteBuffer& out, const TBrokerMessage& message, std::string_view subscription, bool redelivered);

// The text with CR, LF and NUL replaced by blanks.
std::string SanitizeHeaderValue(std::string_view text);

}  // namespace ks
