// KsBrokerEscape: the protocol versions Cistern speaks, and how each one
// writes header names and values on the wire.
//
// Under 1.0 names and values go out as they are (a value holds no LF; a
// name no ':' or LF). Under 1.1 and 1.2 every frame but CONNECT and
// CONNECTED escapes them: backslash as "\\", LF as "\n", ':' as "\c", and
// under 1.2 CR as "\r" (under 1.1 a CR goes out as it is). Reading undoes
// the same sequences; any other backslash sequence, or a backslash at the
// end, is a fault of the frame.
//
// Threads: plain functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "broker/KsBrokerBuffer.hpp"

namespace ks {

enum class TBrokerVersion : std::uint8_t { V1_0, V1_1, V1_2 };

// "1.0", "1.1" or "1.2".
std::string_view VersionText(TBrokerVersion version);

// Whether text needs escaping under some version above 1.0: it holds a
// backslash, LF, CR or ':'.
bool NeedsEscape(std::string_view text);

// The most bytes text can take once escaped (twice its size).
inline std::size_t MaxEscapedSize(std::string_view text) { return 2 * text.size(); }

// Writes text escaped for version (1.1 or 1.2) at to, where the caller has
// room for MaxEscapedSize(text) bytes, and returns the end of what it wrote.
char* PutEscapedAbove10(char* to, std::string_view text, TBrokerVersion version);

// The same for any version: under 1.0 the text is copied as it is.
inline char* PutEscaped(char* to, std::string_view text, TBrokerVersion version) {
  return version == TBrokerVersion::V1_0 ? PutBytes(to, text) : PutEscapedAbove10(to, text, version);
}

// Appends the text that escaped holds under version (1.1 or 1.2) to out;
// false at the first undefined escape sequence (out then holds part of it).
bool AppendUnescaped(std::string_view escaped, TBrokerVersion version, std::string& out);

}  // namespace ks
